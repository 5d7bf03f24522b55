// SPDX-License-Identifier: MIT
#include "tests/harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "crypto/crypto.h"
#include "protocol/protocol.h"
#include "tools/sandbox.h"
#include "worker/internal.h"

namespace {

bool isolated = false;
int daemon_exe = -1;
int client_exe = -1;
int clear_fifo_exe = -1;
int python_exe = -1;
std::string faults_shim;
std::vector<std::pair<std::string, std::string>> python_module;  // file name, text
int build_tree = -1;  // a coverage build's tree in /tmp

// A coverage build's tree in /tmp, bound at its own path in the fresh /tmp.
bool bind_build_tree()
{
    if (build_tree < 0)
        return true;
    const std::string path = TESSARIND_BUILD_DIR;
    for (size_t slash = 5; (slash = path.find('/', slash)) != std::string::npos; slash++)
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
    const std::string source = "/proc/self/fd/" + std::to_string(build_tree);
    return mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace

void harness_init()
{
    // Whatever runs the tests under systemd (a container, a service) is not
    // the daemons': one that told it its status would open a socket for
    // each message, beside the descriptors tests count. Tests that play
    // systemd set these themselves.
    for (const char* name : {"NOTIFY_SOCKET", "JOURNAL_STREAM", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"})
        unsetenv(name);
    // Opened before /tmp is replaced: the build tree may itself lie in /tmp.
    daemon_exe = open(TESSARIND_DAEMON, O_PATH | O_CLOEXEC);
#ifdef TESSARIND_CLIENT
    client_exe = open(TESSARIND_CLIENT, O_PATH | O_CLOEXEC);
#endif
#ifdef TESSARIND_CLEAR_FIFO
    clear_fifo_exe = open(TESSARIND_CLEAR_FIFO, O_PATH | O_CLOEXEC);
#endif
#ifdef TESSARIND_FAULTS_SHIM
    faults_shim = file_read(TESSARIND_FAULTS_SHIM);
#endif
#ifdef TESSARIND_PYTHON
    python_exe = open(TESSARIND_PYTHON, O_PATH | O_CLOEXEC);
    for (const char* name : {"__init__.py", "aio.py"})
        python_module.emplace_back(name, file_read(std::string(TESSARIND_SOURCE_DIR "/python/tessarind/") + name));
#endif
    isolated = sandbox_private_mounts();
#ifdef TESSARIND_COVERAGE
    // Counters go where the build tree is, which a private /tmp would hide
    // when it lies in /tmp: each fresh /tmp gets it bound again (see
    // bind_build_tree), so that every program, whoever runs it, counts.
    // Opened in our own mount namespace, from which alone it may be bound.
    if (isolated && strncmp(TESSARIND_BUILD_DIR, "/tmp/", 5) == 0)
        build_tree = open(TESSARIND_BUILD_DIR, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
}

bool harness_other_users()
{
    return geteuid() == 0 && userns_other_ids();
}

bool daemon_start_openat2(daemon_proc* d, bool openat2, const std::vector<std::string>& args, int err_fd)
{
    if (!openat2)
        setenv("TESSARIND_DENY_OPENAT2", "1", 1);
    const bool started = daemon_start(d, args, err_fd);
    unsetenv("TESSARIND_DENY_OPENAT2");
    return started;
}

namespace {

// Runs start (a daemon's start) with tests/faults.cpp preloaded and faults
// named to it.
template <typename F>
bool with_faults(const std::string& faults, F start)
{
    const std::string shim = "/tmp/work/faults.so";
    if (faults_shim.empty() || !file_write(shim, faults_shim))
        return false;
    setenv("LD_PRELOAD", shim.c_str(), 1);
    setenv("TESSARIND_FAULTS", faults.c_str(), 1);
#ifdef __SANITIZE_ADDRESS__
    // The shim comes before the sanitizer's runtime, and passes every call
    // on to it.
    const char* asan = getenv("ASAN_OPTIONS");
    const std::string saved = asan ? asan : "";
    setenv("ASAN_OPTIONS", (saved + ":verify_asan_link_order=0").c_str(), 1);
#endif
    const bool started = start();
#ifdef __SANITIZE_ADDRESS__
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
#endif
    unsetenv("LD_PRELOAD");
    unsetenv("TESSARIND_FAULTS");
    return started;
}

}  // namespace

bool daemon_start_faulty(daemon_proc* d, const std::string& faults, const std::vector<std::string>& args, int err_fd)
{
    return with_faults(faults, [&] { return daemon_start(d, args, err_fd); });
}

bool daemon_spawn_faulty(daemon_proc* d, const std::string& faults, const std::vector<std::string>& args)
{
    return with_faults(faults, [&] { return daemon_spawn(d, args); });
}

void DaemonTest::SetUp()
{
    ASSERT_GE(daemon_exe, 0) << "cannot open " << TESSARIND_DAEMON;
    if (!isolated)
        GTEST_SKIP() << "needs root or a user namespace, to run the daemon in a private /tmp (its FIFO path is fixed)";
    ASSERT_TRUE(sandbox_fresh_tmp()) << strerror(errno);
    ASSERT_TRUE(bind_build_tree()) << strerror(errno);
    dir = "/tmp/work";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    prepare();
}

void DaemonTest::TearDown()
{
    daemon_kill(&daemon);
    if (isolated)
        sandbox_drop_tmp();
}

bool daemon_spawn(daemon_proc* d, const std::vector<std::string>& args, int err_fd)
{
    static int serial = 0;
    const std::string base = "/tmp/work/daemon" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    d->out_path = base + ".out";
    d->err_path = base + ".err";
    const int out = open(d->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open(d->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> all{"tessarind"};
    all.insert(all.end(), args.begin(), args.end());
    d->pid = sandbox_spawn(daemon_exe, all, in, out, err_fd >= 0 ? err_fd : err, true);
    close(out);
    close(err);
    close(in);
    return d->pid > 0;
}

bool daemon_start(daemon_proc* d, const std::vector<std::string>& args, int err_fd)
{
    if (!daemon_spawn(d, args, err_fd))
        return false;
    return sandbox_wait_serving(d->pid);
}

int daemon_wait(daemon_proc* d, int timeout_ms)
{
    int status = -1;
    if (d->pid > 0 && wait_until(timeout_ms, [&] { return waitpid(d->pid, &status, WNOHANG) == d->pid; })) {
        d->pid = -1;
        return status;
    }
    return -1;
}

daemon_proc::~daemon_proc()
{
    daemon_kill(this);
}

void daemon_kill(daemon_proc* d)
{
    if (d->pid <= 0)
        return;
#ifdef TESSARIND_COVERAGE
    // A signal it handles, so that its counters are written.
    kill(d->pid, SIGTERM);
    if (wait_until(5000, [d] { return waitpid(d->pid, nullptr, WNOHANG) == d->pid; })) {
        d->pid = -1;
        return;
    }
    kill(d->pid, SIGKILL);
#else
    kill(d->pid, SIGKILL);
#endif
    waitpid(d->pid, nullptr, 0);
    d->pid = -1;
}

std::string daemon_out(const daemon_proc* d)
{
    return file_read(d->out_path);
}

const char ROOT_WARNING[] = "tessarind: running as root: every requester can have any file on this machine read\n";

std::string daemon_err(const daemon_proc* d)
{
    std::string e = file_read(d->err_path);
    if (e.compare(0, strlen(ROOT_WARNING), ROOT_WARNING) == 0)
        e.erase(0, strlen(ROOT_WARNING));
    return e;
}

std::string daemon_err_whole(const daemon_proc* d)
{
    return file_read(d->err_path);
}

bool daemon_wait_output(const daemon_proc* d, const std::string& needle, int timeout_ms, int count, bool err)
{
    return wait_until(timeout_ms,
                      [&] { return count_of(err ? daemon_err(d) : daemon_out(d), needle) >= (size_t)count; });
}

int daemon_fd_count(const daemon_proc* d)
{
    return sandbox_fd_count(d->pid);
}

long daemon_idle_threads(const daemon_proc* d)
{
    long helpers = 0;
    const std::string tasks = "/proc/" + std::to_string(d->pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    for (dirent* e; dir && (e = readdir(dir));)
        if (e->d_name[0] != '.' && file_read(tasks + "/" + e->d_name + "/comm") == HELPER_THREAD_NAME + std::string("\n"))
            helpers++;
    if (dir)
        closedir(dir);
    return 1 + SANITIZER_THREADS + helpers;
}

bool daemon_wait_idle(const daemon_proc* d, int timeout_ms)
{
    const long idle = daemon_idle_threads(d);
    return wait_until(timeout_ms, [&] { return sandbox_proc_status(d->pid, "Threads") <= idle; });
}

bool daemon_wait_writing(const daemon_proc* d, const std::string& path, int timeout_ms)
{
    const std::string proc = "/proc/" + std::to_string(d->pid);
    return wait_until(timeout_ms, [&] {
        DIR* dir = opendir((proc + "/fd").c_str());
        bool found = false;
        while (const dirent* e = dir ? readdir(dir) : nullptr) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(dirfd(dir), e->d_name, target, sizeof target);
            if (found || n <= 0 || std::string(target, (size_t)n) != path)
                continue;
            // Not the O_PATH descriptor that resolves the path: the one it
            // reopens for writing.
            unsigned flags = 0;
            const std::string info = file_read(proc + "/fdinfo/" + e->d_name);
            found = sscanf(info.c_str() + info.find("flags:"), "flags: %o", &flags) == 1 &&
                    (flags & O_ACCMODE) == O_WRONLY;
        }
        if (dir)
            closedir(dir);
        return found;
    });
}

bool daemon_memory_holds(const daemon_proc* d, const std::vector<std::string>& needles)
{
    const std::string proc = "/proc/" + std::to_string(d->pid);
    std::ifstream maps(proc + "/maps");
    const int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0)
        return false;
    size_t longest = 0;
    for (const auto& n : needles)
        longest = std::max(longest, n.size());
    bool found = false;
    std::string line, chunk;
    while (!found && std::getline(maps, line)) {
        unsigned long lo, hi;
        char perms[5];
        if (sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, perms) != 3 || perms[0] != 'r' || perms[1] != 'w')
            continue;
        // Sanitizer shadow maps span terabytes and hold no program data.
        if (hi - lo > (1ul << 32))
            continue;
        // In chunks that overlap by a needle's length, so none is split.
        const size_t step = 1 << 20;
        for (unsigned long at = lo; !found && at < hi; at += step) {
            chunk.resize(std::min<unsigned long>(step + longest, hi - at));
            const ssize_t n = pread(mem, chunk.data(), chunk.size(), (off_t)at);
            if (n <= 0)
                break;
            chunk.resize((size_t)n);
            for (const auto& needle : needles)
                found = found || chunk.find(needle) != std::string::npos;
        }
    }
    close(mem);
    return found;
}

bool daemon_pings()
{
    // Generous: under ThreadSanitizer a daemon that just took dozens of
    // records may need seconds before a ping's turn comes.
    std::string got;
    return client_request(CMD_PING, "", "", 20000, &got) == 0 && got == "OK";
}

std::string read_one_load(reply_fifo* r)
{
    std::string got;
    client_read_reply(
        r->get(), 5000,
        [](void* ctx, const unsigned char* d, size_t n) {
            return client_append(ctx, d, n) && ((std::string*)ctx)->size() < LOAD_SIZE;
        },
        &got);
    return got;
}

bool request_send(unsigned char command, const std::string& reply_path, const std::string& file,
                  const std::string& key)
{
    unsigned char rec[RECORD_SIZE];
    return client_record_build(rec, command, reply_path.c_str(), file.c_str(), key.c_str()) &&
           client_send(rec, RECORD_SIZE, 1000) == 0;
}

namespace {

int program_run(int exe, const std::vector<std::string>& all, std::string* out, std::string* err,
                const std::string& input, bool wrap)
{
    char in_path[] = "/tmp/client-in-XXXXXX";
    char out_path[] = "/tmp/client-out-XXXXXX";
    char err_path[] = "/tmp/client-err-XXXXXX";
    const int in = mkstemp(in_path);
    const int o = mkstemp(out_path);
    const int e = mkstemp(err_path);
    if (write(in, input.data(), input.size()) != (ssize_t)input.size())
        return -1;
    lseek(in, 0, SEEK_SET);
    const pid_t pid = sandbox_spawn(exe, all, in, o, e, wrap);
    int status = -1;
    waitpid(pid, &status, 0);
    close(in);
    close(o);
    close(e);
    if (out)
        *out = file_read(out_path);
    if (err)
        *err = file_read(err_path);
    unlink(in_path);
    unlink(out_path);
    unlink(err_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int client_run(const std::vector<std::string>& args, std::string* out, std::string* err, const std::string& input,
               bool wrap)
{
    std::vector<std::string> all{"tessarind-client"};
    all.insert(all.end(), args.begin(), args.end());
    return program_run(client_exe, all, out, err, input, wrap);
}

int client_run_on_terminal(const std::vector<std::string>& args, std::string* screen)
{
    int master = -1, terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) < 0)
        return -1;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::vector<std::string> all{"tessarind-client"};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = sandbox_spawn(client_exe, all, null, null, terminal, false);
    close(terminal);
    close(null);
    char buf[4096];
    ssize_t n;
    // Ends with EIO once the client, its last holder, closed the terminal.
    while ((n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            screen->append(buf, (size_t)n);
    close(master);
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return status;
}

bool python_available()
{
    return python_exe >= 0;
}

int python_run(const std::vector<std::string>& args, std::string* out, std::string* err, bool wrap)
{
    // The module as it stands in the source tree, where any user may read it.
    const std::string root = "/tmp/python";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/tessarind").c_str(), 0755);
    for (const auto& [name, text] : python_module)
        if (!file_write(root + "/tessarind/" + name, text))
            return -1;
    setenv("PYTHONPATH", root.c_str(), 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    std::vector<std::string> all{"python3"};
    all.insert(all.end(), args.begin(), args.end());
    const int status = program_run(python_exe, all, out, err, "", wrap);
    unsetenv("PYTHONPATH");
    unsetenv("PYTHONDONTWRITEBYTECODE");
    return status;
}

int clear_fifo_run(std::string* err, bool wrap)
{
    return program_run(clear_fifo_exe, {"tessarind-clear-fifo"}, nullptr, err, "", wrap);
}

bool path_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string file_read(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_write(const std::string& path, const std::string& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), (std::streamsize)data.size());
    return (bool)f;
}

size_t count_of(const std::string& haystack, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        n++;
    return n;
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = (char)(rng() & 0xff);
    return s;
}

std::string base64_encode(const std::string& bytes)
{
    return client_base64_encode((const unsigned char*)bytes.data(), bytes.size());
}

std::string encrypt_bytes(const std::string& plain, const std::string& key)
{
    thei99_dsa ctx;
    cA87315c_start(&ctx, 1, (const unsigned char*)key.data(), (int32_t)key.size());
    std::string out = plain;
    crypto_blocks(&ctx, (const unsigned char*)out.data(), (unsigned char*)out.data(), out.size() & ~(size_t)7);
    return out;
}
