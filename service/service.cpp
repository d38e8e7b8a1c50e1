// Start-up, and what the serving loop does with a statement: listen on the
// configured port, then serve clients and run each of their statements in a
// session of its own.
#include "service.h"

#include "db.h"
#include "platform.h"
#include "spool.h"
#include "statement_reader.h"

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

// What became of a statement sent to the database.
#define STATEMENT_TAKEN 0    // it ran, or the database rejected it
#define STATEMENT_NOT_SENT 1 // no session could be had: it never reached the database
#define STATEMENT_UNKNOWN 2  // the connection went away while it ran: it may have committed

// How long the spool's first statement waits after it could not be sent.
#define REPLAY_PAUSE_MS 5000

static int SendStatement(const char *statement)
{
    int rc = DbConnect(serviceSettings.userName, serviceSettings.password, serviceSettings.dataSource);
    int lost;

    if (OdbcFailed(rc)) {
        ReportOdbcErrors(SQL_NULL_HSTMT, "Connecting");
        return STATEMENT_NOT_SENT;
    }
    lost = OdbcFailed(DbExecute(statement)) && dbSession.connectionLost;
    DbDisconnect();
    return lost ? STATEMENT_UNKNOWN : STATEMENT_TAKEN;
}

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

void RunStatement(const char *statement)
{
    int outcome;

    // While statements wait in the spool a new one joins them, without a
    // connect of its own, so that the database sees them in the order they
    // came.
    if (spool.file != FILE_NONE && spool.waiting > 0) {
        SpoolStatement(statement);
        return;
    }
    outcome = SendStatement(statement);
    if (spool.file == FILE_NONE)
        return;
    if (outcome == STATEMENT_NOT_SENT)
        SpoolStatement(statement);
    else if (outcome == STATEMENT_UNKNOWN)
        ConsoleLine("Statement outcome unknown, not retried.\n");
}

void ReplaySpooled(void)
{
    char text[SPOOL_TEXT_MAX + 1];
    int read = SpoolReadHead(text);
    int outcome;

    if (read < 0) {
        ConsoleLine("Spool cannot be read: %s\n", FileErrorText());
        serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        return;
    }
    if (read > 0) {
        ConsoleLine("Replay: \"%s\"\n", text);
        outcome = SendStatement(text);
        if (outcome == STATEMENT_NOT_SENT) {
            serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
            return;
        }
        if (outcome == STATEMENT_UNKNOWN)
            ConsoleLine("Statement outcome unknown, not retried.\n");
        if (SpoolTakeHead() != 0)
            ConsoleLine("Spool cannot be written: %s\n", FileErrorText());
    }
    // Damaged records set aside may also have emptied it.
    if (spool.waiting == 0)
        ConsoleLine("Spool empty.\n");
    serviceLoop.replayAt = 0;
}

int RunService(const char *settingsLocation)
{
    NetSocket listener;
    int dialect;
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
    serviceLoop.maxClients = serviceSettings.maxClients;
    serviceLoop.dialect = dialect;
    if (serviceLoop.maxClients > 1)
        NetReserveSockets((int)serviceLoop.maxClients);
    // An operator who asked for no loss must not get silent loss.
    if (serviceSettings.spoolFileUnreadable) {
        ConsoleLine("Spool ? cannot be opened: its \"Spool File\" value cannot be read\n");
        return 1;
    }
    if (serviceSettings.spoolFile[0] != '\0' &&
        SpoolOpen(serviceSettings.spoolFile, (int64_t)serviceSettings.spoolLimitMiB * 1048576) != 0) {
        ConsoleLine("Spool %s cannot be opened: %s\n", serviceSettings.spoolFile, FileErrorText());
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
    if (spool.waiting > 0)
        ConsoleLine("Spool %s holds %ld statements.\n", spool.path, spool.waiting);

    for (;;)
        ServeOnce(listener);
}
