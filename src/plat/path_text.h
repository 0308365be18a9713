// SPDX-License-Identifier: MIT
// The text rules of the platform layer, the same on every system but for one choice each
// system makes: whether the case of ASCII letters counts when paths are compared.
#pragma once

// 1 when `path` is `root` or lies under it, else 0; see plat_path_under. `case_blind`:
// "C:\Media" and "c:\media" are the same text.
int path_text_under(const char* path, const char* root, bool case_blind);
