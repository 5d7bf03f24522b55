// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cstdio>
#include <cstdlib>

#ifdef TESSARIND_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

int systemd_public_fifo()
{
#ifdef TESSARIND_SYSTEMD
    // sd_listen_fds also clears the variables, so no child would take them.
    if (sd_listen_fds(1) == 1 && sd_is_fifo(SD_LISTEN_FDS_START, PUBLIC_FIFO_PATH) > 0)
        return SD_LISTEN_FDS_START;
#endif
    return -1;
}

void systemd_notify(const char* state)
{
#ifdef TESSARIND_SYSTEMD
    sd_notify(0, state);
#else
    (void)state;
#endif
}

int systemd_tell_status(status_told* told)
{
#ifdef TESSARIND_SYSTEMD
    static const bool asked = getenv("NOTIFY_SOCKET") != nullptr;
    if (!asked)
        return -1;
    constexpr long EVERY_MS = 1000;
    const workers_counts now = workers_status();
    // While workers run, their ends change the counts without waking the
    // main loop: it looks again a second later.
    const int again = now.running > 0 || now.waiting > 0 ? (int)EVERY_MS : -1;
    if (told->at_ms >= 0 && now == told->counts)
        return again;
    const long since = io_now_ms() - told->at_ms;
    if (told->at_ms >= 0 && since < EVERY_MS)
        return (int)(EVERY_MS - since);
    char status[160];
    snprintf(status, sizeof status, "STATUS=%llu served, %llu failed since start; %d running, %zu waiting",
             (unsigned long long)now.served, (unsigned long long)now.failed, now.running, now.waiting);
    sd_notify(0, status);
    told->counts = now;
    told->at_ms = io_now_ms();
    return again;
#else
    (void)told;
    return -1;
#endif
}
