// SPDX-License-Identifier: MIT
// The daemon's start-up, request loop, ping, exit and signals, end to end.
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sys/resource.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "common/common.h"
#include "worker/worker.h"
#include "tests/harness.h"
#include "tools/sandbox.h"

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
int send_and_read(client_reply* r, unsigned char command, std::string* reply, int timeout_ms = 3000)
{
    unsigned char rec[RECORD_SIZE];
    if (!client_record_build(rec, command, r->path, "", ""))
        return -1;
    const int s = client_send(rec, RECORD_SIZE, timeout_ms);
    if (s != 0)
        return s;
    return client_read_reply(r, timeout_ms, client_append, reply);
}

}  // namespace

TEST_F(DaemonTest, VersionBannerBeforeAnythingElse)
{
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {{{"-a"}, banner},
                 {{"-d", "-a"}, "e3.\n" + banner},
                 {{"-a", "-d"}, banner},
                 {{"--version"}, banner.substr(0, banner.size() - 1)},
                 {{"-d", "-V"}, "e3.\n" + banner.substr(0, banner.size() - 1)}};
    for (const auto& c : cases) {
        daemon_proc d;
        ASSERT_TRUE(daemon_spawn(&d, c.args));
        EXPECT_TRUE(exited_with(daemon_wait(&d, 5000), 0));
        EXPECT_EQ(daemon_out(&d), c.out);
        EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    }
    // --help prints a usage and starts nothing either.
    daemon_proc help;
    ASSERT_TRUE(daemon_spawn(&help, {"--help"}));
    EXPECT_TRUE(exited_with(daemon_wait(&help, 5000), 0));
    EXPECT_EQ(daemon_out(&help).rfind("usage: tessarind ", 0), 0u) << daemon_out(&help);
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
}

TEST_F(DaemonTest, PingThenExitWithExactTraces)
{
    ASSERT_TRUE(daemon_start(&daemon, {"-d", "-x"}));  // unknown options are ignored, with a warning
    reply_fifo r;
    ASSERT_TRUE(r.open());
    std::string reply;
    EXPECT_EQ(send_and_read(r.get(), CMD_PING, &reply), 0);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    const std::string ping_path = r.path();
    r.close();

    ASSERT_TRUE(r.open());
    reply.clear();
    EXPECT_EQ(send_and_read(r.get(), CMD_EXIT, &reply), 0);
    EXPECT_EQ(reply, "BYE");
    r.close();
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    EXPECT_EQ(daemon_out(&daemon),
              "e3.\ne6...\ne7\n" + ping_trace(ping_path) + "\ne8 2\ne9\ne12\ne13..\n");
    EXPECT_EQ(daemon_err_whole(&daemon), std::string(geteuid() == 0 ? ROOT_WARNING : "") +
                                             "tessarind: ignoring unknown option -x (see tessarind --help)\n");
}

// Also on the failure paths: a missing data file, a client gone mid-reply
// (EPIPE), a ping nobody reads.
TEST_F(DaemonTest, WithoutTracingNothingIsPrinted)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    EXPECT_TRUE(daemon_pings());
    std::string reply;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, (dir + "/missing").c_str(), "QUJD", 3000, &reply), 0);
    const std::string big = dir + "/big";
    ASSERT_TRUE(file_write(big, random_bytes(8 * LOAD_SIZE, 90)));
    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), big, "QUJD"));
    reply.clear();
    client_read_reply(
        r.get(), 3000, [](void* c, const unsigned char* d, size_t n) { return client_append(c, d, n) && false; }, &reply);
    r.close();
    ASSERT_TRUE(r.open(false));
    ASSERT_TRUE(request_send(CMD_PING, r.path()));
    EXPECT_TRUE(daemon_wait_idle(&daemon, 9000));
    r.close();
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &reply), 0);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_EQ(daemon_out(&daemon), "");
    EXPECT_EQ(daemon_err(&daemon), "");
}

TEST_F(DaemonTest, LateReaderGetsOkAfterThreeAttempts)
{
    ASSERT_TRUE(daemon_start(&daemon));
    reply_fifo r;
    ASSERT_TRUE(r.open(false));
    ASSERT_TRUE(request_send(CMD_PING, r.path()));
    usleep(2500 * 1000);
    ASSERT_TRUE(r.listen());
    std::string reply;
    EXPECT_EQ(client_read_reply(r.get(), 3000, client_append, &reply), 0);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "t60\nt61\nt61\nt61\nt64\n"), 1u);
}

TEST_F(DaemonTest, UnreadPingUnknownCommandsAndNonFifoReplies)
{
    ASSERT_TRUE(daemon_start(&daemon));
    for (int command : {7, 255, 4}) {
        reply_fifo r;
        ASSERT_TRUE(r.open());
        std::string reply;
        EXPECT_EQ(failure(send_and_read(r.get(), (unsigned char)command, &reply, 500)), ETIMEDOUT) << command;
        EXPECT_EQ(reply, "");
        r.close();
        const std::string e8 = "\ne8 " + std::to_string((int)(signed char)command) + "\ne17..\nt80\n\n";
        EXPECT_EQ(count_of(daemon_out(&daemon), e8), 1u) << daemon_out(&daemon);
    }
    // Nobody ever reads this FIFO; a regular file must never be written.
    reply_fifo unread;
    ASSERT_TRUE(unread.open(false));
    const std::string plain = dir + "/plain";
    ASSERT_TRUE(file_write(plain, "untouched"));
    ASSERT_TRUE(request_send(CMD_PING, unread.path()));
    ASSERT_TRUE(request_send(CMD_PING, plain));
    // Both pings give up after five attempts; the daemon goes on serving.
    ASSERT_TRUE(daemon_wait_output(&daemon, "t61\n", 8000, 10));
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 5));
    EXPECT_TRUE(daemon_pings());
    EXPECT_EQ(file_read(plain), "untouched");
    EXPECT_EQ(count_of(daemon_out(&daemon), "t64\n"), 1u);
}

TEST_F(DaemonTest, TwoPingsAtOnce)
{
    ASSERT_TRUE(daemon_start(&daemon));
    std::string a, b;
    int sa, sb;
    std::thread t1([&] { sa = client_request(CMD_PING, "", "", 3000, &a); });
    std::thread t2([&] { sb = client_request(CMD_PING, "", "", 3000, &b); });
    t1.join();
    t2.join();
    EXPECT_EQ(sa, 0);
    EXPECT_EQ(sb, 0);
    EXPECT_EQ(a, "OK");
    EXPECT_EQ(b, "OK");
}

