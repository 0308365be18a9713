// SPDX-License-Identifier: MIT
// The one door to the operating system: files, folders and canonical paths; sockets,
// local control connections, threads, locks, time and the console. Nothing here names a
// type of any particular system, so each target supplies its own implementation file
// behind this header.
//
// Conventions: every text is terminated UTF-8; int results are 0 (or a count) for
// success and -1 for failure; pointer results are null for failure. Nothing prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

// ---- Files and folders -------------------------------------------------------------

struct plat_statinfo {
  int32_t is_dir = 0;     // a directory
  int32_t is_file = 0;    // a file; pipes, sockets and devices are neither
  int32_t is_link = 0;    // the path as passed names a link (Windows: any reparse point)
  int32_t is_hidden = 0;  // a name beginning with "." (POSIX); the hidden or system attribute
  int64_t size = 0;       // length in bytes
  int64_t mtime = 0;      // last write, whole seconds since 1970-01-01 UTC
};

struct plat_dir;   // one directory enumeration, opaque
struct plat_file;  // one file opened for reading, opaque

// Examines `path`; `follow` non-zero describes a link's target. 0, or -1 when the entry
// does not exist or cannot be examined. `out` is cleared on every call.
int plat_stat(const char* path, plat_statinfo* out, int follow);

// The canonical absolute path of an existing entry (every link resolved, no "." or ".."
// parts), newly allocated with malloc; the caller frees it. Null when there is none.
char* plat_realpath(const char* path);

// Enumerates a directory; the empty path is the current directory. Null on failure.
plat_dir* plat_opendir(const char* path);
// The next entry's name, never "." or ".."; owned by `dir` until the next call. Names
// that are not valid UTF-8 are skipped. Null at the end.
const char* plat_readdir(plat_dir* dir);
void plat_closedir(plat_dir* dir);  // null is allowed

// Opens an existing regular file for reading; anything else (a folder, a pipe, a device)
// is refused, and the call never blocks. Null on failure.
plat_file* plat_fopen_read(const char* path);
// Reads up to `n` bytes at `offset`: exactly `n` unless the end of the file or an error
// comes first. Bytes read (0 at or past the end), or -1 on error.
int64_t plat_fread_at(plat_file* file, uint64_t offset, void* buf, size_t n);
void plat_fclose(plat_file* file);  // null is allowed
// The canonical path of the file an open handle reads, newly allocated (the caller frees
// it), or null. Checking this after the open leaves no gap for a link swapped in between.
char* plat_file_realpath(plat_file* file);

// A file that lines are appended to, such as a log: opaque.
struct plat_out_file;
// Opens `path` for appending, creating it when absent (POSIX: mode 0644 less the umask).
// Others may read, rename and delete it while it is open. Null on failure.
plat_out_file* plat_append_open(const char* path);
// The process's standard error as such a file; closing it leaves the stream open.
plat_out_file* plat_stderr_file();
// Writes all `n` bytes at the end of the file: 0, or -1 when not all could be written.
int plat_append_write(plat_out_file* file, const void* bytes, size_t n);
void plat_append_close(plat_out_file* file);  // null is allowed

// 1 when `path` is `root` or lies under it, else 0. A pure text rule on canonical paths,
// the same on every system: compared byte for byte, case included, since both come from
// the file system with the case of every name as stored; "/" and "\" both separate.
int plat_path_under(const char* path, const char* root);
// The separator between the names of a canonical path: "/" on POSIX, "\" on Windows.
char plat_path_sep();
// 1 when `text` begins with "/" or "\" or with an ASCII letter and ":", else 0.
int plat_is_absolute(const char* text);
// 1 when `text`, a name or relative path from outside, holds a character that the
// system's file services read as more than part of a name, else 0. On Windows that is a
// colon, which names a drive or a stream of a file (data that no listing shows); POSIX
// has none.
int plat_text_reserved(const char* text);

// ---- Sockets -----------------------------------------------------------------------

// A socket value of the system, wide enough for any of them; all bits set means none.
using plat_socket = uintptr_t;
inline constexpr plat_socket PLAT_NO_SOCKET = ~plat_socket{0};

inline constexpr int PLAT_POLL_READ = 1;
inline constexpr int PLAT_POLL_WRITE = 2;

// Prepares the socket services; 0, or -1 (a later call tries again).
int plat_net_init();
void plat_sock_close(plat_socket s);  // the no-socket value is ignored
// Waits up to `timeout_ms` for `want` (PLAT_POLL_READ | PLAT_POLL_WRITE). -1 on a failed
// wait, 0 on a time-out, else the readiness: a hang-up or an error counts as readable.
int plat_poll1(plat_socket s, int want, int timeout_ms);

