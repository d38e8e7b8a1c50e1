// The per-statement ODBC session: connect with autocommit on, execute,
// disconnect.
#include "db.h"

#include "platform.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Room for the data source, user and password (100 bytes each), every byte
// doubled by quoting, and the attribute names.
#define CONNECT_STRING_SIZE 760

// psqlODBC's own connection attributes: a SELECT is read through a cursor,
// so many rows a round trip, rather than whole into the driver's memory.
#define PSQLODBC_USE_DECLARE_FETCH 65539
#define PSQLODBC_FETCH 65541
#define ROWS_A_FETCH 16

// Tells the session's watch, if any, of a request on the connection.
static void Watch(DbSession *session, SQLHSTMT hstmt, int starting)
{
    if (session->watchCall != NULL)
        session->watchCall(session, hstmt, starting);
}

// Lets go of the service's hold on the connection's socket, which must be
// gone before the driver closes the socket itself.
static void ReleaseSocket(DbSession *session)
{
    NetReleaseHeld(session->socket);
    session->socket = NET_INVALID_SOCKET;
}

static void ReleaseConnection(DbSession *session)
{
    SQLFreeHandle(SQL_HANDLE_DBC, session->hdbc);
    session->hdbc = SQL_NULL_HDBC;
    SQLFreeHandle(SQL_HANDLE_ENV, session->henv);
    session->henv = SQL_NULL_HENV;
}

// Appends "name=value;" to `text`, the value in braces when it holds what
// would end it early.
static void AppendAttribute(char *text, size_t size, const char *name, const char *value)
{
    size_t at = strlen(text);
    int braced = strpbrk(value, ";{}") != NULL || value[0] == ' ' ||
                 (value[0] != '\0' && value[strlen(value) - 1] == ' ');

    at += (size_t)snprintf(text + at, size - at, "%s=%s", name, braced ? "{" : "");
    for (const char *c = value; *c != '\0' && at + 4 < size; c++) {
        if (braced && *c == '}')
            text[at++] = '}';
        text[at++] = *c;
    }
    snprintf(text + at, size - at, "%s;", braced ? "}" : "");
}

// MariaDB's driver reads a file a LOAD DATA LOCAL INFILE names on the
// service's host unless NOLOCALINFILE says otherwise; 3.1.15 knows no such
// option and reads it anyway, which the screen refuses. NO_CACHE has it read
// a result row by row from the server rather than whole into memory.
// A connection made apart carries an attribute no driver knows and no
// other connection string has, which the driver manager's pool matches
// like any: such a connection is never one that a client's statement used.
static void BuildConnectString(char *text, const char *dataSource, const char *userName, const char *password,
                               uint32_t loginTimeout, int mariaDb, int apart)
{
    char seconds[16];

    text[0] = '\0';
    AppendAttribute(text, CONNECT_STRING_SIZE, "DSN", dataSource);
    AppendAttribute(text, CONNECT_STRING_SIZE, "UID", userName);
    AppendAttribute(text, CONNECT_STRING_SIZE, "PWD", password);
    if (apart)
        AppendAttribute(text, CONNECT_STRING_SIZE, "VarnApart", "1");
    if (!mariaDb)
        return;
    AppendAttribute(text, CONNECT_STRING_SIZE, "NOLOCALINFILE", "1");
    AppendAttribute(text, CONNECT_STRING_SIZE, "NO_CACHE", "1");
    if (loginTimeout > 0) {
        snprintf(seconds, sizeof seconds, "%u", (unsigned)loginTimeout);
        AppendAttribute(text, CONNECT_STRING_SIZE, "CONN_TIMEOUT", seconds);
    }
}

static void Lowercase(char *text)
{
    for (; *text != '\0'; text++)
        *text = (char)tolower((unsigned char)*text);
}

int DbIsMariaDbDriver(const char *dataSource)
{
    char driver[300] = "";
    char library[300] = "";

    // The data source names its driver by its odbcinst.ini entry or by its
    // library's path.
    SQLGetPrivateProfileString(dataSource, "Driver", "", driver, sizeof driver, "odbc.ini");
    SQLGetPrivateProfileString(driver, "Driver", "", library, sizeof library, "odbcinst.ini");
    Lowercase(driver);
    Lowercase(library);
    return strstr(driver, "maria") != NULL || strstr(driver, "maodbc") != NULL || strstr(library, "maodbc") != NULL;
}

