// SPDX-License-Identifier: MIT
// The daemon's start-up, request loop, ping, exit and signals, end to end.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "tests/harness.h"

namespace {

const std::string banner = "tessarind Version 1.19\n\n";

bool exited_with(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string ping_trace(const std::string& reply_path)
{
    return "\ne8 1\ne17..\nt60\nt64\nt70:  " + reply_path + "\nt80\n\n";
}

// Sends a record naming r's FIFO and reads the reply.
client_status send_and_read(client_reply* r, unsigned char command, std::string* reply, int timeout_ms = 3000)
{
    unsigned char rec[RECORD_SIZE];
    if (!client_record_build(rec, command, r->path, "", ""))
        return CLIENT_FAILED;
    const client_status s = client_send(rec, RECORD_SIZE, timeout_ms);
    if (s != CLIENT_OK)
        return s;
    return client_read_reply(
        r, timeout_ms,
        [](void* ctx, const unsigned char* d, size_t n) {
            ((std::string*)ctx)->append((const char*)d, n);
            return true;
        },
        reply);
}

}  // namespace

TEST_F(DaemonTest, VersionBannerBeforeAnythingElse)
{
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {{{"-a"}, banner}, {{"-d", "-a"}, "e3.\n" + banner}, {{"-a", "-d"}, banner}};
    for (const auto& c : cases) {
        daemon_proc d;
        ASSERT_TRUE(daemon_spawn(&d, c.args));
        EXPECT_TRUE(exited_with(daemon_wait(&d, 5000), 0));
        EXPECT_EQ(daemon_out(&d), c.out);
        EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    }
}

TEST_F(DaemonTest, PingThenExitWithExactTraces)
{
    ASSERT_TRUE(daemon_start(&daemon, {"-d", "-x"}));  // unknown options are ignored
    client_reply r;
    ASSERT_TRUE(client_reply_open(&r));
    std::string reply;
    EXPECT_EQ(send_and_read(&r, CMD_PING, &reply), CLIENT_OK);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    const std::string ping_path = r.path;
    client_reply_close(&r);

    ASSERT_TRUE(client_reply_open(&r));
    reply.clear();
    EXPECT_EQ(send_and_read(&r, CMD_EXIT, &reply), CLIENT_OK);
    EXPECT_EQ(reply, "BYE");
    client_reply_close(&r);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    EXPECT_EQ(daemon_out(&daemon),
              "e3.\ne6...\ne7\n" + ping_trace(ping_path) + "\ne8 2\ne9\ne12\ne13..\n");
    EXPECT_EQ(daemon_err(&daemon), "");
}

TEST_F(DaemonTest, WithoutTracingNothingIsPrinted)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    std::string reply;
    EXPECT_EQ(client_request(CMD_PING, "", "", 3000, &reply), CLIENT_OK);
    EXPECT_EQ(reply, "OK");
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &reply), CLIENT_OK);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_EQ(daemon_out(&daemon), "");
    EXPECT_EQ(daemon_err(&daemon), "");
}

TEST_F(DaemonTest, LateReaderGetsOkAfterThreeAttempts)
{
    ASSERT_TRUE(daemon_start(&daemon));
    client_reply r;
    ASSERT_TRUE(client_reply_open(&r, false));
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_PING, r.path, "", ""));
    ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), CLIENT_OK);
    usleep(2500 * 1000);
    ASSERT_TRUE(client_reply_listen(&r));
    std::string reply;
    EXPECT_EQ(client_read_reply(
                  &r, 3000,
                  [](void* ctx, const unsigned char* d, size_t n) {
                      ((std::string*)ctx)->append((const char*)d, n);
                      return true;
                  },
                  &reply),
              CLIENT_OK);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "t60\nt61\nt61\nt61\nt64\n"), 1u);
    client_reply_close(&r);
}

