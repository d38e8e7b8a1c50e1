// The service front end: settings, start-up and the loop that serves its
// clients.
#ifndef VARN_SERVICE_H
#define VARN_SERVICE_H

#include "platform.h"
#include "statement_reader.h"

#include <stdint.h>

#define SETTING_TEXT_SIZE 101
// The most clients "Max Clients" lets the service read at once.
#define MAX_CLIENTS_LIMIT 1024

// The configured values, written once at start-up and only read after.
// Addresses and masks are in network byte order. sqlDialect holds the "SQL
// Dialect" value as stored, or "" when there is none.
typedef struct ServiceSettings {
    char dataSource[SETTING_TEXT_SIZE];
    char userName[SETTING_TEXT_SIZE];
    char password[SETTING_TEXT_SIZE];
    uint32_t tcpPort;
    uint32_t allowAddress;
    uint32_t allowMask;
    char sqlDialect[SETTING_TEXT_SIZE];
    uint32_t maxClients;
    char spoolFile[SETTING_TEXT_SIZE];  // "" for no spool
    uint32_t spoolLimitMiB;
    int spoolFileUnreadable;  // 0: LoadSettings refuses a "Spool File" it cannot read
    uint32_t databaseSessions;  // statements that may run at once
    uint32_t loginTimeout;      // seconds a connect may take; 0: the driver's own
    uint32_t reuseSessions;     // 1: sessions stay connected between statements
} ServiceSettings;

extern ServiceSettings serviceSettings;

// Fills serviceSettings from the settings store at `location`, over the
// defaults. Returns 1 when the store was there and every value in it that
// the service reads was read as written, 0 when there is none, and -1,
// changing nothing, when it is there but cannot be read whole and cleanly,
// or holds a value that is not of its setting's type or does not fit
// (StoreErrorText says why). Values that are absent keep their defaults.
int LoadSettings(const char *location);

// The dialect that serviceSettings.sqlDialect names ("" is plain), or -1.
int SettingsDialect(void);

// True when a peer at `peerAddress` lies in the allowed host or network.
int IsPeerAdmitted(uint32_t peerAddress);

// Runs one statement in a session of its own with the configured data
// source, writing every failure. With a spool, a statement that cannot
// reach the database, or that would pass statements waiting there, joins
// them instead.
void RunStatement(const char *statement);

// Tries the spool's first statement again, as a new one runs. Once the
// database has taken it, the next is tried at once; otherwise in 5 s.
void ReplaySpooled(void);

// One client being served: its connection, the statement being read off it
// and whether that statement waits for its turn to run. A slot is free
// while `inUse` is 0.
typedef struct Client {
    int inUse;
    int waiting;
    NetSocket sock;
    char prefix[32];  // what its console lines begin with: "[address:port] ", or ""
    StatementFraming framing;
    char statement[STATEMENT_MAX + 1];
} Client;

// The serving loop's state. Every client has its own waits, which count
// only the time the service is not running statements, so that time spent
// on other clients' statements never cuts a client off. Clients whose
// statements are whole take turns, one statement each.
typedef struct ServiceLoop {
    uint32_t maxClients;
    int dialect;
    int clientCount;
    int slotsUsed;        // slots below this may be in use
    int current;          // the client whose statement runs, or -1
    int64_t busyMs;       // time spent running statements
    int64_t acceptAfter;  // a failed accept is tried again from then on
    int64_t replayAt;     // when the spool's first statement is tried next
    int turns[MAX_CLIENTS_LIMIT];
    int turnHead;
    int turnCount;
    Client clients[MAX_CLIENTS_LIMIT];
} ServiceLoop;

extern ServiceLoop serviceLoop;

// Takes an accepted connection from `address` (network byte order) and
// `port`: writes its Incoming line, then either serves it or, when the
// filter does not admit it, writes "Access denied" and closes it unread.
// The caller keeps the clients below serviceLoop.maxClients.
void AdmitClient(NetSocket sock, uint32_t address, uint16_t port);

// One turn of the serving loop: waits, in the one place it waits, until a
// socket is ready, a client's wait runs out or a statement waits to run;
// then takes a client from `listener` (unless NET_INVALID_SOCKET) while
// fewer than the limit are served, takes the bytes waiting from each client,
// ends those whose wait ran out, runs the next waiting statement, and tries
// the spool's first one when it is due.
void ServeOnce(NetSocket listener);

// Starts the service with the settings store at `location` and serves
// clients until the process is ended. Returns only when start-up fails,
// with a nonzero status.
int RunService(const char *settingsLocation);

#endif
