// SPDX-License-Identifier: MIT
// The Windows program under Wine as the server of a protocol test, driven from Linux.
#pragma once

#include <string>
#include <vector>

// A Linux path in the form that programs under Wine know it by: on the drive Z:, which
// Wine maps to "/", with backslashes.
std::string wine_path(const std::string& linux_path);

// The port in a banner "listening 127.0.0.1:PORT roots=...", or 0.
int banner_port(const std::string& line);

// The names of a Linux folder in the order that programs under Wine enumerate them (Wine
// sorts them), as its command interpreter lists them.
std::vector<std::string> wine_dir_order(const std::string& linux_path);

// Runs Windows programs under Wine with `runner`; set once before the tests.
void set_wine_runner(const std::string& runner);
