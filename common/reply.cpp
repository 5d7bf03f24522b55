// SPDX-License-Identifier: MIT
// Reply FIFOs: opened only once checked, for the workers; their owners, for
// the pool's fair share.
#include "common/common.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <unistd.h>

dev_t public_dev;
ino_t public_ino;

namespace {

bool is_public(const struct stat& st)
{
    return st.st_dev == public_dev && st.st_ino == public_ino;
}

// Only a FIFO of a real file system may take a reply: not a pipe (pipefs,
// reached through a symlink to /proc/self/fd/N where openat2 is missing),
// not the public FIFO (what went in would come back as records), not the
// log.
bool reply_allowed(int path_fd, const struct stat& st)
{
    return S_ISFIFO(st.st_mode) && !path_on_fs(path_fd, PIPEFS_MAGIC) && !is_public(st) && !path_is_stdio(st);
}

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

// Resolved once, without magic links, into an O_PATH descriptor that is
// checked and then reopened: the file written is the file checked, however
// the path changes meanwhile, and opening it has no side effect unless it is
// a FIFO we may write. *waited is set when a FIFO was found but no reader
// came in time: no further attempt then.
int open_reply_once(const char* path, bool nonblocking, bool* waited)
{
    const int pfd = path_resolve(path);
    if (pfd < 0)
        return -1;
    struct stat st;
    int fd = -1;
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    if (fstat(pfd, &st) < 0 || !reply_allowed(pfd, st)) {
        errno = ENOTSUP;
    } else if (nonblocking) {
        fd = path_reopen(pfd, flags | O_NONBLOCK);
    } else {
        fd = wait_for_reader(pfd, flags);
        *waited = fd < 0 && errno == ENXIO;
        // Writes of a transfer block while the client's FIFO is full.
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    io_close(pfd);
    return fd;
}

}  // namespace

int fifo_open_reply(const char* path, bool nonblocking, const char* failed_code, bool name_path)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        bool waited = false;
        const int fd = open_reply_once(path, nonblocking, &waited);
        if (fd >= 0 || waited)
            return fd;
        if (name_path)
            trace("%s: %s\n", failed_code, trace_text(path).text);
        else
            trace("%s\n", failed_code);
        sleep(1);
    }
    return -1;
}

bool fifo_reply_owner(const char* path, uid_t* owner)
{
    const int pfd = path_resolve(path);
    if (pfd < 0)
        return false;
    struct stat st;
    const bool ok = fstat(pfd, &st) == 0;
    close(pfd);
    if (ok)
        *owner = st.st_uid;
    return ok;
}
