// Start-up and the serving loop: listen on the configured port, admit one
// client at a time by its address, and run each of its statements in a
// session of its own.
#include "service.h"

#include "db.h"
#include "platform.h"
#include "statement_reader.h"

#include <stdio.h>
#include <string.h>

#define STATEMENT_CAPACITY 1000

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

void RunStatement(const char *statement)
{
    int rc = DbConnect(serviceSettings.userName, serviceSettings.password, serviceSettings.dataSource);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(SQL_NULL_HSTMT, "Connecting");
        return;
    }
    DbExecute(statement);
    DbDisconnect();
}

void ServeClient(NetSocket client, int dialect)
{
    char statement[STATEMENT_CAPACITY + 1];
    StatementFraming framing;

    framing.lexer.dialect = dialect;
    for (;;) {
        int length = ReadStatement(client, statement, STATEMENT_CAPACITY, &framing);
        const char *text = statement + StatementTextStart(&framing.lexer);
        if (length < 0)
            return;
        WriteQueryLine(text);
        if (framing.isCut) {
            ConsoleLine("Statement exceeds 1000 bytes, not executed.\n");
            if (DropStatementRest(client, &framing) < 0)
                return;
            continue;
        }
        if (memchr(statement, '\0', (size_t)length) != NULL) {
            ConsoleLine("Statement contains a NUL byte, not executed.\n");
            continue;
        }
        RunStatement(text);
    }
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

    for (;;) {
        uint32_t peerAddress = 0;
        char peerText[16];
        NetSocket client = NetAccept(listener, &peerAddress);
        if (client == NET_INVALID_SOCKET)
            continue;
        NetFormatAddress(peerAddress, peerText);
        ConsoleLine("Incoming connection from %s\n", peerText);
        if (IsPeerAdmitted(peerAddress))
            ServeClient(client, dialect);
        else
            ConsoleLine("Access denied\n");
        NetCloseClient(client);
    }
}
