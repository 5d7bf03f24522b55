// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/crypto.h"

namespace {

// The loop's callees that see a record (read, memcpy, pthread_create) use
// little stack, and the main thread's whole stack may be as small as
// RLIMIT_STACK allows (32 KiB under `ulimit -s 32`).
constexpr size_t MAIN_STACK_WIPE = 4096;

// Answers CMD_EXIT on the main thread, through its bound reply FIFO. The
// daemon stops whatever happens here.
void exit_sequence(const char* reply_path, int bound)
{
    trace("e9\n");
    const int fd = fifo_open_reply(reply_path, bound, true, "e10", false);
    if (fd >= 0) {
        if (io_write_all(fd, "BYE", 3, REPLY_ROOM_WAIT_MS, nullptr) == 0)
            trace("e12\n");
        else if (errno == EPIPE)
            trace("e11\n");
        close(fd);
    }
    trace("e13..\n");
}

bool in_group(gid_t gid)
{
    if (gid == getegid())
        return true;
    gid_t groups[256];
    const int n = getgroups(256, groups);
    return std::find(groups, groups + std::max(n, 0), gid) != groups + std::max(n, 0);
}

// Only root and the daemon's own user may stop a shared daemon: an exit is
// obeyed when its reply FIFO, bound as the record was read, is theirs and
// the daemon's user may write it by its mode. Nobody else makes such a
// FIFO, and naming one nobody else may write (root's /run/initctl, say)
// does not count. A FUSE server claims whatever owner it likes.
bool exit_allowed(const struct stat& st, bool on_fuse)
{
    const uid_t me = geteuid();
    if (on_fuse || (st.st_uid != 0 && st.st_uid != me))
        return false;
    if (st.st_uid == me)
        return st.st_mode & S_IWUSR;
    return st.st_mode & (in_group(st.st_gid) ? S_IWGRP : S_IWOTH);
}

log_spells refused_exits;

// CMD_EXIT: true once answered (the daemon then stops); false, with one log
// line per owner and spell, when refused.
bool exit_requested(const unsigned char record[RECORD_SIZE])
{
    char reply_path[FIELD_SIZE + 1];
    record_field(record, REPLY_PATH_OFFSET, reply_path);
    struct stat st;
    bool on_fuse = false;
    const int bound = record_well_formed(record) ? fifo_bind_reply(reply_path, &st, &on_fuse) : -1;
    if (bound >= 0 && exit_allowed(st, on_fuse)) {
        log_line("<6>tessarind stopping: exit request\n");
        exit_sequence(reply_path, bound);
        close(bound);
        return true;
    }
    const uint64_t owner = bound >= 0 ? st.st_uid : UNKNOWN_OWNER;
    if (bound >= 0)
        close(bound);
    if (!log_spell_starts(&refused_exits, owner))
        return false;
    if (bound >= 0)
        log_line("<4>exit refused: its reply FIFO is uid %u's (only root and the daemon's user may stop the daemon)\n",
                 (unsigned)owner);
    else
        log_line("<4>exit refused: its reply path reaches no FIFO (only root and the daemon's user may stop the "
                 "daemon)\n");
    return false;
}

log_spells malformed;

}  // namespace

int publicfifo = -1;
int dummyfifo = -1;
const char version_string[] = "tessarind Version 1.19\n";

