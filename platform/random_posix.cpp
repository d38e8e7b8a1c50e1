// The system's random bytes on POSIX systems.
#include "platform.h"

#include <errno.h>
#include <sys/random.h>

int RandomBytes(void *buffer, int size)
{
    char *at = (char *)buffer;
    while (size > 0) {
        ssize_t got = getrandom(at, (size_t)size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        at += got;
        size -= (int)got;
    }
    return 0;
}
