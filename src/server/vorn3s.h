/* vorn3s: the exported interface of the media server, for host programs in C or C++.
 *
 * Conventions:
 * - Texts are terminated UTF-8. No function keeps a pointer that the caller passed.
 * - Functions that can fail return VORN3S_OK (or an index) for success and a negative
 *   VORN3S_E* code for failure, and store the code and a short message, read back with
 *   vorn3s_last_code() and vorn3s_last_error().
 * - Functions returning JSON text return a shared buffer that stays valid until the next
 *   such call, or "" on failure; the caller releases neither.
 * - The controlling thread calls these functions; none of them throws.
 */
#ifndef VORN3S_H
#define VORN3S_H

#include <stdint.h>

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
#define VORN3S_EBADARG (-1)   /* bad or missing argument */
#define VORN3S_ECONFLICT (-2) /* conflict with the present state */
#define VORN3S_ENET (-3)      /* network or thread failure */
#define VORN3S_ENOTFOUND (-4) /* path not found or not usable */
#define VORN3S_ENOMEM (-5)    /* out of memory */
#define VORN3S_ELIMIT (-6)    /* a limit exceeded */
#define VORN3S_EESCAPE (-7)   /* refused: the path would leave its root */

#ifdef __cplusplus
#define VORN3S_NOEXCEPT noexcept
extern "C" {
#else
#define VORN3S_NOEXCEPT
#endif

/* Settings and errors. Keys: "platform", "action_byteorder" (auto|big|little),
 * "idle_timeout_ms", "read_timeout_ms", "max_string", "max_read", "sub_max_bytes"; an
 * empty or null value restores the initial one. VORN3S_OK, or VORN3S_EBADARG when refused. */
VORN3S_API int vorn3s_config(const char* key, const char* value) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_version(void) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_handshake_json(void) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_last_code(void) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_last_error(void) VORN3S_NOEXCEPT;

/* Roots: folders or single files that clients may see, 64 at the most over the life of
 * the process. Add returns the new root's index. */
VORN3S_API int vorn3s_add_root(const char* path) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_remove_root(const char* path) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_root_count(void) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_root_json(int index) VORN3S_NOEXCEPT;

/* The server: one listener on one IPv4 interface address; port 0 asks for a free port.
 * The initial roots are added in order before the socket is opened. */
VORN3S_API int vorn3s_start(const char* bind_ip, int port, const char* const* roots,
                            int nroots) VORN3S_NOEXCEPT;
VORN3S_API void vorn3s_stop(void) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_is_running(void) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_port(void) VORN3S_NOEXCEPT;
VORN3S_API int vorn3s_connection_count(void) VORN3S_NOEXCEPT;

/* Frames without a connection. */
VORN3S_API int32_t vorn3s_frame_read_bytes(const uint8_t* src, int32_t src_len, uint32_t count, uint8_t* out,
                                           int32_t outlen) VORN3S_NOEXCEPT;
VORN3S_API int32_t vorn3s_frame_seekread(uint32_t count, int64_t offset, uint8_t* out,
                                         int32_t outlen) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_frame_action_name(int32_t code) VORN3S_NOEXCEPT;

/* One-shot queries against a root given by path. */
VORN3S_API int vorn3s_resolve(const char* root, const char* rel, char* out, int32_t out_size) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_listing_json(const char* root, const char* id, int files) VORN3S_NOEXCEPT;
VORN3S_API const char* vorn3s_subtitles_json(const char* root, const char* filejson) VORN3S_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VORN3S_H */
