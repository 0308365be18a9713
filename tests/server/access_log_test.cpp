// SPDX-License-Identifier: MIT
// The access log's queue and writer: lines in order, reopening after a rotation, what a
// stuck or failing file costs (lost lines, never a wait), and how texts are quoted.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "server/access_log.h"
#include "server/log_events.h"
#include "server/vorn3s.h"
#include "support/fixture.h"

namespace {

// Writes `n` numbered lines "PREFIX i".
void put_lines(const std::string& prefix, int n) {
  for (int i = 0; i < n; i++) access_log_put(prefix + " " + std::to_string(i) + "\n");
}

std::vector<std::string> numbered(const std::string& prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back(prefix + " " + std::to_string(i));
  return out;
}

}  // namespace

TEST(access_log, lines_reach_the_file_in_order_and_close_writes_them_all) {
  temp_tree t;
  t.write("old.log", "kept\n");
  ASSERT_EQ(access_log_open(t.path("old.log").c_str()), 0);
  EXPECT_TRUE(access_log_on());
  put_lines("line", 3000);
  EXPECT_EQ(access_log_state().path, t.path("old.log"));
  access_log_close();
  EXPECT_FALSE(access_log_on());
  std::vector<std::string> want = {"kept"};
  for (auto& l : numbered("line", 3000)) want.push_back(l);
  EXPECT_EQ(file_lines(t.path("old.log")), want);
}

TEST(access_log, without_a_log_nothing_is_written_and_reopen_is_refused) {
  EXPECT_FALSE(access_log_on());
  access_log_put("nowhere\n");
  log_connect(1, plat_peer{0x7F000001, 5000});
  EXPECT_EQ(access_log_state().path, "");
  EXPECT_EQ(access_log_reopen(), VORN3S_ECONFLICT);
  access_log_close();  // nothing to close
}

TEST(access_log, open_refuses_a_path_it_cannot_write_and_a_second_log) {
  temp_tree t;
  t.mkdir("folder");
  for (const std::string& bad : {t.path("folder"), t.path("no/such/folder/x.log"), std::string()}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(access_log_open(bad.c_str()), VORN3S_ENOTFOUND);
    EXPECT_FALSE(access_log_on());
  }
  ASSERT_EQ(access_log_open(t.path("a.log").c_str()), 0);
  EXPECT_EQ(access_log_open(t.path("b.log").c_str()), VORN3S_ECONFLICT);
  access_log_close();
  EXPECT_FALSE(std::filesystem::exists(fs_path(t.path("b.log"))));
}

// Rotation: the file is renamed away, the log reopened; what came before stays in the old
// file, what comes after goes to a new one at the same path.
TEST(access_log, reopen_after_a_rename_continues_in_a_new_file) {
  temp_tree t;
  const std::string path = t.path("access.log");
  ASSERT_EQ(access_log_open(path.c_str()), 0);
  put_lines("before", 500);
  std::filesystem::rename(fs_path(path), fs_path(t.path("access.log.1")));
  ASSERT_EQ(access_log_reopen(), 0);
  put_lines("after", 500);
  access_log_close();
  EXPECT_EQ(file_lines(t.path("access.log.1")), numbered("before", 500));
  EXPECT_EQ(file_lines(path), numbered("after", 500));
}

// A reopen that cannot open the path keeps writing to the file it has.
TEST(access_log, a_failed_reopen_keeps_the_old_file) {
  temp_tree t;
  const std::string path = t.path("access.log");
  ASSERT_EQ(access_log_open(path.c_str()), 0);
  put_lines("one", 10);
  std::filesystem::rename(fs_path(path), fs_path(t.path("moved.log")));
  t.mkdir("access.log");  // now a folder, which no log can be
  EXPECT_EQ(access_log_reopen(), VORN3S_ENOTFOUND);
  put_lines("two", 10);
  access_log_close();
  std::vector<std::string> want = numbered("one", 10);
  for (auto& l : numbered("two", 10)) want.push_back(l);
  EXPECT_EQ(file_lines(t.path("moved.log")), want);
}

