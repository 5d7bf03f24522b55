// SPDX-License-Identifier: MIT
#include "client/failure.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>

namespace {

struct line {
    char* buf;
    size_t size;
};

__attribute__((format(printf, 2, 3))) void say(const line& l, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(l.buf, l.size, fmt, ap);
    va_end(ap);
}

std::string user_name(uid_t uid)
{
    passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

void cannot_read(const line& l, const char* path)
{
    uid_t uid;
    char dir[PATH_MAX];
    std::string why = "its user needs read access to the file and search access to its directories";
    switch (client_daemon_reach(path, &uid, dir, sizeof dir)) {
    case REACH_DIRECTORY:
        why = "its user " + user_name(uid) + " cannot enter " + dir;
        break;
    case REACH_FILE:
        why = "its user " + user_name(uid) + " may not read it";
        break;
    case REACH_UNKNOWN:
        break;
    }
    say(l, "the daemon could not read %s: %s (see README, Installing)", path, why.c_str());
}

void key_message(const line& l, const client_failure& f)
{
    if (f.err == ENAMETOOLONG)
        say(l, "key text is longer than 255 characters");
    else if (f.key_bad == 0)
        say(l, "key text decodes to no bytes at all");
    else if (f.key_bad == KEY_LOOKS_HEX)
        say(l, "this looks like a hexadecimal key: give its base64 (tr a-f A-F | basenc -d --base16 | base64)");
    else
        say(l, "key text: character %zu is neither base64, '-' nor '=' padding at the end", f.key_bad);
}

void file_message(const line& l, const client_failure& f)
{
    if (f.err == EINVAL)
        say(l, "%s is not a regular file", f.path);
    else if (f.err == ENAMETOOLONG)
        say(l, "%s: its absolute path is longer than 255 bytes", f.path);
    else
        say(l, "cannot read %s: %s", f.path, strerror(f.err));
}

// Who owns what sits at the public path, which is not the daemon's: an
// impostor's FIFO, a symlink or no FIFO at all.
void not_the_daemon(const line& l)
{
    struct stat st;
    if (lstat(PUBLIC_FIFO_PATH, &st) < 0)
        say(l, "%s is not the daemon's", PUBLIC_FIFO_PATH);
    else if (!S_ISFIFO(st.st_mode) && !S_ISLNK(st.st_mode))
        say(l, "%s is not the daemon's: not a FIFO", PUBLIC_FIFO_PATH);
    else
        say(l, "%s is not the daemon's (owner %s, mode %04o)", PUBLIC_FIFO_PATH, user_name(st.st_uid).c_str(),
            (unsigned)(st.st_mode & 07777));
}

void daemon_message(const line& l, const client_failure& f)
{
    uid_t daemon_uid;
    switch (f.err) {
    case ECONNREFUSED:
        return say(l, "daemon not running (start it with: sudo systemctl start tessarind.socket)");
    case EACCES:
        return say(l, "not allowed to write %s: %s (ask to be made a member of group tessarind)", PUBLIC_FIFO_PATH,
                   strerror(f.err));
    case ENAMETOOLONG:
        return say(l, "%s: its absolute path is longer than 255 bytes", f.path);
    case EPERM:
        if (strcmp(f.command, "stop") == 0 && !client_may_stop(&daemon_uid))
            return say(l, "only root and the daemon's user (%s) may stop the daemon", user_name(daemon_uid).c_str());
        [[fallthrough]];
    case EINVAL:
        return not_the_daemon(l);
    }
    say(l, "request failed: %s", strerror(f.err));
}

// What came back was not the whole reply.
void reply_message(const line& l, const client_failure& f)
{
    const double wait_s = f.timeout_ms / 1000.0;
    const client_transfer* t = f.t;
    if (f.err == ETIMEDOUT && !t)
        return say(l, "no reply in time: waited %g s for the daemon to answer the %s", wait_s, f.command);
    if (!t)
        return say(l, f.err == EPROTO ? "unexpected reply to the %s: not what the daemon sends"
                                      : "request failed: %s",
                   f.err == EPROTO ? f.command : strerror(f.err));
    switch (f.err) {
    case ETIMEDOUT:
        if (t->received)
            return say(l, "no reply in time: waited %g s for more of %s after %lld bytes", wait_s, f.path,
                       t->received);
        return say(l, "no reply in time: waited %g s for the daemon to reply about %s", wait_s, f.path);
    // The reply has no status: an empty reply for a non-empty file means
    // the daemon could not open it (it runs as its own user), a short one
    // that it stopped before the end.
    case EIO:
        if (t->received == 0 && !t->stopped)
            return cannot_read(l, f.path);
        return say(l, "reply for %s cut short: %lld of %lld bytes%s", f.path, t->received, t->expected,
                   t->stopped ? ", and the daemon stopped meanwhile" : "");
    case ESTALE:
        return say(l, "%s changed while it was served: %lld bytes when asked for, %lld now", f.path, t->expected,
                   t->changed_size);
    case EPROTO:
        return say(l, "unexpected reply for %s: more bytes than the daemon sends (somebody else wrote into the "
                      "reply FIFO)",
                   f.path);
    case ECANCELED:
        return say(l, "reading of %s stopped after %lld of %lld bytes", f.path, t->received, t->expected);
    }
    say(l, "request failed: %s", strerror(f.err));
}

}  // namespace

client_failure client_key_failure(int err, size_t bad)
{
    client_failure f;
    f.stage = STAGE_KEY;
    f.err = err;
    f.key_bad = bad;
    return f;
}

void client_failure_message(const client_failure& f, char* buf, size_t size)
{
    const line l{buf, size};
    if (size == 0)
        return;
    buf[0] = '\0';
    if (f.err == EBUSY)
        return say(l, "daemon busy: its FIFO stayed full for %g s", f.timeout_ms / 1000.0);
    switch (f.stage) {
    case STAGE_KEY:
        return key_message(l, f);
    case STAGE_FILE:
        return file_message(l, f);
    case STAGE_DAEMON:
        return daemon_message(l, f);
    case STAGE_REPLY:
        return reply_message(l, f);
    case STAGE_OUTPUT:
        return say(l, "cannot write %s: %s", f.output, strerror(f.err));
    }
}
