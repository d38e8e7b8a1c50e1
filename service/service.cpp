// Start-up: the settings checked, the spool, the sessions and the
// listening socket made, the start-up lines written; then the loop.
#include "service.h"

#include "counters.h"
#include "loop.h"
#include "proxy.h"
#include "settings.h"

#include "db.h"
#include "platform.h"
#include "spool.h"
#include "statement_reader.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

// The longest "Stop Timeout", an hour.
#define STOP_TIMEOUT_MAX 3600
// How often a start-up that waits for the spool asks for it again.
#define SPOOL_RETRY_MS 100

static void AnnounceFilter(void)
{
    char address[16];
    char mask[16];

    // Any filter but "every client" is announced, so that one which admits
    // nobody (address 0 with a mask) does not pass for none.
    if (serviceSettings.allowAddress == 0 && serviceSettings.allowMask == 0)
        return;
    NetFormatAddress(serviceSettings.allowAddress, address);
    if (serviceSettings.allowMask == 0xFFFFFFFFu) {
        ConsoleLine("Allowed host %s\n", address);
        return;
    }
    NetFormatAddress(serviceSettings.allowMask, mask);
    ConsoleLine("Allowed network %s %s\n", address, mask);
}

// Opens the spool. One that another process holds is waited for, for up to
// "Stop Timeout": a service restarted while the one before still stops
// takes it over once that one is done. Returns 0; -1 with the line written;
// or 1 when a stop was asked for meanwhile, its lines written.
static int OpenSpool(void)
{
    int64_t until = ClockMs() + (int64_t)serviceSettings.stopTimeout * 1000;
    int rc;

    for (int said = 0;; said = 1) {
        rc = SpoolOpen(serviceSettings.spoolFile, (int64_t)serviceSettings.spoolLimitMiB * 1048576);
        if (rc != FILE_HELD || ClockMs() >= until || StopRequested())
            break;
        if (!said)
            ConsoleLine("Spool %s is held by another process, waiting\n", serviceSettings.spoolFile);
        std::this_thread::sleep_for(std::chrono::milliseconds(SPOOL_RETRY_MS));
    }
    if (rc == FILE_HELD && StopRequested()) {
        ConsoleLine("Stopping\n");
        ConsoleLine("Stopped.\n");
        return 1;
    }
    if (rc != 0)
        ConsoleLine("Spool %s cannot be opened: %s\n", serviceSettings.spoolFile, FileErrorText());
    return rc == 0 ? 0 : -1;
}

// The service's own files must be distinct files, whatever their names: a
// metrics write over the spool would lose what it keeps, and the spool
// would take in the log. Returns 0, or -1 with the line naming two that
// are one.
static int CheckOwnFiles(const char *settingsLocation)
{
    char metricsTemporary[sizeof serviceSettings.metricsFile + 4] = "";
    const char *const files[][2] = {{"settings file", StoreFilePath(settingsLocation)},
                                    {"log file", ServiceLogPath()},
                                    {"spool", serviceSettings.spoolFile},
                                    {"metrics file", serviceSettings.metricsFile},
                                    {"metrics temporary file", metricsTemporary}};
    int count = sizeof files / sizeof files[0];

    if (serviceSettings.metricsFile[0] != '\0')
        snprintf(metricsTemporary, sizeof metricsTemporary, "%s.tmp", serviceSettings.metricsFile);
    for (int i = 0; i < count; i++)
        for (int j = i + 1; j < count && files[i][1] != NULL && files[i][1][0] != '\0'; j++)
            if (files[j][1] != NULL && files[j][1][0] != '\0' && FileSameFile(files[i][1], files[j][1])) {
                ConsoleLine("Same file named twice: %s %s and %s %s\n", files[i][0], files[i][1], files[j][0],
                            files[j][1]);
                return -1;
            }
    return 0;
}

