// SPDX-License-Identifier: MIT
#include "server/server.h"

#include <csignal>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "worker/worker.h"

namespace {

// Workers are joined, not detached, so that a slot is given back only once
// its thread has left the process: `running` never counts fewer threads
// than there are.
struct ended_worker {
    pthread_t thread;
    pid_t tid;
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t ended = PTHREAD_COND_INITIALIZER;
int running = 0;                     // started and not yet joined
ended_worker finished[MAX_WORKERS];  // ended, not yet joined
int nfinished = 0;

// Under lock. Each of these threads has made its last call, so a join
// waits only for it to leave. The join returns a little before the kernel
// has unhashed the thread, which tgkill's existence check tells.
void join_finished()
{
    while (nfinished > 0) {
        const ended_worker& w = finished[--nfinished];
        pthread_join(w.thread, nullptr);
        while (tgkill(getpid(), w.tid, 0) == 0)
            sched_yield();
        running--;
    }
}

}  // namespace

void workers_wait_slot()
{
    pthread_mutex_lock(&lock);
    join_finished();
    while (running >= MAX_WORKERS) {
        pthread_cond_wait(&ended, &lock);
        join_finished();
    }
    pthread_mutex_unlock(&lock);
}

int workers_start(void* record)
{
    // An explicit size: RLIMIT_STACK, which glibc would take, may be tiny
    // or huge.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, WORKER_STACK_SIZE);
    pthread_t thread;
    pthread_mutex_lock(&lock);
    const int rc = pthread_create(&thread, &attr, thread_instance, record);
    if (rc == 0)
        running++;
    pthread_mutex_unlock(&lock);
    pthread_attr_destroy(&attr);
    return rc;
}

void workers_end()
{
    pthread_mutex_lock(&lock);
    finished[nfinished++] = {pthread_self(), gettid()};
    pthread_cond_signal(&ended);
    pthread_mutex_unlock(&lock);
}
