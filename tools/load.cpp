// SPDX-License-Identifier: MIT
// tessarind-load: many concurrent clients, careless and hostile ones among
// them, against a daemon of its own; checks every reply byte for byte and
// that the daemon ends every round as it started (descriptors, threads, RSS).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "client/client.h"
#include "crypto/crypto.h"
#include "tools/sandbox.h"

namespace {

struct settings {
    int clients = 64;
    int rounds = 20;
    unsigned seed = 0;
    const char* daemon = "build/tessarind";
    long max_rss_growth = 1024;  // KiB, of the RSS floor (see rounds_result)
};

struct data_file {
    std::string path, key_text, plain;
};

struct totals {
    std::atomic<long> served{0}, bytes{0}, faults{0}, mismatches{0};
};

// Clients whose reply FIFO stays closed until the round's end, when the
// driver opens it so the blocked worker can finish.
struct stalled {
    std::mutex lock;
    std::vector<client_reply> replies;
};

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void check(totals* t, bool ok, const char* what, int client)
{
    if (ok) {
        t->served++;
        return;
    }
    t->mismatches++;
    fprintf(stderr, "tessarind-load: client %d: %s\n", client, what);
}

// Sends a record naming r's FIFO, for clients that do not read the reply.
bool send_record(const client_reply& r, unsigned char cmd, const data_file& f)
{
    unsigned char rec[RECORD_SIZE];
    return client_record_build(rec, cmd, r.path, f.path.c_str(), f.key_text.c_str()) &&
           client_send(rec, RECORD_SIZE, 5000) == 0;
}

// One kind of client: f is a file picked for it, big the largest.
struct client_run {
    int id;
    std::mt19937* rng;
    const data_file* f;
    const data_file* big;
    totals* t;
    stalled* st;
};

void ping_client(const client_run& c)
{
    std::string got;
    check(c.t, client_request(CMD_PING, "", "", 5000, &got) == 0 && got == "OK", "ping", c.id);
}

void whole_file_client(const client_run& c)
{
    std::string got;
    check(c.t, client_request(CMD_DECRYPT_FILE, c.f->path.c_str(), c.f->key_text.c_str(), 5000, &got) == 0 &&
                   got == c.f->plain,
          "whole file", c.id);
    c.t->bytes += (long)got.size();
}

void first_load_client(const client_run& c)
{
    std::string got;
    check(c.t, client_request(CMD_DECRYPT_CHUNK, c.f->path.c_str(), c.f->key_text.c_str(), 5000, &got) == 0 &&
                   got == c.f->plain.substr(0, LOAD_SIZE),
          "first load", c.id);
    c.t->bytes += (long)got.size();
}

// Vanishes mid-transfer.
void vanishing_client(const client_run& c)
{
    std::string got;
    client_exchange(
        CMD_DECRYPT_FILE, c.big->path.c_str(), c.big->key_text.c_str(), 5000,
        [](void* ctx, const unsigned char* d, size_t n) {
            return client_append(ctx, d, n) && ((std::string*)ctx)->size() < 100000;
        },
        &got);
    c.t->faults++;
}

// Never opens its reply FIFO: the ping gives up after five tries.
void never_reading_client(const client_run& c)
{
    client_reply r;
    if (client_reply_open(&r, false))
        send_record(r, CMD_PING, data_file{});
    client_reply_close(&r);
    c.t->faults++;
}

// Opens late: the ping succeeds on a later attempt, a transfer waits.
void late_client(const client_run& c)
{
    const bool ping = (*c.rng)() % 2;
    std::string got;
    client_exchange_options late;
    late.listen_after_ms = 1200;
    const int s = client_exchange(ping ? CMD_PING : CMD_DECRYPT_FILE, c.f->path.c_str(), c.f->key_text.c_str(), 5000,
                                  client_append, &got, late);
    check(c.t, s == 0 && got == (ping ? std::string("OK") : c.f->plain), "late reader", c.id);
    if (!ping)
        c.t->bytes += (long)got.size();
}

// A transfer whose reader comes only at the round's end.
void stalled_client(const client_run& c)
{
    client_reply r;
    if (client_reply_open(&r, false) && send_record(r, CMD_DECRYPT_FILE, *c.f)) {
        std::lock_guard<std::mutex> g(c.st->lock);
        c.st->replies.push_back(r);
    } else {
        client_reply_close(&r);
    }
    c.t->faults++;
}

void unknown_command_client(const client_run& c)
{
    std::string rec(RECORD_SIZE, '\0');
    rec[0] = (char)((*c.rng)() % 2 ? 7 : 200);
    client_send(rec.data(), RECORD_SIZE, 5000);
    c.t->faults++;
}

// Fields without NUL.
void unterminated_client(const client_run& c)
{
    std::string rec(RECORD_SIZE, 'A');
    rec[0] = (char)((*c.rng)() % 2 ? CMD_PING : CMD_DECRYPT_CHUNK);
    client_send(rec.data(), RECORD_SIZE, 5000);
    c.t->faults++;
}

// The mix: careful clients twice as often as each careless or hostile one.
void (*const client_kinds[])(const client_run&) = {
    ping_client,     ping_client,  whole_file_client, whole_file_client,      first_load_client,   vanishing_client,
    never_reading_client, late_client, stalled_client, unknown_command_client, unterminated_client,
};

void one_client(int id, std::mt19937& rng, const std::vector<data_file>& files, totals* t, stalled* st)
{
    const client_run c{id, &rng, &files[rng() % files.size()], &files.back(), t, st};
    client_kinds[rng() % std::size(client_kinds)](c);
}

// Short records share the FIFO's byte stream with everyone's records: one
// read can then take the end of one and the start of the next. They are sent
// on their own, after the round's clients, each once the daemon has read the
// one before.
void send_short_records(std::mt19937& rng, int count, totals* t)
{
    for (int i = 0; i < count; i++) {
        std::string rec(RECORD_SIZE, '\0');
        rec[0] = (char)(rng() % 2 ? CMD_PING : 9);
        client_send(rec.data(), 1 + rng() % (RECORD_SIZE - 1), 5000);
        t->faults++;
        pause_ms(20);
    }
}

// Lets each stalled worker through (its open returns), then leaves: the
// worker's write fails and it ends.
void release_stalled(stalled* st)
{
    for (auto& r : st->replies) {
        client_reply_listen(&r);
        client_reply_close(&r);
    }
    st->replies.clear();
}

// The daemon's thread count once it has not changed for a second.
long settled_threads(pid_t pid)
{
    long last = -1;
    for (int same = 0, polls = 0; same < 20 && polls < 400; polls++) {
        const long now = sandbox_proc_status(pid, "Threads");
        same = now == last ? same + 1 : 0;
        last = now;
        pause_ms(50);
    }
    return last;
}

// Waits until the daemon's thread count is back to `threads`.
bool wait_quiet(pid_t pid, long threads, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (sandbox_proc_status(pid, "Threads") == threads)
            return true;
        pause_ms(50);
    }
    return false;
}

