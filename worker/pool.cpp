// SPDX-License-Identifier: MIT
#include "worker/worker.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <algorithm>
#include <map>
#include <set>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>


namespace {

// Workers are joined, not detached, so that a slot is given back only once
// its thread has left the process: `running` never counts fewer threads
// than there are. Each ending worker joins the one that ended before it, so
// at most one ended thread waits to be joined. Stacks are the daemon's own
// mappings: a few are kept for the next workers (mapping, guarding and
// faulting in a fresh one cost a ping about a tenth of its time), the rest
// go back to the system at once instead of into glibc's cache, which would
// keep up to 160 of them.
//
// Records wait in the pool, not in threads: in arrival order, each until its
// owner (the owner of its reply FIFO) has fewer than OWNER_SHARE workers and
// a slot is free. Only the main thread starts workers; an ending worker
// wakes it through `wake` when records wait.
constexpr size_t GUARD_SIZE = 4096;
constexpr size_t MAPPING_SIZE = GUARD_SIZE + WORKER_STACK_SIZE;
constexpr int SPARE_STACKS = 8;
// Records whose reply path does not resolve yet share one owner of their own.
constexpr uint64_t UNKNOWN_OWNER = UINT64_MAX;

// A record with its reply FIFO, bound as it was read (-1: unresolved).
struct waiting_record {
    unsigned char* record;
    uint64_t owner;
    int bound;
};

// What a worker's thread is started with, and gives back at its end.
struct worker_slot {
    waiting_record request;
    void* mapping;
};

struct ended_worker {
    pthread_t thread;
    pid_t tid;
    void* mapping;
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t slot_freed = PTHREAD_COND_INITIALIZER;
int running = 0;  // started and not yet gone
ended_worker last;
bool have_last = false;
int reaping = 0;        // workers joining the one before them
// Workers that gave their share back and have not been joined yet. Bulk
// threads end at a lowered priority, so on a busy machine each joins its
// predecessor slowly: while more than MAX_ENDED wait to be joined, no new
// worker starts, so that threads follow the workers (without it, a burst of
// one owner's requests kept 255 threads alive while 64 were served).
int ended = 0;
constexpr int MAX_ENDED = 4;
bool stopping = false;  // after workers_finish, an ending worker detaches
void* spare[SPARE_STACKS];  // guarded mappings no thread uses
int nspare = 0;
// Never destroyed: workers still running when the process ends would find
// them gone (static destructors run at exit).
std::map<uint64_t, int>& serving = *new std::map<uint64_t, int>;  // owner -> workers serving it, if any
std::deque<waiting_record>& waiting = *new std::deque<waiting_record>;
std::set<uint64_t>& told = *new std::set<uint64_t>;  // owners whose waiting the log has told of (main thread only)
int wake = -1;  // eventfd: a worker ended while records wait
size_t max_waiting = MAX_WAITING;  // fewer where descriptors are short (set once)
// Main thread only: a worker thread could not start; the record went back
// and is tried again after retry_ms (or when a worker ends).
int retry_ms = 0;
long retry_at = 0;

// Under lock: tells the main thread that a worker or a slot became free,
// when records wait for one.
void wake_main()
{
    if (waiting.empty())
        return;
    const uint64_t one = 1;
    const ssize_t ignored = write(wake, &one, sizeof one);
    (void)ignored;
}

// Under lock: takes the ended worker that nobody joins yet, if any.
bool take_last(ended_worker* w)
{
    if (!have_last)
        return false;
    *w = last;
    have_last = false;
    return true;
}

// A guarded stack mapping: a spare one, or a new one whose lowest page
// stays inaccessible, so that an overflow faults. Null on failure.
void* stack_get()
{
    pthread_mutex_lock(&lock);
    void* mapping = nspare > 0 ? spare[--nspare] : nullptr;
    pthread_mutex_unlock(&lock);
    if (mapping)
        return mapping;
    mapping = mmap(nullptr, MAPPING_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    if (mprotect(mapping, GUARD_SIZE, PROT_NONE) < 0) {
        munmap(mapping, MAPPING_SIZE);
        return nullptr;
    }
    return mapping;
}

// Keeps the mapping as a spare, or gives it back to the system.
void stack_put(void* mapping)
{
    pthread_mutex_lock(&lock);
    const bool kept = nspare < SPARE_STACKS;
    if (kept)
        spare[nspare++] = mapping;
    pthread_mutex_unlock(&lock);
    if (!kept)
        munmap(mapping, MAPPING_SIZE);
}

// Waits until the worker has left the process, then frees its slot. The
// join returns a little before the kernel has unhashed the thread, which
// tgkill's existence check tells.
void reap(const ended_worker& w, bool by_worker)
{
    pthread_join(w.thread, nullptr);
    while (tgkill(getpid(), w.tid, 0) == 0)
        sched_yield();
    stack_put(w.mapping);
    pthread_mutex_lock(&lock);
    running--;
    ended--;
    if (by_worker)
        reaping--;
    wake_main();
    pthread_cond_broadcast(&slot_freed);
    pthread_mutex_unlock(&lock);
}

// Runs the worker, then gives its share, its stack and its slot back.
void* worker_main(void* arg)
{
    const worker_slot slot = *(worker_slot*)arg;
    free(arg);
    thread_instance(slot.request.record, slot.request.bound);

    const ended_worker self = {pthread_self(), gettid(), slot.mapping};
    ended_worker previous;
    pthread_mutex_lock(&lock);
    if (--serving[slot.request.owner] == 0)
        serving.erase(slot.request.owner);
    wake_main();
    if (stopping) {
        pthread_mutex_unlock(&lock);
        pthread_detach(pthread_self());
        return nullptr;
    }
    const bool had_previous = take_last(&previous);
    last = self;
    have_last = true;
    ended++;
    if (had_previous)
        reaping++;
    pthread_mutex_unlock(&lock);
    if (had_previous)
        reap(previous, true);
    return nullptr;
}

void drop(const waiting_record& r)
{
    crypto_wipe(r.record, RECORD_SIZE);
    free(r.record);
    if (r.bound >= 0)
        close(r.bound);
}

// A thread that cannot start (no memory for a stack, a process or pids
// limit) leaves its record waiting where it was: tried again when a worker
// ends, or after a back-off, 10 ms doubling to 1 s. One log line for each
// spell. Main thread only.
void start_failed(int rc)
{
    if (rc == EAGAIN)
        trace("e14\n");
    else
        trace("e15 %d\n", rc);
    if (retry_ms == 0)
        log_line("<3>a worker thread cannot start (%s): requests wait until one can\n", strerrordesc_np(rc));
    retry_ms = retry_ms == 0 ? 10 : std::min(2 * retry_ms, 1000);
    retry_at = io_now_ms() + retry_ms;
}

// Starts thread_instance on a thread of its own; false (traced) when it
// cannot, the record untouched. Main thread only.
bool start(const waiting_record& request)
{
    // An explicit size: RLIMIT_STACK, which glibc would take, may be tiny
    // or huge.
    void* mapping = stack_get();
    auto* slot = (worker_slot*)malloc(sizeof(worker_slot));
    int rc = EAGAIN;
    if (mapping && slot) {
        *slot = {request, mapping};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, (char*)mapping + GUARD_SIZE, WORKER_STACK_SIZE);
        pthread_t thread;
        pthread_mutex_lock(&lock);
        rc = pthread_create(&thread, &attr, worker_main, slot);
        if (rc == 0) {
            running++;
            serving[request.owner]++;
        }
        pthread_mutex_unlock(&lock);
        pthread_attr_destroy(&attr);
    }
    if (rc == 0) {
        if (retry_ms != 0)
            log_line("<6>worker threads start again\n");
        retry_ms = 0;
        return true;
    }
    start_failed(rc);
    free(slot);
    if (mapping)
        stack_put(mapping);
    return false;
}

// Under lock: whether the owner may have one more worker now.
bool share_left(uint64_t owner)
{
    const auto it = serving.find(owner);
    return it == serving.end() || it->second < OWNER_SHARE;
}

// Under lock: whether a worker may start now, after joining the last ended
// worker if that frees a slot. Never waits for a running worker: the main
// thread must go on reading, CMD_EXIT above all.
bool slot_free()
{
    ended_worker w;
    while (running >= MAX_WORKERS && take_last(&w)) {
        pthread_mutex_unlock(&lock);
        reap(w, false);
        pthread_mutex_lock(&lock);
    }
    return running < MAX_WORKERS && ended <= MAX_ENDED;
}

}  // namespace

bool workers_init()
{
    // Every waiting record holds its bound reply FIFO, every worker at most
    // that, the reply's write end and the data file's two descriptors.
    const rlim_t reserve = 4 * MAX_WORKERS + 32;
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < MAX_WAITING + reserve) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, MAX_WAITING + reserve);
        setrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur < MAX_WAITING + reserve)
            max_waiting = lim.rlim_cur > reserve + 16 ? lim.rlim_cur - reserve : 16;
    }
    wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wake >= 0;
}

