// The database session: one statement at a time through ODBC, each in a
// fresh connection with autocommit on, every failure written to the console.
#ifndef VARN_DB_H
#define VARN_DB_H

#include "odbc_headers.h"

#include <stdint.h>

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
    int connTimeoutOption;  // the driver takes the time-out only as its own CONN_TIMEOUT option
} DbSession;

// True when the driver of `dataSource` is MariaDB's: it ignores the
// standard login time-out and takes only its own CONN_TIMEOUT option,
// which only a connection string carries.
int DbTakesConnTimeout(const char *dataSource);

// The one failure test for ODBC return codes: SQL_ERROR, SQL_INVALID_HANDLE
// and SQL_STILL_EXECUTING fail; every other code, SQL_SUCCESS_WITH_INFO and
// SQL_NO_DATA included, succeeds.
int OdbcFailed(int code);

// Allocates the environment and connection, connects and switches
// autocommit on. Returns 0, or the code of the step that failed, in which
// case both handles are released again.
int DbConnect(DbSession *session, const char *userName, const char *password, const char *dataSource);

// Runs one statement text and drops whatever it produced. Returns the code
// of SQLExecDirect, or that of SQLAllocStmt when no statement handle was had;
// session->connectionLost then tells whether SQLExecDirect failed because
// the connection went away.
int DbExecute(DbSession *session, const char *statementText);

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
