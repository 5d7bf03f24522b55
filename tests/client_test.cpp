// SPDX-License-Identifier: MIT
// The command-line client, against the real daemon.
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/crypto.h"
#include "server/protocol.h"
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

}  // namespace

TEST_F(DaemonTest, ClientUsageAndAbsentDaemon)
{
    std::string out, err;
    EXPECT_EQ(run({"--help"}, &out), 0);
    EXPECT_NE(out.find("--key-file"), std::string::npos);
    EXPECT_EQ(run({"--version"}, &out), 0);
    EXPECT_EQ(out, "tessarind-client 1.19\n");
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"ping", "extra"}, {"--timeout", "soon", "ping"}, {"decrypt"},
             {"--first-load", "ping"}, {"ping", "--bogus"}}) {
        EXPECT_EQ(run(bad, nullptr, &err), 2) << (bad.empty() ? "" : bad[0]);
        EXPECT_NE(err.find("tessarind-client: "), std::string::npos);
    }
    EXPECT_EQ(run({"ping"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: daemon not running\n");
    EXPECT_EQ(run({"stop"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: daemon not running\n");
    const std::string f = dir + "/some";
    ASSERT_TRUE(file_write(f, "12345678"));
    EXPECT_EQ(run({"decrypt", f, "QUJD"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: daemon not running\n");
    EXPECT_EQ(run({"decrypt", dir + "/absent", "QUJD"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: file not readable: No such file or directory\n");
    EXPECT_EQ(run({"encrypt", f, "=QUJD"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: key text decodes to no bytes at all\n");
    EXPECT_EQ(run({"encrypt", "-o", f, f, "QUJD"}, &out, &err), 1);
    EXPECT_EQ(err, "tessarind-client: refusing to overwrite the input file\n");
    EXPECT_EQ(file_read(f), "12345678");
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
    ASSERT_TRUE(file_write(key_file, key + "\n"));
    const size_t sizes[] = {0, 7, 8, 262151, 3 * LOAD_SIZE + 5};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string plain = random_bytes(size, (unsigned)size + 1);
        const std::string name = dir + "/p" + std::to_string(size);
        ASSERT_TRUE(file_write(name, plain));
        ASSERT_EQ(run({"encrypt", "-o", name + ".enc", name, "-"}, nullptr, &err, key), 0) << err;
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
    // A relative path is sent as an absolute one.
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::string got;
    EXPECT_EQ(run({"decrypt", "p8.enc", key}, &got, &err), 0) << err;
    EXPECT_TRUE(got == file_read(dir + "/p8"));
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(DaemonTest, ClientPingAndStop)
{
    ASSERT_TRUE(daemon_start(&daemon, {}));
    std::string out;
    EXPECT_EQ(run({"ping"}, &out), 0);
    EXPECT_EQ(out, "OK\n");
    EXPECT_EQ(run({"--timeout", "2", "stop"}, &out), 0);
    EXPECT_EQ(out, "BYE\n");
    EXPECT_FALSE(path_exists(PUBLIC_FIFO_PATH));
    EXPECT_NE(daemon_wait(&daemon, 5000), -1);
}
