// SPDX-License-Identifier: MIT
// Identifiers: resolution among the roots and the listing of what they name, the split
// of an ID, and the resolve query against one root. Links inside the roots may be
// followed; links that leave them never are.
#include <cstdint>
#include <cstring>
#include <string>

#include "catalogue/listing.h"
#include "catalogue/resolve.h"
#include "fuzz_tree.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "util/paths.h"
#include "util/strbuf.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_tree_get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const fuzz_tree& tree = fuzz_tree_get();
  const int flags = data[0];
  const std::string id(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (id.find('\0') != std::string::npos) return 0;  // no ID or path ever holds one

  char root_name[ROOT_NAME_CAP];
  char rel[REL_CAP];
  if (id_split(id.c_str(), root_name, rel) == 0) {
    const bool slash = id.find('/') != std::string::npos;
    oracle(std::string(root_name) + (slash ? "/" : "") + rel == id, "a split that loses bytes");
  }

  const int want_dir = flags & 1;
  char* found = nullptr;
  int index = -1;
  if (resolve_id(roots_get(), id.c_str(), want_dir, &found, &index) == 0) {
    const text_ptr path(found);
    oracle(inside_roots(path.get()), "an ID resolved outside the roots");
    oracle(index >= 0 && index < MAX_ROOTS, "a resolution without its root");
    if (want_dir) {
      // What OpenFolder and SubFolders send for that folder.
      strbuf sb;
      (flags & 2) ? listing_folders_host(path.get(), id.c_str(), &sb, 1024)
                  : listing_files_host(path.get(), id.c_str(), "F", &sb, 1024);
      oracle(nothing_from_outside(sb_text(&sb), input), "a listing of what lies outside");
    }
  } else {
    oracle(!found && index == -1, "a failed resolution left a result");
  }

  char out[PATH_CAP];
  if (vorn3s_resolve(tree.movies.c_str(), id.c_str(), out, sizeof out) == 0) {
    const std::string_view p(out);
    oracle(p == tree.movies || (p.substr(0, tree.movies.size() + 1) == tree.movies + "/"),
           "the resolve query left its root");
  }
  // The listing query takes any root its caller names; only that it holds is checked.
  const char* listing = vorn3s_listing_json(tree.movies.c_str(), id.c_str(), flags & 2);
  oracle(listing != nullptr, "a listing query without text");
  return 0;
}
