// The console on POSIX systems: standard output, line by line.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

void ConsoleInit(void)
{
    // Started with a standard descriptor closed, the service's next socket
    // would take its number: the listener descriptor 0 and the first client
    // descriptor 1, to which every console line would then be sent. As
    // daemons do, the closed ones are pointed at /dev/null first.
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            break;
    // A log reader that goes away must not take the service with it: a
    // console write then fails, and statements still run.
    signal(SIGPIPE, SIG_IGN);
    // A service manager or log collector reads standard output through a
    // pipe or file. Line buffering hands over each line as it is finished,
    // so nothing is held back when the process is ended from outside.
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
}
