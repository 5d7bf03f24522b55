// SPDX-License-Identifier: MIT
// Decrypting transfers through the real daemon.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "common/common.h"
#include "tests/harness.h"
#include "worker/internal.h"
#include "tools/sandbox.h"

namespace {

std::string hex16(const std::string& key)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < 16; i++) {
        snprintf(b, sizeof b, " %02X", (unsigned char)key[i]);
        s += b;
    }
    return s + "\n";
}

// Breaks key text up with '-' characters, which the daemon ignores.
std::string dashed(const std::string& text)
{
    std::string s = "-";
    for (size_t i = 0; i < text.size(); i++)
        s += text.substr(i, 1) + (i % 3 == 1 ? "--" : "");
    return s;
}

class TransferTest : public DaemonTest {
protected:
    void prepare() override
    {
        ASSERT_TRUE(daemon_start(&daemon));
        ASSERT_TRUE(daemon_wait_output(&daemon, "e7\n", 5000));
    }

    // Whole file and first load of files of these sizes, each exact.
    void expect_round_trips(const std::vector<size_t>& sizes);
    // Writes the encryption of plain under key; returns its path.
    std::string make_file(const std::string& name, const std::string& plain, const std::string& key)
    {
        const std::string path = dir + "/" + name;
        EXPECT_TRUE(file_write(path, encrypt_bytes(plain, key)));
        return path;
    }
};

}  // namespace

TEST_F(TransferTest, RoundTripsAcrossSizes)
{
    const size_t L = LOAD_SIZE, S = HELPER_SLICE_SIZE;
    expect_round_trips({0, 8, 1000, S + 3, L, L + 8, L + 24, 2 * L + 3 * S + 7, 4 * L, 1000003});
}

// Reads that return less than asked (some network and FUSE file systems),
// and reads and writes a signal interrupts: every load is filled and
// written whole, so whole file and first load are exact.
TEST_F(TransferTest, ShortReadsFillEachLoad)
{
    daemon_kill(&daemon);
    ASSERT_TRUE(daemon_start_faulty(&daemon, "short-reads,interrupted", {}));
    const size_t L = LOAD_SIZE;
    expect_round_trips({4093, L + 8, 3 * L + 5, 1000003});
}

// Helpers that cannot start leave the workers to decrypt alone, exact.
TEST_F(TransferTest, HelpersThatCannotStart)
{
    daemon_kill(&daemon);
    ASSERT_TRUE(daemon_start_faulty(&daemon, "helpers", {"-d", "-l"}));
    expect_round_trips({4 * LOAD_SIZE + 5});
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1) {
        EXPECT_TRUE(daemon_wait_output(&daemon, "0 of ", 3000, 1, true)) << daemon_err(&daemon);
    }
}

void TransferTest::expect_round_trips(const std::vector<size_t>& sizes)
{
    const size_t L = LOAD_SIZE;
    unsigned seed = 1;
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string key = random_bytes(20, seed++);
        const std::string plain = random_bytes(size, seed++);
        const std::string file = make_file(std::string("f").append(std::to_string(size)), plain, key);
        const std::string text = base64_encode(key);
        std::string whole, first;
        EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), text.c_str(), 5000, &whole), 0);
        EXPECT_TRUE(whole == plain);
        EXPECT_EQ(client_request(CMD_DECRYPT_CHUNK, file.c_str(), dashed(text).c_str(), 5000, &first), 0);
        EXPECT_TRUE(first == plain.substr(0, L));
    }
}

TEST_F(TransferTest, ShortKeyIsFilledWithZeros)
{
    std::string key = "ABC";
    key.resize(20, '\0');
    const std::string plain = random_bytes(4096, 7);
    const std::string file = make_file("short", plain, key);
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), "QUJD", 5000, &got), 0);
    EXPECT_TRUE(got == plain);
}