// 1 when `text` is exactly a dotted IPv4 address the system accepts, else 0.
int plat_ipv4_parse(const char* text);
// Opens a listening IPv4 TCP socket on `ip`:`port` (address reuse on, backlog 16, never
// blocking in accept). 0 with the socket in `out`; -1 when no socket could be made, -2
// when bind or listen failed (the socket is closed then).
int plat_tcp_listen(const char* ip, int port, plat_socket* out);
// The local port a socket is bound to, or -1.
int plat_sock_port(plat_socket s);
// The far end of an IPv4 connection, both numbers in host byte order (127.0.0.1 is
// 0x7F000001).
struct plat_peer {
  uint32_t ipv4 = 0;
  uint16_t port = 0;
};
// What plat_accept_conn gives when the process or the system has no descriptor (or no
// buffer memory) left for a waiting connection; the connection then stays waiting.
inline constexpr int PLAT_EXHAUSTED = -2;
// Accepts one waiting connection as a non-blocking socket: 0 with it in `*out`, and with
// `peer` the client's address and port there (zeros when the system gives none);
// PLAT_EXHAUSTED as above; -1 when none is waiting any more or on any other error.
int plat_accept_conn(plat_socket listener, plat_socket* out, plat_peer* peer = nullptr);
// The same, for callers that need not tell the failures apart: the socket, or
// PLAT_NO_SOCKET.
inline plat_socket plat_accept(plat_socket listener, plat_peer* peer = nullptr) {
  plat_socket s = PLAT_NO_SOCKET;
  return plat_accept_conn(listener, &s, peer) == 0 ? s : PLAT_NO_SOCKET;
}

// One descriptor held back, so that a listener that has run out of them can still
// accept a connection and close it: released just before that accept, taken again
// after. Null when none could be taken.
struct plat_reserve;  // opaque
plat_reserve* plat_reserve_take();
void plat_reserve_release(plat_reserve* r);  // null is allowed
// Wakes any wait on a listening socket without releasing its number, where the system
// can (not Windows: there the wait runs to its time-out).
void plat_sock_shutdown(plat_socket s);
// One receive or send on a non-blocking socket: bytes moved; 0 when the peer closed
// (receive only); -2 when it would block; -1 on error. A send never raises a signal.
int64_t plat_recv(plat_socket s, void* buf, size_t n);
int64_t plat_send(plat_socket s, const void* buf, size_t n);
// How plat_send_file moves a file's bytes. zero_copy: the system hands the file's pages
// to the socket and the reader copies them from the page cache. copy_once: the bytes are
// copied once, from a read-only view of the file kept with the handle, into the socket;
// the view's pages are let go after every send, so none stay resident. Where copy_once
// cannot be done (no view, bytes beyond it) the call goes zero_copy.
enum class plat_send_way { zero_copy, copy_once };
// What plat_send_file gives when the system took nothing within the time-out.
inline constexpr int PLAT_TIMED_OUT = -3;
// Sends up to `n` bytes of `file` from `offset` on a non-blocking socket without copying
// them through the caller: bytes sent; 0 when `offset` is at or past the end of the file;
// -2 when the socket would block (the caller waits for it and calls again); -1 on a
// failure of either side, or where the system cannot send from a file (the caller then
// reads and sends the bytes itself). Where the system's send from a file cannot be told
// not to block (Windows), a send under way waits at most `timeout_ms`, then gives
// PLAT_TIMED_OUT; elsewhere the call never waits.
int64_t plat_send_file(plat_socket s, plat_file* file, uint64_t offset, size_t n, int timeout_ms,
                       plat_send_way way = plat_send_way::zero_copy);
// Switches Nagle's algorithm off; the result of the system's set-option call.
int plat_set_nodelay(plat_socket s);

// ---- Threads, locks and time -------------------------------------------------------

struct plat_thread_rec;  // opaque
using plat_thread = plat_thread_rec*;

// Starts `fn(arg)` on a new thread with a 1 MiB stack. 0 with the handle in `out`, or -1,
// in which case `arg` still belongs to the caller.
int plat_thread_start(plat_thread* out, int (*fn)(void*), void* arg);
// Waits for the thread to end and releases its handle.
void plat_thread_join(plat_thread h);
// Releases the handle without waiting; the thread runs on by itself.
void plat_thread_detach(plat_thread h);

