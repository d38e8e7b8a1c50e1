// The seam's ODBC functions: definitions in the test program take the place
// of the driver manager's for the service's calls, and pass on to the real
// ones (found with dlsym) unless the armed fault names them.
#include "odbc_seam.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <string.h>

static SeamFault armed;
static bool rolledBack;
static std::vector<std::string> pendingRecords;
static std::string calls;
static int statementsHeld;

void ArmSeam(const SeamFault &fault)
{
    armed = fault;
    rolledBack = false;
}

void DisarmSeam()
{
    armed = SeamFault();
    pendingRecords.clear();
}

std::string SeamCalls()
{
    return calls;
}

int SeamStatementsHeld()
{
    return statementsHeld;
}

// Notes the call and what it was given; true when it must fail instead of
// running.
static bool Fails(const std::string &name, const std::string &given = "")
{
    if (name == "SQLAllocEnv")
        calls.clear();
    calls += name + given + "\n";
    if (armed.call.empty() || armed.call != name)
        return false;
    if (armed.untilRollback && rolledBack) {
        rolledBack = false;
        return false;
    }
    if (!armed.untilRollback)
        armed.call.clear();
    pendingRecords = armed.records;
    return true;
}

template <typename Function> static Function Real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

#define PASS(name, type, ...) Real<SQLRETURN(*) type>(name)(__VA_ARGS__)

extern "C" {

SQLRETURN SQL_API SQLAllocEnv(SQLHENV *henv)
{
    if (Fails("SQLAllocEnv")) {
        *henv = SQL_NULL_HENV;
        return (SQLRETURN)armed.returnCode;
    }
    return PASS("SQLAllocEnv", (SQLHENV *), henv);
}

SQLRETURN SQL_API SQLAllocConnect(SQLHENV henv, SQLHDBC *hdbc)
{
    if (Fails("SQLAllocConnect")) {
        *hdbc = SQL_NULL_HDBC;
        return (SQLRETURN)armed.returnCode;
    }
    return PASS("SQLAllocConnect", (SQLHENV, SQLHDBC *), henv, hdbc);
}

SQLRETURN SQL_API SQLConnect(SQLHDBC hdbc, SQLCHAR *dsn, SQLSMALLINT dsnLength, SQLCHAR *user,
                             SQLSMALLINT userLength, SQLCHAR *password, SQLSMALLINT passwordLength)
{
    if (Fails("SQLConnect", " " + std::string((const char *)dsn)))
        return (SQLRETURN)armed.returnCode;
    return PASS("SQLConnect", (SQLHDBC, SQLCHAR *, SQLSMALLINT, SQLCHAR *, SQLSMALLINT, SQLCHAR *, SQLSMALLINT),
                hdbc, dsn, dsnLength, user, userLength, password, passwordLength);
}

SQLRETURN SQL_API SQLSetConnectOption(SQLHDBC hdbc, SQLUSMALLINT option, SQLULEN value)
{
    if (Fails("SQLSetConnectOption", " " + std::to_string(option) + " " + std::to_string(value)))
        return (SQLRETURN)armed.returnCode;
    return PASS("SQLSetConnectOption", (SQLHDBC, SQLUSMALLINT, SQLULEN), hdbc, option, value);
}

SQLRETURN SQL_API SQLAllocStmt(SQLHDBC hdbc, SQLHSTMT *hstmt)
{
    if (Fails("SQLAllocStmt"))
        return (SQLRETURN)armed.returnCode;
    SQLRETURN rc = PASS("SQLAllocStmt", (SQLHDBC, SQLHSTMT *), hdbc, hstmt);
    statementsHeld += SQL_SUCCEEDED(rc);
    return rc;
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT hstmt, SQLCHAR *text, SQLINTEGER length)
{
    if (Fails("SQLExecDirect", " " + std::string((const char *)text)))
        return (SQLRETURN)armed.returnCode;
    return PASS("SQLExecDirect", (SQLHSTMT, SQLCHAR *, SQLINTEGER), hstmt, text, length);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC hdbc)
{
    if (Fails("SQLDisconnect"))
        return (SQLRETURN)armed.returnCode;
    return PASS("SQLDisconnect", (SQLHDBC), hdbc);
}

SQLRETURN SQL_API SQLTransact(SQLHENV henv, SQLHDBC hdbc, SQLUSMALLINT completion)
{
    if (completion == SQL_ROLLBACK)
        rolledBack = true;
    if (Fails("SQLTransact", " " + std::to_string(completion)))
        return (SQLRETURN)armed.returnCode;
    return PASS("SQLTransact", (SQLHENV, SQLHDBC, SQLUSMALLINT), henv, hdbc, completion);
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle)
{
    const char *kind = type == SQL_HANDLE_ENV ? "ENV" : type == SQL_HANDLE_DBC ? "DBC" : "STMT";
    if (Fails(std::string("SQLFreeHandle ") + kind))
        return (SQLRETURN)armed.returnCode;
    SQLRETURN rc = PASS("SQLFreeHandle", (SQLSMALLINT, SQLHANDLE), type, handle);
    statementsHeld -= type == SQL_HANDLE_STMT && SQL_SUCCEEDED(rc);
    // Records belong to their handle and go with it.
    if (type != SQL_HANDLE_STMT)
        pendingRecords.clear();
    return rc;
}

// Hands out the pending records first: the message cut to the buffer, the
// length the whole message has, as ODBC reports it. A record that begins
// "STATE/native/" carries that SQLSTATE and native code.
static bool TakeRecord(SQLCHAR *state, SQLINTEGER *nativeError, SQLCHAR *message, SQLSMALLINT capacity,
                       SQLSMALLINT *length)
{
    if (pendingRecords.empty())
        return false;
    std::string record = pendingRecords.front();
    pendingRecords.erase(pendingRecords.begin());
    strcpy((char *)state, "S1000");
    if (nativeError != NULL)
        *nativeError = 1;
    if (record.size() > 6 && record[5] == '/' && record.find('/', 6) != std::string::npos) {
        snprintf((char *)state, 6, "%s", record.c_str());
        if (nativeError != NULL)
            *nativeError = atoi(record.c_str() + 6);
        record = record.substr(record.find('/', 6) + 1);
    }
    snprintf((char *)message, (size_t)capacity, "%s", record.c_str());
    if (length != NULL)
        *length = (SQLSMALLINT)record.size();
    return true;
}

SQLRETURN SQL_API SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR *state, SQLINTEGER *nativeError,
                           SQLCHAR *message, SQLSMALLINT capacity, SQLSMALLINT *length)
{
    if (TakeRecord(state, nativeError, message, capacity, length))
        return SQL_SUCCESS;
    return PASS("SQLError", (SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR *, SQLINTEGER *, SQLCHAR *, SQLSMALLINT, SQLSMALLINT *),
                henv, hdbc, hstmt, state, nativeError, message, capacity, length);
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number, SQLCHAR *state,
                                SQLINTEGER *nativeError, SQLCHAR *message, SQLSMALLINT capacity, SQLSMALLINT *length)
{
    if (TakeRecord(state, nativeError, message, capacity, length))
        return SQL_SUCCESS;
    return PASS("SQLGetDiagRec", (SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR *, SQLINTEGER *, SQLCHAR *, SQLSMALLINT,
                                  SQLSMALLINT *),
                type, handle, number, state, nativeError, message, capacity, length);
}

}  // extern "C"
