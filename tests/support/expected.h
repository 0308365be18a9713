// SPDX-License-Identifier: MIT
// The texts tests expect, built independently of the code under test: listing and
// subtitle records, Base64, and the directory order that listings keep.
#pragma once

#include <map>
#include <string>
#include <vector>

struct test_client;

// The names of a folder in the order the system gives them: through the platform layer,
// or through the lister a test run sets for a server that runs on another system.
std::vector<std::string> dir_order(const std::string& path);
using dir_lister = std::vector<std::string> (*)(const std::string& path);
void set_dir_lister(dir_lister lister);
// "[" + the records of the names that have one, in directory order, + "]".
std::string in_dir_order(const std::string& dir, const std::map<std::string, std::string>& records);

std::string base64(const std::string& bytes);
std::string folder_record(const std::string& name, const std::string& full, bool has_sub);
std::string file_record(const std::string& name, const std::string& type, const std::string& ctype,
                        const std::string& folder, const std::string& full);
// A file record whose file type and content type follow from the name.
std::string file_record(const std::string& name, const std::string& folder, const std::string& full);
std::string subtitle_record(const std::string& name, const std::string& bytes);
std::string subtitle_record_b64(const std::string& name, const std::string& b64);
// The record in a reply whose first member is "Name" `name`; records hold no nested braces.
std::string record_for(const std::string& reply, const std::string& name);

// The listings of a folder as the catalogue writes them; the call must succeed.
std::string files_of(const std::string& dir, const char* prefix, const char* folder);
std::string folders_of(const std::string& dir, const char* prefix);

// Sends OpenFile with `filejson`; nothing comes back.
void open_file(test_client& c, const std::string& filejson);
