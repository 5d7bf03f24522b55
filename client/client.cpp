// SPDX-License-Identifier: MIT
#include "client/client.h"

#include "common/common.h"
#include "crypto/crypto.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The uid the packaged daemon runs as, if that user exists.
bool daemon_user(uid_t* uid)
{
    passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwnam_r("tessarind", &pw, buf, sizeof buf, &found) != 0 || !found)
        return false;
    *uid = pw.pw_uid;
    return true;
}

// The reply FIFO may be written by the daemon's group only: anyone else
// could put bytes into the reply, or hold it open. The caller writes to the
// public FIFO, so it is a member of that group (or the FIFO lets anyone
// write, as a daemon started by hand under another user's umask may).
bool reply_mode(const char* path)
{
    // What stands at the public path itself: a symlink there is never the
    // daemon's, and client_send refuses it.
    struct stat pub;
    if (lstat(PUBLIC_FIFO_PATH, &pub) < 0 || pub.st_uid == geteuid() || !S_ISFIFO(pub.st_mode))
        return true;  // our own daemon, or none: 0600 as made
    if (chown(path, (uid_t)-1, pub.st_gid) == 0)
        return chmod(path, 0620) == 0;
    if (pub.st_mode & S_IWOTH)
        return chmod(path, 0622) == 0;
    errno = EACCES;
    return false;
}

}  // namespace

bool client_public_trusted(const struct stat& st)
{
    uid_t daemon = 0;
    const bool owner_ok = st.st_uid == 0 || st.st_uid == geteuid() || st.st_uid == getuid() ||
                          (daemon_user(&daemon) && st.st_uid == daemon);
    return S_ISFIFO(st.st_mode) && owner_ok && (st.st_mode & (S_IRGRP | S_IROTH)) == 0;
}

bool client_reply_open(client_reply* r, bool open_now)
{
    r->fd = -1;
    r->path[0] = '\0';
    // Always in /tmp, beside the public FIFO, whatever TMPDIR says: a private
    // (0700, as pam_tmpdir makes it) or relative TMPDIR is out of the daemon's
    // reach.
    snprintf(r->dir, sizeof r->dir, "/tmp/tessarind-XXXXXX");
    if (!mkdtemp(r->dir)) {
        r->dir[0] = '\0';
        return false;
    }
    // A name nobody can guess, in a directory nobody else can list: nobody
    // else can open the FIFO or name it in a record of his own.
    unsigned char random[16];
    if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) {
        const int saved = errno;
        client_reply_close(r);
        errno = saved;
        return false;
    }
    int n = snprintf(r->path, sizeof r->path, "%s/r-", r->dir);
    for (unsigned char b : random)
        n += snprintf(r->path + n, sizeof r->path - (size_t)n, "%02x", b);
    if (chmod(r->dir, 0711) < 0 || mkfifo(r->path, 0600) < 0 || !reply_mode(r->path) ||
        (open_now && !client_reply_listen(r))) {
        const int saved = errno;
        client_reply_close(r);
        errno = saved;
        return false;
    }
    return true;
}

