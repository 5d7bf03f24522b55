// SPDX-License-Identifier: MIT
#include "client/output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef TESSARIND_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

// What a signal must still remove: the temporary output file, the reply
// FIFO and its directory (none of them may outlive the client: the first
// holds plain data). Changed with the signals blocked.
char doomed_temp[PATH_MAX];
char doomed_fifo[sizeof client_reply::path];
char doomed_dir[sizeof client_reply::dir];
const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void on_fatal_signal(int signo)
{
    if (doomed_temp[0])
        unlink(doomed_temp);
    if (doomed_fifo[0])
        unlink(doomed_fifo);
    if (doomed_dir[0])
        rmdir(doomed_dir);
#ifdef TESSARIND_COVERAGE
    __gcov_dump();  // a coverage build only: not async-signal-safe
#endif
    // GCOVR_EXCL_START: runs after the counters were written
    signal(signo, SIG_DFL);
    raise(signo);
    // GCOVR_EXCL_STOP
}

void doom(char* slot, size_t size, const char* path)
{
    sigset_t all, old;
    sigemptyset(&all);
    for (int s : fatal_signals)
        sigaddset(&all, s);
    sigprocmask(SIG_BLOCK, &all, &old);
    snprintf(slot, size, "%s", path ? path : "");
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

void output_signals_install()
{
    for (int sig : fatal_signals)
        signal(sig, on_fatal_signal);
}

void output_doom_reply(const client_reply* r)
{
    doom(doomed_fifo, sizeof doomed_fifo, r ? r->path : nullptr);
    doom(doomed_dir, sizeof doomed_dir, r ? r->dir : nullptr);
}

bool output_open(output* o, const char* path, mode_t mode, bool keep)
{
    if (!path || strcmp(path, "-") == 0)
        return true;
    struct stat st;
    const int pfd = open(path, O_PATH | O_CLOEXEC);
    const bool exists = pfd >= 0 && fstat(pfd, &st) == 0;
    o->target = path;
    if (exists && !S_ISREG(st.st_mode)) {
        // Written in place, as fs.protected_fifos would allow: a FIFO or a
        // device that another user planted at OUT would hand him the plain
        // data.
        if (st.st_uid != getuid() && st.st_uid != 0) {
            close(pfd);
            errno = EPERM;
            return false;
        }
        char self[32];
        snprintf(self, sizeof self, "/proc/self/fd/%d", pfd);
        o->fd = open(self, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        const int saved = errno;
        close(pfd);
        errno = saved;
        return o->fd >= 0;
    }
    if (pfd >= 0)
        close(pfd);
    o->temp = o->target + ".XXXXXX";
    o->fd = mkstemp(o->temp.data());
    if (o->fd < 0)
        return false;
    doom(doomed_temp, sizeof doomed_temp, o->temp.c_str());
    if (keep && exists) {
        mode = st.st_mode & 07777;
        if (fchown(o->fd, (uid_t)-1, st.st_gid) < 0)
            mode &= ~(mode_t)(S_ISGID | S_ISUID);
    }
    if (fchmod(o->fd, mode) < 0) {
        const int saved = errno;
        output_commit(o, false);
        errno = saved;
        return false;
    }
    return true;
}

bool output_restart(output* o)
{
    return !o->temp.empty() && ftruncate(o->fd, 0) == 0 && lseek(o->fd, 0, SEEK_SET) == 0;
}

bool output_commit(output* o, bool ok)
{
    if (o->target.empty())
        return ok;
    if (ok && !o->temp.empty() && fsync(o->fd) < 0)
        ok = false;
    if (close(o->fd) < 0)
        ok = false;
    if (o->temp.empty())
        return ok;
    if (ok && rename(o->temp.c_str(), o->target.c_str()) < 0)
        ok = false;
    const int saved = errno;
    if (!ok)
        unlink(o->temp.c_str());
    doom(doomed_temp, sizeof doomed_temp, nullptr);
    errno = saved;
    return ok;
}

mode_t output_umask()
{
    const mode_t m = umask(0);
    umask(m);
    return m;
}

double output_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void progress_show(progress* p, bool final)
{
    const double t = output_now();
    if (!p->on || (!final && t - p->last < 0.1))
        return;
    p->last = t;
    const double secs = t - p->start > 1e-6 ? t - p->start : 1e-6;
    if (final) {
        fputs("\r\033[K", stderr);
        return;
    }
    if (p->total > 0)
        fprintf(stderr, "\r%lld bytes, %d%%, %.1f MB/s\033[K", p->received, (int)(100 * p->received / p->total),
                (double)p->received / secs / 1e6);
    else
        fprintf(stderr, "\r%lld bytes, %.1f MB/s\033[K", p->received, (double)p->received / secs / 1e6);
}
