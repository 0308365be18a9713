/* SPDX-License-Identifier: MIT */
/* A small player-side client of the wire protocol, version 3, written from
 * docs/protocol.md alone: it connects, shakes hands, lists the roots, and, given the ID
 * of a file, opens it by its file record, prints its size, copies a byte range of it to
 * standard output and lists its subtitles.
 *
 *   vorn3s-client HOST PORT                     handshake and the roots
 *   vorn3s-client HOST PORT ID [OFFSET [COUNT]] ... then the file ID, bytes to stdout
 *
 * Reports go to standard error, so that standard output carries the file's bytes only.
 * Exit status: 0 success, 1 a protocol or network failure, 2 wrong arguments. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <netdb.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum {
  END = 0, SIZE = 1, FILES = 3, OPEN_FILE = 4, FOLDERS = 5, OPEN_FOLDER = 6,
  SUBTITLE = 8, SEEK_READ = 10, HANDSHAKE = 3320
};

/* Replies longer than this are refused here; the server's own limit is far lower. */
#define MAX_REPLY (16u * 1024u * 1024u)
/* SeekRead in pieces well below the server's smallest max_read. */
#define CHUNK 1024u
#define TIMEOUT_S 10

static int fail(const char* what) {
  fprintf(stderr, "vorn3s-client: %s\n", what);
  return 1;
}

/* ---- bytes on the wire ---------------------------------------------------------- */

