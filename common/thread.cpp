// SPDX-License-Identifier: MIT
#include "common/common.h"

#include <csignal>

int thread_start(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg)
{
    // A new thread inherits the signal mask of the thread that starts it.
    sigset_t stops, old;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGHUP, SIGQUIT, SIGTERM})
        sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    const int rc = pthread_create(thread, attr, start, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}
