// SPDX-License-Identifier: MIT
// tessarind-bench: the cipher in process and the daemon end to end, through
// real FIFOs, from one run on one machine. Each run measures every figure
// once, back to back; the report gives medians over the runs, and each ratio
// is the median of the ratios taken within a run, so that a machine that is
// slower for a while slows both sides of a ratio alike.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/small.h"
#include "client/client.h"
#include "crypto/crypto.h"
#include "tools/sandbox.h"

#ifdef HAVE_OPENSSL
#include <openssl/blowfish.h>
#endif

namespace {

constexpr int RUNS = 7;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Daemons from other builds, compared on the one-client figure.
constexpr int MAX_OTHERS = 4;

// One run's figures.
struct sample {
    double step, multi, openssl, schedule_us;  // cipher, in process
    double one, two, first_load_rps, ping_rps;  // through the daemon
    double other_one[MAX_OTHERS];               // one client, through each other daemon
};

// ---- cipher, in process ---------------------------------------------------

struct cipher_bench {
    std::vector<unsigned char> in, out;
    thei99_dsa ctx;
#ifdef HAVE_OPENSSL
    BF_KEY bf;
#endif

    explicit cipher_bench(const unsigned char key[20]) : in(LOAD_SIZE), out(LOAD_SIZE)
    {
        std::mt19937 rng(7);
        for (auto& b : in)
            b = (unsigned char)rng();
        cA87315c_start(&ctx, 0, key, 20);
#ifdef HAVE_OPENSSL
        BF_set_key(&bf, 20, key);
#endif
    }
};

// MB/s of one_load() over 60 loads.
template <typename F>
double load_mbs(F one_load)
{
    const int loads = 60;
    const double t = now();
    for (int i = 0; i < loads; i++)
        one_load();
    return (double)LOAD_SIZE * loads / (now() - t) / 1e6;
}

void measure_cipher(cipher_bench* b, const unsigned char key[20], sample* s)
{
    s->step = load_mbs([&] {
        for (size_t i = 0; i < LOAD_SIZE; i += 8)
            cA87315c_8(&b->ctx, b->in.data() + i, b->out.data() + i);
    });
    s->multi = load_mbs([&] { crypto_blocks(&b->ctx, b->in.data(), b->out.data(), LOAD_SIZE); });
#ifdef HAVE_OPENSSL
    s->openssl = load_mbs([&] {
        for (size_t i = 0; i < LOAD_SIZE; i += 8)
            BF_ecb_encrypt(b->in.data() + i, b->out.data() + i, &b->bf, BF_DECRYPT);
    });
#endif
    thei99_dsa ctx;
    const double t = now();
    for (int i = 0; i < 200; i++)
        cA87315c_start(&ctx, 0, key, 20);
    s->schedule_us = (now() - t) / 200 * 1e6;
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

// One request; returns the bytes received.
size_t fetch(unsigned char cmd, const std::string& file, const std::string& key)
{
    counter c;
    client_exchange(cmd, file.c_str(), key.c_str(), 10000, count_bytes, &c);
    return c.bytes;
}

// Aggregate MB/s of n clients fetching the whole file at once.
double concurrent_mbs(int n, const std::string& file, const std::string& key, size_t size)
{
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
}

template <typename F>
double per_second(int n, F one)
{
    const double t = now();
    for (int i = 0; i < n; i++)
        one();
    return n / (now() - t);
}

// 32 transfers alive at once: each client holds its transfer open until all
// 32 have data, then leaves. Returns the daemon's high-water mark in KiB.
long peak_with_32_transfers(pid_t pid, const std::string& file, const std::string& key)
{
    static std::atomic<int> started;
    started = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 32; i++)
        ts.emplace_back([&] {
            // At its first data, the client waits for the others, then leaves.
            client_exchange(
                CMD_DECRYPT_FILE, file.c_str(), key.c_str(), 10000,
                [](void*, const unsigned char*, size_t) {
                    started++;
                    for (int w = 0; w < 1000 && started < 32; w++)
                        usleep(10000);
                    usleep(100000);
                    return false;
                },
                nullptr);
        });
    for (auto& t : ts)
        t.join();
    return sandbox_proc_status(pid, "VmHWM");
}

// ---- short requests under bulk load ----------------------------------------

constexpr int BULK_CLIENTS = 32;
constexpr int PROBES = 1500;  // of each kind, one at a time, 5 ms apart: about 20 s
constexpr int LATENCY_ROUNDS = 4;

struct latency {
    double ping_p50, ping_p99, load_p50, load_p99;  // ms
    double bulk_mbs;  // while the probes ran; 0 when idle
};

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

// Pings and first loads, alternately, one at a time every 5 ms; p50 and p99
// of each, in ms.
void probe(const std::string& small, const std::string& key, latency* l)
{
    std::vector<double> ping, load;
    for (int i = 0; i < 2 * PROBES; i++) {
        const double t = now();
        if (i % 2 == 0) {
            std::string pong;
            client_request(CMD_PING, "", "", 5000, &pong);
            ping.push_back((now() - t) * 1e3);
        } else {
            fetch(CMD_DECRYPT_CHUNK, small, key);
            load.push_back((now() - t) * 1e3);
        }
        usleep(5000);
    }
    l->ping_p50 = percentile(ping, 0.5);
    l->ping_p99 = percentile(ping, 0.99);
    l->load_p50 = percentile(load, 0.5);
    l->load_p99 = percentile(load, 0.99);
}

// A bulk client in a process of its own: whole-file transfers of file, over
// and over, until `until`; writes the bytes it received by then to `out`.
void bulk_client(const std::string& file, const std::string& key, double until, int out)
{
    struct budget {
        size_t bytes;
        double until;
    } b{0, until};
    while (now() < until)
        client_exchange(
            CMD_DECRYPT_FILE, file.c_str(), key.c_str(), 10000,
            [](void* ctx, const unsigned char*, size_t n) {
                auto* b = (budget*)ctx;
                b->bytes += n;
                return now() < b->until;
            },
            &b);
    const ssize_t ignored = write(out, &b.bytes, sizeof b.bytes);
    (void)ignored;
}

// The probes with the daemon idle, then with BULK_CLIENTS bulk clients.
void measure_latency(const std::string& bulk, const std::string& small, const std::string& key, latency* idle,
                     latency* loaded)
{
    probe(small, key, idle);
    idle->bulk_mbs = 0;
    int p[2];
    if (pipe(p) < 0)
        return;
    // Room for the bulk clients to get going, then the probes, then a margin.
    const double start = now() + 0.5, until = start + 2 * PROBES * 0.0065 + 2;
    std::vector<pid_t> kids;
    for (int i = 0; i < BULK_CLIENTS; i++) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(p[0]);
            bulk_client(bulk, key, until, p[1]);
            _exit(0);
        }
        kids.push_back(pid);
    }
    close(p[1]);
    usleep((useconds_t)((start - now()) * 1e6));
    probe(small, key, loaded);
    size_t total = 0, n;
    while (read(p[0], &n, sizeof n) == (ssize_t)sizeof n)
        total += n;
    close(p[0]);
    for (pid_t k : kids)
        waitpid(k, nullptr, 0);
    // The bulk clients ran from their fork to until.
    loaded->bulk_mbs = (double)total / (until - (start - 0.5)) / 1e6;
}

