// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cstring>

daemon_options options_parse(int argc, char** argv)
{
    daemon_options o{0, false, false, false, false, nullptr, nullptr};
    int slot = 1;
    if (argc > 1 && strcmp(argv[1], "-d") == 0) {
        o.debug = 1;
        slot = 2;
    }
    const char* a = argc > slot ? argv[slot] : "";
    o.version = strcmp(a, "-a") == 0;
    o.version_line = strcmp(a, "--version") == 0 || strcmp(a, "-V") == 0;
    o.help = strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0;
    o.log = strcmp(a, "-l") == 0;
    if (a[0] == '-' && !o.version && !o.version_line && !o.help && !o.log)
        o.unknown = a;
    for (int i = slot + 1; i < argc && !o.ignored; i++)
        if (argv[i][0] == '-')
            o.ignored = argv[i];
    return o;
}