// A short record is zero-filled: it must not reuse the previous record's
// reply path (nor its file path and key).
TEST_F(DaemonTest, ShortRecordDoesNotInheritThePreviousOne)
{
    ASSERT_TRUE(daemon_start(&daemon));
    reply_fifo r;
    ASSERT_TRUE(r.open());
    std::string reply;
    EXPECT_EQ(send_and_read(r.get(), CMD_PING, &reply), 0);
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    const unsigned char short_ping = CMD_PING;
    ASSERT_EQ(client_send(&short_ping, 1, 1000), 0);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t61\n", 3000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "t64\n"), 1u);
}

// A record whose fields have no NUL at all: every field is bounded.
TEST_F(DaemonTest, FieldsWithoutNulAreBounded)
{
    ASSERT_TRUE(daemon_start(&daemon));
    std::string rec(RECORD_SIZE, 'A');
    rec[0] = CMD_PING;
    ASSERT_EQ(client_send(rec.data(), RECORD_SIZE, 1000), 0);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t61\n", 3000));
    EXPECT_TRUE(daemon_pings());
}

namespace {

// Starts the daemon as uid (root: as the tests run).
bool daemon_start_as(daemon_proc* d, uid_t uid, const std::vector<std::string>& args)
{
    const std::string as_user = "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                                " --clear-groups";
    if (uid != 0)
        setenv("TESSARIND_WRAPPER", as_user.c_str(), 1);
    const bool started = daemon_start(d, args);
    unsetenv("TESSARIND_WRAPPER");
    return started;
}

// Sends an exit naming reply_path as uid: the client trusts no other's
// public FIFO than root's, its own and tessarind's.
bool exit_sent_as(uid_t uid, const std::string& reply_path)
{
    if (seteuid(uid) != 0)
        return false;
    const bool sent = request_send(CMD_EXIT, reply_path);
    return seteuid(0) == 0 && sent;
}

}  // namespace

// Only root and the daemon's own user stop it: an exit is obeyed when its
// reply FIFO, bound as the record is read, is theirs and the daemon's user
// may write it by its mode (five attempts where a reader may still come).
// Any other is traced as read and nothing else, answered nothing, and
// logged with its owner, and the daemon goes on. The client refuses to send
// for anyone else.
TEST_F(DaemonTest, ExitOnlyFromRootOrTheDaemonsUser)
{
    SKIP_WITHOUT_OTHER_USERS("other owners and users");
    const std::string missing = dir + "/missing", relative = "relative";
    const char* refused = "exit refused: its reply ";
    const struct {
        uid_t daemon_uid;        // the user the daemon runs as
        uid_t owner;             // the reply FIFO's, and its mode
        mode_t mode;
        bool reads;              // a reader holds the FIFO
        const std::string* path;  // a path reaching no FIFO, instead
        const char* outcome;     // traces after "e8 2", or what the log says of a refusal
    } cases[] = {
        {0, 0, 0600, false, nullptr, "e9\ne10\ne10\ne10\ne10\ne10\ne13..\n"},
        {0, 4242, 0620, true, nullptr, "FIFO is uid 4242's"},
        {0, 0, 0400, true, nullptr, "FIFO is uid 0's"},
        {0, 0, 0, false, &missing, "path reaches no FIFO"},
        {0, 0, 0, false, &relative, "path reaches no FIFO"},
        {4343, 4343, 0600, true, nullptr, "e9\ne12\ne13..\n"},
        {4343, 0, 0622, true, nullptr, "e9\ne12\ne13..\n"},
        {4343, 0, 0600, true, nullptr, "FIFO is uid 0's"},  // as /run/initctl is to the daemon's user
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.daemon_uid) + " " + std::to_string(c.owner) + " " + c.outcome);
        ASSERT_TRUE(daemon_start_as(&daemon, c.daemon_uid, {"-d", "-l"}));
        reply_fifo r;
        ASSERT_TRUE(r.open(false));
        ASSERT_EQ(chown(r.path(), c.owner, 0), 0);
        ASSERT_EQ(chmod(r.path(), c.mode), 0);
        const int reader = c.reads ? open(r.path(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        ASSERT_TRUE(exit_sent_as(c.daemon_uid, c.path ? *c.path : r.path()));
        const bool stops = c.outcome[0] == 'e';
        if (stops) {
            EXPECT_TRUE(exited_with(daemon_wait(&daemon, 9000), 0));
            EXPECT_EQ(count_of(daemon_out(&daemon), std::string("\ne8 2\n") + c.outcome), 1u) << daemon_out(&daemon);
        } else {
            EXPECT_TRUE(daemon_wait_output(&daemon, refused + std::string(c.outcome), 5000, 1, true))
                << daemon_err(&daemon);
            EXPECT_EQ(daemon_wait(&daemon, 100), -1) << "the daemon stopped";
            EXPECT_EQ(count_of(daemon_out(&daemon), "e9\n"), 0u);
        }
        char b[4];
        // A FIFO that nobody opened for writing reads as empty.
        EXPECT_EQ(reader >= 0 ? read(reader, b, sizeof b) : -1, !c.reads ? -1 : stops ? 3 : 0);
        if (reader >= 0)
            close(reader);
        daemon_kill(&daemon);
        unlink(PUBLIC_FIFO_PATH);  // the next daemon may run as another user
    }
    ASSERT_TRUE(daemon_start(&daemon));
    std::string out, err;
    setenv("TESSARIND_WRAPPER", "setpriv --reuid=4242 --regid=4242 --clear-groups", 1);
    EXPECT_EQ(client_run({"stop"}, &out, &err, "", true), 1);
    unsetenv("TESSARIND_WRAPPER");
    EXPECT_EQ(err, "tessarind-client: only root and the daemon's user (root) may stop the daemon\n");
    EXPECT_TRUE(daemon_pings());
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne8 2\n"), 0u);
}

// A reply path inside a file system that never answers (a FUSE mount
// whose server reads nothing) holds a lookup for ever: the main thread
// waits for it a second at most, and no more than a few such lookups are
// waited for at all. Other clients are served meanwhile, root still stops
// the daemon, and nothing is left waiting for the file system.
TEST_F(DaemonTest, ReplyPathInAFileSystemThatNeverAnswers)
{
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0)
        GTEST_SKIP() << "no /dev/fuse: " << strerror(errno);
    const std::string hung = dir + "/hung";
    ASSERT_EQ(mkdir(hung.c_str(), 0755), 0);
    const std::string options = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0,allow_other";
    if (mount("never", hung.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) < 0) {
        close(fuse);
        GTEST_SKIP() << "cannot mount a FUSE file system here: " << strerror(errno);
    }
    ASSERT_TRUE(daemon_start(&daemon, {"-d", "-l"}));
    for (int i = 0; i < MAX_SLOW_LOOKUPS + 4; i++)
        ASSERT_TRUE(request_send(i % 2 ? CMD_PING : CMD_EXIT, hung + "/reply" + std::to_string(i)));
    std::string got;
    EXPECT_EQ(client_request(CMD_PING, "", "", 30000, &got), 0);
    EXPECT_EQ(got, "OK");
    got.clear();
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 30000, &got), 0);
    EXPECT_EQ(got, "BYE");
    // The file system gives up: the lookups end (a leak checker at exit
    // would wait for them).
    close(fuse);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 10000), 0));
    EXPECT_EQ(count_of(daemon_err(&daemon), "exit refused: its reply path reaches no FIFO"), 1u) << daemon_err(&daemon);
    umount2(hung.c_str(), MNT_DETACH);
}