// One daemon's latency figures over the rounds.
struct latency_runs {
    std::string label;
    int exe;
    std::vector<latency> idle, loaded;
};

// Medians over the rounds; beside each other daemon, the measured one's
// figures as medians of per-round ratios.
void print_latency(const std::vector<latency_runs>& all)
{
    printf("short requests under bulk load: %d probes of each kind, one every 5 ms, idle and with %d bulk clients "
           "(each a process, whole 16 MiB files); medians of %zu rounds\n",
           PROBES, BULK_CLIENTS, all[0].idle.size());
    const auto med = [](const std::vector<latency>& v, double latency::*f) {
        std::vector<double> x;
        for (const auto& l : v)
            x.push_back(l.*f);
        return median(x);
    };
    const auto ratio = [&](const latency_runs& other, double latency::*f) {
        std::vector<double> x;
        for (size_t i = 0; i < other.loaded.size(); i++)
            x.push_back(all[0].loaded[i].*f / (other.loaded[i].*f));
        return median(x);
    };
    for (const auto& r : all) {
        printf("  %s\n", r.label.c_str());
        printf("    ping        idle p50 %6.2f ms  p99 %6.2f ms   under load p50 %6.2f ms  p99 %6.2f ms\n",
               med(r.idle, &latency::ping_p50), med(r.idle, &latency::ping_p99), med(r.loaded, &latency::ping_p50),
               med(r.loaded, &latency::ping_p99));
        printf("    first load  idle p50 %6.2f ms  p99 %6.2f ms   under load p50 %6.2f ms  p99 %6.2f ms\n",
               med(r.idle, &latency::load_p50), med(r.idle, &latency::load_p99), med(r.loaded, &latency::load_p50),
               med(r.loaded, &latency::load_p99));
        printf("    bulk throughput meanwhile  %8.1f MB/s\n", med(r.loaded, &latency::bulk_mbs));
        if (&r != &all[0])
            printf("    the measured build, under load: ping p99 %.2fx, first-load p99 %.2fx, bulk %.2fx this\n",
                   ratio(r, &latency::ping_p99), ratio(r, &latency::load_p99), ratio(r, &latency::bulk_mbs));
    }
}

