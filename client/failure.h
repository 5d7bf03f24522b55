// SPDX-License-Identifier: MIT
// What a failed request is told by: one line, the same from the
// command-line client, the C library (tessarind_last_error) and the Python
// module, naming the path it is about.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "client/client.h"

struct client_failure {
    client_stage stage = STAGE_FILE;
    int err = 0;                           // the errno it failed with
    const char* command = "decrypt";       // "ping", "stop" or "decrypt"
    const char* path = "";                 // the file, as the caller named it
    const char* output = "";               // where the plain data went, for STAGE_OUTPUT
    int timeout_ms = -1;
    const client_transfer* t = nullptr;    // null for ping and stop
    size_t key_bad = 0;                    // for STAGE_KEY: client_key_check's *bad
};

// A key text client_key_check refused, with its errno and *bad.
client_failure client_key_failure(int err, size_t bad);

// The line, without a program's prefix, into buf (always terminated).
void client_failure_message(const client_failure& f, char* buf, size_t size);

// reach.cpp: why the daemon could not read path, where the modes tell (a
// daemon running as root is never kept out): a directory its user (*uid)
// cannot enter, named in dir, or the file itself it may not read.
enum client_reach { REACH_UNKNOWN, REACH_DIRECTORY, REACH_FILE };
client_reach client_daemon_reach(const char* path, uid_t* uid, char* dir, size_t size);
