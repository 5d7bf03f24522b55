// SPDX-License-Identifier: MIT
// The C API of the client library, on the same protocol code as the
// command-line client.
#include "client/tessarind/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "client/client.h"

#define TESSARIND_API extern "C" __attribute__((visibility("default")))

namespace {

struct to_fd {
    int fd;
    int error;
};

bool write_to_fd(void* ctx, const unsigned char* p, size_t len)
{
    auto* o = (to_fd*)ctx;
    if (client_write_all(o->fd, p, len) == 0)
        return true;
    o->error = errno;
    return false;
}

// A growing buffer that never leaves plain data behind in freed memory.
struct to_memory {
    unsigned char* data;
    size_t len, cap;
    bool failed;
};

bool append_to_memory(void* ctx, const unsigned char* p, size_t len)
{
    auto* m = (to_memory*)ctx;
    if (m->len + len > m->cap) {
        const size_t cap = std::max(std::max(2 * m->cap, m->len + len), (size_t)65536);
        auto* bigger = (unsigned char*)malloc(cap);
        if (!bigger) {
            m->failed = true;
            return false;
        }
        if (m->data) {
            memcpy(bigger, m->data, m->len);
            explicit_bzero(m->data, m->cap);
            free(m->data);
        }
        m->data = bigger;
        m->cap = cap;
    }
    memcpy(m->data + m->len, p, len);
    m->len += len;
    return true;
}

}  // namespace

TESSARIND_API int tessarind_ping(int timeout_ms)
{
    return client_ask(CMD_PING, timeout_ms);
}

TESSARIND_API int tessarind_stop(int timeout_ms)
{
    return client_ask(CMD_EXIT, timeout_ms);
}

TESSARIND_API long long tessarind_decrypt_fd(const char* path, const char* key_text, int first_load, int out_fd,
                                             int timeout_ms)
{
    if (!path || !key_text) {
        errno = EINVAL;
        return -1;
    }
    to_fd o{out_fd, 0};
    client_transfer t;
    const client_status s = client_decrypt(path, key_text, first_load != 0, timeout_ms, write_to_fd, &o, &t);
    if (o.error) {
        errno = o.error;
        return -1;
    }
    if (s != CLIENT_OK)
        return client_fail(s);
    return t.received;
}

TESSARIND_API void* tessarind_decrypt(const char* path, const char* key_text, int first_load, size_t* len,
                                      int timeout_ms)
{
    if (!path || !key_text || !len) {
        errno = EINVAL;
        return nullptr;
    }
    // Sized from the file once: the reply is never longer.
    to_memory m{nullptr, 0, 0, false};
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        m.cap = first_load ? std::min<size_t>((size_t)st.st_size, LOAD_SIZE) : (size_t)st.st_size;
        m.data = (unsigned char*)malloc(m.cap);
        if (!m.data)
            m.cap = 0;
    }
    client_transfer t;
    client_status s = client_decrypt(path, key_text, first_load != 0, timeout_ms, append_to_memory, &m, &t);
    // A reply cut short (a daemon restarted mid-reply, say) is asked for once
    // more: nothing of it has reached the caller yet.
    if (s == CLIENT_SHORT && !m.failed && timeout_ms != 0) {
        if (m.data)
            explicit_bzero(m.data, m.len);
        m.len = 0;
        s = client_decrypt(path, key_text, first_load != 0, timeout_ms, append_to_memory, &m, &t);
    }
    if (s != CLIENT_OK || m.failed) {
        const int saved = m.failed ? ENOMEM : errno;
        if (m.data) {
            explicit_bzero(m.data, m.cap);
            free(m.data);
        }
        errno = saved;
        if (!m.failed)
            client_fail(s);
        return nullptr;
    }
    *len = m.len;
    // An empty file gives an empty reply: still a buffer to free.
    return m.data ? m.data : malloc(1);
}

TESSARIND_API void tessarind_free(void* plaintext, size_t len)
{
    if (plaintext)
        explicit_bzero(plaintext, len);
    free(plaintext);
}

TESSARIND_API const char* tessarind_version(void)
{
    return "1.19";
}
