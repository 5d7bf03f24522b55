// SPDX-License-Identifier: MIT
// Why the daemon could not read a file, where the modes tell: the daemon
// runs as the owner of the public FIFO, so its user's ids are known here.
#include "client/failure.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <vector>

#include "protocol/protocol.h"

namespace {

struct ids {
    uid_t uid;
    std::vector<gid_t> groups;  // the primary group first
};

bool daemon_ids(ids* out)
{
    struct stat st;
    if (lstat(PUBLIC_FIFO_PATH, &st) < 0 || !S_ISFIFO(st.st_mode))
        return false;
    out->uid = st.st_uid;
    passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &found) != 0 || !found)
        return false;
    int n = 64;
    out->groups.resize(n);
    if (getgrouplist(found->pw_name, found->pw_gid, out->groups.data(), &n) < 0) {
        out->groups.resize(n);
        if (getgrouplist(found->pw_name, found->pw_gid, out->groups.data(), &n) < 0)
            return false;
    }
    out->groups.resize(n);
    return true;
}

// Whether the mode bits grant who the access in bit (4 read, 1 search).
bool granted(const struct stat& st, const ids& who, unsigned bit)
{
    if (st.st_uid == who.uid)
        return st.st_mode & (bit << 6);
    for (gid_t g : who.groups)
        if (g == st.st_gid)
            return st.st_mode & (bit << 3);
    return st.st_mode & bit;
}

}  // namespace

client_reach client_daemon_reach(const char* path, uid_t* uid, char* dir, size_t size)
{
    ids daemon;
    char real[PATH_MAX];
    if (!daemon_ids(&daemon) || daemon.uid == 0 || !realpath(path, real))
        return REACH_UNKNOWN;
    *uid = daemon.uid;
    // Each directory from the root down, then the file.
    for (char* slash = real; (slash = strchr(slash + 1, '/'));) {
        *slash = '\0';
        struct stat st;
        const bool entered = stat(real, &st) == 0 && granted(st, daemon, 1);
        if (!entered) {
            snprintf(dir, size, "%s", real);
            return REACH_DIRECTORY;
        }
        *slash = '/';
    }
    struct stat st;
    if (stat(real, &st) == 0 && !granted(st, daemon, 4))
        return REACH_FILE;
    return REACH_UNKNOWN;
}
