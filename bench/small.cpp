// SPDX-License-Identifier: MIT
// Short requests: what one costs the daemon beside its work. Clients of the
// C library decrypt a small file over and over (tessarind_decrypt, then
// tessarind_free) for a few seconds; every daemon given is measured in each
// round, in turn, so that a slower spell of the machine slows all alike.
#include "bench/small.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "client/tessarind/client.h"
#include "crypto/crypto.h"
#include "tools/sandbox.h"

namespace {

constexpr int ROUNDS = 3;
constexpr double SECONDS = 3.0;
constexpr size_t SIZES[] = {4096, LOAD_SIZE};
constexpr int CLIENTS[] = {1, 4, 8, 32};
constexpr size_t NSIZES = std::size(SIZES), NCLIENTS = std::size(CLIENTS);

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Requests per second of n clients decrypting path for SECONDS.
double requests_per_second(int n, const std::string& path, const std::string& key, size_t size)
{
    std::atomic<long> done{0}, wrong{0};
    const double until = now() + SECONDS;
    std::vector<std::thread> ts;
    const double start = now();
    for (int i = 0; i < n; i++)
        ts.emplace_back([&] {
            while (now() < until) {
                size_t len = 0;
                void* plain = tessarind_decrypt(path.c_str(), key.c_str(), 0, &len, 10000);
                (plain && len == size ? done : wrong)++;
                tessarind_free(plain, len);
            }
        });
    for (auto& t : ts)
        t.join();
    if (wrong > 0)
        fprintf(stderr, "tessarind-bench: %ld requests failed\n", wrong.load());
    return (double)done / (now() - start);
}

// The work itself, in this process on one core: the key schedule and the
// blocks of one request of `size` bytes, as requests per second.
double in_process_per_second(const unsigned char key[20], size_t size)
{
    std::vector<unsigned char> in(size), out(size);
    thei99_dsa ctx;
    const int n = 2000;
    const double t = now();
    for (int i = 0; i < n; i++) {
        cA87315c_start(&ctx, 0, key, 20);
        crypto_blocks(&ctx, in.data(), out.data(), size);
    }
    return n / (now() - t);
}

}  // namespace

void measure_small_requests(const std::vector<bench_daemon>& daemons)
{
    unsigned char key[20];
    std::mt19937 rng(13);
    for (auto& b : key)
        b = (unsigned char)rng();
    const std::string key_text = client_base64_encode(key, sizeof key);
    std::vector<std::string> files;
    for (size_t size : SIZES) {
        files.push_back("/tmp/tessarind-bench-small-" + std::to_string(size));
        std::string data(size, '\0');
        for (auto& c : data)
            c = (char)rng();
        FILE* f = fopen(files.back().c_str(), "wb");
        if (!f || fwrite(data.data(), 1, size, f) != size || fclose(f) != 0) {
            perror("tessarind-bench: writing data");
            return;
        }
    }
    // rps[daemon][size][clients]: one figure a round.
    std::vector<std::vector<std::vector<std::vector<double>>>> rps(
        daemons.size(), std::vector<std::vector<std::vector<double>>>(NSIZES, std::vector<std::vector<double>>(NCLIENTS)));
    for (int round = 0; round < ROUNDS; round++)
        for (size_t d = 0; d < daemons.size(); d++) {
            const pid_t pid = sandbox_start_daemon(daemons[d].exe);
            if (pid < 0)
                continue;
            for (size_t s = 0; s < NSIZES; s++)
                for (size_t c = 0; c < NCLIENTS; c++)
                    rps[d][s][c].push_back(requests_per_second(CLIENTS[c], files[s], key_text, SIZES[s]));
            sandbox_stop_daemon(pid);
        }
    printf("short requests: tessarind_decrypt then tessarind_free, %.0f s per figure, %d rounds of every daemon in "
           "turn, medians; ratios are medians of per-round ratios to the first daemon\n", SECONDS, ROUNDS);
    for (size_t s = 0; s < NSIZES; s++) {
        printf("  %zu-byte file; the work alone (key schedule and blocks, in process, one core): %.0f /s\n",
               SIZES[s], in_process_per_second(key, SIZES[s]));
        printf("    %-28s", "clients");
        for (int c : CLIENTS)
            printf("%18d", c);
        printf("\n");
        for (size_t d = 0; d < daemons.size(); d++) {
            printf("    %-28s", daemons[d].label.c_str());
            for (size_t c = 0; c < NCLIENTS; c++) {
                std::vector<double> ratios;
                for (size_t r = 0; r < rps[d][s][c].size() && r < rps[0][s][c].size(); r++)
                    ratios.push_back(rps[d][s][c][r] / rps[0][s][c][r]);
                if (d == 0)
                    printf("%12.0f /s   ", median(rps[d][s][c]));
                else
                    printf("%9.0f (%.2fx) ", median(rps[d][s][c]), 1 / median(ratios));
            }
            printf("\n");
        }
    }
    printf("    (x: the first daemon's requests per second over this one's)\n");
    for (const auto& f : files)
        unlink(f.c_str());
}