namespace {

// Runs f in a child as the stranger 4242; the child's pid.
pid_t as_stranger(const std::function<void()>& f)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(4242, 4242, 4242) == 0 && setresuid(4242, 4242, 4242) == 0)
            f();
        _exit(0);
    }
    return pid;
}

// The temporary FIFOs tessarind-clear-fifo left in /tmp.
size_t clear_fifo_left_over()
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        n += entry.path().filename().string().rfind("TALV_PIPE.", 0) == 0;
    return n;
}

}  // namespace

// What anyone left at the public path, once or over and over, is swapped
// for a FIFO of root's with the socket's mode before the socket listens
// (which systemd then takes as its own), and removed.
TEST_F(DaemonTest, PublicPathClearedForTheSocket)
{
    SKIP_WITHOUT_OTHER_USERS("the socket clears the path as root, and strangers");
    const auto put_fifo = [] { mkfifo(PUBLIC_FIFO_PATH, 0666); };
    const auto put_tree = [] {
        mkdir(PUBLIC_FIFO_PATH, 0777);
        file_write(std::string(PUBLIC_FIFO_PATH) + "/inside", "x");
        symlink("/etc", (std::string(PUBLIC_FIFO_PATH) + "/etc").c_str());
    };
    const auto put_file = [] { file_write(PUBLIC_FIFO_PATH, "x"); };
    const auto put_link = [] { symlink("/etc/passwd", PUBLIC_FIFO_PATH); };
    const std::function<void()> rows[] = {[] {}, put_fifo, put_tree, put_file, put_link};
    const auto cleared = [] {
        struct stat st;
        return lstat(PUBLIC_FIFO_PATH, &st) == 0 && S_ISFIFO(st.st_mode) && (st.st_mode & 07777) == 0620 &&
               st.st_uid == 0 && st.st_gid == 0;
    };
    for (const auto& put : rows) {
        int status;
        waitpid(as_stranger(put), &status, 0);
        std::string err;
        EXPECT_EQ(clear_fifo_run(&err), 0) << err;
        EXPECT_TRUE(cleared());
        EXPECT_EQ(clear_fifo_left_over(), 0u);
        ASSERT_EQ(unlink(PUBLIC_FIFO_PATH), 0);
    }
    EXPECT_TRUE(path_exists("/etc/passwd"));
    // A stranger who makes a FIFO there again and again.
    const pid_t looper = as_stranger([] {
        for (;;) {
            unlink(PUBLIC_FIFO_PATH);
            mkfifo(PUBLIC_FIFO_PATH, 0666);
        }
    });
    int ok = 0;
    for (int i = 0; i < 30; i++) {
        std::string err;
        ok += clear_fifo_run(&err) == 0 && cleared();
        unlink(PUBLIC_FIFO_PATH);
    }
    kill(looper, SIGKILL);
    waitpid(looper, nullptr, 0);
    EXPECT_EQ(ok, 30);
    EXPECT_EQ(clear_fifo_left_over(), 0u);
}

// Where it may not put a FIFO (run by a stranger, beside root's directory in
// the sticky /tmp), tessarind-clear-fifo fails, saying so.
TEST_F(DaemonTest, ClearFifoThatMayNotPutItsFifo)
{
    SKIP_WITHOUT_OTHER_USERS("a stranger beside root's directory");
    ASSERT_EQ(mkdir(PUBLIC_FIFO_PATH, 0755), 0);
    setenv("TESSARIND_WRAPPER", "setpriv --reuid=4242 --regid=4242 --clear-groups", 1);
    std::string err;
    EXPECT_EQ(clear_fifo_run(&err, true), 1);
    unsetenv("TESSARIND_WRAPPER");
    EXPECT_EQ(err, "tessarind-clear-fifo: cannot put a FIFO at /tmp/TALV_PIPE: Operation not permitted\n");
    EXPECT_EQ(rmdir(PUBLIC_FIFO_PATH), 0) << "root's directory is still there";
    EXPECT_EQ(clear_fifo_left_over(), 0u);
}

TEST_F(DaemonTest, SignalWhileWaitingForTheFirstClient)
{
    SKIP_UNDER_TSAN();
    ASSERT_TRUE(daemon_spawn(&daemon, {"-d", "-l"}));
    ASSERT_TRUE(daemon_wait_output(&daemon, "e6...\n", 5000));
    // Its log says it started before any client comes.
    EXPECT_TRUE(daemon_wait_output(&daemon, "Version 1.19 started; public FIFO made\n", 30000, 1, true))
        << daemon_err(&daemon);
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
        ASSERT_TRUE(daemon_start(&d, {"-d", "-l"}));
        ASSERT_TRUE(daemon_wait_output(&d, "e7\n", 5000));
        kill(d.pid, sig);
        EXPECT_TRUE(exited_with(daemon_wait(&d, 5000), 0)) << sig;
        EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH)) << sig;
        EXPECT_EQ(count_of(daemon_out(&d), "e2 " + std::to_string(sig) + "\n"), 1u);
        EXPECT_EQ(count_of(daemon_err(&d), "<6>tessarind stopping: signal " + std::to_string(sig) + "\n"), 1u);
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

    // An existing FIFO of ours is reused with the mode a new one gets, and
    // is removed.
    unlink(PUBLIC_FIFO_PATH);
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0600), 0);
    ASSERT_EQ(chmod(PUBLIC_FIFO_PATH, 0666), 0);
    ASSERT_EQ(stat(PUBLIC_FIFO_PATH, &st), 0);
    const ino_t ino = st.st_ino;
    ASSERT_TRUE(daemon_start(&daemon));
    EXPECT_TRUE(daemon_pings());
    ASSERT_EQ(stat(PUBLIC_FIFO_PATH, &st), 0);
    EXPECT_EQ(st.st_ino, ino);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0622u & ~mask);
    std::string reply;
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &reply), 0);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
}

