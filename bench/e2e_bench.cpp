// SPDX-License-Identifier: MIT
// tessarind-bench: the cipher in process and the daemon end to end, through
// real FIFOs, from one run on one machine. Figures are medians of several
// runs; ratios are taken pair by pair within the run.
#include <algorithm>
#include <atomic>
#include <poll.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "client/client.h"
#include "crypto/crypto.h"
#include "tools/sandbox.h"

#ifdef HAVE_OPENSSL
#include <openssl/blowfish.h>
#endif

namespace {

constexpr int RUNS = 5;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median over RUNS of f(), which returns a figure.
template <typename F>
double median_of(F f)
{
    std::vector<double> v;
    for (int i = 0; i < RUNS; i++)
        v.push_back(f());
    return median(v);
}

// ---- cipher, in process ---------------------------------------------------

struct cipher_figures {
    double step_mbs, multi_mbs, openssl_mbs, schedule_us;
};

cipher_figures bench_cipher(const unsigned char key[20])
{
    std::vector<unsigned char> in(LOAD_SIZE), out(LOAD_SIZE);
    std::mt19937 rng(7);
    for (auto& b : in)
        b = (unsigned char)rng();
    thei99_dsa ctx;
    cA87315c_start(&ctx, 0, key, 20);
    const int loads = 40;
    auto mbs = [&](auto&& one_load) {
        return median_of([&] {
            const double t = now();
            for (int i = 0; i < loads; i++)
                one_load();
            return (double)LOAD_SIZE * loads / (now() - t) / 1e6;
        });
    };
    cipher_figures c{};
    c.step_mbs = mbs([&] {
        for (size_t i = 0; i < LOAD_SIZE; i += 8)
            cA87315c_8(&ctx, in.data() + i, out.data() + i);
    });
    c.multi_mbs = mbs([&] { crypto_blocks(&ctx, in.data(), out.data(), LOAD_SIZE); });
#ifdef HAVE_OPENSSL
    BF_KEY bf;
    BF_set_key(&bf, 20, key);
    c.openssl_mbs = mbs([&] {
        for (size_t i = 0; i < LOAD_SIZE; i += 8)
            BF_ecb_encrypt(in.data() + i, out.data() + i, &bf, BF_DECRYPT);
    });
#endif
    c.schedule_us = median_of([&] {
        const double t = now();
        for (int i = 0; i < 200; i++)
            cA87315c_start(&ctx, 0, key, 20);
        return (now() - t) / 200 * 1e6;
    });
    return c;
}

// ---- the daemon, end to end -------------------------------------------------

struct counter {
    size_t bytes = 0;
};

bool count_bytes(void* ctx, const unsigned char*, size_t n)
{
    ((counter*)ctx)->bytes += n;
    return true;
}

// One whole-file request; returns the bytes received.
size_t fetch(unsigned char cmd, const std::string& file, const std::string& key)
{
    client_reply r;
    if (!client_reply_open(&r))
        return 0;
    unsigned char rec[RECORD_SIZE];
    counter c;
    if (client_record_build(rec, cmd, r.path, file.c_str(), key.c_str()) &&
        client_send(rec, RECORD_SIZE, 5000) == CLIENT_OK)
        client_read_reply(&r, 10000, count_bytes, &c);
    client_reply_close(&r);
    return c.bytes;
}

// Aggregate MB/s of n clients fetching the file at once.
double concurrent_mbs(int n, const std::string& file, const std::string& key, size_t size)
{
    return median_of([&] {
        std::vector<std::thread> ts;
        std::vector<size_t> got((size_t)n);
        const double t = now();
        for (int i = 0; i < n; i++)
            ts.emplace_back([&, i] { got[(size_t)i] = fetch(CMD_DECRYPT_FILE, file, key); });
        for (auto& th : ts)
            th.join();
        const double secs = now() - t;
        size_t total = 0;
        for (size_t g : got)
            total += g;
        if (total != size * (size_t)n)
            fprintf(stderr, "tessarind-bench: short reply (%zu of %zu bytes)\n", total, size * (size_t)n);
        return (double)total / secs / 1e6;
    });
}

}  // namespace

