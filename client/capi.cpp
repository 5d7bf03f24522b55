// SPDX-License-Identifier: MIT
// The C API of the client library, on the same protocol code as the
// command-line client.
#include "client/tessarind/client.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "client/capi.h"
#include "client/client.h"
#include "client/failure.h"

namespace {

// The calling thread's last failure, as tessarind_last_error tells it.
thread_local char last_error[PATH_MAX + 512];

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

}  // namespace

void capi_remember(const client_failure& f)
{
    const int saved = errno;
    client_failure_message(f, last_error, sizeof last_error);
    errno = saved;
}

bool capi_arguments_usable(const char* path, const char* key_text)
{
    size_t bad;
    if (!path || !key_text) {
        snprintf(last_error, sizeof last_error, "invalid argument: %s is NULL", path ? "the key text" : "the path");
        errno = EINVAL;
        return false;
    }
    if (client_key_check(key_text, &bad) > 0)
        return true;
    capi_remember(client_key_failure(errno, bad));
    return false;
}

void capi_remember_decrypt(const char* path, int timeout_ms, const client_transfer& t, int err, const char* output)
{
    client_failure f;
    f.stage = t.stage;
    f.err = err;
    f.path = path;
    f.output = output;
    f.timeout_ms = timeout_ms;
    f.t = &t;
    capi_remember(f);
}

namespace {

int ask(unsigned char command, int timeout_ms)
{
    client_failure f;
    if (client_ask(command, timeout_ms, nullptr, &f.stage) == 0)
        return 0;
    f.err = errno;
    f.command = command == CMD_PING ? "ping" : "stop";
    f.timeout_ms = timeout_ms;
    capi_remember(f);
    return -1;
}

// A failed decryption of path, told of in last_error and errno; output
// names where the plain data went.
void remember_decrypt(const char* path, int timeout_ms, const client_transfer& t, const char* output)
{
    errno = t.err;
    capi_remember_decrypt(path, timeout_ms, t, t.err, output);
}

}  // namespace

TESSARIND_API int tessarind_ping(int timeout_ms)
{
    return ask(CMD_PING, timeout_ms);
}

TESSARIND_API int tessarind_stop(int timeout_ms)
{
    return ask(CMD_EXIT, timeout_ms);
}

TESSARIND_API const char* tessarind_last_error(void)
{
    return last_error;
}

TESSARIND_API long long tessarind_decrypt_fd(const char* path, const char* key_text, int first_load, int out_fd,
                                             int timeout_ms)
{
    if (!capi_arguments_usable(path, key_text))
        return -1;
    client_transfer t;
    if (client_decrypt(path, key_text, first_load != 0, timeout_ms, write_to_fd, &out_fd, &t) != 0) {
        remember_decrypt(path, timeout_ms, t, ("descriptor " + std::to_string(out_fd)).c_str());
        return -1;
    }
    return t.received;
}

TESSARIND_API void* tessarind_decrypt(const char* path, const char* key_text, int first_load, size_t* len,
                                      int timeout_ms)
{
    if (!len) {
        snprintf(last_error, sizeof last_error, "invalid argument: len is NULL");
        errno = EINVAL;
        return nullptr;
    }
    if (!capi_arguments_usable(path, key_text))
        return nullptr;
    client_transfer t;
    t.restart = restart_memory;
    to_memory m{&t, nullptr, 0, 0};
    if (client_decrypt(path, key_text, first_load != 0, timeout_ms, append_to_memory, &m, &t) != 0) {
        remember_decrypt(path, timeout_ms, t, "a buffer in memory");
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
