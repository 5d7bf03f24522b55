// SPDX-License-Identifier: MIT
// Idle cores help a whole-file transfer decrypt its loads. ECB blocks are
// independent, so a load is cut into slices of whole blocks that any thread
// may take: the worker posts its load, takes slices itself, and helpers on
// otherwise idle CPUs take the others. A helper holds nothing of its own
// but a stack: the slices share the worker's two buffers and its key
// schedule, which nobody writes while they run. The worker returns only
// once every slice is done, so nothing of the load is touched after it.
#include "worker/internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sched.h>

#ifndef TESSARIND_MAX_HELPERS
#define TESSARIND_MAX_HELPERS 7
#endif

namespace {

// Deep enough for crypto_blocks' frame and what it leaves behind.
constexpr size_t HELPER_STACK_WIPE = 8 * 1024;

// One load being decrypted.
struct slice_job {
    const thei99_dsa* ctx;
    const unsigned char* in;
    unsigned char* out;
    size_t len;
    size_t slices;
    size_t taken = 0;  // slices handed out
    size_t done = 0;   // slices finished
    slice_job* next_open = nullptr;
};

// `lock` guards every field.
struct helper_pool {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;      // helpers wait for slices
    pthread_cond_t finished = PTHREAD_COND_INITIALIZER;  // workers wait for their last slices
    slice_job* open = nullptr;  // jobs with slices not yet handed out, oldest first
    int helpers = 0;            // started (set once, before any worker)
    int cpus = 1;               // the CPUs the daemon may run on (set once)
    int busy = 0;               // threads decrypting: workers in helpers_blocks, helpers with a slice
    long helped = 0;            // slices that helpers decrypted
};

helper_pool& h = *new helper_pool;  // never destroyed: helpers run until the process ends

// Under lock: the next slice of j, which has one; j leaves the open jobs
// with its last.
size_t take_slice(slice_job* j)
{
    const size_t slice = j->taken++;
    if (j->taken == j->slices) {
        slice_job** at = &h.open;
        while (*at != j)
            at = &(*at)->next_open;
        *at = j->next_open;
    }
    return slice;
}

void run_slice(const slice_job* j, size_t slice)
{
    const size_t from = slice * HELPER_SLICE_SIZE;
    const size_t len = std::min(HELPER_SLICE_SIZE, j->len - from);
    crypto_blocks(j->ctx, j->in + from, j->out + from, len);
}

// Under lock: one slice of *j done.
void slice_done(slice_job* j)
{
    if (++j->done == j->slices)
        pthread_cond_broadcast(&h.finished);
}

void* helper_main(void*)
{
    transfer_lower_priority();
    pthread_mutex_lock(&h.lock);
    for (;;) {
        slice_job* j = h.open;  // the oldest open job
        if (!j) {
            // Whatever the cipher's frames left on this stack goes before
            // the helper sleeps.
            pthread_mutex_unlock(&h.lock);
            crypto_wipe_stack<HELPER_STACK_WIPE>();
            pthread_mutex_lock(&h.lock);
            while (!h.open)
                pthread_cond_wait(&h.work, &h.lock);
            continue;
        }
        const size_t slice = take_slice(j);
        h.busy++;
        pthread_mutex_unlock(&h.lock);
        run_slice(j, slice);
        pthread_mutex_lock(&h.lock);
        h.busy--;
        h.helped++;
        slice_done(j);
    }
}

int cpus_allowed()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) < 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

}  // namespace

int helpers_init()
{
    h.cpus = cpus_allowed();
    const int wanted = std::min(h.cpus - 1, TESSARIND_MAX_HELPERS);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, WORKER_STACK_SIZE);
    int rc = 0;
    while (h.helpers < wanted) {
        pthread_t thread;
        rc = thread_start(&thread, &attr, helper_main, nullptr);
        if (rc != 0)
            break;
        pthread_setname_np(thread, HELPER_THREAD_NAME);
        pthread_detach(thread);
        h.helpers++;
    }
    pthread_attr_destroy(&attr);
    if (rc != 0)
        log_line("<4>%d of %d helper threads started (%s): loads are decrypted by fewer threads\n", h.helpers,
                 wanted, strerrordesc_np(rc));
    return h.helpers;
}

void helpers_blocks(const thei99_dsa* ctx, const unsigned char* in, unsigned char* out, size_t len)
{
    slice_job job{ctx, in, out, len, (len + HELPER_SLICE_SIZE - 1) / HELPER_SLICE_SIZE};
    pthread_mutex_lock(&h.lock);
    const int idle = h.cpus - h.busy - 1;
    h.busy++;
    // Alone: no helper, a load of one slice, or no idle CPU.
    if (h.helpers == 0 || job.slices < 2 || idle <= 0) {
        pthread_mutex_unlock(&h.lock);
        crypto_blocks(ctx, in, out, len);
        pthread_mutex_lock(&h.lock);
        h.busy--;
        pthread_mutex_unlock(&h.lock);
        return;
    }
    slice_job** tail = &h.open;
    while (*tail)
        tail = &(*tail)->next_open;
    *tail = &job;
    for (int i = 0; i < std::min(idle, h.helpers); i++)
        pthread_cond_signal(&h.work);
    // The worker's own slices: its job's, never another's.
    while (job.taken < job.slices) {
        const size_t slice = take_slice(&job);
        pthread_mutex_unlock(&h.lock);
        run_slice(&job, slice);
        pthread_mutex_lock(&h.lock);
        slice_done(&job);
    }
    h.busy--;
    while (job.done < job.slices)
        pthread_cond_wait(&h.finished, &h.lock);
    pthread_mutex_unlock(&h.lock);
}

long helpers_slices_helped()
{
    pthread_mutex_lock(&h.lock);
    const long n = h.helped;
    pthread_mutex_unlock(&h.lock);
    return n;
}
