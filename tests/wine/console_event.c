// Gives a running program a console control event as Windows gives one: a
// thread started in its process at its CtrlRoutine, the event the thread's
// argument. Wine gives none to a service, which has no console.
// Usage: console_event.exe PROGRAM.exe EVENT; prints the thread's exit
// code (1: a handler took the event), or fails when no such program runs.
#include <windows.h>
#include <tlhelp32.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    PROCESSENTRY32 entry;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // kernelbase is mapped at one address in every process.
    void *routine = (void *)GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine");
    HANDLE process = NULL;
    HANDLE thread = NULL;
    DWORD code = 0;

    if (argc != 3)
        return 2;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && process == NULL; more = Process32Next(snapshot, &entry))
        if (_stricmp(entry.szExeFile, argv[1]) == 0)
            process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID);
    if (process != NULL && routine != NULL)
        thread = CreateRemoteThread(process, NULL, 0, (LPTHREAD_START_ROUTINE)routine,
                                    (void *)(uintptr_t)atoi(argv[2]), 0, NULL);
    if (thread == NULL) {
        fprintf(stderr, "no thread in %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    WaitForSingleObject(thread, 10000);
    GetExitCodeThread(thread, &code);
    printf("%lu\n", code);
    return 0;
}
