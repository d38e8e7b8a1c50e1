// Reporting of failed ODBC calls: the failure test and the console form of
// a failure with its diagnostic records.
#include "db.h"

#include "platform.h"

#include <stdio.h>
#include <string.h>

int OdbcFailed(int code)
{
    return code == SQL_ERROR || code == SQL_INVALID_HANDLE || code == SQL_STILL_EXECUTING;
}

// A connection that went away: any SQLSTATE of class 08, or the codes the
// drivers give for it whatever the SQLSTATE: psqlODBC's communication
// error (35, also under 57P01 when the server ends the session), and
// MariaDB's lost connection (2013) and server gone away (2006). A
// rejected statement gives none of them.
static int TellsOfLostConnection(const SQLCHAR *state, SQLINTEGER nativeError)
{
    return (state[0] == '0' && state[1] == '8') || nativeError == 35 || nativeError == 2013 || nativeError == 2006;
}

void ReportOdbcErrors(DbSession *session, SQLHSTMT hstmt, const char *label)
{
    SQLCHAR state[6];
    SQLINTEGER nativeError;
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH + 1];
    SQLSMALLINT length = 0;
    SQLRETURN rc;
    char native[16];

    // Each call takes the next pending record, so the loop prints every
    // record once, in the driver's order, and stops at SQL_NO_DATA.
    rc = SQLError(session->henv, session->hdbc, hstmt, state, &nativeError, message, sizeof message, &length);
    ConsoleLine("ERROR: %s\n", label);
    session->lastState[0] = '\0';
    while (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
        int shown = length;
        if (shown < 0)
            shown = 0;
        if (shown > SQL_MAX_MESSAGE_LENGTH)
            shown = SQL_MAX_MESSAGE_LENGTH;
        message[SQL_MAX_MESSAGE_LENGTH] = '\0';
        state[sizeof state - 1] = '\0';
        if (session->lastState[0] == '\0')
            memcpy(session->lastState, state, sizeof session->lastState);
        snprintf(native, sizeof native, "%ld", (long)nativeError);
        ConsoleField fields[] = {{"label", label, (int)strlen(label)},
                                 {"sqlstate", (const char *)state, (int)strlen((const char *)state)},
                                 {"native", native, (int)strlen(native)}};
        ConsoleText("diagnostic", "  ", (const char *)message, (int)strnlen((const char *)message, (size_t)shown),
                    fields, 3);
        if (TellsOfLostConnection(state, nativeError))
            session->connectionLost = 1;
        length = 0;
        rc = SQLError(session->henv, session->hdbc, hstmt, state, &nativeError, message, sizeof message, &length);
    }
}