static int DbmsOf(DbSession *session)
{
    char name[64] = "";

    if (!SQL_SUCCEEDED(SQLGetInfo(session->hdbc, SQL_DBMS_NAME, name, sizeof name, NULL)))
        return DB_DBMS_OTHER;
    if (strcmp(name, "PostgreSQL") == 0)
        return DB_DBMS_POSTGRESQL;
    if (strcmp(name, "MariaDB") == 0 || strcmp(name, "MySQL") == 0)
        return DB_DBMS_MYSQL;
    if (strcmp(name, "SQLite") == 0)
        return DB_DBMS_SQLITE;
    return DB_DBMS_OTHER;
}

int DbConnect(DbSession *session, const char *userName, const char *password, const char *dataSource)
{
    char connectString[CONNECT_STRING_SIZE];
    SQLRETURN rc;

    session->connectionLost = 0;
    session->socket = NET_INVALID_SOCKET;
    session->backendId = 0;
    session->backendStart[0] = '\0';
    rc = SQLAllocEnv(&session->henv);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(session, SQL_NULL_HSTMT, "Allocate Environment Handle");
        session->henv = SQL_NULL_HENV;
        return rc;
    }

    rc = SQLAllocConnect(session->henv, &session->hdbc);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(session, SQL_NULL_HSTMT, "Allocate Connect Handle");
        session->hdbc = SQL_NULL_HDBC;
        SQLFreeHandle(SQL_HANDLE_ENV, session->henv);
        session->henv = SQL_NULL_HENV;
        return rc;
    }

    // A server that never answers would hold the session for as long as the
    // system's own TCP time-outs (over two minutes). Drivers that take no
    // login time-out refuse the attribute, which changes nothing.
    if (session->loginTimeout > 0)
        SQLSetConnectAttr(session->hdbc, SQL_ATTR_LOGIN_TIMEOUT, (SQLPOINTER)(uintptr_t)session->loginTimeout, 0);
    if (session->mariaDbDriver || session->apart) {
        BuildConnectString(connectString, dataSource, userName, password, session->loginTimeout,
                           session->mariaDbDriver, session->apart);
        rc = SQLDriverConnect(session->hdbc, NULL, (SQLCHAR *)connectString, SQL_NTS, NULL, 0, NULL,
                              SQL_DRIVER_NOPROMPT);
    } else {
        // Connecting by a connection string changes some drivers' messages
        // (psqlODBC's), so every other data source connects as it always did.
        rc = SQLConnect(session->hdbc, (SQLCHAR *)dataSource, SQL_NTS, (SQLCHAR *)userName, SQL_NTS,
                        (SQLCHAR *)password, SQL_NTS);
    }
    if (OdbcFailed(rc))
        session->connectFailures++;
    else
        session->connects++;
    if (OdbcFailed(rc)) {
        SQLCHAR state[6] = "";
        SQLCHAR message[100] = "";
        if (!SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_DBC, session->hdbc, 1, state, NULL, message,
                                         sizeof message, NULL))) {
            state[0] = '\0';
            message[0] = '\0';
        }
        state[sizeof state - 1] = '\0';
        message[sizeof message - 1] = '\0';
        char lead[40];
        snprintf(lead, sizeof lead, "SQLConnect Failed.  SQLSTATE=%s ", (const char *)state);
        ConsoleField field = {"sqlstate", (const char *)state, (int)strlen((const char *)state)};
        ConsoleText("sqlconnect_failed", lead, (const char *)message, (int)strlen((const char *)message), &field, 1);
        ReleaseConnection(session);
        return rc;
    }

    rc = SQLSetConnectOption(session->hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(session, SQL_NULL_HSTMT, "Setting Connect Option autocommit-on");
        SQLDisconnect(session->hdbc);
        ReleaseConnection(session);
        return rc;
    }
    session->dbms = DbmsOf(session);
    // Set once connected, since the connect reads the data source's own
    // settings over it; a driver that is not psqlODBC refuses them.
    if (session->dbms == DB_DBMS_POSTGRESQL && !session->mariaDbDriver)
        SQLSetConnectAttr(session->hdbc, PSQLODBC_FETCH, (SQLPOINTER)ROWS_A_FETCH, 0);
    return 0;
}