// A plain, non-recursive lock; the standard library already is portable here.
struct plat_mutex {
  std::mutex m;
};
inline void plat_lock(plat_mutex* m) { m->m.lock(); }
inline void plat_unlock(plat_mutex* m) { m->m.unlock(); }
// Holds a plat_mutex for the life of a scope.
class plat_guard {
 public:
  explicit plat_guard(plat_mutex& m) : m_(m) { plat_lock(&m_); }
  ~plat_guard() { plat_unlock(&m_); }
  plat_guard(const plat_guard&) = delete;
  plat_guard& operator=(const plat_guard&) = delete;

 private:
  plat_mutex& m_;
};

uint64_t plat_now_ms();  // monotonic milliseconds; never goes backwards
void plat_sleep_ms(int ms);

// ---- Local control connections -------------------------------------------------------

// A stream endpoint that only this machine can reach, for the operator's control
// connections: a Unix-domain socket at a path on POSIX; a named pipe on Windows, where
// "\\.\pipe\NAME" is its full name and a NAME without that prefix stands for it.
struct plat_local_listener;  // opaque
struct plat_local_conn;      // opaque

// Failures of plat_local_listen and plat_local_connect besides -1 (any other).
inline constexpr int PLAT_LOCAL_NOT_SOCKET = -3;  // the path exists and is no socket
inline constexpr int PLAT_LOCAL_IN_USE = -4;      // a running server listens there
inline constexpr int PLAT_LOCAL_TOO_LONG = -5;    // the name is longer than the system takes
inline constexpr int PLAT_LOCAL_GROUP = -6;       // the group is unknown or cannot be given access
inline constexpr int PLAT_LOCAL_DENIED = -7;      // this user may not connect
inline constexpr int PLAT_LOCAL_ABSENT = -8;      // nothing listens there

// Listens at `path`, reachable by this user only, and by the members of `group` when it is
// not null (POSIX: a socket of mode 0600, or 0660 owned by that group; Windows: a pipe
// that this user and the administrators may open, never a client on another machine, and
// `group` is refused). An endpoint left behind by a server that has gone is replaced.
// 0 with the listener in `*out`, or a failure as above.
int plat_local_listen(const char* path, const char* group, plat_local_listener** out);
// Waits up to `timeout_ms` for a connection: 1 with it in `*out`, 0 when none came, -1 on
// a failure.
int plat_local_accept(plat_local_listener* listener, int timeout_ms, plat_local_conn** out);
// Stops listening and removes the socket from the file system if it is still this one's.
void plat_local_listen_close(plat_local_listener* listener);  // null is allowed
// Connects to the endpoint at `path`, waiting up to `timeout_ms` while it is busy: 0 with
// the connection in `*out`, or a failure as above.
int plat_local_connect(const char* path, int timeout_ms, plat_local_conn** out);
// Waits up to `timeout_ms` for bytes and takes what is there, at most `n`: bytes; 0 when
// the peer has closed; -2 when nothing came in time; -1 on a failure. One thread may
// receive while another sends on the same connection.
int64_t plat_local_recv(plat_local_conn* conn, void* buf, size_t n, int timeout_ms);
// Sends all `n` bytes within `timeout_ms` in all: 0, or -1 on a failure or time-out.
int plat_local_send(plat_local_conn* conn, const void* buf, size_t n, int timeout_ms);
void plat_local_close(plat_local_conn* conn);  // null is allowed

// ---- Console -----------------------------------------------------------------------

// Waits up to `timeout_ms` for standard input and reads what is there, at most `cap`
// bytes. Bytes read; 0 when nothing came in time (or a signal arrived); -1 at the end of
// the input or on error.
int plat_stdin_read(char* buf, int cap, int timeout_ms);
// Calls `handler` on an interrupt (SIGINT, Ctrl-C) and on a console break (Windows:
// Ctrl-Break, SIGBREAK; POSIX has none, so the system's request to end the program,
// SIGTERM, stands in for it). A wait in plat_stdin_read returns when one arrives.
void plat_on_interrupt(void (*handler)(int));
// Calls `handler` when the system asks a service to reopen its files (POSIX: SIGHUP). A
// wait in plat_stdin_read returns when it arrives. Nothing where there is no such request
// (Windows).
void plat_on_reopen(void (*handler)(int));

// ---- The program's arguments -------------------------------------------------------

// Makes `*argc` and `*argv`, as main received them, the program's arguments in UTF-8.
// Where main receives them in another encoding (Windows: the ANSI code page, which cannot
// hold every name) they are read again from the system and replaced; the new array lives
// until the process ends. There the console is also set to show UTF-8 output.
void plat_main_args(int* argc, char*** argv);
