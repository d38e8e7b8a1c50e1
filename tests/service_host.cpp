// Runs the service with the settings file named by its one argument, so
// tests can give each service a file and port of its own.
#include "service.h"

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s SETTINGS-FILE\n", argv[0]);
        return 2;
    }
    return RunService(argv[1]);
}
