// SPDX-License-Identifier: MIT
// Client side of the protocol: a private reply FIFO, one whole record sent
// with a single write, the reply read until end of file with a timeout.
// One error convention: 0 (or a count), or -1 with the errno that
// <tessarind/client.h> documents; "do X" helpers return bool with errno.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "protocol/protocol.h"

// A reply FIFO in a private directory in /tmp, whatever TMPDIR says (mode
// 0711: the daemon may run as another user and must reach the FIFO, nobody
// may list the directory). The FIFO is 0600 when the public FIFO is the
// caller's own, else 0620 with the public FIFO's group (EACCES when the
// caller cannot give it that group, unless the public FIFO lets anyone
// write: then 0622).
struct client_reply {
    char dir[64];
    char path[96];
    int fd;  // read end, non-blocking
};

// Creates the directory and the FIFO and opens the FIFO for reading without
// blocking, so the daemon's first open succeeds. With open_now false the FIFO
// is created but not opened (client_reply_listen opens it later).
bool client_reply_open(client_reply* r, bool open_now = true);
bool client_reply_listen(client_reply* r);
// Closes, then removes the FIFO and its directory. Safe to call twice.
void client_reply_close(client_reply* r);

// Fills a whole record; false (errno ENAMETOOLONG) when a text does not fit
// with its NUL in 256 bytes.
bool client_record_build(unsigned char record[RECORD_SIZE], unsigned char command, const char* reply_path,
                         const char* file_path, const char* key);

// Whether an open public FIFO is the daemon's: a FIFO owned by root, the
// caller or the user tessarind, which neither group nor others may read.
bool client_public_trusted(const struct stat& st);

// Sends len bytes (normally RECORD_SIZE) to the public FIFO in one write,
// waiting at most timeout_ms for room in it (EBUSY). ECONNREFUSED when no
// daemon reads it; sends nothing to something that is not the daemon's FIFO
// (EPERM; EINVAL: not a FIFO at all).
int client_send(const void* record, size_t len, int timeout_ms);

// Reads the reply until end of file. timeout_ms bounds each wait for data
// (-1: no limit; 0 as -1, for a request sent without waiting): ETIMEDOUT.
// sink receives every piece; when it fails (false, errno set), reading stops
// with its errno. A reply longer than limit bytes (-1: no limit) fails with
// EPROTO as soon as the extra byte arrives, which is not handed to sink.
// When hangup_fd hangs up (its peer closed) while the reply is awaited,
// reading stops with ECANCELED.
using client_sink = bool (*)(void* ctx, const unsigned char* data, size_t len);
// The sink that appends every piece to the std::string ctx.
bool client_append(void* ctx, const unsigned char* data, size_t len);
int client_read_reply(client_reply* r, int timeout_ms, client_sink sink, void* ctx, long long limit = -1,
                      int hangup_fd = -1);

// Writes all len bytes, retrying after EINTR; 0, or -1 with errno set.
int client_write_all(int fd, const unsigned char* p, size_t len);

// Key text as the tools take it: base64 characters, '-' separators, '='
// padding at the end only, and white space around it, at most 255 bytes
// without that white space. The number of key bytes it gives (at least 1),
// or -1 with errno EINVAL and *bad the 1-based position of the first
// character that does not belong (0: the text gives no byte at all;
// KEY_LOOKS_HEX: hex digits alone, 32, 40, 48 or 64 of them, that do not
// give 20 bytes), or ENAMETOOLONG. The daemon itself stays lenient.
inline constexpr size_t KEY_LOOKS_HEX = (size_t)-1;
int client_key_check(const char* text, size_t* bad);
// The key text without the white space around it.
std::string_view client_key_trim(const char* text);

// Standard base64 with '=' padding, which the daemon's decoder reads back.
std::string client_base64_encode(const unsigned char* bytes, size_t len);

// Where a request failed, which with its errno says what happened: the key
// text or the file (both checked here before anything is sent), the daemon
// (the reply FIFO made and the record sent), the reply (read back), or the
// output (the sink that took the reply).
enum client_stage { STAGE_KEY, STAGE_FILE, STAGE_DAEMON, STAGE_REPLY, STAGE_OUTPUT };

