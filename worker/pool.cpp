// SPDX-License-Identifier: MIT
#include "worker/internal.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
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
// at most one ended thread waits to be joined but for those whose joiners
// run slowly (bulk threads end at a lowered priority): dispatch_next counts
// them. Stacks are the daemon's own mappings: a few are kept for the next
// workers (mapping, guarding and faulting in a fresh one cost a ping about a
// tenth of its time), the rest go back to the system at once instead of
// into glibc's cache, which would keep up to 160 of them.
//
// Records wait in the pool, not in threads. Only the main thread starts
// workers; an ending worker wakes it through `wake` when records wait.
constexpr size_t GUARD_SIZE = 4096;
constexpr size_t MAPPING_SIZE = GUARD_SIZE + WORKER_STACK_SIZE;
constexpr int SPARE_STACKS = 64;

// What a worker's thread is started with, and gives back at its end.
struct worker_slot {
    request* r;
    void* mapping;
};

struct ended_worker {
    pthread_t thread;
    pid_t tid;
    void* mapping;
};

// The pool. `lock` guards every field above it; the main thread alone
// reads and writes those below it, or sets them once before any worker.
struct pool {
    pool_queue queue;            // the waiting records and the counts of dispatch.cpp
    ended_worker last;           // the worker that ended last, if have_last
    bool have_last = false;
    int reaping = 0;             // workers joining the one before them
    bool stopping = false;       // after workers_finish: an ending worker detaches
    uint64_t served = 0;         // requests whose worker ended, since start
    uint64_t failed = 0;         // of them, those told of as failed
    void* spare[SPARE_STACKS];   // guarded mappings no thread uses
    int nspare = 0;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t slot_freed = PTHREAD_COND_INITIALIZER;

    int wake = -1;                     // eventfd: a worker ended while records wait (set once)
    size_t max_waiting = MAX_WAITING;  // fewer where descriptors are short (set once)
    std::set<uint64_t> told;           // owners whose waiting the log has told of
    log_spells dropped;                // owners whose dropped records the log told of
    int retry_ms = 0;                  // a thread could not start: the back-off, and
    long retry_at = 0;                 // when its record is tried again (or a worker ends)
};

// Never destroyed: workers still running when the process ends would find
// it gone (static destructors run at exit).
pool& p = *new pool;

// Under lock: tells the main thread that a worker or a slot became free,
// when records wait for one.
void wake_main()
{
    if (p.queue.waiting.empty())
        return;
    const uint64_t one = 1;
    const ssize_t ignored = write(p.wake, &one, sizeof one);
    (void)ignored;
}

// Under lock: takes the ended worker that nobody joins yet, if any.
bool take_last(ended_worker* w)
{
    if (!p.have_last)
        return false;
    *w = p.last;
    p.have_last = false;
    return true;
}

// A guarded stack mapping: a spare one, or a new one whose lowest page
// stays inaccessible, so that an overflow faults. Null on failure.
void* stack_get()
{
    pthread_mutex_lock(&p.lock);
    void* mapping = p.nspare > 0 ? p.spare[--p.nspare] : nullptr;
    pthread_mutex_unlock(&p.lock);
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
    pthread_mutex_lock(&p.lock);
    const bool kept = p.nspare < SPARE_STACKS;
    if (kept)
        p.spare[p.nspare++] = mapping;
    pthread_mutex_unlock(&p.lock);
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
    pthread_mutex_lock(&p.lock);
    dispatch_joined(&p.queue);
    if (by_worker)
        p.reaping--;
    wake_main();
    pthread_cond_broadcast(&p.slot_freed);
    pthread_mutex_unlock(&p.lock);
}

// Runs the worker, then releases its request and gives its share, its
// stack and its slot back.
void* worker_main(void* arg)
{
    const worker_slot slot = *(worker_slot*)arg;
    free(arg);
    thread_instance(slot.r);
    const uint64_t owner = slot.r->owner;
    const bool failed = slot.r->failed;
    request_release(slot.r);

    const ended_worker self = {pthread_self(), gettid(), slot.mapping};
    ended_worker previous;
    pthread_mutex_lock(&p.lock);
    dispatch_share_done(&p.queue, owner);
    p.served++;
    p.failed += failed;
    wake_main();
    if (p.stopping) {
        pthread_mutex_unlock(&p.lock);
        pthread_detach(pthread_self());
        return nullptr;
    }
    const bool had_previous = take_last(&previous);
    p.last = self;
    p.have_last = true;
    if (had_previous)
        p.reaping++;
    pthread_mutex_unlock(&p.lock);
    if (had_previous)
        reap(previous, true);
    return nullptr;
}

// A thread that cannot start (no memory for a stack, a process or pids
// limit) leaves its record waiting where it was: tried again when a worker
// ends, or after a back-off, 10 ms doubling to 1 s. One log line for each
// spell.
void start_failed(int rc)
{
    if (rc == EAGAIN)
        trace("e14\n");
    else
        trace("e15 %d\n", rc);
    if (p.retry_ms == 0)
        log_line("<3>a worker thread cannot start (%s): requests wait until one can\n", strerrordesc_np(rc));
    p.retry_ms = p.retry_ms == 0 ? 10 : std::min(2 * p.retry_ms, 1000);
    p.retry_at = io_now_ms() + p.retry_ms;
}

