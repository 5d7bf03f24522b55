// SPDX-License-Identifier: MIT
// The seed of the random tests: from TESSARIND_SEED when given, printed
// either way, so that a failure reproduces.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <random>

inline unsigned test_seed()
{
    const char* env = getenv("TESSARIND_SEED");
    const unsigned seed = env ? (unsigned)strtoul(env, nullptr, 10) : std::random_device{}();
    printf("TESSARIND_SEED=%u\n", seed);
    return seed;
}
