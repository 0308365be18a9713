// SPDX-License-Identifier: MIT
// The containment wall: whatever text a client or a caller sends, resolution ends inside a
// registered root or fails. Hostile IDs are refused by their text; links that lead out,
// also into neighbours whose names only look like the root's, are never followed out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/filearg.h"
#include "catalogue/find_file.h"
#include "catalogue/resolve.h"
#include "plat/plat.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "support/fixture.h"
#include "support/hostile_ids.h"
#include "util/strbuf.h"

namespace {

bool inside(const std::string& path, const std::string& root) {
  return plat_path_under(path.c_str(), root.c_str()) == 1;
}

int resolve_checked(const std::string& id, int want_dir, const std::vector<std::string>& roots) {
  char* path = nullptr;
  int index = 5;
  const int code = resolve_id(roots_get(), id.c_str(), want_dir, &path, &index);
  if (code == 0) {
    EXPECT_NE(path, nullptr);
    bool ok = false;
    for (const auto& r : roots) ok = ok || (path && inside(path, r));
    EXPECT_TRUE(ok) << "escaped to " << (path ? path : "(null)");
    EXPECT_GE(index, 0);
  } else {
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(index, -1);
  }
  std::free(path);
  return code;
}

// The same text as a path relative to the root, as vorn3s_resolve takes it.
std::string without_root_name(const std::string& id) {
  return id.rfind("Movies/", 0) == 0 ? id.substr(7) : id;
}

}  // namespace

TEST(resolve_id_security, text_refusals_come_before_any_root) {
  // With no root at all, a refusal is still -7 and not "nothing found".
  for (const char* id : REFUSED_IDS) {
    SCOPED_TRACE(id);
    char* path = nullptr;
    int index = 0;
    EXPECT_EQ(resolve_id(roots_get(), id, 0, &path, &index), -7);
    EXPECT_EQ(path, nullptr);
  }
}

TEST(resolve_id_security, hostile_ids_never_leave_the_roots) {
  hostile_tree h;
  ASSERT_EQ(vorn3s_add_root(h.root().c_str()), 0);
  const std::vector<std::string> roots{h.root()};
  for (int want_dir = 0; want_dir <= 1; want_dir++) {
    SCOPED_TRACE(want_dir);
    for (const char* id : REFUSED_IDS) {
      SCOPED_TRACE(id);
      EXPECT_EQ(resolve_checked(id, want_dir, roots), VORN3S_EESCAPE);
    }
    for (const char* id : ODD_IDS) {
      SCOPED_TRACE(id);
      resolve_checked(id, want_dir, roots);
    }
    EXPECT_EQ(resolve_checked("Movies/" + std::string(1194, 'x'), want_dir, roots), VORN3S_ELIMIT);
    EXPECT_EQ(resolve_checked("Movies/../" + std::string(1191, 'x'), want_dir, roots), VORN3S_ELIMIT);
    EXPECT_EQ(resolve_checked(std::string(256, 'M') + "/a.mkv", want_dir, roots), VORN3S_EBADARG);
    EXPECT_EQ(resolve_checked("Movies/" + std::string(1024, 'x'), want_dir, roots), VORN3S_EBADARG);
  }
}

TEST(resolve_id_security, links_that_lead_out_are_not_found) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  hostile_tree h;
  ASSERT_EQ(vorn3s_add_root(h.root().c_str()), 0);
  const std::vector<std::string> roots{h.root()};
  for (int want_dir = 0; want_dir <= 1; want_dir++) {
    SCOPED_TRACE(want_dir);
    for (const char* id : ESCAPING_LINK_IDS) {
      SCOPED_TRACE(id);
      EXPECT_EQ(resolve_checked(id, want_dir, roots), VORN3S_ENOTFOUND);
    }
  }
}

TEST(resolve_id_security, neighbour_registered_as_a_root_is_reached_only_as_itself) {
  // Once the neighbour is a root of its own, an ID may reach it, but only through the
  // neighbour's own candidate and with its own index.
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  hostile_tree h;
  ASSERT_EQ(vorn3s_add_root(h.root().c_str()), 0);
  ASSERT_EQ(vorn3s_add_root(h.t.path("Movies2").c_str()), 1);
  char* path = nullptr;
  int index = -1;
  EXPECT_EQ(resolve_id(roots_get(), "Movies/n2.mkv", 0, &path, &index), -4);
  ASSERT_EQ(resolve_id(roots_get(), "Movies2/x.mkv", 0, &path, &index), 0);
  EXPECT_EQ(std::string(path), h.t.path("Movies2/x.mkv"));
  EXPECT_EQ(index, 1);
  std::free(path);
}