int RunService(const char *settingsLocation)
{
    NetSocket listener;
    int dialect;
    int clientRoom = MAX_CLIENTS_LIMIT;
    int rc;
    // Read before the first line, which "Log Format" may want as JSON.
    int loaded;
    int json;

    ConsoleInit();
    loaded = LoadSettings(settingsLocation);
    json = loaded >= 0 ? SettingsLogJson() : 0;
    ConsoleSetForm(0, json > 0);
    ConsoleLine("Halvorin VARN ODBC Query Service 19May04\n");
    StopWatchStart();

    rc = NetStartup();
    if (rc != 0) {
        ConsoleLine("WSAStartup returned %d\n", rc);
        return 1;
    }

    // Settings that are there but cannot be read could leave the door open
    // or frame statements by the wrong rule: the service does not start.
    if (loaded < 0) {
        ConsoleLine("Settings file %s cannot be read: %s\n", settingsLocation, StoreErrorText());
        return 1;
    }
    // Framing by the wrong rule would run parts of statements, so a dialect
    // that is not understood stops the service before it takes a client.
    dialect = SettingsDialect();
    if (dialect < 0) {
        ConsoleLine("Unknown SQL dialect \"%s\"\n", serviceSettings.sqlDialect);
        return 1;
    }
    if (serviceSettings.maxClients < 1 || serviceSettings.maxClients > MAX_CLIENTS_LIMIT) {
        ConsoleLine("Max Clients %u out of range\n", (unsigned)serviceSettings.maxClients);
        return 1;
    }
    if (serviceSettings.databaseSessions < 1 || serviceSettings.databaseSessions > MAX_DATABASE_SESSIONS) {
        ConsoleLine("Database Sessions %u out of range\n", (unsigned)serviceSettings.databaseSessions);
        return 1;
    }
    if (serviceSettings.reuseSessions > 1) {
        ConsoleLine("Reuse Sessions %u out of range\n", (unsigned)serviceSettings.reuseSessions);
        return 1;
    }
    if (serviceSettings.stopTimeout > STOP_TIMEOUT_MAX) {
        ConsoleLine("Stop Timeout %u out of range\n", (unsigned)serviceSettings.stopTimeout);
        return 1;
    }
    if (json < 0) {
        ConsoleLine("Unknown log format \"%s\"\n", serviceSettings.logFormat);
        return 1;
    }
    // libpq refuses a time-out over 2^31 - 1 on every psqlODBC connect;
    // 18 hours is more than any connect needs.
    if (serviceSettings.loginTimeout > MAX_LOGIN_TIMEOUT) {
        ConsoleLine("Login Timeout %u out of range\n", (unsigned)serviceSettings.loginTimeout);
        return 1;
    }
    if (serviceSettings.statementTimeout > MAX_STATEMENT_TIMEOUT) {
        ConsoleLine("Statement Timeout %u out of range\n", (unsigned)serviceSettings.statementTimeout);
        return 1;
    }
    if (SetUpProxy() != 0)
        return 1;
    serviceLoop.maxClients = serviceSettings.maxClients;
    serviceLoop.dialect = dialect;
    serviceLoop.sessions = (int)serviceSettings.databaseSessions;
    // Room beside the clients for the listener, the console, the spool and
    // each session's driver files and sockets.
    if (serviceLoop.maxClients > 1)
        clientRoom = NetReserveSockets((int)serviceLoop.maxClients, 64 + 8 * serviceLoop.sessions);
    if (serviceSettings.metricsFile[0] != '\0' && !FileIsFullPath(serviceSettings.metricsFile)) {
        ConsoleLine("Metrics file %s cannot be written: not a full path\n", serviceSettings.metricsFile);
        return 1;
    }
    if (CheckOwnFiles(settingsLocation) != 0)
        return 1;
    if (serviceSettings.spoolFile[0] != '\0' && (rc = OpenSpool()) != 0)
        return rc < 0 ? 1 : 0;
    // As with the spool: only a regular file (or none) at the path, and one
    // that can be written now.
    if (serviceSettings.metricsFile[0] != '\0' &&
        (FileCheckRegular(serviceSettings.metricsFile) != 0 || WriteMetricsFile(serviceSettings.metricsFile) != 0)) {
        ConsoleLine("Metrics file %s cannot be written: %s\n", serviceSettings.metricsFile, FileErrorText());
        return 1;
    }

    if (NetWakeOpen(&serviceLoop.wake) != 0) {
        ConsoleLine("socketpair failed %s\n", NetLastErrorText());
        return 1;
    }
    if (StartSessions(serviceLoop.sessions) != 0) {
        ConsoleLine("Database sessions cannot be started\n");
        return 1;
    }

    listener = NetCreateStreamSocket();
    if (NetBindAny(listener, (uint16_t)(serviceSettings.tcpPort & 0xFFFFu)) != 0) {
        ConsoleLine("bind(%u) failed %s\n", (unsigned)serviceSettings.tcpPort, NetLastErrorText());
        return 1;
    }
    if (NetListen(listener) != 0) {
        ConsoleLine("listen(%d) failed %s\n", (int)serviceSettings.tcpPort, NetLastErrorText());
        return 1;
    }
    ConsoleLine("Listening on TCP port %d\n", (int)serviceSettings.tcpPort);
    AnnounceFilter();
    AnnounceProxy();
    if (dialect != SQL_DIALECT_PLAIN)
        ConsoleLine("SQL dialect %s\n", SqlDialectName(dialect));
    if (serviceLoop.maxClients != 1)
        ConsoleLine("Max clients %u\n", (unsigned)serviceLoop.maxClients);
    if (clientRoom < (int)serviceLoop.maxClients) {
        if (clientRoom < 1)
            clientRoom = 1;
        ConsoleLine("Max clients %u limited to %d by the descriptor limit\n", (unsigned)serviceLoop.maxClients,
                    clientRoom);
        serviceLoop.maxClients = (uint32_t)clientRoom;
    }
    ConsoleSetForm(serviceLoop.maxClients > 1, json > 0);
    if (serviceLoop.sessions != 1)
        ConsoleLine("Database sessions %d\n", serviceLoop.sessions);
    if (serviceSettings.reuseSessions)
        ConsoleLine("Reusing sessions\n");
    if (serviceSettings.statementTimeout > 0)
        ConsoleLine("Statement timeout %u s\n", (unsigned)serviceSettings.statementTimeout);
    if (spool.waiting > 0)
        ConsoleLine("Spool %s holds %ld statements.\n", spool.path, spool.waiting);

    serviceLoop.listener = listener;
    while (serviceLoop.stopping != STOP_DONE)
        ServeOnce();
    return 0;
}
