// SPDX-License-Identifier: MIT
// The two decrypting commands run the same steps under different trace
// codes: each has its table, which the frame passes in.
#include "worker/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Kernel memory, charged to the client's user; 1 MiB is Linux's default cap
// for unprivileged pipes.
constexpr size_t REPLY_PIPE_SIZE = 4 * LOAD_SIZE;
// What a pipe holds unless told otherwise (Linux: 16 pages).
constexpr off_t REPLY_PIPE_DEFAULT = 65536;

// The cipher's block: a load that a failed read cut short keeps whole blocks.
constexpr size_t BLOCK_SIZE = 8;

// How much a whole-file transfer's thread lowers its priority (nice).
constexpr int BULK_NICE = 10;

// -1 (traced) when the data file cannot be opened, or is no regular file.
int open_data(request* r, const transfer_codes* codes)
{
    const int fd = path_open_data(r->fields.file_path);
    if (fd < 0)
        worker_log_failure(r, errno);
    if (fd < 0 && debug_level)
        perror(codes->not_opened);
    return fd;
}

// Builds the request's key and runs the key schedule, once per request.
void start_cipher(const pipe_request* req, const transfer_codes* codes, thei99_dsa* ctx)
{
    unsigned char key[KEY_SIZE];
    crypto_key_from_text(req->key_string, key, KEY_SIZE);
    for (int i = 0; i < 16; i++)
        trace(" %02X", key[i]);
    trace("\n");
    if (codes->schedule)
        trace("%s\n", codes->schedule);
    cA87315c_start(ctx, 0, key, KEY_SIZE);
    crypto_wipe(key, sizeof key);
}

// Decrypts a load of n bytes and writes it. False (traced) when a write
// fails.
bool send_load(request* r, thei99_dsa* ctx, size_t n, const transfer_codes* codes)
{
    // Loads are filled, so only the file's last load can end inside a
    // block: that is the file's tail, which passes through.
    const size_t whole = n - n % BLOCK_SIZE;
    r->out_used = std::max(r->out_used, n);
    codes->blocks(ctx, r->in, r->out, whole);
    memcpy(r->out + whole, r->in + whole, n - whole);
    if (io_write_all(r->reply, r->out, n, -1, codes->wrote) == 0)
        return true;
    if (errno == EPIPE)
        trace("%s\n", codes->broken);
    else
        trace("%s%d\n", codes->errno_prefix, errno);
    trace("%s\n", codes->write_failed);
    return false;
}


// How filling a load ended: full, with more of the file to come; at the
// file's end; or (any positive value) the errno of a read that failed.
constexpr int FILL_MORE = 0, FILL_END = -1;

// One load: read until it holds LOAD_SIZE bytes or the file ends, whatever
// sizes the file system's reads return (a local file system fills it with
// one read), so that only the file's last load can end inside a block. A
// read that fails leaves the whole blocks read before it. *how says which.
size_t fill_load(int data, unsigned char* in, int* how)
{
    size_t n = 0;
    *how = FILL_MORE;
    while (n < LOAD_SIZE) {
        const ssize_t got = io_read(data, in + n, LOAD_SIZE - n);
        if (got < 0) {
            *how = errno;
            return n - n % BLOCK_SIZE;
        }
        if (got == 0) {
            *how = FILL_END;
            break;
        }
        n += (size_t)got;
    }
    return n;
}

int whole_file_loads(request* r, thei99_dsa* ctx, const transfer_codes* codes)
{
    int how = FILL_MORE;
    for (int loads = 0; how == FILL_MORE; loads++) {
        // A file of more than one load is bulk work (a short one is not
        // worth the two system calls).
        if (loads == 1)
            transfer_lower_priority();
        const size_t n = fill_load(r->data, r->in, &how);
        if (n == 0)
            break;
        // Only its success matters: a reply descriptor that fstat no
        // longer takes ends the transfer as the end of the file would.
        struct stat st;
        if (fstat(r->reply, &st) < 0) {
            trace("e30\n");
            how = FILL_END;
        } else if (!send_load(r, ctx, n, codes)) {
            const int err = errno;
            trace("e35\n");
            return err;
        }
    }
    // A failed read is not traced, and ends the transfer as its end would.
    if (how == FILL_END)
        trace("e35\n");
    return how == FILL_END ? 0 : how;
}

