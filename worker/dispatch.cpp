// SPDX-License-Identifier: MIT
// The pool's dispatch rule, apart from its threads and its lock, so that
// it can be read and tested as the table it is.
#include "worker/worker.h"

namespace {

void uncharge(pool_queue* q, uint64_t owner)
{
    if (--q->serving[owner] == 0)
        q->serving.erase(owner);
}

}  // namespace

long dispatch_next(const pool_queue& q)
{
    if (q.running >= MAX_WORKERS || q.ended > MAX_ENDED)
        return -1;
    for (size_t i = 0; i < q.waiting.size(); i++)
        if (!dispatch_share_used(q, q.waiting[i]->owner))
            return (long)i;
    return -1;
}

bool dispatch_share_used(const pool_queue& q, uint64_t owner)
{
    const auto it = q.serving.find(owner);
    return it != q.serving.end() && it->second >= OWNER_SHARE;
}

request* dispatch_take(pool_queue* q, size_t i)
{
    request* r = q->waiting[i];
    q->waiting.erase(q->waiting.begin() + (long)i);
    q->serving[r->owner]++;
    q->running++;
    return r;
}

void dispatch_give_back(pool_queue* q, size_t i, request* r)
{
    q->waiting.insert(q->waiting.begin() + (long)i, r);
    uncharge(q, r->owner);
    q->running--;
}

void dispatch_share_done(pool_queue* q, uint64_t owner)
{
    uncharge(q, owner);
    q->ended++;
}

void dispatch_joined(pool_queue* q)
{
    q->running--;
    q->ended--;
}
