// SPDX-License-Identifier: MIT
// The command-line client, against the real daemon.
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <atomic>
#include <cmath>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "client/failure.h"
#include "client/tessarind/client.h"
#include "crypto/crypto.h"
#include "protocol/protocol.h"
#include "tests/harness.h"

namespace {

int run(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr,
        const std::string& input = "")
{
    std::string o, e;
    const int status = client_run(args, &o, &e, input);
    if (out)
        *out = o;
    if (err)
        *err = e;
    return status;
}

// Output files ("out...") and reply directories left in dir or /tmp.
size_t leftovers(const std::string& dir)
{
    size_t n = 0;
    for (const std::string& d : {dir, std::string("/tmp")}) {
        DIR* dp = opendir(d.c_str());
        while (const dirent* e = dp ? readdir(dp) : nullptr)
            n += strncmp(e->d_name, "out", 3) == 0 || strncmp(e->d_name, "tessarind-", 10) == 0;
        if (dp)
            closedir(dp);
    }
    return n;
}

// Signals the command-line client: the child of ours that is not the daemon.
void kill_client(int sig)
{
    wait_until(5000, [sig] {
        DIR* dp = opendir("/proc");
        bool killed = false;
        while (const dirent* e = killed ? nullptr : readdir(dp)) {
            const std::string stat = file_read(std::string("/proc/") + e->d_name + "/stat");
            const size_t paren = stat.rfind(')');
            killed = stat.find("(tessarind-clien)") != std::string::npos &&
                     atoi(stat.c_str() + paren + 4) == getpid() && kill(atoi(e->d_name), sig) == 0;
        }
        closedir(dp);
        return killed;
    });
}

const char KEY20[] = "QUJDREVGR0hJSktMTU5PUFFSU1Q=";  // "ABCDEFGHIJKLMNOPQRST"

// dir/p8, 8 bytes, and dir/p8.enc under KEY20, kept in key_file.
bool encrypted_p8(const std::string& dir, const std::string& key_file)
{
    return file_write(key_file, KEY20) && file_write(dir + "/p8", random_bytes(8, 9)) &&
           run({"encrypt", "--key-file", key_file, "-o", dir + "/p8.enc", dir + "/p8"}) == 0;
}

mode_t umask_now()
{
    const mode_t m = umask(0);
    umask(m);
    return m;
}

}  // namespace

// --progress shows a line on a terminal as the data comes, and clears it at
// the end; elsewhere it shows nothing.
TEST_F(DaemonTest, ProgressOnATerminal)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    const std::string plain = dir + "/plain", enc = dir + "/plain.enc", out = dir + "/out";
    ASSERT_TRUE(file_write(plain, random_bytes(1000003, 11)));
    ASSERT_EQ(run({"encrypt", "-o", enc, plain, KEY20}), 0);
    std::string screen;
    const int status = client_run_on_terminal({"decrypt", "--progress", "-o", out, enc, KEY20}, &screen);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(file_read(out) == file_read(plain));
    EXPECT_NE(screen.find(" bytes, "), std::string::npos) << screen;
    EXPECT_NE(screen.find("%, "), std::string::npos) << screen;
    EXPECT_NE(screen.find(" MB/s\033[K"), std::string::npos) << screen;
    EXPECT_TRUE(screen.size() >= 4 && screen.compare(screen.size() - 4, 4, "\r\033[K") == 0) << screen;
    std::string err;
    EXPECT_EQ(run({"decrypt", "--progress", "-o", out, enc, KEY20}, nullptr, &err), 0);
    EXPECT_EQ(err, "");
}

TEST_F(DaemonTest, ClientUsage)
{
    std::string out, err;
    EXPECT_EQ(run({"--help"}, &out), 0);
    EXPECT_NE(out.find("--key-file"), std::string::npos);
    EXPECT_EQ(run({"--version"}, &out), 0);
    EXPECT_EQ(out, "tessarind-client Version 1.19\n");
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"ping", "extra"}, {"--timeout", "soon", "ping"}, {"decrypt"},
             {"--first-load", "ping"}, {"ping", "--bogus"}, {"ping", "--timeout"}, {"decrypt", "-o"},
             {"decrypt", "--key-file"}, {"ping", "-o", "x"}, {"stop", "--key-file", "k"}, {"keygen", "extra"}}) {
        EXPECT_EQ(run(bad, nullptr, &err), 2) << (bad.empty() ? "" : bad[0]);
        EXPECT_NE(err.find("tessarind-client: "), std::string::npos);
    }
}

