// SPDX-License-Identifier: MIT
#include "tools/sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/client.h"

extern char** environ;

bool sandbox_private_tmp(const char* program)
{
    if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777");
    } else {
        // Sharing the machine's /tmp: take turns with the end-to-end tests,
        // which hold this lock while their daemon runs. Held until exit.
        const int lock = open("/tmp/tessarind-tests.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (lock >= 0)
            flock(lock, LOCK_EX);
    }
    if (access(PUBLIC_FIFO_PATH, F_OK) == 0) {
        fprintf(stderr, "%s: %s exists and there is no private /tmp (run as root)\n", program, PUBLIC_FIFO_PATH);
        return false;
    }
    return true;
}

pid_t sandbox_start_daemon(int exe)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);  // keep exe for fexecve
        char* argv[] = {(char*)"tessarind", nullptr};
        fexecve(exe, argv, environ);
        _exit(127);
    }
    // Ready once it has begun its open for reading; opening the FIFO as a
    // writer lets it go on, and no worker is started, so the idle daemon's
    // thread count can be taken right after.
    for (int i = 0; i < 1000; i++) {
        const int fd = open(PUBLIC_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            usleep(100000);
            return pid;
        }
        usleep(10000);
    }
    return -1;
}

long sandbox_proc_status(pid_t pid, const char* field)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    const size_t len = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, len) == 0 && line[len] == ':')
            v = strtol(line + len + 1, nullptr, 10);
    fclose(f);
    return v;
}

int sandbox_fd_count(pid_t pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (const dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

int sandbox_stop_daemon(pid_t pid)
{
    std::string bye;
    client_request(CMD_EXIT, "", "", 5000, &bye);
    int status = -1;
    for (int i = 0; i < 1000; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}