int usage()
{
    fputs("usage: tessarind-load [-c CLIENTS] [-r ROUNDS] [--seed N] [--daemon PATH] [--max-rss-growth KIB]\n"
          "Starts its own daemon (in a private /tmp when run as root) and drives it\n"
          "with CLIENTS concurrent clients for ROUNDS (3 or more) rounds. It fails when\n"
          "the daemon's lowest RSS after a round, in the second half of the rounds,\n"
          "exceeds that of the first half (from round 2) by KIB or more (1024).\n",
          stderr);
    return 2;
}

// False on a usage error.
bool parse_settings(int argc, char** argv, settings* s)
{
    s->seed = std::random_device{}();
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return false;
        if (a == "-c")
            s->clients = atoi(argv[++i]);
        else if (a == "-r")
            s->rounds = atoi(argv[++i]);
        else if (a == "--seed")
            s->seed = (unsigned)strtoul(argv[++i], nullptr, 10);
        else if (a == "--max-rss-growth")
            s->max_rss_growth = strtol(argv[++i], nullptr, 10);
        else if (a == "--daemon")
            s->daemon = argv[++i];
        else
            return false;
    }
    return s->clients >= 1 && s->rounds >= 3;
}

// Encrypted files of sizes around the block and load bounds, each with a key
// of its own, in dir. False (said) on failure.
bool make_data_files(std::mt19937& rng, const char* dir, std::vector<data_file>* files)
{
    for (size_t size : {(size_t)0, (size_t)8, (size_t)1003, LOAD_SIZE, LOAD_SIZE + 17, 3 * LOAD_SIZE + 5}) {
        data_file f;
        unsigned char key[20];
        for (auto& b : key)
            b = (unsigned char)rng();
        f.key_text = client_base64_encode(key, sizeof key);
        f.plain.resize(size);
        for (auto& c : f.plain)
            c = (char)rng();
        std::string cipher = f.plain;
        thei99_dsa ctx;
        cA87315c_start(&ctx, 1, key, 20);
        crypto_blocks(&ctx, (const unsigned char*)cipher.data(), (unsigned char*)cipher.data(), size & ~(size_t)7);
        f.path = std::string(dir) + "/data" + std::to_string(size);
        FILE* out = fopen(f.path.c_str(), "wb");
        if (!out || fwrite(cipher.data(), 1, cipher.size(), out) != cipher.size() || fclose(out) != 0) {
            perror("writing data files");
            return false;
        }
        files->push_back(f);
    }
    return true;
}

