// Reporting of failed ODBC calls: the failure test and the console form of
// a failure with its diagnostic records.
#include "db.h"

#include "platform.h"

#include <string.h>

int OdbcFailed(int code)
{
    return code == SQL_ERROR || code == SQL_INVALID_HANDLE || code == SQL_STILL_EXECUTING;
}

void ReportOdbcErrors(SQLHSTMT hstmt, const char *label)
{
    SQLCHAR state[6];
    SQLINTEGER nativeError;
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH + 1];
    SQLSMALLINT length = 0;
    SQLRETURN rc;

    // Each call takes the next pending record, so the loop prints every
    // record once, in the driver's order, and stops at SQL_NO_DATA.
    rc = SQLError(dbSession.henv, dbSession.hdbc, hstmt, state, &nativeError, message, sizeof message, &length);
    ConsoleLine("ERROR: %s\n", label);
    while (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
        int shown = length;
        if (shown < 0)
            shown = 0;
        if (shown > SQL_MAX_MESSAGE_LENGTH)
            shown = SQL_MAX_MESSAGE_LENGTH;
        message[SQL_MAX_MESSAGE_LENGTH] = '\0';
        ConsoleText("  ", (const char *)message, (int)strnlen((const char *)message, (size_t)shown));
        length = 0;
        rc = SQLError(dbSession.henv, dbSession.hdbc, hstmt, state, &nativeError, message, sizeof message, &length);
    }
}
