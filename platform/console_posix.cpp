// The console on POSIX systems: standard output, line by line.
#include "platform.h"

#include <stdio.h>

void ConsoleInit(void)
{
    // A service manager or log collector reads standard output through a
    // pipe or file. Line buffering hands over each line as it is finished,
    // so nothing is held back when the process is ended from outside.
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
}
