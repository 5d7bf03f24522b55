// SPDX-License-Identifier: MIT
// The command-line client's output side, which never leaves plain data
// behind: OUT written through a temporary file renamed over it only when
// everything was written, or in place for a device or a FIFO (never
// replaced), or standard output; what a fatal signal must still remove; and
// the progress line.
#pragma once

#include <string>
#include <sys/types.h>

#include "client/client.h"

// Installs the handler that removes the temporary file and the reply FIFO
// on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE, then dies of the signal.
void output_signals_install();
// Tells that handler of the reply FIFO (or of nullptr once it is gone): the
// on_reply of client_exchange and client_decrypt.
void output_doom_reply(const client_reply* r);

struct output {
    int fd = 1;  // standard output
    std::string target, temp;
};

// Opens OUT (null or "-": standard output). A regular OUT gets mode when
// new; with keep set, an existing one keeps its mode and group. False with
// errno set (EPERM: OUT is a FIFO or device of another user, which would
// hand him the plain data).
bool output_open(output* o, const char* path, mode_t mode, bool keep);
// Starts OUT afresh, for a reply asked for once more: only OUT written
// through a temporary file can. False when it cannot.
bool output_restart(output* o);
// With ok, syncs and renames the temporary file over OUT; without, removes
// it. False with errno set when ok was given and failed.
bool output_commit(output* o, bool ok);

// The mode bits the umask takes away now.
mode_t output_umask();

// A progress line on standard error, at most ten times a second.
struct progress {
    bool on = false;
    long long total = -1;  // the reply's size when known
    long long received = 0;
    double start = 0, last = 0;
};
double output_now();
void progress_show(progress* p, bool final);