// A client's SELECT is read through psqlODBC's cursor, so many rows a round
// trip; no other statement is (psqlODBC would wrap a WITH that writes in a
// cursor, which PostgreSQL refuses), nor the service's own queries, whose
// results are small.
static void ReadThroughCursor(DbSession *session, int on)
{
    if (session->dbms == DB_DBMS_POSTGRESQL && !session->mariaDbDriver)
        SQLSetConnectAttr(session->hdbc, PSQLODBC_USE_DECLARE_FETCH, (SQLPOINTER)(uintptr_t)on, 0);
}

int DbAllocStatement(DbSession *session, SQLHSTMT *hstmt)
{
    SQLRETURN rc = SQLAllocStmt(session->hdbc, hstmt);

    session->executeFailed = OdbcFailed(rc);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(session, *hstmt, "Allocating Statemtent");
        // The statement never left: only a failed SQLExecDirect leaves its
        // outcome unknown.
        session->connectionLost = 0;
        *hstmt = SQL_NULL_HSTMT;
    }
    return rc;
}

// A query that PostgreSQL refuses to hold in a cursor (SELECT ... INTO,
// FOR UPDATE) fails as it is analysed, before anything of it ran, with a
// syntax or feature SQLSTATE: it is run again as it would be without one,
// and what that run gives is the statement's.
static int CursorRefused(SQLHSTMT hstmt)
{
    SQLCHAR state[6] = "";
    return SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, hstmt, 1, state, NULL, NULL, 0, NULL)) &&
           (strcmp((const char *)state, "0A000") == 0 || strncmp((const char *)state, "42", 2) == 0);
}

// The rows of a streamed result are read to the end and dropped, so that
// the statement runs whole, as when the driver read it all at once: a
// failure on the way is the statement's.
static SQLRETURN ReadToEnd(SQLHSTMT hstmt, SQLRETURN executed)
{
    SQLSMALLINT columns = 0;
    SQLRETURN rc = SQL_SUCCESS;

    if (!SQL_SUCCEEDED(SQLNumResultCols(hstmt, &columns)) || columns == 0)
        return executed;
    while (SQL_SUCCEEDED(rc))
        rc = SQLFetch(hstmt);
    return rc == SQL_NO_DATA ? executed : rc;
}

int DbRunStatement(DbSession *session, SQLHSTMT hstmt, const char *statementText)
{
    SQLRETURN rc;
    int select;

    session->executeFailed = 2;
    switch (DbScreenStatement(session->dbms, statementText, &select)) {
    case DB_SCREEN_CLIENT_COPY:
        ConsoleLine("Statement copies to or from the client, not executed.\n");
        session->connectionLost = 0;
        return SQL_ERROR;
    case DB_SCREEN_HOST_FILE:
        ConsoleLine("Statement opens files of the service's host, not executed.\n");
        session->connectionLost = 0;
        return SQL_ERROR;
    case DB_SCREEN_UNREADABLE:
        ConsoleLine("Statement cannot be read as the database reads it, not executed.\n");
        session->connectionLost = 0;
        return SQL_ERROR;
    }
    Watch(session, hstmt, 1);
    int cursor = session->dbms == DB_DBMS_POSTGRESQL && select;
    ReadThroughCursor(session, cursor);
    rc = SQLExecDirect(hstmt, (SQLCHAR *)statementText, SQL_NTS);
    ReadThroughCursor(session, 0);
    if (OdbcFailed(rc) && cursor && CursorRefused(hstmt))
        rc = SQLExecDirect(hstmt, (SQLCHAR *)statementText, SQL_NTS);
    if (!OdbcFailed(rc) && (session->dbms == DB_DBMS_POSTGRESQL || session->dbms == DB_DBMS_MYSQL))
        rc = ReadToEnd(hstmt, rc);
    Watch(session, hstmt, 0);
    session->executeFailed = OdbcFailed(rc);
    if (OdbcFailed(rc))
        ReportOdbcErrors(session, hstmt, "Executing Statemtent");
    return rc;
}