bool client_reply_listen(client_reply* r)
{
    r->fd = open(r->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return r->fd >= 0;
}

void client_reply_close(client_reply* r)
{
    const int saved = errno;
    if (r->fd >= 0)
        close(r->fd);
    r->fd = -1;
    if (r->path[0])
        unlink(r->path);
    if (r->dir[0])
        rmdir(r->dir);
    r->path[0] = r->dir[0] = '\0';
    errno = saved;
}

bool client_record_build(unsigned char record[RECORD_SIZE], unsigned char command, const char* reply_path,
                         const char* file_path, const char* key)
{
    memset(record, 0, RECORD_SIZE);
    record[0] = command;
    const struct {
        size_t offset;
        const char* text;
    } fields[] = {{REPLY_PATH_OFFSET, reply_path}, {FILE_PATH_OFFSET, file_path}, {KEY_STRING_OFFSET, key}};
    for (const auto& f : fields) {
        const size_t len = f.text ? strlen(f.text) : 0;
        if (len >= FIELD_SIZE) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (len)
            memcpy(record + f.offset, f.text, len);
    }
    return true;
}

namespace {

// Waits for fd to become ready for events; false with errno ETIMEDOUT, or
// ECANCELED when hangup_fd (if not -1) hangs up first.
bool wait_ready(int fd, short events, int timeout_ms, int hangup_fd = -1)
{
    pollfd pfd[2] = {{fd, events, 0}, {hangup_fd, 0, 0}};
    for (;;) {
        const int n = poll(pfd, hangup_fd < 0 ? 1 : 2, timeout_ms);
        if (n > 0 && pfd[1].revents) {
            errno = ECANCELED;
            return false;
        }
        if (n > 0)
            return true;
        if (n == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

int client_send(const void* record, size_t len, int timeout_ms)
{
    // Non-blocking: fails with ENXIO at once when no daemon reads the FIFO.
    // Never through a symlink: whatever it leads to is not the daemon's.
    const int fd = open(PUBLIC_FIFO_PATH, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENXIO)
            errno = ECONNREFUSED;
        else if (errno == ELOOP)
            errno = EPERM;
        return -1;
    }
    // Never hand a key to something that is not a FIFO, nor to a FIFO
    // that somebody else made where the daemon's was (after a stop, say):
    // whoever may read it reads every record.
    struct stat st;
    const bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    if (!fifo || !client_public_trusted(st)) {
        close(fd);
        errno = fifo ? EPERM : EINVAL;
        return -1;
    }
    // Up to PIPE_BUF bytes go in whole or not at all, so records from
    // several clients never interleave; a full FIFO is waited on.
    int status = io_write_all(fd, record, len, timeout_ms, nullptr);
    if (status < 0 && errno == ETIMEDOUT)
        errno = EBUSY;
    if (status < 0 && errno == EPIPE)
        errno = ECONNREFUSED;
    const int saved = errno;
    close(fd);
    errno = saved;
    return status;
}

int client_read_reply(client_reply* r, int timeout_ms, client_sink sink, void* ctx, long long limit, int hangup_fd)
{
    unsigned char buf[65536];
    long long total = 0;
    int s = 0;
    for (;;) {
        // Until a writer has opened the FIFO, read() would report end of file;
        // poll waits for the first data or for a writer that came and went.
        // A request sent with timeout 0 has been taken at once: its reply is
        // read as it comes.
        if (!wait_ready(r->fd, POLLIN, timeout_ms == 0 ? -1 : timeout_ms, hangup_fd)) {
            s = -1;
            break;
        }
        const ssize_t n = io_read(r->fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN)
                continue;
            s = -1;
            break;
        }
        // More than the daemon sends: somebody else wrote into the reply.
        total += n;
        if (limit >= 0 && total > limit) {
            errno = EPROTO;
            s = -1;
            break;
        }
        if (sink && !sink(ctx, buf, (size_t)n)) {
            s = -1;
            break;
        }
    }
    const int saved = errno;
    explicit_bzero(buf, sizeof buf);
    errno = saved;
    return s;
}

std::string client_base64_encode(const unsigned char* bytes, size_t len)
{
    std::string s;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = 0; i < len; i++) {
        acc = (acc << 8 | bytes[i]) & 0xffffff;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            s += base64_alphabet[(acc >> bits) & 63];
        }
    }
    if (bits > 0)
        s += base64_alphabet[(acc << (6 - bits)) & 63];
    while (s.size() % 4)
        s += '=';
    return s;
}

int client_write_all(int fd, const unsigned char* p, size_t len)
{
    return io_write_all(fd, p, len, -1, nullptr);
}

bool client_append(void* ctx, const unsigned char* data, size_t len)
{
    ((std::string*)ctx)->append((const char*)data, len);
    return true;
}

int client_exchange_send(client_reply* r, unsigned char command, const char* file_path, const char* key,
                         int timeout_ms, bool listen_now, client_stage* stage,
                         void (*on_reply)(const client_reply*))
{
    *stage = STAGE_DAEMON;
    if (!client_reply_open(r, listen_now))
        return -1;
    if (on_reply)
        on_reply(r);
    unsigned char record[RECORD_SIZE];
    int s = -1;
    if (client_record_build(record, command, r->path, file_path, key) &&
        client_send(record, RECORD_SIZE, timeout_ms) == 0) {
        *stage = STAGE_REPLY;
        s = 0;
    }
    explicit_bzero(record, sizeof record);
    if (s < 0)
        client_reply_close(r);
    return s;
}

int client_exchange(unsigned char command, const char* file_path, const char* key, int timeout_ms, client_sink sink,
                    void* ctx, const client_exchange_options& opt)
{
    client_stage ignored;
    client_stage* stage = opt.stage ? opt.stage : &ignored;
    client_reply r;
    const bool late = opt.listen_after_ms >= 0;
    int s = client_exchange_send(&r, command, file_path, key, timeout_ms, !late, stage, opt.on_reply);
    if (s == 0) {
        if (late)
            usleep((useconds_t)opt.listen_after_ms * 1000);
        s = !late || client_reply_listen(&r) ? client_read_reply(&r, timeout_ms, sink, ctx, opt.limit) : -1;
    }
    client_reply_close(&r);
    if (opt.on_reply)
        opt.on_reply(nullptr);
    return s;
}

int client_request(unsigned char command, const char* file_path, const char* key, int timeout_ms,
                   std::string* out, void (*on_reply)(const client_reply*))
{
    const long long limit = command == CMD_PING ? 2 : command == CMD_EXIT ? 3 : -1;
    return client_exchange(command, file_path, key, timeout_ms, client_append, out, {limit, on_reply});
}

bool client_may_stop(uid_t* daemon_uid)
{
    struct stat st;
    if (lstat(PUBLIC_FIFO_PATH, &st) < 0)
        return true;  // the send says what is missing
    *daemon_uid = st.st_uid;
    return geteuid() == 0 || geteuid() == st.st_uid;
}

int client_ask(unsigned char command, int timeout_ms, void (*on_reply)(const client_reply*), client_stage* stage)
{
    uid_t daemon_uid;
    if (command == CMD_EXIT && !client_may_stop(&daemon_uid)) {
        if (stage)
            *stage = STAGE_DAEMON;
        errno = EPERM;
        return -1;
    }
    std::string reply;
    if (client_exchange(command, "", "", timeout_ms, client_append, &reply,
                        {command == CMD_EXIT ? 3 : 2, on_reply, -1, stage}) < 0)
        return -1;
    if (reply != (command == CMD_EXIT ? "BYE" : "OK")) {
        errno = EPROTO;
        return -1;
    }
    return 0;
}

namespace {

struct counter {
    client_sink sink;
    void* ctx;
    long long* received;
    client_stage* stage;  // STAGE_OUTPUT when the sink fails
};

bool count_and_pass(void* c, const unsigned char* data, size_t len)
{
    auto* k = (counter*)c;
    *k->received += (long long)len;
    if (!k->sink || k->sink(k->ctx, data, len))
        return true;
    *k->stage = STAGE_OUTPUT;
    return false;
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool in_alphabet(char c)
{
    return c != '\0' && strchr(base64_alphabet, c) != nullptr;
}

}  // namespace

std::string_view client_key_trim(const char* text)
{
    std::string_view v(text);
    while (!v.empty() && is_space(v.front()))
        v.remove_prefix(1);
    while (!v.empty() && is_space(v.back()))
        v.remove_suffix(1);
    return v;
}

namespace {

// Whether v (without white space around it) looks like a key in hex.
bool looks_hex(std::string_view v)
{
    const bool digits = std::all_of(v.begin(), v.end(), [](char c) { return isxdigit((unsigned char)c); });
    return digits && (v.size() == 32 || v.size() == 40 || v.size() == 48 || v.size() == 64);
}

}  // namespace

int client_key_check(const char* text, size_t* bad)
{
    const std::string_view v = client_key_trim(text);
    const size_t lead = (size_t)(v.data() - text);
    *bad = 0;
    if (v.size() >= FIELD_SIZE) {
        errno = ENAMETOOLONG;
        return -1;
    }
    size_t chars = 0, i = 0;
    for (; i < v.size() && v[i] != '='; i++) {
        if (!in_alphabet(v[i]) && v[i] != '-') {
            *bad = lead + i + 1;
            errno = EINVAL;
            return -1;
        }
        chars += v[i] != '-';
    }
    for (; i < v.size(); i++) {
        if (v[i] != '=') {
            *bad = lead + i + 1;
            errno = EINVAL;
            return -1;
        }
    }
    // What the decoder makes of it: 3 bytes per 4 characters, and 1 or 2 of
    // a last group of 2 or 3.
    const int bytes = (int)(chars * 6 / 8);
    if (bytes == 0) {
        *bad = 0;
        errno = EINVAL;
        return -1;
    }
    // Hex digits are base64 characters too: a 128- to 256-bit key written
    // in hex would silently give other bytes.
    if (looks_hex(v) && bytes != KEY_SIZE) {
        *bad = KEY_LOOKS_HEX;
        errno = EINVAL;
        return -1;
    }
    return bytes;
}

namespace {

// One request for the file; -1 with EIO when the reply ended short.
int decrypt_once(const char* file, const char* key_text, bool first_load, int timeout_ms, client_sink sink,
                 void* ctx, client_transfer* t, void (*on_reply)(const client_reply*))
{
    t->received = 0;
    counter c{sink, ctx, &t->received, &t->stage};
    const int s = client_exchange(first_load ? CMD_DECRYPT_CHUNK : CMD_DECRYPT_FILE, file, key_text, timeout_ms,
                                  count_and_pass, &c, {t->expected, on_reply, -1, &t->stage});
    if (s == 0 && t->received < t->expected) {
        errno = EIO;
        return -1;
    }
    return s;
}

}  // namespace

bool client_decrypt_prepare(const char* path, bool first_load, char* file, struct stat* st, client_transfer* t)
{
    t->err = 0;
    t->stage = STAGE_FILE;
    t->expected = -1;
    t->received = 0;
    if (!realpath(path, file) || stat(file, st) < 0 || access(file, R_OK) < 0) {
        t->err = errno;
        return false;
    }
    // The daemon serves regular files only, and so the reply's size is known.
    if (!S_ISREG(st->st_mode)) {
        t->err = EINVAL;
        return false;
    }
    t->expected = first_load ? std::min<long long>(st->st_size, LOAD_SIZE) : st->st_size;
    return true;
}

int client_decrypt_verdict(int s, const char* file, const struct stat& st, client_transfer* t)
{
    if (s == 0 && t->received < t->expected) {
        errno = EIO;
        s = -1;
    }
    // A reply of another length than the file had: the file changed while
    // it was served, if its size did.
    t->err = s < 0 ? errno : 0;
    struct stat now;
    if ((t->err == EIO || t->err == EPROTO) && stat(file, &now) == 0 && now.st_size != st.st_size) {
        t->changed_size = now.st_size;
        t->stage = STAGE_REPLY;
        t->err = ESTALE;
    }
    return t->err;
}

int client_decrypt(const char* path, const char* key, bool first_load, int timeout_ms, client_sink sink, void* ctx,
                   client_transfer* t, void (*on_reply)(const client_reply*))
{
    char file[PATH_MAX];
    struct stat st;
    if (!client_decrypt_prepare(path, first_load, file, &st, t))
        return t->err;
    // Sent without the white space around it, which would end the daemon's
    // decoding at once. Too long a path or key fails as the record is built.
    std::string key_text(client_key_trim(key));
    int s = decrypt_once(file, key_text.c_str(), first_load, timeout_ms, sink, ctx, t, on_reply);
    // A reply cut short (a daemon restarted or upgraded mid-reply, say) is
    // asked for once more, if the sink can start afresh: nothing of it has
    // reached the caller yet. Timeout 0 tries once. An empty reply is the
    // daemon's answer for a file it cannot read: asking again changes
    // nothing.
    if (s < 0 && errno == EIO && t->received > 0 && t->received < t->expected && timeout_ms != 0 && t->restart &&
        t->restart(ctx)) {
        const long long first = t->received;
        s = decrypt_once(file, key_text.c_str(), first_load, timeout_ms, sink, ctx, t, on_reply);
        // The daemon that cut the reply off has gone, and none came back.
        if (s < 0 && errno == ECONNREFUSED) {
            t->received = first;
            t->stopped = true;
            t->stage = STAGE_REPLY;
            errno = EIO;
        }
    }
    explicit_bzero(key_text.data(), key_text.size());
    return client_decrypt_verdict(s, file, st, t);
}
