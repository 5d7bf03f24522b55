// SPDX-License-Identifier: MIT
#include "server/server.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Whether `path` (lexically, "." and ".." folded, "//" collapsed) is `dir`
// itself or lies below it.
bool lies_under(const char* path, const char* dir)
{
    const size_t n = strlen(dir);
    return strncmp(path, dir, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

}  // namespace

bool path_names_proc(const char* path)
{
    // Without openat2 nothing tells a magic link from a plain symlink, so the
    // places where magic links live are refused by name. Relative paths
    // would depend on the daemon's working directory: refused too.
    if (path[0] != '/')
        return true;
    char norm[FIELD_SIZE + 2];
    size_t len = 0;
    for (const char* p = path; *p;) {
        while (*p == '/')
            p++;
        const char* end = strchrnul(p, '/');
        const size_t part = (size_t)(end - p);
        if (part == 0 || (part == 1 && p[0] == '.')) {
        } else if (part == 2 && p[0] == '.' && p[1] == '.') {
            while (len > 0 && norm[--len] != '/') {
            }
        } else if (len + 1 + part < sizeof norm) {
            norm[len++] = '/';
            memcpy(norm + len, p, part);
            len += part;
        } else {
            return true;  // longer than any field; never a path we serve
        }
        p = end;
    }
    norm[len] = '\0';
    return lies_under(norm, "/proc") || lies_under(norm, "/dev/fd") || strncmp(norm, "/dev/std", 8) == 0;
}

int path_open(const char* path, int flags)
{
    open_how how = {};
    how.flags = (uint64_t)flags;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    const int fd = (int)syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    if (path_names_proc(path)) {
        errno = ELOOP;  // what openat2 says of a magic link
        return -1;
    }
    return open(path, flags);
}

namespace {

// The daemon's own magic link to one of its descriptors.
struct self_fd {
    explicit self_fd(int fd) { snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
    char path[32];
};

}  // namespace

int path_reopen(int path_fd, int flags)
{
    return open(self_fd(path_fd).path, flags);
}

bool path_chmod(int path_fd, mode_t mode)
{
    return chmod(self_fd(path_fd).path, mode) == 0;
}