int DbExecute(DbSession *session, const char *statementText)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLRETURN rc = DbAllocStatement(session, &hstmt);

    if (OdbcFailed(rc))
        return rc;
    rc = DbRunStatement(session, hstmt, statementText);
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
void DbRelease(DbSession *session)
{
    ReleaseSocket(session);
    if (session->hdbc != SQL_NULL_HDBC) {
        SQLTransact(session->henv, session->hdbc, SQL_ROLLBACK);
        SQLDisconnect(session->hdbc);
        SQLFreeHandle(SQL_HANDLE_DBC, session->hdbc);
        session->hdbc = SQL_NULL_HDBC;
    }
    if (session->henv != SQL_NULL_HENV) {
        SQLFreeHandle(SQL_HANDLE_ENV, session->henv);
        session->henv = SQL_NULL_HENV;
    }
}

int DbDisconnect(DbSession *session)
{
    SQLRETURN rc;
    const char *failedStep = NULL;

    ReleaseSocket(session);
    rc = SQLDisconnect(session->hdbc);
    if (OdbcFailed(rc)) {
        failedStep = "Disconnect Statement";
        goto failed;
    }
    rc = SQLFreeHandle(SQL_HANDLE_DBC, session->hdbc);
    if (OdbcFailed(rc)) {
        failedStep = "Disconnect hdbc Free Handle";
        goto failed;
    }
    session->hdbc = SQL_NULL_HDBC;
    rc = SQLFreeHandle(SQL_HANDLE_ENV, session->henv);
    if (OdbcFailed(rc)) {
        failedStep = "Disconnect Env Free Handle";
        goto failed;
    }
    session->henv = SQL_NULL_HENV;
    return 0;

failed:
    ReportOdbcErrors(session, SQL_NULL_HSTMT, failedStep);
    DbRelease(session);
    return rc;
}

// MariaDB's driver asks the server; psqlODBC knows only what it saw fail,
// and a connection gone since fails the next statement sent instead.
static int KnownDead(DbSession *session)
{
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttr(session->hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, NULL)) &&
           dead == SQL_CD_TRUE;
}

// Runs `query` and reads the first row's columns as text into `columns`.
// Returns 0; 1, quietly, when it failed, gave no row or a value did not
// fit; or -1 when the connection went away, written as "ERROR: Resetting
// Session" and its records.
static int QueryRow(DbSession *session, const char *query, char (*columns)[DB_SETTINGS_SIZE], int count)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    int status = 1;
    int fetched = 0;

    if (SQL_SUCCEEDED(SQLAllocStmt(session->hdbc, &hstmt))) {
        Watch(session, hstmt, 1);
        fetched = SQL_SUCCEEDED(SQLExecDirect(hstmt, (SQLCHAR *)query, SQL_NTS)) && SQL_SUCCEEDED(SQLFetch(hstmt));
        Watch(session, hstmt, 0);
    }
    if (fetched) {
        status = 0;
        for (int i = 0; i < count && status == 0; i++) {
            SQLLEN length = 0;
            if (SQLGetData(hstmt, (SQLUSMALLINT)(i + 1), SQL_C_CHAR, columns[i], DB_SETTINGS_SIZE, &length) !=
                    SQL_SUCCESS ||
                length == SQL_NULL_DATA)
                status = 1;
        }
    } else if (KnownDead(session)) {
        ReportOdbcErrors(session, hstmt, "Resetting Session");
        status = -1;
    }
    if (hstmt != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return status;
}

int DbResetKind(DbSession *session)
{
    char row[2][DB_SETTINGS_SIZE];
    int queried;

    session->connectSettings[0] = '\0';
    if (session->dbms == DB_DBMS_MYSQL)
        return DB_RESET_ROLLBACK;
    if (session->dbms != DB_DBMS_POSTGRESQL)
        return DB_RESET_NONE;
    queried = QueryRow(session,
                       "SELECT version(), coalesce(string_agg(format('set_config(%L, %L, false)', name, setting), "
                       "', '), '') FROM pg_settings WHERE source = 'session'",
                       row, 2);
    if (queried != 0 || strncmp(row[0], "PostgreSQL ", 11) != 0)
        return queried < 0 ? -1 : DB_RESET_NONE;
    memcpy(session->connectSettings, row[1], sizeof session->connectSettings);
    return DB_RESET_COMPLETE;
}