TEST_F(DaemonTest, UnreadPingUnknownCommandsAndNonFifoReplies)
{
    ASSERT_TRUE(daemon_start(&daemon));
    for (int command : {7, 255, 4}) {
        client_reply r;
        ASSERT_TRUE(client_reply_open(&r));
        std::string reply;
        EXPECT_EQ(send_and_read(&r, (unsigned char)command, &reply, 500), CLIENT_TIMEOUT) << command;
        EXPECT_EQ(reply, "");
        client_reply_close(&r);
        const std::string e8 = "\ne8 " + std::to_string((int)(signed char)command) + "\ne17..\nt80\n\n";
        EXPECT_EQ(count_of(daemon_out(&daemon), e8), 1u) << daemon_out(&daemon);
    }
    // Nobody ever reads this FIFO; a regular file must never be written.
    client_reply unread;
    ASSERT_TRUE(client_reply_open(&unread, false));
    const std::string plain = dir + "/plain";
    ASSERT_TRUE(file_write(plain, "untouched"));
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_PING, unread.path, "", ""));
    ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), CLIENT_OK);
    ASSERT_TRUE(client_record_build(rec, CMD_PING, plain.c_str(), "", ""));
    ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), CLIENT_OK);
    // Both pings give up after five attempts; the daemon goes on serving.
    ASSERT_TRUE(daemon_wait_output(&daemon, "t61\n", 8000, 10));
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 5));
    std::string reply;
    EXPECT_EQ(client_request(CMD_PING, "", "", 3000, &reply), CLIENT_OK);
    EXPECT_EQ(reply, "OK");
    EXPECT_EQ(file_read(plain), "untouched");
    EXPECT_EQ(count_of(daemon_out(&daemon), "t64\n"), 1u);
    client_reply_close(&unread);
}

TEST_F(DaemonTest, TwoPingsAtOnce)
{
    ASSERT_TRUE(daemon_start(&daemon));
    std::string a, b;
    client_status sa, sb;
    std::thread t1([&] { sa = client_request(CMD_PING, "", "", 3000, &a); });
    std::thread t2([&] { sb = client_request(CMD_PING, "", "", 3000, &b); });
    t1.join();
    t2.join();
    EXPECT_EQ(sa, CLIENT_OK);
    EXPECT_EQ(sb, CLIENT_OK);
    EXPECT_EQ(a, "OK");
    EXPECT_EQ(b, "OK");
}

// A short record is zero-filled: it must not reuse the previous record's
// reply path (nor its file path and key).
TEST_F(DaemonTest, ShortRecordDoesNotInheritThePreviousOne)
{
    ASSERT_TRUE(daemon_start(&daemon));
    client_reply r;
    ASSERT_TRUE(client_reply_open(&r));
    std::string reply;
    EXPECT_EQ(send_and_read(&r, CMD_PING, &reply), CLIENT_OK);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    const unsigned char short_ping = CMD_PING;
    ASSERT_EQ(client_send(&short_ping, 1, 1000), CLIENT_OK);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t61\n", 3000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "t64\n"), 1u);
    client_reply_close(&r);
}

// A record whose fields have no NUL at all: every field is bounded.
TEST_F(DaemonTest, FieldsWithoutNulAreBounded)
{
    ASSERT_TRUE(daemon_start(&daemon));
    std::string rec(RECORD_SIZE, 'A');
    rec[0] = CMD_PING;
    ASSERT_EQ(client_send(rec.data(), RECORD_SIZE, 1000), CLIENT_OK);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t61\n", 3000));
    std::string reply;
    EXPECT_EQ(client_request(CMD_PING, "", "", 3000, &reply), CLIENT_OK);
    EXPECT_EQ(reply, "OK");
}

TEST_F(DaemonTest, ExitWithNobodyReadingStillStops)
{
    ASSERT_TRUE(daemon_start(&daemon));
    client_reply r;
    ASSERT_TRUE(client_reply_open(&r, false));
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_EXIT, r.path, "", ""));
    ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), CLIENT_OK);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 9000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    EXPECT_EQ(count_of(daemon_out(&daemon), "e9\ne10\ne10\ne10\ne10\ne10\ne13..\n"), 1u);
    client_reply_close(&r);
}

