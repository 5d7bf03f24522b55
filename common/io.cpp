// SPDX-License-Identifier: MIT
#include "common/common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <poll.h>
#include <time.h>
#include <unistd.h>

long io_now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

void io_close(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

bool log_spell_starts(log_spells* spells, uint64_t key)
{
    const long now = io_now_ms();
    const auto it = spells->last.find(key);
    const bool starts = it == spells->last.end() || now - it->second > LOG_SPELL_MS;
    // Keys whose spells ended long ago are forgotten, a few at a time.
    if (starts && spells->last.size() >= 1024)
        std::erase_if(spells->last, [&](const auto& kv) { return now - kv.second > LOG_SPELL_MS; });
    spells->last[key] = now;
    return starts;
}

int debug_level = 0;
int log_level = 0;

namespace {

// One formatted print call, keeping errno.
__attribute__((format(printf, 2, 0))) void print(FILE* stream, const char* fmt, va_list ap)
{
    const int saved = errno;
    vfprintf(stream, fmt, ap);
    errno = saved;
}

}  // namespace

void log_line(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (log_level)
        print(stderr, fmt, ap);
    va_end(ap);
}

// On the transfers' path, once per write: the switch is read first.
void trace(const char* fmt, ...)
{
    if (!debug_level)
        return;
    va_list ap;
    va_start(ap, fmt);
    print(stdout, fmt, ap);
    va_end(ap);
}

trace_text::trace_text(const char* s, text_use use)
{
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    for (; (debug_level || log_level) && *s && n + 4 < sizeof text; s++) {
        const unsigned char c = (unsigned char)*s;
        if (c < 0x20 || c == 0x7f || c == '\\' || (c >= 0x80 && use == FOR_LOG)) {
            text[n++] = '\\';
            text[n++] = 'x';
            text[n++] = hex[c >> 4];
            text[n++] = hex[c & 15];
        } else {
            text[n++] = (char)c;
        }
    }
    text[n] = '\0';
}

ssize_t io_read(int fd, void* buf, size_t len)
{
    ssize_t n;
    do
        n = read(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

int io_write_all(int fd, const void* buf, size_t len, int wait_ms, const char* wrote_code)
{
    const unsigned char* p = (const unsigned char*)buf;
    const long deadline = wait_ms < 0 ? -1 : io_now_ms() + wait_ms;
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return -1;
            // A full non-blocking FIFO: wait for room instead of spinning, but
            // not forever: a client may hold its own FIFO open and never read.
            // POLLERR (the reader has gone) makes the next write fail with EPIPE.
            const long left = deadline < 0 ? -1 : deadline - io_now_ms();
            if (deadline >= 0 && left <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, (int)left) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        if (wrote_code)
            trace("%s %zd\n", wrote_code, n);
        p += n;
        len -= (size_t)n;
    }
    return 0;
}