// Under systemd, the counts systemctl status shows: requests served and
// failed since start, workers running, records waiting.
TEST_F(DaemonTest, StatusToldToSystemd)
{
#ifndef TESSARIND_SYSTEMD
    GTEST_SKIP() << "built without libsystemd";
#endif
    const std::string path = dir + "/notify";
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(sock, (const sockaddr*)&addr, sizeof addr), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    const bool started = daemon_start(&daemon, {});
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started);
    std::string got, told;
    EXPECT_EQ(client_request(CMD_PING, "", "", 3000, &got), 0);
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, (dir + "/absent").c_str(), "QUJD", 3000, &got), 0);  // an empty reply
    const std::string counts = "STATUS=2 served, 1 failed since start; 0 running, 0 waiting";
    EXPECT_TRUE(wait_until(20000, [&] {
        char buf[512];
        for (ssize_t n; (n = recv(sock, buf, sizeof buf, 0)) > 0;)
            told.append(buf, (size_t)n).append("\n");
        return told.find(counts) != std::string::npos;
    })) << told;
    EXPECT_NE(told.find("READY=1"), std::string::npos) << told;
    close(sock);
}

namespace {

// What systemd gives a socket-activated daemon: the public FIFO, made and
// held open before the daemon runs, and a notification socket.
struct systemd_stand_in {
    int fifo = -1, notify = -1;
    struct stat made;
    std::string notify_path;

    bool open(const std::string& dir)
    {
        if (mkfifo(PUBLIC_FIFO_PATH, 0620) != 0)
            return false;
        fifo = ::open(PUBLIC_FIFO_PATH, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        notify_path = dir + "/notify";
        notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", notify_path.c_str());
        return fifo >= 0 && fstat(fifo, &made) == 0 && notify >= 0 &&
               bind(notify, (const sockaddr*)&addr, sizeof addr) == 0;
    }
    // Whether state comes among the messages, STATUS= lines between them.
    bool told(const char* state)
    {
        pollfd p{notify, POLLIN, 0};
        char buf[256] = {};
        while (poll(&p, 1, 5000) == 1 && recv(notify, buf, sizeof buf - 1, 0) > 0) {
            if (strstr(buf, state))
                return true;
            memset(buf, 0, sizeof buf);
        }
        return false;
    }
    // Starts d as systemd does, with the FIFO passed in; true once it told
    // it is ready.
    bool activate(daemon_proc* d)
    {
        setenv("TESSARIND_LISTEN_FD", std::to_string(fifo).c_str(), 1);
        setenv("NOTIFY_SOCKET", notify_path.c_str(), 1);
        const bool spawned = daemon_spawn(d, {"-l"});
        unsetenv("TESSARIND_LISTEN_FD");
        unsetenv("NOTIFY_SOCKET");
        return spawned && told("READY=1");
    }
    // Whether the FIFO at the public path is still the one made.
    bool fifo_kept() const
    {
        struct stat now;
        return stat(PUBLIC_FIFO_PATH, &now) == 0 && now.st_ino == made.st_ino;
    }
    ~systemd_stand_in()
    {
        if (notify >= 0)
            close(notify);
        if (fifo >= 0)
            close(fifo);
    }
};

}  // namespace

// Under systemd the FIFO is passed in: records sent while no daemon ran are
// served, readiness and stopping are told, the log says what happened and no
// key, and the FIFO outlives the daemon.
TEST_F(DaemonTest, SocketActivation)
{
#ifndef TESSARIND_SYSTEMD
    GTEST_SKIP() << "the daemon is built without libsystemd (libsystemd-dev): no socket activation";
#endif
    systemd_stand_in systemd;
    ASSERT_TRUE(systemd.open(dir)) << strerror(errno);
    std::vector<reply_fifo> early(3);
    for (auto& r : early) {
        ASSERT_TRUE(r.open());
        ASSERT_TRUE(request_send(CMD_PING, r.path()));
    }
    ASSERT_TRUE(systemd.activate(&daemon));
    for (auto& r : early) {
        std::string got;
        EXPECT_EQ(client_read_reply(r.get(), 5000, client_append, &got), 0);
        EXPECT_EQ(got, "OK");
        r.close();
    }
    const std::string key = "c2VjcmV0LWtleS10ZXh0LW5vdC1pbi1sb2c=";
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, (dir + "/missing").c_str(), key.c_str(), 3000, &got), 0);
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &got), 0);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0)) << daemon_err_whole(&daemon);
    EXPECT_TRUE(systemd.told("STOPPING=1"));
    EXPECT_TRUE(systemd.fifo_kept());
    const std::string log = daemon_err(&daemon);
    EXPECT_NE(log.find("<6>tessarind Version 1.19 started; public FIFO inherited from systemd\n"), std::string::npos) << log;
    EXPECT_NE(log.find("file " + dir + "/missing: No such file or directory\n"), std::string::npos) << log;
    EXPECT_NE(log.find("<6>tessarind stopping: exit request\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(key), std::string::npos) << log;
}

// Ended by a signal, too, a socket-activated daemon leaves systemd's FIFO
// where it is.
TEST_F(DaemonTest, SocketActivatedDaemonEndedBySignal)
{
#ifndef TESSARIND_SYSTEMD
    GTEST_SKIP() << "the daemon is built without libsystemd (libsystemd-dev): no socket activation";
#endif
    SKIP_UNDER_TSAN();
    systemd_stand_in systemd;
    ASSERT_TRUE(systemd.open(dir)) << strerror(errno);
    ASSERT_TRUE(systemd.activate(&daemon));
    kill(daemon.pid, SIGTERM);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0)) << daemon_err_whole(&daemon);
    EXPECT_TRUE(systemd.fifo_kept());
}

namespace {

// Starts a daemon (tracing when traced; under wrapper, as another user, when
// given) and expects it to refuse to start, saying error.
void expect_refused(bool traced, const char* wrapper, const std::string& error)
{
    daemon_proc d;
    if (wrapper)
        setenv("TESSARIND_WRAPPER", wrapper, 1);
    const bool spawned = daemon_spawn(&d, traced ? std::vector<std::string>{"-d"} : std::vector<std::string>{});
    unsetenv("TESSARIND_WRAPPER");
    ASSERT_TRUE(spawned);
    EXPECT_TRUE(exited_with(daemon_wait(&d, 5000), 1));
    EXPECT_EQ(count_of(daemon_out(&d), "e1\n"), traced ? 1u : 0u);
    EXPECT_EQ(daemon_err(&d), std::string(PUBLIC_FIFO_PATH) + ": " + error + "\n");
}

}  // namespace

