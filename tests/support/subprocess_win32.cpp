// SPDX-License-Identifier: MIT
// The console program as a child process on Windows: CreateProcessW with three pipes.
// Anonymous pipes have no wait with a time-out, so reads look at what a pipe holds
// (PeekNamedPipe) and sleep briefly in between, always within their deadline.
#include "support/subprocess.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace {

HANDLE h(void* p) { return static_cast<HANDLE>(p); }

std::wstring wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// One argument quoted so that the C runtime's parser gives it back unchanged.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      backslashes++;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

std::vector<std::string> s_command;

// The program under test: VORN3S_CLI_PATH, which a cross-build gives relative to the
// folder of the test executable.
std::wstring program_path() {
  std::wstring prog = wide(s_command.empty() ? std::string(VORN3S_CLI_PATH) : s_command[0]);
  const bool absolute = prog.size() > 1 && (prog[1] == L':' || (prog[0] == L'\\' && prog[1] == L'\\'));
  if (absolute) return prog;
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring dir(self, n);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  for (auto& c : prog) {
    if (c == L'/') c = L'\\';
  }
  return dir + prog;
}

// Reads what `pipe` holds into `buf`: true when something came, false at the end of the
// pipe or once `deadline` (GetTickCount64) has passed.
bool read_some(void* pipe, std::string* buf, ULONGLONG deadline) {
  if (!pipe) return false;
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(h(pipe), nullptr, 0, nullptr, &avail, nullptr)) return false;  // the end
    if (avail > 0) {
      char chunk[4096];
      DWORD got = 0;
      if (!ReadFile(h(pipe), chunk, avail < sizeof chunk ? avail : sizeof chunk, &got, nullptr) || got == 0)
        return false;
      buf->append(chunk, got);
      return true;
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(2);
  }
}

void close_handle(void** p) {
  if (*p) CloseHandle(h(*p));
  *p = nullptr;
}

}  // namespace

void set_cli_command(const std::vector<std::string>& command, bool) { s_command = command; }

cli_process::cli_process(const std::vector<std::string>& args, bool null_input) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr, child_err = nullptr;
  HANDLE in_w = nullptr, out_r = nullptr, err_r = nullptr;
  if (!CreatePipe(&child_in, &in_w, &inherit, 1 << 16) ||
      !CreatePipe(&out_r, &child_out, &inherit, 1 << 16) ||
      !CreatePipe(&err_r, &child_err, &inherit, 1 << 16))
    return;
  for (HANDLE mine : {in_w, out_r, err_r}) SetHandleInformation(mine, HANDLE_FLAG_INHERIT, 0);
  if (null_input) {  // as "< NUL" gives it
    CloseHandle(child_in);
    CloseHandle(in_w);
    in_w = nullptr;
    child_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                           0, nullptr);
  }

  const std::wstring prog = program_path();
  std::wstring cmd = quoted(prog);
  for (size_t i = 1; i < s_command.size(); i++) cmd += L" " + quoted(wide(s_command[i]));
  for (const auto& a : args) cmd += L" " + quoted(wide(a));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = child_in;
  si.hStdOutput = child_out;
  si.hStdError = child_err;
  PROCESS_INFORMATION pi{};
  // A process group of its own, as a console program started for a job would have.
  if (CreateProcessW(prog.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                     nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    process = pi.hProcess;
  }
  CloseHandle(child_in);
  CloseHandle(child_out);
  CloseHandle(child_err);
  in_pipe = in_w;
  out_pipe = out_r;
  err_pipe = err_r;
}

cli_process::~cli_process() {
  if (process && WaitForSingleObject(h(process), 0) == WAIT_TIMEOUT) {
    TerminateProcess(h(process), 137);
    WaitForSingleObject(h(process), 10000);
  }
  for (void** p : {&process, &in_pipe, &out_pipe, &err_pipe}) close_handle(p);
}

bool cli_process::write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD put = 0;
    if (!in_pipe ||
        !WriteFile(h(in_pipe), text.data() + done, static_cast<DWORD>(text.size() - done), &put, nullptr))
      return false;
    done += put;
  }
  return true;
}

void cli_process::close_stdin() { close_handle(&in_pipe); }

std::optional<std::string> cli_process::read_line(int timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    const size_t lf = out_buf.find('\n');
    if (lf != std::string::npos) {
      std::string line = out_buf.substr(0, lf);
      out_buf.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (!read_some(out_pipe, &out_buf, deadline)) return std::nullopt;
  }
}

void cli_process::signal(int sig) {
  if (!process || (sig != SIGINT && sig != SIGBREAK)) return;
  // The console host delivers Ctrl-C and Ctrl-Break this way: a new thread in the
  // program, running the system's control routine with the event.
  const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
  const DWORD_PTR event = sig == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
  if (!routine) return;
  const HANDLE t =
      CreateRemoteThread(h(process), nullptr, 0, routine, reinterpret_cast<void*>(event), 0, nullptr);
  if (t) CloseHandle(t);
}

std::optional<int> cli_process::wait_exit(int timeout_ms) {
  if (!process || WaitForSingleObject(h(process), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(h(process), &code);
  return static_cast<int>(code);
}

std::string cli_process::drain_err(int timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  while (read_some(err_pipe, &err_buf, deadline)) {
  }
  return lf_line_ends(err_buf);
}

run_result run_cli(const std::vector<std::string>& args, const std::string& input, int timeout_ms) {
  cli_process p(args);
  p.write(input);
  p.close_stdin();
  run_result r;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  // Read both pipes to their end so that a chatty child never blocks on a full pipe.
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && GetTickCount64() < deadline) {
    bool got = false;
    for (int i = 0; i < 2; i++) {
      bool& open = i == 0 ? out_open : err_open;
      if (!open) continue;
      DWORD avail = 0;
      void* pipe = i == 0 ? p.out_pipe : p.err_pipe;
      if (!PeekNamedPipe(h(pipe), nullptr, 0, nullptr, &avail, nullptr)) {
        open = false;
      } else if (avail > 0) {
        got = read_some(pipe, i == 0 ? &r.out : &r.err, deadline) || got;
      }
    }
    if (!got) Sleep(2);
  }
  r.out = lf_line_ends(r.out);
  r.err = lf_line_ends(r.err);
  const ULONGLONG now = GetTickCount64();
  const auto status = p.wait_exit(static_cast<int>(deadline > now ? deadline - now : 0) + 100);
  r.status = status ? *status : -1;
  return r;
}
