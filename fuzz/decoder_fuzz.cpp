// SPDX-License-Identifier: MIT
// The bounded decoder stores exactly the prefix of what the unbounded one
// returns, never more than its limit, and touches nothing past what it stored.
#include <cstring>
#include <string>

#include "crypto/crypto.h"
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size < 1)
        return 0;
    const int32_t limit = (int32_t)(signed char)data[0];  // -128 .. 127
    const std::string text((const char*)data + 1, size - 1);  // ends at its first NUL
    const std::vector<unsigned char> all = uiwndpoa(text.c_str());

    unsigned char buf[160];
    memset(buf, 0xA5, sizeof buf);
    uiwndpoa(text.c_str(), limit, buf);
    const size_t stored = limit <= 0 ? 0 : std::min(all.size(), (size_t)limit);
    FUZZ_CHECK(stored == 0 || memcmp(buf, all.data(), stored) == 0);
    for (size_t i = stored; i < sizeof buf; i++)
        FUZZ_CHECK(buf[i] == 0xA5);
    FUZZ_CHECK(all.size() <= text.size() * 3 / 4 + 2);
    return 0;
}