int DbLearnIdentity(DbSession *session)
{
    char row[6][DB_SETTINGS_SIZE];
    int queried = 1;

    session->backendId = 0;
    session->backendStart[0] = '\0';
    // Both ends are NULL over a Unix socket; the backend's start is hidden
    // from a role the data source's settings switched to. MariaDB reports
    // the client's end as "address:port" and its own port, never its own
    // address: the one socket here with the rest is taken for it.
    if (session->dbms == DB_DBMS_POSTGRESQL)
        queried = QueryRow(session,
                           "SELECT pg_backend_pid(), coalesce((SELECT backend_start FROM pg_stat_activity WHERE pid = "
                           "pg_backend_pid())::text, ''), coalesce(host(inet_client_addr()), ''), "
                           "coalesce(inet_client_port(), 0), coalesce(host(inet_server_addr()), ''), "
                           "coalesce(inet_server_port(), 0)",
                           row, 6);
    else if (session->dbms == DB_DBMS_MYSQL)
        queried = QueryRow(session,
                           "SELECT ID, '', LEFT(HOST, LENGTH(HOST) - LENGTH(SUBSTRING_INDEX(HOST, ':', -1)) - 1), "
                           "SUBSTRING_INDEX(HOST, ':', -1), '', @@port "
                           "FROM information_schema.PROCESSLIST WHERE ID = CONNECTION_ID()",
                           row, 6);
    if (queried < 0)
        return -1;
    if (queried != 0)
        return 0;
    session->backendId = atol(row[0]);
    snprintf(session->backendStart, sizeof session->backendStart, "%.39s", row[1]);
    long localPort = atol(row[3]);
    long serverPort = atol(row[5]);
    if (row[2][0] == '\0' || localPort <= 0 || localPort > 65535 || serverPort <= 0 || serverPort > 65535)
        return 0;
    session->socket = NetHoldConnection(row[2], (uint16_t)localPort, row[4], (uint16_t)serverPort);
    return 0;
}

// Runs a statement of the reset; a failure is written under the reset's label.
static int RunResetStatement(DbSession *session, const char *text)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLRETURN rc = SQLAllocStmt(session->hdbc, &hstmt);

    if (!OdbcFailed(rc)) {
        Watch(session, hstmt, 1);
        rc = SQLExecDirect(hstmt, (SQLCHAR *)text, SQL_NTS);
        Watch(session, hstmt, 0);
    }
    if (OdbcFailed(rc))
        ReportOdbcErrors(session, hstmt, "Resetting Session");
    if (hstmt != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return OdbcFailed(rc) ? -1 : 0;
}

// DISCARD ALL refuses to run with other statements in one text, so the
// reset sends what the manual says it stands for, in one round trip; then
// a new random seed, as DISCARD ALL keeps the one a client set, and the
// settings the driver made at connect, which RESET ALL undoes. Each
// statement of the text costs the server and the driver a result of its
// own, so the functions share one SELECT.
static const char completeReset[] =
    "CLOSE ALL;SET SESSION AUTHORIZATION DEFAULT;RESET ALL;DEALLOCATE ALL;UNLISTEN *;"
    "DISCARD PLANS;DISCARD TEMP;DISCARD SEQUENCES;"
    "SELECT pg_advisory_unlock_all(), setseed(%.9f)%s%s";

// A server that closed the connection, or tells it something while it is
// idle (the reason it is about to close it, say), leaves bytes or the close
// on its socket: only then is the round trip needed, and its failure
// writes what it always wrote.
int DbCheckConnection(DbSession *session)
{
    session->connectionLost = 0;
    if (KnownDead(session))
        return -1;
    if (NetHeldQuiet(session->socket))
        return 0;
    return RunResetStatement(session, "SELECT 1");
}

int DbReset(DbSession *session)
{
    char text[sizeof completeReset + 16 + DB_SETTINGS_SIZE];
    uint32_t random;
    SQLRETURN rc;

    session->connectionLost = 0;
    if (KnownDead(session))
        return -1;
    // Sent only when a transaction is open; a client's BEGIN opens one that
    // the drivers track, autocommit or not.
    Watch(session, SQL_NULL_HSTMT, 1);
    rc = SQLEndTran(SQL_HANDLE_DBC, session->hdbc, SQL_ROLLBACK);
    Watch(session, SQL_NULL_HSTMT, 0);
    if (OdbcFailed(rc)) {
        ReportOdbcErrors(session, SQL_NULL_HSTMT, "Resetting Session");
        return -1;
    }
    if (session->resetKind == DB_RESET_ROLLBACK) {
        // A client's SET autocommit=0 is undone only by setting it again.
        rc = SQLSetConnectAttr(session->hdbc, SQL_ATTR_AUTOCOMMIT, (SQLPOINTER)SQL_AUTOCOMMIT_ON, 0);
        if (OdbcFailed(rc))
            ReportOdbcErrors(session, SQL_NULL_HSTMT, "Resetting Session");
        return OdbcFailed(rc) ? -1 : 0;
    }
    if (RandomBytes(&random, sizeof random) != 0)
        return -1;
    snprintf(text, sizeof text, completeReset, random / 2147483647.5 - 1.0,
             session->connectSettings[0] != '\0' ? ", " : "", session->connectSettings);
    return RunResetStatement(session, text);
}

