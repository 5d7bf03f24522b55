// SPDX-License-Identifier: MIT
// One request's resources: taken in request_make and request_prepare, given
// back in request_end and request_release, whatever path the request took.
#include "worker/internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Transfers' buffer pairs kept for the next transfers, so that a steady
// stream of requests allocates, faults in and unmaps nothing: a freed
// 262144-byte buffer goes back to the system, and the next one's pages
// fault in afresh. Each is wiped, as far as plain data reached, before it
// is kept.
constexpr int SPARE_BUFFERS = 16;

struct spare_buffers {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards both fields
    unsigned char* pairs[SPARE_BUFFERS][2];
    int count = 0;
};
// Never destroyed: workers may still run as the process ends.
spare_buffers& spares = *new spare_buffers;

void buffers_get(request* r)
{
    pthread_mutex_lock(&spares.lock);
    if (spares.count > 0) {
        spares.count--;
        r->in = spares.pairs[spares.count][0];
        r->out = spares.pairs[spares.count][1];
    }
    pthread_mutex_unlock(&spares.lock);
    if (r->in)
        return;
    r->in = (unsigned char*)malloc(LOAD_SIZE);
    r->out = (unsigned char*)malloc(LOAD_SIZE);
}

void buffers_put(request* r)
{
    if (r->out)
        crypto_wipe(r->out, r->out_used);
    pthread_mutex_lock(&spares.lock);
    const bool kept = r->in && r->out && spares.count < SPARE_BUFFERS;
    if (kept) {
        spares.pairs[spares.count][0] = r->in;
        spares.pairs[spares.count][1] = r->out;
        spares.count++;
    }
    pthread_mutex_unlock(&spares.lock);
    if (!kept) {
        free(r->in);
        free(r->out);
    }
}

}  // namespace

request* request_make(const unsigned char record[RECORD_SIZE])
{
    auto* r = (request*)malloc(sizeof(request));
    if (!r)
        return nullptr;
    memcpy(r->record, record, RECORD_SIZE);
    // The copy went through the main thread's registers, which the worker
    // would inherit.
    crypto_wipe_registers();
    r->in = r->out = nullptr;
    r->out_used = 0;
    r->reply = r->data = -1;
    r->failed = false;
    r->owner = UNKNOWN_OWNER;
    r->bound = REPLY_UNSERVED;
    if (!record_well_formed(record))
        return r;
    char reply_path[FIELD_SIZE + 1];
    record_field(record, REPLY_PATH_OFFSET, reply_path);
    // Bound now, however long the record waits: a FIFO its client removes
    // meanwhile is never replaced by another at the same path. The share
    // goes by the bound FIFO's owner only.
    struct stat st;
    r->bound = fifo_bind_reply(reply_path, &st);
    if (r->bound >= 0)
        r->owner = st.st_uid;
    if (r->bound < 0 && (errno == EMFILE || errno == ENFILE)) {
        request_release(r);
        return nullptr;
    }
    return r;
}

void request_prepare(request* r)
{
    // Only the transfers use the buffers and handle plain data, so only they
    // pay for the buffers and for the wipes; a ping touches neither. The
    // transfers check for buffers that could not be allocated.
    const unsigned char command = r->record[0];
    if (command == CMD_DECRYPT_FILE || command == CMD_DECRYPT_CHUNK)
        buffers_get(r);
    record_parse(r->record, &r->fields);
}

void request_end(request* r)
{
    const int err = errno;
    for (int* fd : {&r->reply, &r->data, &r->bound}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    // The output buffer held plain data, the record and its fields a key.
    buffers_put(r);
    r->in = r->out = nullptr;
    r->out_used = 0;
    crypto_wipe(r->record, sizeof r->record);
    crypto_wipe(&r->fields, sizeof r->fields);
    errno = err;
}

void request_release(request* r)
{
    // request_end wiped what held a key or plain data; the rest is counts
    // and descriptors' numbers.
    request_end(r);
    free(r);
}
