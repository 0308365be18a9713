// SPDX-License-Identifier: MIT
// The tree every fuzz target works in, made once per process, and the oracle they share:
// nothing outside the roots is ever resolved or sent.
//
//   outside/                  not a root: a secret subtitle and a video only it holds
//   Movies/                   a root: film.mkv with subtitles, Sub/ with its own,
//     inside -> Sub             a link that stays inside,
//     escape -> ../outside      links that leave, to a folder and to a file,
//     film.leak.srt -> ../outside/secret.srt
//   Shows/                    a root
//   clip.mp4                  a root that is one file, its subtitles beside it
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct fuzz_tree {
  std::string top;  // canonical path of the temporary folder
  std::string movies, shows, clip;  // canonical paths of the three roots
};

// Makes the tree, registers its roots and sets small limits; the tree is removed when the
// process ends. Later calls return the same tree.
const fuzz_tree& fuzz_tree_get();

// Stops the run with `what` when `ok` is false: libFuzzer keeps the input as a crash.
void oracle(bool ok, const char* what);

// True when `path`, a canonical path, is one of the roots or lies in a folder root.
bool inside_roots(std::string_view path);
// True when `text` carries nothing of what lies outside the roots: not the secret's
// bytes, not their Base64, not the name of the video only the outside folder holds. A
// marker that the `input` itself holds proves nothing (a listing names its children
// under the ID the client sent), so it is not looked for.
bool nothing_from_outside(std::string_view text, std::string_view input);