size_t workers_max_waiting()
{
    return max_waiting;
}

void workers_dispatch()
{
    // Only the main thread changes `waiting`, so i stays valid while the
    // lock is dropped.
    if (retry_ms != 0 && io_now_ms() < retry_at)
        return;
    pthread_mutex_lock(&lock);
    for (size_t i = 0; i < waiting.size();) {
        if (!share_left(waiting[i].owner)) {
            i++;
            continue;
        }
        if (!slot_free())
            break;
        const waiting_record w = waiting[i];
        waiting.erase(waiting.begin() + (long)i);
        if (told.count(w.owner) && std::none_of(waiting.begin(), waiting.end(),
                                                 [&](const waiting_record& r) { return r.owner == w.owner; }))
            told.erase(w.owner);
        pthread_mutex_unlock(&lock);
        const bool started = start(w);
        pthread_mutex_lock(&lock);
        if (!started) {
            waiting.insert(waiting.begin() + (long)i, w);
            break;
        }
    }
    pthread_mutex_unlock(&lock);
}

void workers_submit(unsigned char* record)
{
    char reply_path[FIELD_SIZE + 1];
    record_field(record, REPLY_PATH_OFFSET, reply_path);
    // Bound now, however long the record waits: a FIFO its client removes
    // meanwhile is never replaced by another at the same path. The share
    // goes by the bound FIFO's owner only.
    uid_t uid;
    const int bound = fifo_bind_reply(reply_path, &uid);
    if (bound < 0 && (errno == EMFILE || errno == ENFILE)) {
        log_line("<3>request dropped: reply %s: %s\n", trace_text(reply_path, FOR_LOG).text,
                 strerrordesc_np(errno));
        drop({record, UNKNOWN_OWNER, -1});
        return;
    }
    const uint64_t owner = bound >= 0 ? uid : UNKNOWN_OWNER;
    pthread_mutex_lock(&lock);
    waiting.push_back({record, owner, bound});
    const bool share_used = !share_left(owner);
    pthread_mutex_unlock(&lock);
    // Once per owner until its waiting records have all started.
    if (share_used && told.insert(owner).second) {
        if (owner == UNKNOWN_OWNER)
            log_line("<4>requests whose reply path does not resolve wait for their fair share\n");
        else
            log_line("<4>requests of uid %u wait for their fair share\n", (unsigned)owner);
    }
    // In arrival order: behind every record that may start before it.
    workers_dispatch();
}

bool workers_wait_input(int fd)
{
    pthread_mutex_lock(&lock);
    const bool room = waiting.size() < max_waiting;
    pthread_mutex_unlock(&lock);
    // While max_waiting records wait, the rest stay in the public FIFO.
    pollfd fds[2] = {{wake, POLLIN, 0}, {room ? fd : -1, POLLIN, 0}};
    const int timeout = retry_ms == 0 ? -1 : (int)std::max(0L, retry_at - io_now_ms());
    if (poll(fds, 2, timeout) <= 0)
        return false;
    if (fds[0].revents) {
        uint64_t count;
        const ssize_t ignored = read(wake, &count, sizeof count);
        (void)ignored;
        return false;
    }
    return fds[1].revents != 0;
}

void workers_finish()
{
    // Every ended thread is joined before the process ends, and those that
    // end later detach themselves. Records still waiting are not served.
    ended_worker w;
    pthread_mutex_lock(&lock);
    stopping = true;
    for (const waiting_record& r : waiting)
        drop(r);
    waiting.clear();
    while (reaping > 0)
        pthread_cond_wait(&slot_freed, &lock);
    const bool had = take_last(&w);
    pthread_mutex_unlock(&lock);
    if (had)
        reap(w, false);
}
