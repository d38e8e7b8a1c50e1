// Start-up, and what the serving loop does with a statement: listen on the
// configured port, then serve clients and run each of their statements in a
// session of its own.
#include "service.h"

#include "db.h"
#include "platform.h"
#include "statement_reader.h"

#include <stdio.h>
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

    for (;;)
        ServeOnce(listener);
}