// A read that returns nothing or fails ends the transfer as a written load
// does; only a failed write skips "t50".
int first_load(request* r, thei99_dsa* ctx, const transfer_codes* codes)
{
    int how;
    const size_t n = fill_load(r->data, r->in, &how);
    if (n > 0 && !send_load(r, ctx, n, codes))
        return errno;
    trace("t50\n");
    return how == FILL_END ? 0 : how;
}

// A file that grew or shrank while it was served: its client gets more or
// fewer bytes than it saw, and should hear why.
void log_if_resized(const pipe_request* req, int data, off_t size)
{
    struct stat now;
    if (!log_level || fstat(data, &now) < 0 || now.st_size == size)
        return;
    log_line("<4>%s: file %s changed while served: %lld bytes when opened, %lld at the end\n",
             worker_command_name(req), trace_text(req->file_path, FOR_LOG).text,
             (long long)size, (long long)now.st_size);
}

}  // namespace

// Bulk work yields to short work: a whole-file transfer runs its loads from
// the second on at a lower priority, for the rest of its thread's life,
// which ends with the request; so do the helpers that decrypt with it.
// Pings, exits, first loads and files of one load keep the daemon's own
// priority.
// Measured (tessarind-bench --latency): dropping before the first load gave
// tails at least as short as dropping after it; nice 19, SCHED_BATCH,
// SCHED_IDLE and longer scheduler slices gave none shorter, and SCHED_IDLE
// would starve bulk transfers whenever other programs keep the machine busy.
// Only lowered, never raised: that needs no privilege.
void transfer_lower_priority()
{
    const id_t tid = (id_t)gettid();
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        setpriority(PRIO_PROCESS, tid, std::min(nice + BULK_NICE, 19));
}

const transfer_codes TRANSFER_WHOLE_FILE = {
    .chosen = "e18",
    .open_failed = "e19",
    .reply_path = "e20",
    .file_path = "e21",
    .key_string = "e22",
    .not_opened = "e23",
    .schedule = nullptr,
    .wrote = "e31",
    .broken = "e32",
    .errno_prefix = " e33: ",
    .write_failed = "e34",
    .over = "e37",
    .blocks = helpers_blocks,
    .loads = whole_file_loads,
};

const transfer_codes TRANSFER_FIRST_LOAD = {
    .chosen = "t40",
    .open_failed = "t41",
    .reply_path = "t42",
    .file_path = "t43",
    .key_string = "t44",
    .not_opened = "t45...",
    .schedule = "t46",
    .wrote = "t47",
    .broken = "t48",
    .errno_prefix = " ",
    .write_failed = "t49",
    .over = "t55",
    .blocks = crypto_blocks,
    .loads = first_load,
};

// The paths and key as received; the data file; the key; the loads; the
// data file closed; the end.
bool transfer_run(request* r, const transfer_codes* codes)
{
    const pipe_request* req = &r->fields;
    trace("%s: %s\n", codes->reply_path, trace_text(req->reply_path).text);
    trace("%s: %s\n", codes->file_path, trace_text(req->file_path).text);
    trace("%s: %s\n", codes->key_string, trace_text(req->key_string).text);
    if (!r->in || !r->out) {
        worker_log_failure(r, ENOMEM);  // the client sees an empty reply
        trace("%s\n", codes->over);
        return true;
    }
    r->data = open_data(r, codes);
    if (r->data < 0)
        return false;
    struct stat opened;
    const bool sized = fstat(r->data, &opened) == 0;
    // A pipe that holds a few loads takes each load's write in one go and
    // lets the worker run ahead of a client that reads in bursts, instead of
    // a handful of wake-ups per load; a file that fits the pipe as it is
    // needs none. Only a hint: the system may refuse it.
    if (!sized || opened.st_size > REPLY_PIPE_DEFAULT)
        fcntl(r->reply, F_SETPIPE_SZ, (int)REPLY_PIPE_SIZE);
    thei99_dsa ctx;
    start_cipher(req, codes, &ctx);
    if (const int err = codes->loads(r, &ctx, codes))
        worker_log_failure(r, err);
    else if (sized)
        log_if_resized(req, r->data, opened.st_size);
    crypto_wipe(&ctx, sizeof ctx);
    close(r->data);
    r->data = -1;
    trace("%s\n", codes->over);
    return true;
}
