// Gives a running program a console control event as Windows does: a thread
// started in it at its CtrlRoutine with the event as argument (Wine gives
// none to a service, which has no console). Usage: console_event.exe
// PROGRAM.exe EVENT; prints the thread's exit code, 1 when a handler took it.
#include <windows.h>
#include <tlhelp32.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    PROCESSENTRY32 entry = {.dwSize = sizeof entry};
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), process = NULL, thread = NULL;
    // kernelbase lies at one address in every process.
    LPTHREAD_START_ROUTINE routine = (LPTHREAD_START_ROUTINE)(void *)GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine");
    DWORD code = 0;
    for (BOOL more = Process32First(snapshot, &entry); argc == 3 && more && process == NULL; more = Process32Next(snapshot, &entry))
        if (_stricmp(entry.szExeFile, argv[1]) == 0)
            process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID);
    if (process == NULL || (thread = CreateRemoteThread(process, NULL, 0, routine, (void *)(uintptr_t)atoi(argv[2]), 0, NULL)) == NULL)
        return 1;
    WaitForSingleObject(thread, 10000);
    GetExitCodeThread(thread, &code);
    printf("%lu\n", code);
    return 0;
}