// Someone outside the group: the message says what to ask for; reply FIFOs
// only the public FIFO's group may write; an impostor's FIFO, with the
// impostor reading, gets nothing (a symlink there leads to something that
// only looks like the daemon's FIFO).
TEST_F(DaemonTest, ClientOutsideTheGroupAndBesideImpostors)
{
    SKIP_WITHOUT_OTHER_USERS("other owners and users");
    std::string out, err;
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0620), 0);
    setenv("TESSARIND_WRAPPER", "setpriv --reuid=65534 --regid=65534 --clear-groups", 1);
    EXPECT_EQ(client_run({"ping"}, &out, &err, "", true), 1);
    unsetenv("TESSARIND_WRAPPER");
    EXPECT_EQ(err, "tessarind-client: not allowed to write /tmp/TALV_PIPE: Permission denied (ask to be made a "
                   "member of group tessarind)\n");
    // Reply FIFOs: only the public FIFO's group may write them.
    ASSERT_EQ(chown(PUBLIC_FIFO_PATH, 4242, 4343), 0);
    reply_fifo r;
    struct stat st;
    ASSERT_TRUE(r.open());
    EXPECT_TRUE(stat(r.path(), &st) == 0 && (st.st_mode & 0777) == 0620 && st.st_gid == 4343) << std::oct << st.st_mode;
    r.close();
    ASSERT_EQ(chown(PUBLIC_FIFO_PATH, 0, 0), 0);
    ASSERT_TRUE(r.open());
    EXPECT_TRUE(stat(r.path(), &st) == 0 && (st.st_mode & 0777) == 0600) << std::oct << st.st_mode;
    r.close();
    unlink(PUBLIC_FIFO_PATH);
    const std::string elsewhere = dir + "/elsewhere";
    const struct {
        uid_t owner;
        mode_t mode;
        const char* err;
        bool link;
    } impostors[] = {
        {4242, 0620, "(owner 4242, mode 0620)", false},
        {0, 0644, "(owner root, mode 0644)", false},
        {0, 0620, "(owner root, mode 0777)", true},
    };
    for (const auto& c : impostors) {
        const char* fifo = c.link ? elsewhere.c_str() : PUBLIC_FIFO_PATH;
        ASSERT_EQ(mkfifo(fifo, 0600), 0);
        ASSERT_EQ(chown(fifo, c.owner, 0), 0);
        ASSERT_EQ(chmod(fifo, c.mode), 0);
        if (c.link) {
            ASSERT_EQ(symlink(fifo, PUBLIC_FIFO_PATH), 0);
        }
        const int reader = open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(run({"ping"}, &out, &err), 1);
        EXPECT_EQ(err, std::string("tessarind-client: /tmp/TALV_PIPE is not the daemon's ") + c.err + "\n");
        char b[1];
        EXPECT_LE(read(reader, b, 1), 0) << "a record reached the impostor";
        close(reader);
        unlink(PUBLIC_FIFO_PATH);
        unlink(fifo);
    }
}