// A key string filling its whole field with no NUL is taken as 256 bytes;
// of its decoding only the first 20 bytes count.
TEST_F(TransferTest, KeyStringWithoutNul)
{
    std::string key;
    while (key.size() < 20)
        key += "ABC";
    key.resize(20);
    const std::string plain = random_bytes(800, 8);
    const std::string file = make_file("nonul", plain, key);
    reply_fifo r;
    ASSERT_TRUE(r.open());
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_DECRYPT_FILE, r.path(), file.c_str(), ""));
    for (size_t i = 0; i < FIELD_SIZE; i++)
        rec[KEY_STRING_OFFSET + i] = (unsigned char)"QUJD"[i % 4];
    ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), 0);
    std::string got;
    EXPECT_EQ(client_read_reply(r.get(), 5000, client_append, &got), 0);
    EXPECT_TRUE(got == plain);
}

TEST_F(TransferTest, MissingFileGivesEmptyReplyAndPerrorLine)
{
    const std::string missing = dir + "/missing";
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, missing.c_str(), "QUJD", 5000, &got), 0);
    EXPECT_EQ(client_request(CMD_DECRYPT_CHUNK, missing.c_str(), "QUJD", 5000, &got), 0);
    EXPECT_EQ(got, "");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t45...: No such file or directory\n", 3000, 1, true));
    EXPECT_EQ(daemon_err(&daemon), "e23: No such file or directory\nt45...: No such file or directory\n");
    // The run ends early: no closing frame traces.
    EXPECT_EQ(count_of(daemon_out(&daemon), "t70"), 0u);
    EXPECT_EQ(count_of(daemon_out(&daemon), "t80"), 0u);
    EXPECT_TRUE(daemon_pings());
}

TEST_F(TransferTest, PublicFifoIsNeverADataFile)
{
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_CHUNK, PUBLIC_FIFO_PATH, "QUJD", 3000, &got), 0);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(daemon_wait_output(&daemon, "t45...: Invalid argument\n", 3000, 1, true));
    EXPECT_TRUE(daemon_pings());
}

TEST_F(TransferTest, SameFileTwoKeysAtOnce)
{
    const std::string plain = random_bytes(3 * LOAD_SIZE + 5, 9);
    const std::string k1 = random_bytes(20, 10), k2 = random_bytes(20, 11);
    // The file is plain encrypted under k2, then under k1.
    const std::string file = make_file("shared", encrypt_bytes(plain, k2), k1);
    std::string a, b;
    int sa, sb;
    std::thread t1([&] { sa = client_request(CMD_DECRYPT_FILE, file.c_str(), base64_encode(k1).c_str(), 5000, &a); });
    std::thread t2([&] { sb = client_request(CMD_DECRYPT_FILE, file.c_str(), base64_encode(k2).c_str(), 5000, &b); });
    t1.join();
    t2.join();
    EXPECT_EQ(sa, 0);
    EXPECT_EQ(sb, 0);
    EXPECT_TRUE(a == encrypt_bytes(plain, k2));
    const std::string raw = file_read(file);
    EXPECT_EQ(b.size(), raw.size());
    EXPECT_TRUE(encrypt_bytes(b, k2) == raw);
}

TEST_F(TransferTest, ExactTracesOfTwoLoadsAndAFirstLoad)
{
    const std::string key = random_bytes(20, 12);
    const std::string text = base64_encode(key);
    const std::string file = make_file("two", random_bytes(2 * LOAD_SIZE, 13), key);
    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), file, text));
    std::string got;
    ASSERT_EQ(client_read_reply(r.get(), 5000, client_append, &got), 0);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    const std::string path = r.path();
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne8 0\ne17..\ne18\ne20: " + path + "\ne21: " + file + "\ne22: " + text +
                                                 "\n" + hex16(key) + "e31 262144\ne31 262144\ne35\ne37\nt70:  " + path +
                                                 "\nt80\n\n"),
              1u)
        << daemon_out(&daemon);
    r.close();

    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_CHUNK, r.path(), file, text));
    got.clear();
    ASSERT_EQ(client_read_reply(r.get(), 5000, client_append, &got), 0);
    EXPECT_EQ(got.size(), LOAD_SIZE);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 2));
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne8 3\ne17..\nt40\nt42: " + std::string(r.path()) + "\nt43: " + file +
                                                 "\nt44: " + text + "\n" + hex16(key) +
                                                 "t46\nt47 262144\nt50\nt55\nt70:  " + r.path() + "\nt80\n\n"),
              1u)
        << daemon_out(&daemon);
}