bool write_file(const std::string& path, const std::vector<unsigned char>& data, size_t len)
{
    FILE* f = fopen(path.c_str(), "wb");
    const bool ok = f && fwrite(data.data(), 1, len, f) == len;
    return f && fclose(f) == 0 && ok;
}

// The daemons to measure: the first in full, the others (other builds of
// it) on the one-client whole-file figure, or all on latency only.
struct other {
    std::string label;
    int exe;
};
struct setup {
    bool latency_only = false;
    bool small_only = false;
    int exe = -1;
    std::vector<other> others;
};

// False (said) on a bad argument.
bool parse_args(int argc, char** argv, setup* st)
{
    st->latency_only = argc > 1 && strcmp(argv[1], "--latency") == 0;
    st->small_only = argc > 1 && strcmp(argv[1], "--small") == 0;
    if (st->latency_only || st->small_only) {
        argv++;
        argc--;
    }
    const char* daemon = argc > 1 ? argv[1] : "build/tessarind";
    st->exe = open(daemon, O_PATH | O_CLOEXEC);
    if (st->exe < 0) {
        fprintf(stderr, "tessarind-bench: %s: %s\n", daemon, strerror(errno));
        return false;
    }
    for (int i = 2; i < argc && st->others.size() < MAX_OTHERS; i++) {
        const char* eq = strrchr(argv[i], '=');
        const int fd = eq ? open(eq + 1, O_PATH | O_CLOEXEC) : -1;
        if (fd < 0) {
            fprintf(stderr, "tessarind-bench: %s: want LABEL=DAEMON, an existing file\n", argv[i]);
            return false;
        }
        st->others.push_back({std::string(argv[i], (size_t)(eq - argv[i])), fd});
    }
    return true;
}

// The data: a 64 MiB file for whole-file runs, a 16 MiB one for the bulk
// clients, a 1 MiB one for first loads, all under one key.
struct bench_data {
    unsigned char key[20];
    std::string key_text;
    size_t big_size = 64u << 20;
    std::string big = "/tmp/tessarind-bench-64m", bulk = "/tmp/tessarind-bench-16m",
                small = "/tmp/tessarind-bench-1m";
};

