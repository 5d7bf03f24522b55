// SPDX-License-Identifier: MIT
// Looking up a reply path without letting a client's file system hold the
// caller: a FUSE server that never answers keeps a lookup in the kernel for
// as long as it likes.
#include "common/common.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace {

#ifdef __SANITIZE_THREAD__
constexpr size_t LOOKUP_STACK_SIZE = 1024 * 1024;
#else
constexpr size_t LOOKUP_STACK_SIZE = 64 * 1024;
#endif

// A lookup handed to a thread of its own. Whoever of the caller and the
// thread comes last frees it: the caller once it has the result, the thread
// once the caller has stopped waiting (abandoned).
struct lookup_job {
    char path[FIELD_SIZE + 1];
    struct stat st;
    int fd;
    int err;
    bool on_fuse;
    bool done;
    bool abandoned;
};

struct lookups {
    lookups()
    {
        pthread_condattr_t ca;
        pthread_condattr_init(&ca);
        pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        pthread_cond_init(&done, &ca);
        pthread_condattr_destroy(&ca);
    }
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards running and every job's done and abandoned
    pthread_cond_t done;                               // a job is done (on CLOCK_MONOTONIC)
    int running = 0;  // lookup threads that have not returned, waited for or not
};
// Never destroyed: a lookup thread may outlive main's return.
lookups& lk = *new lookups;

void job_free(lookup_job* job)
{
    if (job->fd >= 0)
        io_close(job->fd);
    // The path may be anything a shifted record put there, a key text too.
    explicit_bzero(job, sizeof *job);
    free(job);
}

void* lookup_main(void* arg)
{
    auto* job = (lookup_job*)arg;
    const int fd = path_open_checked(job->path, PATH_REPLY_FIFO, &job->st);
    const int err = fd < 0 ? errno : 0;
    // What a FUSE server says of its files (owner, mode) is its own word.
    const bool on_fuse = fd >= 0 && path_on_fs(fd, FUSE_SUPER_MAGIC);
    pthread_mutex_lock(&lk.lock);
    job->fd = fd;
    job->err = err;
    job->on_fuse = on_fuse;
    job->done = true;
    lk.running--;
    const bool abandoned = job->abandoned;
    pthread_cond_broadcast(&lk.done);
    pthread_mutex_unlock(&lk.lock);
    if (abandoned)
        job_free(job);
    return nullptr;
}

// Starts the lookup of path on a thread of its own: its job, or null with
// errno (ETIMEDOUT: MAX_SLOW_LOOKUPS are already waited for).
lookup_job* job_start(const char* path)
{
    pthread_mutex_lock(&lk.lock);
    // Lookups that never return each keep a thread: a few at most.
    const bool room = lk.running < MAX_SLOW_LOOKUPS;
    if (room)
        lk.running++;
    pthread_mutex_unlock(&lk.lock);
    auto* job = room ? (lookup_job*)calloc(1, sizeof(lookup_job)) : nullptr;
    int rc = room ? ENOMEM : ETIMEDOUT;
    if (job) {
        snprintf(job->path, sizeof job->path, "%s", path);
        job->fd = -1;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, LOOKUP_STACK_SIZE);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        rc = thread_start(&thread, &attr, lookup_main, job);
        pthread_attr_destroy(&attr);
    }
    if (rc == 0)
        return job;
    if (room) {
        pthread_mutex_lock(&lk.lock);
        lk.running--;
        pthread_mutex_unlock(&lk.lock);
    }
    if (job)
        job_free(job);
    errno = rc;
    return nullptr;
}

// Waits for the job at most timeout_ms: true once it is done; false when it
// was left to its thread, which then frees it.
bool job_wait(lookup_job* job, int timeout_ms)
{
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&lk.lock);
    while (!job->done && pthread_cond_timedwait(&lk.done, &lk.lock, &until) != ETIMEDOUT) {
    }
    const bool done = job->done;
    job->abandoned = !done;
    pthread_mutex_unlock(&lk.lock);
    return done;
}

// The lookup on a thread of its own, waited for timeout_ms at most.
int lookup_slow(const char* path, struct stat* st, int timeout_ms, bool* on_fuse)
{
    lookup_job* job = job_start(path);
    if (!job)
        return -1;
    if (!job_wait(job, timeout_ms)) {
        errno = ETIMEDOUT;
        return -1;
    }
    const int fd = job->fd;
    const int err = job->err;
    *st = job->st;
    if (on_fuse)
        *on_fuse = job->on_fuse;
    job->fd = -1;
    job_free(job);
    errno = err;
    return fd;
}

// The lookup from the kernel's caches alone (RESOLVE_CACHED), which never
// waits for a file system; then the checks on cached attributes. EAGAIN
// where something was not cached or the kernel cannot look up that way.
int lookup_cached(const char* path, struct stat* st)
{
    open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS | RESOLVE_CACHED;
    const int fd = (int)syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd < 0) {
        if (errno == ENOSYS || errno == EINVAL)
            errno = EAGAIN;  // no openat2, or none with RESOLVE_CACHED
        return -1;
    }
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO, &sx) < 0 ||
        (sx.stx_mask & (STATX_TYPE | STATX_UID | STATX_INO)) != (STATX_TYPE | STATX_UID | STATX_INO)) {
        io_close(fd);
        errno = EAGAIN;
        return -1;
    }
    *st = {};
    st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st->st_ino = sx.stx_ino;
    st->st_mode = sx.stx_mode;
    st->st_uid = sx.stx_uid;
    st->st_gid = sx.stx_gid;
    // openat2 crossed no magic link, so no pipe (pipefs is mounted nowhere)
    // and no descriptor of ours is reachable: the object checks that need
    // no statfs, which a file system's server could hold, are enough.
    if (!path_reply_allowed(fd, *st, false)) {
        io_close(fd);
        errno = ENOTSUP;
        return -1;
    }
    return fd;
}

// Whether fd's mount is FUSE's, from /proc/self/mountinfo, which asks no
// file system: 1, 0, or -1 when it cannot tell.
int mount_is_fuse(int fd)
{
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &sx) < 0 || !(sx.stx_mask & STATX_MNT_ID))
        return -1;
    FILE* f = fopen("/proc/self/mountinfo", "re");
    if (!f)
        return -1;
    int found = -1;
    char line[4096];
    // "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - FSTYPE SOURCE ..."
    while (found < 0 && fgets(line, sizeof line, f)) {
        const char* sep = strstr(line, " - ");
        if (sep && strtoull(line, nullptr, 10) == sx.stx_mnt_id)
            found = strncmp(sep + 3, "fuse", 4) == 0;
    }
    fclose(f);
    return found;
}

}  // namespace

int path_open_reply_bounded(const char* path, struct stat* st, int timeout_ms, bool* on_fuse)
{
    const int fd = lookup_cached(path, st);
    if (fd >= 0 && on_fuse) {
        const int fuse = mount_is_fuse(fd);
        if (fuse >= 0) {
            *on_fuse = fuse;
            return fd;
        }
        io_close(fd);
    } else if (fd >= 0 || errno != EAGAIN) {
        return fd;
    }
    return lookup_slow(path, st, timeout_ms, on_fuse);
}