// What a session shows of itself, a row a name, in the order of the names.
static const char sessionShows[] =
    "SELECT name, setting FROM pg_settings UNION ALL VALUES ('current_user', current_user::text), "
    "('session_user', session_user::text), ('current_schemas', current_schemas(false)::text) ORDER BY 1";

// Whether column `column` of the rows that `shows` are fetched at holds the
// same text in both, read whole in pieces; the first piece of each is kept
// in `first` to be shown.
static int SameColumn(const SQLHSTMT shows[2], SQLUSMALLINT column, char (*first)[64])
{
    char piece[2][512];
    SQLLEN length[2];
    SQLRETURN read[2];
    int same = 1;

    for (int turn = 0;; turn++) {
        for (int i = 0; i < 2; i++) {
            piece[i][0] = '\0';
            read[i] = SQLGetData(shows[i], column, SQL_C_CHAR, piece[i], sizeof piece[i], &length[i]);
            if (SQL_SUCCEEDED(read[i]) && length[i] == SQL_NULL_DATA)
                snprintf(piece[i], sizeof piece[i], "(null)");
            if (turn == 0)
                snprintf(first[i], sizeof first[i], "%s", piece[i]);
        }
        if (!SQL_SUCCEEDED(read[0]) || !SQL_SUCCEEDED(read[1]))
            return same && read[0] == read[1];
        if (strcmp(piece[0], piece[1]) != 0 || read[0] != read[1] ||
            (length[0] == SQL_NULL_DATA) != (length[1] == SQL_NULL_DATA))
            same = 0;
        if (read[0] == SQL_SUCCESS && read[1] == SQL_SUCCESS)
            return same;
    }
}

int DbCompareWithFresh(DbSession *kept, DbSession *fresh, const char *userName, const char *password,
                       const char *dataSource, char *reason, int reasonSize)
{
    SQLHSTMT shows[2] = {SQL_NULL_HSTMT, SQL_NULL_HSTMT};
    char name[2][128];
    char value[2][64];
    int status = -1;
    int more[2];

    fresh->apart = 1;
    if (DbConnect(fresh, userName, password, dataSource) != 0)
        return -1;
    if (SQL_SUCCEEDED(SQLAllocStmt(kept->hdbc, &shows[0])) && SQL_SUCCEEDED(SQLAllocStmt(fresh->hdbc, &shows[1]))) {
        Watch(kept, shows[0], 1);
        if (SQL_SUCCEEDED(SQLExecDirect(shows[0], (SQLCHAR *)sessionShows, SQL_NTS)) &&
            SQL_SUCCEEDED(SQLExecDirect(shows[1], (SQLCHAR *)sessionShows, SQL_NTS)))
            status = 0;
        while (status == 0) {
            more[0] = SQL_SUCCEEDED(SQLFetch(shows[0]));
            more[1] = SQL_SUCCEEDED(SQLFetch(shows[1]));
            name[0][0] = name[1][0] = '\0';
            if (more[0])
                SQLGetData(shows[0], 1, SQL_C_CHAR, name[0], sizeof name[0], NULL);
            if (more[1])
                SQLGetData(shows[1], 1, SQL_C_CHAR, name[1], sizeof name[1], NULL);
            if (more[0] != more[1] || strcmp(name[0], name[1]) != 0) {
                int keptOnly = more[0] && (!more[1] || strcmp(name[0], name[1]) < 0);
                snprintf(reason, (size_t)reasonSize, "%s is shown only %s", keptOnly ? name[0] : name[1],
                         keptOnly ? "after the reset" : "on a fresh session");
                status = 1;
            } else if (!more[0]) {
                break;
            } else if (!SameColumn(shows, 2, value)) {
                snprintf(reason, (size_t)reasonSize, "%s is \"%.60s\" after the reset, \"%.60s\" on a fresh session",
                         name[0], value[0], value[1]);
                status = 1;
            }
        }
        Watch(kept, shows[0], 0);
    }
    for (int i = 0; i < 2; i++)
        if (shows[i] != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, shows[i]);
    DbRelease(fresh);
    return status;
}