TEST_F(DaemonTest, SignalWhileWaitingForTheFirstClient)
{
    SKIP_UNDER_TSAN();
    ASSERT_TRUE(daemon_spawn(&daemon, {"-d"}));
    ASSERT_TRUE(daemon_wait_output(&daemon, "e6...\n", 5000));
    kill(daemon.pid, SIGTERM);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    EXPECT_EQ(daemon_out(&daemon), "e3.\ne6...\ne2 15\n");
}

TEST_F(DaemonTest, TerminationSignalsWhileServing)
{
    SKIP_UNDER_TSAN();
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        daemon_proc d;
        ASSERT_TRUE(daemon_start(&d));
        ASSERT_TRUE(daemon_wait_output(&d, "e7\n", 5000));
        kill(d.pid, sig);
        EXPECT_TRUE(exited_with(daemon_wait(&d, 5000), 0)) << sig;
        EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH)) << sig;
        EXPECT_EQ(count_of(daemon_out(&d), "e2 " + std::to_string(sig) + "\n"), 1u);
    }
}

TEST_F(DaemonTest, PublicFifoIsNotReadableByOthers)
{
    // A fresh FIFO: 0622 before the umask.
    const mode_t old = umask(0);
    ASSERT_TRUE(daemon_start(&daemon));
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(PUBLIC_FIFO_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0622u);
    daemon_kill(&daemon);

    // An existing FIFO of ours is reused, loses its read bits, and is removed.
    unlink(PUBLIC_FIFO_PATH);
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0600), 0);
    ASSERT_EQ(chmod(PUBLIC_FIFO_PATH, 0666), 0);
    ASSERT_EQ(stat(PUBLIC_FIFO_PATH, &st), 0);
    const ino_t ino = st.st_ino;
    ASSERT_TRUE(daemon_start(&daemon));
    std::string reply;
    EXPECT_EQ(client_request(CMD_PING, "", "", 3000, &reply), CLIENT_OK);
    ASSERT_EQ(stat(PUBLIC_FIFO_PATH, &st), 0);
    EXPECT_EQ(st.st_ino, ino);
    EXPECT_EQ(st.st_mode & 0777, 0622u);
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &reply), CLIENT_OK);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
}

TEST_F(DaemonTest, SomethingElseAtThePublicPathIsRefused)
{
    const std::string target = dir + "/target";
    ASSERT_TRUE(file_write(target, "precious"));
    const struct {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"regular file", [] { file_write(PUBLIC_FIFO_PATH, "precious"); }},
        {"symlink", [&] { ASSERT_EQ(symlink(target.c_str(), PUBLIC_FIFO_PATH), 0); }},
        {"other user's FIFO",
         [] {
             ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0622), 0);
             ASSERT_EQ(lchown(PUBLIC_FIFO_PATH, geteuid() + 1, getegid()), 0);
         }},
    };
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant another user's FIFO";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        daemon_proc d;
        ASSERT_TRUE(daemon_spawn(&d, {"-d"}));
        EXPECT_TRUE(exited_with(daemon_wait(&d, 5000), 1));
        EXPECT_EQ(count_of(daemon_out(&d), "e1\n"), 1u);
        EXPECT_EQ(daemon_err(&d).rfind(std::string(PUBLIC_FIFO_PATH) + ": ", 0), 0u) << daemon_err(&d);
        EXPECT_TRUE(path_exists(PUBLIC_FIFO_PATH));
        unlink(PUBLIC_FIFO_PATH);
    }
    EXPECT_EQ(file_read(target), "precious");
}

TEST_F(DaemonTest, ClientSaysWhenNoDaemonRuns)
{
    std::string reply;
    EXPECT_EQ(client_request(CMD_PING, "", "", 1000, &reply), CLIENT_NOT_RUNNING);
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0622), 0);  // a FIFO nobody reads
    EXPECT_EQ(client_request(CMD_PING, "", "", 1000, &reply), CLIENT_NOT_RUNNING);
}
