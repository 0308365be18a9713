// SPDX-License-Identifier: MIT
// Identifiers a hostile client may send, and the tree they are sent against: a root named
// Movies with the folders outside, Movies2 and movies beside it, and links from inside it
// leading there. Shared by the resolution tests and the protocol tests against the
// Windows program.
#pragma once

#include <string>

#include "support/fixture.h"

// IDs that their text alone refuses, before any root is looked at.
inline constexpr const char* REFUSED_IDS[] = {
    "..",
    "../x",
    "../outside/secret.mkv",
    "Movies/..",
    "Movies/../outside/secret.mkv",
    "Movies/Sub/../../outside/secret.mkv",
    "Movies/outdir/../a.mkv",
    "..Movies",
    "Movies..",
    "Movies/..x",
    "Movies/x..",
    "Movies/a..b.mkv",
    "Movies/.../x",
    "/etc",
    "/",
    "//Movies/a.mkv",
    "\\x",
    "\\Movies\\a.mkv",
    "Movies\\x",
    "Movies/Sub\\clip.mkv",
    "C:x",
    "c:/x",
    "z:",
};

// Text that is odd but not refused: it may resolve or not, but only ever to an entry
// inside the root.
inline constexpr const char* ODD_IDS[] = {
    "%2e%2e",
    "Movies/%2e%2e/outside/secret.mkv",
    "Movies//a.mkv",
    "Movies//x",
    "Movies/./a.mkv",
    "Movies/.",
    "Movies/./",
    "Movies/a.mkv/",
    "Movies/a.mkv/.",
    "Movies/Sub/./clip.mkv",
    "Movies/\x01\x1f\x7f",
    "Movies/\t",
    "Movies/a.mkv\n",
    "Movies/ ",
    "Movies/~",
    "Movies/*",
    "\x01/a.mkv",
    "\xff\xfe/a.mkv",
    "Movies/\xc0\xae\xc0\xae/outside/secret.mkv",
    "Movies/outdir",
    "Movies/outdir/.",
    "Movies/d2/.",
    "Movies/dc/./x.mkv",
    "1:/a.mkv",
    ":/a.mkv",
    "Movies:x",
};

// Links that lead out of the root, as the last component and through a folder.
inline constexpr const char* ESCAPING_LINK_IDS[] = {
    "Movies/out.mkv",   "Movies/outdir/secret.mkv", "Movies/outdir",   "Movies/outdir/Sub", "Movies/n2.mkv",
    "Movies/nc.mkv",    "Movies/d2/x.mkv",          "Movies/dc/x.mkv", "Movies/d2",         "Movies/dc",
    "Movies/chain.mkv",
};

// T/Movies is the root; T/outside, T/Movies2 and T/movies lie beside it and hold files a
// client must never reach, each linked from inside the root where the system has links.
// `case_neighbour` false leaves T/movies out: Windows names ignore case, so there it
// would be the root itself.
struct hostile_tree {
  temp_tree t;
  explicit hostile_tree(bool case_neighbour = !ON_WINDOWS) {
    t.write("Movies/a.mkv", "a");
    t.write("Movies/Sub/clip.mkv", "c");
    t.write("outside/secret.mkv", "secret");
    t.mkdir("outside/Sub");
    t.write("Movies2/x.mkv", "neighbour");
    if (case_neighbour) t.write("movies/x.mkv", "other case");
    if (ON_WINDOWS) return;  // no links there (see NEEDS_LINKS)
    t.symlink(t.path("outside/secret.mkv"), "Movies/out.mkv");
    t.symlink(t.path("outside"), "Movies/outdir");
    t.symlink("../Movies2/x.mkv", "Movies/n2.mkv");
    t.symlink("../movies/x.mkv", "Movies/nc.mkv");
    t.symlink("../Movies2", "Movies/d2");
    t.symlink("../movies", "Movies/dc");
    t.symlink("../Movies2/../outside/secret.mkv", "Movies/chain.mkv");
  }
  std::string root() const { return t.path("Movies"); }
};
