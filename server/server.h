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

// Writes all len bytes, waiting for room when fd is non-blocking. After each
// write that returns a count, traces count_fmt (if not null) with it.
// Returns 0, or -1 with errno set (EPIPE: the reader has gone).
int io_write_all(int fd, const void* buf, size_t len, const char* count_fmt);

// ---- fifo.cpp: the public FIFO and reply FIFOs ----------------------------

// Creates (mode 0622 before the umask) or reuses the public FIFO, opens its
// read end (waiting for the first writer) and its write end, and checks that
// it is a FIFO owned by our effective user. False with errno set on failure;
// nothing is closed or removed then.
bool fifo_open_public(int* read_fd, int* write_fd);

// True when fd is the public FIFO (a client must never name it as a file).
bool fifo_is_public(int fd);

// Up to five attempts, one second apart, to open path for writing (with
// O_NONBLOCK if asked). Only a FIFO counts: anything else is a failed
// attempt. After each failure traces fail_fmt with the path. Returns the
// descriptor, or -1.
int fifo_open_reply(const char* path, bool nonblocking, const char* fail_fmt);

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
