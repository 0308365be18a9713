// SPDX-License-Identifier: MIT
// The containment rule: nothing a client or caller sends may reach an entry outside its
// root, not by "..", an absolute form, or a link. First the text refusals, each as narrow
// as the request it guards allows; then the one test of a canonical path against a root.
#pragma once

// ".." anywhere: the subtitle query's Folder and Name.
bool has_dotdot(const char* text);
// ".." anywhere or a leading "/" or "\": the browsing actions, the listing query and the
// subtitle query's FullName.
bool has_dotdot_or_lead_sep(const char* text);
// ".." anywhere, an absolute form (a leading separator or a drive letter), or a backslash
// anywhere: identifiers and the relative path of the resolve query.
bool has_dotdot_absolute_or_backslash(const char* text);
// A character that the system reads as more than part of a name (on Windows a colon,
// which names a drive or a stream of a file that no listing shows): every identifier,
// relative path and name from outside, on top of the refusals above.
bool has_reserved_text(const char* text);

// The only door: true when `candidate`, a canonical path or the real path of an open
// file, may be reached through the root whose canonical path is `root`. A folder root
// contains itself and everything below it; a single-file root only its own file.
bool path_contained(const char* candidate, const char* root, bool root_is_file);
