// SPDX-License-Identifier: MIT
#include "server/server.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

dev_t public_dev;
ino_t public_ino;

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

int open_reply_once(const char* path, bool nonblocking)
{
    // Checked before opening: a blocking open of a regular file would
    // succeed at once, and of a device could have side effects.
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    if (!S_ISFIFO(st.st_mode)) {
        errno = ENOTSUP;
        return -1;
    }
    const int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0));
    if (fd < 0)
        return -1;
    // Confirmed on the descriptor: the path may have been swapped meanwhile.
    if (fstat(fd, &st) < 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        errno = ENOTSUP;
        return -1;
    }
    return fd;
}

}  // namespace

bool fifo_open_public(int* read_fd, int* write_fd)
{
    // Clients only write to it; read permission for others would let any
    // local user steal records, keys included.
    if (mkfifo(PUBLIC_FIFO_PATH, 0622) == 0) {
        signals_own_public_fifo();
    } else {
        if (errno != EEXIST)
            return false;
        struct stat st;
        if (lstat(PUBLIC_FIFO_PATH, &st) < 0 || !check_public(st))
            return false;
        signals_own_public_fifo();
    }
    trace("e6...\n");

    // Blocks until the first client opens the FIFO for writing.
    const int rfd = open(PUBLIC_FIFO_PATH, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (rfd < 0)
        return false;
    *read_fd = rfd;
    struct stat st;
    if (fstat(rfd, &st) < 0 || !check_public(st))
        return false;
    // Drop read permission for group and others if an older FIFO had it.
    if (fchmod(rfd, st.st_mode & 07777 & ~(mode_t)(S_IRGRP | S_IROTH)) < 0)
        return false;
    public_dev = st.st_dev;
    public_ino = st.st_ino;

    const int wfd = open(PUBLIC_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (wfd < 0)
        return false;
    *write_fd = wfd;
    return true;
}

bool fifo_is_public(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == public_dev && st.st_ino == public_ino;
}

int fifo_open_reply(const char* path, bool nonblocking, const char* fail_fmt)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        const int fd = open_reply_once(path, nonblocking);
        if (fd >= 0)
            return fd;
        trace(fail_fmt, path);
        sleep(1);
    }
    return -1;
}
