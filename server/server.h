// SPDX-License-Identifier: MIT
// What the whole daemon shares, workers included: the trace switch and the
// public FIFO's identity, tracing and I/O, the request record, opening what
// a client names, and the end of a worker. The main thread's own parts are
// in server/daemon.h.
// Conventions: system-call wrappers return -1 with errno set; "do X" helpers
// return bool and leave errno set on failure. Cleanup never clobbers errno.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "server/protocol.h"

// ---- process-wide state, set by the main thread before the first worker
// starts and only read after --------------------------------------------

extern int debug_level;  // trace switch: 1 after "-d" (io.cpp)
extern dev_t public_dev;  // the public FIFO, never a reply path (fifo.cpp)
extern ino_t public_ino;

// ---- io.cpp: tracing and the only EINTR retries ---------------------------

// One printf-style call on standard output, only while debug_level is set.
// Preserves errno.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

ssize_t io_read(int fd, void* buf, size_t len);

// How long a non-blocking reply ("OK", "BYE") may wait for room, in all.
inline constexpr int REPLY_ROOM_WAIT_MS = 5000;

// Writes all len bytes. When fd is non-blocking, waits for room at most
// wait_ms in all (-1: no limit). Calls wrote (if not null) with the count
// of each write that returns one. Returns 0, or -1 with errno set (EPIPE:
// the reader has gone; ETIMEDOUT: no room in time).
int io_write_all(int fd, const void* buf, size_t len, int wait_ms, void (*wrote)(ssize_t count));

// ---- record.cpp: the request record ---------------------------------------

// A parsed record: each text field bounded to its 256 bytes and always
// NUL-terminated, so a field without a NUL is taken as all 256 bytes.
struct pipe_request {
    unsigned char command;
    char reply_path[FIELD_SIZE + 1];
    char file_path[FIELD_SIZE + 1];
    char key_string[FIELD_SIZE + 1];
};

// Copies one text field out of a raw record; never reads past the field.
void record_field(const unsigned char record[RECORD_SIZE], size_t offset, char out[FIELD_SIZE + 1]);
void record_parse(const unsigned char record[RECORD_SIZE], pipe_request* req);

// Zero-fills a record of which a read gave only the first n bytes, so it
// never carries bytes of the record read before it.
void record_pad(unsigned char record[RECORD_SIZE], size_t n);

// ---- path.cpp: opening paths that clients name ----------------------------

// open(2) that never crosses a magic link (/proc/PID/fd/N and the like,
// through which a client could reach the daemon's own descriptors):
// openat2 with RESOLVE_NO_MAGICLINKS, or, on kernels without it, a plain
// open of any path for which path_names_proc holds refused. -1 with errno
// set (ELOOP for a magic link).
int path_open(const char* path, int flags);

// True for a path that is relative or that lies, lexically, under /proc or
// /dev/fd or is /dev/std*. Pure.
bool path_names_proc(const char* path);

// Opens, or changes the mode of, the very file an O_PATH descriptor names.
int path_reopen(int path_fd, int flags);
bool path_chmod(int path_fd, mode_t mode);

// ---- fifo.cpp: reply FIFOs ------------------------------------------------

// Up to five attempts, one second apart, to open path for writing (with
// O_NONBLOCK if asked). Only a FIFO other than the public one counts,
// reached without a magic link: anything else is a failed attempt, and is
// never opened for writing. Calls failed (if not null) with the path after
// each failed attempt. Returns the descriptor, or -1.
int fifo_open_reply(const char* path, bool nonblocking, void (*failed)(const char* path));

// ---- workers.cpp: at most MAX_WORKERS requests served at once -------------

inline constexpr int MAX_WORKERS = 256;
#ifdef __SANITIZE_THREAD__
// ThreadSanitizer keeps its own per-thread state in a stack the program maps.
inline constexpr size_t WORKER_STACK_SIZE = 1024 * 1024;
#else
inline constexpr size_t WORKER_STACK_SIZE = 256 * 1024;
#endif

// A worker's very last call, once it has released everything.
void workers_end();
