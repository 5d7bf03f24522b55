// SPDX-License-Identifier: MIT
// Reply FIFOs: opened only once checked, for the workers; their owners, for
// the pool's fair share.
#include "common/common.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

dev_t public_dev;
ino_t public_ino;

namespace {

// A FIFO opens for writing only once it has a reader, and nothing tells a
// writer when one comes, short of a blocking open that would wait for ever.
// So: non-blocking opens, a few milliseconds apart at first, for at most
// READER_WAIT_MS. A FIFO that its client has removed gets no reader any
// more. -1 with errno (ENXIO: nobody came in time).
int wait_for_reader(int path_fd, int flags)
{
    const long deadline = io_now_ms() + READER_WAIT_MS;
    for (int pause_ms = 1;; pause_ms = pause_ms < 50 ? 2 * pause_ms : 50) {
        const int fd = path_reopen(path_fd, flags | O_NONBLOCK);
        if (fd >= 0 || errno != ENXIO)
            return fd;
        struct stat st;
        if (fstat(path_fd, &st) < 0 || st.st_nlink == 0 || io_now_ms() >= deadline) {
            errno = ENXIO;
            return -1;
        }
        usleep((useconds_t)pause_ms * 1000);
    }
}

// Opens a checked reply FIFO (an O_PATH descriptor) for writing: at once
// with nonblocking, else once a reader comes. *waited is set when no reader
// came in time: no further attempt then.
int open_checked(int pfd, bool nonblocking, bool* waited)
{
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    if (nonblocking)
        return path_reopen(pfd, flags | O_NONBLOCK);
    const int fd = wait_for_reader(pfd, flags);
    *waited = fd < 0 && errno == ENXIO;
    // Writes of a transfer block while the client's FIFO is full.
    if (fd >= 0)
        fcntl(fd, F_SETFL, 0);  // of what F_SETFL sets, only O_NONBLOCK was on
    return fd;
}

// One attempt by name: resolved without magic links, checked, and only that
// very object reopened, however the path changes meanwhile.
int open_by_name(const char* path, bool nonblocking, bool* waited)
{
    struct stat st;
    const int pfd = path_open_reply_bounded(path, &st, LOOKUP_WAIT_MS);
    if (pfd < 0)
        return -1;
    const int fd = open_checked(pfd, nonblocking, waited);
    io_close(pfd);
    return fd;
}

// One attempt at the bound FIFO; *gone once its client has removed it.
int open_bound(int bound, bool nonblocking, bool* waited, bool* gone)
{
    struct stat st;
    if (fstat(bound, &st) < 0 || st.st_nlink == 0) {
        *gone = true;
        errno = ENOENT;
        return -1;
    }
    return open_checked(bound, nonblocking, waited);
}

}  // namespace

int fifo_bind_reply(const char* path, struct stat* st, bool* on_fuse)
{
    return path_open_reply_bounded(path, st, LOOKUP_WAIT_MS, on_fuse);
}

int fifo_open_reply(const char* path, int bound, bool nonblocking, const char* failed_code, bool name_path)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        bool waited = false, gone = false;
        int fd = -1;
        errno = ENOENT;
        if (bound >= 0)
            fd = open_bound(bound, nonblocking, &waited, &gone);
        else if (bound != REPLY_UNSERVED)
            fd = open_by_name(path, nonblocking, &waited);
        if (fd >= 0 || waited)
            return fd;
        if (name_path)
            trace("%s: %s\n", failed_code, trace_text(path).text);
        else
            trace("%s\n", failed_code);
        if (gone)
            return -1;
        sleep(1);
    }
    return -1;
}
