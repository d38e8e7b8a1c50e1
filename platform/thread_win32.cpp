// Threads on Windows: the database sessions run on threads of their own.
#include "platform.h"

#include <windows.h>

static DWORD WINAPI RunThread(LPVOID run)
{
    ((void (*)(void))run)();
    return 0;
}

int ThreadStart(void (*run)(void))
{
    HANDLE thread = CreateThread(NULL, 0, RunThread, (LPVOID)run, 0, NULL);
    if (thread == NULL)
        return -1;
    CloseHandle(thread);
    return 0;
}