TEST_F(TransferTest, EmptyFileTraces)
{
    const std::string file = dir + "/empty";
    ASSERT_TRUE(file_write(file, ""));
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), "QUJD", 3000, &got), 0);
    // A reply ends before its worker's last trace line: wait for that line,
    // so that the next worker's lines cannot fall in between.
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    EXPECT_EQ(client_request(CMD_DECRYPT_CHUNK, file.c_str(), "QUJD", 3000, &got), 0);
    EXPECT_EQ(got, "");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 2));
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne35\ne37\nt70"), 1u);
    EXPECT_EQ(count_of(daemon_out(&daemon), "\nt46\nt50\nt55\nt70"), 1u);
}

// A client that closes its reply FIFO early (a pipe into head, say) is told
// of in the log, not warned of; a failed request is warned of.
TEST_F(DaemonTest, ReaderThatLeavesEarlyIsNoWarning)
{
    ASSERT_TRUE(daemon_start(&daemon, {"-d", "-l"}));
    const std::string file = dir + "/big";
    ASSERT_TRUE(file_write(file, random_bytes(8 * LOAD_SIZE, 16)));
    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), file, "QUJD"));
    ASSERT_GE(read_one_load(&r).size(), LOAD_SIZE);
    r.close();
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, (dir + "/absent").c_str(), "QUJD", 3000, &got), 0);
    EXPECT_TRUE(daemon_wait_output(&daemon, "<4>decrypt failed: reply ", 5000, 1, true)) << daemon_err(&daemon);
    EXPECT_TRUE(daemon_wait_output(&daemon, "<6>decrypt ended early: reply ", 5000, 1, true)) << daemon_err(&daemon);
    EXPECT_EQ(count_of(daemon_err(&daemon), "<4>decrypt"), 1u) << daemon_err(&daemon);
}

TEST_F(TransferTest, ClientLeavingMidTransfer)
{
    const int fds_at_start = daemon_fd_count(&daemon);
    const std::string file = make_file("big", random_bytes(8 * LOAD_SIZE, 14), random_bytes(20, 15));
    reply_fifo r;
    ASSERT_TRUE(r.open());
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, r.path(), file, "QUJD"));
    // Read about one load, then go away.
    ASSERT_GE(read_one_load(&r).size(), LOAD_SIZE);
    // Meanwhile the whole-file worker runs at nice 10 from its second load
    // on, the main thread at 0.
    std::vector<int> nices;
    const auto nices_now = [&] {
        nices.clear();
        const std::string tasks = "/proc/" + std::to_string(daemon.pid) + "/task";
        DIR* dp = opendir(tasks.c_str());
        while (const dirent* e = dp ? readdir(dp) : nullptr) {
            const std::string stat = file_read(tasks + "/" + e->d_name + "/stat");
            int nice = 0;
            if (e->d_name[0] != '.' && sscanf(stat.c_str() + stat.rfind(')') + 2,
                                              "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %d",
                                              &nice) == 1)
                nices.push_back(nice);
        }
        if (dp)
            closedir(dp);
        std::sort(nices.begin(), nices.end());
        return !nices.empty() && nices.back() == 10;
    };
    EXPECT_TRUE(wait_until(10000, nices_now));
    EXPECT_EQ(nices.front(), 0);
    r.close();
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 5000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "e32\ne34\ne35\ne37\nt70"), 1u) << daemon_out(&daemon);
    // A write that the reader left midway, once part of it was taken, has
    // raised SIGPIPE already: the kernel then signals its rest again.
    EXPECT_GE(count_of(daemon_err(&daemon), "E1\n"), 1u);
    EXPECT_LE(count_of(daemon_err(&daemon), "E1\n"), 2u);
    EXPECT_TRUE(daemon_pings());
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 2));
    EXPECT_EQ(daemon_fd_count(&daemon), fds_at_start);
}