int main(int argc, char** argv)
{
    const char* daemon = argc > 1 ? argv[1] : "build/tessarind";
    const int exe = open(daemon, O_PATH | O_CLOEXEC);
    if (exe < 0)
        return fprintf(stderr, "tessarind-bench: %s: %s\n", daemon, strerror(errno)), 1;
    if (!sandbox_private_tmp("tessarind-bench"))
        return 1;
    signal(SIGPIPE, SIG_IGN);

    unsigned char key[20];
    std::mt19937 rng(11);
    for (auto& b : key)
        b = (unsigned char)rng();
    const std::string key_text = client_base64_encode(key, sizeof key);
    printf("machine: %u cores; every figure is the median of %d runs\n", std::thread::hardware_concurrency(), RUNS);

    const cipher_figures c = bench_cipher(key);
    printf("cipher, one 262144-byte load, 20-byte key:\n");
    printf("  block step (cA87315c_8)      %8.1f MB/s\n", c.step_mbs);
    printf("  multi-block path             %8.1f MB/s   %.2fx the block step\n", c.multi_mbs, c.multi_mbs / c.step_mbs);
    if (c.openssl_mbs > 0)
        printf("  OpenSSL BF_ecb_encrypt       %8.1f MB/s   multi-block is %.2fx OpenSSL\n", c.openssl_mbs,
               c.multi_mbs / c.openssl_mbs);
    else
        printf("  OpenSSL                      not built in (libssl-dev absent)\n");
    printf("  key schedule                 %8.1f us\n", c.schedule_us);

    // Data: a 64 MiB file, and a 1 MiB one for first-load requests.
    const size_t big_size = 64u << 20;
    const std::string big = "/tmp/tessarind-bench-64m", small = "/tmp/tessarind-bench-1m";
    {
        std::vector<unsigned char> buf(big_size);
        for (auto& b : buf)
            b = (unsigned char)rng();
        FILE* f = fopen(big.c_str(), "wb");
        fwrite(buf.data(), 1, buf.size(), f);
        fclose(f);
        f = fopen(small.c_str(), "wb");
        fwrite(buf.data(), 1, 1 << 20, f);
        fclose(f);
    }
    const pid_t pid = sandbox_start_daemon(exe);
    if (pid < 0)
        return fprintf(stderr, "tessarind-bench: the daemon did not start\n"), 1;
    usleep(100000);
    const long idle_rss = sandbox_proc_status(pid, "VmRSS");

    const double one = concurrent_mbs(1, big, key_text, big_size);
    const double two = concurrent_mbs(2, big, key_text, big_size);
    const double first_load_rps = median_of([&] {
        const int n = 200;
        const double t = now();
        for (int i = 0; i < n; i++)
            fetch(CMD_DECRYPT_CHUNK, small, key_text);
        return n / (now() - t);
    });
    const double ping_rps = median_of([&] {
        const int n = 1000;
        std::string pong;
        const double t = now();
        for (int i = 0; i < n; i++) {
            pong.clear();
            client_request(CMD_PING, "", "", 2000, &pong);
        }
        return n / (now() - t);
    });
    // 32 transfers alive at once: each client holds its transfer open until
    // all 32 have data, then leaves. The daemon's high-water mark against its
    // idle RSS.
    {
        std::atomic<int> started{0};
        std::vector<std::thread> ts;
        for (int i = 0; i < 32; i++)
            ts.emplace_back([&] {
                client_reply r;
                if (!client_reply_open(&r))
                    return;
                unsigned char rec[RECORD_SIZE];
                client_record_build(rec, CMD_DECRYPT_FILE, r.path, big.c_str(), key_text.c_str());
                client_send(rec, RECORD_SIZE, 5000);
                struct pollfd p{r.fd, POLLIN, 0};
                poll(&p, 1, 10000);
                started++;
                for (int w = 0; w < 1000 && started < 32; w++)
                    usleep(10000);
                usleep(100000);
                client_reply_close(&r);
            });
        for (auto& t : ts)
            t.join();
    }
    const long peak_rss = sandbox_proc_status(pid, "VmHWM");

    printf("end to end, through the daemon and real FIFOs:\n");
    printf("  whole file, 64 MiB, 1 client   %8.1f MB/s   %.2fx the in-process multi-block path\n", one,
           one / c.multi_mbs);
    printf("  whole file, 64 MiB, 2 clients  %8.1f MB/s   %.2fx one client (aggregate)\n", two, two / one);
    printf("  first-load requests            %8.0f /s\n", first_load_rps);
    printf("  ping round trips               %8.0f /s\n", ping_rps);
    printf("  peak RSS, 32 transfers         %8.1f MiB above the idle daemon (%ld KiB idle)\n",
           (double)(peak_rss - idle_rss) / 1024, idle_rss);

    sandbox_stop_daemon(pid);
    unlink(big.c_str());
    unlink(small.c_str());
    return 0;
}
