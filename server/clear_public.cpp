// SPDX-License-Identifier: MIT
// tessarind-clear-fifo: run as root by tessarind.socket before it listens.
// Whatever stands at the public FIFO's path (the FIFO of an earlier run,
// or a FIFO, file or directory another user left there, re-made in a loop
// or not) is swapped, in one step, for a FIFO of root's with the socket's
// mode, which systemd then takes as its own; what was swapped out is
// removed. In sticky /tmp nobody but root moves or removes a file of
// root's, so nothing can take the path back before systemd opens it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/protocol.h"

namespace {

// What tessarind.socket's SocketMode= gives it, under PID 1's umask 0.
constexpr mode_t SOCKET_MODE = 0620;

int remove_one(const char* path, const struct stat*, int type, FTW*)
{
    if ((type == FTW_DP ? rmdir(path) : unlink(path)) < 0 && errno != ENOENT)
        fprintf(stderr, "tessarind-clear-fifo: cannot remove %s: %s\n", path, strerror(errno));
    return 0;
}

// Removes what was swapped out, a directory tree too, never following a
// symlink or entering another file system.
void remove_swapped(const char* path)
{
    nftw(path, remove_one, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// A FIFO of root's under a name nobody can guess, next to the public path.
bool make_fifo(char path[64])
{
    unsigned char r[8];
    if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r)
        return false;
    snprintf(path, 64, "%s.%02x%02x%02x%02x%02x%02x%02x%02x", PUBLIC_FIFO_PATH, r[0], r[1], r[2], r[3], r[4], r[5],
             r[6], r[7]);
    return mkfifo(path, SOCKET_MODE) == 0;
}

}  // namespace

int main()
{
    umask(0);
    for (int attempt = 0; attempt < 100; attempt++) {
        char fifo[64];
        if (!make_fifo(fifo)) {
            if (errno == EEXIST)
                continue;
            break;
        }
        if (renameat2(AT_FDCWD, fifo, AT_FDCWD, PUBLIC_FIFO_PATH, RENAME_EXCHANGE) == 0) {
            remove_swapped(fifo);
            return 0;
        }
        if (errno == ENOENT && renameat2(AT_FDCWD, fifo, AT_FDCWD, PUBLIC_FIFO_PATH, RENAME_NOREPLACE) == 0)
            return 0;
        const int err = errno;
        unlink(fifo);
        errno = err;
        // ENOENT or EEXIST: somebody removed or made the path meanwhile.
        if (errno != ENOENT && errno != EEXIST)
            break;
    }
    fprintf(stderr, "tessarind-clear-fifo: cannot put a FIFO at %s: %s\n", PUBLIC_FIFO_PATH, strerror(errno));
    return 1;
}
