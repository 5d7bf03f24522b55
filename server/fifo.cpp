// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

bool fifo_open_ends(int fd, int* read_fd, int* write_fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0) {
        io_close(fd);
        return false;
    }
    // Its identity: a reply path may never name it.
    public_dev = st.st_dev;
    public_ino = st.st_ino;
    trace("e6...\n");
    const int rfd = path_reopen(fd, O_RDONLY | O_CLOEXEC);
    const int wfd = rfd < 0 ? -1 : path_reopen(fd, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    io_close(fd);
    if (rfd < 0 || wfd < 0) {
        if (rfd >= 0)
            io_close(rfd);
        return false;
    }
    *read_fd = rfd;
    *write_fd = wfd;
    return true;
}

bool fifo_find_public(int* fd, bool* created_out)
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
    *created_out = created;

    // Every later step goes through this descriptor, never the path again.
    const int pfd = open(PUBLIC_FIFO_PATH, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0)
        return false;
    struct stat st;
    bool ok = fstat(pfd, &st) == 0 && check_public(st);
    if (ok && !created) {
        // Whoever opened an older FIFO for reading while it was more open
        // must not keep reading records, and neither may a daemon already
        // serving it: a reader means refusal, and a refused start changes
        // nothing. Without one, it gets the mode a new one gets.
        // (One that even we may not write is probed once it may be.)
        const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;
        int probe = path_reopen(pfd, flags);
        const bool changed = probe < 0 && errno == EACCES && path_chmod(pfd, mode);
        if (changed)
            probe = path_reopen(pfd, flags);
        if (probe >= 0) {
            close(probe);
            if (changed)
                path_chmod(pfd, st.st_mode & 07777);
            errno = EBUSY;
            ok = false;
        } else {
            ok = errno == ENXIO && (changed || path_chmod(pfd, mode));
        }
        if (ok)
            signals_own_public_fifo();
    }
    if (!ok) {
        io_close(pfd);
        return false;
    }
    *fd = pfd;
    return true;
}
