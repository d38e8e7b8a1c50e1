// Runs the service with the settings file named by its one argument, so
// tests can give each service a file and port of its own.
#include "service.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(__SANITIZE_ADDRESS__)
// The service only ends from outside. In a sanitizer build a SIGTERM ends
// it through exit(), so that LeakSanitizer looks at what it holds.
static void ExitForLeakCheck(int)
{
    exit(0);
}
#endif

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s SETTINGS-FILE\n", argv[0]);
        return 2;
    }
#if defined(__SANITIZE_ADDRESS__)
    signal(SIGTERM, ExitForLeakCheck);
#endif
    return RunService(argv[1]);
}
