// SPDX-License-Identifier: MIT
// The browsing actions over a real connection: Files and Folders across all roots,
// OpenFolder and SubFolders by ID, refusals answered with "[]", and replies that are too
// long ending only their own session.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plat/plat.h"
#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/test_client.h"

namespace {

const std::string HANDSHAKE_REPLY = R"({"Version":3,"Platform":"quorvane-c"})";

std::string join_array(const std::vector<std::string>& records) {
  std::string out = "[";
  for (size_t i = 0; i < records.size(); i++) out += (i ? "," : "") + records[i];
  return out + "]";
}

namespace fs = std::filesystem;

// The files directly in `dir` as a listing shows them, with `id` as the ID prefix.
std::vector<std::string> file_records(const std::string& dir, const std::string& id,
                                      const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& name : dir_order(dir)) {
    if (name[0] == '.' || !fs::is_regular_file(fs_path(dir + "/" + name))) continue;
    out.push_back(file_record(name, folder, id + "/" + name));
  }
  return out;
}

std::string ask(test_client& c, int32_t code) {
  if (!c.send_code(code)) return "<send failed>";
  return c.recv_string().value_or("<no reply>");
}

std::string ask(test_client& c, int32_t code, const std::string& id) {
  if (!c.send_code(code) || !c.send_string(id)) return "<send failed>";
  return c.recv_string().value_or("<no reply>");
}

// Movies: a.mkv, song.mp3, notes.txt, .hidden.mkv, Sub/x.mkv, Sub/y.srt, Blank/.
void make_movies(const temp_tree& tree) {
  tree.write_size("Movies/a.mkv", 10);
  tree.write_size("Movies/song.mp3", 10);
  tree.write_size("Movies/notes.txt", 10);
  tree.write_size("Movies/.hidden.mkv", 10);
  tree.write_size("Movies/Sub/x.mkv", 10);
  tree.write_size("Movies/Sub/y.srt", 10);
  tree.mkdir("Movies/Blank");
}

}  // namespace

TEST(browse, no_live_roots_answer_empty_arrays) {
  test_server srv;
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(ask(c, ACT_FILES), "[]");
  EXPECT_EQ(ask(c, ACT_FOLDERS), "[]");
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, ""), "[]");
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, ""), "[]");
}

TEST(browse, files_gives_every_root_in_table_order_as_one_flat_array) {
  temp_tree tree;
  make_movies(tree);
  tree.mkdir("Empty");
  tree.write_size("gone.mkv", 5);
  tree.write_size("clip.mp4", 5);
  test_server srv({tree.path("Empty"), tree.path("Movies"), tree.path("gone.mkv"), tree.path("clip.mp4")});
  // A file root whose file is gone is left out.
  fs::remove(fs_path(tree.path("gone.mkv")));

  std::vector<std::string> want = file_records(tree.path("Movies"), "Movies", "Movies");
  ASSERT_EQ(want.size(), 3u);
  want.push_back(file_record("clip.mp4", "clip.mp4", "clip.mp4"));

  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(ask(c, ACT_FILES), join_array(want));
}

TEST(browse, folders_probes_each_folder_root_for_any_entry) {
  temp_tree tree;
  tree.write("Keep/.keep", "");  // hidden, yet it counts here
  tree.mkdir("Empty");
  tree.write_size("clip.mp4", 5);
  make_movies(tree);
  test_server srv({tree.path("Keep"), tree.path("Empty"), tree.path("clip.mp4"), tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(
      ask(c, ACT_FOLDERS),
      join_array({folder_record("Keep", "Keep", true), folder_record("Empty", "Empty", false),
                  folder_record("clip.mp4", "clip.mp4", false), folder_record("Movies", "Movies", true)}));
}

TEST(browse, empty_id_gives_the_root_list_without_looking_at_the_disk) {
  temp_tree tree;
  tree.mkdir("Empty");
  tree.write_size("clip.mp4", 5);
  test_server srv({tree.path("Empty"), tree.path("clip.mp4")});
  const std::string want =
      join_array({folder_record("Empty", "Empty", true), folder_record("clip.mp4", "clip.mp4", false)});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, ""), want);
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, ""), want);
}

