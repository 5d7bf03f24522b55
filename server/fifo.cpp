// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <linux/magic.h>
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

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// A FIFO opens for writing only once it has a reader, and nothing tells a
// writer when one comes, short of a blocking open that would wait for ever.
// So: non-blocking opens, a few milliseconds apart at first, for at most
// READER_WAIT_MS. A FIFO that its client has removed gets no reader any
// more. -1 with errno (ENXIO: nobody came in time).
int wait_for_reader(int path_fd, int flags)
{
    const long deadline = now_ms() + READER_WAIT_MS;
    for (int pause_ms = 1;; pause_ms = pause_ms < 50 ? 2 * pause_ms : 50) {
        const int fd = path_reopen(path_fd, flags | O_NONBLOCK);
        if (fd >= 0 || errno != ENXIO)
            return fd;
        struct stat st;
        if (fstat(path_fd, &st) < 0 || st.st_nlink == 0 || now_ms() >= deadline) {
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
    close_keeping_errno(pfd);
    return fd;
}

}  // namespace

bool fifo_take_public(int fd, int* read_fd, int* write_fd)
{
    // systemd made it, owns it and keeps it while the system runs: nothing
    // here checks its mode or removes it. Our own ends are opened from it,
    // so that the descriptor systemd shares stays as systemd set it.
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISFIFO(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    public_dev = st.st_dev;
    public_ino = st.st_ino;
    trace("e6...\n");
    const int rfd = path_reopen(fd, O_RDONLY | O_CLOEXEC);
    const int wfd = rfd < 0 ? -1 : path_reopen(fd, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    close_keeping_errno(fd);
    if (rfd < 0 || wfd < 0) {
        if (rfd >= 0)
            close_keeping_errno(rfd);
        return false;
    }
    *read_fd = rfd;
    *write_fd = wfd;
    return true;
}

bool fifo_open_public(int* read_fd, int* write_fd, bool* created_out)
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
        bool waited = false;
        const int fd = open_reply_once(path, nonblocking, &waited);
        if (fd >= 0 || waited)
            return fd;
        if (failed)
            failed(path);
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
