// The service with the settings file named by its first argument, so that
// tests can give each service a file and a port of its own; the next two,
// when given, shorten the waits for a statement's first and later bytes
// (milliseconds), so that tests of them need not take minutes, a fourth
// the time between two writes of the metrics file and a fifth how long a
// kept connection may stay idle.
#include "counters.h"
#include "platform.h"
#include "service.h"
#include "session_life.h"
#include "statement_reader.h"

#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc >= 4) {
        statementWaits.firstMs = atol(argv[2]);
        statementWaits.nextMs = atol(argv[3]);
    }
    if (argc >= 5)
        metricsEveryMs = atol(argv[4]);
    if (argc == 6)
        keptIdleMs = atol(argv[5]);
    return argc == 2 || (argc >= 4 && argc <= 6) ? RunPlatformService(RunService, argv[1]) : 2;
}