// What the rounds leave: the daemon's RSS floor (its lowest after a round) in
// the first half of the rounds, from round 2, and in the second half, and
// whether it was quiet after each. Floors, not single samples: after a
// round the RSS moves by megabytes either way, with what the allocator's
// arenas happen to keep, while a leak raises the floor.
struct rounds_result {
    long rss_early = LONG_MAX, rss_late = LONG_MAX;
    int late_from = 0;  // the first round of the second half, from 0
    bool quiet = true;
};

// Rounds of concurrent clients; after each, the daemon must be quiet again.
rounds_result run_rounds(const settings& s, std::mt19937& rng, const std::vector<data_file>& files, pid_t pid,
                         long threads_start, totals* t)
{
    rounds_result r;
    r.late_from = 1 + (s.rounds - 1) / 2;
    stalled st;
    for (int round = 0; round < s.rounds; round++) {
        std::vector<std::thread> clients;
        std::vector<unsigned> seeds;
        for (int c = 0; c < s.clients; c++)
            seeds.push_back((unsigned)rng());
        for (int c = 0; c < s.clients; c++)
            clients.emplace_back([&, c] {
                std::mt19937 cr(seeds[(size_t)c]);
                one_client(c, cr, files, t, &st);
            });
        for (auto& c : clients)
            c.join();
        send_short_records(rng, 1 + s.clients / 16, t);
        release_stalled(&st);
        // Workers whose client never came give up after five seconds.
        r.quiet = wait_quiet(pid, threads_start, 15000) && r.quiet;
        const long rss = sandbox_proc_status(pid, "VmRSS");
        long* floor = round < r.late_from ? &r.rss_early : &r.rss_late;
        if (round > 0)
            *floor = std::min(*floor, rss);
    }
    return r;
}

// Init: a private /tmp if we may, so no daemon on the machine is touched;
// the data files in dir; the daemon. 0, or the exit status (77: skipped).
int start(const settings& s, std::mt19937& rng, char* dir, std::vector<data_file>* files, pid_t* pid)
{
    const int exe = open(s.daemon, O_PATH | O_CLOEXEC);
    if (exe < 0) {
        fprintf(stderr, "tessarind-load: %s: %s\n", s.daemon, strerror(errno));
        return 1;
    }
    if (!sandbox_private_tmp("tessarind-load"))
        return 77;  // skipped
    signal(SIGPIPE, SIG_IGN);
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    if (!make_data_files(rng, dir, files))
        return 1;
    *pid = sandbox_start_daemon(exe);
    if (*pid < 0) {
        fprintf(stderr, "tessarind-load: the daemon did not start\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    settings s;
    if (!parse_settings(argc, argv, &s))
        return usage();
    printf("tessarind-load: seed %u (replay with --seed)\n", s.seed);

    std::mt19937 rng(s.seed);
    char dir[] = "/tmp/tessarind-load-XXXXXX";
    std::vector<data_file> files;
    pid_t pid;
    const int status_at_start = start(s, rng, dir, &files, &pid);
    if (status_at_start != 0)
        return status_at_start;
    // The idle daemon after one request: its main thread, and any that a
    // sanitizer runtime starts on first use.
    std::string pong;
    client_request(CMD_PING, "", "", 5000, &pong);
    const long threads_start = settled_threads(pid);
    const int fds_start = sandbox_fd_count(pid);

    totals t;
    const rounds_result r = run_rounds(s, rng, files, pid, threads_start, &t);

    // Finish: alive, and back where it started.
    pong.clear();
    const bool alive = client_request(CMD_PING, "", "", 5000, &pong) == 0 && pong == "OK";
    wait_quiet(pid, threads_start, 5000);
    const int fds_end = sandbox_fd_count(pid);
    const long threads_end = sandbox_proc_status(pid, "Threads");
    const int status = sandbox_stop_daemon(pid);
    for (const auto& f : files)
        unlink(f.path.c_str());
    rmdir(dir);

    printf("tessarind-load: %d clients x %d rounds: %ld requests served, %ld bytes verified, %ld faults injected, "
           "%ld mismatches, fds %d -> %d, threads %ld -> %ld, RSS floor %ld KiB in rounds 2-%d -> %ld KiB in rounds "
           "%d-%d (%+ld KiB)\n",
           s.clients, s.rounds, t.served.load(), t.bytes.load(), t.faults.load(), t.mismatches.load(), fds_start,
           fds_end, threads_start, threads_end, r.rss_early, r.late_from, r.rss_late, r.late_from + 1, s.rounds,
           r.rss_late - r.rss_early);
    const bool ok = alive && r.quiet && t.mismatches == 0 && fds_end == fds_start && threads_end == threads_start &&
                    r.rss_late - r.rss_early < s.max_rss_growth && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok)
        fprintf(stderr, "tessarind-load: FAILED (alive %d, quiet %d, exit status %d)\n", alive, r.quiet, status);
    return ok ? 0 : 1;
}