// A reply FIFO that its client never opens holds a transfer READER_WAIT_MS
// at most, one that its client removed not even that; neither is retried.
TEST_F(TransferTest, ReplyPathMissingOrNotAFifo)
{
    const std::string key = random_bytes(20, 16);
    const std::string file = make_file("secret", random_bytes(4096, 17), key);
    const std::string plain_reply = dir + "/not-a-fifo";
    ASSERT_TRUE(file_write(plain_reply, "untouched"));
    const std::string missing = dir + "/no-such-fifo", never = dir + "/never-read", removed = dir + "/removed";
    ASSERT_EQ(mkfifo(never.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(removed.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, missing, file, base64_encode(key).c_str()));
    ASSERT_TRUE(request_send(CMD_DECRYPT_CHUNK, plain_reply, file, base64_encode(key).c_str()));
    ASSERT_TRUE(request_send(CMD_DECRYPT_FILE, never, file, base64_encode(key).c_str()));
    ASSERT_TRUE(request_send(CMD_DECRYPT_CHUNK, removed, file, base64_encode(key).c_str()));
    ASSERT_TRUE(daemon_wait_output(&daemon, "t40\n", 3000, 2));
    usleep(200 * 1000);
    unlink(removed.c_str());
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 1));
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 9000, 3));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(READER_WAIT_MS - 5000));
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", READER_WAIT_MS + 5000, 4));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(READER_WAIT_MS));
    const std::string out = daemon_out(&daemon);
    EXPECT_EQ(count_of(out, "e19: " + missing + "\n"), 5u);
    EXPECT_EQ(count_of(out, "t41: " + plain_reply + "\n"), 5u);
    EXPECT_EQ(count_of(out, "e19: " + never + "\n") + count_of(out, "t41: " + removed + "\n"), 0u);
    EXPECT_EQ(count_of(out, "e37\n"), 2u);
    EXPECT_EQ(count_of(out, "t55\n"), 2u);
    EXPECT_EQ(count_of(out, "t70"), 0u);
    EXPECT_EQ(file_read(plain_reply), "untouched");
}

// Paths that must never be opened: a data file that is not a regular file
// of a real file system (a FIFO would pin the worker in open(), a device is
// never opened at all, procfs and sysfs describe the daemon and the
// machine), the daemon's log, and any path through a /proc magic link to
// the daemon's own descriptors. Nor is the public FIFO or a pipe a reply
// path. Each row runs with openat2 and again as on kernels without it,
// where a symlink to /proc/self/fd/N is no longer refused by its name and
// only the object check stands. Texts a client sends cannot forge traces.
TEST_F(TransferTest, HostilePaths)
{
    const std::string fifo = dir + "/data-fifo";  // nobody writes it
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string to_log = dir + "/to-log", to_environ = dir + "/to-environ", to_stderr = dir + "/to-stderr";
    ASSERT_EQ(symlink("/proc/self/fd/1", to_log.c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/environ", to_environ.c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/fd/2", to_stderr.c_str()), 0);
    const std::string loop = "Too many levels of symbolic links\n", inval = "Invalid argument\n";
    const struct {
        unsigned char command;
        std::string file;
        std::string error, error_without_openat2;
    } cases[] = {
        {CMD_DECRYPT_FILE, fifo, inval, inval},
        {CMD_DECRYPT_FILE, "/proc/self/fd/2", loop, loop},
        {CMD_DECRYPT_CHUNK, "/dev/fd/2", loop, loop},
        {CMD_DECRYPT_FILE, to_log, loop, inval},
        {CMD_DECRYPT_FILE, to_environ, inval, inval},
        {CMD_DECRYPT_CHUNK, "/proc/self/maps", inval, loop},
        {CMD_DECRYPT_FILE, "/sys/kernel/uevent_seqnum", inval, inval},
        {CMD_DECRYPT_CHUNK, "/dev/ptmx", inval, inval},
    };
    for (const bool openat2 : {true, false}) {
        SCOPED_TRACE(openat2 ? "with openat2" : "without openat2");
        daemon_kill(&daemon);
        int err[2];
        ASSERT_EQ(pipe2(err, O_NONBLOCK | O_CLOEXEC), 0);
        const bool started = daemon_start_openat2(&daemon, openat2, {"-d"}, err[1]);
        close(err[1]);
        ASSERT_TRUE(started);
        std::string err_text;
        const auto err_holds = [&](const std::string& needle, size_t count) {
            return wait_until(3000, [&] {
                char b[4096];
                for (ssize_t n; (n = read(err[0], b, sizeof b)) > 0;)
                    err_text.append(b, (size_t)n);
                return count_of(err_text, needle) >= count;
            });
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.file);
            const std::string& error = openat2 ? c.error : c.error_without_openat2;
            const size_t before = count_of(err_text, error);
            std::string got;
            EXPECT_EQ(client_request(c.command, c.file.c_str(), "QUJD", 3000, &got), 0);
            EXPECT_EQ(got, "");
            EXPECT_TRUE(err_holds(error, before + 1));
        }
        // Five failed attempts each, and nothing written.
        ASSERT_TRUE(request_send(CMD_PING, PUBLIC_FIFO_PATH));
        ASSERT_TRUE(request_send(CMD_PING, to_stderr));
        EXPECT_TRUE(daemon_wait_output(&daemon, "t61\n", 8000, 10));
        EXPECT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 2));
        EXPECT_EQ(count_of(daemon_out(&daemon), "e8 79"), 0u);
        EXPECT_EQ(count_of(err_text, "OK"), 0u);
        close(err[0]);
    }
}

