// SPDX-License-Identifier: MIT
// Preloaded into the daemon by tests, to make faults the machine seldom
// makes. TESSARIND_FAULTS names them:
// - "buffers": every allocation of one load fails, as under memory pressure;
// - "short-reads": reads of regular files return at most a few odd sizes in
//   turn, as some network and FUSE file systems do.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/protocol.h"

namespace {

bool fault(const char* name)
{
    const char* faults = getenv("TESSARIND_FAULTS");
    return faults && strstr(faults, name);
}

}  // namespace

extern "C" void* malloc(size_t size)
{
    static void* (*real)(size_t) = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    static const bool fail = fault("buffers");
    return fail && size == LOAD_SIZE ? nullptr : real(size);
}

extern "C" ssize_t read(int fd, void* buf, size_t len)
{
    static ssize_t (*real)(int, void*, size_t) = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    static const bool shorten = fault("short-reads");
    static std::atomic<unsigned> turn;
    static const size_t sizes[] = {4093, 1, 8191, 131075, 7, 65536};
    struct stat st;
    if (shorten && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        len = std::min(len, sizes[turn++ % (sizeof sizes / sizeof *sizes)]);
    return real(fd, buf, len);
}
