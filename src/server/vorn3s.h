// SPDX-License-Identifier: MIT
/* vorn3s: the exported interface of the media server, for host programs in C or C++.
 *
 * Conventions:
 * - Texts are terminated UTF-8. No function keeps a pointer that the caller passed.
 * - Functions that can fail return VORN3S_OK (or an index) for success and a negative
 *   VORN3S_E* code for failure, and store the code and a short message, read back with
 *   vorn3s_last_code() and vorn3s_last_error(). A success stores only where its contract
 *   below names a message; the functions that cannot fail store nothing.
 * - Functions returning JSON text return a shared buffer that stays valid until the next
 *   such call, or "" on failure; the caller releases neither. The four are
 *   vorn3s_handshake_json, vorn3s_root_json, vorn3s_listing_json and
 *   vorn3s_subtitles_json; the buffer holds at most 262143 bytes, a longer text is cut.
 * - The last-error record and the shared buffer are one per process and unlocked: one
 *   controlling thread calls these functions, or the host serialises its calls. The
 *   server's own threads (a listener, one per connection) never touch either, and none
 *   of the functions throws, prints or installs a signal handler.
 * - Connections outlive vorn3s_stop until their clients leave or time out: do not
 *   unload the library while vorn3s_connection_count() is above 0.
 */
#ifndef VORN3S_H
#define VORN3S_H

#include <stdint.h>

/* The version of this interface; the build takes its own version, and the library's
 * SONAME, from these lines. vorn3s_version() gives the version of the library loaded. */
#define VORN3S_VERSION_MAJOR 1
#define VORN3S_VERSION_MINOR 0
#define VORN3S_VERSION_PATCH 0
#define VORN3S_VERSION "1.0.0"

#if defined(_WIN32)
#if defined(VORN3S_BUILDING)
#define VORN3S_API __declspec(dllexport)
#else
#define VORN3S_API __declspec(dllimport)
#endif
#else
#define VORN3S_API __attribute__((visibility("default")))
#endif

/* Result codes: one meaning per number across the whole interface. */
#define VORN3S_OK 0           /* success */
#define VORN3S_EBADARG (-1)   /* an argument is missing, malformed or out of range */
#define VORN3S_ECONFLICT (-2) /* the request conflicts with the present state */
#define VORN3S_ENET (-3)      /* a network or thread service failed */
#define VORN3S_ENOTFOUND (-4) /* a path does not exist, or the file system refused it */
#define VORN3S_ENOMEM (-5)    /* memory ran out */
#define VORN3S_ELIMIT (-6)    /* a limit was exceeded */
#define VORN3S_EESCAPE (-7)   /* refused: the path would leave its root */