// Starts thread_instance on a thread of its own, for a record already
// charged to its share and a slot. An error number (traced) when it cannot,
// the record untouched.
int start(request* r)
{
    // An explicit size: RLIMIT_STACK, which glibc would take, may be tiny
    // or huge.
    void* mapping = stack_get();
    auto* slot = (worker_slot*)malloc(sizeof(worker_slot));
    int rc = EAGAIN;
    if (mapping && slot) {
        *slot = {r, mapping};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, (char*)mapping + GUARD_SIZE, WORKER_STACK_SIZE);
        pthread_t thread;
        rc = thread_start(&thread, &attr, worker_main, slot);
        pthread_attr_destroy(&attr);
    }
    if (rc == 0) {
        if (p.retry_ms != 0)
            log_line("<6>worker threads start again\n");
        p.retry_ms = 0;
        return 0;
    }
    start_failed(rc);
    free(slot);
    if (mapping)
        stack_put(mapping);
    return rc;
}

// Under lock: whether any waiting record is the owner's.
bool owner_waits(uint64_t owner)
{
    return std::any_of(p.queue.waiting.begin(), p.queue.waiting.end(),
                       [&](const request* r) { return r->owner == owner; });
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
            p.max_waiting = lim.rlim_cur > reserve + 16 ? lim.rlim_cur - reserve : 16;
    }
    p.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (p.wake < 0)
        return false;
    helpers_init();
    return true;
}

size_t workers_max_waiting()
{
    return p.max_waiting;
}

void workers_dispatch()
{
    if (p.retry_ms != 0 && io_now_ms() < p.retry_at)
        return;
    pthread_mutex_lock(&p.lock);
    for (;;) {
        const long i = dispatch_next(p.queue);
        ended_worker w;
        // Every slot taken: joining the worker that ended last frees one,
        // and never waits for a running worker (the main thread must go on
        // reading, CMD_EXIT above all).
        if (i < 0 && p.queue.running >= MAX_WORKERS && take_last(&w)) {
            pthread_mutex_unlock(&p.lock);
            reap(w, false);
            pthread_mutex_lock(&p.lock);
            continue;
        }
        if (i < 0)
            break;
        request* r = dispatch_take(&p.queue, (size_t)i);
        // The owner's last waiting record: once it starts, the log may
        // tell of the owner's waiting again. Decided before the start,
        // after which r may have ended and gone.
        const bool last_told = !owner_waits(r->owner) && p.told.erase(r->owner) > 0;
        // Only the main thread takes records out, so i stays where it was
        // while the lock is dropped.
        pthread_mutex_unlock(&p.lock);
        const int rc = start(r);
        pthread_mutex_lock(&p.lock);
        if (rc != 0) {
            if (last_told)
                p.told.insert(r->owner);
            dispatch_give_back(&p.queue, (size_t)i, r);
            break;
        }
    }
    pthread_mutex_unlock(&p.lock);
}

void workers_submit(const unsigned char record[RECORD_SIZE])
{
    request* r = request_make(record);
    if (!r && errno == ENOMEM) {
        log_line("<3>request dropped: no memory for a copy of its record\n");
        return;
    }
    if (!r) {
        // The path reached nothing yet, so it is not named: it may be
        // another record's key text (record_well_formed).
        log_line("<3>request dropped: no descriptor left to bind its reply FIFO (%s)\n", strerrordesc_np(errno));
        return;
    }
    const uint64_t owner = r->owner;
    pthread_mutex_lock(&p.lock);
    const bool queued = dispatch_queue(&p.queue, r);
    const bool share_used = dispatch_share_used(p.queue, owner);
    pthread_mutex_unlock(&p.lock);
    if (!queued) {
        request_release(r);
        if (!log_spell_starts(&p.dropped, owner))
            return;
        if (owner == UNKNOWN_OWNER)
            log_line("<4>requests dropped: %d whose reply path reaches no FIFO wait already\n", UNKNOWN_WAITING);
        else
            log_line("<4>requests of uid %u dropped: %d of them wait already\n", (unsigned)owner, OWNER_WAITING);
        return;
    }
    // Once per owner until its waiting records have all started.
    if (share_used && p.told.insert(owner).second) {
        if (owner == UNKNOWN_OWNER)
            log_line("<4>requests whose reply path does not resolve wait for their fair share\n");
        else
            log_line("<4>requests of uid %u wait for their fair share\n", (unsigned)owner);
    }
    // In arrival order: behind every record that may start before it.
    workers_dispatch();
}

workers_counts workers_status()
{
    pthread_mutex_lock(&p.lock);
    const workers_counts c = {p.served, p.failed, p.queue.running - p.queue.ended, p.queue.waiting.size()};
    pthread_mutex_unlock(&p.lock);
    return c;
}

bool workers_wait_input(int fd, int max_wait_ms)
{
    pthread_mutex_lock(&p.lock);
    const bool room = p.queue.waiting.size() < p.max_waiting;
    pthread_mutex_unlock(&p.lock);
    // While max_waiting records wait, the rest stay in the public FIFO.
    pollfd fds[2] = {{p.wake, POLLIN, 0}, {room ? fd : -1, POLLIN, 0}};
    int timeout = p.retry_ms == 0 ? -1 : (int)std::max(0L, p.retry_at - io_now_ms());
    if (max_wait_ms >= 0 && (timeout < 0 || max_wait_ms < timeout))
        timeout = max_wait_ms;
    if (poll(fds, 2, timeout) <= 0)
        return false;
    if (fds[0].revents) {
        uint64_t count;
        const ssize_t ignored = read(p.wake, &count, sizeof count);
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
    pthread_mutex_lock(&p.lock);
    p.stopping = true;
    for (request* r : p.queue.waiting)
        request_release(r);
    p.queue.waiting.clear();
    p.queue.queued.clear();
    while (p.reaping > 0)
        pthread_cond_wait(&p.slot_freed, &p.lock);
    const bool had = take_last(&w);
    pthread_mutex_unlock(&p.lock);
    if (had)
        reap(w, false);
}
