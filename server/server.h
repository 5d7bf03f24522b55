// SPDX-License-Identifier: MIT
// The pipe server: start-up, request loop, exit sequence, signals, FIFOs.
// Conventions: system-call wrappers return -1 with errno set; "do X" helpers
// return bool and leave errno set on failure. Cleanup never clobbers errno.
#pragma once

#include <csignal>
#include <cstddef>
#include <sys/types.h>

#include "server/protocol.h"

// ---- trace.cpp: process-wide state and tracing ----------------------------

// Set by the main thread before the first worker starts; read-only after.
extern int debug_level;
extern int publicfifo;  // read end of the public FIFO
extern int dummyfifo;   // the daemon's own write end, never written
extern const char version_string[];
// The public FIFO's identity, set at start-up: it is never a reply path.
extern dev_t public_dev;
extern ino_t public_ino;

// One printf-style call on standard output, only while debug_level is set.
// Preserves errno.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

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

// ---- options.cpp: the command line ----------------------------------------

struct daemon_options {
    int debug;     // "-d" as argv[1]
    bool version;  // "-a" in the option slot
};
daemon_options options_parse(int argc, char** argv);

// ---- io.cpp: the only EINTR retries ---------------------------------------

ssize_t io_read(int fd, void* buf, size_t len);

// How long a non-blocking reply ("OK", "BYE") may wait for room, in all.
inline constexpr int REPLY_ROOM_WAIT_MS = 5000;

// Writes all len bytes. When fd is non-blocking, waits for room at most
// wait_ms in all (-1: no limit). After each write that returns a count,
// traces count_fmt (if not null) with it. Returns 0, or -1 with errno set
// (EPIPE: the reader has gone; ETIMEDOUT: no room in time).
int io_write_all(int fd, const void* buf, size_t len, const char* count_fmt, int wait_ms = -1);

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

// ---- fifo.cpp: the public FIFO and reply FIFOs ----------------------------

// Creates (mode 0622 less the umask) or reuses the public FIFO, opens its
// read end (waiting for the first writer) and its write end. An existing one
// must be a FIFO owned by our effective user that nobody reads (EBUSY); it
// gets the mode a new one would. False with errno set on failure; nothing is
// removed then.
bool fifo_open_public(int* read_fd, int* write_fd);

// Up to five attempts, one second apart, to open path for writing (with
// O_NONBLOCK if asked). Only a FIFO other than the public one counts,
// reached without a magic link: anything else is a failed attempt, and is
// never opened for writing. After each failure traces fail_fmt with the
// path. Returns the descriptor, or -1.
int fifo_open_reply(const char* path, bool nonblocking, const char* fail_fmt);

// ---- workers.cpp: at most MAX_WORKERS requests served at once --------------

inline constexpr int MAX_WORKERS = 256;
#ifdef __SANITIZE_THREAD__
// ThreadSanitizer keeps its own per-thread state in a stack the program maps.
inline constexpr size_t WORKER_STACK_SIZE = 1024 * 1024;
#else
inline constexpr size_t WORKER_STACK_SIZE = 256 * 1024;
#endif

// Returns once fewer than MAX_WORKERS workers run, waiting for one to end if
// need be. Main thread only; the slot stays free until workers_start.
void workers_wait_slot();
// Starts thread_instance(record) on a thread of its own. 0, or
// pthread_create's error number (the record then still belongs to the caller).
int workers_start(void* record);
// A worker's very last call, once it has released everything.
void workers_end();
// At shutdown: joins the worker that ended last. Workers still running end
// with the process.
void workers_finish();

// ---- signals.cpp ----------------------------------------------------------

void on_signal(int signo);
void on_sigpipe(int signo);

// Installs on_signal for SIGINT, SIGHUP, SIGQUIT, SIGTERM, then on_sigpipe for
// SIGPIPE, all with SA_RESTART. False with errno set on failure.
bool signals_install();

// Tells on_signal that the public FIFO path is the daemon's to remove.
void signals_own_public_fifo();

// ---- main.cpp -------------------------------------------------------------

// The daemon's main routine: 0 after an orderly shutdown; ends the process
// itself with 0 (version banner) or 1 (start-up failure).
int __Z14dfkwqzza(int argc, char** argv);
