// Threads on POSIX systems: the database sessions run on pthreads of their
// own.
#include "platform.h"

#include <pthread.h>
#include <signal.h>

static void *RunThread(void *run)
{
    ((void (*)(void))run)();
    return NULL;
}

int ThreadStart(void (*run)(void))
{
    pthread_t thread;
    sigset_t all;
    sigset_t saved;
    int rc;

    // A thread takes its creator's signal mask: with every signal blocked,
    // a stop signal reaches only the loop, never a driver's call.
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    rc = pthread_create(&thread, NULL, RunThread, (void *)run);
    pthread_sigmask(SIG_SETMASK, &saved, NULL);
    if (rc != 0)
        return -1;
    pthread_detach(thread);
    return 0;
}
