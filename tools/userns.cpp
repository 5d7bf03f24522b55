// SPDX-License-Identifier: MIT
// A user namespace of our own, so that an ordinary user can have a private
// /tmp: there we are its root, and with subordinate ids (/etc/subuid,
// /etc/subgid, and newuidmap from uidmap) the other users the tests act
// as exist too.
#include "tools/sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <grp.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char NEWUIDMAP[] = "/usr/bin/newuidmap";
const char NEWGIDMAP[] = "/usr/bin/newgidmap";

struct id_range {
    unsigned long start = 0, count = 0;
};

// The first range that file ("name:start:count" lines) grants to name or id.
bool subordinate(const char* file, const char* name, unsigned long id, id_range* out)
{
    FILE* f = fopen(file, "re");
    if (!f)
        return false;
    const std::string as_number = std::to_string(id);
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        char who[128];
        unsigned long start, count;
        if (sscanf(line, "%127[^:]:%lu:%lu", who, &start, &count) != 3 || count == 0)
            continue;
        if ((name && strcmp(who, name) == 0) || as_number == who) {
            *out = {start, count};
            found = true;
        }
    }
    fclose(f);
    return found;
}

bool write_file(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    return ok;
}

// Runs tool (newuidmap or newgidmap) for pid: 0 is our own id, 1 and up the
// subordinate range. True when it mapped them.
bool run_map(const char* tool, pid_t pid, unsigned long own, const id_range& sub)
{
    const std::string p = std::to_string(pid), o = std::to_string(own), s = std::to_string(sub.start),
                      n = std::to_string(sub.count);
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execl(tool, tool, p.c_str(), "0", o.c_str(), "1", "1", s.c_str(), n.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The setuid helpers only map a process of their caller's own namespace, so
// a child of ours, left outside, maps us once we have unshared.
bool map_subordinate(uid_t uid, gid_t gid, const id_range& su, const id_range& sg)
{
    int go[2];
    if (pipe2(go, O_CLOEXEC) < 0)
        return false;
    const pid_t self = getpid();
    const pid_t helper = fork();
    if (helper < 0) {
        close(go[0]);
        close(go[1]);
        return false;
    }
    if (helper == 0) {
        close(go[1]);
        char c;
        const bool entered = read(go[0], &c, 1) == 1;
        _exit(entered && run_map(NEWUIDMAP, self, uid, su) && run_map(NEWGIDMAP, self, gid, sg) ? 0 : 1);
    }
    close(go[0]);
    const bool entered = unshare(CLONE_NEWUSER) == 0;
    if (entered && write(go[1], "x", 1) != 1) {
    }
    close(go[1]);
    int status = 0;
    while (waitpid(helper, &status, 0) < 0 && errno == EINTR) {
    }
    return entered && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool userns_enter()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const passwd* pw = getpwuid(uid);
    const group* gr = getgrgid(gid);
    id_range su, sg;
    if (getenv("TESSARIND_NO_SUBIDS") == nullptr && access(NEWUIDMAP, X_OK) == 0 && access(NEWGIDMAP, X_OK) == 0 &&
        subordinate("/etc/subuid", pw ? pw->pw_name : nullptr, uid, &su) &&
        subordinate("/etc/subgid", gr ? gr->gr_name : (pw ? pw->pw_name : nullptr), gid, &sg) &&
        map_subordinate(uid, gid, su, sg))
        return true;
    // Where the helpers failed after unsharing, we are already in the new
    // namespace; otherwise enter one now. Alone, we may map only ourselves.
    int fd = open("/proc/self/uid_map", O_RDONLY | O_CLOEXEC);
    char map[64] = "";
    const ssize_t n = fd < 0 ? -1 : read(fd, map, sizeof map - 1);
    if (fd >= 0)
        close(fd);
    const bool unshared = n == 0;  // an empty map: a namespace not yet mapped
    if (!unshared && unshare(CLONE_NEWUSER) < 0)
        return false;
    return write_file("/proc/self/setgroups", "deny") && write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool userns_other_ids()
{
    FILE* f = fopen("/proc/self/uid_map", "re");
    if (!f)
        return false;
    unsigned long inside, outside, count, ids = 0;
    while (fscanf(f, "%lu %lu %lu", &inside, &outside, &count) == 3)
        ids += count;
    fclose(f);
    return ids > 1;
}