TEST_F(DaemonTest, SomethingElseAtThePublicPathIsRefused)
{
    const std::string target = dir + "/target";
    ASSERT_TRUE(file_write(target, "precious"));
    int reader = -1;
    const auto put_fifo = [&](mode_t mode, uid_t uid, gid_t gid, bool read) {
        ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, mode), 0);
        ASSERT_EQ(lchown(PUBLIC_FIFO_PATH, uid, gid), 0);
        if (read)
            reader = open(PUBLIC_FIFO_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    };
    const struct {
        const char* what;
        std::function<void()> make;
        const char* error;
        bool traced = true;  // the reason is given without tracing too
        const char* wrapper = nullptr;  // the daemon run under it, as another user
    } cases[] = {
        {"regular file", [] { file_write(PUBLIC_FIFO_PATH, "precious"); }, "File exists", false},
        {"symlink", [&] { ASSERT_EQ(symlink(target.c_str(), PUBLIC_FIFO_PATH), 0); }, "File exists"},
        {"other user's FIFO", [&] { put_fifo(0622, geteuid() + 1, getegid(), false); }, "Operation not permitted"},
        // Someone who opened it while it was readable would read every record.
        {"FIFO somebody reads", [&] { put_fifo(0666, geteuid(), getegid(), true); }, "Device or resource busy"},
        // One that even its owner may not write is opened for the probe,
        // then given its mode back.
        {"its owner's FIFO of mode 0 somebody reads", [&] { put_fifo(0, 4242, 4242, true); },
         "Device or resource busy", true, "setpriv --reuid=4242 --regid=4242 --clear-groups"},
        // Two daemons would split the requests, and either's end would
        // remove the other's FIFO.
        {"a running daemon's FIFO", [&] { ASSERT_TRUE(daemon_start(&daemon)); }, "Device or resource busy"},
    };
    SKIP_WITHOUT_OTHER_USERS("planting another user's FIFO");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        struct stat before, after;
        ASSERT_EQ(lstat(PUBLIC_FIFO_PATH, &before), 0);
        expect_refused(c.traced, c.wrapper, c.error);
        // A refused start changes nothing.
        ASSERT_EQ(lstat(PUBLIC_FIFO_PATH, &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_TRUE(path_exists(PUBLIC_FIFO_PATH));
        if (daemon.pid > 0) {
            EXPECT_TRUE(daemon_pings());
            daemon_kill(&daemon);
        }
        if (reader >= 0)
            close(reader);
        reader = -1;
        unlink(PUBLIC_FIFO_PATH);
    }
    EXPECT_EQ(file_read(target), "precious");
}

TEST_F(DaemonTest, ClientSaysWhenNoDaemonRuns)
{
    std::string reply;
    EXPECT_EQ(failure(client_request(CMD_PING, "", "", 1000, &reply)), ECONNREFUSED);
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0622), 0);  // a FIFO nobody reads
    EXPECT_EQ(failure(client_request(CMD_PING, "", "", 1000, &reply)), ECONNREFUSED);
}

// Replies a requester makes impossible to write: the daemon gives up within
// its bound and goes on; a broken standard error never keeps it busy. Each
// test has the daemon (tracing) with its standard error a pipe, `err`, and a
// data file of eight loads.
class RepliesTest : public DaemonTest {
protected:
    void prepare() override
    {
        data = dir + "/data";
        ASSERT_TRUE(file_write(data, random_bytes(8 * LOAD_SIZE, 70)));
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        err = fds[0];
        ASSERT_TRUE(daemon_start(&daemon, {"-d"}, fds[1]));
        close(fds[1]);
        if (geteuid() == 0) {  // written before the daemon serves
            std::string warning(strlen(ROOT_WARNING), '\0');
            ASSERT_EQ(read(err, warning.data(), warning.size()), (ssize_t)warning.size());
        }
    }
    void TearDown() override
    {
        if (err >= 0)
            close(err);
        DaemonTest::TearDown();
    }
    // A reply FIFO that its requester holds open read-write and has filled.
    static void filled(reply_fifo* r)
    {
        ASSERT_TRUE(r->open(false));
        r->fd() = open(r->path(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(r->fd(), 0);
        const std::string junk(4096, 'j');
        while (write(r->fd(), junk.data(), junk.size()) > 0) {
        }
    }
    std::string data;
    int err = -1;
};

TEST_F(RepliesTest, PingIntoAFullFifo)
{
    reply_fifo r;
    filled(&r);
    ASSERT_TRUE(request_send(CMD_PING, r.path()));
    EXPECT_TRUE(daemon_wait_output(&daemon, "t60\nt70:  " + std::string(r.path()) + "\nt80\n\n", 9000));
    EXPECT_TRUE(daemon_pings());
}

// "t63", "e11", "t48" stand for EPIPE: the reader leaves while the
// daemon waits for room.
TEST_F(RepliesTest, PingWhoseReaderLeaves)
{
    reply_fifo r;
    filled(&r);
    const std::string path = r.path();
    ASSERT_TRUE(request_send(CMD_PING, path));
    ASSERT_TRUE(daemon_wait_writing(&daemon, path, 5000));
    r.close();
    EXPECT_TRUE(daemon_wait_output(&daemon, "t60\nt63\nt70:  " + path + "\nt80\n\n", 5000)) << daemon_out(&daemon);
}

TEST_F(RepliesTest, ExitWhoseReaderLeaves)
{
    reply_fifo r;
    filled(&r);
    ASSERT_TRUE(request_send(CMD_EXIT, r.path()));
    ASSERT_TRUE(daemon_wait_writing(&daemon, r.path(), 5000));
    r.close();
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne8 2\ne9\ne11\ne13..\n"), 1u);
}

TEST_F(RepliesTest, FirstLoadWhoseReaderLeaves)
{
    reply_fifo r;
    ASSERT_TRUE(r.open(false));
    r.fd() = open(r.path(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(fcntl(r.fd(), F_SETPIPE_SZ, 4 * (int)LOAD_SIZE), 4 * (int)LOAD_SIZE);
    const std::string junk(LOAD_SIZE, 'j');
    while (write(r.fd(), junk.data(), junk.size()) > 0) {
    }
    ASSERT_TRUE(request_send(CMD_DECRYPT_CHUNK, r.path(), data));
    ASSERT_TRUE(daemon_wait_output(&daemon, "t42: " + std::string(r.path()) + "\n", 5000));
    r.close();
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 5000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "t46\nt48\nt49\nt55\nt70:  "), 1u) << daemon_out(&daemon);
    EXPECT_EQ(count_of(daemon_out(&daemon), "t50"), 0u);
}

TEST_F(RepliesTest, ExitIntoAFullFifo)
{
    reply_fifo r;
    filled(&r);
    ASSERT_TRUE(request_send(CMD_EXIT, r.path()));
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 9000), 0));
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne8 2\ne9\ne13..\n"), 1u);
}

// A pipe counts as a FIFO; both paths reach it through a magic link.
TEST_F(RepliesTest, RepliesIntoTheDaemonsStandardError)
{
    ASSERT_TRUE(request_send(CMD_PING, "/dev/stderr"));
    ASSERT_TRUE(request_send(CMD_DECRYPT_CHUNK, "/proc/" + std::to_string(daemon.pid) + "/fd/2", data));
    EXPECT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 9000, 2));
    char buf[16];
    EXPECT_LT(read(err, buf, sizeof buf), 0) << "something was written into standard error";
}

