// SPDX-License-Identifier: MIT
// tessarind-client: talk to the tessarind daemon, and make files it can read.
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "client/client.h"
#include "client/failure.h"
#include "client/output.h"
#include "client/tessarind/client.h"
#include "common/common.h"
#include "crypto/crypto.h"

namespace {

const char usage_text[] =
    "usage: tessarind-client [--timeout SECONDS] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  ping                         ask the daemon whether it is alive (prints OK)\n"
    "  stop                         stop the daemon (prints BYE) and wait until it is gone\n"
    "  decrypt [--first-load] [--progress] [-o OUT] [--key-file PATH] FILE [KEY]\n"
    "                               have the daemon decrypt FILE (or its first 262144 bytes)\n"
    "                               to standard output or OUT\n"
    "  encrypt [-o OUT] [--key-file PATH] FILE [KEY]\n"
    "                               encrypt FILE locally so that the daemon can decrypt it\n"
    "  keygen [-o FILE]             print a new random 20-byte key as base64 text (FILE: mode 0600)\n"
    "\n"
    "KEY is base64 text; '-' characters in it are ignored, and so is white space around\n"
    "it. Anything else is refused; encrypt takes 20-byte keys only. A key given on the command\n"
    "line is visible to other users in the process list: prefer --key-file PATH (or -), or\n"
    "KEY '-' to read it from standard input.\n"
    "\n"
    "--timeout bounds each wait for the daemon (0 to 86400 seconds, default 5);\n"
    "data that keeps flowing is never cut off. Exit status: 0 success, 1 failure,\n"
    "2 usage error.\n";

struct options {
    const char* command = nullptr;
    int timeout_ms = 5000;
    bool first_load = false;
    bool progress = false;
    const char* out = nullptr;
    const char* key_file = nullptr;
    std::vector<const char*> args;
};

int usage_error(const char* what)
{
    fprintf(stderr, "tessarind-client: %s\n(see tessarind-client --help)\n", what);
    return 2;
}

__attribute__((format(printf, 1, 2))) int fail(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("tessarind-client: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 1;
}

// One line for a failure, as the libraries tell it too.
int report(const client_failure& f)
{
    char line[PATH_MAX + 512];
    client_failure_message(f, line, sizeof line);
    return fail("%s", line);
}

// Reads the key text from --key-file (PATH, or '-' for standard input),
// '-' (standard input) or the argument, without the white space around it,
// and checks it; a key for encrypting must be exactly KEY_SIZE bytes. 0, or
// the exit status with a message printed (2 when no KEY was given). The
// message names a position, never the key text.
int read_key(const options& o, const char* arg, bool for_encrypt, std::string* key)
{
    const bool from_stdin = (o.key_file && strcmp(o.key_file, "-") == 0) || (!o.key_file && arg && strcmp(arg, "-") == 0);
    if (o.key_file || from_stdin) {
        FILE* f = from_stdin ? stdin : fopen(o.key_file, "r");
        if (!f)
            return fail("cannot read key file %s: %s", o.key_file, strerror(errno));
        char buf[FIELD_SIZE + 2];
        const size_t n = fread(buf, 1, sizeof buf, f);
        if (f != stdin)
            fclose(f);
        key->assign(buf, n);
        explicit_bzero(buf, sizeof buf);
    } else if (arg) {
        key->assign(arg);
    } else {
        return usage_error("no KEY given");
    }
    size_t bad;
    const int bytes = client_key_check(key->c_str(), &bad);
    if (bytes < 0) {
        return report(client_key_failure(errno, bad));
    }
    if (for_encrypt && bytes != KEY_SIZE)
        return fail("a key for encrypting is %d bytes; this key text gives %d", KEY_SIZE, bytes);
    // In place: no copy of the key is left behind in freed memory.
    const std::string_view trimmed = client_key_trim(key->c_str());
    const size_t begin = (size_t)(trimmed.data() - key->data()), len = trimmed.size();
    key->erase(begin + len);
    key->erase(0, begin);
    return 0;
}

// Where OUT could not be opened or written.
int output_failed(const char* path)
{
    if (errno == EPERM)
        return fail("refusing to write into %s: not a regular file, and owned by another user", path);
    return fail("cannot write %s: %s", path ? path : "standard output", strerror(errno));
}

// OUT, with the transfer's counts for the progress line.
struct sink_state {
    output* out;
    bool failed;  // the output, not the request, failed
    const client_transfer* t;
    progress prog;
};

bool sink_write(void* ctx, const unsigned char* data, size_t len)
{
    auto* s = (sink_state*)ctx;
    if (client_write_all(s->out->fd, data, len) < 0) {
        s->failed = true;
        return false;
    }
    s->prog.total = s->t->expected;
    s->prog.received = s->t->received;
    progress_show(&s->prog, false);
    return true;
}

// A reply cut short is asked for once more when OUT can start afresh: when
// it goes through a temporary file and did not fail itself.
bool sink_restart(void* ctx)
{
    auto* s = (sink_state*)ctx;
    return !s->failed && output_restart(s->out);
}

// One line for a failed request; t is null for ping and stop.
int report(const options& o, client_stage stage, const client_transfer* t)
{
    client_failure f;
    f.stage = stage;
    f.err = errno;
    f.command = o.command;
    f.path = o.args.empty() ? "" : o.args[0];
    f.output = o.out && strcmp(o.out, "-") != 0 ? o.out : "standard output";
    f.timeout_ms = o.timeout_ms;
    f.t = t;
    return report(f);
}

// ping and stop: one word back, "OK" or "BYE".
int cmd_ask(const options& o, bool stop)
{
    if (!o.args.empty())
        return usage_error(stop ? "stop takes no arguments" : "ping takes no arguments");
    client_stage stage;
    if (client_ask(stop ? CMD_EXIT : CMD_PING, o.timeout_ms, output_doom_reply, &stage) < 0)
        return report(o, stage, nullptr);
    puts(stop ? "BYE" : "OK");
    // A daemon of the caller's own removes its FIFO right after "BYE"; under
    // systemd the FIFO is systemd's and stays, for the next request to start
    // the daemon again.
    const double deadline = output_now() + o.timeout_ms / 1000.0;
    struct stat st;
    while (stop && lstat(PUBLIC_FIFO_PATH, &st) == 0 && st.st_uid == geteuid()) {
        if (output_now() > deadline)
            return fail("the daemon answered but did not remove %s in time", PUBLIC_FIFO_PATH);
        usleep(10000);
    }
    return 0;
}

// decrypt and encrypt take FILE and KEY (or --key-file): 0 with the key in
// *key, or the exit status with a message printed.
int file_and_key(const options& o, bool for_encrypt, std::string* key)
{
    if (o.args.empty() || o.args.size() > 2 || (o.key_file && o.args.size() > 1))
        return usage_error(for_encrypt ? "encrypt needs FILE and KEY" : "decrypt needs FILE and KEY");
    return read_key(o, o.args.size() > 1 ? o.args[1] : nullptr, for_encrypt, key);
}

int cmd_decrypt(const options& o)
{
    std::string key;
    if (const int status = file_and_key(o, false, &key))
        return status;
    output out;
    // Plain data: readable by the caller only.
    if (!output_open(&out, o.out, 0600, false))
        return output_failed(o.out);
    client_transfer t;
    sink_state sink{&out, false, &t, {}};
    sink.prog.on = o.progress && isatty(STDERR_FILENO);
    sink.prog.start = output_now();
    t.restart = sink_restart;
    const int err = client_decrypt(o.args[0], key.c_str(), o.first_load, o.timeout_ms, sink_write, &sink, &t,
                                   output_doom_reply);
    explicit_bzero(key.data(), key.size());
    progress_show(&sink.prog, true);
    if (!output_commit(&out, err == 0) && err == 0)
        return output_failed(o.out);
    if (err == 0)
        return 0;
    errno = err;
    return report(o, t.stage, &t);
}

// Encrypts in through ctx to out, blocks at the file's byte positions
// however the reads fall; only the file's last 1 to 7 bytes go out
// unchanged. False with errno set on failure.
bool encrypt_stream(thei99_dsa* ctx, int in, int out)
{
    std::vector<unsigned char> plain(LOAD_SIZE), cipher(LOAD_SIZE);
    size_t have = 0;
    for (;;) {
        const ssize_t n = io_read(in, plain.data() + have, plain.size() - have);
        if (n < 0)
            return false;
        if (n == 0)
            return client_write_all(out, plain.data(), have) == 0;
        const size_t ready = crypto_blocks_partial(ctx, plain.data(), cipher.data(), have + (size_t)n, true, &have);
        if (client_write_all(out, cipher.data(), ready) < 0)
            return false;
    }
}

int cmd_encrypt(const options& o)
{
    std::string text;
    if (const int status = file_and_key(o, true, &text))
        return status;
    const int in = open(o.args[0], O_RDONLY | O_CLOEXEC);
    struct stat in_st, out_st;
    if (in < 0 || fstat(in, &in_st) < 0) {
        const int saved = errno;
        if (in >= 0)
            close(in);
        return fail("cannot read %s: %s", o.args[0], strerror(saved));
    }
    if (o.out && stat(o.out, &out_st) == 0 && out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
        close(in);
        return fail("refusing to overwrite the input file %s", o.args[0]);
    }
    // The same key the daemon builds.
    unsigned char key[KEY_SIZE];
    crypto_key_from_text(text.c_str(), key, KEY_SIZE);
    explicit_bzero(text.data(), text.size());
    thei99_dsa ctx;
    cA87315c_start(&ctx, 1, key, KEY_SIZE);
    explicit_bzero(key, sizeof key);

    output out;
    // Ciphertext, which the daemon's user must be able to read.
    const bool opened = output_open(&out, o.out, 0666 & ~output_umask(), true);
    const int saved = errno;
    const bool ok = opened && output_commit(&out, encrypt_stream(&ctx, in, out.fd));
    crypto_wipe(&ctx, sizeof ctx);
    close(in);
    if (!opened) {
        errno = saved;
        return output_failed(o.out);
    }
    if (!ok)
        return fail("cannot encrypt %s into %s: %s", o.args[0], o.out ? o.out : "standard output", strerror(errno));
    return 0;
}

int cmd_keygen(const options& o)
{
    if (!o.args.empty())
        return usage_error("keygen takes no arguments");
    unsigned char key[KEY_SIZE];
    if (getrandom(key, sizeof key, 0) != (ssize_t)sizeof key)
        return fail("getrandom: %s", strerror(errno));
    std::string text = client_base64_encode(key, sizeof key) + "\n";
    explicit_bzero(key, sizeof key);
    // A key file is the caller's alone.
    output out;
    if (!output_open(&out, o.out, 0600, false)) {
        explicit_bzero(text.data(), text.size());
        return output_failed(o.out);
    }
    const bool ok =
        output_commit(&out, client_write_all(out.fd, (const unsigned char*)text.data(), text.size()) == 0);
    explicit_bzero(text.data(), text.size());
    return ok ? 0 : fail("cannot write the key to %s: %s", o.out ? o.out : "standard output", strerror(errno));
}

// Parses "--timeout S" as seconds (fractions allowed).
bool parse_timeout(const char* s, int* ms)
{
    char* end;
    const double v = strtod(s, &end);
    if (*s == '\0' || *end != '\0' || !(v >= 0) || v > 86400)
        return false;
    *ms = (int)std::lround(v * 1000);
    return true;
}

// The command line into *o: -1 to go on, else the exit status (after
// --help, --version or a usage error).
int parse_options(int argc, char** argv, options* o)
{
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        auto value = [&](const char** slot) {
            if (i + 1 >= argc)
                return false;
            *slot = argv[++i];
            return true;
        };
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else if (strcmp(a, "--version") == 0) {
            puts("tessarind-client Version 1.19");  // the form of tessarind --version
            return 0;
        } else if (strcmp(a, "--timeout") == 0) {
            const char* v;
            if (!value(&v) || !parse_timeout(v, &o->timeout_ms))
                return usage_error("--timeout needs a number of seconds, 0 to 86400");
        } else if (strcmp(a, "--first-load") == 0) {
            o->first_load = true;
        } else if (strcmp(a, "--progress") == 0) {
            o->progress = true;
        } else if (strcmp(a, "-o") == 0 || strcmp(a, "--output") == 0) {
            if (!value(&o->out))
                return usage_error("-o needs a path");
        } else if (strcmp(a, "--key-file") == 0) {
            if (!value(&o->key_file))
                return usage_error("--key-file needs a path");
        } else if (a[0] == '-' && a[1] != '\0') {
            return usage_error((std::string("unknown option ") + a).c_str());
        } else if (!o->command) {
            o->command = a;
        } else {
            o->args.push_back(a);
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    output_signals_install();
    options o;
    const int status = parse_options(argc, argv, &o);
    if (status >= 0)
        return status;
    if (!o.command)
        return usage_error("no command given");
    const bool decrypt_only = o.first_load || o.progress;
    const std::string c = o.command;
    if (decrypt_only && c != "decrypt")
        return usage_error("--first-load and --progress belong to decrypt");
    if (o.out && c != "decrypt" && c != "encrypt" && c != "keygen")
        return usage_error("-o belongs to decrypt, encrypt and keygen");
    if (o.key_file && c != "decrypt" && c != "encrypt")
        return usage_error("--key-file belongs to decrypt and encrypt");
    if (c == "ping" || c == "stop")
        return cmd_ask(o, c == "stop");
    if (c == "decrypt")
        return cmd_decrypt(o);
    if (c == "encrypt")
        return cmd_encrypt(o);
    if (c == "keygen")
        return cmd_keygen(o);
    return usage_error((std::string("unknown command ") + o.command).c_str());
}
