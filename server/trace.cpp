// SPDX-License-Identifier: MIT
#include "server/server.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

int debug_level = 0;
int publicfifo = -1;
int dummyfifo = -1;
const char version_string[] = "tessarind Version 1.19\n";

void trace(const char* fmt, ...)
{
    if (!debug_level)
        return;
    const int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    errno = saved;
}
