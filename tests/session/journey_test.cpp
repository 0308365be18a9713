// SPDX-License-Identifier: MIT
// One whole player visit, each step using only what the server handed out before: the
// handshake, the roots, a folder's files, then opening, reading and subtitles of one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plat/plat.h"
#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/test_client.h"

namespace {

// The text of a string member of a record.
std::string member(const std::string& record, const std::string& key) {
  const std::string start = "\"" + key + "\":\"";
  const size_t at = record.find(start);
  if (at == std::string::npos) return {};
  const size_t from = at + start.size();
  return record.substr(from, record.find('"', from) - from);
}

}  // namespace

TEST(journey, player_browses_opens_reads_and_fetches_subtitles) {
  temp_tree tree;
  tree.write_size("Movies/Drama/film.mkv", 5000);
  tree.write("Movies/Drama/film.srt", "hello");
  tree.write("Movies/Drama/film.en.srt", "hi");
  tree.write("Movies/Drama/film.de.ass", "hallo!");
  tree.write("Movies/Drama/trailer.srt", "no");
  tree.write_size("Movies/Drama/notes.nfo", 3);
  tree.write_size("clip.mp4", 20);
  test_server srv({tree.path("Movies"), tree.path("clip.mp4")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));

  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), R"({"Version":3,"Platform":"quorvane-c"})");

  ASSERT_TRUE(c.send_code(ACT_FOLDERS));
  const auto roots = c.recv_string();
  ASSERT_TRUE(roots);
  EXPECT_EQ(*roots, R"([{"Name":"Movies","FullName":"Movies","HasSubFolder":true},)"
                    R"({"Name":"clip.mp4","FullName":"clip.mp4","HasSubFolder":false}])");

  ASSERT_TRUE(c.send_code(ACT_SUBFOLDERS));
  ASSERT_TRUE(c.send_string(member(record_for(*roots, "Movies"), "FullName")));
  const auto folders = c.recv_string();
  ASSERT_TRUE(folders);
  EXPECT_EQ(*folders, R"([{"Name":"Drama","FullName":"Movies/Drama","HasSubFolder":true}])");

  ASSERT_TRUE(c.send_code(ACT_OPENFOLDER));
  ASSERT_TRUE(c.send_string(member(record_for(*folders, "Drama"), "FullName")));
  const auto files = c.recv_string();
  ASSERT_TRUE(files);
  const std::string film = record_for(*files, "film.mkv");
  EXPECT_EQ(film, R"({"Name":"film.mkv","ContentType":"video","FileType":".mkv","Folder":"Drama",)"
                  R"("FullName":"Movies/Drama/film.mkv"})");

  ASSERT_TRUE(c.send_code(ACT_OPENFILE));
  ASSERT_TRUE(c.send_string(film));
  ASSERT_TRUE(c.send_code(ACT_SIZE));
  EXPECT_EQ(c.recv_i64(), 5000);

  // The head, then the tail across the end as a player probing a container would.
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(64));
  EXPECT_EQ(c.recv_exact(64), pattern_bytes(0, 64));
  ASSERT_TRUE(c.send_code(ACT_SEEKREAD));
  ASSERT_TRUE(c.send_u32(1000));
  ASSERT_TRUE(c.send_i64(4500));
  EXPECT_EQ(c.recv_exact(1000), pattern_bytes(4500, 500) + std::string(500, '\0'));

  ASSERT_TRUE(c.send_code(ACT_SEEKREAD));
  ASSERT_TRUE(c.send_u32(4));
  ASSERT_TRUE(c.send_i64(100));
  EXPECT_EQ(c.recv_exact(4), pattern_bytes(100, 4));

  ASSERT_TRUE(c.send_code(ACT_SUBTITLE));
  ASSERT_TRUE(c.send_string(film));
  std::string want = "[";
  const std::pair<const char*, const char*> subs[] = {
      {"film.srt", "aGVsbG8="}, {"film.en.srt", "aGk="}, {"film.de.ass", "aGFsbG8h"}};
  for (const auto& name : dir_order(tree.path("Movies/Drama"))) {
    for (const auto& [n, b64] : subs) {
      if (name == n) {
        want +=
            (want.size() > 1 ? "," : "") + std::string("{\"Name\":\"") + n + "\",\"Base64\":\"" + b64 + "\"}";
      }
    }
  }
  EXPECT_EQ(c.recv_string(), want + "]");

  // The subtitles left the open file where the last SeekRead put it.
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(4));
  EXPECT_EQ(c.recv_exact(4), pattern_bytes(104, 4));

  ASSERT_TRUE(c.send_code(ACT_END));
  EXPECT_TRUE(c.closed_by_peer());
}