static int send_all(int fd, const void* data, size_t n) {
  const unsigned char* p = data;
  while (n > 0) {
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

/* -1 also when the server closes the connection first. */
static int recv_all(int fd, void* data, size_t n) {
  unsigned char* p = data;
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

static void put_be32(unsigned char* p, uint32_t v) {
  for (int i = 3; i >= 0; i--, v >>= 8) p[i] = (unsigned char)(v & 0xff);
}

static void put_be64(unsigned char* p, int64_t value) {
  uint64_t v = (uint64_t)value;
  for (int i = 7; i >= 0; i--, v >>= 8) p[i] = (unsigned char)(v & 0xff);
}

static uint32_t get_be32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static int64_t get_be64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = v << 8 | p[i];
  return (int64_t)v;
}

/* Every connection opens with HandShake, so its codes are big-endian throughout. */
static int send_code(int fd, int32_t code) {
  unsigned char b[4];
  put_be32(b, (uint32_t)code);
  return send_all(fd, b, 4);
}

static int send_string(int fd, const char* text) {
  const size_t n = strlen(text);
  unsigned char len[4];
  put_be32(len, (uint32_t)n);
  if (send_all(fd, len, 4) != 0) return -1;
  return send_all(fd, text, n);
}

/* A received string as a terminated text that the caller frees; null on failure. */
static char* recv_string(int fd) {
  unsigned char len[4];
  if (recv_all(fd, len, 4) != 0) return NULL;
  const uint32_t n = get_be32(len);
  if (n > MAX_REPLY) return NULL;
  char* text = malloc((size_t)n + 1);
  if (!text) return NULL;
  if (recv_all(fd, text, n) != 0) {
    free(text);
    return NULL;
  }
  text[n] = '\0';
  return text;
}

/* An action whose reply is one string. */
static char* ask(int fd, int32_t code, const char* arg) {
  if (send_code(fd, code) != 0) return NULL;
  if (arg && send_string(fd, arg) != 0) return NULL;
  return recv_string(fd);
}

/* ---- just enough JSON for flat records --------------------------------------------- */

/* Past the JSON string that begins at the quote `p`; null when it is not terminated. */
static const char* skip_string(const char* p) {
  for (p++; *p; p++) {
    if (*p == '\\') {
      if (!*++p) return NULL;
    } else if (*p == '"') {
      return p + 1;
    }
  }
  return NULL;
}

/* The next object of an array, from `*pos` on: its text (to free) and the position
 * after it; null when the array holds no further object. */
static char* next_object(const char** pos) {
  const char* p = strchr(*pos, '{');
  if (!p) return NULL;
  const char* start = p;
  int depth = 0;
  while (*p) {
    if (*p == '"') {
      p = skip_string(p);
      if (!p) return NULL;
      continue;
    }
    if (*p == '{') depth++;
    if (*p == '}' && --depth == 0) {
      const size_t n = (size_t)(p + 1 - start);
      char* obj = malloc(n + 1);
      if (!obj) return NULL;
      memcpy(obj, start, n);
      obj[n] = '\0';
      *pos = p + 1;
      return obj;
    }
    p++;
  }
  return NULL;
}

static void put_utf8(char** out, unsigned cp) {
  unsigned char* o = (unsigned char*)*out;
  if (cp < 0x80) {
    *o++ = (unsigned char)cp;
  } else if (cp < 0x800) {
    *o++ = (unsigned char)(0xC0 | cp >> 6);
    *o++ = (unsigned char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = (unsigned char)(0xE0 | cp >> 12);
    *o++ = (unsigned char)(0x80 | (cp >> 6 & 0x3F));
    *o++ = (unsigned char)(0x80 | (cp & 0x3F));
  } else {
    *o++ = (unsigned char)(0xF0 | cp >> 18);
    *o++ = (unsigned char)(0x80 | (cp >> 12 & 0x3F));
    *o++ = (unsigned char)(0x80 | (cp >> 6 & 0x3F));
    *o++ = (unsigned char)(0x80 | (cp & 0x3F));
  }
  *out = (char*)o;
}

static int hex4(const char* p, unsigned* v) {
  *v = 0;
  for (int i = 0; i < 4; i++) {
    const char c = p[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = (unsigned)(c - '0');
    else if (c >= 'a' && c <= 'f') d = (unsigned)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = (unsigned)(c - 'A' + 10);
    else return -1;
    *v = *v << 4 | d;
  }
  return 0;
}

/* The string value of `key` at the top level of the flat object `obj`, unescaped, as
 * a text to free; null when the key is absent or its value is not a string. */
static char* member_string(const char* obj, const char* key) {
  const size_t klen = strlen(key);
  const char* p = obj + 1;
  for (;;) {
    p = strchr(p, '"');
    if (!p) return NULL;
    const char* kend = skip_string(p);
    if (!kend) return NULL;
    const int match = (size_t)(kend - p - 2) == klen && strncmp(p + 1, key, klen) == 0;
    const char* v = kend;
    while (*v == ' ' || *v == ':') v++;
    if (*v != '"') {  /* a number, true, false or null: skip to the next member */
      p = strchr(v, ',');
      if (!p) return NULL;
      continue;
    }
    const char* vend = skip_string(v);
    if (!vend) return NULL;
    if (!match) {
      p = vend;
      continue;
    }
    /* Unescaping never makes the text longer. */
    char* text = malloc((size_t)(vend - v));
    if (!text) return NULL;
    char* o = text;
    for (const char* s = v + 1; s < vend - 1; s++) {
      if (*s != '\\') {
        *o++ = *s;
        continue;
      }
      s++;
      switch (*s) {
        case 'b': *o++ = '\b'; break;
        case 'f': *o++ = '\f'; break;
        case 'n': *o++ = '\n'; break;
        case 'r': *o++ = '\r'; break;
        case 't': *o++ = '\t'; break;
        case 'u': {
          unsigned cp, lo;
          if (hex4(s + 1, &cp) != 0) break;
          s += 4;
          if (cp >= 0xD800 && cp < 0xDC00 && s[1] == '\\' && s[2] == 'u' && hex4(s + 3, &lo) == 0 &&
              lo >= 0xDC00 && lo < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            s += 6;
          }
          put_utf8(&o, cp);
          break;
        }
        default: *o++ = *s;  /* \" \\ \/ */
      }
    }
    *o = '\0';
    return text;
  }
}

/* ---- the session -------------------------------------------------------------------- */

static int connect_to(const char* host, const char* port) {
  struct addrinfo hints = {0}, *res = NULL;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host, port, &hints, &res) != 0) return -1;
  int fd = -1;
  for (struct addrinfo* a = res; a; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) continue;
    /* Every wait is bounded: a server that stops answering ends the client. */
    struct timeval tv = {TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  return fd;
}

/* The file record whose FullName is `id`, from the listing of its folder (OpenFolder
 * of the ID up to its last "/"), or from Files for a root that is a single file. */
static char* find_record(int fd, const char* id) {
  const char* slash = strrchr(id, '/');
  char* listing;
  if (slash) {
    char* folder = strndup(id, (size_t)(slash - id));
    if (!folder) return NULL;
    listing = ask(fd, OPEN_FOLDER, folder);
    free(folder);
  } else {
    listing = ask(fd, FILES, NULL);
  }
  if (!listing) return NULL;
  char* found = NULL;
  const char* pos = listing;
  char* obj;
  while (!found && (obj = next_object(&pos)) != NULL) {
    char* full = member_string(obj, "FullName");
    if (full && strcmp(full, id) == 0) found = obj;
    else free(obj);
    free(full);
  }
  free(listing);
  return found;
}

/* Copies `count` bytes from `offset` to standard output with SeekRead, in pieces. */
static int copy_range(int fd, int64_t offset, int64_t count) {
  unsigned char req[16], buf[CHUNK];
  while (count > 0) {
    const uint32_t n = count < (int64_t)CHUNK ? (uint32_t)count : CHUNK;
    put_be32(req, SEEK_READ);
    put_be32(req + 4, n);
    put_be64(req + 8, offset);
    if (send_all(fd, req, sizeof req) != 0 || recv_all(fd, buf, n) != 0) return -1;
    if (fwrite(buf, 1, n, stdout) != n) return -1;
    offset += n;
    count -= n;
  }
  return fflush(stdout) == 0 ? 0 : -1;
}

static int print_subtitles(int fd, const char* record) {
  char* reply = ask(fd, SUBTITLE, record);
  if (!reply) return -1;
  const char* pos = reply;
  char* obj;
  int n = 0;
  while ((obj = next_object(&pos)) != NULL) {
    char* name = member_string(obj, "Name");
    char* b64 = member_string(obj, "Base64");
    if (name && b64) {
      /* Four Base64 characters carry three bytes, less one per "=" of padding. */
      size_t len = strlen(b64), bytes = len / 4 * 3;
      if (len >= 1 && b64[len - 1] == '=') bytes--;
      if (len >= 2 && b64[len - 2] == '=') bytes--;
      fprintf(stderr, "subtitle %s %zu bytes\n", name, bytes);
      n++;
    }
    free(name);
    free(b64);
    free(obj);
  }
  fprintf(stderr, "subtitles %d\n", n);
  free(reply);
  return 0;
}

static int parse_i64(const char* text, int64_t* out) {
  char* end;
  errno = 0;
  const long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return -1;
  *out = v;
  return 0;
}

static int file_session(int fd, const char* id, int64_t offset, int64_t count, int whole) {
  char* record = find_record(fd, id);
  if (!record) return fail("no file record with that FullName");
  /* OpenFile answers nothing: Size tells whether the file opened. */
  unsigned char b[8];
  if (send_code(fd, OPEN_FILE) != 0 || send_string(fd, record) != 0 || send_code(fd, SIZE) != 0 ||
      recv_all(fd, b, 8) != 0) {
    free(record);
    return fail("connection lost");
  }
  const int64_t size = get_be64(b);
  fprintf(stderr, "size %lld\n", (long long)size);
  /* Past the end the server sends zero bytes; copy only what the file holds. */
  if (whole || offset + count > size) count = size > offset ? size - offset : 0;
  int rc = 0;
  if (copy_range(fd, offset, count) != 0) rc = fail("copying the bytes failed");
  else fprintf(stderr, "copied %lld bytes from offset %lld\n", (long long)count, (long long)offset);
  if (rc == 0 && print_subtitles(fd, record) != 0) rc = fail("subtitles: connection lost");
  free(record);
  return rc;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 6) {
    fprintf(stderr, "usage: vorn3s-client HOST PORT [ID [OFFSET [COUNT]]]\n");
    return 2;
  }
  int64_t offset = 0, count = 0;
  const int whole = argc < 6;
  if ((argc >= 5 && parse_i64(argv[4], &offset) != 0) || (argc == 6 && parse_i64(argv[5], &count) != 0)) {
    fprintf(stderr, "vorn3s-client: OFFSET and COUNT are decimal numbers, 0 or more\n");
    return 2;
  }
  const int fd = connect_to(argv[1], argv[2]);
  if (fd < 0) return fail("cannot connect");

  int rc = 0;
  char* hello = ask(fd, HANDSHAKE, NULL);
  char* roots = hello ? ask(fd, FOLDERS, NULL) : NULL;
  if (!hello || !roots) {
    rc = fail("no answer to HandShake and Folders");
  } else {
    fprintf(stderr, "handshake %s\nroots %s\n", hello, roots);
    if (argc >= 4) rc = file_session(fd, argv[3], offset, count, whole);
  }
  free(hello);
  free(roots);
  if (rc == 0 && send_code(fd, END) != 0) rc = fail("connection lost");
  close(fd);
  return rc;
}
