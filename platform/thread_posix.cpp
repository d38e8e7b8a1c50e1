// Threads on POSIX systems: the database sessions run on pthreads of their
// own.
#include "platform.h"

#include <pthread.h>

static void *RunThread(void *run)
{
    ((void (*)(void))run)();
    return NULL;
}

int ThreadStart(void (*run)(void))
{
    pthread_t thread;
    if (pthread_create(&thread, NULL, RunThread, (void *)run) != 0)
        return -1;
    pthread_detach(thread);
    return 0;
}
