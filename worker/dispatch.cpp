// SPDX-License-Identifier: MIT
// The pool's dispatch rule, apart from its threads and its lock, so that
// it can be read and tested as the table it is.
#include "worker/internal.h"

namespace {

void count_down(std::map<uint64_t, int>* counts, uint64_t owner)
{
    if (--(*counts)[owner] == 0)
        counts->erase(owner);
}

void uncharge(pool_queue* q, uint64_t owner)
{
    count_down(&q->serving, owner);
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

bool dispatch_queue(pool_queue* q, request* r)
{
    const auto it = q->queued.find(r->owner);
    const int cap = r->owner == UNKNOWN_OWNER ? UNKNOWN_WAITING : OWNER_WAITING;
    if (it != q->queued.end() && it->second >= cap)
        return false;
    q->waiting.push_back(r);
    q->queued[r->owner]++;
    return true;
}

request* dispatch_take(pool_queue* q, size_t i)
{
    request* r = q->waiting[i];
    q->waiting.erase(q->waiting.begin() + (long)i);
    count_down(&q->queued, r->owner);
    q->serving[r->owner]++;
    q->running++;
    return r;
}

void dispatch_give_back(pool_queue* q, size_t i, request* r)
{
    q->waiting.insert(q->waiting.begin() + (long)i, r);
    q->queued[r->owner]++;
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
