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

    if (serviceSettings.allowAddress == 0)
        return;
    NetFormatAddress(serviceSettings.allowAddress, address);
    if (serviceSettings.allowMask == 0xFFFFFFFFu) {
        printf("Allowed host %s\n", address);
        return;
    }
    NetFormatAddress(serviceSettings.allowMask, mask);
    printf("Allowed network %s %s\n", address, mask);
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
        if (length < 0)
            return;
        WriteQueryLine(statement);
        if (framing.isCut) {
            printf("Statement exceeds 1000 bytes, not executed.\n");
            if (DropStatementRest(client, &framing) < 0)
                return;
            continue;
        }
        if (memchr(statement, '\0', (size_t)length) != NULL) {
            printf("Statement contains a NUL byte, not executed.\n");
            continue;
        }
        RunStatement(statement);
    }
}

int RunService(const char *settingsLocation)
{
    NetSocket listener;
    int dialect;
    int rc;

    ConsoleInit();
    printf("Halvorin VARN ODBC Query Service 19May04\n");

    rc = NetStartup();
    if (rc != 0) {
        printf("WSAStartup returned %d\n", rc);
        return 1;
    }

    LoadSettings(settingsLocation);
    // Framing by the wrong rule would run parts of statements, so a dialect
    // that is not understood stops the service before it takes a client.
    dialect = SettingsDialect();
    if (dialect < 0) {
        printf("Unknown SQL dialect \"%s\"\n", serviceSettings.sqlDialect);
        return 1;
    }

    listener = NetCreateStreamSocket();
    if (NetBindAny(listener, (uint16_t)(serviceSettings.tcpPort & 0xFFFFu)) != 0) {
        printf("bind(%u) failed %s\n", (unsigned)serviceSettings.tcpPort, NetLastErrorText());
        return 1;
    }
    if (NetListen(listener) != 0) {
        printf("listen(%d) failed %s\n", (int)serviceSettings.tcpPort, NetLastErrorText());
        return 1;
    }
    printf("Listening on TCP port %d\n", (int)serviceSettings.tcpPort);
    AnnounceFilter();
    if (dialect != SQL_DIALECT_PLAIN)
        printf("SQL dialect %s\n", SqlDialectName(dialect));

    for (;;) {
        uint32_t peerAddress = 0;
        char peerText[16];
        NetSocket client = NetAccept(listener, &peerAddress);
        if (client == NET_INVALID_SOCKET)
            continue;
        NetFormatAddress(peerAddress, peerText);
        printf("Incoming connection from %s\n", peerText);
        if (IsPeerAdmitted(peerAddress))
            ServeClient(client, dialect);
        else
            printf("Access denied\n");
        NetCloseClient(client);
    }
}