TEST(vorn3s_resolve_security, hostile_paths_never_leave_the_root) {
  hostile_tree h;
  char out[2048];
  auto check = [&](const std::string& rel) {
    const int code = vorn3s_resolve(h.root().c_str(), rel.c_str(), out, sizeof out);
    EXPECT_EQ(code, vorn3s_last_code());
    if (code == 0) {
      EXPECT_TRUE(inside(out, h.root())) << "escaped to " << out;
    } else {
      EXPECT_STREQ(out, "");
    }
    return code;
  };
  for (const char* id : REFUSED_IDS) {
    SCOPED_TRACE(id);
    EXPECT_EQ(check(id), VORN3S_EESCAPE);
    EXPECT_STREQ(vorn3s_last_error(), "refused (D3)");
  }
  for (const char* id : ODD_IDS) {
    SCOPED_TRACE(id);
    check(id);
    check(without_root_name(id));
  }
  EXPECT_EQ(check(std::string(1201, 'x')), VORN3S_ELIMIT);
  EXPECT_EQ(check("../" + std::string(1198, 'x')), VORN3S_EESCAPE);  // here the refusal comes first
}

TEST(vorn3s_resolve_security, link_escapes_are_refused) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  hostile_tree h;
  char out[2048];
  for (const char* id : ESCAPING_LINK_IDS) {
    SCOPED_TRACE(id);
    EXPECT_EQ(vorn3s_resolve(h.root().c_str(), without_root_name(id).c_str(), out, sizeof out),
              VORN3S_EESCAPE);
    EXPECT_EQ(vorn3s_last_code(), VORN3S_EESCAPE);
    EXPECT_STREQ(out, "");
  }
}

TEST(vorn3s_resolve_security, link_escapes_are_named_by_where_the_link_is) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  hostile_tree h;
  struct link_case {
    const char* rel;
    const char* message;
  };
  static const link_case CASES[] = {
      {"out.mkv", "refused (D3): link escapes the root"},
      {"n2.mkv", "refused (D3): link escapes the root"},
      {"nc.mkv", "refused (D3): link escapes the root"},
      {"outdir", "refused (D3): link escapes the root"},
      {"outdir/", "refused (D3): link escapes the root"},
      {"outdir//", "refused (D3): link escapes the root"},
      {"d2", "refused (D3): link escapes the root"},
      {"chain.mkv", "refused (D3): link escapes the root"},
      {"outdir/secret.mkv", "refused (D3)"},
      {"d2/x.mkv", "refused (D3)"},
      {"dc/x.mkv", "refused (D3)"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.rel);
    char out[2048] = "stale";
    EXPECT_EQ(vorn3s_resolve(h.root().c_str(), c.rel, out, sizeof out), VORN3S_EESCAPE);
    EXPECT_STREQ(vorn3s_last_error(), c.message);
    EXPECT_STREQ(out, "");
  }
}

// On Windows a colon past the drive names a stream of a file, data that no listing shows:
// every surface refuses such a name by its text. Elsewhere a colon is part of a name like
// any other, and the file that carries it is found.
TEST(colon_names, refused_on_windows_found_as_names_elsewhere) {
  temp_tree t;
  t.write("Movies/film.mkv", "film");
  t.write("Movies/film.srt", "subs");
  if (!ON_WINDOWS) {
    t.write("Movies/film.mkv:x", "named with a colon");
    t.write("Movies/Sub:x/film.mkv", "in a folder named with a colon");
  }
  const std::string root = t.path("Movies");
  ASSERT_EQ(vorn3s_add_root(root.c_str()), 0);
  const int refused_or_found = ON_WINDOWS ? VORN3S_EESCAPE : 0;
  for (const char* rel : {"film.mkv:x", "Sub:x/film.mkv"}) {
    SCOPED_TRACE(rel);
    const std::string id = std::string("Movies/") + rel;
    char* path = nullptr;
    int index = -1;
    EXPECT_EQ(resolve_id(roots_get(), id.c_str(), 0, &path, &index), refused_or_found);
    std::free(path);
    char out[2048];
    EXPECT_EQ(vorn3s_resolve(root.c_str(), rel, out, sizeof out), refused_or_found);
    vorn3s_listing_json(root.c_str(), rel, 0);
    EXPECT_EQ(vorn3s_last_code(), refused_or_found);
    vorn3s_subtitles_json(root.c_str(), (std::string(R"({"FullName":")") + rel + "\"}").c_str());
    EXPECT_EQ(vorn3s_last_code(), refused_or_found);
  }
  // The stream forms name nothing on any system but Windows, where they are refused.
  for (const char* rel : {"film.mkv::$DATA", "film.mkv:x:$DATA"}) {
    SCOPED_TRACE(rel);
    char out[2048];
    EXPECT_EQ(vorn3s_resolve(root.c_str(), rel, out, sizeof out),
              ON_WINDOWS ? VORN3S_EESCAPE : VORN3S_ENOTFOUND);
    filearg by_name;
    by_name.name = x_strdup(rel);
    char* path = nullptr;
    int index = -1;
    EXPECT_EQ(resolve_openfile(roots_get(), &by_name, &path, &index),
              ON_WINDOWS ? VORN3S_EESCAPE : VORN3S_ENOTFOUND);
    EXPECT_EQ(path, nullptr);
    vorn3s_subtitles_json(root.c_str(),
                          (std::string(R"({"Folder":"Movies","Name":")") + rel + "\"}").c_str());
    EXPECT_EQ(vorn3s_last_code(), ON_WINDOWS ? VORN3S_EESCAPE : VORN3S_ENOTFOUND);
  }
}
