// SPDX-License-Identifier: MIT
// The daemon under pressure: termination while transfers run, and the
// scenario that make check-valgrind runs under memcheck.
#include <atomic>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "tests/harness.h"

namespace {

// A client that reads its reply slowly, so its transfer stays in flight.
struct slow_client {
    reply_fifo r;
    std::string got;
    std::atomic<bool> ended{false};
    int status = -1;
};

bool slow_sink(void* ctx, const unsigned char* d, size_t n)
{
    usleep(2000);
    return client_append(ctx, d, n);
}

}  // namespace

TEST_F(DaemonTest, TerminationSignalsDuringEightTransfers)
{
    SKIP_UNDER_TSAN();
    const std::string key = random_bytes(20, 40);
    const std::string file = dir + "/big";
    ASSERT_TRUE(file_write(file, encrypt_bytes(random_bytes(16 * LOAD_SIZE, 41), key)));
    const std::string text = base64_encode(key);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig);
        daemon_proc d;
        // Eight CPUs, as far as the daemon knows: its helpers serve several
        // transfers at once, whatever this machine has.
        ASSERT_TRUE(daemon_start_faulty(&d, "eight-cpus", {"-d"}));
        std::vector<slow_client> clients(8);
        std::vector<std::thread> threads;
        for (auto& c : clients) {
            ASSERT_TRUE(c.r.open());
            ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, c.r.path(), file, text.c_str()));
            threads.emplace_back([&c] {
                c.status = client_read_reply(c.r.get(), 10000, slow_sink, &c.got);
                c.ended = true;
            });
        }
        for (auto& c : clients)  // all eight have their reply FIFO open and are writing
            ASSERT_TRUE(daemon_wait_output(&d, "e20: " + std::string(c.r.path()) + "\n", 5000));
        ASSERT_TRUE(daemon_wait_output(&d, "e31 ", 5000, 8));
        kill(d.pid, sig);
        const int status = daemon_wait(&d, 5000);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
        for (auto& t : threads)
            t.join();  // a hanging client would hold the test here until its timeout
        for (auto& c : clients) {
            EXPECT_EQ(c.status, 0);  // end of file, not a timeout
            EXPECT_LT(c.got.size(), 16 * LOAD_SIZE);
            c.r.close();
        }
        daemon_kill(&d);
    }
}

// make check-valgrind runs this with the daemon under memcheck, which then
// ends with status 99 on any invalid access or definite leak.
// A stopped daemon told to end and then continued (what systemctl restart
// does to one) ends before it reads another record: every record waiting
// in the socket's FIFO is the next daemon's. With seven helpers, a thread
// other than the main one would often take the signal while the main
// thread read on.
TEST_F(DaemonTest, StoppedDaemonEndedLeavesEveryRecordWaiting)
{
#ifndef TESSARIND_SYSTEMD
    GTEST_SKIP() << "the daemon is built without libsystemd (libsystemd-dev): no socket activation";
#endif
    SKIP_UNDER_TSAN();
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0620), 0);
    const int fifo = open(PUBLIC_FIFO_PATH, O_RDWR | O_NONBLOCK | O_CLOEXEC);  // as systemd holds it
    ASSERT_GE(fifo, 0);
    setenv("TESSARIND_LISTEN_FD", std::to_string(fifo).c_str(), 1);
    int sent = 0, served = 0;
    for (int round = 0; round < 5; round++) {
        ASSERT_TRUE(daemon_start_faulty(&daemon, "eight-cpus", {}));
        ASSERT_TRUE(daemon_pings());
        kill(daemon.pid, SIGSTOP);
        std::vector<reply_fifo> pings(20);
        for (auto& r : pings) {
            ASSERT_TRUE(r.open());
            ASSERT_TRUE(request_send(CMD_PING, r.path()));
        }
        kill(daemon.pid, SIGTERM);
        kill(daemon.pid, SIGCONT);
        EXPECT_GE(daemon_wait(&daemon, 10000), 0);
        ASSERT_TRUE(daemon_start_faulty(&daemon, "eight-cpus", {}));
        for (auto& r : pings) {
            std::string got;
            served += client_read_reply(r.get(), 5000, client_append, &got) == 0 && got == "OK";
            sent++;
        }
        daemon_kill(&daemon);
    }
    unsetenv("TESSARIND_LISTEN_FD");
    EXPECT_EQ(served, sent);
    close(fifo);
}

TEST_F(DaemonTest, ValgrindScenario)
{
    ASSERT_TRUE(daemon_start(&daemon, {"-d"}));
    EXPECT_TRUE(daemon_pings());
    const std::string key = random_bytes(20, 42);
    const std::string plain = random_bytes(2 * LOAD_SIZE + 13, 43);
    const std::string file = dir + "/data";
    ASSERT_TRUE(file_write(file, encrypt_bytes(plain, key)));
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), base64_encode(key).c_str(), 10000, &got), 0);
    EXPECT_TRUE(got == plain);

    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), file, base64_encode(key).c_str()));
    ASSERT_TRUE(daemon_wait_output(&daemon, "e20: " + std::string(r.path()) + "\n", 10000));
    r.close();  // gone mid-transfer
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 10000, 3));

    EXPECT_EQ(client_request(CMD_EXIT, "", "", 10000, &got), 0);
    const int status = daemon_wait(&daemon, 20000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << daemon_err(&daemon);
    if (getenv("TESSARIND_WRAPPER")) {
        EXPECT_NE(daemon_err(&daemon).find("ERROR SUMMARY: 0 errors"), std::string::npos) << daemon_err(&daemon);
    }
}
