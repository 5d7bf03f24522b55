// SPDX-License-Identifier: MIT
#include "worker/worker.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Deep enough for every frame a request runs through, well inside
// WORKER_STACK_SIZE.
constexpr size_t WORKER_STACK_WIPE = 32 * 1024;

// Up to five attempts at the reply FIFO, then "OK". -1, or the reply FIFO
// for the frame to close.
int ping(const pipe_request* req, int bound)
{
    const int reply = fifo_open_reply(req->reply_path, bound, true, "t61", false);
    if (reply < 0) {
        worker_log_failure(req, errno);
        return -1;
    }
    // A client that never reads gets no trace but the frame's: neither "t64"
    // nor "t63", which stands for EPIPE only.
    if (io_write_all(reply, "OK", 2, REPLY_ROOM_WAIT_MS, nullptr) == 0) {
        trace("t64\n");
        return reply;
    }
    if (errno == EPIPE)
        trace("t63\n");
    worker_log_failure(req, errno);
    return reply;
}

// Up to five attempts at the reply FIFO, then the transfer. -1 when the
// reply FIFO could not be opened, else the reply FIFO for the frame to
// close; *whole_run false when the run ended early.
int transfer(const pipe_request* req, int bound, const transfer_codes* codes, unsigned char* in, unsigned char* out,
             bool* whole_run)
{
    trace("%s", codes->chosen);
    const int reply = fifo_open_reply(req->reply_path, bound, false, codes->open_failed, true);
    if (reply < 0) {
        worker_log_failure(req, errno);
        trace("%s", codes->over);
        return -1;
    }
    *whole_run = transfer_run(req, codes, reply, in, out);
    return reply;
}

}  // namespace

const char* worker_command_name(const pipe_request* req)
{
    return req->command == CMD_PING ? "ping" : req->command == CMD_DECRYPT_FILE ? "decrypt" : "first load";
}

void worker_log_failure(const pipe_request* req, int err)
{
    if (!log_level)
        return;
    if (req->command == CMD_PING) {
        log_line("<4>%s failed: reply %s: %s\n", worker_command_name(req), trace_text(req->reply_path, FOR_LOG).text,
                 strerrordesc_np(err));
        return;
    }
    log_line("<4>%s failed: reply %s, file %s: %s\n", worker_command_name(req),
             trace_text(req->reply_path, FOR_LOG).text, trace_text(req->file_path, FOR_LOG).text, strerrordesc_np(err));
}

void* thread_instance(void* record, int bound)
{
    unsigned char* raw = (unsigned char*)record;
    // Only the transfers use the buffers and handle plain data, so only they
    // pay for the buffers and for the wipes; a ping touches neither. The
    // transfers check for buffers that could not be allocated.
    const bool decrypting = raw[0] == CMD_DECRYPT_FILE || raw[0] == CMD_DECRYPT_CHUNK;
    unsigned char* in = decrypting ? (unsigned char*)malloc(LOAD_SIZE) : nullptr;
    unsigned char* out = decrypting ? (unsigned char*)malloc(LOAD_SIZE) : nullptr;
    trace("e17..\n");

    pipe_request req;
    record_parse(raw, &req);
    int reply = -1;
    bool whole_run = true;
    if (req.command == CMD_PING) {
        trace("t60\n");
        reply = ping(&req, bound);
    } else if (req.command == CMD_DECRYPT_CHUNK) {
        reply = transfer(&req, bound, &TRANSFER_FIRST_LOAD, in, out, &whole_run);
    } else if (req.command == CMD_DECRYPT_FILE) {
        reply = transfer(&req, bound, &TRANSFER_WHOLE_FILE, in, out, &whole_run);
    }

    if (reply >= 0) {
        if (whole_run)
            trace("t70:  %s\n", trace_text(req.reply_path).text);
        close(reply);
    }
    if (bound >= 0)
        close(bound);
    // The output buffer held plain data, the record and its copy a key.
    free(in);
    if (out)
        crypto_wipe(out, LOAD_SIZE);
    free(out);
    crypto_wipe(raw, RECORD_SIZE);
    free(raw);
    crypto_wipe(&req, sizeof req);
    if (decrypting)
        crypto_wipe_stack<WORKER_STACK_WIPE>();
    if (whole_run)
        trace("t80\n\n");
    return nullptr;
}