bool make_data(bench_data* d)
{
    std::mt19937 rng(11);
    for (auto& b : d->key)
        b = (unsigned char)rng();
    d->key_text = client_base64_encode(d->key, sizeof d->key);
    std::vector<unsigned char> buf(d->big_size);
    for (auto& b : buf)
        b = (unsigned char)rng();
    if (!write_file(d->big, buf, d->big_size) || !write_file(d->bulk, buf, 16 << 20) ||
        !write_file(d->small, buf, 1 << 20)) {
        perror("tessarind-bench: writing data");
        return false;
    }
    return true;
}

void remove_data(const bench_data& d)
{
    unlink(d.big.c_str());
    unlink(d.bulk.c_str());
    unlink(d.small.c_str());
}

// Rounds in turn, every daemon in each, so that a slower spell of the
// machine slows all alike.
void measure_all_latency(const setup& st, const bench_data& d)
{
    std::vector<latency_runs> lat{{"measured build", st.exe, {}, {}}};
    const size_t compared = st.latency_only ? st.others.size() : std::min<size_t>(1, st.others.size());
    for (size_t i = 0; i < compared; i++)
        lat.push_back({st.others[i].label, st.others[i].exe, {}, {}});
    for (int round = 0; round < LATENCY_ROUNDS; round++)
        for (auto& l : lat) {
            const pid_t pid = sandbox_start_daemon(l.exe);
            if (pid < 0)
                continue;
            latency idle{}, loaded{};
            measure_latency(d.bulk, d.small, d.key_text, &idle, &loaded);
            sandbox_stop_daemon(pid);
            l.idle.push_back(idle);
            l.loaded.push_back(loaded);
        }
    print_latency(lat);
}

// Each run measures every figure once, back to back. Leaves the measured
// daemon of the last run running: its pid, or -1 (said) if one did not
// start.
pid_t run_samples(const setup& st, const bench_data& d, std::vector<sample>* runs, long* idle_rss)
{
    cipher_bench cb(d.key);
    pid_t pid = -1;
    for (auto& s : *runs) {
        measure_cipher(&cb, d.key, &s);
        for (size_t i = 0; i < st.others.size(); i++) {
            const pid_t other_pid = sandbox_start_daemon(st.others[i].exe);
            s.other_one[i] = other_pid < 0 ? 0 : concurrent_mbs(1, d.big, d.key_text, d.big_size);
            if (other_pid >= 0)
                sandbox_stop_daemon(other_pid);
        }
        pid = sandbox_start_daemon(st.exe);
        if (pid < 0) {
            fprintf(stderr, "tessarind-bench: the daemon did not start\n");
            return -1;
        }
        *idle_rss = sandbox_proc_status(pid, "VmRSS");
        s.one = concurrent_mbs(1, d.big, d.key_text, d.big_size);
        s.two = concurrent_mbs(2, d.big, d.key_text, d.big_size);
        s.first_load_rps = per_second(200, [&] { fetch(CMD_DECRYPT_CHUNK, d.small, d.key_text); });
        s.ping_rps = per_second(1000, [] {
            std::string pong;
            client_request(CMD_PING, "", "", 2000, &pong);
        });
        if (&s != &runs->back())
            sandbox_stop_daemon(pid);
    }
    return pid;
}

