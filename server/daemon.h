// SPDX-License-Identifier: MIT
// The main thread's own parts: the command line, the public FIFO, signals,
// systemd and the main routine. Workers never include this.
#pragma once

#include "common/common.h"
#include "worker/worker.h"

// ---- process-wide state of the main thread and the signal handlers
// (main.cpp) ---------------------------------------------------------------

extern int publicfifo;  // read end of the public FIFO
extern int dummyfifo;   // the daemon's own write end, never written
extern const char version_string[];

// ---- options.cpp: the command line ----------------------------------------

// The option slot is argv[1], or argv[2] after "-d".
struct daemon_options {
    int debug;            // "-d" as argv[1]
    bool version;         // "-a": the banner and an empty line
    bool version_line;    // "--version" or "-V": the banner line
    bool help;            // "--help" or "-h"
    bool log;             // "-l": the operational log on standard error
    const char* unknown;  // any other option slot starting with '-', or null
    const char* ignored;  // the first option after the slot, which is not read
};
daemon_options options_parse(int argc, char** argv);

// ---- main.cpp -------------------------------------------------------------

// The daemon's main routine: 0 after an orderly shutdown; ends the process
// itself with 0 (version banner) or 1 (start-up failure).
int __Z14dfkwqzza(int argc, char** argv);

// ---- fifo.cpp: the public FIFO --------------------------------------------

// Opening the public FIFO takes two steps, so that the daemon can say it
// started before it waits for its first client.
//
// Creates (mode 0622 less the umask) or reuses the public FIFO and returns
// a path descriptor of it in *fd. An existing one must be a FIFO owned by our
// effective user that nobody reads (EBUSY); it gets the mode a new one would.
// False with errno set on failure; nothing is removed then.
bool fifo_find_public(int* fd, bool* created);
// Opens the daemon's read end of the public FIFO found, or passed in by
// systemd, as fd (waiting for the first writer) and its own write end, then
// closes fd.
// False with errno set.
bool fifo_open_ends(int fd, int* read_fd, int* write_fd);

// ---- systemd.cpp: what systemd passes and is told (nothing without it) ----

// The public FIFO systemd passed (socket activation: LISTEN_PID is ours,
// LISTEN_FDS is 1, and fd 3 is a FIFO at the public path), or -1.
int systemd_public_fifo();
// Tells systemd the daemon's state ("READY=1", "STOPPING=1"), if it asked.
void systemd_notify(const char* state);

// The counts systemctl status shows, told to systemd when they changed, at
// most once a second: requests served and failed since start, workers
// running, records waiting. What it last told is in *told. How long the
// main loop may wait before the next is due (-1: nothing to tell until a
// record comes); nothing, and -1, when systemd did not ask.
struct status_told {
    workers_counts counts{};
    long at_ms = -1;
};
int systemd_tell_status(status_told* told);

// ---- signals.cpp ----------------------------------------------------------

void on_signal(int signo);
void on_sigpipe(int signo);

// Installs on_signal for SIGINT, SIGHUP, SIGQUIT, SIGTERM, then on_sigpipe for
// SIGPIPE, all with SA_RESTART. False with errno set on failure.
bool signals_install();

// Tells on_signal that the public FIFO path is the daemon's to remove.
void signals_own_public_fifo();
