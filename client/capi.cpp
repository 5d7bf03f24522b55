// SPDX-License-Identifier: MIT
// The C API of the client library, on the same protocol code as the
// command-line client.
#include "client/tessarind/client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "client/client.h"

#define TESSARIND_API extern "C" __attribute__((visibility("default")))

namespace {

bool write_to_fd(void* ctx, const unsigned char* p, size_t len)
{
    return client_write_all(*(int*)ctx, p, len) == 0;
}

// The reply in one buffer of the size the library found for it (the file's,
// or its first load's), made at the first data: no reply is handed over
// beyond that size.
struct to_memory {
    const client_transfer* t;
    unsigned char* data;
    size_t len, cap;
};

bool append_to_memory(void* ctx, const unsigned char* p, size_t len)
{
    auto* m = (to_memory*)ctx;
    if (!m->data) {
        m->cap = (size_t)m->t->expected;
        m->data = (unsigned char*)malloc(m->cap);
        if (!m->data)
            return false;
    }
    if (len > m->cap - m->len) {
        errno = EPROTO;
        return false;
    }
    memcpy(m->data + m->len, p, len);
    m->len += len;
    return true;
}

// A reply cut short starts afresh in a new buffer.
bool restart_memory(void* ctx)
{
    auto* m = (to_memory*)ctx;
    tessarind_free(m->data, m->cap);
    *m = {m->t, nullptr, 0, 0};
    return true;
}

// NULL arguments are EINVAL; the key text is checked once, here.
bool arguments_usable(const char* path, const char* key_text)
{
    size_t bad;
    if (!path || !key_text) {
        errno = EINVAL;
        return false;
    }
    return client_key_check(key_text, &bad) > 0;
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
    if (!arguments_usable(path, key_text))
        return -1;
    client_transfer t;
    if (client_decrypt(path, key_text, first_load != 0, timeout_ms, write_to_fd, &out_fd, &t) < 0)
        return -1;
    return t.received;
}

TESSARIND_API void* tessarind_decrypt(const char* path, const char* key_text, int first_load, size_t* len,
                                      int timeout_ms)
{
    if (!len) {
        errno = EINVAL;
        return nullptr;
    }
    if (!arguments_usable(path, key_text))
        return nullptr;
    client_transfer t;
    t.restart = restart_memory;
    to_memory m{&t, nullptr, 0, 0};
    if (client_decrypt(path, key_text, first_load != 0, timeout_ms, append_to_memory, &m, &t) < 0) {
        tessarind_free(m.data, m.cap);
        return nullptr;
    }
    *len = m.len;
    // An empty file gives an empty reply: still a buffer to free.
    return m.data ? m.data : malloc(1);
}

TESSARIND_API void tessarind_free(void* plaintext, size_t len)
{
    const int saved = errno;
    if (plaintext)
        explicit_bzero(plaintext, len);
    free(plaintext);
    errno = saved;
}

TESSARIND_API const char* tessarind_version(void)
{
    return "1.19";
}