// Standard error a named FIFO, named as the reply path itself: neither a
// magic link nor a pipe, but the log all the same.
TEST_F(DaemonTest, RepliesIntoANamedFifoThatIsStandardError)
{
    const std::string log = dir + "/log", data = dir + "/data";
    ASSERT_TRUE(file_write(data, random_bytes(4096, 71)));
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int writer = open(log.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_TRUE(daemon_start(&daemon, {"-d"}, writer));
    close(writer);
    std::string warning(geteuid() == 0 ? strlen(ROOT_WARNING) : 0, '\0');  // written before the daemon serves
    EXPECT_EQ(read(reader, warning.data(), warning.size()), (ssize_t)warning.size());
    ASSERT_TRUE(request_send(CMD_PING, log));
    ASSERT_TRUE(request_send(CMD_DECRYPT_CHUNK, log, data));
    EXPECT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 9000, 2));
    char buf[16];
    EXPECT_LT(read(reader, buf, sizeof buf), 0) << "something was written into standard error";
    close(reader);
}

TEST_F(RepliesTest, StandardErrorAPipeNobodyReads)
{
    close(err);
    err = -1;
    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), data));
    read_one_load(&r);
    r.close();
    // SIGPIPE on writing "E1" must not repeat for ever.
    EXPECT_TRUE(daemon_wait_output(&daemon, "e32\ne34\ne35\ne37\n", 5000));
    EXPECT_TRUE(daemon_pings());
#ifndef __SANITIZE_THREAD__  // see SKIP_UNDER_TSAN
    kill(daemon.pid, SIGTERM);
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 5000), 0));
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
#endif
}

// At most MAX_WORKERS requests are served at once, and at most OWNER_SHARE
// for reply FIFOs of one owner. The others wait, none dropped, none
// reordered; a client that finds the public FIFO full hears so. Owners are
// throwaway uids, to which the reply FIFOs are given. Each test has a
// one-block-aligned data file and starts its own daemon.
class WorkerLimitsTest : public DaemonTest {
protected:
    void prepare() override
    {
        ASSERT_TRUE(file_write(file, encrypt_bytes(plain, key)));
    }
    // Samples the daemon's thread count until *stop: never more than
    // `workers` beside its idle threads.
    void workers_at_most(long workers, std::atomic<bool>* stop)
    {
        const long idle = daemon_idle_threads(&daemon);
        long most = 0;
        while (!*stop) {
            most = std::max(most, sandbox_proc_status(daemon.pid, "Threads"));
            usleep(200);
        }
        EXPECT_LE(most, idle + workers);
    }
    // The daemon afresh, tracing, with or without openat2.
    void restart(bool openat2)
    {
        daemon_kill(&daemon);
        ASSERT_TRUE(daemon_start_openat2(&daemon, openat2));
    }
    const std::string key = random_bytes(20, 71);
    const std::string plain = random_bytes(4096, 72);
    const std::string file = "/tmp/work/data";
    const std::string text = base64_encode(key);
};

// 300 requests of five owners whose clients read late.
TEST_F(WorkerLimitsTest, FiveOwnersWhoseClientsReadLate)
{
    // One owner may have only 256 records waiting.
    SKIP_WITHOUT_OTHER_USERS("five owners");
    ASSERT_TRUE(daemon_start(&daemon, {}));
    std::vector<reply_fifo> late(300), pings(50);
    for (size_t i = 0; i < late.size(); i++) {
        ASSERT_TRUE(late[i].open(false));
        ASSERT_EQ(chown(late[i].path(), 4242 + (uid_t)(i % 5), (gid_t)-1), 0);
        ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, late[i].path(), file, text.c_str()));
    }
    std::atomic<bool> stop{false};
    std::thread sampler([&] { workers_at_most(MAX_WORKERS, &stop); });
    const long full = daemon_idle_threads(&daemon) + MAX_WORKERS;
    EXPECT_TRUE(wait_until(10000, [&] { return sandbox_proc_status(daemon.pid, "Threads") >= full; }));
    for (auto& r : pings) {
        ASSERT_TRUE(r.open());
        ASSERT_TRUE(request_send(CMD_PING, r.path()));
    }
    for (auto& r : late)
        ASSERT_TRUE(r.listen());
    for (auto& r : late) {
        std::string got;
        EXPECT_EQ(client_read_reply(r.get(), 10000, client_append, &got), 0);
        EXPECT_TRUE(got == plain);
        r.close();
    }
    for (auto& r : pings) {
        std::string got;
        EXPECT_EQ(client_read_reply(r.get(), 10000, client_append, &got), 0);
        EXPECT_EQ(got, "OK");
        r.close();
    }
    stop = true;
    sampler.join();
}

// The owner's readers hold their FIFOs open and read nothing: its
// workers block once the pipes are full, and the rest of its
// records wait.
TEST_F(WorkerLimitsTest, OneOwnersStalledTransfers)
{
    SKIP_WITHOUT_OTHER_USERS("giving reply FIFOs to another owner");
    ASSERT_TRUE(daemon_start(&daemon, {}));
    const std::string big_plain = random_bytes(5 * LOAD_SIZE, 73), big = dir + "/big";
    ASSERT_TRUE(file_write(big, encrypt_bytes(big_plain, key)));
    std::vector<reply_fifo> stalled(256);
    for (auto& r : stalled) {
        ASSERT_TRUE(r.open());
        ASSERT_EQ(chown(r.path(), 4242, (gid_t)-1), 0);
        ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), big, text.c_str()));
    }
    EXPECT_TRUE(wait_until(10000, [&] {
        return sandbox_proc_status(daemon.pid, "Threads") >= daemon_idle_threads(&daemon) + OWNER_SHARE;
    }));
    std::atomic<bool> stop{false};
    std::thread sampler([&] { workers_at_most(OWNER_SHARE, &stop); });
    usleep(500 * 1000);
    stop = true;
    sampler.join();
    // Another owner's requests, answered as if nothing else ran.
    for (int i = 0; i < 5; i++) {
        std::string got;
        EXPECT_EQ(client_request(CMD_PING, "", "", 1000, &got), 0);
        EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), text.c_str(), 1000, &got), 0);
        EXPECT_TRUE(got == "OK" + plain);
    }
    for (auto& r : stalled) {
        std::string got;
        EXPECT_EQ(client_read_reply(r.get(), 10000, client_append, &got), 0);
        EXPECT_TRUE(got == big_plain);
        r.close();
    }
    std::string bye;
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &bye), 0);
    EXPECT_EQ(bye, "BYE");
}

