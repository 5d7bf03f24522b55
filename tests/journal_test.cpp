// SPDX-License-Identifier: MIT
// A failed request in the journal: the fields it goes with where standard
// error is the journal's stream, and the plain line wherever it is not or
// the journal refuses it. The journal is the test's own socket, at the path
// libsystemd sends to, in the test's private mount namespace.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "protocol/protocol.h"
#include "tests/harness.h"

namespace {

// A tmpfs over /run, with a datagram socket at the journal's path when
// listening (when not, the socket's file stays, as a stopped journal's);
// gone with the test.
struct own_journal {
    int fd = -1;
    bool mounted = false;

    bool open(bool socket_file, bool listen)
    {
        mounted = mount("tmpfs", "/run", "tmpfs", 0, "mode=755") == 0;
        if (!mounted || mkdir("/run/systemd", 0755) != 0 || mkdir("/run/systemd/journal", 0755) != 0)
            return false;
        if (!socket_file)
            return true;
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        strcpy(at.sun_path, "/run/systemd/journal/socket");
        if (fd < 0 || bind(fd, (const sockaddr*)&at, sizeof at) != 0)
            return false;
        if (!listen) {
            close(fd);
            fd = -1;
        }
        return true;
    }
    // The next entry sent, or "" when none came within timeout_ms.
    std::string next(int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || poll(&p, 1, timeout_ms) != 1)
            return "";
        char entry[65536];
        const ssize_t n = recv(fd, entry, sizeof entry, MSG_DONTWAIT);
        return n > 0 ? std::string(entry, n) : "";
    }
    ~own_journal()
    {
        if (fd >= 0)
            close(fd);
        if (mounted)
            umount2("/run", MNT_DETACH);
    }
};

}  // namespace

TEST_F(DaemonTest, FailedRequestInTheJournal)
{
#ifndef TESSARIND_SYSTEMD
    GTEST_SKIP() << "built without libsystemd: the daemon never writes to the journal";
#else
    struct row {
        const char* what;
        bool socket_file, listening;
        const char* stream;  // JOURNAL_STREAM; "stderr": the daemon's own
        bool journal;        // the entry goes to the journal, not the line
    } rows[] = {
        {"standard error is the journal's stream", true, true, "stderr", true},
        {"a journal that refuses it", true, false, "stderr", false},
        {"no journal in this namespace", false, false, "stderr", false},
        {"another file's stream", true, true, "other", false},
        {"a stream that names no file", true, true, "journal", false},
    };
    const std::string key = base64_encode(random_bytes(20, 91));
    const std::string absent = dir + "/absent";
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        own_journal journal;
        ASSERT_TRUE(journal.open(r.socket_file, r.listening)) << strerror(errno);
        const std::string err_path = dir + "/stderr";
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        struct stat st;
        ASSERT_EQ(fstat(err, &st), 0);
        const unsigned long long ino = st.st_ino + (strcmp(r.stream, "other") == 0);
        const std::string stream = strcmp(r.stream, "journal") == 0
                                       ? "journal"
                                       : std::to_string(st.st_dev) + ":" + std::to_string(ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        daemon_proc d;
        const bool started = daemon_start(&d, {"-l"}, err);
        unsetenv("JOURNAL_STREAM");
        close(err);
        ASSERT_TRUE(started);
        std::string got;
        EXPECT_EQ(client_request(CMD_DECRYPT_FILE, absent.c_str(), key.c_str(), 5000, &got), 0);
        if (r.journal) {
            const std::string entry = journal.next(10000);
            for (const std::string& field : std::vector<std::string>{
                     "MESSAGE=decrypt failed: reply /tmp/", ", file " + absent + ": No such file or directory\n",
                  "PRIORITY=4\n", "TESSARIND_COMMAND=decrypt\n", "TESSARIND_UID=" + std::to_string(getuid()) + "\n",
                  "ERRNO=2\n", "SYSLOG_IDENTIFIER=tessarind\n"})
                EXPECT_EQ(count_of(entry, field), 1u) << field << " in:\n" << entry;
            EXPECT_EQ(count_of(entry, key), 0u) << entry;
        } else {
            EXPECT_TRUE(wait_until(10000, [&] { return count_of(file_read(err_path), "<4>decrypt failed") == 1; }))
                << file_read(err_path);
            EXPECT_EQ(journal.next(0), "");
        }
        daemon_kill(&d);
        EXPECT_EQ(count_of(file_read(err_path), "decrypt failed"), r.journal ? 0u : 1u) << file_read(err_path);
        EXPECT_EQ(count_of(file_read(err_path), key), 0u);
    }
#endif
}
