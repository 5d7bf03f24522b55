// SPDX-License-Identifier: MIT
// The two decrypting commands run the same steps under different trace
// codes: `whole` picks the whole-file transfer's, else the one-load
// transfer's.
#include "worker/worker.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/crypto.h"

namespace {

// Kernel memory, charged to the client's user; 1 MiB is Linux's default cap
// for unprivileged pipes.
constexpr size_t REPLY_PIPE_SIZE = 4 * LOAD_SIZE;

// How much a whole-file transfer's thread lowers its priority (nice).
constexpr int BULK_NICE = 10;

void trace_e19(const char* path)
{
    trace("e19: %s\n", trace_text(path).text);
}

void trace_t41(const char* path)
{
    trace("t41: %s\n", trace_text(path).text);
}

void trace_e31(ssize_t count)
{
    trace("e31 %zd\n", count);
}

void trace_t47(ssize_t count)
{
    trace("t47 %zd\n", count);
}

// -1 (traced) when the data file cannot be opened, or is no regular file.
int open_data(const pipe_request* req, bool whole)
{
    const int fd = path_open_data(req->file_path);
    if (fd < 0)
        worker_log_failure(req, errno);
    if (fd < 0 && debug_level)
        perror(whole ? "e23" : "t45...");
    return fd;
}

// Builds the request's key and runs the key schedule, once per request.
void start_cipher(const pipe_request* req, bool whole, thei99_dsa* ctx)
{
    unsigned char key[KEY_SIZE];
    crypto_key_from_text(req->key_string, key, KEY_SIZE);
    for (int i = 0; i < 16; i++)
        trace(" %02X", key[i]);
    trace("\n");
    if (!whole)
        trace("t46\n");
    cA87315c_start(ctx, 0, key, KEY_SIZE);
    crypto_wipe(key, sizeof key);
}

// Decrypts a load of n bytes and writes it. False (traced) when a write
// fails.
bool send_load(thei99_dsa* ctx, unsigned char* in, unsigned char* out, size_t n, int reply, bool whole)
{
    // A regular file returns full loads, so only its last load can end
    // inside a block: that is the file's tail, which passes through.
    size_t rest;
    const size_t len = crypto_blocks_partial(ctx, in, out, n, false, &rest);
    if (io_write_all(reply, out, len, -1, whole ? trace_e31 : trace_t47) == 0)
        return true;
    if (errno == EPIPE)
        trace(whole ? "e32\n" : "t48\n");
    else if (whole)
        trace(" e33: %d\n", errno);
    else
        trace(" %d\n", errno);
    trace(whole ? "e34\n" : "t49\n");
    return false;
}

// Bulk work yields to short work: a whole-file transfer runs its loads at a
// lower priority, for the rest of its thread's life, which ends with the
// request. Pings, exits and first loads keep the daemon's own priority.
// Measured (tessarind-bench --latency): dropping before the first load gave
// tails at least as short as dropping after it; nice 19, SCHED_BATCH and
// SCHED_IDLE gave none shorter, and SCHED_IDLE would starve bulk transfers
// whenever other programs keep the machine busy.
// Only lowered, never raised: that needs no privilege.
void yield_to_short_requests()
{
    const id_t tid = (id_t)gettid();
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        setpriority(PRIO_PROCESS, tid, std::min(nice + BULK_NICE, 19));
}

// False, with errno set, when reading or writing failed.
bool whole_file_loads(int data, thei99_dsa* ctx, unsigned char* in, unsigned char* out, int reply)
{
    yield_to_short_requests();
    bool ok = true;
    for (;;) {
        const ssize_t n = io_read(data, in, LOAD_SIZE);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        // Only its success matters: a reply descriptor that fstat no
        // longer takes ends the transfer as the end of the file would.
        struct stat st;
        if (fstat(reply, &st) < 0) {
            trace("e30\n");
            break;
        }
        ok = send_load(ctx, in, out, (size_t)n, reply, true);
        if (!ok)
            break;
    }
    trace("e35\n");
    return ok;
}

// A read that returns nothing or fails ends the transfer as a written load
// does; only a failed write skips "t50".
bool first_load(int data, thei99_dsa* ctx, unsigned char* in, unsigned char* out, int reply)
{
    const ssize_t n = io_read(data, in, LOAD_SIZE);
    const bool ok = n <= 0 || send_load(ctx, in, out, (size_t)n, reply, false);
    if (ok)
        trace("t50\n");
    return ok && n >= 0;
}

// Open the reply FIFO, then the data file; build the key; serve the loads;
// close the data file; trace the end. False when the run ends early (no
// data file).
bool run_transfer(const pipe_request* req, bool whole, unsigned char* in, unsigned char* out, int* reply)
{
    *reply = fifo_open_reply(req->reply_path, false, whole ? trace_e19 : trace_t41);
    if (*reply >= 0) {
        // A pipe that holds a few loads takes each load's write in one go
        // and lets the worker run ahead of a client that reads in bursts,
        // instead of a handful of wake-ups per load. Only a hint: the
        // system may refuse it.
        fcntl(*reply, F_SETPIPE_SZ, (int)REPLY_PIPE_SIZE);
        trace(whole ? "e20: %s\n" : "t42: %s\n", trace_text(req->reply_path).text);
        trace(whole ? "e21: %s\n" : "t43: %s\n", trace_text(req->file_path).text);
        trace(whole ? "e22: %s\n" : "t44: %s\n", trace_text(req->key_string).text);
        if (in && out) {
            const int data = open_data(req, whole);
            if (data < 0)
                return false;
            thei99_dsa ctx;
            start_cipher(req, whole, &ctx);
            const bool ok = whole ? whole_file_loads(data, &ctx, in, out, *reply)
                                  : first_load(data, &ctx, in, out, *reply);
            if (!ok)
                worker_log_failure(req, errno);
            crypto_wipe(&ctx, sizeof ctx);
            close(data);
        }
    } else {
        worker_log_failure(req, errno);
    }
    trace(whole ? "e37\n" : "t55\n");
    return true;
}

}  // namespace

bool transfer_whole_file(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply)
{
    return run_transfer(req, true, in, out, reply);
}

bool transfer_first_load(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply)
{
    return run_transfer(req, false, in, out, reply);
}