#if !defined(_WIN32)
// A file that takes nothing (a FIFO nobody reads stands for a stuck disk): the queue fills
// and further lines are lost and counted, while every hand-over returns at once. Once the
// file takes lines again, new ones arrive.
TEST(access_log, a_stuck_file_loses_lines_but_never_holds_up_a_writer) {
  temp_tree t;
  t.fifo("stuck");
  const int reader = ::open(t.path("stuck").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(access_log_open(t.path("stuck").c_str()), 0);
  const std::string line(200, 'x');
  // Far more than the pipe and the queue hold together.
  for (int i = 0; i < 20000; i++) access_log_put(line + "\n");
  EXPECT_GT(access_log_state().lost, 10000u);
  // Read what the writer had queued until it has nothing more, then one line more.
  const auto drain = [&](std::string* got) {
    char buf[65536];
    for (int quiet = 0; quiet < 30;) {
      const ssize_t n = ::read(reader, buf, sizeof buf);
      if (n > 0) {
        got->append(buf, static_cast<size_t>(n));
        quiet = 0;
      } else {
        quiet++;
        plat_sleep_ms(10);
      }
    }
  };
  std::string got;
  drain(&got);
  EXPECT_GT(got.size(), 0u);
  access_log_put("fresh\n");
  got.clear();
  drain(&got);
  EXPECT_EQ(got, "fresh\n");
  access_log_close();
  ::close(reader);
}

// Writes that fail (a device that is always full) lose their lines, counted.
TEST(access_log, lines_that_cannot_be_written_are_counted) {
  ASSERT_EQ(access_log_open("/dev/full"), 0);
  put_lines("lost", 100);
  for (int i = 0; i < 500 && access_log_state().lost < 100; i++) plat_sleep_ms(10);
  EXPECT_EQ(access_log_state().lost, 100u);
  access_log_close();
}
#endif

TEST(log_quote, quotes_and_escapes_what_could_break_a_line_or_fake_a_field) {
  struct quote_case {
    std::string text, quoted;
  };
  const quote_case CASES[] = {
      {"Movies/a.mkv", R"("Movies/a.mkv")"},
      {"", R"("")"},
      {"a b=c", R"("a b=c")"},
      {"say \"hi\" \\ there", R"("say \"hi\" \\ there")"},
      {"line\nfeed\r\t", R"("line\x0afeed\x0d\x09")"},
      {std::string("zero\0byte", 9), R"("zero\x00byte")"},
      {"\x7f\x1b[2J", R"("\x7f\x1b[2J")"},
      // Whole UTF-8 characters from U+00A0 on stay as they are...
      {"\xc3\xa9t\xc3\xa9 \xe6\x98\xa0\xe7\x94\xbb \xf0\x9f\x8e\xac \xc2\xa0",
       "\"\xc3\xa9t\xc3\xa9 \xe6\x98\xa0\xe7\x94\xbb \xf0\x9f\x8e\xac \xc2\xa0\""},
      // ...C1 controls, lone or cut bytes, overlong forms and surrogates do not.
      {"\xc2\x9b", R"("\xc2\x9b")"},
      {"\xff\xfe", R"("\xff\xfe")"},
      {"\xc3", R"("\xc3")"},
      {"\xe6\x98", R"("\xe6\x98")"},
      {"\xc0\xaf", R"("\xc0\xaf")"},
      {"\xe0\x80\xaf", R"("\xe0\x80\xaf")"},
      {"\xed\xa0\x80", R"("\xed\xa0\x80")"},
      {"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},
  };
  for (const auto& qc : CASES) {
    SCOPED_TRACE(qc.quoted);
    char out[256];
    size_t len = 0;
    EXPECT_EQ(log_quote(out, sizeof out, &len, qc.text), qc.text.size());
    EXPECT_EQ(std::string(out, len), qc.quoted);
  }
  // Too little room: the text is cut before a byte that would not fit, and still closed.
  char small[8];
  size_t len = 0;
  EXPECT_EQ(log_quote(small, sizeof small, &len, "abc\x01"), 3u);
  EXPECT_EQ(std::string(small, len), "\"abc\"");
}
