// SPDX-License-Identifier: MIT
// Preloaded into the daemon by tests, to make faults the machine seldom
// makes. TESSARIND_FAULTS names them:
// - "buffers": every allocation of one load fails, as under memory pressure;
// - "short-reads": reads of regular files return at most a few odd sizes in
//   turn, as some network and FUSE file systems do;
// - "read-error": reads of regular files return 4099 bytes, then fail, EIO,
//   in turn, as a failing disk does;
// - "fifo-eof": reads of FIFOs (the public one) return end of file;
// - "reply-fstat": fstat of a FIFO open for writing (a reply) fails, EIO;
// - "write-error": writes of a load or more into a FIFO fail, EIO;
// - "threads": the first two thread starts after a read of a FIFO (a
//   record: workers, not the helpers started before) fail, EPERM;
// - "helpers": every thread start before that read (the helpers) fails;
// - "eight-cpus": the daemon may run on eight CPUs, whatever the machine
//   has, so that its helpers serve several transfers at once anywhere;
// - "record-memory": every allocation of a request (a record's copy) fails;
// - "sigaction", "eventfd": the start-up's signal handlers (from SIGTERM
//   on), or its wake-up descriptor, cannot be set up;
// - "public-open": the public FIFO's read end cannot be opened;
// - "grow-file": the first read of a regular file appends 8 bytes to it
//   first, as a writer that keeps writing the file would;
// - "interrupted": every other read of a regular file and write into a FIFO
//   (a reply) fails, EINTR, having done nothing, as when a signal comes.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <csignal>
#include <cstdarg>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "protocol/protocol.h"
#include "worker/internal.h"

namespace {

bool fault(const char* name)
{
    const char* faults = getenv("TESSARIND_FAULTS");
    return faults && strstr(faults, name);
}

template <typename F>
F real(const char* name)
{
    return (F)dlsym(RTLD_NEXT, name);
}

bool is_fifo(int fd, int access)
{
    struct stat st;
    static auto fstat_of = real<int (*)(int, struct stat*)>("fstat");
    return fstat_of(fd, &st) == 0 && S_ISFIFO(st.st_mode) && (access < 0 || (fcntl(fd, F_GETFL) & O_ACCMODE) == access);
}

std::atomic<bool> records_read{false};

// Appends text to the file open at fd, as another writer of it would.
void append_to(int fd, const char* text)
{
    static auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int writer = open(self.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (writer < 0)
        return;
    if (real_write(writer, text, strlen(text)) < 0)
        errno = EIO;
    close(writer);
}

// Whether this call is one that "interrupted" fails: every other one.
bool interrupted()
{
    static const bool on = fault("interrupted");
    static std::atomic<unsigned> calls;
    if (!on || calls++ % 2)
        return false;
    errno = EINTR;
    return true;
}

}  // namespace

#ifndef __SANITIZE_THREAD__  // its runtime allocates through malloc before dlsym can answer
extern "C" void* malloc(size_t size)
{
    static auto real_malloc = real<void* (*)(size_t)>("malloc");
    // Asked only for loads: a sanitizer's runtime allocates before the
    // environment can be read.
    if ((size == LOAD_SIZE && fault("buffers")) || (size == sizeof(request) && fault("record-memory"))) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_malloc(size);
}
#endif

extern "C" ssize_t read(int fd, void* buf, size_t len)
{
    static auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
    static const bool shorten = fault("short-reads");
    static std::atomic<unsigned> turn;
    static const size_t sizes[] = {4093, 1, 8191, 131075, 7, 65536};
    static const bool eof = fault("fifo-eof");
    static const bool fail = fault("read-error");
    static std::atomic<bool> grown{!fault("grow-file")};
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && !grown && !grown.exchange(true))
        append_to(fd, "12345678");
    if (regular && interrupted())
        return -1;
    if (regular && shorten)
        len = std::min(len, sizes[turn++ % (sizeof sizes / sizeof *sizes)]);
    if (regular && fail) {
        if (turn++ % 2) {
            errno = EIO;
            return -1;
        }
        len = std::min<size_t>(len, 4099);
    }
    if (eof && is_fifo(fd, -1))
        return 0;
    if (!records_read && (fault("threads") || fault("helpers")) && is_fifo(fd, -1))
        records_read = true;
    return real_read(fd, buf, len);
}

extern "C" int fstat(int fd, struct stat* st)
{
    static auto real_fstat = real<int (*)(int, struct stat*)>("fstat");
    static const bool fail = fault("reply-fstat");
    if (fail && is_fifo(fd, O_WRONLY)) {
        errno = EIO;
        return -1;
    }
    return real_fstat(fd, st);
}

extern "C" ssize_t write(int fd, const void* buf, size_t len)
{
    static auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    static const bool fail = fault("write-error");
    if (fail && len >= LOAD_SIZE && is_fifo(fd, O_WRONLY)) {
        errno = EIO;
        return -1;
    }
    if (is_fifo(fd, O_WRONLY) && interrupted())
        return -1;
    return real_write(fd, buf, len);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg)
{
    static auto real_create =
        real<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    static const bool fail = fault("threads"), no_helpers = fault("helpers");
    static std::atomic<int> failures{0};
    if ((fail && records_read && failures++ < 2) || (no_helpers && !records_read))
        return EPERM;
    return real_create(thread, attr, start, arg);
}

extern "C" int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set)
{
    static auto real_affinity = real<int (*)(pid_t, size_t, cpu_set_t*)>("sched_getaffinity");
    if (!fault("eight-cpus"))
        return real_affinity(pid, size, set);
    CPU_ZERO_S(size, set);
    for (int cpu = 0; cpu < 8; cpu++)
        CPU_SET_S(cpu, size, set);
    return 0;
}

extern "C" int sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    static auto real_sigaction = real<int (*)(int, const struct sigaction*, struct sigaction*)>("sigaction");
    if (sig == SIGTERM && act && fault("sigaction")) {
        errno = EINVAL;
        return -1;
    }
    return real_sigaction(sig, act, old);
}

extern "C" int eventfd(unsigned int count, int flags)
{
    static auto real_eventfd = real<int (*)(unsigned int, int)>("eventfd");
    if (fault("eventfd")) {
        errno = EMFILE;
        return -1;
    }
    return real_eventfd(count, flags);
}

// The daemon opens its public FIFO's read end by its /proc/self/fd path,
// before any record is read.
extern "C" int open(const char* path, int flags, ...)
{
    static auto real_open = real<int (*)(const char*, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if ((flags & O_ACCMODE) == O_RDONLY && strncmp(path, "/proc/self/fd/", 14) == 0 && fault("public-open")) {
        struct stat st;
        if (stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
            errno = EACCES;
            return -1;
        }
    }
    return real_open(path, flags, mode);
}
