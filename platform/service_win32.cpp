// How the program runs on Windows: as the service "varn-odbc" under the
// Service Control Manager, its console lines appended to a log file, or as a
// console program when started from a console.
#include "platform.h"

#include <windows.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define SERVICE_NAME "varn-odbc"
// The "Log File" value: a string of up to 100 characters, as the other
// text settings.
#define LOG_FILE_VALUE_SIZE 101
#define LOG_PATH_SIZE (MAX_PATH + 32)
// Longer than any console line, a JSON one included; a longer one would
// reach the log in pieces.
#define LOG_LINE_SIZE 16384
// How long a stop waits for the lines already written to reach the log.
#define LOG_DRAIN_MS 3000
#define PENDING_WAIT_HINT_MS 5000
// While the service stops, the Service Control Manager hears from it this
// often, each time with a new checkpoint, however long the stop takes.
#define STOP_CHECKPOINT_MS 1000
// How long closing the console window waits for the stop: Windows ends the
// process on its own some seconds after the request anyway.
#define CONSOLE_CLOSE_WAIT_MS 20000

// The one service of the process. The Service Control Manager's callbacks
// take no argument, so they share this record.
typedef struct ServiceRun {
    ServeFunction serve;
    const char *settingsLocation;
    int serveStatus;
    SERVICE_STATUS_HANDLE statusHandle;
    HANDLE stopEvent;
    HANDLE logFile;
    char logPath[LOG_PATH_SIZE];  // "" when not run as a service
    HANDLE logPipe;
    int stampLines;  // plain lines: each gets its time at the start
    DWORD checkPoint;
} ServiceRun;

static ServiceRun serviceRun;
static volatile LONG endAtOnce;

void ProcessEndsAtOnce(void)
{
    InterlockedExchange(&endAtOnce, 1);
}

// Ends the process without its libraries' clean-up when the service asked
// for that; once its lines are out and, as a service, it is reported
// stopped.
static void EndAtOnceIfAsked(int status)
{
    if (endAtOnce)
        TerminateProcess(GetCurrentProcess(), (UINT)status);
}

// Requests to stop, from the console's handler thread or the service's
// control handler; the serving loop reads the count.
static volatile LONG stopRequests;
// Set once `serve` has returned from a stop, for a console close that
// waits for it.
static HANDLE stopFinished;

static LONG RequestStop(void)
{
    LONG requests = InterlockedIncrement(&stopRequests);
    NetWake();
    return requests;
}

int StopRequested(void)
{
    return stopRequests > 0;
}

// Runs on a thread of its own that Windows starts for each event. Returning
// TRUE from a close, logoff or shutdown event lets Windows end the process,
// so the stop is waited for first.
static BOOL WINAPI HandleConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return RequestStop() == 1;
    RequestStop();
    if (stopFinished != NULL)
        WaitForSingleObject(stopFinished, CONSOLE_CLOSE_WAIT_MS);
    return TRUE;
}

// The service's console events (a user's logoff, the system's shutdown)
// are taken and ignored: only the Service Control Manager's stop and
// shutdown controls stop it. Passed on, one would reach Wine's default
// handler, which ends the process; Windows' own ends no service for a
// logoff, whatever a handler answers.
static BOOL WINAPI IgnoreConsoleControl(DWORD event)
{
    (void)event;
    return TRUE;
}

void StopWatchStart(void)
{
    if (serviceRun.statusHandle != NULL) {
        SetConsoleCtrlHandler(IgnoreConsoleControl, TRUE);
        return;
    }
    if (stopFinished == NULL)
        stopFinished = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(HandleConsoleControl, TRUE);
}

// The reason for a failed call, never NO_ERROR: a stopped service with
// exit code 0 would look like one that was stopped on purpose.
static DWORD FailureCode(void)
{
    DWORD code = GetLastError();
    return code != NO_ERROR ? code : ERROR_GEN_FAILURE;
}

static void ReportStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode)
{
    SERVICE_STATUS status;
    int pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;

    memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = serviceExitCode;
    status.dwCheckPoint = pending ? ++serviceRun.checkPoint : 0;
    status.dwWaitHint = pending ? PENDING_WAIT_HINT_MS : 0;
    SetServiceStatus(serviceRun.statusHandle, &status);
}

