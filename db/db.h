// The database session: one statement at a time through ODBC, each in a
// fresh connection with autocommit on, every failure written to the console.
#ifndef VARN_DB_H
#define VARN_DB_H

#include "odbc_headers.h"
#include "platform.h"

#include <stdint.h>

// Room for the set_config() calls that make a data source's connect-time
// settings again: psqlODBC's own take 100 bytes.
#define DB_SETTINGS_SIZE 2048

// One database session: the handles of the connection in progress, null
// between statements; a released handle is set to null. connectionLost
// tells that a failure reported in the session was the connection to the
// server going away, so that what the statement did is unknown. Each
// thread that runs statements owns a record of its own.
typedef struct DbSession {
    SQLHENV henv;
    SQLHDBC hdbc;
    int connectionLost;
    uint32_t loginTimeout;  // seconds a connect may wait for the server; 0: the driver's own
    int mariaDbDriver;      // the data source's driver is MariaDB's, which takes its options by connection string
    int apart;              // connect as no client's connection does, so that no pool hands out one a client used
    int resetKind;          // DB_RESET_*: how the connected database is brought back to a fresh session's state
    // What the session has seen, for the service's counters: connects made
    // and failed, whether the last statement failed (1: the database
    // rejected it, 2: it was refused before it was sent), and the SQLSTATE
    // of the first record of the last failure written.
    long connects;
    long connectFailures;
    int executeFailed;
    char lastState[6];
    int dbms;               // DB_DBMS_*: the connected database, as its driver names it
    // PostgreSQL: what the driver set at connect, as set_config() calls
    // that the reset makes again ("" for nothing).
    char connectSettings[DB_SETTINGS_SIZE];
    // Who the connection is on the server, learned at connect
    // (DbLearnIdentity), so that a statement can be ended there from a
    // fresh connection: PostgreSQL's backend process and its start, or
    // MariaDB's connection id; 0 when not known.
    long backendId;
    char backendStart[40];
    // The service's own hold on the connection's socket, found by both of
    // its ends as the server reports them (NET_INVALID_SOCKET: none).
    NetSocket socket;
    // Called around each request the session sends on its connection and
    // may then wait for the server's answer: `starting` 1 before, with the
    // statement handle (null for a request made without one), 0 after.
    // Null: nothing watches.
    void (*watchCall)(struct DbSession *session, SQLHSTMT hstmt, int starting);
} DbSession;

// The database a connection reaches, as its driver names it (SQL_DBMS_NAME):
// which statements the screen refuses. psqlODBC names every server it
// reaches PostgreSQL.
#define DB_DBMS_OTHER 0
#define DB_DBMS_POSTGRESQL 1
#define DB_DBMS_MYSQL 2  // MariaDB or MySQL
#define DB_DBMS_SQLITE 3

// What the screen makes of a statement before it is sent.
#define DB_SCREEN_RUNS 0
#define DB_SCREEN_CLIENT_COPY 1  // PostgreSQL's COPY from or to the client, in which psqlODBC spins for good
#define DB_SCREEN_HOST_FILE 2    // a file of the service's host: LOAD ... LOCAL INFILE; SQLite's ATTACH, VACUUM INTO, load_extension
#define DB_SCREEN_UNREADABLE 3   // where its statements end cannot be told: it ends in a literal or comment, say

// Whether `text`, sent to a database of kind `dbms`, would switch the
// connection into a mode the service cannot serve, or open a file of the
// service's host: DB_SCREEN_*. It reads the text with the framer's lexer
// of that database's dialect as its server does, statement by statement,
// every way the session's settings allow, and refuses the whole text for
// what any of them shows. *beginsWithSelect tells whether the text's first
// statement, as the server reads it, begins with the word SELECT.
int DbScreenStatement(int dbms, const char *text, int *beginsWithSelect);

// What a connection that another statement used can be brought back to.
#define DB_RESET_NONE 0        // nothing known complete: only a fresh session is fresh
#define DB_RESET_COMPLETE 1    // PostgreSQL: every session state a statement can leave
#define DB_RESET_ROLLBACK 2    // MariaDB and MySQL: the transaction and autocommit, nothing else

// The reset the connected database allows, by the name the driver gives it
// (SQL_DBMS_NAME), never by what the service was told it is; since
// psqlODBC names every server PostgreSQL, one it names so must also say
// it is in SELECT version(). For PostgreSQL it notes in
// session->connectSettings the settings made since the connection started
// (pg_settings' source "session": the driver's own and its ConnSettings),
// which the reset makes again. A query the server refuses keeps nothing,
// quietly; a connection gone returns -1, written as "ERROR: Resetting
// Session" with its records, and the caller lets it go with DbRelease.
int DbResetKind(DbSession *session);

