// SPDX-License-Identifier: MIT
// What the whole daemon stands on, main thread and workers alike: the trace
// switch and the public FIFO's identity, tracing and I/O, the request
// record, opening what a client names and reply FIFOs. The workers' pool is
// in worker/worker.h (its inside in worker/internal.h), the main thread's
// own parts in server/daemon.h; nothing here includes them.
// Conventions: system-call wrappers return -1 with errno set; "do X" helpers
// return bool and leave errno set on failure. Cleanup never clobbers errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>

#include "protocol/protocol.h"

// ---- process-wide state, set by the main thread before the first worker
// starts and only read after --------------------------------------------

extern int debug_level;  // trace switch: 1 after "-d" (io.cpp)
extern int log_level;    // operational log: 1 after "-l" (io.cpp)
extern dev_t public_dev;  // the public FIFO, never a reply path (reply.cpp)
extern ino_t public_ino;

// ---- thread.cpp ------------------------------------------------------------

// pthread_create, with SIGINT, SIGHUP, SIGQUIT and SIGTERM blocked in the
// new thread: only the main thread takes them, so that a daemon stopped and
// ended (systemctl restart of a stopped one, say) ends before its main
// thread reads another record, which would be lost. SIGPIPE stays a
// thread's own.
int thread_start(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg);

// ---- io.cpp: tracing and the only EINTR retries ---------------------------

// One printf-style call on standard output, only while debug_level is set.
// Preserves errno.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One line of the operational log on standard error, only while log_level
// is set. fmt starts with an sd-daemon level ("<3>", "<4>", "<6>") and never
// takes a key or plain data. Preserves errno.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// journal.cpp: a failed request's line (message without a priority prefix)
// at priority (4: warning, 6: info), with its command, its owner's uid (-1:
// unknown) and errno as journal fields where standard error is the journal.
void log_request(int priority, const char* command, long long uid, int err, const char* message);

// A text a client sent (a path, a key), as a trace or the log prints it:
// control bytes and backslashes as \xHH, so that no text can forge lines,
// and for the log bytes at or above 0x80 too, so that every log line is
// printable ASCII. Empty while neither tracing nor the log is on.
enum text_use { FOR_TRACE, FOR_LOG };
struct trace_text {
    explicit trace_text(const char* s, text_use use = FOR_TRACE);
    char text[4 * FIELD_SIZE + 1];
};

// One log line for a spell of like events: true for an event of key
// (an owner, say) when its last one was more than LOG_SPELL_MS ago, or
// never. Main thread only.
inline constexpr long LOG_SPELL_MS = 10000;
struct log_spells {
    std::map<uint64_t, long> last;  // key -> when its last event came
};
bool log_spell_starts(log_spells* spells, uint64_t key);

ssize_t io_read(int fd, void* buf, size_t len);

// Closes fd, keeping errno: for clean-up after a failure.
void io_close(int fd);

// The monotonic clock, in milliseconds.
long io_now_ms();

// How long a non-blocking reply ("OK", "BYE") may wait for room, in all.
inline constexpr int REPLY_ROOM_WAIT_MS = 5000;

// Writes all len bytes. When fd is non-blocking, waits for room at most
// wait_ms in all (-1: no limit). Traces "wrote_code N" (if not null) with
// the count of each write that returns one. Returns 0, or -1 with errno set
// (EPIPE: the reader has gone; ETIMEDOUT: no room in time).
int io_write_all(int fd, const void* buf, size_t len, int wait_ms, const char* wrote_code);

// ---- record.cpp: the request record ---------------------------------------

// A parsed record: each text field bounded to its 256 bytes and always
// NUL-terminated, so a field without a NUL is taken as all 256 bytes.
struct pipe_request {
    unsigned char command;
    char reply_path[FIELD_SIZE + 1];
    char file_path[FIELD_SIZE + 1];
    char key_string[FIELD_SIZE + 1];
};

// Copies one text field out of a raw record; never reads past the field.
void record_field(const unsigned char record[RECORD_SIZE], size_t offset, char out[FIELD_SIZE + 1]);
void record_parse(const unsigned char record[RECORD_SIZE], pipe_request* req);
// Whether a record may be served by its fields: its reply path, and for the
// decrypting commands its file path, is absolute and ends in a NUL inside
// its field. A partial record in the public FIFO shifts every record after
// it, and their fields may then hold other records' keys: a record that
// fails is never looked up or logged by its fields. Pure.
bool record_well_formed(const unsigned char record[RECORD_SIZE]);

// ---- path.cpp: opening paths that clients name ----------------------------
// Every path is resolved once into an O_PATH descriptor (which opens
// nothing: no device, no FIFO), its object is checked, and only then is that
// very object reopened.

