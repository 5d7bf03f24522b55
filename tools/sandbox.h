// SPDX-License-Identifier: MIT
// For the load driver and the benchmark: a daemon of their own, away from any
// daemon already serving the machine.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Enters a private mount namespace with a fresh /tmp, which needs root or a
// user namespace of our own. False, with the reason printed, when it cannot.
bool sandbox_private_tmp(const char* program);
// Its two steps, for the tests, which take a fresh /tmp per test: a mount
// namespace of the process's own (for an ordinary user, in a user namespace
// where he is root; false where the kernel allows neither), and a new tmpfs
// on /tmp in it (false with errno), which sandbox_drop_tmp takes away again.
// The process must have one thread.
bool sandbox_private_mounts();
bool sandbox_fresh_tmp();
void sandbox_drop_tmp();

// The one way to start a program here, the daemon above all: exe (an
// O_PATH descriptor, which stays usable when a private /tmp hides its path)
// with argv (argv[0] first) and the given standard descriptors. When wrap
// is set, TESSARIND_WRAPPER (e.g. "valgrind --error-exitcode=99") runs it
// under another program; when TESSARIND_DENY_OPENAT2 is set, openat2 fails
// in it with ENOSYS, as on kernels before 5.6; when TESSARIND_LISTEN_FD is
// set, that descriptor is passed as fd 3 the way systemd passes a socket
// unit's FIFO (LISTEN_PID, LISTEN_FDS=1). The pid, or -1.
pid_t sandbox_spawn(int exe, const std::vector<std::string>& argv, int in, int out, int err, bool wrap);

// Waits until the daemon pid has begun to read the public FIFO (it has then
// been opened once as a writer, which lets its start-up go on). False when
// it ended first (not reaped) or did not get there in ten seconds.
bool sandbox_wait_serving(pid_t pid);

// Starts the daemon with no arguments and its output discarded, and waits
// until it serves, with no worker started. -1 on failure.
pid_t sandbox_start_daemon(int exe);

// A numeric field of /proc/PID/status ("Threads", "VmRSS", "VmHWM"; sizes in
// KiB), or -1.
long sandbox_proc_status(pid_t pid, const char* field);

// The number of open descriptors of PID, or -1.
int sandbox_fd_count(pid_t pid);

// Stops it with the exit command (SIGKILL if it has not ended after ten
// seconds). Returns its wait status.
int sandbox_stop_daemon(pid_t pid);

// userns.cpp: enters a user namespace whose root is our own user and group,
// and whose ids 1 and up are our subordinate ids where /etc/subuid and
// /etc/subgid grant a range and uidmap's helpers are installed (unless
// TESSARIND_NO_SUBIDS is set). False where the kernel refuses.
bool userns_enter();
// Whether ids other than our own exist here (always for the machine's root;
// in a user namespace, only where subordinate ids were mapped).
bool userns_other_ids();