// Runs on the dispatcher's thread; the service's own thread does the rest.
static DWORD WINAPI HandleControl(DWORD control, DWORD eventType, void *eventData, void *context)
{
    (void)eventType;
    (void)eventData;
    (void)context;
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        RequestStop();
        SetEvent(serviceRun.stopEvent);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The log named by the "Log File" value, or varn-odbc.log in the common
// application data folder's "VARN ODBC" (made here when missing), opened
// for appending only: every write lands at the end, after any other writer's.
// Its path is kept in serviceRun.logPath; the service runs only once it is
// open.
static HANDLE OpenLog(void)
{
    char *path = serviceRun.logPath;

    // A "Log File" that cannot be read leaves the default log, where the
    // service's refusal of its settings then lands.
    char format[LOG_FILE_VALUE_SIZE] = "";

    path[0] = '\0';
    if (StoreOpen(serviceRun.settingsLocation) == STORE_PRESENT) {
        StoreReadText("Log File", path, LOG_FILE_VALUE_SIZE);
        StoreReadText("Log Format", format, LOG_FILE_VALUE_SIZE);
    }
    StoreClose();
    // A JSON line carries its own time.
    serviceRun.stampLines = _stricmp(format, "json") != 0;
    if (path[0] == '\0') {
        if (SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, path) != S_OK)
            return INVALID_HANDLE_VALUE;
        strcat(path, "\\VARN ODBC");
        CreateDirectoryA(path, NULL);
        strcat(path, "\\varn-odbc.log");
    }
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Points the C runtime's standard output at a new pipe and leaves its read
// end in *readEnd. Descriptor 1 then holds the pipe's only write handle, so
// that pointing it elsewhere ends the pipe. Returns NO_ERROR, or the reason.
static DWORD RedirectOutput(HANDLE *readEnd)
{
    HANDLE writeEnd;
    int fd;
    // The C runtime's calls leave no Windows error of their own.
    DWORD rc = ERROR_INVALID_HANDLE;

    if (!CreatePipe(readEnd, &writeEnd, NULL, 0))
        return FailureCode();
    fd = _open_osfhandle((intptr_t)writeEnd, _O_WRONLY | _O_TEXT);
    if (fd >= 0 && _dup2(fd, 1) == 0) {
        // A process started without standard handles, as a service is, may
        // have a stdout stream with no descriptor at all (-2, as in Wine's
        // msvcrt), which freopen refuses to reopen; msvcrt's FILE record is
        // public, so the stream is tied to descriptor 1 directly.
        stdout->_file = 1;
        rc = NO_ERROR;
    }
    if (fd >= 0)
        _close(fd);
    else
        CloseHandle(writeEnd);
    if (rc != NO_ERROR)
        CloseHandle(*readEnd);
    return rc;
}

// Writes `length` bytes of a line to the log; the first piece of a plain
// line after the time it was written.
static void WriteLog(const char *bytes, DWORD length, int lineStart)
{
    char stamp[40];
    DWORD written;

    if (lineStart && serviceRun.stampLines) {
        ClockUtcText(stamp);
        strcat(stamp, " ");
        WriteFile(serviceRun.logFile, stamp, (DWORD)strlen(stamp), &written, NULL);
    }
    WriteFile(serviceRun.logFile, bytes, length, &written, NULL);
}

// Copies standard output's lines from the pipe to the log, each whole line
// (its CR LF included) as soon as it is complete. Ends when the pipe is
// closed, after writing any unfinished line.
static DWORD WINAPI PumpLog(void *unused)
{
    static char text[LOG_LINE_SIZE];
    DWORD used = 0;
    DWORD got;
    int lineStart = 1;

    (void)unused;
    while (ReadFile(serviceRun.logPipe, text + used, (DWORD)sizeof text - used, &got, NULL) && got > 0) {
        DWORD start = 0;
        for (DWORD at = used; at < used + got; at++) {
            if (text[at] == '\n') {
                WriteLog(text + start, at + 1 - start, lineStart);
                lineStart = 1;
                start = at + 1;
            }
        }
        used += got;
        if (start == 0 && used == sizeof text) {
            WriteLog(text, used, lineStart);
            lineStart = 0;
            start = used;
        }
        memmove(text, text + start, used - start);
        used -= start;
    }
    if (used > 0)
        WriteLog(text, used, lineStart);
    return 0;
}

static DWORD WINAPI Serve(void *unused)
{
    (void)unused;
    serviceRun.serveStatus = serviceRun.serve(serviceRun.settingsLocation);
    return 0;
}

// Runs `serve` as a console program; a console close that asked for the
// stop waits for this.
static int ServeConsole(ServeFunction serve, const char *settingsLocation)
{
    int status = serve(settingsLocation);
    fflush(stdout);
    if (stopFinished != NULL)
        SetEvent(stopFinished);
    EndAtOnceIfAsked(status);
    return status;
}

// Ends the pipe by pointing standard output at NUL, and waits for the pump
// to write what is left. A statement still running then writes nowhere.
static void EndLog(HANDLE pump)
{
    int none = _open("NUL", _O_WRONLY | _O_TEXT);

    if (none >= 0) {
        _dup2(none, 1);
        _close(none);
    }
    if (pump != NULL)
        WaitForSingleObject(pump, LOG_DRAIN_MS);
}

static void WINAPI ServiceMain(DWORD argc, LPSTR *argv)
{
    HANDLE pump = NULL;
    HANDLE server = NULL;
    HANDLE waits[2];
    DWORD win32ExitCode = NO_ERROR;
    DWORD serviceExitCode = 0;

    (void)argc;
    (void)argv;
    serviceRun.statusHandle = RegisterServiceCtrlHandlerExA(SERVICE_NAME, HandleControl, NULL);
    if (serviceRun.statusHandle == NULL)
        return;
    ReportStatus(SERVICE_START_PENDING, NO_ERROR, 0);

    // A log that cannot be opened stops the service with the reason as its
    // exit code: there is nowhere else to say it.
    serviceRun.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    serviceRun.logFile = serviceRun.stopEvent != NULL ? OpenLog() : INVALID_HANDLE_VALUE;
    if (serviceRun.logFile == INVALID_HANDLE_VALUE) {
        win32ExitCode = FailureCode();
        goto stopped;
    }
    win32ExitCode = RedirectOutput(&serviceRun.logPipe);
    if (win32ExitCode != NO_ERROR)
        goto stopped;
    pump = CreateThread(NULL, 0, PumpLog, NULL, 0, NULL);
    server = pump != NULL ? CreateThread(NULL, 0, Serve, NULL, 0, NULL) : NULL;
    if (server == NULL) {
        win32ExitCode = FailureCode();
        goto stopped;
    }
    ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);

    // The serving thread ends on its own only when start-up failed; after a
    // stop control it finishes what it holds, within its "Stop Timeout",
    // and the Service Control Manager hears from it meanwhile.
    waits[0] = serviceRun.stopEvent;
    waits[1] = server;
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        do
            ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
        while (WaitForSingleObject(server, STOP_CHECKPOINT_MS) == WAIT_TIMEOUT);
    }
    if (serviceRun.serveStatus != 0) {
        win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        serviceExitCode = (DWORD)serviceRun.serveStatus;
    }

stopped:
    EndLog(pump);
    ReportStatus(SERVICE_STOPPED, win32ExitCode, serviceExitCode);
    EndAtOnceIfAsked(0);
}

const char *ServiceLogPath(void)
{
    return serviceRun.logPath[0] != '\0' ? serviceRun.logPath : NULL;
}

int RunPlatformService(ServeFunction serve, const char *settingsLocation)
{
    SERVICE_TABLE_ENTRYA services[2];

    serviceRun.serve = serve;
    serviceRun.settingsLocation = settingsLocation;
    services[0].lpServiceName = (LPSTR)SERVICE_NAME;
    services[0].lpServiceProc = ServiceMain;
    services[1].lpServiceName = NULL;
    services[1].lpServiceProc = NULL;
    // The Service Control Manager starts a service without standard
    // handles, so a program that has them was started some other way. Wine
    // takes ten seconds to fail the dispatcher call below; this spares a
    // console program the wait.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != NULL && output != INVALID_HANDLE_VALUE)
        return ServeConsole(serve, settingsLocation);
    if (StartServiceCtrlDispatcherA(services))
        return serviceRun.serveStatus;
    // The usual sign of a program started from a console.
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        return ServeConsole(serve, settingsLocation);
    return 1;
}
