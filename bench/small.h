// SPDX-License-Identifier: MIT
// The benchmark's short-request table (small.cpp).
#pragma once

#include <string>
#include <vector>

// A daemon to measure, by the program file's O_PATH descriptor.
struct bench_daemon {
    std::string label;
    int exe;
};

// Requests per second of 1, 4, 8 and 32 clients of the C library
// decrypting a 4 KiB and a 262144-byte file, every daemon in each round,
// the first one the reference; printed with the work's own in-process rate.
void measure_small_requests(const std::vector<bench_daemon>& daemons);
