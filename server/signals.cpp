// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

#ifdef TESSARIND_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

// Set once the path is known to be the daemon's own FIFO, so a signal during
// start-up never removes somebody else's file.
volatile sig_atomic_t own_public_fifo = 0;

// Set when writing "E1" failed with EPIPE: standard error is a pipe nobody
// reads, and each further write would raise SIGPIPE again, for ever.
volatile sig_atomic_t stderr_gone = 0;

// Writes "<head><number>\n" to fd, by hand: printf is not
// async-signal-safe.
void write_line(int fd, const char* head, unsigned number)
{
    char buf[80];
    size_t n = 0;
    while (*head && n < sizeof buf - 12)
        buf[n++] = *head++;
    char digits[10];
    size_t nd = 0;
    unsigned v = number;
    do
        digits[nd++] = (char)('0' + v % 10);
    while ((v /= 10) != 0);
    while (nd > 0)
        buf[n++] = digits[--nd];
    buf[n++] = '\n';
    const ssize_t ignored = write(fd, buf, n);
    (void)ignored;
}

}  // namespace

void signals_own_public_fifo()
{
    own_public_fifo = 1;
}

// Only async-signal-safe calls. Standard output is line-buffered, so every
// finished trace line is already written.
void on_signal(int signo)
{
    if (debug_level)
        write_line(STDOUT_FILENO, "e2 ", (unsigned)signo);
    if (log_level)
        write_line(STDERR_FILENO, "<6>tessarind stopping: signal ", (unsigned)signo);
    close(publicfifo);
    close(dummyfifo);
    if (own_public_fifo)
        unlink(PUBLIC_FIFO_PATH);
#ifdef TESSARIND_COVERAGE
    __gcov_dump();  // a coverage build only: not async-signal-safe
#endif
    _exit(0);  // GCOVR_EXCL_LINE: runs after the counters were written
}

// The write that raised SIGPIPE fails with EPIPE; its caller handles that.
void on_sigpipe(int)
{
    if (debug_level && !stderr_gone) {
        const int saved = errno;
        if (write(STDERR_FILENO, "E1\n", 3) < 0 && errno == EPIPE)
            stderr_gone = 1;
        errno = saved;
    }
}

bool signals_install()
{
    const int stops[] = {SIGINT, SIGHUP, SIGQUIT, SIGTERM};
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int s : stops)
        sigaddset(&sa.sa_mask, s);
    // A broken standard output must not divert on_signal from ending.
    sigaddset(&sa.sa_mask, SIGPIPE);
    for (int s : stops)
        if (sigaction(s, &sa, nullptr) < 0)
            return false;

    struct sigaction sp = {};
    sp.sa_handler = on_sigpipe;
    sp.sa_flags = SA_RESTART;
    sigemptyset(&sp.sa_mask);
    return sigaction(SIGPIPE, &sp, nullptr) == 0;
}
