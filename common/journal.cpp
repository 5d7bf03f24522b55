// SPDX-License-Identifier: MIT
// A failed request in the log. Where standard error is the journal and
// libsystemd is linked, it goes with fields a query can select
// (journalctl TESSARIND_UID=1000); otherwise, or if the journal refuses it,
// as the plain line.
#include "common/common.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifdef TESSARIND_SYSTEMD
#include <systemd/sd-journal.h>

namespace {

// Whether standard error is the journal's stream, which JOURNAL_STREAM names
// by device and inode, and the journal's socket is there: libsystemd drops
// an entry without a word where it is not (a namespace without /run's).
bool stderr_is_journal()
{
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat st;
    return stream && sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && fstat(STDERR_FILENO, &st) == 0 &&
           st.st_dev == dev && st.st_ino == ino && access("/run/systemd/journal/socket", F_OK) == 0;
}

}  // namespace
#endif

void log_request(int priority, const char* command, long long uid, int err, const char* message)
{
    if (!log_level)
        return;
#ifdef TESSARIND_SYSTEMD
    static const bool journal = stderr_is_journal();
    char owner[24] = "unknown";
    if (uid >= 0)
        snprintf(owner, sizeof owner, "%lld", uid);
    if (journal && sd_journal_send("MESSAGE=%s", message, "PRIORITY=%d", priority, "TESSARIND_COMMAND=%s", command,
                                   "TESSARIND_UID=%s", owner, "ERRNO=%d", err, "SYSLOG_IDENTIFIER=tessarind",
                                   NULL) >= 0)
        return;
#else
    (void)command;
    (void)uid;
    (void)err;
#endif
    log_line("<%d>%s\n", priority, message);
}
