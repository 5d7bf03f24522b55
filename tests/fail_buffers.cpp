// SPDX-License-Identifier: MIT
// Preloaded into the daemon by a test: every allocation of one load fails,
// as under memory pressure. Other sizes go to the real malloc.
#include <cstddef>
#include <dlfcn.h>

#include "protocol/protocol.h"

extern "C" void* malloc(size_t size)
{
    static void* (*real)(size_t) = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    return size == LOAD_SIZE ? nullptr : real(size);
}
