// SPDX-License-Identifier: MIT
#include "worker/worker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/crypto.h"

namespace {

// Kernel memory, charged to the client's user; 1 MiB is Linux's default cap
// for unprivileged pipes.
constexpr size_t REPLY_PIPE_SIZE = 4 * LOAD_SIZE;

// The two commands run the same steps under different trace codes.
struct trace_codes {
    const char* open_failed;  // with the reply path
    const char* opened;       // with the reply path
    const char* file;         // with the file path
    const char* key;          // with the key string
    const char* no_file;      // perror prefix
    const char* wrote;        // with the count of one write call
    const char* epipe;
    const char* write_error;  // with errno
    const char* write_failed;
    const char* done;
    const char* key_schedule;  // before the key schedule runs, or null
};

const trace_codes whole_file_codes = {
    .open_failed = "e19: %s\n",
    .opened = "e20: %s\n",
    .file = "e21: %s\n",
    .key = "e22: %s\n",
    .no_file = "e23",
    .wrote = "e31 %zd\n",
    .epipe = "e32\n",
    .write_error = " e33: %d\n",
    .write_failed = "e34\n",
    .done = "e37\n",
    .key_schedule = nullptr,
};

const trace_codes first_load_codes = {
    .open_failed = "t41: %s\n",
    .opened = "t42: %s\n",
    .file = "t43: %s\n",
    .key = "t44: %s\n",
    .no_file = "t45...",
    .wrote = "t47 %zd\n",
    .epipe = "t48\n",
    .write_error = " %d\n",
    .write_failed = "t49\n",
    .done = "t55\n",
    .key_schedule = "t46\n",
};

// What one request holds open besides the frame's buffers. The key and the
// context are wiped on every path by close_request.
struct request_state {
    int data = -1;
    thei99_dsa ctx;
};

void close_request(request_state* rs)
{
    if (rs->data >= 0)
        close(rs->data);
    rs->data = -1;
    crypto_wipe(&rs->ctx, sizeof rs->ctx);
}

enum class opened { no_reply, no_buffers, no_file, ready };

// Opens the reply FIFO and the data file, then builds the key and starts the
// context. The data file must be a regular file: a FIFO or a device would
// pin the worker or hand the requester what another reads from it (the
// public FIFO's records, another worker's reply). Opened non-blocking, so a
// FIFO is refused without waiting for a writer.
opened open_request(const pipe_request* req, const trace_codes& t, bool buffers, int* reply, request_state* rs)
{
    *reply = fifo_open_reply(req->reply_path, false, t.open_failed);
    if (*reply < 0)
        return opened::no_reply;
    // A pipe that holds a few loads takes each load's write in one go and
    // lets the worker run ahead of a client that reads in bursts, instead of
    // a handful of wake-ups per load. Only a hint: the system may refuse it.
    fcntl(*reply, F_SETPIPE_SZ, (int)REPLY_PIPE_SIZE);
    trace(t.opened, req->reply_path);
    trace(t.file, req->file_path);
    trace(t.key, req->key_string);
    if (!buffers)
        return opened::no_buffers;

    rs->data = path_open(req->file_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (rs->data >= 0 && (fstat(rs->data, &st) < 0 || !S_ISREG(st.st_mode))) {
        close(rs->data);
        rs->data = -1;
        errno = EINVAL;
    }
    if (rs->data < 0) {
        if (debug_level)
            perror(t.no_file);
        return opened::no_file;
    }

    unsigned char key[20];
    transfer_key_from_text(req->key_string, key);
    for (int i = 0; i < 16; i++)
        trace(" %02X", key[i]);
    trace("\n");
    if (t.key_schedule)
        trace("%s", t.key_schedule);
    cA87315c_start(&rs->ctx, 0, key, (int32_t)sizeof key);
    crypto_wipe(key, sizeof key);
    return opened::ready;
}

bool send(int reply, const unsigned char* out, size_t len, const trace_codes& t)
{
    if (io_write_all(reply, out, len, t.wrote) == 0)
        return true;
    if (errno == EPIPE)
        trace("%s", t.epipe);
    else
        trace(t.write_error, errno);
    trace("%s", t.write_failed);
    return false;
}

}  // namespace

void transfer_key_from_text(const char* key_string, unsigned char key[20])
{
    // '-' may stand anywhere in the key text and is left out; the decoder
    // stops at the first other byte outside base64.
    char stripped[FIELD_SIZE + 1];
    size_t n = 0;
    for (const char* p = key_string; *p && n < FIELD_SIZE; p++)
        if (*p != '-')
            stripped[n++] = *p;
    stripped[n] = '\0';
    memset(key, 0, 20);
    uiwndpoa(stripped, 20, key);
    crypto_wipe(stripped, sizeof stripped);
}

size_t transfer_decrypt_load(thei99_dsa* ctx, unsigned char* in, unsigned char* out, size_t have, bool keep_rest,
                             size_t* rest)
{
    const size_t whole = have & ~(size_t)7;
    crypto_blocks(ctx, in, out, whole);
    *rest = have - whole;
    if (keep_rest) {
        memmove(in, in + whole, *rest);
        return whole;
    }
    // The file's last 1 to 7 bytes pass through as they were read.
    memcpy(out + whole, in + whole, *rest);
    *rest = 0;
    return have;
}

namespace {

// A regular file returns full loads, so only its last load can end inside a
// block: that is the file's tail, which passes through as it was read.
void whole_file_loads(request_state* rs, unsigned char* in, unsigned char* out, int reply)
{
    const trace_codes& t = whole_file_codes;
    for (;;) {
        const ssize_t n = io_read(rs->data, in, LOAD_SIZE);
        if (n < 0)
            return;
        if (n == 0) {
            trace("e35\n");
            return;
        }
        struct stat st;
        if (fstat(reply, &st) < 0) {
            trace("e30\n");
            trace("e35\n");
            return;
        }
        size_t rest;
        const size_t len = transfer_decrypt_load(&rs->ctx, in, out, (size_t)n, false, &rest);
        if (!send(reply, out, len, t)) {
            trace("e35\n");
            return;
        }
    }
}

// A read that returns nothing or fails ends the transfer as a written load
// does; only a failed write skips "t50".
void first_load(request_state* rs, unsigned char* in, unsigned char* out, int reply)
{
    const ssize_t n = io_read(rs->data, in, LOAD_SIZE);
    bool written = true;
    if (n > 0) {
        size_t rest;
        written = send(reply, out, transfer_decrypt_load(&rs->ctx, in, out, (size_t)n, false, &rest),
                       first_load_codes);
    }
    if (written)
        trace("t50\n");
}

using transfer_body = void (*)(request_state*, unsigned char* in, unsigned char* out, int reply);

// The frame both commands share: open, serve the loads, close the data
// file, trace the end. False when the run ends early (no data file).
bool run_transfer(const pipe_request* req, const trace_codes& t, unsigned char* in, unsigned char* out, int* reply,
                  transfer_body body)
{
    request_state rs;
    switch (open_request(req, t, in && out, reply, &rs)) {
    case opened::no_file:
        close_request(&rs);
        return false;
    case opened::ready:
        body(&rs, in, out, *reply);
        close_request(&rs);
        break;
    case opened::no_reply:
    case opened::no_buffers:
        break;
    }
    trace("%s", t.done);
    return true;
}

}  // namespace

bool transfer_whole_file(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply)
{
    return run_transfer(req, whole_file_codes, in, out, reply, whole_file_loads);
}

bool transfer_first_load(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply)
{
    return run_transfer(req, first_load_codes, in, out, reply, first_load);
}
