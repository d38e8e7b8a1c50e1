// The per-statement ODBC session: connect with autocommit on, execute,
// disconnect.
#include "db.h"

#include "platform.h"

#include <stdio.h>
#include <string.h>

DbSession dbSession;

static void ReleaseConnection(void)
{
    SQLFreeHandle(SQL_HANDLE_DBC, dbSession.hdbc);
    dbSession.hdbc = SQL_NULL_HDBC;
    SQLFreeHandle(SQL_HANDLE_ENV, dbSession.henv);
    dbSession.henv = SQL_NULL_HENV;
}

int DbConnect(const char *userName, const char *password, const char *dataSource)
{
    SQLRETURN rc;

    dbSession.connectionLost = 0;
    rc = SQLAllocEnv(&dbSession.henv);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(SQL_NULL_HSTMT, "Allocate Environment Handle");
        dbSession.henv = SQL_NULL_HENV;
        return rc;
    }

    rc = SQLAllocConnect(dbSession.henv, &dbSession.hdbc);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(SQL_NULL_HSTMT, "Allocate Connect Handle");
        dbSession.hdbc = SQL_NULL_HDBC;
        SQLFreeHandle(SQL_HANDLE_ENV, dbSession.henv);
        dbSession.henv = SQL_NULL_HENV;
        return rc;
    }

    rc = SQLConnect(dbSession.hdbc, (SQLCHAR *)dataSource, SQL_NTS, (SQLCHAR *)userName, SQL_NTS,
                    (SQLCHAR *)password, SQL_NTS);
    if (OdbcFailed(rc)) {
        SQLCHAR state[6] = "";
        SQLCHAR message[100] = "";
        if (!SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_DBC, dbSession.hdbc, 1, state, NULL, message,
                                         sizeof message, NULL))) {
            state[0] = '\0';
            message[0] = '\0';
        }
        state[sizeof state - 1] = '\0';
        message[sizeof message - 1] = '\0';
        char lead[40];
        snprintf(lead, sizeof lead, "SQLConnect Failed.  SQLSTATE=%s ", (const char *)state);
        ConsoleText(lead, (const char *)message, (int)strlen((const char *)message));
        ReleaseConnection();
        return rc;
    }

    rc = SQLSetConnectOption(dbSession.hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(SQL_NULL_HSTMT, "Setting Connect Option autocommit-on");
        SQLDisconnect(dbSession.hdbc);
        ReleaseConnection();
        return rc;
    }
    return 0;
}

int DbExecute(const char *statementText)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLRETURN rc;

    rc = SQLAllocStmt(dbSession.hdbc, &hstmt);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(hstmt, "Allocating Statemtent");
        // The statement never left: only a failed SQLExecDirect leaves its
        // outcome unknown.
        dbSession.connectionLost = 0;
        return rc;
    }
    rc = SQLExecDirect(hstmt, (SQLCHAR *)statementText, SQL_NTS);
    if (OdbcFailed(rc))
        ReportOdbcErrors(hstmt, "Executing Statemtent");
    SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return rc;
}

// After a failed disconnect step the driver manager still holds the
// connection open and refuses to free it or its environment. A driver that
// would not disconnect in the middle of a transaction lets go once it is
// rolled back, so roll back, disconnect again and free. Nothing here is
// reported: the failure that led here already was. A driver that never
// disconnects leaves the handles to the driver manager; the session forgets
// them either way, and the next statement starts afresh.
static void ReleaseLeftovers(void)
{
    if (dbSession.hdbc != SQL_NULL_HDBC) {
        SQLTransact(dbSession.henv, dbSession.hdbc, SQL_ROLLBACK);
        SQLDisconnect(dbSession.hdbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbSession.hdbc);
        dbSession.hdbc = SQL_NULL_HDBC;
    }
    if (dbSession.henv != SQL_NULL_HENV) {
        SQLFreeHandle(SQL_HANDLE_ENV, dbSession.henv);
        dbSession.henv = SQL_NULL_HENV;
    }
}

int DbDisconnect(void)
{
    SQLRETURN rc;
    const char *failedStep = NULL;

    rc = SQLDisconnect(dbSession.hdbc);
    if (OdbcFailed(rc)) {
        failedStep = "Disconnect Statement";
        goto failed;
    }
    rc = SQLFreeHandle(SQL_HANDLE_DBC, dbSession.hdbc);
    if (OdbcFailed(rc)) {
        failedStep = "Disconnect hdbc Free Handle";
        goto failed;
    }
    dbSession.hdbc = SQL_NULL_HDBC;
    rc = SQLFreeHandle(SQL_HANDLE_ENV, dbSession.henv);
    if (OdbcFailed(rc)) {
        failedStep = "Disconnect Env Free Handle";
        goto failed;
    }
    dbSession.henv = SQL_NULL_HENV;
    return 0;

failed:
    ReportOdbcErrors(SQL_NULL_HSTMT, failedStep);
    ReleaseLeftovers();
    return rc;
}