// Under a descriptor limit too low for MAX_WAITING records, fewer wait (the
// log says how many); an exit while records wait behind one owner's share
// drops them and ends the daemon.
TEST_F(WorkerLimitsTest, ExitWhileRecordsWaitUnderALowDescriptorLimit)
{
    SKIP_WITHOUT_OTHER_USERS("giving reply FIFOs to another owner");
    setenv("TESSARIND_WRAPPER", "prlimit --nofile=1200:1200", 1);
    const bool started = daemon_start(&daemon, {"-d", "-l"});
    unsetenv("TESSARIND_WRAPPER");
    ASSERT_TRUE(started);
    const size_t waiting = 1200 - (4 * MAX_WORKERS + 32);
    EXPECT_TRUE(daemon_wait_output(&daemon, "at most " + std::to_string(waiting) + " records wait, not 4096", 5000,
                                   1, true));
    const std::string big = dir + "/big";
    ASSERT_TRUE(file_write(big, encrypt_bytes(random_bytes(5 * LOAD_SIZE, 74), key)));
    std::vector<reply_fifo> stalled(OWNER_SHARE + 6);
    for (auto& r : stalled) {
        ASSERT_TRUE(r.open());
        ASSERT_EQ(chown(r.path(), 4242, (gid_t)-1), 0);
        ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), big, text.c_str()));
    }
    EXPECT_TRUE(daemon_wait_output(&daemon, "requests of uid 4242 wait for their fair share", 10000, 1, true));
    std::string bye;
    EXPECT_EQ(client_request(CMD_EXIT, "", "", 3000, &bye), 0);
    EXPECT_EQ(bye, "BYE");
    EXPECT_TRUE(exited_with(daemon_wait(&daemon, 9000), 0));
}

// A record is bound to its reply FIFO as it is read. One waits behind its
// owner's held share while its client gives up and removes FIFO and
// directory, and another user makes a FIFO of his own at the same path: he
// gets nothing, and the owner's next record is served in full.
TEST_F(WorkerLimitsTest, AWaitingRecordKeepsItsReplyFifo)
{
    SKIP_WITHOUT_OTHER_USERS("giving reply FIFOs to other owners");
    const std::string big_plain = random_bytes(5 * LOAD_SIZE, 74), big = dir + "/big";
    ASSERT_TRUE(file_write(big, encrypt_bytes(big_plain, key)));
    for (const bool openat2 : {true, false}) {
        SCOPED_TRACE(openat2 ? "with openat2" : "without openat2");
        restart(openat2);
        std::vector<reply_fifo> held(OWNER_SHARE + 2);  // the last two wait
        for (size_t i = 0; i < held.size(); i++) {
            ASSERT_TRUE(held[i].open());
            ASSERT_EQ(chown(held[i].path(), 4242, (gid_t)-1), 0);
            ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, held[i].path(), i < OWNER_SHARE ? big : file, text));
        }
        ASSERT_TRUE(daemon_wait_output(&daemon, "\ne8 0\n", 10000, (int)held.size()));
        reply_fifo& victim = held[OWNER_SHARE];
        const std::string path = victim.path(), victim_dir = victim.get()->dir;
        victim.close();
        ASSERT_EQ(mkdir(victim_dir.c_str(), 0711), 0);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        ASSERT_EQ(chown(path.c_str(), 4343, (gid_t)-1), 0);
        const int taken = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        for (auto& r : held) {
            if (!r.path()[0])
                continue;
            std::string got;
            EXPECT_EQ(client_read_reply(r.get(), 10000, client_append, &got), 0);
            EXPECT_TRUE(got == (&r < &held[OWNER_SHARE] ? big_plain : plain));
        }
        EXPECT_TRUE(daemon_wait_idle(&daemon, 10000));
        char b[16];
        EXPECT_LE(read(taken, b, sizeof b), 0) << "plain data reached another user's FIFO";
        EXPECT_EQ(count_of(daemon_out(&daemon), "e19: " + path + "\n"), 1u);
        close(taken);
        unlink(path.c_str());
        rmdir(victim_dir.c_str());
    }
}

// Records whose reply path reaches the test's own directory as they are
// read, then a FIFO nobody reads: they count against the one unresolved
// share, never against the directory's owner, whose requests go on.
TEST_F(WorkerLimitsTest, ReplyPathsThatReachNoFifoShareOneShare)
{
    const std::string link = dir + "/link", swapped = dir + "/swapped", trap = dir + "/trap";
    ASSERT_EQ(mkfifo(trap.c_str(), 0600), 0);
    ASSERT_EQ(symlink(trap.c_str(), swapped.c_str()), 0);
    for (const bool openat2 : {true, false}) {
        SCOPED_TRACE(openat2 ? "with openat2" : "without openat2");
        restart(openat2);
        ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
        for (int i = 0; i < OWNER_SHARE + 8; i++)
            ASSERT_TRUE(request_send(CMD_PING, link));
        ASSERT_TRUE(daemon_wait_output(&daemon, "\ne8 1\n", 10000, OWNER_SHARE + 8));
        ASSERT_EQ(rename(swapped.c_str(), link.c_str()), 0);
        for (int i = 0; i < 5; i++) {
            std::string got;
            EXPECT_EQ(client_request(CMD_PING, "", "", 2000, &got), 0);
            EXPECT_EQ(got, "OK");
        }
        ASSERT_EQ(rename(link.c_str(), swapped.c_str()), 0);
    }
}

// Anyone may flood the daemon with records whose reply paths reach nothing
// (no FIFO, nothing held, no owner): beyond a few that wait, they are
// dropped as they are read, and said so once, so another member's ping
// behind thousands of them is answered at once instead of after minutes.
TEST_F(WorkerLimitsTest, FloodOfRecordsThatReachNoFifo)
{
    ASSERT_TRUE(daemon_start(&daemon, {"-l"}));
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_PING, "/tmp/work/nothing", "", ""));
    for (size_t i = 0; i < MAX_WAITING + 1000; i++)
        ASSERT_EQ(client_send(rec, RECORD_SIZE, 30000), 0) << i;
    std::string got;
    EXPECT_EQ(client_request(CMD_PING, "", "", 10000, &got), 0);
    EXPECT_EQ(got, "OK");
    EXPECT_EQ(count_of(daemon_err(&daemon), "requests dropped: 16 whose reply path reaches no FIFO wait already"), 1u)
        << daemon_err(&daemon);
    // A member's own flood, into a FIFO of his that nobody reads: beyond
    // what may wait, his records are dropped too, and said so once.
    const std::string unread = dir + "/unread";
    ASSERT_EQ(mkfifo(unread.c_str(), 0600), 0);
    ASSERT_TRUE(client_record_build(rec, CMD_PING, unread.c_str(), "", ""));
    for (int i = 0; i < OWNER_SHARE + OWNER_WAITING + 100; i++)
        ASSERT_EQ(client_send(rec, RECORD_SIZE, 30000), 0) << i;
    const std::string told = "<4>requests of uid " + std::to_string(getuid()) + " dropped: 256 of them wait already\n";
    EXPECT_TRUE(daemon_wait_output(&daemon, told, 30000, 1, true)) << daemon_err(&daemon);
    EXPECT_EQ(count_of(daemon_err(&daemon), told), 1u);
}

