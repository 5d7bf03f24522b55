// SPDX-License-Identifier: MIT
#include "server/daemon.h"

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