// A partial record shifts every record after it: another member's key text
// then stands where a path is read (a shift of 257 puts it in the reply
// path, one of 513 in the file path), and a key text may begin with '/'.
// The log names no path of a request whose reply path reached no FIFO, so
// it never holds the key.
TEST_F(TransferTest, ShiftedRecordsKeepKeysOutOfTheLog)
{
    const std::string key_text = "/QUJDREVGR0hJSktMTU5PUFFSU1Q=";
    const std::string file = dir + "/victim";
    ASSERT_TRUE(file_write(file, std::string(4096, 'x')));
    std::string after(RECORD_SIZE, '\0');  // the member's next record, a path where a file path is read
    after.replace(0, 11, "/etc/passwd");
    for (const size_t shift : {257u, 513u}) {
        SCOPED_TRACE(shift);
        daemon_kill(&daemon);
        ASSERT_TRUE(daemon_start(&daemon, {"-d", "-l"}));
        reply_fifo victim;
        ASSERT_TRUE(victim.open());
        unsigned char rec[RECORD_SIZE];
        ASSERT_TRUE(client_record_build(rec, CMD_DECRYPT_FILE, victim.path(), file.c_str(), key_text.c_str()));
        // All in the FIFO before the daemon reads any of it.
        kill(daemon.pid, SIGSTOP);
        const std::string partial(shift, '\0');
        ASSERT_EQ(client_send(partial.data(), partial.size(), 1000), 0);
        ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), 0);
        ASSERT_EQ(client_send(after.data(), RECORD_SIZE, 1000), 0);
        kill(daemon.pid, SIGCONT);
        EXPECT_TRUE(daemon_wait_output(&daemon, "decrypt failed: its reply path reached no FIFO", 15000, 1, true))
            << daemon_err(&daemon);
        EXPECT_TRUE(daemon_wait_output(&daemon, "records not served", 1000, 1, true));
        EXPECT_EQ(daemon_err(&daemon).find(key_text.substr(0, 12)), std::string::npos) << daemon_err(&daemon);
    }
}

// A path that holds trace lines is traced escaped: it forges none.
TEST_F(TransferTest, TracedPathsForgeNoLines)
{
    std::string got;
    const std::string forged = dir + "/x\ne9\ne13..\n\\";
    EXPECT_EQ(client_request(CMD_DECRYPT_CHUNK, forged.c_str(), "QUJD", 3000, &got), 0);
    EXPECT_TRUE(daemon_wait_output(&daemon, "t43: " + dir + "/x\\x0ae9\\x0ae13..\\x0a\\x5c\n", 3000));
    EXPECT_EQ(count_of(daemon_out(&daemon), "\ne9\n"), 0u);
}

