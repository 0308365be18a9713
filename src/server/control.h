// SPDX-License-Identifier: MIT
// The control socket: the console's commands from clients on this machine, each line one
// command, answered with exactly the lines the console prints for it and then an end
// marker. Every client has a thread of its own, every wait of it is bounded, and no
// command runs while a reply is being sent, so no client can hold up another or the
// server.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A line, its line feed included, is at most this long; a longer one is refused whole.
// Up to it a line is exactly what the console on standard input takes in one piece.
inline constexpr size_t CONTROL_LINE_MAX = 2048;

// The marker after each reply, a line of its own: no line of the console begins with a
// full stop. ". 0" when the command succeeded, ". 1" when it failed or was refused.
inline constexpr std::string_view CONTROL_END_OK = ". 0";
inline constexpr std::string_view CONTROL_END_FAILED = ". 1";

enum class command_outcome { done, failed, quit };

// Runs one console line (as read, its line feed still on it) and appends what the
// console prints for it to `out`. Called from the clients' threads, so it serialises
// the commands itself.
using command_runner = command_outcome (*)(char* line, std::string* out);

// Listens at `path` for control clients (see plat_local_listen for who may connect);
// nothing is served before control_serve. 0, or a PLAT_LOCAL_ failure.
int control_open(const char* path, const char* group);
// Serves every client with `run`, from a thread of its own: 0, or VORN3S_ENET.
int control_serve(command_runner run);
// Stops taking clients, ends the connected ones (each within a few seconds) and removes
// the socket. Nothing when none is open.
void control_close();

// What a PLAT_LOCAL_ failure means, in words: of control_open when `listening`, else of
// a connection to a server.
const char* control_error_text(int code, bool listening);
