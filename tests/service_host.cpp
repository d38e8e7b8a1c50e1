// The service with the settings file named by its one argument, so that
// tests can give each service a file and a port of its own.
#include "service.h"

#include <signal.h>
#include <stdlib.h>

// The service only ends from outside. In a sanitizer build SIGTERM ends it
// through exit(), so that LeakSanitizer looks at what it still holds.
static void ExitForLeakCheck(int)
{
    exit(0);
}

int main(int argc, char **argv)
{
#if defined(__SANITIZE_ADDRESS__)
    signal(SIGTERM, ExitForLeakCheck);
#else
    (void)ExitForLeakCheck;
#endif
    return argc == 2 ? RunService(argv[1]) : 2;
}
