// The system's random bytes on Windows.
#include "platform.h"

#include <windows.h>
#include <ntsecapi.h>

int RandomBytes(void *buffer, int size)
{
    return RtlGenRandom(buffer, (ULONG)size) ? 0 : -1;
}
