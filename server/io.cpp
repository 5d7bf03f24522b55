// SPDX-License-Identifier: MIT
#include "server/server.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

ssize_t io_read(int fd, void* buf, size_t len)
{
    ssize_t n;
    do
        n = read(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

int io_write_all(int fd, const void* buf, size_t len, const char* count_fmt)
{
    const unsigned char* p = (const unsigned char*)buf;
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return -1;
            // A full non-blocking FIFO: wait for room instead of spinning.
            // POLLERR (the reader has gone) makes the next write fail with EPIPE.
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        if (count_fmt)
            trace(count_fmt, n);
        p += n;
        len -= (size_t)n;
    }
    return 0;
}