// The first half of an exchange: the reply FIFO made in *r (and opened for
// reading, unless listen_now is false) and the record sent. 0, or -1 with
// errno and *r closed. *stage and on_reply (told of *r once it exists) as
// for client_exchange.
int client_exchange_send(client_reply* r, unsigned char command, const char* file_path, const char* key,
                         int timeout_ms, bool listen_now, client_stage* stage,
                         void (*on_reply)(const client_reply*) = nullptr);

// One whole exchange: reply FIFO, record, reply into sink (at most limit
// bytes, -1: no limit), clean-up. on_reply, when given, is told of the reply
// FIFO once it exists and of nullptr once it is gone. listen_after_ms (a
// careless client, for tests and the load tool) opens the reply FIFO for
// reading only that long after the record went out. *stage, when given,
// follows the exchange: STAGE_DAEMON, STAGE_REPLY once the record went out,
// STAGE_OUTPUT when the sink failed.
struct client_exchange_options {
    long long limit = -1;
    void (*on_reply)(const client_reply*) = nullptr;
    int listen_after_ms = -1;
    client_stage* stage = nullptr;
};
int client_exchange(unsigned char command, const char* file_path, const char* key, int timeout_ms, client_sink sink,
                    void* ctx, const client_exchange_options& opt = {});

// One whole request whose reply goes into *out. A ping's reply may hold 2
// bytes at most, an exit's 3.
int client_request(unsigned char command, const char* file_path, const char* key, int timeout_ms,
                   std::string* out, void (*on_reply)(const client_reply*) = nullptr);

// Only root and the daemon's own user (the public FIFO's owner, set in
// *daemon_uid) may stop the daemon, which refuses anyone else's exit.
// True, too, when no public FIFO is there.
bool client_may_stop(uid_t* daemon_uid);

// CMD_PING or CMD_EXIT: 0 once the daemon answered "OK" or "BYE" (EPROTO:
// something else). An exit that client_may_stop refuses is not sent (EPERM).
// *stage (if given) as for client_exchange.
int client_ask(unsigned char command, int timeout_ms, void (*on_reply)(const client_reply*) = nullptr,
               client_stage* stage = nullptr);

// One whole decryption, the one the library's C API and the command-line
// client share. The caller has checked the key text (client_key_check).
// Checks locally that path (made absolute: the daemon's working directory
// is not ours) is a regular file we can read (ENOENT, EACCES, EINVAL,
// ENAMETOOLONG), then hands the reply to sink. t->expected stays -1 until
// the file passed those checks. A reply shorter than the file, or its first
// load, is asked for once more if t->restart says the sink can start
// afresh (never with timeout 0), and else fails with EIO; a longer one fails
// with EPROTO. An empty reply for a non-empty file is never asked again:
// the daemon could not read the file (EIO, t->received 0). on_reply as for
// client_exchange.
// A reply of another length than the file, whose size then changed, fails
// with ESTALE (t->changed_size: the size now); a reply cut short by a daemon
// that then stopped sets t->stopped.
// The outcome is *t alone: t->err (0, or the errno it failed with, also
// returned) and t->stage (where it failed), with the counts beside them.
// The sink reads t->expected and t->received as the reply comes.
struct client_transfer {
    int err = 0;
    client_stage stage = STAGE_FILE;
    long long expected = -1;  // the reply's size, once the file is checked
    long long received = 0;
    long long changed_size = -1;
    bool stopped = false;
    bool (*restart)(void* ctx) = nullptr;  // null: a short reply is not asked again
};
int client_decrypt(const char* path, const char* key, bool first_load, int timeout_ms, client_sink sink, void* ctx,
                   client_transfer* t, void (*on_reply)(const client_reply*) = nullptr);

// client_decrypt's two ends, for a reply read elsewhere. The first checks
// the file and fills file (its absolute path, PATH_MAX bytes), *st and
// t->expected; false with t->err. The second judges the reply whose read
// returned s (with errno), as client_decrypt does: EIO when it was short,
// ESTALE when the file's size has changed since *st; t->err, as returned.
bool client_decrypt_prepare(const char* path, bool first_load, char* file, struct stat* st, client_transfer* t);
int client_decrypt_verdict(int s, const char* file, const struct stat& st, client_transfer* t);
