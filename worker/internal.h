// SPDX-License-Identifier: MIT
// Inside the workers: the request the pool makes and owns, the pool's rule
// (dispatch.cpp), the helpers that decrypt beside the workers, and what a
// worker runs (frame.cpp, transfer.cpp). Nothing here calls back into the
// pool. The pool's face, which the main thread uses, is worker/worker.h.
#pragma once

#include <cstdint>
#include <deque>
#include <map>

#include "common/common.h"
#include "crypto/crypto.h"
#include "worker/worker.h"

// ---- request.cpp: one request, owned in one place -------------------------

// Everything one request holds, from the read of its record to its
// worker's end. The share it is charged to is counted by the pool
// (dispatch.cpp), by owner.
struct request {
    unsigned char record[RECORD_SIZE];  // the record as read; holds a key
    uint64_t owner;                     // whose share: the bound FIFO's owner, or UNKNOWN_OWNER
    int bound;                          // its reply FIFO as the record was read (O_PATH), -1, or
                                        // REPLY_UNSERVED (not record_well_formed)
    // Set on the worker's thread:
    pipe_request fields;  // the record, parsed
    unsigned char* in;    // the transfers' two LOAD_SIZE buffers (null: none)
    unsigned char* out;
    size_t out_used;      // how far plain data reached in out: what is wiped
    int reply;  // the reply FIFO, open for writing, or -1
    int data;   // the data file, or -1
    bool failed;  // told of as failed (worker_log_failure), for the pool's count
};

// A request for a copy of the record, bound to its reply FIFO
// (fifo_bind_reply) as it is read if the record is well formed (else never
// looked up by name either). Null with errno: ENOMEM, or EMFILE or
// ENFILE when no descriptor was left to bind it (it is never served by
// name then).
request* request_make(const unsigned char record[RECORD_SIZE]);
// On the worker's thread: parses the record and, for a transfer, takes its
// buffers, kept ones first (null where they cannot be had).
void request_prepare(request* r);
// On the worker's thread, as its request ends: closes its reply FIFO, data
// file and bound FIFO, wipes its output buffer as far as out_used, its
// record and fields, and keeps the buffers for the next transfer (a few) or
// frees them. r and its owner stay, for the pool. Keeps errno; a second
// call does nothing.
void request_end(request* r);
// The pool's, on every path: request_end, then frees r. Keeps errno.
void request_release(request* r);

// ---- dispatch.cpp: the pool's rule, on its counts alone -------------------

// The counts the rule reads. The pool guards all of them with its lock.
struct pool_queue {
    std::deque<request*> waiting;     // in arrival order
    std::map<uint64_t, int> queued;   // owner -> its waiting records (absent: none)
    std::map<uint64_t, int> serving;  // owner -> its workers (absent: none)
    int running = 0;                  // workers started and not yet joined: one slot each
    int ended = 0;                    // of them, those whose share is given back
};

// The first waiting record that may start now: a slot is free (fewer than
// MAX_WORKERS running, at most MAX_ENDED waiting to be joined) and its
// owner has fewer than OWNER_SHARE workers. Its index, or -1.
long dispatch_next(const pool_queue& q);
// Whether the owner's share is all in use.
bool dispatch_share_used(const pool_queue& q, uint64_t owner);
// Appends r to the waiting records, unless its owner already has
// OWNER_WAITING of them waiting (UNKNOWN_WAITING for UNKNOWN_OWNER): false.
bool dispatch_queue(pool_queue* q, request* r);
// Takes waiting[i] out, charging its owner's share and a slot.
request* dispatch_take(pool_queue* q, size_t i);
// A record taken whose thread could not start: back at i, where it was,
// and its share and slot given back.
void dispatch_give_back(pool_queue* q, size_t i, request* r);
// A worker ended its request: its share is given back; its slot only once
// it is joined (dispatch_joined).
void dispatch_share_done(pool_queue* q, uint64_t owner);
void dispatch_joined(pool_queue* q);

// ---- helpers.cpp: idle CPUs help decrypt a load ---------------------------

// Slices small enough that a helper that wakes late still finds some, large
// enough that taking one costs next to nothing beside decrypting it.
inline constexpr size_t HELPER_SLICE_SIZE = 16 * 1024;
// What helper threads are named (/proc/PID/task/TID/comm).
inline constexpr char HELPER_THREAD_NAME[] = "tessarind-help";

// Starts the helpers, once, before any worker: one fewer than the CPUs the
// daemon may run on (sched_getaffinity), at most a small fixed number. Those
// that cannot start are left out (logged), down to none. How many started.
int helpers_init();
// crypto_blocks(ctx, in, out, len), with helpers taking slices of whole
// blocks while fewer threads decrypt than there are CPUs; alone otherwise.
// Returns once every slice is done: nothing touches in, out or ctx after.
void helpers_blocks(const thei99_dsa* ctx, const unsigned char* in, unsigned char* out, size_t len);
// How many slices helpers have decrypted so far.
long helpers_slices_helped();

// ---- frame.cpp: one request -----------------------------------------------

// One request, on its worker's thread, which ends it (request_end) before
// it returns; the pool, which made it, releases it then. Opens the reply
// FIFO through the bound one (by name only without it).
void thread_instance(request* r);

// The log's line for a request that failed with err: the command, the reply
// and data paths (escaped) once its reply path reached a FIFO, the error;
// never the key. Nothing for a record not served by its fields. Marks r
// failed.
void worker_log_failure(request* r, int err);
// The command as the log names it: "ping", "decrypt", "first load".
const char* worker_command_name(const pipe_request* req);

// ---- transfer.cpp: the decrypting commands --------------------------------

// The trace codes of one decrypting command, as the trace table pairs them,
// by how each is printed: a line of its own ("CODE\n"), a path after it
// ("CODE: PATH\n"), a count after it ("CODE N\n"), a perror prefix, and the
// one irregular pair, the prefix before an errno (" e33: " | " ").
struct transfer_codes {
    const char* chosen;        // line: the frame's, once the command is known
    const char* open_failed;   // path: after each failed attempt at the reply FIFO
    const char* reply_path;    // path: once the reply FIFO is open
    const char* file_path;     // path
    const char* key_string;    // path: the key text as received
    const char* not_opened;    // perror prefix: the data file cannot be opened
    const char* schedule;      // line: before the key schedule, or null
    const char* wrote;         // count: after each write
    const char* broken;        // line: a write failed with EPIPE
    const char* errno_prefix;  // before the errno of a write that failed otherwise
    const char* write_failed;  // line: after either write failure
    const char* over;          // line: the transfer is over, reply FIFO open or not
    // Decrypts the whole blocks of a load: helpers_blocks for the whole
    // file, which runs at bulk priority, crypto_blocks for the first load.
    void (*blocks)(const thei99_dsa* ctx, const unsigned char* in, unsigned char* out, size_t len);
    // The loads: every one of the file (whole file) or the first, through
    // r's buffers; r->out_used follows the longest. 0, or the errno of the
    // read or write that failed.
    int (*loads)(request* r, thei99_dsa* ctx, const transfer_codes* codes);
};
extern const transfer_codes TRANSFER_WHOLE_FILE;
extern const transfer_codes TRANSFER_FIRST_LOAD;

// Lowers the calling thread's priority as a whole-file transfer's: bulk work
// yields to short requests.
void transfer_lower_priority();

// Streams the request's decrypted data file to its open reply FIFO,
// through its buffers (none: nothing is written). False when the run ends
// early (the data file could not be opened): the frame then prints neither
// of its closing traces.
bool transfer_run(request* r, const transfer_codes* codes);
