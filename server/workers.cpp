// SPDX-License-Identifier: MIT
#include "server/daemon.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "worker/worker.h"

namespace {

// Workers are joined, not detached, so that a slot is given back only once
// its thread has left the process: `running` never counts fewer threads
// than there are. Each ending worker joins the one that ended before it, so
// at most one ended thread waits to be joined. Stacks are the daemon's own
// mappings: a few are kept for the next workers (mapping, guarding and
// faulting in a fresh one cost a ping about a tenth of its time), the rest
// go back to the system at once instead of into glibc's cache, which would
// keep up to 160 of them.
constexpr size_t GUARD_SIZE = 4096;
constexpr size_t MAPPING_SIZE = GUARD_SIZE + WORKER_STACK_SIZE;
constexpr int SPARE_STACKS = 8;

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
bool stopping = false;  // after workers_finish, an ending worker detaches
void* spare[SPARE_STACKS];  // guarded mappings no thread uses
int nspare = 0;

// Under lock: takes the ended worker that nobody joins yet, if any.
bool take_last(ended_worker* w)
{
    if (!have_last)
        return false;
    *w = last;
    have_last = false;
    return true;
}

// Waits until the worker has left the process, then frees its slot. The
// join returns a little before the kernel has unhashed the thread, which
// tgkill's existence check tells.
void reap(const ended_worker& w, bool by_worker)
{
    pthread_join(w.thread, nullptr);
    while (tgkill(getpid(), w.tid, 0) == 0)
        sched_yield();
    pthread_mutex_lock(&lock);
    if (w.mapping && nspare < SPARE_STACKS)
        spare[nspare++] = w.mapping;
    else if (w.mapping)
        munmap(w.mapping, MAPPING_SIZE);
    running--;
    if (by_worker)
        reaping--;
    pthread_cond_broadcast(&slot_freed);
    pthread_mutex_unlock(&lock);
}

// A guarded stack mapping: a spare one, or a new one whose lowest page
// stays inaccessible, so that an overflow faults. Null on failure.
void* stack_mapping()
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

}  // namespace

void workers_wait_slot()
{
    pthread_mutex_lock(&lock);
    while (running >= MAX_WORKERS) {
        ended_worker w;
        if (take_last(&w)) {
            pthread_mutex_unlock(&lock);
            reap(w, false);
            pthread_mutex_lock(&lock);
        } else {
            pthread_cond_wait(&slot_freed, &lock);
        }
    }
    pthread_mutex_unlock(&lock);
}

int workers_start(void* record)
{
    // An explicit size: RLIMIT_STACK, which glibc would take, may be tiny
    // or huge.
    void* mapping = stack_mapping();
    if (!mapping)
        return EAGAIN;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, (char*)mapping + GUARD_SIZE, WORKER_STACK_SIZE);
    pthread_t thread;
    pthread_mutex_lock(&lock);
    const int rc = pthread_create(&thread, &attr, thread_instance, record);
    if (rc == 0)
        running++;
    pthread_mutex_unlock(&lock);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        munmap(mapping, MAPPING_SIZE);
    return rc;
}

void workers_finish()
{
    // Every ended thread is joined before the process ends, and those that
    // end later detach themselves.
    ended_worker w;
    pthread_mutex_lock(&lock);
    stopping = true;
    while (reaping > 0)
        pthread_cond_wait(&slot_freed, &lock);
    const bool had = take_last(&w);
    pthread_mutex_unlock(&lock);
    if (had)
        reap(w, false);
}

void workers_end()
{
    ended_worker self = {pthread_self(), gettid(), nullptr};
    pthread_attr_t attr;
    void* stack = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &stack, &size);
        pthread_attr_destroy(&attr);
    }
    if (stack)
        self.mapping = (char*)stack - GUARD_SIZE;
    ended_worker previous;
    pthread_mutex_lock(&lock);
    if (stopping) {
        pthread_mutex_unlock(&lock);
        pthread_detach(pthread_self());
        return;
    }
    const bool had_previous = take_last(&previous);
    last = self;
    have_last = true;
    if (had_previous)
        reaping++;
    pthread_mutex_unlock(&lock);
    if (had_previous)
        reap(previous, true);
}