TEST_F(DaemonTest, ClientWithoutDaemonOrReadableFile)
{
    std::string out, err;
    for (const char* command : {"ping", "stop"}) {
        EXPECT_EQ(run({command}, &out, &err), 1);
        EXPECT_EQ(err, "tessarind-client: daemon not running (start it with: sudo systemctl start tessarind.socket)\n");
    }
    const std::string f = dir + "/some";
    ASSERT_TRUE(file_write(f, "12345678"));
    EXPECT_EQ(run({"decrypt", f, "QUJD"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: daemon not running (start it with: sudo systemctl start tessarind.socket)\n");
    EXPECT_EQ(run({"decrypt", dir + "/absent", "QUJD"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: cannot read " + dir + "/absent: No such file or directory\n");
    EXPECT_EQ(run({"decrypt", f}, &out, &err), 2);
    EXPECT_EQ(err, "tessarind-client: no KEY given\n(see tessarind-client --help)\n");
    for (const std::string& not_regular : {dir, std::string("/dev/null")}) {
        EXPECT_EQ(run({"decrypt", not_regular, "QUJD"}, &out, &err), 1);
        EXPECT_EQ(err, "tessarind-client: " + not_regular + " is not a regular file\n");
    }
}

// Key text the user did not mean: refused by position, never echoed.
TEST_F(DaemonTest, ClientRefusesKeyTextsAndItsOwnInput)
{
    std::string out, err;
    const std::string f = dir + "/some";
    ASSERT_TRUE(file_write(f, "12345678"));
    const struct {
        std::string key;
        std::string err;
    } keys[] = {
        {"=", "key text decodes to no bytes at all"},
        {"=QUJD", "key text: character 2 is neither base64, '-' nor '=' padding at the end"},
        {"correct horse battery staple", "key text: character 8 is neither base64, '-' nor '=' padding at the end"},
        {"QUJD", "a key for encrypting is 20 bytes; this key text gives 3"},
        {"00112233445566778899aabbccddeeff00112233",
         "this looks like a hexadecimal key: give its base64 (tr a-f A-F | basenc -d --base16 | base64)"},
    };
    for (const auto& k : keys) {
        EXPECT_EQ(run({"encrypt", f, k.key}, &out, &err), 1) << k.key;
        EXPECT_EQ(err, "tessarind-client: " + k.err + "\n");
    }
    EXPECT_EQ(run({"encrypt", "-o", f, f, KEY20}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: refusing to overwrite the input file " + f + "\n");
    EXPECT_EQ(file_read(f), "12345678");
    // Each names the path it is about.
    EXPECT_EQ(run({"decrypt", "--key-file", dir + "/none", f}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: cannot read key file " + dir + "/none: No such file or directory\n");
    EXPECT_EQ(run({"encrypt", dir, KEY20}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: cannot encrypt " + dir + " into standard output: Is a directory\n");
}

TEST_F(DaemonTest, ClientKeygenEncryptDecryptRoundTrips)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    std::string key, err;
    ASSERT_EQ(run({"keygen"}, &key), 0);
    ASSERT_EQ(key.back(), '\n');
    key.pop_back();
    EXPECT_EQ(uiwndpoa(key.c_str()).size(), 20u);
    std::string other;
    ASSERT_EQ(run({"keygen"}, &other), 0);
    EXPECT_NE(key + "\n", other);

    const std::string key_file = dir + "/key";
    ASSERT_EQ(run({"keygen", "-o", key_file}), 0);
    struct stat kst;
    EXPECT_TRUE(stat(key_file.c_str(), &kst) == 0 && (kst.st_mode & 0777) == 0600);
    EXPECT_EQ(uiwndpoa(file_read(key_file).c_str()).size(), 20u);
    ASSERT_TRUE(file_write(key_file, " \t" + key + "\n"));  // white space around it is dropped
    const size_t sizes[] = {0, 7, 8, 262151, 3 * LOAD_SIZE + 5};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string plain = random_bytes(size, (unsigned)size + 1);
        const std::string name = dir + "/p" + std::to_string(size);
        ASSERT_TRUE(file_write(name, plain));
        ASSERT_EQ(run({"encrypt", "--key-file", "-", "-o", name + ".enc", name}, nullptr, &err, "\n " + key), 0) << err;
        struct stat est;
        EXPECT_TRUE(stat((name + ".enc").c_str(), &est) == 0 && (est.st_mode & 0777) == (0666 & ~umask_now()));
        const std::string enc = file_read(name + ".enc");
        EXPECT_EQ(enc.size(), plain.size());
        EXPECT_EQ(enc.substr(size & ~(size_t)7), plain.substr(size & ~(size_t)7));  // the tail as it was
        EXPECT_TRUE(size < 8 || enc != plain);
        std::string got;
        EXPECT_EQ(run({"decrypt", "--key-file", key_file, name + ".enc"}, &got, &err), 0) << err;
        EXPECT_TRUE(got == plain);
        EXPECT_EQ(run({"decrypt", "--first-load", "-o", name + ".out", name + ".enc", key}, &got, &err), 0) << err;
        EXPECT_TRUE(file_read(name + ".out") == plain.substr(0, LOAD_SIZE));
    }
}

// Where the plain data goes: over an existing file (its mode and group
// kept), "-", a device written in place, never a FIFO another user planted;
// and the C API's arguments.
TEST_F(DaemonTest, ClientOutputs)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    const std::string key = KEY20, key_file = dir + "/key";
    ASSERT_TRUE(encrypted_p8(dir, key_file));
    std::string err;
    struct stat kst;
    const std::string kept = dir + "/p8.enc";
    ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
    const bool others = harness_other_users();
    if (others) {
        ASSERT_EQ(chown(kept.c_str(), (uid_t)-1, 4343), 0);
    }
    ASSERT_EQ(run({"encrypt", "--key-file", key_file, "-o", kept, dir + "/p8"}, nullptr, &err), 0) << err;
    EXPECT_TRUE(stat(kept.c_str(), &kst) == 0 && (kst.st_mode & 0777) == 0640 &&
                (!others || kst.st_gid == 4343));
    // "-" is standard output; a device is written in place, never replaced.
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const std::string plain = file_read(dir + "/p8"), enc = dir + "/p8.enc", null = dir + "/null";
    std::string got;
    EXPECT_EQ(run({"decrypt", "-o", "-", enc, key}, &got, &err), 0) << err;
    EXPECT_TRUE(got == plain);
    EXPECT_FALSE(path_exists("-"));
    // (In a user namespace no device may be made, and the machine's are
    // strangers': there the device row is left out.)
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_EQ(run({"decrypt", "-o", null, enc, key}, &got, &err), 0) << err;
        struct stat st;
        EXPECT_TRUE(stat(null.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
    }
    // A FIFO another user planted at OUT, reading: refused, nothing written.
    if (others) {
        const std::string planted = dir + "/planted";
        ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
        ASSERT_EQ(chown(planted.c_str(), 4242, 4242), 0);
        const int reader = open(planted.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(run({"decrypt", "-o", planted, enc, key}, &got, &err), 1);
        EXPECT_EQ(err, "tessarind-client: refusing to write into " + planted +
                           ": not a regular file, and owned by another user\n");
        char b[1];
        EXPECT_LE(read(reader, b, 1), 0) << "plain data reached the planted FIFO";
        close(reader);
    }
    // An OUT whose folder is missing: each command names it.
    const std::string nowhere = dir + "/none/out";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"decrypt", "-o", nowhere, enc, key},
             {"encrypt", "-o", nowhere, dir + "/p8", key},
             {"keygen", "-o", nowhere}}) {
        EXPECT_EQ(run(args, &got, &err), 1) << args[0];
        EXPECT_EQ(err, "tessarind-client: cannot write " + nowhere + ": No such file or directory\n");
    }
    // A relative path is sent as an absolute one, whatever TMPDIR says.
    ASSERT_EQ(mkdir("private", 0700), 0);
    setenv("TMPDIR", "private", 1);
    EXPECT_EQ(run({"decrypt", "p8.enc", key}, &got, &err), 0) << err;
    unsetenv("TMPDIR");
    EXPECT_TRUE(got == file_read(dir + "/p8"));
    ASSERT_EQ(chdir("/"), 0);
}

// The C API: NULL arguments are EINVAL, never a crash; a buffer as large as
// the file; timeout 0 tries once, without waiting, and reads what the daemon
// took; a key text that does not fit its field.
TEST_F(DaemonTest, CApiArguments)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    const std::string key = KEY20, enc = dir + "/p8.enc";
    ASSERT_TRUE(encrypted_p8(dir, dir + "/key"));
    size_t len = 0;
    errno = 0;
    EXPECT_EQ(tessarind_decrypt(nullptr, key.c_str(), 0, &len, 1000), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(tessarind_decrypt(enc.c_str(), nullptr, 0, &len, 1000), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(tessarind_decrypt_fd(enc.c_str(), nullptr, 0, 1, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(tessarind_last_error(), "invalid argument: the key text is NULL");
    EXPECT_EQ(tessarind_decrypt(enc.c_str(), key.c_str(), 0, nullptr, 1000), nullptr);
    EXPECT_STREQ(tessarind_last_error(), "invalid argument: len is NULL");
    errno = 0;
    EXPECT_EQ(tessarind_decrypt_fd((dir + "/absent").c_str(), key.c_str(), 0, 1, 1000), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(tessarind_last_error(), "cannot read " + dir + "/absent: No such file or directory");
    errno = 0;
    EXPECT_EQ(tessarind_open(nullptr, key.c_str(), 0, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(tessarind_last_error(), "invalid argument: the path is NULL");
    void* whole = tessarind_decrypt(enc.c_str(), key.c_str(), 0, &len, 0);
    ASSERT_NE(whole, nullptr);
    EXPECT_TRUE(std::string((const char*)whole, len) == file_read(dir + "/p8"));
    tessarind_free(whole, len);
    // Into a descriptor, as it comes; ping; the version.
    const int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(tessarind_decrypt_fd(enc.c_str(), key.c_str(), 0, out, 1000), 8);
    close(out);
    EXPECT_TRUE(file_read(dir + "/out") == file_read(dir + "/p8"));
    EXPECT_EQ(tessarind_ping(1000), 0);
    EXPECT_STREQ(tessarind_version(), "1.19");
    static_assert(TESSARIND_VERSION_MAJOR == 1 && TESSARIND_VERSION_MINOR == 19);
    client_transfer t;
    EXPECT_EQ(client_decrypt(enc.c_str(), std::string(300, 'Q').c_str(), false, 1000, nullptr, nullptr, &t),
              ENAMETOOLONG);
}

namespace {

// What another user finds of a reply FIFO while it waits for its reply:
// its directory cannot be listed, and its name cannot be guessed.
std::vector<std::string> reply_paths;
void note_reply(const client_reply* r)
{
    if (!r)
        return;
    reply_paths.push_back(r->path);
    const pid_t child = fork();
    if (child == 0) {
        const bool other = setresgid(4343, 4343, 4343) == 0 && setresuid(4242, 4242, 4242) == 0;
        DIR* listed = opendir(r->dir);
        _exit(other && !listed && errno == EACCES ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << r->dir << " could be listed";
}

}  // namespace

TEST_F(DaemonTest, ClientPingAndStop)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    if (harness_other_users()) {
        reply_paths.clear();
        EXPECT_EQ(client_ask(CMD_PING, 3000, note_reply), 0);
        EXPECT_EQ(client_ask(CMD_PING, 3000, note_reply), 0);
        ASSERT_EQ(reply_paths.size(), 2u);
        EXPECT_NE(reply_paths[0], reply_paths[1]);
        for (const std::string& p : reply_paths)
            EXPECT_EQ(p.size() - p.rfind("/r-"), 3 + 32u) << p << ": 128 random bits, as hex";
    }
    std::string out;
    EXPECT_EQ(run({"ping"}, &out), 0);
    EXPECT_EQ(out, "OK\n");
    EXPECT_EQ(run({"--timeout", "2", "stop"}, &out), 0);
    EXPECT_EQ(out, "BYE\n");
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    EXPECT_NE(daemon_wait(&daemon, 5000), -1);
}

namespace {

// Plays the daemon at the public FIFO: answers every record with `bytes`
// bytes (making `file` that long first, with grow), or never opens the
// reply FIFO when silent; holds the last reply FIFO open with hold_open.
// After `answers` answers (-1: never) it goes, then sends `signal` (if
// any) to the command-line client.
struct fake_daemon {
    size_t bytes = 0;
    bool grow = false, silent = false, hold_open = false;
    int answers = -1, signal = 0;
    std::string file;
    std::atomic<int> records{0};
    std::atomic<bool> done{false};
    int pub = -1, keep = -1, held = -1;
    std::thread thread;

    bool start()
    {
        if (mkfifo(PUBLIC_FIFO_PATH, 0622) < 0)
            return false;
        pub = open(PUBLIC_FIFO_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        keep = open(PUBLIC_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // as the daemon's own write end
        if (pub < 0 || keep < 0)
            return false;
        // From here on, pub and keep are the thread's.
        thread = std::thread([this] { serve(); });
        return true;
    }
    void serve()
    {
        unsigned char rec[RECORD_SIZE];
        pollfd p{pub, POLLIN, 0};
        while (!done) {
            if (poll(&p, 1, 50) != 1 || read(pub, rec, sizeof rec) != (ssize_t)sizeof rec || (records++, silent))
                continue;
            rec[FILE_PATH_OFFSET - 1] = 0;
            answer((const char*)rec + REPLY_PATH_OFFSET, records == answers);
            if (records == answers && signal)
                kill_client(signal);
        }
    }
    // The last answer goes before its reply ends: a client that asks again
    // at once finds no daemon.
    void answer(const char* reply_path, bool last)
    {
        const int reply = open(reply_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (grow)
            file_write(file, random_bytes(bytes, 80));
        const std::string answer = random_bytes(bytes, 81);
        if (reply >= 0 && fcntl(reply, F_SETFL, 0) == 0) {
            EXPECT_EQ(write(reply, answer.data(), bytes), (ssize_t)bytes);
        }
        if (last)
            gone();
        if (held >= 0)
            close(held);
        held = hold_open ? reply : -1;
        if (reply >= 0 && !hold_open)
            close(reply);
    }
    void gone()
    {
        done = true;
        for (int* fd : {&pub, &keep}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
        unlink(PUBLIC_FIFO_PATH);
    }
    // Goes, and lets go of the reply FIFO it holds.
    void finish()
    {
        done = true;
        if (thread.joinable())
            thread.join();
        gone();
        if (held >= 0)
            close(held);
        held = -1;
    }
    ~fake_daemon() { finish(); }
};

}  // namespace

// A daemon that stops or a client that is killed mid-reply: the client
// fails and leaves no plain data behind, neither OUT nor its temporary file
// nor its reply FIFO. The test plays the daemon: it answers the record with
// 100 bytes, then closes the reply or holds it open.
TEST_F(DaemonTest, ClientLeavesNoPlainDataBehind)
{
    const std::string file = dir + "/data", out = dir + "/out";
    const std::vector<std::string> decrypt = {"decrypt", "-o", out, file, "QUJD"};
    const struct {
        const char* what;
        std::vector<std::string> args;
        size_t bytes;  // the fake daemon's answer
        bool hold_open;
        int signal;
        const char* err;
        int records = 1;  // that the client sends: a reply cut short is asked for twice
        bool grow = false;  // the file grows to `bytes` while it is served
    } cases[] = {
        {"reply cut short, twice", decrypt, 100, false, 0,
         "tessarind-client: reply for /tmp/work/data cut short: 100 of 4096 bytes\n", 2},
        {"reply longer than the file", decrypt, 4097, false, 0,
         "tessarind-client: unexpected reply for /tmp/work/data: more bytes than the daemon sends (somebody else "
         "wrote into the reply FIFO)\n"},
        {"a file that grew while it was served", decrypt, 4104, false, 0,
         "tessarind-client: /tmp/work/data changed while it was served: 4096 bytes when asked for, 4104 now\n", 1,
         true},
        {"client terminated", decrypt, 100, true, SIGTERM, ""},
        {"client quit", decrypt, 100, true, SIGQUIT, ""},
        {"ping interrupted", {"ping"}, 0, true, SIGINT, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(file_write(file, random_bytes(4096, 80)));
        fake_daemon fake;
        fake.bytes = c.bytes;
        fake.grow = c.grow;
        fake.hold_open = c.hold_open;
        fake.answers = c.records;
        fake.signal = c.signal;
        fake.file = file;
        ASSERT_TRUE(fake.start());
        std::string err;
        const int status = run(c.args, nullptr, &err);
        fake.finish();
        EXPECT_NE(status, 0);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(fake.records, c.records);
        EXPECT_EQ(leftovers(dir), 0u);
    }
}

namespace {

size_t entries(const std::string& dir)
{
    size_t n = 0;
    DIR* dp = opendir(dir.c_str());
    while (const dirent* e = dp ? readdir(dp) : nullptr)
        n += e->d_name[0] != '.';
    if (dp)
        closedir(dp);
    return n;
}

}  // namespace

// The C library's streams, as an event loop reads them: eight transfers at
// once through poll, each exact; a reader that stops early and closes
// leaves no thread, descriptor or reply FIFO behind.
TEST_F(DaemonTest, CApiStreamsThroughPoll)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    const size_t sizes[] = {0, 1, 8, 4096, 65543, LOAD_SIZE, LOAD_SIZE + 7, 1 << 20};
    const size_t n = std::size(sizes);
    std::vector<std::string> plain(n), got(n);
    std::vector<pollfd> fds(n);
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first other one
    const size_t threads = entries("/proc/self/task"), descriptors = entries("/proc/self/fd");
    for (size_t i = 0; i < n; i++) {
        const std::string file = dir + "/p" + std::to_string(i);
        plain[i] = random_bytes(sizes[i], (unsigned)i);
        ASSERT_TRUE(file_write(file, encrypt_bytes(plain[i], "ABCDEFGHIJKLMNOPQRST")));
        fds[i] = {tessarind_open(file.c_str(), KEY20, 0, 20000), POLLIN, 0};
        ASSERT_GE(fds[i].fd, 0) << tessarind_last_error();
    }
    for (size_t open = n; open > 0;) {
        ASSERT_GT(poll(fds.data(), n, 20000), 0);
        for (size_t i = 0; i < n; i++) {
            char buf[70000];
            const ssize_t r = fds[i].revents ? read(fds[i].fd, buf, sizeof buf) : -1;
            if (r > 0)
                got[i].append(buf, (size_t)r);
            if (r == 0) {
                EXPECT_EQ(tessarind_close(fds[i].fd), 0) << tessarind_last_error();
                fds[i].fd = -1;
                open--;
            }
        }
    }
    for (size_t i = 0; i < n; i++)
        EXPECT_TRUE(got[i] == plain[i]) << "file " << i << ": " << got[i].size() << " of " << plain[i].size();

    const int early = tessarind_open((dir + "/p7").c_str(), KEY20, 0, 20000);
    ASSERT_GE(early, 0);
    char buf[100];
    pollfd p{early, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1);
    ASSERT_GT(read(early, buf, sizeof buf), 0);
    EXPECT_EQ(failure(tessarind_close(early)), ECANCELED);
    EXPECT_NE(std::string(tessarind_last_error()).find("reading of " + dir + "/p7 stopped after "),
              std::string::npos) << tessarind_last_error();
    EXPECT_EQ(failure(tessarind_close(early)), EBADF);
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(leftovers(dir), 0u);
    EXPECT_TRUE(daemon_pings());
}

namespace {

#ifdef TESSARIND_COVERAGE
extern "C" void __gcov_dump(void);
#endif

const char PYTHON_SAYS[] = R"PY(
import sys, tessarind
command, path, key, timeout = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
try:
    if command == "decrypt":
        tessarind.decrypt(path, key, timeout=timeout)
    else:
        getattr(tessarind, command)(timeout)
    print("(succeeded)")
except tessarind.Error as e:
    print(e)
)PY";

// The C library's line for a call in a child of ours, as root or as nobody.
std::string c_says(const std::string& command, const std::string& path, const std::string& key, int timeout_ms,
                   bool nobody)
{
    int p[2];
    if (pipe(p) < 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        if (nobody && (setgroups(0, nullptr) < 0 || setresgid(65534, 65534, 65534) < 0 ||
                       setresuid(65534, 65534, 65534) < 0))
            _exit(1);
        size_t len;
        void* plain = nullptr;
        const int rc = command == "ping"   ? tessarind_ping(timeout_ms)
                       : command == "stop" ? tessarind_stop(timeout_ms)
                                           : ((plain = tessarind_decrypt(path.c_str(), key.c_str(), 0, &len,
                                                                         timeout_ms)) != nullptr) - 1;
        const std::string said = rc < 0 ? tessarind_last_error() : "(succeeded)";
        const bool written = write(p[1], said.data(), said.size()) == (ssize_t)said.size();
#ifdef TESSARIND_COVERAGE
        __gcov_dump();
#endif
        _exit(written ? 0 : 1);
    }
    close(p[1]);
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        said.append(buf, (size_t)n);
    close(p[0]);
    waitpid(child, nullptr, 0);
    return said;
}

// The C library's line for a decryption read through tessarind_open, in
// this process: its thread must not start in a child of a threaded one.
std::string c_stream_says(const std::string& path, const std::string& key, int timeout_ms)
{
    const int fd = tessarind_open(path.c_str(), key.c_str(), 0, timeout_ms);
    if (fd < 0)
        return tessarind_last_error();
    pollfd p{fd, POLLIN, 0};
    char buf[65536];
    for (ssize_t n = 1; n != 0 && poll(&p, 1, 30000) == 1;)
        n = read(fd, buf, sizeof buf);  // -1 (EAGAIN): not yet
    return tessarind_close(fd) < 0 ? tessarind_last_error() : "(succeeded)";
}

// What sits at the public path for a row of the failure table.
enum at_public { NOTHING, FAKE, IMPOSTOR, FULL, GROUP_ONLY, REGULAR, SYMLINK };

struct failure_row {
    const char* what;
    std::string command = "decrypt", path = "", key = KEY20;
    at_public there = FAKE;
    size_t size = 4096, bytes = 4096;  // the file's, and the fake daemon's answer's
    size_t grow = 0;
    bool silent = false, once = false, nobody = false;
    bool stall = false;  // the fake daemon keeps the reply FIFO open after its answer
    const char* timeout = "1";
    std::string says;
};

// Every failure README lists, with its line; data and long_path are files
// of the test's.
std::vector<failure_row> failure_rows(const std::string& dir, const std::string& data, const std::string& long_path)
{
    const std::string cannot_read = "the daemon could not read " + data +
                                    ": its user needs read access to the file and search access to its directories "
                                    "(see README, Installing)";
    const std::string longer =
        "unexpected reply for " + data + ": more bytes than the daemon sends (somebody else wrote into the reply FIFO)";
    return {
        {.what = "no daemon", .path = data, .there = NOTHING, .says = "daemon not running (start it with: sudo systemctl start tessarind.socket)"},
        {.what = "no daemon, ping", .command = "ping", .there = NOTHING, .says = "daemon not running (start it with: sudo systemctl start tessarind.socket)"},
        {.what = "missing file", .path = dir + "/absent",
         .says = "cannot read " + dir + "/absent: No such file or directory"},
        {.what = "not a regular file", .path = dir, .says = dir + " is not a regular file"},
        {.what = "key text", .path = data, .key = "QQ=x",
         .says = "key text: character 4 is neither base64, '-' nor '=' padding at the end"},
        {.what = "key text too long", .path = data, .key = std::string(300, 'Q'),
         .says = "key text is longer than 255 characters"},
        {.what = "key text of no bytes", .path = data, .key = "=", .says = "key text decodes to no bytes at all"},
        {.what = "key in hex", .path = data, .key = "00112233445566778899aabbccddeeff00112233",
         .says = "this looks like a hexadecimal key: give its base64 (tr a-f A-F | basenc -d --base16 | base64)"},
        {.what = "path too long", .path = long_path, .there = NOTHING,
         .says = long_path + ": its absolute path is longer than 255 bytes"},
        {.what = "file the daemon cannot read", .path = data, .bytes = 0, .says = cannot_read},
        {.what = "reply cut short", .path = data, .bytes = 100,
         .says = "reply for " + data + " cut short: 100 of 4096 bytes"},
        {.what = "daemon gone before the second try", .path = data, .bytes = 100, .once = true,
         .says = "reply for " + data + " cut short: 100 of 4096 bytes, and the daemon stopped meanwhile"},
        {.what = "reply longer than the file", .path = data, .bytes = 4097, .says = longer},
        {.what = "reply to an empty file", .path = data, .size = 0, .bytes = 8, .says = longer},
        {.what = "file that grew while served", .path = data, .bytes = 4104, .grow = 8,
         .says = data + " changed while it was served: 4096 bytes when asked for, 4104 now"},
        {.what = "no reply", .path = data, .silent = true,
         .says = "no reply in time: waited 1 s for the daemon to reply about " + data},
        {.what = "a reply that stalls", .path = data, .bytes = 100, .stall = true,
         .says = "no reply in time: waited 1 s for more of " + data + " after 100 bytes"},
        {.what = "no answer to a ping", .command = "ping", .silent = true, .timeout = "0.5",
         .says = "no reply in time: waited 0.5 s for the daemon to answer the ping"},
        {.what = "impostor", .path = data, .there = IMPOSTOR,
         .says = "/tmp/TALV_PIPE is not the daemon's (owner root, mode 0644)"},
        {.what = "a symlink at the public path", .path = data, .there = SYMLINK,
         .says = "/tmp/TALV_PIPE is not the daemon's (owner root, mode 0777)"},
        {.what = "a file at the public path", .path = data, .there = REGULAR,
         .says = "/tmp/TALV_PIPE is not the daemon's: not a FIFO"},
        {.what = "daemon busy", .path = data, .there = FULL, .timeout = "0.2",
         .says = "daemon busy: its FIFO stayed full for 0.2 s"},
        {.what = "not a member", .command = "ping", .there = GROUP_ONLY, .nobody = true,
         .says = "not allowed to write /tmp/TALV_PIPE: Permission denied (ask to be made a member of group "
                 "tessarind)"},
        {.what = "stop by another user", .command = "stop", .there = GROUP_ONLY, .nobody = true,
         .says = "only root and the daemon's user (root) may stop the daemon"},
    };
}

// A FIFO at the public path that is not the daemon's: one with a reader
// that never reads (filled, when full), or an impostor's. The reader's
// descriptor.
int public_fifo_of_nobody(at_public there)
{
    if (there == REGULAR)
        return file_write(PUBLIC_FIFO_PATH, "") ? open(PUBLIC_FIFO_PATH, O_RDONLY | O_CLOEXEC) : -1;
    // A symlink leads to what looks like the daemon's FIFO.
    const std::string fifo = there == SYMLINK ? "/tmp/work/impostor" : PUBLIC_FIFO_PATH;
    if (mkfifo(fifo.c_str(), 0600) < 0 ||
        chmod(fifo.c_str(), there == IMPOSTOR ? 0644 : there == FULL ? 0622 : 0620) < 0 ||
        (there == SYMLINK && symlink(fifo.c_str(), PUBLIC_FIFO_PATH) < 0))
        return -1;
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const std::string record(RECORD_SIZE, 'x');
    while (there == FULL && write(filler, record.data(), record.size()) > 0) {
    }
    close(filler);
    return reader;
}

// The line that who ("tessarind-client", "C" or "Python") gives for the row.
std::string said_by(const std::string& who, const failure_row& r, const std::string& dir)
{
    // A second try needs an output that can start afresh.
    std::vector<std::string> args{"--timeout", r.timeout, r.command};
    if (r.once)
        args.insert(args.end(), {"-o", dir + "/out"});
    if (r.command == "decrypt")
        args.insert(args.end(), {r.path, r.key});
    std::string out, err;
    if (who == "tessarind-client") {
        client_run(args, &out, &err, "", r.nobody);
        return err.rfind("tessarind-client: ", 0) == 0 ? err.substr(18) : err;
    }
    const int timeout_ms = (int)std::lround(atof(r.timeout) * 1000);
    if (who == "C")
        return c_says(r.command, r.path, r.key, timeout_ms, r.nobody) + "\n";
    if (who == "C stream")
        return c_stream_says(r.path, r.key, timeout_ms) + "\n";
    python_run({"-c", PYTHON_SAYS, r.command, r.path, r.key, r.timeout}, &out, &err, r.nobody);
    return out + err;
}

}  // namespace

// Why the daemon could not read a file, judged from the modes for the
// public FIFO's owner (here nobody): the same line from C and Python.
TEST_F(DaemonTest, WhereTheDaemonsUserIsKeptOut)
{
    SKIP_WITHOUT_OTHER_USERS("a daemon's FIFO of nobody's");
    const std::string open_dir = dir + "/open", data = open_dir + "/data";
    const std::string start = "the daemon could not read " + data + ": its user ";
    const std::string generic = start + "needs read access to the file and search access to its directories "
                                        "(see README, Installing)";
    const struct {
        uid_t fifo_owner;
        mode_t dir_mode, open_mode, data_mode;
        std::string says;
    } rows[] = {
        {65534, 0700, 0755, 0644, start + "nobody cannot enter " + dir + " (see README, Installing)"},
        {65534, 0755, 0750, 0644, start + "nobody cannot enter " + open_dir + " (see README, Installing)"},
        {65534, 0755, 0755, 0640, start + "nobody may not read it (see README, Installing)"},
        {65534, 0755, 0755, 0644, generic},  // the modes let it in: something else kept it out
        {0, 0700, 0700, 0600, generic},      // root is never kept out by modes
    };
    ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
    ASSERT_TRUE(file_write(data, "x"));
    ASSERT_EQ(mkfifo(PUBLIC_FIFO_PATH, 0620), 0);
    for (const auto& r : rows) {
        ASSERT_EQ(chown(PUBLIC_FIFO_PATH, r.fifo_owner, r.fifo_owner), 0);
        ASSERT_EQ(chmod(dir.c_str(), r.dir_mode), 0);
        ASSERT_EQ(chmod(open_dir.c_str(), r.open_mode), 0);
        ASSERT_EQ(chmod(data.c_str(), r.data_mode), 0);
        client_transfer t;
        t.err = EIO;
        t.stage = STAGE_REPLY;
        t.expected = 1;
        client_failure f;
        f.stage = STAGE_REPLY;
        f.err = EIO;
        f.path = data.c_str();
        f.t = &t;
        char line[512];
        client_failure_message(f, line, sizeof line);
        EXPECT_EQ(line, r.says);
        if (python_available()) {
            std::string out;
            ASSERT_EQ(python_run({"-c", "import sys, tessarind; print(tessarind._cannot_read(sys.argv[1]))", data}, &out),
                      0);
            EXPECT_EQ(out, r.says + "\n");
        }
    }
    ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
}

// Every failure README lists, as the command-line client, the C library
// (tessarind_last_error) and the Python module (str of the exception) tell
// it: one line, naming the path it is about.
TEST_F(DaemonTest, EveryInterfaceTellsAFailureAlike)
{
    SKIP_WITHOUT_OTHER_USERS("another user's calls");
    if (!python_available())
        GTEST_SKIP() << "no Python 3 found when the tests were built";
    const std::string data = dir + "/data", deep = dir + "/" + std::string(200, 'd');
    const std::string long_path = deep + "/" + std::string(60, 'f');
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    ASSERT_TRUE(file_write(long_path, "12345678"));
    setenv("TESSARIND_WRAPPER", "setpriv --reuid=65534 --regid=65534 --clear-groups", 1);
    for (const auto& r : failure_rows(dir, data, long_path)) {
        SCOPED_TRACE(r.what);
        for (const std::string who : {"tessarind-client", "C", "C stream", "Python"}) {
            // A stream is never asked twice: part of it was handed over.
            if (who == "C stream" && (r.command != "decrypt" || r.once))
                continue;
            ASSERT_TRUE(file_write(data, random_bytes(r.size, 80)));
            fake_daemon fake;
            fake.bytes = r.bytes;
            fake.grow = r.grow > 0;
            fake.silent = r.silent;
            fake.hold_open = r.stall;
            fake.answers = r.once ? 1 : -1;
            fake.file = data;
            ASSERT_TRUE(r.there != FAKE || fake.start());
            const int reader = r.there == FAKE || r.there == NOTHING ? -1 : public_fifo_of_nobody(r.there);
            ASSERT_TRUE(r.there == FAKE || r.there == NOTHING || reader >= 0);
            EXPECT_EQ(said_by(who, r, dir), r.says + "\n") << who;
            if (reader >= 0)
                close(reader);
            unlink(PUBLIC_FIFO_PATH);
            unlink("/tmp/work/impostor");
        }
    }
    unsetenv("TESSARIND_WRAPPER");
}