TEST(browse, openfolder_and_subfolders_list_a_folder_by_its_id) {
  temp_tree tree;
  make_movies(tree);
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));

  const std::string movie_files = join_array(file_records(tree.path("Movies"), "Movies", "Movies"));
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Movies"), movie_files);
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Movies/"), movie_files);  // children named under the bare root name
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Movies/Sub"),
            join_array(file_records(tree.path("Movies/Sub"), "Movies/Sub", "Sub")));

  std::vector<std::string> subs;
  for (const auto& name : dir_order(tree.path("Movies"))) {
    if (name == "Sub") subs.push_back(folder_record("Sub", "Movies/Sub", true));
    if (name == "Blank") subs.push_back(folder_record("Blank", "Movies/Blank", false));
  }
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, "Movies"), join_array(subs));
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, "Movies/Sub"), "[]");
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, "Movies/a.mkv"), "[]");
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Movies/a.mkv"), "[]");
}

TEST(browse, openfolder_through_a_link_inside_the_root) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.mkdir("Linked/real");
  tree.write_size("Linked/real/in.mkv", 5);
  tree.symlink(tree.path("Linked/real"), "Linked/alias");
  test_server srv({tree.path("Linked")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Linked/alias"),
            join_array({file_record("in.mkv", "alias", "Linked/alias/in.mkv")}));
}

TEST(browse, a_link_out_of_the_root_answers_empty_arrays) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.write_size("Outside/secret.mkv", 5);
  tree.mkdir("Outside/Deeper");
  tree.mkdir("Escape");
  tree.symlink(tree.path("Outside"), "Escape/out");
  test_server srv({tree.path("Escape")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  for (const char* id : {"Escape/out", "Escape/out/Deeper"}) {
    SCOPED_TRACE(id);
    for (int32_t code : {ACT_OPENFOLDER, ACT_SUBFOLDERS}) EXPECT_EQ(ask(c, code, id), "[]");
  }
}

TEST(browse, refused_ids_and_file_roots_answer_empty_arrays) {
  temp_tree tree;
  make_movies(tree);
  tree.write_size("Outside/secret.mkv", 5);
  tree.mkdir("Outside/Deeper");
  tree.mkdir("Escape");
  tree.write_size("clip.mp4", 5);
  test_server srv({tree.path("Movies"), tree.path("Escape"), tree.path("clip.mp4")});
  const char* const refused[] = {
      "../x",     "Movies/../x", "/Movies",        "a..b",      "\\x",
      "C:x",      "c:/x",        "Movies\\Sub",    "Movies/..", "Movies/Sub/../..",
      "clip.mp4", "clip.mp4/",   "Movies/missing",
  };
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  for (const char* id : refused) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ask(c, ACT_OPENFOLDER, id), "[]");
    EXPECT_EQ(ask(c, ACT_SUBFOLDERS, id), "[]");
  }
}

TEST(browse, removed_root_disappears_from_every_reply_and_lookup) {
  temp_tree tree;
  tree.write_size("Alpha/a.mkv", 5);
  tree.write_size("clip.mp4", 5);
  test_server srv({tree.path("Alpha"), tree.path("clip.mp4")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_EQ(ask(c, ACT_FOLDERS), join_array({folder_record("Alpha", "Alpha", true),
                                             folder_record("clip.mp4", "clip.mp4", false)}));

  ASSERT_EQ(vorn3s_remove_root(tree.path("Alpha").c_str()), 0);
  const std::string only_clip = join_array({folder_record("clip.mp4", "clip.mp4", false)});
  EXPECT_EQ(ask(c, ACT_FOLDERS), only_clip);
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, ""), only_clip);
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, ""), only_clip);
  EXPECT_EQ(ask(c, ACT_FILES), join_array({file_record("clip.mp4", "clip.mp4", "clip.mp4")}));
  // The name now means nothing; the only other root is a file, so no folder is found.
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Alpha"), "[]");
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Alpha/"), "[]");
  EXPECT_EQ(ask(c, ACT_SUBFOLDERS, "Alpha"), "[]");
}

