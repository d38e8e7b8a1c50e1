// The seam's ODBC functions: definitions in the test program take the place
// of the driver manager's for the service's own calls, and pass through to
// the real ones (found with dlsym) unless a failure is armed.
#include "odbc_seam.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <string.h>

static std::string armedCall;
static std::vector<std::string> armedRecords;

void ArmSeamFailure(const std::string &call, const std::vector<std::string> &records)
{
    armedCall = call;
    armedRecords = records;
}

void DisarmSeam()
{
    armedCall.clear();
    armedRecords.clear();
}

static bool TakeArmed(const char *call)
{
    if (armedCall != call)
        return false;
    armedCall.clear();
    return true;
}

template <typename Function> static Function Real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

extern "C" {

SQLRETURN SQL_API SQLAllocEnv(SQLHENV *henv)
{
    if (TakeArmed("SQLAllocEnv")) {
        *henv = SQL_NULL_HENV;
        return SQL_ERROR;
    }
    return Real<SQLRETURN (*)(SQLHENV *)>("SQLAllocEnv")(henv);
}

SQLRETURN SQL_API SQLAllocConnect(SQLHENV henv, SQLHDBC *hdbc)
{
    if (TakeArmed("SQLAllocConnect")) {
        *hdbc = SQL_NULL_HDBC;
        return SQL_ERROR;
    }
    return Real<SQLRETURN (*)(SQLHENV, SQLHDBC *)>("SQLAllocConnect")(henv, hdbc);
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle)
{
    if ((type == SQL_HANDLE_DBC && TakeArmed("FreeHandle DBC")) ||
        (type == SQL_HANDLE_ENV && TakeArmed("FreeHandle ENV")))
        return SQL_ERROR;
    return Real<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE)>("SQLFreeHandle")(type, handle);
}

SQLRETURN SQL_API SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR *state, SQLINTEGER *nativeError,
                           SQLCHAR *message, SQLSMALLINT capacity, SQLSMALLINT *length)
{
    if (!armedRecords.empty()) {
        std::string record = armedRecords.front();
        armedRecords.erase(armedRecords.begin());
        strcpy((char *)state, "S1000");
        *nativeError = 0;
        snprintf((char *)message, (size_t)capacity, "%s", record.c_str());
        *length = (SQLSMALLINT)record.size();
        return SQL_SUCCESS;
    }
    return Real<SQLRETURN (*)(SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR *, SQLINTEGER *, SQLCHAR *, SQLSMALLINT,
                              SQLSMALLINT *)>("SQLError")(henv, hdbc, hstmt, state, nativeError, message,
                                                          capacity, length);
}

}  // extern "C"