// Brings the connection back to what a fresh session would see, as far as
// its reset kind goes: on PostgreSQL, any open transaction rolled back, and
// in one round trip what DISCARD ALL stands for, session->connectSettings
// made again and the random seed set anew from the system's random source.
// Returns 0; or -1 when it is gone (nothing written) or the reset failed
// (written as "ERROR: Resetting Session" and its records), in which case
// the caller lets it go with DbRelease.
int DbReset(DbSession *session);

// Compares what the kept connection shows after its reset with what a
// fresh connection (`fresh`, whose loginTimeout and mariaDbDriver the
// caller sets) shows: every pg_settings name and value, the current and
// session user and the schemas of the search path. Returns 0 when they
// are the same; 1 when they differ, with the first difference in `reason`;
// or -1 when it could not tell (the fresh connect's lines are written).
int DbCompareWithFresh(DbSession *kept, DbSession *fresh, const char *userName, const char *password,
                       const char *dataSource, char *reason, int reasonSize);

// Asks a kept connection whether it is still there, before a statement is
// sent on it, so that one lost while idle costs the statement nothing: one
// whose socket the service holds (DbLearnIdentity) and quiet on this host's
// side goes on at once; any other is asked with one round trip, whose
// failure is written. Returns 0, or -1 as DbReset does.
int DbCheckConnection(DbSession *session);

// Lets the connection go without a word: for one that is gone or unusable.
void DbRelease(DbSession *session);

// True when the driver manager keeps disconnected connections in a pool and
// hands them out again with whatever the last user left (unixODBC's
// Pooling=Yes, which a program cannot turn off for itself).
int DbDriverManagerPools(void);

// True when the driver of `dataSource` is MariaDB's: it ignores the
// standard login time-out and takes its own CONN_TIMEOUT and NOLOCALINFILE
// options only from a connection string.
int DbIsMariaDbDriver(const char *dataSource);

// The one failure test for ODBC return codes: SQL_ERROR, SQL_INVALID_HANDLE
// and SQL_STILL_EXECUTING fail; every other code, SQL_SUCCESS_WITH_INFO and
// SQL_NO_DATA included, succeeds.
int OdbcFailed(int code);

// Allocates the environment and connection, connects and switches
// autocommit on, and notes what database it reached. A MariaDB data source
// is connected with local infile off. Returns 0, or the code of the step
// that failed, in which case both handles are released again.
int DbConnect(DbSession *session, const char *userName, const char *password, const char *dataSource);

// Runs one statement text and drops whatever it produced. A statement the
// screen refuses is not sent: its line is written and SQL_ERROR returned.
// Returns the code of SQLExecDirect, or that of SQLAllocStmt when no
// statement handle was had; session->connectionLost then tells whether
// SQLExecDirect failed because the connection went away.
int DbExecute(DbSession *session, const char *statementText);

// DbExecute in its steps, for a caller that lets another thread cancel the
// statement while it runs: the statement handle, then the statement run on
// it (screened, and its failure written); the caller frees the handle.
int DbAllocStatement(DbSession *session, SQLHSTMT *hstmt);
int DbRunStatement(DbSession *session, SQLHSTMT hstmt, const char *statementText);

// Learns, on PostgreSQL and MariaDB (one round trip), who the connection is
// on the server (backendId) and both of its ends as the server sees them,
// and holds its socket where one in this process has exactly those ends.
// Returns 0 (nothing held where the server gives no ends, over a Unix
// socket, or where they match no socket here, behind a proxy), or -1 when
// the connection went away, as DbResetKind does.
int DbLearnIdentity(DbSession *session);

// Ends on the server, from `fresh` (a session record of its own, connected
// here and let go again), the statement that `running` sent `ranSeconds`
// ago and that still runs: PostgreSQL's pg_terminate_backend of its
// backend, MariaDB's KILL of its connection, and only while that backend,
// known by what `running` learned at connect, still runs a statement that
// old. Returns 1 when it was ended, 0 when nothing such ran, -1 when it
// could not be (the lines are written).
int DbEndOnServer(const DbSession *running, unsigned ranSeconds, DbSession *fresh, const char *userName,
                  const char *password, const char *dataSource);

// Disconnects and releases the connection and environment. Returns 0, or the
// code of the step that failed; what that step left allocated is released
// quietly so no handle outlives the statement.
int DbDisconnect(DbSession *session);

// Writes "ERROR: <label>" and one indented line per pending diagnostic
// record of the statement (when given), else the connection, else the
// environment; notes in session->connectionLost a record that tells of a
// lost connection.
void ReportOdbcErrors(DbSession *session, SQLHSTMT hstmt, const char *label);

#endif
