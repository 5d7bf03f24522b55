// SPDX-License-Identifier: MIT
// A request the caller reads: tessarind_open sends it and hands back one end
// of a socket pair; a thread of the library reads the reply FIFO into the
// other end, counting, so that tessarind_close can say whether what the
// caller read was the whole reply. The caller's end is what an event loop
// watches; closing it ends the thread, whatever it waits for.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "client/capi.h"
#include "client/client.h"
#include "client/tessarind/client.h"

namespace {

struct stream {
    int caller_fd = -1, pump_fd = -1;
    std::string path;  // as the caller named it, for the messages
    char file[PATH_MAX];
    struct stat st;
    client_reply reply;
    client_transfer t;
    int timeout_ms = -1;
    pthread_t thread;  // the reply's verdict in t.err, once it ends
};

// Every stream open, found by the caller's descriptor.
std::mutex streams_lock;
std::vector<stream*> streams;

bool to_caller(void* ctx, const unsigned char* data, size_t len)
{
    auto* s = (stream*)ctx;
    while (len > 0) {
        // Blocks while the caller's end is full; its close ends the wait
        // with EPIPE, never a signal.
        const ssize_t n = send(s->pump_fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            errno = errno == EPIPE || errno == ECONNRESET ? ECANCELED : errno;
            return false;
        }
        s->t.received += n;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

void* pump(void* arg)
{
    auto* s = (stream*)arg;
    const int rc = client_read_reply(&s->reply, s->timeout_ms, to_caller, s, s->t.expected, s->pump_fd);
    client_decrypt_verdict(rc, s->file, s->st, &s->t);
    client_reply_close(&s->reply);
    // End of file for the caller, after the last byte.
    close(s->pump_fd);
    s->pump_fd = -1;
    return nullptr;
}

void stream_free(stream* s)
{
    if (s->caller_fd >= 0)
        close(s->caller_fd);
    if (s->pump_fd >= 0)
        close(s->pump_fd);
    client_reply_close(&s->reply);
    delete s;
}

// Starts the thread with every signal blocked: the caller's handlers run on
// the caller's threads only.
bool pump_start(stream* s)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    int e = pthread_attr_init(&attr);
    if (e == 0) {
        pthread_attr_setstacksize(&attr, 256 * 1024);  // the reply's 64 KiB buffer and little more
        e = pthread_create(&s->thread, &attr, pump, s);
        pthread_attr_destroy(&attr);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = e;
    return e == 0;
}

void remember(const stream& s, int err)
{
    capi_remember_decrypt(s.path.c_str(), s.timeout_ms, s.t, err);
}

// The checks and the request; the stream ready to start, or null with errno.
stream* stream_request(const char* path, const char* key_text, bool first_load, int timeout_ms)
{
    auto* s = new (std::nothrow) stream;
    if (!s) {
        errno = ENOMEM;
        return nullptr;
    }
    s->path = path;
    s->timeout_ms = timeout_ms;
    s->reply.fd = -1;
    s->reply.dir[0] = s->reply.path[0] = '\0';
    int fds[2];
    std::string key(client_key_trim(key_text));
    bool sent = client_decrypt_prepare(path, first_load, s->file, &s->st, &s->t);
    if (sent && client_exchange_send(&s->reply, first_load ? CMD_DECRYPT_CHUNK : CMD_DECRYPT_FILE, s->file,
                                     key.c_str(), timeout_ms, true, &s->t.stage) < 0) {
        s->t.err = errno;
        sent = false;
    }
    explicit_bzero(key.data(), key.size());
    if (sent && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
        s->caller_fd = fds[0];
        s->pump_fd = fds[1];
        if (fcntl(s->caller_fd, F_SETFL, O_NONBLOCK) == 0)
            return s;
    }
    const int err = s->t.err ? s->t.err : errno;
    remember(*s, err);
    stream_free(s);
    errno = err;
    return nullptr;
}

}  // namespace

TESSARIND_API int tessarind_open(const char* path, const char* key_text, int first_load, int timeout_ms)
{
    if (!capi_arguments_usable(path, key_text))
        return -1;
    stream* s = stream_request(path, key_text, first_load != 0, timeout_ms);
    if (!s)
        return -1;
    std::lock_guard<std::mutex> hold(streams_lock);
    if (!pump_start(s)) {
        remember(*s, errno);
        const int err = errno;
        stream_free(s);
        errno = err;
        return -1;
    }
    streams.push_back(s);
    return s->caller_fd;
}

TESSARIND_API int tessarind_close(int fd)
{
    stream* s = nullptr;
    {
        std::lock_guard<std::mutex> hold(streams_lock);
        for (size_t i = 0; i < streams.size() && !s; i++) {
            if (streams[i]->caller_fd == fd) {
                s = streams[i];
                streams.erase(streams.begin() + (long)i);
            }
        }
    }
    if (!s) {
        errno = EBADF;
        return -1;
    }
    // What the caller left unread, before its close ends the thread.
    int unread = 0;
    if (ioctl(fd, FIONREAD, &unread) < 0)
        unread = 0;
    close(s->caller_fd);
    s->caller_fd = -1;
    pthread_join(s->thread, nullptr);
    int err = s->t.err;
    if (err == 0 && unread > 0)
        err = ECANCELED;
    // A close before the end: what the caller read is what went over, less
    // what it left. All of it, when the daemon had sent the last byte and
    // not yet closed.
    if (err == ECANCELED) {
        s->t.received -= unread;
        s->t.stage = STAGE_REPLY;
        err = s->t.received == s->t.expected ? 0 : err;
    }
    if (err)
        remember(*s, err);
    stream_free(s);
    errno = err;
    return err ? -1 : 0;
}
