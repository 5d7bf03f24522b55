// SPDX-License-Identifier: MIT
// Runs the real daemon for end-to-end tests. Each test gets a private /tmp
// (a mount namespace, which needs root; without it every daemon test skips),
// so the fixed public FIFO path never collides with another test or with a
// daemon already on the machine.
#pragma once

#include <cerrno>

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "client/client.h"

// Polls cond every 10 ms until it holds (true) or timeout_ms have passed
// (false).
template <typename F>
bool wait_until(int timeout_ms, F cond)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Called once from main, before any test: opens the programs and enters a
// private mount namespace if the machine allows it.
void harness_init();

struct daemon_proc {
    pid_t pid = -1;
    std::string out_path, err_path;
    ~daemon_proc();  // kills a daemon still running, even after a failed assertion
};

// Starts the daemon with args; its stdout and stderr go to files (stderr to
// err_fd instead, when given).
bool daemon_spawn(daemon_proc* d, const std::vector<std::string>& args, int err_fd = -1);
// Spawns, then waits until it reads the public FIFO (opening it once as a
// writer, which is what lets the daemon's start-up go on).
bool daemon_start(daemon_proc* d, const std::vector<std::string>& args = {"-d"}, int err_fd = -1);
// Exit status (as from waitpid), or -1 when it did not end in time.
int daemon_wait(daemon_proc* d, int timeout_ms);
void daemon_kill(daemon_proc* d);
std::string daemon_out(const daemon_proc* d);
// Standard error without the warning that a daemon run as root (as the
// tests run it) prints first; daemon_err_whole keeps it.
// Whether the tests may act as other users (4242, 4343, nobody): as root,
// or in a user namespace of our own with subordinate ids mapped.
bool harness_other_users();
#define SKIP_WITHOUT_OTHER_USERS(what)                                                                   \
    if (!harness_other_users())                                                                          \
    GTEST_SKIP() << what << ": no other uids here (run as root, or as a user with subordinate ids in "      \
                            "/etc/subuid and uidmap installed)"
extern const char ROOT_WARNING[];
std::string daemon_err(const daemon_proc* d);
std::string daemon_err_whole(const daemon_proc* d);
// Waits until stdout (or stderr) holds needle `count` times.
bool daemon_wait_output(const daemon_proc* d, const std::string& needle, int timeout_ms, int count = 1,
                        bool err = false);
int daemon_fd_count(const daemon_proc* d);
// The daemon's threads while it serves nothing: the main thread, the
// helpers and a sanitizer's own.
long daemon_idle_threads(const daemon_proc* d);
// Waits until every worker has ended (the daemon is down to its idle
// threads); false after timeout_ms.
bool daemon_wait_idle(const daemon_proc* d, int timeout_ms);
// Waits until the daemon holds path open for writing (a reply FIFO, say).
bool daemon_wait_writing(const daemon_proc* d, const std::string& path, int timeout_ms);
// True when any of needles stands in the daemon's writable memory.
bool daemon_memory_holds(const daemon_proc* d, const std::vector<std::string>& needles);

// daemon_start, as on kernels without openat2 unless openat2 is set.
bool daemon_start_openat2(daemon_proc* d, bool openat2, const std::vector<std::string>& args = {"-d"},
                          int err_fd = -1);

// daemon_start with tests/faults.cpp preloaded, making the faults named in
// `faults` ("buffers", "short-reads"). The shim was read at start-up: the
// build tree may be hidden by the private /tmp.
bool daemon_start_faulty(daemon_proc* d, const std::string& faults, const std::vector<std::string>& args = {"-d"},
                         int err_fd = -1);
// The same, without waiting for it to serve: for faults that end its start.
bool daemon_spawn_faulty(daemon_proc* d, const std::string& faults, const std::vector<std::string>& args);

// Whether the daemon answers a ping with "OK" (it goes on serving),
// waiting for it as long as a loaded machine may need.
bool daemon_pings();
// The errno of a call that returned -1 as the client library's calls fail;
// 0 when it succeeded.
inline int failure(int rc)
{
    return rc < 0 ? errno : 0;
}

// A reply FIFO of the test's own: closed and removed when it goes, also
// after a failed assertion, or earlier with close(). Move-only.
class reply_fifo {
public:
    reply_fifo() { forget(); }
    reply_fifo(reply_fifo&& o) noexcept : r(o.r) { o.forget(); }
    reply_fifo(const reply_fifo&) = delete;
    reply_fifo& operator=(const reply_fifo&) = delete;
    ~reply_fifo() { client_reply_close(&r); }
    // Made and, with listen, opened for reading; false with errno.
    bool open(bool listen = true) { return client_reply_open(&r, listen); }
    bool listen() { return client_reply_listen(&r); }
    void close() { client_reply_close(&r); }
    client_reply* get() { return &r; }
    const char* path() const { return r.path; }
    int& fd() { return r.fd; }

private:
    void forget()
    {
        r.fd = -1;
        r.dir[0] = r.path[0] = '\0';
    }
    client_reply r;
};

// Reads about one load of r's reply, then stops: a client that goes away
// mid-transfer. What it read.
std::string read_one_load(reply_fifo* r);

// Builds a whole record and sends it to the public FIFO; true once sent.
bool request_send(unsigned char command, const std::string& reply_path, const std::string& file = "",
                  const std::string& key = "");

// Runs the command-line client (under TESSARIND_WRAPPER when wrap is set);
// returns its exit status, output in *out.
int client_run(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr,
               const std::string& input = "", bool wrap = false);

// Runs the command-line client with a terminal as its standard error;
// what it showed there in *screen. Its wait status.
int client_run_on_terminal(const std::vector<std::string>& args, std::string* screen);

// Runs python3 with args and the source tree's module on its path (under
// TESSARIND_WRAPPER when wrap is set); its exit status, output in *out.
// python_available: whether the build found a Python 3.
bool python_available();
int python_run(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr,
               bool wrap = false);

// Runs tessarind-clear-fifo, as the socket does before it listens (under
// TESSARIND_WRAPPER when wrap is set); its exit status, standard error in
// *err.
int clear_fifo_run(std::string* err, bool wrap = false);

bool path_exists(const std::string& path);
std::string file_read(const std::string& path);
bool file_write(const std::string& path, const std::string& data);
size_t count_of(const std::string& haystack, const std::string& needle);
std::string random_bytes(size_t n, unsigned seed);
std::string base64_encode(const std::string& bytes);
// Encrypts whole blocks under key (any length), the tail as it is.
std::string encrypt_bytes(const std::string& plain, const std::string& key);

// ThreadSanitizer's runtime runs a thread of its own in every process.
#ifdef __SANITIZE_THREAD__
constexpr long SANITIZER_THREADS = 1;
#else
constexpr long SANITIZER_THREADS = 0;
#endif

// ThreadSanitizer runs a signal handler only when the interrupted call
// returns; a daemon blocked in open() or read() on its FIFO never gets there.
#ifdef __SANITIZE_THREAD__
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer defers signal handlers past blocking FIFO calls"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

// Base for daemon tests: a private /tmp per test, and the daemon stopped
// after it.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // What a fixture built on this one sets up more, once /tmp is private.
    virtual void prepare() {}
    // A working directory of the test's own.
    std::string dir;
    daemon_proc daemon;
};
