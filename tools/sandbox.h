// SPDX-License-Identifier: MIT
// For the load driver and the benchmark: a daemon of their own, away from any
// daemon already serving the machine.
#pragma once

#include <sys/types.h>

// Enters a private mount namespace with a fresh /tmp when running as root.
// False (with a message printed) when the public FIFO path is still taken.
bool sandbox_private_tmp(const char* program);

// Starts the daemon (exe: an O_PATH descriptor of it) with its output
// discarded, and waits until it serves, with no worker started. -1 on
// failure.
pid_t sandbox_start_daemon(int exe);

// A numeric field of /proc/PID/status ("Threads", "VmRSS", "VmHWM"; sizes in
// KiB), or -1.
long sandbox_proc_status(pid_t pid, const char* field);

// The number of open descriptors of PID, or -1.
int sandbox_fd_count(pid_t pid);

// Stops it with the exit command (SIGKILL if it has not ended after ten
// seconds). Returns its wait status.
int sandbox_stop_daemon(pid_t pid);