// The reply path swapped for a symlink to a regular file between the
// daemon's check and its open, over and over: only a FIFO is ever opened for
// writing.
TEST_F(TransferTest, ReplyPathSwappedUnderTheDaemon)
{
    const std::string bait = dir + "/bait", link = dir + "/link", reply = dir + "/reply";
    ASSERT_TRUE(file_write(bait, "bait"));
    ASSERT_EQ(mkfifo(reply.c_str(), 0622), 0);
    ASSERT_EQ(symlink(bait.c_str(), link.c_str()), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, bait.c_str(), IN_CLOSE_WRITE), 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop)
            renameat2(AT_FDCWD, reply.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    });
    unsigned char rec[RECORD_SIZE];
    ASSERT_TRUE(client_record_build(rec, CMD_PING, reply.c_str(), "", ""));
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(client_send(rec, RECORD_SIZE, 1000), 0);
    EXPECT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 15000, 100));
    stop = true;
    swapper.join();
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "the bait was opened for writing";
    close(watch);
    EXPECT_EQ(file_read(bait), "bait");
}

// After a transfer ends, neither its plain data nor its key is left in the
// daemon's memory: freed buffers, dead stack frames and finished threads'
// stacks included.
TEST_F(TransferTest, NoSecretsLeftInMemory)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "reading another process's memory needs root, or a user namespace";
    daemon_kill(&daemon);
    ASSERT_TRUE(daemon_start(&daemon, {}));  // tracing would print the key
    const std::string key = random_bytes(20, 20);
    const std::string text = base64_encode(key);
    std::string plain;
    while (plain.size() < 3 * LOAD_SIZE)
        plain += "plain-marker-" + std::to_string(plain.size()) + ";";
    const std::string file = make_file("marked", plain, key);
    for (unsigned char cmd : {CMD_DECRYPT_FILE, CMD_DECRYPT_CHUNK}) {
        std::string got;
        EXPECT_EQ(client_request(cmd, file.c_str(), text.c_str(), 5000, &got), 0);
        EXPECT_EQ(got.substr(0, 100), plain.substr(0, 100));
    }
    EXPECT_TRUE(daemon_pings());
    ASSERT_TRUE(daemon_wait_idle(&daemon, 5000));
    EXPECT_FALSE(daemon_memory_holds(&daemon, {"plain-marker-"})) << "plain data";
    EXPECT_FALSE(daemon_memory_holds(&daemon, {key})) << "key bytes";
    EXPECT_FALSE(daemon_memory_holds(&daemon, {text})) << "key text";
    // Nor may its own user read it there, or find it in a core file: the
    // daemon is not dumpable, which the kernel shows by giving the files in
    // /proc/PID to root.
    SKIP_WITHOUT_OTHER_USERS("the daemon as its own user (the rest ran)");
    daemon_kill(&daemon);
    unlink(PUBLIC_FIFO_PATH);
    setenv("TESSARIND_WRAPPER", "setpriv --reuid=65534 --regid=65534 --clear-groups", 1);
    const bool started = daemon_start(&daemon, {});
    unsetenv("TESSARIND_WRAPPER");
    ASSERT_TRUE(started);
    struct stat st;
    ASSERT_EQ(stat(("/proc/" + std::to_string(daemon.pid) + "/status").c_str(), &st), 0);
    EXPECT_EQ(sandbox_proc_status(daemon.pid, "Uid"), 65534);
    EXPECT_EQ(st.st_uid, 0u) << "dumpable";
}

TEST_F(TransferTest, SixtyFourMebibytes)
{
    const std::string key = random_bytes(20, 21);
    const std::string plain = random_bytes(64 << 20, 22);
    const std::string file = make_file("large", plain, key);
    std::string got;
    got.reserve(plain.size());
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), base64_encode(key).c_str(), 20000, &got), 0);
    EXPECT_EQ(got.size(), plain.size());
    EXPECT_TRUE(got == plain);
}

