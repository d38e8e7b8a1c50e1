// The benchmark's own ODBC connection, through the same driver manager and
// driver as the service: tables, row counts, and looks for a statement's row.
#include "bench.h"

#include <stdio.h>
#include <string.h>

static void WriteDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, const char *what)
{
    SQLCHAR state[6];
    SQLCHAR message[512];
    SQLINTEGER native;
    SQLSMALLINT length;
    SQLSMALLINT record;

    fprintf(stderr, "varn-bench: %s failed\n", what);
    for (record = 1; record <= 5; record++) {
        if (!SQL_SUCCEEDED(SQLGetDiagRec(handleType, handle, record, state, &native, message, sizeof message,
                                         &length)))
            break;
        fprintf(stderr, "  %s %s\n", (const char *)state, (const char *)message);
    }
}

int HelperConnect(const BenchSource *source, HelperLink *link)
{
    SQLRETURN rc;

    memset(link, 0, sizeof *link);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &link->henv)))
        return -1;
    SQLSetEnvAttr(link->henv, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, link->henv, &link->hdbc))) {
        SQLFreeHandle(SQL_HANDLE_ENV, link->henv);
        link->henv = SQL_NULL_HENV;
        return -1;
    }
    rc = SQLConnect(link->hdbc, (SQLCHAR *)source->dataSource, SQL_NTS, (SQLCHAR *)source->userName, SQL_NTS,
                    (SQLCHAR *)source->password, SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) {
        WriteDiagnostics(SQL_HANDLE_DBC, link->hdbc, source->dataSource);
        SQLFreeHandle(SQL_HANDLE_DBC, link->hdbc);
        SQLFreeHandle(SQL_HANDLE_ENV, link->henv);
        memset(link, 0, sizeof *link);
        return -1;
    }
    SQLSetConnectAttr(link->hdbc, SQL_ATTR_AUTOCOMMIT, (SQLPOINTER)SQL_AUTOCOMMIT_ON, 0);
    return 0;
}

void HelperDisconnect(HelperLink *link)
{
    if (link->probe != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, link->probe);
    if (link->hdbc != SQL_NULL_HDBC) {
        SQLDisconnect(link->hdbc);
        SQLFreeHandle(SQL_HANDLE_DBC, link->hdbc);
    }
    if (link->henv != SQL_NULL_HENV)
        SQLFreeHandle(SQL_HANDLE_ENV, link->henv);
    memset(link, 0, sizeof *link);
}

int HelperRun(HelperLink *link, const char *sql)
{
    SQLHSTMT hstmt;
    SQLRETURN rc;

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link->hdbc, &hstmt)))
        return -1;
    rc = SQLExecDirect(hstmt, (SQLCHAR *)sql, SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        WriteDiagnostics(SQL_HANDLE_STMT, hstmt, sql);
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
        return -1;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return 0;
}

int HelperQueryText(HelperLink *link, const char *sql, char *text, int textSize)
{
    SQLHSTMT hstmt;
    SQLRETURN rc;
    SQLLEN length = 0;
    int found = -1;

    text[0] = '\0';
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link->hdbc, &hstmt)))
        return -1;
    rc = SQLExecDirect(hstmt, (SQLCHAR *)sql, SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) {
        WriteDiagnostics(SQL_HANDLE_STMT, hstmt, sql);
    } else {
        rc = SQLFetch(hstmt);
        if (rc == SQL_NO_DATA) {
            found = 0;
        } else if (SQL_SUCCEEDED(rc) &&
                   SQL_SUCCEEDED(SQLGetData(hstmt, 1, SQL_C_CHAR, text, textSize, &length))) {
            if (length == SQL_NULL_DATA)
                text[0] = '\0';
            found = 1;
        } else {
            WriteDiagnostics(SQL_HANDLE_STMT, hstmt, sql);
        }
    }
    SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return found;
}

int HelperQueryLong(HelperLink *link, const char *sql, long *value)
{
    char text[64];
    int found = HelperQueryText(link, sql, text, sizeof text);
    if (found == 1 && sscanf(text, "%ld", value) != 1)
        return -1;
    return found;
}

int PrepareTables(HelperLink *link)
{
    static const char *const statements[] = {
        "DROP TABLE IF EXISTS varn_bench_rows",
        "CREATE TABLE varn_bench_rows(run_id INTEGER NOT NULL, seq INTEGER NOT NULL, note VARCHAR(100),"
        " PRIMARY KEY(run_id, seq))",
        "DROP TABLE IF EXISTS varn_bench_probe",
        "CREATE TABLE varn_bench_probe(tag VARCHAR(20), session_id BIGINT, val VARCHAR(100))",
    };
    for (const char *sql : statements)
        if (HelperRun(link, sql) != 0)
            return -1;
    return 0;
}

long CountRows(HelperLink *link, int runId)
{
    char sql[128];
    long count = -1;
    snprintf(sql, sizeof sql, "SELECT COUNT(*) FROM varn_bench_rows WHERE run_id = %d", runId);
    if (HelperQueryLong(link, sql, &count) != 1)
        return -1;
    return count;
}

// The look-up is prepared once with bound parameters, so that each look
// costs the database as little as it can.
int IsRowVisible(HelperLink *link, int runId, long seq)
{
    SQLRETURN rc;
    int visible;

    if (link->probe == SQL_NULL_HSTMT) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link->hdbc, &link->probe)))
            return -1;
        if (!SQL_SUCCEEDED(SQLPrepare(link->probe,
                                      (SQLCHAR *)"SELECT seq FROM varn_bench_rows WHERE run_id = ? AND seq = ?",
                                      SQL_NTS)) ||
            !SQL_SUCCEEDED(SQLBindParameter(link->probe, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                            &link->probeRun, 0, NULL)) ||
            !SQL_SUCCEEDED(SQLBindParameter(link->probe, 2, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                            &link->probeSeq, 0, NULL))) {
            WriteDiagnostics(SQL_HANDLE_STMT, link->probe, "preparing the row look-up");
            SQLFreeHandle(SQL_HANDLE_STMT, link->probe);
            link->probe = SQL_NULL_HSTMT;
            return -1;
        }
    }
    link->probeRun = (SQLINTEGER)runId;
    link->probeSeq = (SQLINTEGER)seq;
    rc = SQLExecute(link->probe);
    if (!SQL_SUCCEEDED(rc)) {
        WriteDiagnostics(SQL_HANDLE_STMT, link->probe, "the row look-up");
        return -1;
    }
    rc = SQLFetch(link->probe);
    visible = SQL_SUCCEEDED(rc) ? 1 : rc == SQL_NO_DATA ? 0 : -1;
    SQLFreeStmt(link->probe, SQL_CLOSE);
    return visible;
}

void FormatInsert(char text[BENCH_STATEMENT_BYTES + 1], int runId, long seq)
{
    static const char suffix[] = "');";
    int length = snprintf(text, BENCH_STATEMENT_BYTES + 1,
                          "INSERT INTO varn_bench_rows(run_id, seq, note) VALUES(%d, %ld, '", runId, seq);
    int padTo = BENCH_STATEMENT_BYTES - (int)(sizeof suffix - 1);
    while (length < padTo)
        text[length++] = 'x';
    memcpy(text + padTo, suffix, sizeof suffix);
}
