// SPDX-License-Identifier: MIT
#include "common/common.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

// The daemon's own magic link to one of its descriptors.
struct self_fd {
    explicit self_fd(int fd) { snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
    char path[32];
};

// The files behind descriptors 0-2 (the log): set at start-up.
struct stdio_id {
    bool open;
    dev_t dev;
    ino_t ino;
} stdio_ids[3];

}  // namespace

bool path_names_proc(const char* path)
{
    // Relative paths would depend on the daemon's working directory. Without
    // openat2 nothing tells a magic link from a plain symlink, so the places
    // where magic links live are refused by name too; the object checks
    // below catch a symlink that leads there.
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

void path_note_stdio()
{
    for (int fd = 0; fd < 3; fd++) {
        struct stat st;
        stdio_ids[fd] = {fstat(fd, &st) == 0, st.st_dev, st.st_ino};
    }
}

bool path_is_stdio(const struct stat& st)
{
    for (const stdio_id& id : stdio_ids)
        if (id.open && id.dev == st.st_dev && id.ino == st.st_ino)
            return true;
    return false;
}

int path_resolve(const char* path)
{
    const int flags = O_PATH | O_CLOEXEC;
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

bool path_on_fs(int path_fd, long magic)
{
    struct statfs sf;
    return fstatfs(path_fd, &sf) == 0 && (long)sf.f_type == magic;
}

namespace {

bool is_public(const struct stat& st)
{
    return st.st_dev == public_dev && st.st_ino == public_ino;
}

// Only a regular file of a real file system may be served: a FIFO or a
// device would pin the worker or hand the requester what another reads
// from it, procfs and sysfs describe the daemon and the machine, and the log
// (a symlink to /proc/self/fd/1 resolves there without openat2) holds
// other clients' traces.
bool data_allowed(int path_fd, const struct stat& st)
{
    struct statfs sf;
    return S_ISREG(st.st_mode) && fstatfs(path_fd, &sf) == 0 && sf.f_type != PROC_SUPER_MAGIC &&
           sf.f_type != SYSFS_MAGIC && !path_is_stdio(st);
}

}  // namespace

// Only a FIFO of a real file system may take a reply: not a pipe (pipefs,
// reached through a symlink to /proc/self/fd/N where openat2 is missing),
// not the public FIFO (what went in would come back as records), not the
// log.
bool path_reply_allowed(int path_fd, const struct stat& st, bool by_statfs)
{
    return S_ISFIFO(st.st_mode) && (!by_statfs || !path_on_fs(path_fd, PIPEFS_MAGIC)) && !is_public(st) &&
           !path_is_stdio(st);
}

int path_open_checked(const char* path, path_kind what, struct stat* st)
{
    const int pfd = path_resolve(path);
    if (pfd < 0)
        return -1;
    if (fstat(pfd, st) == 0 && (what == PATH_DATA_FILE ? data_allowed(pfd, *st) : path_reply_allowed(pfd, *st, true)))
        return pfd;
    io_close(pfd);
    errno = what == PATH_DATA_FILE ? EINVAL : ENOTSUP;
    return -1;
}

int path_open_data(const char* path)
{
    struct stat st;
    const int pfd = path_open_checked(path, PATH_DATA_FILE, &st);
    if (pfd < 0)
        return -1;
    const int fd = path_reopen(pfd, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    io_close(pfd);
    return fd;
}

int path_reopen(int path_fd, int flags)
{
    return open(self_fd(path_fd).path, flags);
}

bool path_chmod(int path_fd, mode_t mode)
{
    return chmod(self_fd(path_fd).path, mode) == 0;
}