namespace {

const char usage_text[] =
    "usage: tessarind [-d] [-a | -l | --version | --help]\n"
    "Decrypts Blowfish-ECB data files for local clients over the FIFO " "/tmp/TALV_PIPE.\n"
    "  -d         trace codes on standard output (they include keys: never in production)\n"
    "  -a         print the version banner and an empty line, and exit\n"
    "  -l         log start, stop and failed requests on standard error, without secrets\n"
    "  --version  print the version banner, and exit (also -V)\n"
    "  --help     print this, and exit (also -h)\n"
    "See man 8 tessarind.\n";


// Init, the command line: ends the process after -a, --version and --help.
void init_options(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const daemon_options opt = options_parse(argc, argv);
    debug_level = opt.debug;
    trace("e3.\n");
    if (opt.version) {
        printf("%s\n", version_string);
        exit(0);
    }
    if (opt.version_line) {
        fputs(version_string, stdout);
        exit(0);
    }
    if (opt.help) {
        fputs(usage_text, stdout);
        exit(0);
    }
    log_level = opt.log;
    // Said even without -d or -l: nothing a requester names is then out of
    // the daemon's reach.
    if (geteuid() == 0)
        fprintf(stderr, "%stessarind: running as root: every requester can have any file on this machine read\n",
                log_level ? "<4>" : "");
    // Ignored, as always, but no longer silently.
    if (opt.unknown)
        fprintf(stderr, "tessarind: ignoring unknown option %s (see tessarind --help)\n", opt.unknown);
    // "-l -d" would otherwise run without the traces asked for.
    if (opt.ignored)
        fprintf(stderr,
                "tessarind: ignoring option %s: only the first option (after -d) is read (see tessarind --help)\n",
                opt.ignored);
}

[[noreturn]] void fail_public_fifo()
{
    perror(PUBLIC_FIFO_PATH);
    trace("e1\n");
    exit(1);
}

// Init, the service: handlers, pool, public FIFO. Failures end the process
// with 1. True when systemd passed the public FIFO in.
bool init_service()
{
    // No core file and no same-user ptrace or /proc/PID/mem: the daemon
    // holds other users' keys and plain data.
    prctl(PR_SET_DUMPABLE, 0);
    path_note_stdio();
    if (!signals_install()) {
        // Said with or without tracing: a service that will not start must
        // say why in its log.
        perror("sigaction");
        exit(1);
    }
    if (!workers_init()) {
        perror("eventfd");
        exit(1);
    }
    // Under systemd the FIFO is its own, passed in (socket activation), and
    // stays when the daemon ends: nothing here checks its mode, changes or
    // removes it, and the descriptor systemd shares stays as systemd set it.
    // Otherwise the daemon makes or reuses it.
    const int inherited = systemd_public_fifo();
    int fd = inherited;
    bool created = false;
    if (inherited < 0 && !fifo_find_public(&fd, &created))
        fail_public_fifo();
    // Said before the wait for the first client, which may be long.
    // Each waiting record holds a descriptor: a low limit leaves fewer.
    char waiting[96] = "";
    if (workers_max_waiting() < MAX_WAITING)
        snprintf(waiting, sizeof waiting, "; at most %zu records wait, not %zu: the descriptor limit is low",
                 workers_max_waiting(), MAX_WAITING);
    log_line("<6>%.*s started; public FIFO %s%s\n", (int)strlen(version_string) - 1, version_string,
             inherited >= 0 ? "inherited from systemd" : created ? "made" : "reused", waiting);
    if (!fifo_open_ends(fd, &publicfifo, &dummyfifo))
        fail_public_fifo();
    trace("e7\n");
    systemd_notify("READY=1");
    return inherited >= 0;
}

// Loop: one read is one record. No client or request ends the loop but
// CMD_EXIT. Records that may not start yet wait in the pool, in order, and
// beyond MAX_WAITING in the public FIFO.
void serve()
{
    // Zero at first and wiped after every record: a short read never
    // carries bytes of the record read before it.
    unsigned char record[RECORD_SIZE] = {};
    status_told told;
    for (;;) {
        workers_dispatch();
        if (!workers_wait_input(publicfifo, systemd_tell_status(&told)))
            continue;
        const ssize_t n = io_read(publicfifo, record, RECORD_SIZE);
        if (n <= 0) {
            trace("\ne16\n");
            log_line("<3>tessarind stopping: reading the public FIFO failed: %s\n",
                     n < 0 ? strerrordesc_np(errno) : "end of file");
            break;
        }
        trace("\ne8 %d\n", (int)(signed char)record[0]);
        if (!record_well_formed(record) && record[0] <= CMD_DECRYPT_CHUNK && log_spell_starts(&malformed, 0))
            log_line("<4>records not served: a path in them is relative or fills its field (a partial record "
                     "shifts the ones after it)\n");
        if (record[0] == CMD_EXIT) {
            if (exit_requested(record))
                break;
        } else {
            workers_submit(record);
        }
        // The record holds a key; so may dead frames below this one.
        // The wipe is also what zero-fills the next short record.
        crypto_wipe(record, RECORD_SIZE);
        crypto_wipe_stack<MAIN_STACK_WIPE>();
    }
    crypto_wipe(record, RECORD_SIZE);
}

}  // namespace

int __Z14dfkwqzza(int argc, char** argv)
{
    init_options(argc, argv);
    const bool inherited = init_service();
    serve();

    // Finish: remove what start-up created. Running workers end with us.
    systemd_notify("STOPPING=1");
    workers_finish();
    close(publicfifo);
    close(dummyfifo);
    if (!inherited)
        unlink(PUBLIC_FIFO_PATH);
    return 0;
}

int main(int argc, char** argv)
{
    return __Z14dfkwqzza(argc, argv);
}
