// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

dev_t public_dev;
ino_t public_ino;

namespace {

// The public FIFO carries other clients' keys: it must be a FIFO of ours.
bool check_public(const struct stat& st)
{
    if (!S_ISFIFO(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    if (st.st_uid != geteuid()) {
        errno = EPERM;
        return false;
    }
    return true;
}

void close_keeping_errno(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

// Resolved once, without magic links, into an O_PATH descriptor that is
// checked and then reopened: the file written is the file checked, however
// the path changes meanwhile, and opening it has no side effect unless it is
// a FIFO other than the public one.
int open_reply_once(const char* path, bool nonblocking)
{
    const int pfd = path_open(path, O_PATH | O_CLOEXEC);
    if (pfd < 0)
        return -1;
    struct stat st;
    if (fstat(pfd, &st) < 0 || !S_ISFIFO(st.st_mode) || (st.st_dev == public_dev && st.st_ino == public_ino)) {
        close(pfd);
        errno = ENOTSUP;
        return -1;
    }
    const int fd = path_reopen(pfd, O_WRONLY | O_NOCTTY | O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0));
    close_keeping_errno(pfd);
    return fd;
}

}  // namespace

bool fifo_open_public(int* read_fd, int* write_fd)
{
    // Clients only write to it; read permission for others would let any
    // local user steal records, keys included.
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = 0622 & ~mask;
    const bool created = mkfifo(PUBLIC_FIFO_PATH, mode) == 0;
    if (!created && errno != EEXIST)
        return false;
    if (created)
        signals_own_public_fifo();

    // Every later step goes through this descriptor, never the path again.
    const int pfd = open(PUBLIC_FIFO_PATH, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0)
        return false;
    struct stat st;
    bool ok = fstat(pfd, &st) == 0 && check_public(st);
    if (ok && !created) {
        // An older FIFO gets the mode a new one gets; whoever opened it for
        // reading while it was more open must not keep reading records, and
        // neither may a daemon already serving it: a reader means refusal.
        ok = path_chmod(pfd, mode);
        const int probe = ok ? path_reopen(pfd, O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        if (probe >= 0) {
            close(probe);
            errno = EBUSY;
            ok = false;
        } else if (ok && errno != ENXIO) {
            ok = false;
        }
        if (ok)
            signals_own_public_fifo();
    }
    if (!ok) {
        close_keeping_errno(pfd);
        return false;
    }
    public_dev = st.st_dev;
    public_ino = st.st_ino;
    trace("e6...\n");

    // Blocks until the first client opens the FIFO for writing.
    const int rfd = path_reopen(pfd, O_RDONLY | O_CLOEXEC);
    const int wfd = rfd < 0 ? -1 : path_reopen(pfd, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    close_keeping_errno(pfd);
    if (rfd < 0)
        return false;
    *read_fd = rfd;
    if (wfd < 0)
        return false;
    *write_fd = wfd;
    return true;
}

int fifo_open_reply(const char* path, bool nonblocking, void (*failed)(const char* path))
{
    for (int attempt = 0; attempt < 5; attempt++) {
        const int fd = open_reply_once(path, nonblocking);
        if (fd >= 0)
            return fd;
        if (failed)
            failed(path);
        sleep(1);
    }
    return -1;
}
