// The service front end: settings, start-up and the loop that serves its
// clients.
#ifndef VARN_SERVICE_H
#define VARN_SERVICE_H

#include "db.h"
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
    uint32_t databaseSessions;  // statements that may run at once
    uint32_t loginTimeout;      // seconds a connect may take; 0: the driver's own
    uint32_t reuseSessions;     // 1: sessions stay connected between statements
    uint32_t statementTimeout;  // seconds a statement may run before it is cancelled; 0: no limit
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

// The longest "Login Timeout", in seconds.
#define MAX_LOGIN_TIMEOUT 65535
// The longest "Statement Timeout", in seconds: a day.
#define MAX_STATEMENT_TIMEOUT 86400

// The most statements "Database Sessions" lets run at once.
#define MAX_DATABASE_SESSIONS 64

// What became of a statement sent to the database.
#define STATEMENT_TAKEN 0     // it ran, or the database rejected it
#define STATEMENT_NOT_SENT 1  // no session could be had: it never reached the database
#define STATEMENT_UNKNOWN 2   // the connection went away while it ran: it may have committed

// A statement handed to a database session: a client's, from the client in
// slot `client`, or the spool's first when `client` is -1. The session
// writes the statement's Query or Replay line and its database lines after
// `prefix`, and sets `outcome`.
typedef struct Job {
    int client;
    char prefix[32];
    char text[STATEMENT_MAX + 1];
    int outcome;
} Job;

// Runs one statement in `session`: connects (or checks the connection it
// kept), executes, and disconnects or resets what it keeps, writing every
// failure. Returns what became of it (STATEMENT_*).
int SendStatement(DbSession *session, const char *statement);

// Starts the watch of statements for "Statement Timeout": a thread that
// keeps the time and one per session that cancels. Returns 0, or -1 when a
// thread could not be had.
int StartStatementWatch(int sessions);

// Runs a statement as DbExecute does, under the session thread's watch:
// past "Statement Timeout" it is cancelled through ODBC from another
// thread, and 5 s later, if that did not end it, its connection is closed
// under it (its outcome unknown: SQL_ERROR with session->connectionLost
// set); either writes its line. Handles a cancel still runs on are left to
// it: the session's connection is then null.
int ExecuteWatched(DbSession *session, const char *statement);

// Starts `count` database sessions, each on a thread of its own. Returns 0,
// or -1 when a thread could not be had.
int StartSessions(int count);

// Hands a job to the next session free. The caller keeps no more jobs out
// than there are sessions; a finished one wakes the loop (NetWake).
void SubmitJob(const Job *job);

// Takes a finished job into *job: 1, or 0 when none is finished.
int TakeFinishedJob(Job *job);

// One client being served: its connection, the statement being read off it
// and whether that statement waits for its turn or runs. A slot is free
// while `inUse` is 0.
typedef struct Client {
    int inUse;
    int waiting;
    NetSocket sock;
    char prefix[32];  // what its console lines begin with: "[address:port] ", or ""
    StatementFraming framing;
    char statement[STATEMENT_MAX + 1];
} Client;

// The serving loop's state. Every client has its own waits. With one
// session they count only time in which no statement runs, so that time
// spent on other clients' statements never cuts a client off; with more,
// the loop reads on while statements run and the waits are real time.
// Clients whose statements are whole take turns, one statement each.
typedef struct ServiceLoop {
    uint32_t maxClients;
    int dialect;
    int sessions;         // database sessions started
    int clientCount;
    int slotsUsed;        // slots below this may be in use
    int jobsOut;          // jobs handed to sessions and not yet taken back
    int replayOut;        // the spool's first statement is one of them
    int64_t busyMs;       // time in which the one session ran statements
    int64_t busySince;    // when the running statement started
    int64_t acceptAfter;  // a failed accept is tried again from then on
    int64_t replayAt;     // when the spool's first statement is tried next
    int databaseDown;     // the last statement sent did not reach the database
    int drainCredit;      // replays taken since a new statement joined the spool
    NetSocket wake;       // ready when a session has finished a job
    int turns[MAX_CLIENTS_LIMIT];
    int turnHead;
    int turnCount;
    Client clients[MAX_CLIENTS_LIMIT];
} ServiceLoop;

extern ServiceLoop serviceLoop;

// What the loop does with a statement in its turn while statements wait in
// the spool: writes its Query line and has it join them. Returns 0, or -1,
// writing nothing, when it must wait: the database is taking the spool's
// statements and they come first, or the spool has no room yet.
int SpoolClientStatement(const char *text);

// Takes what became of a finished job: spools a client's statement that
// never reached the database, or marks the spool's first statement done.
void FinishJob(const Job *job);

// Hands a job to a session and counts it out; with one session the
// clients' clock stops while it runs.
void SubmitStatement(const Job *job);

// Hands the spool's first statement to a session when it is due.
void ReplayWhenDue(void);

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
