// SPDX-License-Identifier: MIT
#include "tools/sandbox.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/close_range.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sstream>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/client.h"

extern char** environ;

namespace {

// Makes openat2 fail with ENOSYS, as on kernels before 5.6.
bool deny_openat2()
{
#if defined(__x86_64__)
    constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this machine"
#endif
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace

bool sandbox_private_mounts()
{
    if (geteuid() != 0 && !userns_enter())
        return false;
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool sandbox_fresh_tmp()
{
    return mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0;
}

void sandbox_drop_tmp()
{
    umount2("/tmp", MNT_DETACH);
}

bool sandbox_private_tmp(const char* program)
{
    // Never the machine's shared /tmp: the public FIFO's path is fixed, and a
    // daemon there would meet a real one, or strangers.
    if (!sandbox_private_mounts() || !sandbox_fresh_tmp()) {
        fprintf(stderr, "%s: skipped: needs root or a user namespace, to run the daemon in a private /tmp (its FIFO path is fixed)\n",
                program);
        return false;
    }
    return true;
}

pid_t sandbox_spawn(int exe, const std::vector<std::string>& argv, int in, int out, int err, bool wrap)
{
    // Under a wrapper, the program is reached through /proc/self/fd.
    std::vector<std::string> args;
    const char* wrapper = wrap ? getenv("TESSARIND_WRAPPER") : nullptr;
    std::istringstream words(wrapper ? wrapper : "");
    for (std::string w; words >> w;)
        args.push_back(w);
    const bool wrapped = !args.empty();
    if (wrapped)
        args.push_back("/proc/self/fd/" + std::to_string(exe));
    args.insert(args.end(), argv.begin() + (wrapped ? 1 : 0), argv.end());
    std::vector<char*> ptrs;
    for (auto& a : args)
        ptrs.push_back(a.data());
    ptrs.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);  // keep exe, which fexecve needs
        if (getenv("TESSARIND_DENY_OPENAT2") && !deny_openat2())
            _exit(126);
        if (const char* listen = getenv("TESSARIND_LISTEN_FD")) {
            // As systemd passes a socket unit's FIFO: fd 3, for this pid.
            if (exe == 3)
                exe = fcntl(exe, F_DUPFD_CLOEXEC, 10);
            if (dup2(atoi(listen), 3) != 3)
                _exit(126);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            setenv("LISTEN_FDS", "1", 1);
            unsetenv("TESSARIND_LISTEN_FD");
        }
        if (wrapped) {
            fcntl(exe, F_SETFD, 0);
            execvp(ptrs[0], ptrs.data());
        }
        fexecve(exe, ptrs.data(), environ);
        _exit(127);
    }
    return pid;
}

bool sandbox_wait_serving(pid_t pid)
{
    for (int i = 0; i < 2000; i++) {
        // Succeeds once the daemon has begun its open for reading.
        const int fd = open(PUBLIC_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        siginfo_t info = {};
        if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return false;
        usleep(5000);
    }
    return false;
}

pid_t sandbox_start_daemon(int exe)
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = sandbox_spawn(exe, {"tessarind"}, null, null, null, false);
    close(null);
    if (pid < 0 || !sandbox_wait_serving(pid))
        return -1;
    // No worker has started, so the idle daemon's thread count can be taken
    // once its start-up has settled.
    usleep(100000);
    return pid;
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