// A root removed and added again while clients walk the roots: every reply shows the
// roots as they were at one look into the table, never a mixture of two.
TEST(browse, roots_changing_during_walks_give_consistent_replies) {
  temp_tree tree;
  tree.write_size("B/b.mkv", 5);
  tree.write_size("A/a.mkv", 5);
  test_server srv({tree.path("B"), tree.path("A")});
  const std::string b = file_record("b.mkv", "B", "B/b.mkv"), a = file_record("a.mkv", "A", "A/a.mkv");
  const std::string fb = folder_record("B", "B", true), fa = folder_record("A", "A", true);
  // B first, then without B, then B again after A, where its new slot puts it.
  const std::set<std::string> files = {join_array({b, a}), join_array({a}), join_array({a, b})};
  const std::set<std::string> folders = {join_array({fb, fa}), join_array({fa}), join_array({fa, fb})};

  std::atomic<bool> stop{false};
  // Each add takes a new slot of the 64; 60 rounds leave room for the two roots.
  std::thread churn([&] {
    const std::string path = tree.path("B");
    for (int i = 0; i < 60 && !stop.load(); i++) {
      if (vorn3s_remove_root(path.c_str()) != 0 || vorn3s_add_root(path.c_str()) < 0) break;
    }
  });
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  for (int i = 0; i < 150; i++) {
    const std::string f = ask(c, ACT_FILES);
    EXPECT_EQ(files.count(f), 1u) << f;
    const std::string d = ask(c, ACT_FOLDERS);
    EXPECT_EQ(folders.count(d), 1u) << d;
  }
  stop.store(true);
  churn.join();
  EXPECT_EQ(vorn3s_root_count(), 2);
}

// A reply of exactly max_string bytes is sent; one byte more cannot be, and ends only the
// session that asked.
TEST(browse, reply_over_max_string_ends_only_that_session) {
  ASSERT_EQ(vorn3s_config("max_string", "256"), 0);
  temp_tree tree;
  const std::string name = std::string(83, 'x') + ".mkv";
  tree.write_size("M/" + name, 5);
  test_server srv({tree.path("M")});
  const std::string at_limit = join_array({file_record(name, "M", "M/" + name)});
  ASSERT_EQ(at_limit.size(), 256u);

  test_client bystander;
  ASSERT_TRUE(bystander.connect_to(srv.port));
  for (int32_t action : {ACT_FILES, ACT_OPENFOLDER}) {
    SCOPED_TRACE(action);
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    EXPECT_EQ(action == ACT_FILES ? ask(c, ACT_FILES) : ask(c, ACT_OPENFOLDER, "M"), at_limit);
  }
  tree.write_size("M/b.mkv", 5);
  for (int32_t action : {ACT_FILES, ACT_OPENFOLDER}) {
    SCOPED_TRACE(action);
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(c.send_code(action));
    if (action == ACT_OPENFOLDER) {
      ASSERT_TRUE(c.send_string("M"));
    }
    EXPECT_TRUE(c.closed_by_peer());
  }
  EXPECT_EQ(ask(bystander, ACT_HANDSHAKE), HANDSHAKE_REPLY);
}

// An ID that cannot be received ends the session; one that arrives but cannot be split
// is answered with "[]".
TEST(browse, id_that_cannot_be_received_ends_the_session) {
  ASSERT_EQ(vorn3s_config("max_string", "256"), 0);
  temp_tree tree;
  make_movies(tree);
  test_server srv({tree.path("Movies")});
  {
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    EXPECT_EQ(ask(c, ACT_OPENFOLDER, std::string(256, 'a')), "[]");  // a root name too long to split
    EXPECT_EQ(ask(c, ACT_SUBFOLDERS, std::string(256, 'a')), "[]");
  }
  const std::string unreceivable[] = {std::string(257, 'a'), std::string("Mov\0ies", 7)};
  for (int32_t action : {ACT_OPENFOLDER, ACT_SUBFOLDERS}) {
    for (const auto& id : unreceivable) {
      SCOPED_TRACE(std::to_string(action) + " " + std::to_string(id.size()));
      test_client c;
      ASSERT_TRUE(c.connect_to(srv.port));
      ASSERT_TRUE(c.send_code(action));
      c.send_string(id);  // the server may close before taking it all
      EXPECT_TRUE(c.closed_by_peer());
    }
  }
}