void print_report(const std::vector<sample>& runs, const std::vector<other>& others, long peak_rss, long idle_rss)
{
    auto med = [&](auto field) {
        std::vector<double> v;
        for (const auto& s : runs)
            v.push_back(field(s));
        return median(v);
    };
    const double step = med([](const sample& s) { return s.step; });
    const double multi = med([](const sample& s) { return s.multi; });
    const double openssl = med([](const sample& s) { return s.openssl; });
    const double one = med([](const sample& s) { return s.one; });

    printf("machine: %u cores; %d runs, medians; ratios are medians of per-run ratios\n",
           std::thread::hardware_concurrency(), RUNS);
    printf("build measured: %s\n", TESSARIND_BUILD_INFO);
    printf("cipher, one 262144-byte load, 20-byte key:\n");
    printf("  block step (cA87315c_8)      %8.1f MB/s\n", step);
    printf("  multi-block path             %8.1f MB/s   %.2fx the block step\n", multi,
           med([](const sample& s) { return s.multi / s.step; }));
    if (openssl > 0)
        printf("  OpenSSL BF_ecb_encrypt       %8.1f MB/s   multi-block is %.2fx OpenSSL\n", openssl,
               med([](const sample& s) { return s.multi / s.openssl; }));
    else
        printf("  OpenSSL                      not built in (libssl-dev absent)\n");
    printf("  key schedule                 %8.1f us\n", med([](const sample& s) { return s.schedule_us; }));
    printf("end to end, through the daemon and real FIFOs:\n");
    printf("  whole file, 64 MiB, 1 client   %8.1f MB/s   %.2fx the in-process multi-block path\n", one,
           med([](const sample& s) { return s.one / s.multi; }));
    if (openssl > 0)
        printf("                                               %.2fx in-process OpenSSL\n",
               med([](const sample& s) { return s.one / s.openssl; }));
    printf("  whole file, 64 MiB, 2 clients  %8.1f MB/s   %.2fx one client (aggregate)\n",
           med([](const sample& s) { return s.two; }), med([](const sample& s) { return s.two / s.one; }));
    printf("  first-load requests            %8.0f /s\n", med([](const sample& s) { return s.first_load_rps; }));
    printf("  ping round trips               %8.0f /s\n", med([](const sample& s) { return s.ping_rps; }));
    printf("  peak RSS, 32 transfers         %8.1f MiB above the idle daemon (%ld KiB idle)\n",
           (double)(peak_rss - idle_rss) / 1024, idle_rss);
    for (size_t i = 0; i < others.size(); i++) {
        printf("other build: %s\n", others[i].label.c_str());
        printf("  whole file, 64 MiB, 1 client   %8.1f MB/s   %.2fx in-process OpenSSL; the measured build is %.2fx this\n",
               med([&](const sample& s) { return s.other_one[i]; }),
               openssl > 0 ? med([&](const sample& s) { return s.other_one[i] / s.openssl; }) : 0.0,
               med([&](const sample& s) { return s.one / s.other_one[i]; }));
    }
}

}  // namespace

// Usage: tessarind-bench [--latency | --small] DAEMON [LABEL=DAEMON ...].
// The first daemon is measured in full; each other one (another build of
// it) on the one-client whole-file figure, in the same runs, and the first
// other one also on short requests and under bulk load. --latency measures
// only short requests under bulk load, --small only the short-request
// table, for every daemon given.
int main(int argc, char** argv)
{
    setup st;
    if (!parse_args(argc, argv, &st))
        return 1;
    if (!sandbox_private_tmp("tessarind-bench"))
        return 1;
    signal(SIGPIPE, SIG_IGN);
    bench_data d;
    if (!make_data(&d))
        return 1;
    std::vector<bench_daemon> small{{"measured build", st.exe}};
    for (size_t i = 0; i < st.others.size() && (st.small_only || i < 1); i++)
        small.push_back({st.others[i].label, st.others[i].exe});
    if (st.latency_only || st.small_only) {
        if (st.latency_only)
            measure_all_latency(st, d);
        else
            measure_small_requests(small);
        remove_data(d);
        return 0;
    }
    std::vector<sample> runs(RUNS);
    long idle_rss = 0;
    const pid_t pid = run_samples(st, d, &runs, &idle_rss);
    if (pid < 0) {
        remove_data(d);
        return 1;
    }
    const long peak_rss = peak_with_32_transfers(pid, d.big, d.key_text);
    print_report(runs, st.others, peak_rss, idle_rss);
    sandbox_stop_daemon(pid);
    measure_small_requests(small);
    measure_all_latency(st, d);
    remove_data(d);
    return 0;
}
