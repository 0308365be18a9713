// SPDX-License-Identifier: MIT
// The file argument of OpenFile, Subtitle and the subtitles query: one JSON object, most
// often a file record from a listing, naming a file by its ID, its folder and its name.
#pragma once

struct filearg {
  char* full_name = nullptr;  // "FullName"; each field an owned text or null
  char* folder = nullptr;     // "Folder"
  char* name = nullptr;       // "Name"
  char* file_type = nullptr;  // "FileType"; kept, never used to find the file

  filearg() = default;
  ~filearg();  // releases the texts, as filearg_free does
  filearg(const filearg&) = delete;
  filearg& operator=(const filearg&) = delete;
};

// Parses one strict JSON object. 0, or -1 (every field null) when the text is not such an
// object or holds neither "FullName" nor "Name" as a string.
int parse_file_arg(const char* text, filearg* fa);
void filearg_free(filearg* fa);
