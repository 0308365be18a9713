// SPDX-License-Identifier: MIT
// Why a session ended, as its caller learns it: every way out of the loop over a real
// loopback connection, driven by a client that does what ends it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "server/roots.h"
#include "server/vorn3s.h"
#include "session/session.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/sockets.h"
#include "support/test_client.h"

namespace {

struct end_case {
  const char* what;
  const char* settings;  // "key=value" or null
  std::function<void(test_client&)> client;
  session_end want;
  int result;
};

void send_unknown_codes(test_client& c, int n) {
  for (int i = 0; i < n; i++) ASSERT_TRUE(c.send_code(11));
}

}  // namespace

TEST(session_end, every_way_out_names_its_cause) {
  temp_tree tree;
  for (int i = 0; i < 20; i++)
    tree.write_size("Movies/a rather long name for a film " + std::to_string(i) + ".mkv", 1);
  ASSERT_GE(vorn3s_add_root(tree.path("Movies").c_str()), 0);

  const end_case CASES[] = {
      {"End", nullptr, [](test_client& c) { ASSERT_TRUE(c.send_code(ACT_END)); }, session_end::end,
       VORN3S_OK},
      {"the peer closes", nullptr, [](test_client& c) { c.close_now(); }, session_end::peer_closed,
       VORN3S_ENET},
      {"the peer closes within an argument", nullptr,
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_SEEK));
         ASSERT_TRUE(c.send_raw("abc"));
         c.close_now();
       },
       session_end::peer_closed, VORN3S_ENET},
      {"no action code", "idle_timeout_ms=1000", [](test_client&) {}, session_end::idle_timeout, VORN3S_ENET},
      {"half an argument", "read_timeout_ms=1000",
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_SEEK));
         ASSERT_TRUE(c.send_raw("abc"));
       },
       session_end::read_timeout, VORN3S_ENET},
      {"a listing over max_string", "max_string=256",
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_OPENFOLDER));
         ASSERT_TRUE(c.send_string("Movies"));
       },
       session_end::reply_too_long, VORN3S_ENET},
      {"Files over max_string", "max_string=256", [](test_client& c) { ASSERT_TRUE(c.send_code(ACT_FILES)); },
       session_end::reply_too_long, VORN3S_ENET},
      {"a count over max_read", nullptr,
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_READ));
         ASSERT_TRUE(c.send_u32(4194305));
       },
       session_end::count_too_large, VORN3S_ELIMIT},
      {"sixteen unknown codes", nullptr, [](test_client& c) { send_unknown_codes(c, 16); },
       session_end::unknown_codes, VORN3S_ELIMIT},
      {"a string over max_string", "max_string=256",
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_OPENFOLDER));
         ASSERT_TRUE(c.send_raw(be32(257)));
       },
       session_end::bad_argument, VORN3S_ENET},
      {"a zero byte in a string", nullptr,
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_SUBFOLDERS));
         ASSERT_TRUE(c.send_string(std::string("Mov\0ies", 7)));
       },
       session_end::bad_argument, VORN3S_ENET},
      {"a Subtitle argument that is no JSON", nullptr,
       [](test_client& c) {
         ASSERT_TRUE(c.send_code(ACT_SUBTITLE));
         ASSERT_TRUE(c.send_string("not json"));
       },
       session_end::bad_argument, VORN3S_ENET},
      {"a reset in the middle of a long reply", nullptr,
       [](test_client& c) {
         ASSERT_TRUE(set_buffer_sizes(c.fd, 0, 4096));
         ASSERT_TRUE(c.send_code(ACT_READ));
         ASSERT_TRUE(c.send_u32(4194304));
         ASSERT_TRUE(c.recv_exact(1000));  // the reply is under way
         ASSERT_TRUE(set_linger_reset(c.fd));
         c.close_now();
       },
       session_end::transfer_failed, VORN3S_ENET},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.what);
    if (c.settings) {
      const std::string kv(c.settings);
      const size_t eq = kv.find('=');
      ASSERT_EQ(vorn3s_config(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str()), 0);
    }
    link_pair p;
    session_end why = session_end::end;
    int result = 1;
    std::thread session([&] { result = vorn3s_serve_conn(p.sock, roots_get(), nullptr, &why); });
    c.client(p.peer);
    session.join();
    EXPECT_EQ(result, c.result);
    EXPECT_STREQ(session_end_name(why), session_end_name(c.want));
    // Back to the initial value for the next case.
    if (c.settings) {
      const std::string kv(c.settings);
      ASSERT_EQ(vorn3s_config(kv.substr(0, kv.find('=')).c_str(), nullptr), 0);
    }
  }
}