// Runs `query` on `fresh` with the `count` texts bound to its parameters,
// and reads the first column of the first row as a number: the number, 0
// when no row came, or -1 when the query failed (written).
static long QueryBound(DbSession *fresh, const char *query, const char *const *texts, int count)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLLEN lengths[2];
    char number[32] = "0";
    SQLRETURN rc = SQLAllocStmt(fresh->hdbc, &hstmt);

    for (int i = 0; i < count && !OdbcFailed(rc); i++) {
        lengths[i] = (SQLLEN)strlen(texts[i]);
        rc = SQLBindParameter(hstmt, (SQLUSMALLINT)(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                              (SQLULEN)(lengths[i] > 0 ? lengths[i] : 1), 0, (SQLPOINTER)texts[i], lengths[i],
                              &lengths[i]);
    }
    if (!OdbcFailed(rc))
        rc = SQLExecDirect(hstmt, (SQLCHAR *)query, SQL_NTS);
    if (OdbcFailed(rc))
        ReportOdbcErrors(fresh, hstmt, "Ending Statement");
    else if (!SQL_SUCCEEDED(SQLFetch(hstmt)) || !SQL_SUCCEEDED(SQLGetData(hstmt, 1, SQL_C_CHAR, number, sizeof number, NULL)))
        snprintf(number, sizeof number, "0");
    if (hstmt != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return OdbcFailed(rc) ? -1 : atol(number);
}

int DbEndOnServer(const DbSession *running, unsigned ranSeconds, DbSession *fresh, const char *userName,
                  const char *password, const char *dataSource)
{
    char query[300];
    long found = 0;

    if (running->backendId <= 0 || (running->dbms != DB_DBMS_POSTGRESQL && running->dbms != DB_DBMS_MYSQL) ||
        (running->dbms == DB_DBMS_POSTGRESQL && running->backendStart[0] == '\0'))
        return -1;
    fresh->apart = 1;
    if (OdbcFailed(DbConnect(fresh, userName, password, dataSource))) {
        ReportOdbcErrors(fresh, SQL_NULL_HSTMT, "Connecting");
        return -1;
    }
    // Only the backend the connection had, by its process and its start,
    // and only while it runs what it has run for as long as the statement
    // has: a backend that a pooler handed to another client since runs
    // something younger.
    if (running->dbms == DB_DBMS_POSTGRESQL) {
        const char *start = running->backendStart;
        // The offset keeps the conditions ahead of the termination.
        snprintf(query, sizeof query,
                 "SELECT count(*) FILTER (WHERE pg_terminate_backend(pid)) FROM (SELECT pid FROM pg_stat_activity "
                 "WHERE pid = %ld AND backend_start::text = ? AND state = 'active' "
                 "AND query_start <= now() - interval '%u seconds' OFFSET 0) AS running",
                 running->backendId, ranSeconds);
        found = QueryBound(fresh, query, &start, 1);
    } else {
        snprintf(query, sizeof query,
                 "SELECT count(*) FROM information_schema.PROCESSLIST WHERE ID = %ld AND COMMAND = 'Query' "
                 "AND TIME >= %u",
                 running->backendId, ranSeconds);
        found = QueryBound(fresh, query, NULL, 0);
        if (found > 0) {
            snprintf(query, sizeof query, "KILL CONNECTION %ld", running->backendId);
            found = QueryBound(fresh, query, NULL, 0) < 0 ? -1 : 1;
        }
    }
    DbRelease(fresh);
    return found < 0 ? -1 : found > 0;
}

int DbDriverManagerPools(void)
{
    char pooling[16] = "";

    SQLGetPrivateProfileString("ODBC", "Pooling", "", pooling, sizeof pooling, "odbcinst.ini");
    Lowercase(pooling);
    return strcmp(pooling, "yes") == 0 || strcmp(pooling, "1") == 0 || strcmp(pooling, "true") == 0 ||
           strcmp(pooling, "on") == 0;
}
