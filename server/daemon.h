// SPDX-License-Identifier: MIT
// The main thread's own parts: the command line, the public FIFO, signals,
// starting workers and the main routine. Workers never include this.
#pragma once

#include "server/server.h"

// ---- process-wide state of the main thread and the signal handlers
// (main.cpp) ---------------------------------------------------------------

extern int publicfifo;  // read end of the public FIFO
extern int dummyfifo;   // the daemon's own write end, never written
extern const char version_string[];

// ---- main.cpp -------------------------------------------------------------

struct daemon_options {
    int debug;     // "-d" as argv[1]
    bool version;  // "-a" in the option slot
};
daemon_options options_parse(int argc, char** argv);

// The daemon's main routine: 0 after an orderly shutdown; ends the process
// itself with 0 (version banner) or 1 (start-up failure).
int __Z14dfkwqzza(int argc, char** argv);

// ---- fifo.cpp: the public FIFO --------------------------------------------

// Creates (mode 0622 less the umask) or reuses the public FIFO, opens its
// read end (waiting for the first writer) and its write end. An existing one
// must be a FIFO owned by our effective user that nobody reads (EBUSY); it
// gets the mode a new one would. False with errno set on failure; nothing is
// removed then.
bool fifo_open_public(int* read_fd, int* write_fd);

// ---- signals.cpp ----------------------------------------------------------

void on_signal(int signo);
void on_sigpipe(int signo);

// Installs on_signal for SIGINT, SIGHUP, SIGQUIT, SIGTERM, then on_sigpipe for
// SIGPIPE, all with SA_RESTART. False with errno set on failure.
bool signals_install();

// Tells on_signal that the public FIFO path is the daemon's to remove.
void signals_own_public_fifo();

// ---- workers.cpp ----------------------------------------------------------

// Returns once fewer than MAX_WORKERS workers run, waiting for one to end if
// need be. The slot stays free until workers_start.
void workers_wait_slot();
// Starts thread_instance(record) on a thread of its own. 0, or
// pthread_create's error number (the record then still belongs to the caller).
int workers_start(void* record);
// At shutdown: joins the worker that ended last. Workers still running end
// with the process.
void workers_finish();