// Without its buffers a worker still answers: a ping as usual, a transfer
// by closing the reply with no data, so its client never waits forever.
TEST_F(DaemonTest, WorkerWithoutBuffers)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer's runtime allocates through malloc before a preloaded one can answer";
#endif
    ASSERT_TRUE(daemon_start_faulty(&daemon, "buffers", {"-d", "-l"}));
    const std::string file = dir + "/data";
    ASSERT_TRUE(file_write(file, random_bytes(4096, 50)));
    EXPECT_TRUE(daemon_pings());
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000));
    std::string got;
    EXPECT_EQ(client_request(CMD_DECRYPT_FILE, file.c_str(), "QUJD", 3000, &got), 0);
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 2));
    EXPECT_EQ(client_request(CMD_DECRYPT_CHUNK, file.c_str(), "QUJD", 3000, &got), 0);
    EXPECT_EQ(got, "");
    ASSERT_TRUE(daemon_wait_output(&daemon, "t80\n\n", 3000, 3));
    EXPECT_EQ(count_of(daemon_out(&daemon), "e22: QUJD\ne37\nt70"), 1u) << daemon_out(&daemon);
    EXPECT_EQ(count_of(daemon_out(&daemon), "t44: QUJD\nt55\nt70"), 1u) << daemon_out(&daemon);
    // The log says why the replies were empty.
    EXPECT_EQ(count_of(daemon_err(&daemon), "failed: reply /tmp/tessarind-"), 2u) << daemon_err(&daemon);
    EXPECT_EQ(count_of(daemon_err(&daemon), "Cannot allocate memory\n"), 2u) << daemon_err(&daemon);
}

