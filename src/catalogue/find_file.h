// SPDX-License-Identifier: MIT
// Finding the file a file argument designates among the live roots.
#pragma once

#include "catalogue/filearg.h"
#include "server/roots.h"

// Finds the file `fa` designates among the live roots: by its ID, else by its folder and
// name, else by its name at the top of each root. 0 with an owned path in `*out_path`
// (null on entry) and the root's index, or a negative code.
int resolve_openfile(roots_table* roots, const filearg* fa, char** out_path, int* out_index);