// An O_PATH descriptor for path, never through a magic link
// (/proc/PID/fd/N and the like, through which a client could reach the
// daemon's own descriptors): openat2 with RESOLVE_NO_MAGICLINKS, or, on
// kernels without it, a plain open of any path for which path_names_proc
// holds refused. -1 with errno set (ELOOP for a magic link).
int path_resolve(const char* path);

// True for a path that is relative or that lies, lexically, under /proc or
// /dev/fd or is /dev/std*. Pure.
bool path_names_proc(const char* path);

// What a client's path must reach, judged on the object it resolves to:
// a data file is a regular file, not on procfs or sysfs; a reply FIFO is a
// FIFO, not a pipe and not the public FIFO; neither is the file behind one
// of the daemon's descriptors 0-2.
enum path_kind { PATH_DATA_FILE, PATH_REPLY_FIFO };

// The one way a client's path is opened: resolved once (path_resolve) into
// an O_PATH descriptor, which is returned only if its object is of the kind
// asked, with *st its status. -1 with errno: path_resolve's, or for an
// object of another kind EINVAL (a data file) or ENOTSUP (a reply FIFO).
int path_open_checked(const char* path, path_kind what, struct stat* st);

// A data file opened for reading, through path_open_checked. -1 with errno.
int path_open_data(const char* path);

// Whether a reply may go into the FIFO that path_fd names, st its status:
// a FIFO, not the public one, not behind descriptors 0-2, and with
// by_statfs not a pipe either (fstatfs, which a FUSE server may hold).
bool path_reply_allowed(int path_fd, const struct stat& st, bool by_statfs);

// Remembers the files behind descriptors 0-2; called once at start-up.
void path_note_stdio();
bool path_is_stdio(const struct stat& st);
// Whether the descriptor's file system has the given statfs magic.
bool path_on_fs(int path_fd, long magic);

// Opens, or changes the mode of, the very file an O_PATH descriptor names.
int path_reopen(int path_fd, int flags);
bool path_chmod(int path_fd, mode_t mode);

// ---- lookup.cpp: a client's file system never holds the caller long -------

// How long a lookup of a client's path may hold the caller.
inline constexpr int LOOKUP_WAIT_MS = 1000;
// Lookups left waiting for a file system that does not answer each keep a
// thread; beyond this many, a lookup that would need one fails at once.
inline constexpr int MAX_SLOW_LOOKUPS = 8;

// path_open_checked(path, PATH_REPLY_FIFO, st), waiting at most timeout_ms:
// first from the kernel's caches alone (which never waits on a file
// system), else on a thread of its own that goes on, and cleans up, after
// the caller stopped waiting (ETIMEDOUT). With on_fuse, *on_fuse tells
// whether the FIFO is on a FUSE file system, whose server says what it
// likes of its owner and mode. -1 with errno.
int path_open_reply_bounded(const char* path, struct stat* st, int timeout_ms, bool* on_fuse = nullptr);

// ---- reply.cpp: reply FIFOs -----------------------------------------------

// How long a transfer waits for its client to open the reply FIFO.
inline constexpr int READER_WAIT_MS = 30000;

// Binds a record to its reply FIFO as the record is read: path resolved
// once (no magic link crossed) into an O_PATH descriptor, kept only if it is
// a FIFO of a real file system other than the public one and the log, *st
// its status (st_uid: whose it is). Waits LOOKUP_WAIT_MS at most
// (path_open_reply_bounded, which on_fuse goes to). -1 with errno (ENOTSUP:
// something else; ETIMEDOUT) when path does not reach such a FIFO now.
int fifo_bind_reply(const char* path, struct stat* st, bool* on_fuse = nullptr);

// Up to five attempts, one second apart, to open the reply FIFO for writing
// (with O_NONBLOCK if asked): the bound one (a descriptor from
// fifo_bind_reply, never the path again), or, with bound -1, path resolved
// and checked as fifo_bind_reply does at each attempt; anything else is a
// failed attempt, and is never opened for writing. A bound FIFO its client
// has removed ends the attempts at once, after one failed attempt's trace.
// With bound REPLY_UNSERVED (a record not served by its fields) every
// attempt fails without a lookup.
// Without O_NONBLOCK, a FIFO with no reader is waited for READER_WAIT_MS at
// most, and then no further attempt is made. After each failed attempt,
// traces "failed_code", and with name_path "failed_code: path". Returns the
// descriptor (blocking unless asked), or -1 with errno.
inline constexpr int REPLY_UNSERVED = -2;
int fifo_open_reply(const char* path, int bound, bool nonblocking, const char* failed_code, bool name_path);
