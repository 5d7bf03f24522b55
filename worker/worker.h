// SPDX-License-Identifier: MIT
// The workers, as the main thread sees them: the pool that reads nothing
// but records, and serves each on a thread of its own (every record but
// CMD_EXIT), at most MAX_WORKERS at once. How a request is served is in
// worker/internal.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.h"

// ---- pool.cpp: at most MAX_WORKERS requests served at once ----------------

inline constexpr int MAX_WORKERS = 256;
// At most this many of them serve reply FIFOs of one owner; that owner's
// further records wait, in arrival order, and the others are served.
inline constexpr int OWNER_SHARE = 64;
// Records waiting in the daemon, in all; beyond that they wait in the public
// FIFO.
inline constexpr size_t MAX_WAITING = 4096;
// Records of one owner waiting in the daemon, and of the unresolved share,
// at most: the excess is dropped as it is read, so that no owner, and
// nobody naming reply paths that reach nothing, fills the daemon.
inline constexpr int OWNER_WAITING = 256;
inline constexpr int UNKNOWN_WAITING = 16;
#ifdef __SANITIZE_THREAD__
// ThreadSanitizer keeps its own per-thread state in a stack the program maps.
inline constexpr size_t WORKER_STACK_SIZE = 1024 * 1024;
#else
inline constexpr size_t WORKER_STACK_SIZE = 256 * 1024;
#endif

// While more than this many workers that gave their share back wait to be
// joined, no new worker starts, so that threads follow the workers.
inline constexpr int MAX_ENDED = 4;
// The share of records whose reply path reached no FIFO as they were read.
inline constexpr uint64_t UNKNOWN_OWNER = UINT64_MAX;

// Only the main thread calls these.

// Raises the descriptor limit as far as waiting records need (fewer may
// wait where the hard limit is lower), sets up the pool's wake-up
// descriptor and starts the helpers. False with errno set.
bool workers_init();
// How many records may wait in the daemon (MAX_WAITING, or fewer).
size_t workers_max_waiting();
// Makes the record's request (request_make) and starts thread_instance on
// it at once, or lets it wait, in arrival order, until a slot is free and
// its owner has fewer than OWNER_SHARE workers. A request whose thread
// cannot start (traced e14/e15) waits where it was and is tried again
// later. A record whose request cannot be made is dropped, and logged. The
// pool owns every request it made, from its record to its release after
// thread_instance returned.
void workers_submit(const unsigned char record[RECORD_SIZE]);
// Starts the waiting records that may start now.
void workers_dispatch();
// Waits until a record can be read from fd (true; never while
// workers_max_waiting() records wait), until waiting records may start, or
// at most max_wait_ms (-1: no limit) (false).
bool workers_wait_input(int fd, int max_wait_ms = -1);

// What the service's status tells.
struct workers_counts {
    uint64_t served;  // requests whose worker ended, since start
    uint64_t failed;  // of them, those that failed (logged as such)
    int running;      // workers serving a request now
    size_t waiting;   // records waiting in the daemon
    bool operator==(const workers_counts&) const = default;
};
workers_counts workers_status();
// At shutdown: drops the waiting records and joins the worker that ended
// last. Workers still running end with the process.
void workers_finish();

