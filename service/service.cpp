// Start-up, and what the serving loop does with a statement: listen on the
// configured port, then serve clients and run each of their statements in a
// session of its own.
#include "service.h"

#include "db.h"
#include "platform.h"
#include "spool.h"
#include "statement_reader.h"

#include <string.h>

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

// How long the spool's first statement waits after it could not be sent.
#define REPLAY_PAUSE_MS 5000
// While the database takes the spool's statements, a new statement joins
// them only after this many were taken, so that the spool drains at two
// thirds of the database's pace at least, however fast clients send.
#define DRAIN_SHARE 3

static void SpoolStatement(const char *statement)
{
    long waitingBefore = spool.waiting;

    switch (SpoolAppend(statement)) {
    case SPOOL_KEPT:
        ConsoleLine("Statement spooled, %ld waiting.\n", spool.waiting);
        // The statement that opens the spool just failed to connect.
        if (waitingBefore == 0)
            serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        break;
    case SPOOL_FULL:
        ConsoleLine("Spool full, statement not executed.\n");
        break;
    default:
        ConsoleLine("Spool cannot be written: %s; statement not executed.\n", FileErrorText());
        break;
    }
}

int SpoolClientStatement(const char *text)
{
    // Held back, the client's bytes wait in its socket and TCP slows it
    // down; only a database that cannot be reached costs statements.
    if (!serviceLoop.databaseDown &&
        (serviceLoop.drainCredit < DRAIN_SHARE || !SpoolHasRoom((int)strlen(text))))
        return -1;
    if (!serviceLoop.databaseDown)
        serviceLoop.drainCredit -= DRAIN_SHARE;
    WriteQueryLine(text);
    SpoolStatement(text);
    return 0;
}

static void FinishReplay(const Job *job)
{
    if (job->outcome == STATEMENT_NOT_SENT) {
        serviceLoop.databaseDown = 1;
        serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        return;
    }
    serviceLoop.databaseDown = 0;
    if (serviceLoop.drainCredit < DRAIN_SHARE)
        serviceLoop.drainCredit++;
    if (job->outcome == STATEMENT_UNKNOWN)
        ConsoleLine("Statement outcome unknown, not retried.\n");
    if (SpoolTakeHead() != 0)
        ConsoleLine("Spool cannot be written: %s\n", FileErrorText());
    if (spool.waiting == 0)
        ConsoleLine("Spool empty.\n");
    serviceLoop.replayAt = 0;
}

void FinishJob(const Job *job)
{
    ConsoleSetPrefix(job->prefix);
    if (job->client < 0) {
        FinishReplay(job);
    } else {
        serviceLoop.databaseDown = job->outcome == STATEMENT_NOT_SENT;
        if (spool.file != FILE_NONE && job->outcome == STATEMENT_NOT_SENT)
            SpoolStatement(job->text);
        else if (spool.file != FILE_NONE && job->outcome == STATEMENT_UNKNOWN)
            ConsoleLine("Statement outcome unknown, not retried.\n");
    }
    ConsoleSetPrefix("");
}

void ReplayWhenDue(void)
{
    Job job;
    int read;

    if (spool.waiting == 0 || serviceLoop.replayOut || serviceLoop.jobsOut >= serviceLoop.sessions ||
        ClockMs() < serviceLoop.replayAt)
        return;
    read = SpoolReadHead(job.text);
    if (read < 0) {
        ConsoleLine("Spool cannot be read: %s\n", FileErrorText());
        serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        return;
    }
    if (read == 0) {
        // Damaged records set aside may have emptied it.
        ConsoleLine("Spool empty.\n");
        return;
    }
    job.client = -1;
    job.prefix[0] = '\0';
    serviceLoop.replayOut = 1;
    SubmitStatement(&job);
}

int RunService(const char *settingsLocation)
{
    NetSocket listener;
    int dialect;
    int clientRoom = MAX_CLIENTS_LIMIT;
    int rc;

    ConsoleInit();
    ConsoleLine("Halvorin VARN ODBC Query Service 19May04\n");

    rc = NetStartup();
    if (rc != 0) {
        ConsoleLine("WSAStartup returned %d\n", rc);
        return 1;
    }

    // Settings that are there but cannot be read could leave the door open
    // or frame statements by the wrong rule: the service does not start.
    if (LoadSettings(settingsLocation) < 0) {
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
    serviceLoop.maxClients = serviceSettings.maxClients;
    serviceLoop.dialect = dialect;
    serviceLoop.sessions = (int)serviceSettings.databaseSessions;
    // Room beside the clients for the listener, the console, the spool and
    // each session's driver files and sockets.
    if (serviceLoop.maxClients > 1)
        clientRoom = NetReserveSockets((int)serviceLoop.maxClients, 64 + 8 * serviceLoop.sessions);
    if (serviceSettings.spoolFile[0] != '\0' &&
        SpoolOpen(serviceSettings.spoolFile, (int64_t)serviceSettings.spoolLimitMiB * 1048576) != 0) {
        ConsoleLine("Spool %s cannot be opened: %s\n", serviceSettings.spoolFile, FileErrorText());
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
    if (serviceLoop.sessions != 1)
        ConsoleLine("Database sessions %d\n", serviceLoop.sessions);
    if (serviceSettings.reuseSessions)
        ConsoleLine("Reusing sessions\n");
    if (serviceSettings.statementTimeout > 0)
        ConsoleLine("Statement timeout %u s\n", (unsigned)serviceSettings.statementTimeout);
    if (spool.waiting > 0)
        ConsoleLine("Spool %s holds %ld statements.\n", spool.path, spool.waiting);

    for (;;)
        ServeOnce(listener);
}