#ifdef __cplusplus
#define VORN3S_NOEXCEPT noexcept
extern "C" {
#else
#define VORN3S_NOEXCEPT
#endif

/* ---- Settings and errors ---------------------------------------------------------- */

/* Changes one setting. Keys, compared exactly, with initial value and accepted range:
 *   "platform"          "quorvane-c"  any text, 63 bytes kept; put unescaped into the
 *                                     handshake
 *   "action_byteorder"  "auto"        "auto", "big" or "little": byte order of action codes
 *   "idle_timeout_ms"   120000        1000 to 3600000
 *   "read_timeout_ms"   30000         1000 to 3600000
 *   "max_string"        65536         256 to 1048576
 *   "max_read"          4194304       1024 to 67108864
 *   "sub_max_bytes"     8388608       1024 to 67108864
 *   "max_connections"   512           1 to 65536: connections served at once; the
 *                                     listener closes one more at once
 * A null or empty value restores the initial value, except for "action_byteorder": null
 * gives "auto", the empty text is refused. Numbers are read as atol() reads them
 * ("5000ms" is 5000, "abc" is 0), both ends of a range included. The byte order and the
 * time-outs reach connections accepted afterwards, the limits running ones too, and
 * "max_connections" the next connection accepted.
 * VORN3S_OK, storing nothing; or VORN3S_EBADARG with "key required", "unknown key",
 * "auto|big|little" or "out of range", the setting unchanged. */
VORN3S_API int vorn3s_config(const char* key, const char* value) VORN3S_NOEXCEPT;

/* The version of the library loaded, a static text: VORN3S_VERSION of its own build. */
VORN3S_API const char* vorn3s_version(void) VORN3S_NOEXCEPT;

/* The handshake text clients receive, {"Version":3,"Platform":"quorvane-c"} with the
 * initial platform, in the shared buffer. Stores nothing. */
VORN3S_API const char* vorn3s_handshake_json(void) VORN3S_NOEXCEPT;

/* The code and message (at most 1023 bytes, a static buffer) of the last call that
 * stored one, from any thread; VORN3S_OK and "" before any. */
VORN3S_API int vorn3s_last_code(void) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_last_error(void) VORN3S_NOEXCEPT;

/* ---- Roots ---------------------------------------------------------------------------
 * The folders and single files that clients may see. A root keeps its index (its slot,
 * 0 to 63) for the life of the process; removing one frees no slot, so the table takes
 * 64 adds in all. Clients name everything by IDs that begin with a root's display name,
 * the last component of its canonical path, made unique among live roots with "~". */

/* Adds a folder or regular file by any path that resolves; the table keeps the canonical
 * path. The new index with "root N added"; or VORN3S_EBADARG "path required" (null or
 * empty), "path too long" (over 1024 bytes), "not a file or folder"; VORN3S_ENOTFOUND
 * "cannot resolve PATH" (the path as given), "stat failed"; VORN3S_ECONFLICT "root already
 * added" (a live root has the same canonical path); VORN3S_ELIMIT "too many roots";
 * VORN3S_ENOMEM "out of memory". */
VORN3S_API int vorn3s_add_root(const char* path) VORN3S_NOEXCEPT;

/* Removes the live root whose canonical path equals that of `path`: VORN3S_OK "removed";
 * or VORN3S_ENOTFOUND "cannot resolve" (null, empty or gone) or "not a root". Sessions see
 * the change at their next request. */
VORN3S_API int vorn3s_remove_root(const char* path) VORN3S_NOEXCEPT;

/* The number of live roots. Stores nothing. */
VORN3S_API int vorn3s_root_count(void) VORN3S_NOEXCEPT;

/* The record {"Name":...,"Path":...,"Kind":"folder"|"file"} of the live root at `index`,
 * in the shared buffer, storing nothing; or "" with VORN3S_EBADARG "bad index". */
VORN3S_API const char* vorn3s_root_json(int index) VORN3S_NOEXCEPT;

/* ---- The server -------------------------------------------------------------------- */

/* Adds the `nroots` paths of `roots` in order as vorn3s_add_root does (`roots` may be
 * null when `nroots` is 0 or less), then listens on `bind_ip`:`port` and starts the
 * listener thread. `bind_ip` is the dotted IPv4 address of one interface: never
 * "0.0.0.0", a broadcast or multicast address, or a host name. `port` 0 asks for a free
 * port, which vorn3s_port() then gives. VORN3S_OK "listening on IP:PORT"; or, checked in
 * this order, VORN3S_ECONFLICT "already running"; VORN3S_EBADARG "bind_ip must be an IPv4
 * literal of one interface (D12)", "port range", "roots NULL"; what the first failing add
 * stored; VORN3S_ENET "socket() failed", "bind/listen failed" (port in use, or not this
 * machine's address), "thread start failed". Roots added before a failure stay, so a
 * repeated start with the same list fails with "root already added". */
VORN3S_API int vorn3s_start(const char* bind_ip, int port, const char* const* roots,
                            int nroots) VORN3S_NOEXCEPT;

/* Closes the listening socket and joins the listener (about 200 ms at most); nothing when
 * not running. Connections in progress go on; roots and settings stay. Stores nothing. */
VORN3S_API void vorn3s_stop(void) VORN3S_NOEXCEPT;

/* 1 while listening, else 0; the port bound, 0 when stopped; the connections being served,
 * which may stay above 0 after a stop. These store nothing. */
VORN3S_API int vorn3s_is_running(void) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_port(void) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_connection_count(void) VORN3S_NOEXCEPT;

/* ---- Frames without a connection --------------------------------------------------- */

/* Writes into `out` the `count` bytes that a Read or SeekRead of `count` sends when the
 * file yields the `src_len` bytes of `src`: those bytes, then zero bytes up to `count` (a
 * null `src` or a negative `src_len` gives zero bytes only). Returns `count`, storing
 * nothing; or, writing nothing, VORN3S_EBADARG "outlen" (`out` null, `outlen` negative or
 * below `count`), then VORN3S_ELIMIT "count" (`count` above the "max_read" setting). */
VORN3S_API int32_t vorn3s_frame_read_bytes(const uint8_t* src, int32_t src_len, uint32_t count, uint8_t* out,
                                           int32_t outlen) VORN3S_NOEXCEPT;

/* Writes the 12 argument bytes of a SeekRead, `count` then `offset`, big-endian, into
 * `out` and returns 12, storing nothing; or VORN3S_EBADARG "outlen" (`out` null or
 * `outlen` below 12), writing nothing. */
VORN3S_API int32_t vorn3s_frame_seekread(uint32_t count, int64_t offset, uint8_t* out,
                                         int32_t outlen) VORN3S_NOEXCEPT;

/* The static name of an action code: "End" ... "SeekRead" for 0 to 10, "HandShake" for
 * 3320, "Unknown" for any other value. */
VORN3S_API const char* vorn3s_frame_action_name(int32_t code) VORN3S_NOEXCEPT;

/* ---- One-shot queries against a root given by path -----------------------------------
 * They do not consult the roots table (but vorn3s_listing_json with an empty `id`) and
 * store their outcome also on success. Their IDs are relative to `root`, without a
 * display name. */

/* Resolves `rel` (null or empty: `root` itself) under the folder or file `root` and
 * writes the canonical path into `out`, cut to `out_size` - 1 bytes: VORN3S_OK "resolved".
 * After a failure `out` holds "" when it is usable. Failures: VORN3S_EBADARG "out" (`out`
 * null or `out_size` below 1), "root" (null or empty); VORN3S_ENOTFOUND "root" (does not
 * resolve), "stat", "no entry"; VORN3S_EESCAPE "refused (D3)" (`rel` begins with "/" or a
 * backslash, holds "..", a backslash or a drive prefix, or leads outside `root`),
 * "refused (D3): link escapes the root"; VORN3S_ELIMIT "too long" (over 1200 bytes). The
 * kind of the entry is not checked. */
VORN3S_API int vorn3s_resolve(const char* root, const char* rel, char* out, int32_t out_size) VORN3S_NOEXCEPT;

/* Lists the folder `id` under `root`: with `files` non-zero a JSON array of its file
 * records, else of its folder records; when `id` names a file, one file record (not an
 * array). When `id` is null or empty, `files` is ignored: a `root` equal to the canonical
 * path of a live root gives the folder records of all live roots, any other `root` the
 * folder records of its sub-folders. In the shared buffer with VORN3S_OK "ok"; or "" with
 * VORN3S_EBADARG "root_path", VORN3S_EESCAPE "refused (D3)" (`id` begins with "/" or a
 * backslash, or holds ".."), VORN3S_ENOTFOUND "no entry", "stat" or "opendir". */
VORN3S_API const char* vorn3s_listing_json(const char* root, const char* id, int files) VORN3S_NOEXCEPT;

/* The JSON array of subtitle records [{"Name":...,"Base64":...}] of the files beside the
 * video that `filejson` names under `root` ("[]" when none): files with a subtitle
 * extension whose names hold the video's name without its extension, case-sensitively,
 * at most "sub_max_bytes" long. `filejson` is a JSON object with "FullName", or "Folder"
 * and "Name", or "Name", such as a file record; `root` must be canonical. In the shared
 * buffer with VORN3S_OK "ok"; or "" with VORN3S_EBADARG "arg", "json" or "no name",
 * VORN3S_EESCAPE "refused", VORN3S_ENOTFOUND "no entry" or "not a file". */
VORN3S_API const char* vorn3s_subtitles_json(const char* root, const char* filejson) VORN3S_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VORN3S_H */
