// How the program runs on POSIX systems: a service manager (systemd) starts
// it as it is, collects standard output and stops it with SIGTERM, so the
// service runs directly and a stop is a signal.
#include "platform.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t stopRequests;
static int endAtOnce;

// Only what is safe in a handler: the flag, the wake-up's write, and for a
// second request the signal's own default, which ends the process.
static void OnStopSignal(int signalNumber)
{
    int savedErrno = errno;

    if (stopRequests > 0) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
    }
    stopRequests = 1;
    NetWake();
    errno = savedErrno;
}

void StopWatchStart(void)
{
    struct sigaction action;

    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Calls the loop makes on its files go on; its wait (poll) returns
    // whatever the flag, and finds the wake-up ready besides.
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
}

int StopRequested(void)
{
    return stopRequests > 0;
}

void ProcessEndsAtOnce(void)
{
    endAtOnce = 1;
}

int RunPlatformService(ServeFunction serve, const char *settingsLocation)
{
    int status = serve(settingsLocation);

    // Every line was written whole as it came: nothing is left to flush.
    if (endAtOnce)
        _exit(status);
    return status;
}

const char *ServiceLogPath(void)
{
    return NULL;
}
