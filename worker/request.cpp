// SPDX-License-Identifier: MIT
// One request's resources: taken in request_make and request_prepare, given
// back in request_release, whatever path the request took.
#include "worker/worker.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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
    r->reply = r->data = -1;
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
    if (command == CMD_DECRYPT_FILE || command == CMD_DECRYPT_CHUNK) {
        r->in = (unsigned char*)malloc(LOAD_SIZE);
        r->out = (unsigned char*)malloc(LOAD_SIZE);
    }
    record_parse(r->record, &r->fields);
}

void request_release(request* r)
{
    const int err = errno;
    for (const int fd : {r->reply, r->data, r->bound})
        if (fd >= 0)
            close(fd);
    // The output buffer held plain data, the record and its fields a key.
    free(r->in);
    if (r->out)
        crypto_wipe(r->out, LOAD_SIZE);
    free(r->out);
    crypto_wipe(r, sizeof *r);
    free(r);
    errno = err;
}
