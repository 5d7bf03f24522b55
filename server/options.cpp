// SPDX-License-Identifier: MIT
#include "server/server.h"

#include <cstring>

daemon_options options_parse(int argc, char** argv)
{
    daemon_options o{0, false};
    int slot = 1;
    if (argc > 1 && strcmp(argv[1], "-d") == 0) {
        o.debug = 1;
        slot = 2;
    }
    o.version = argc > slot && strcmp(argv[slot], "-a") == 0;
    return o;
}