// A burst of one owner's transfers, 100 clients at once: ended threads are
// joined before more start, so threads follow the workers (the main thread,
// OWNER_SHARE workers, and a few waiting to be joined).
TEST_F(WorkerLimitsTest, ThreadsFollowTheWorkersThroughABurst)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    const std::string big_plain = random_bytes(2 * LOAD_SIZE, 75), big = dir + "/big";
    ASSERT_TRUE(file_write(big, encrypt_bytes(big_plain, key)));
    std::atomic<bool> stop{false};
    std::thread sampler([&] { workers_at_most(OWNER_SHARE + 5, &stop); });
    std::vector<std::thread> clients;
    std::atomic<int> exact{0};
    for (int i = 0; i < 100; i++)
        clients.emplace_back([&] {
            for (int k = 0; k < 3; k++) {
                std::string got;
                exact += client_request(CMD_DECRYPT_FILE, big.c_str(), text.c_str(), 30000, &got) == 0 &&
                         got == big_plain;
            }
        });
    for (auto& c : clients)
        c.join();
    stop = true;
    sampler.join();
    EXPECT_EQ(exact, 300);
}

TEST_F(WorkerLimitsTest, PublicFifoThatStaysFull)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    kill(daemon.pid, SIGSTOP);
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_PING, "/nowhere", "", ""));
    int s = 0;
    for (int i = 0; s == 0 && i < 200; i++)
        s = failure(client_send(rec, RECORD_SIZE, 200));
    EXPECT_EQ(s, EBUSY);
    kill(daemon.pid, SIGCONT);
    EXPECT_TRUE(daemon_pings());
}

// No room for a worker's stack: the record waits, and is served once a
// thread can start again; the log says both.
TEST_F(WorkerLimitsTest, WorkerThatCannotStart)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit starves the sanitizer runtime";
#endif
    ASSERT_TRUE(daemon_start(&daemon, {"-d", "-l"}));
    rlimit lim{(rlim_t)(sandbox_proc_status(daemon.pid, "VmSize") + 64) * 1024, RLIM_INFINITY};
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_AS, &lim, nullptr), 0);
    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_PING, r.path()));
    EXPECT_TRUE(daemon_wait_output(&daemon, "\ne8 1\ne14\n", 3000)) << daemon_out(&daemon);
    EXPECT_TRUE(daemon_wait_output(&daemon, "a worker thread cannot start", 3000, 1, true));
    lim.rlim_cur = RLIM_INFINITY;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_AS, &lim, nullptr), 0);
    std::string got;
    EXPECT_EQ(client_read_reply(r.get(), 10000, client_append, &got), 0);
    EXPECT_EQ(got, "OK");
    EXPECT_TRUE(daemon_wait_output(&daemon, "worker threads start again", 3000, 1, true));
    EXPECT_EQ(count_of(daemon_err(&daemon), "cannot start"), 1u) << daemon_err(&daemon);
    EXPECT_TRUE(daemon_pings());
}

// The daemon as an ordinary user, with room for two workers, both held by
// transfers nobody reads yet: pings sent meanwhile wait, none dropped, and
// are answered once the transfers are read; the log says why they waited.
TEST_F(WorkerLimitsTest, ThreadLimitOfAnOrdinaryUser)
{
    SKIP_WITHOUT_OTHER_USERS("starting the daemon as another user");
    // As that user, the daemon may not raise its own limit, nor may the
    // test change it from outside without CAP_SYS_RESOURCE: it is set at
    // start, from the count of an idle daemon's threads.
    const std::string as_user = "setpriv --reuid=4343 --regid=4343 --clear-groups";
    setenv("TESSARIND_WRAPPER", as_user.c_str(), 1);
    bool started = daemon_start(&daemon, {});
    const long idle = sandbox_proc_status(daemon.pid, "Threads");
    daemon_kill(&daemon);
    setenv("TESSARIND_WRAPPER", (as_user + " prlimit --nproc=" + std::to_string(idle + 2)).c_str(), 1);
    started = started && daemon_start(&daemon, {"-d", "-l"});
    unsetenv("TESSARIND_WRAPPER");
    ASSERT_TRUE(started);
    const std::string big_plain = random_bytes(8 * LOAD_SIZE, 74), big = dir + "/big";
    ASSERT_TRUE(file_write(big, encrypt_bytes(big_plain, key)));
    ASSERT_EQ(chmod(big.c_str(), 0644), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    // Sent as the daemon's user: the clients take no other owner's FIFO.
    const auto send = [](unsigned char command, reply_fifo* r, const std::string& file, const std::string& key) {
        bool sent = r->open() && seteuid(4343) == 0;
        sent = sent && request_send(command, r->path(), file, key);
        return seteuid(0) == 0 && sent;
    };
    std::vector<reply_fifo> held(2), pings(5);
    for (auto& r : held)
        ASSERT_TRUE(send(CMD_DECRYPT_FILE, &r, big, text));
    ASSERT_TRUE(wait_until(10000, [&] { return sandbox_proc_status(daemon.pid, "Threads") == idle + 2; }));
    for (auto& r : pings)
        ASSERT_TRUE(send(CMD_PING, &r, "", ""));
    EXPECT_TRUE(daemon_wait_output(&daemon, "\ne14\n", 10000)) << daemon_out(&daemon);
    EXPECT_TRUE(daemon_wait_output(&daemon, "a worker thread cannot start", 10000, 1, true));
    for (auto& r : held) {
        std::string got;
        EXPECT_EQ(client_read_reply(r.get(), 20000, client_append, &got), 0);
        EXPECT_TRUE(got == big_plain);
    }
    for (auto& r : pings) {
        std::string got;
        EXPECT_EQ(client_read_reply(r.get(), 20000, client_append, &got), 0);
        EXPECT_EQ(got, "OK");
    }
    EXPECT_TRUE(daemon_wait_output(&daemon, "worker threads start again", 10000, 1, true));
}

// Workers get their own stack size, and the main thread's wipe fits.
TEST_F(WorkerLimitsTest, StackLimitOf32KiB)
{
    setenv("TESSARIND_WRAPPER", "prlimit --stack=32768", 1);
    const bool started = daemon_start(&daemon, {});
    unsetenv("TESSARIND_WRAPPER");
    ASSERT_TRUE(started);
    EXPECT_TRUE(daemon_pings());
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), text.c_str(), 3000, &got), 0);
    EXPECT_TRUE(got == plain);
}
