// SPDX-License-Identifier: MIT
// The file argument: parsing it, finding the file it names among the roots as OpenFile
// and Subtitle do, scanning for that file's subtitles, and the subtitles query. Whatever
// the text, a file found lies inside the roots and no reply carries what lies outside.
#include <cstdint>
#include <string>

#include "catalogue/filearg.h"
#include "catalogue/find_file.h"
#include "catalogue/subtitles.h"
#include "fuzz_tree.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "util/media_names.h"
#include "util/paths.h"
#include "util/strbuf.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_tree_get();
  return 0;
}

// The scan the Subtitle action makes for a file found, with and without its limit.
static void scan_beside(const filearg& fa, const char* path, int index, std::string_view input) {
  roots_snapshot roots;
  roots_snapshot_take(roots_get(), &roots);
  const root_view* root = nullptr;
  for (int i = 0; i < roots.count; i++) {
    if (roots.roots[i].index == index) root = &roots.roots[i];
  }
  oracle(root != nullptr, "the root of a file found is not live");
  char stem[512];
  stem_of((fa.name && *fa.name) ? fa.name : final_component(path).data(), stem, sizeof stem);
  const subtitle_bound bound{root->path, root->is_file};
  for (size_t limit : {size_t{1024}, SIZE_MAX}) {
    strbuf sb;
    subtitle_scan(path, stem, bound, &sb, limit);
    oracle(nothing_from_outside(sb_text(&sb), input), "a subtitle from outside the roots");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz_tree& tree = fuzz_tree_get();
  const std::string text(reinterpret_cast<const char*>(data), size);  // terminated
  filearg fa;
  if (parse_file_arg(text.c_str(), &fa) == 0) {
    oracle(fa.full_name || fa.name, "a parsed argument without FullName and Name");
    char* found = nullptr;
    int index = -1;
    if (resolve_openfile(roots_get(), &fa, &found, &index) == 0) {
      const text_ptr path(found);
      oracle(path && inside_roots(path.get()), "a file found outside the roots");
      scan_beside(fa, path.get(), index, text);
    } else {
      oracle(!found && index == -1, "a failed search left a result");
    }
  }
  for (const std::string& root : {tree.movies, tree.shows}) {
    const std::string reply = vorn3s_subtitles_json(root.c_str(), text.c_str());
    oracle(nothing_from_outside(reply, text), "the subtitles query sent what lies outside");
    oracle(vorn3s_last_code() != 0 || !reply.empty(), "a successful query without text");
  }
  return 0;
}