// Faults the machine seldom makes, each with its trace codes; the daemon
// goes on serving after each (but after end of file on its FIFO, where it
// stops).
TEST_F(TransferTest, RareFaultsAndTheirTraces)
{
    const std::string plain = random_bytes(2 * LOAD_SIZE, 52), key = random_bytes(20, 53);
    const std::string file = make_file("two-loads", plain, key);
    const struct {
        const char* fault;
        unsigned char command;
        const char* trace;
    } cases[] = {
        {"threads", CMD_PING, "\ne8 1\ne15 1\ne15 1\ne17..\nt60\nt64\n"},
        // The whole blocks read before the error are sent, and no more.
        {"read-error", CMD_DECRYPT_FILE, "\ne31 4096\ne37\nt70:  "},
        {"read-error", CMD_DECRYPT_CHUNK, "\nt47 4096\nt50\nt55\nt70:  "},
        {"reply-fstat", CMD_DECRYPT_FILE, "\ne30\ne35\ne37\nt70:  "},
        {"write-error", CMD_DECRYPT_FILE, "\n e33: 5\ne34\ne35\ne37\nt70:  "},
        {"write-error", CMD_DECRYPT_CHUNK, "\nt46\n 5\nt49\nt55\nt70:  "},
        {"fifo-eof", CMD_PING, "e7\n\ne16\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        daemon_kill(&daemon);
        ASSERT_TRUE(daemon_start_faulty(&daemon, c.fault));
        std::string got;
        client_request(c.command, file.c_str(), base64_encode(key).c_str(), 3000, &got);
        EXPECT_TRUE(daemon_wait_output(&daemon, c.trace, 5000)) << daemon_out(&daemon);
        if (strcmp(c.fault, "threads") == 0) {
            EXPECT_EQ(got, "OK");
        }
        if (strcmp(c.fault, "read-error") == 0) {
            EXPECT_TRUE(got == plain.substr(0, 4096)) << got.size();
        }
    }
    EXPECT_EQ(daemon_wait(&daemon, 5000), 0) << "the end of the public FIFO ends the daemon";
}

// A file that changed size while it was served: the log says so.
TEST_F(TransferTest, AFileThatChangedWhileServedIsLogged)
{
    const std::string key = random_bytes(20, 54);
    const std::string file = make_file("growing", random_bytes(4096, 55), key);
    daemon_kill(&daemon);
    ASSERT_TRUE(daemon_start_faulty(&daemon, "grow-file", {"-l"}));
    std::string got;
    client_request(CMD_DECRYPT_FILE, file.c_str(), base64_encode(key).c_str(), 5000, &got);
    EXPECT_TRUE(daemon_wait_output(&daemon,
                                   "<4>decrypt: file " + file +
                                       " changed while served: 4096 bytes when opened, 4104 at the end\n",
                                   10000, 1, true))
        << daemon_err(&daemon);
}

// A start-up that cannot set up what it needs ends the daemon with 1 and
// says why, with or without tracing.
TEST_F(TransferTest, StartUpFaultsEndTheDaemonSaying)
{
    const struct {
        const char* fault;
        const char* says;   // standard error's last line
        const char* trace;  // standard output, whole
    } cases[] = {
        {"sigaction", "sigaction: Invalid argument\n", "e3.\n"},
        {"eventfd", "eventfd: Too many open files\n", "e3.\n"},
        {"public-open", "/tmp/TALV_PIPE: Permission denied\n", "e3.\ne6...\ne1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        daemon_kill(&daemon);
        unlink(PUBLIC_FIFO_PATH);
        ASSERT_TRUE(daemon_spawn_faulty(&daemon, c.fault, {"-d", "-l"}));
        const int status = daemon_wait(&daemon, 10000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const std::string err = daemon_err(&daemon);
        EXPECT_TRUE(err.size() >= strlen(c.says) && err.compare(err.size() - strlen(c.says), std::string::npos,
                                                                 c.says) == 0)
            << err;
        EXPECT_EQ(daemon_out(&daemon), c.trace);
    }
    // A daemon that may not make its FIFO in /tmp.
    if (!harness_other_users())
        return;
    unlink(PUBLIC_FIFO_PATH);
    ASSERT_EQ(chmod("/tmp", 0755), 0);
    setenv("TESSARIND_WRAPPER", "setpriv --reuid=4242 --regid=4242 --clear-groups", 1);
    const bool spawned = daemon_spawn(&daemon, {"-d"});
    unsetenv("TESSARIND_WRAPPER");
    ASSERT_TRUE(spawned);
    const int status = daemon_wait(&daemon, 10000);
    EXPECT_EQ(chmod("/tmp", 01777), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(daemon_err(&daemon), "/tmp/TALV_PIPE: Permission denied\n");
    EXPECT_EQ(daemon_out(&daemon), "e3.\ne1\n");
}

// A record the daemon cannot take (no memory for its copy, no descriptor to
// bind its reply FIFO) is dropped and logged, and the daemon serves on.
TEST_F(TransferTest, RecordsDroppedForWantOfMemoryOrDescriptors)
{
    std::string got;
    daemon_kill(&daemon);
#ifndef __SANITIZE_THREAD__  // the fault shim leaves allocations alone there
    ASSERT_TRUE(daemon_start_faulty(&daemon, "record-memory", {"-l"}));
    EXPECT_NE(client_request(CMD_PING, "", "", 500, &got), 0);
    EXPECT_TRUE(daemon_wait_output(&daemon, "<3>request dropped: no memory for a copy of its record\n", 10000, 1, true))
        << daemon_err(&daemon);
    daemon_kill(&daemon);
#endif
    unlink(PUBLIC_FIFO_PATH);
    // Descriptors: the limit lowered under the daemon to its lowest free
    // descriptor number.
    ASSERT_TRUE(daemon_start(&daemon, {"-l"}));
    ASSERT_TRUE(daemon_pings());
    ASSERT_TRUE(daemon_wait_idle(&daemon, 10000));
    rlimit old;
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, nullptr, &old), 0);
    std::set<int> used;
    DIR* fds = opendir(("/proc/" + std::to_string(daemon.pid) + "/fd").c_str());
    ASSERT_NE(fds, nullptr);
    while (const dirent* e = readdir(fds))
        used.insert(atoi(e->d_name));  // "." and ".." count as 0, which is in use
    closedir(fds);
    int lowest = 0;
    while (used.count(lowest))
        lowest++;
    const rlimit low = {(rlim_t)lowest, old.rlim_max};
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &low, nullptr), 0);
    EXPECT_NE(client_request(CMD_PING, "", "", 500, &got), 0);
    EXPECT_TRUE(daemon_wait_output(
        &daemon, "<3>request dropped: no descriptor left to bind its reply FIFO (Too many open files)\n", 10000, 1, true))
        << daemon_err(&daemon);
    ASSERT_EQ(prlimit(daemon.pid, RLIMIT_NOFILE, &old, nullptr), 0);
    EXPECT_TRUE(daemon_pings());
}
