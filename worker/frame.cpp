// SPDX-License-Identifier: MIT
#include "worker/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Deep enough for every frame a request runs through, well inside
// WORKER_STACK_SIZE.
constexpr size_t WORKER_STACK_WIPE = 32 * 1024;

// Up to five attempts at the reply FIFO, then "OK".
void ping(request* r)
{
    const pipe_request* req = &r->fields;
    r->reply = fifo_open_reply(req->reply_path, r->bound, true, "t61", false);
    if (r->reply < 0) {
        worker_log_failure(r, errno);
        return;
    }
    // A client that never reads gets no trace but the frame's: neither "t64"
    // nor "t63", which stands for EPIPE only.
    if (io_write_all(r->reply, "OK", 2, REPLY_ROOM_WAIT_MS, nullptr) == 0) {
        trace("t64\n");
        return;
    }
    if (errno == EPIPE)
        trace("t63\n");
    worker_log_failure(r, errno);
}

// Up to five attempts at the reply FIFO, then the transfer. False when the
// run ended early.
bool transfer(request* r, const transfer_codes* codes)
{
    trace("%s\n", codes->chosen);
    r->reply = fifo_open_reply(r->fields.reply_path, r->bound, false, codes->open_failed, true);
    if (r->reply < 0) {
        worker_log_failure(r, errno);
        trace("%s\n", codes->over);
        return true;
    }
    return transfer_run(r, codes);
}

}  // namespace

const char* worker_command_name(const pipe_request* req)
{
    return req->command == CMD_PING ? "ping" : req->command == CMD_DECRYPT_FILE ? "decrypt" : "first load";
}

void worker_log_failure(request* r, int err)
{
    r->failed = true;
    if (!log_level || r->bound == REPLY_UNSERVED)
        return;  // told of as its record was read
    const pipe_request* req = &r->fields;
    const char* command = worker_command_name(req);
    const long long uid = r->owner == UNKNOWN_OWNER ? -1 : (long long)r->owner;
    char message[4096];
    // Paths are named only once they reached a FIFO, which a shifted
    // record's fields, another record's key text among them, never do.
    if (r->bound < 0 && r->reply < 0) {
        snprintf(message, sizeof message, "%s failed: its reply path reached no FIFO (%s)", command,
                 strerrordesc_np(err));
        log_request(4, command, uid, err, message);
        return;
    }
    // A reader that closed its FIFO early (a pipe into head, say) chose to:
    // told of, not warned of.
    const char* outcome = err == EPIPE ? "ended early" : "failed";
    if (req->command == CMD_PING)
        snprintf(message, sizeof message, "%s %s: reply %s: %s", command, outcome,
                 trace_text(req->reply_path, FOR_LOG).text, strerrordesc_np(err));
    else
        snprintf(message, sizeof message, "%s %s: reply %s, file %s: %s", command, outcome,
                 trace_text(req->reply_path, FOR_LOG).text, trace_text(req->file_path, FOR_LOG).text,
                 strerrordesc_np(err));
    log_request(err == EPIPE ? 6 : 4, command, uid, err, message);
}

void thread_instance(request* r)
{
    request_prepare(r);
    trace("e17..\n");
    const unsigned char command = r->fields.command;
    const bool decrypting = command == CMD_DECRYPT_FILE || command == CMD_DECRYPT_CHUNK;
    bool whole_run = true;
    if (command == CMD_PING) {
        trace("t60\n");
        ping(r);
    } else if (command == CMD_DECRYPT_CHUNK) {
        whole_run = transfer(r, &TRANSFER_FIRST_LOAD);
    } else if (command == CMD_DECRYPT_FILE) {
        whole_run = transfer(r, &TRANSFER_WHOLE_FILE);
    }
    if (r->reply >= 0 && whole_run)
        trace("t70:  %s\n", trace_text(r->fields.reply_path).text);
    request_end(r);
    if (decrypting)
        crypto_wipe_stack<WORKER_STACK_WIPE>();
    if (whole_run)
        trace("t80\n\n");
}
