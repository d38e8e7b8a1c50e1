// The statement watch ("Statement Timeout", and the limit on the service's
// own calls on a kept connection): a timer that marks cancels due and cuts
// connections, and per session a canceller that sends the cancel and ends a
// statement on the server. No driver's own query time-out serves: psqlODBC
// makes it a session setting that a client's statement can change and the
// reset undoes, MariaDB's driver refuses it and the SQLite driver ignores
// it. SQLCancel from another thread interrupts all three, but MariaDB's
// blocks for good when the server does not answer, so each session has a
// thread of its own to cancel with, and the timer, which never calls the
// driver, cuts. What each may do and when is the session's life
// (session_life.cpp).
#include "session_life.h"
#include "sessions.h"
#include "settings.h"

#include "db.h"

#include <atomic>
#include <string.h>

static std::atomic<int> cancellersStarted;

static void RunTimer(void)
{
    for (;;)
        LifeTimerWait(LifeTimerTurn(ClockMs()));
}

static void RunCanceller(void)
{
    int own = cancellersStarted++;
    DbSession identity;
    char peer[24];

    for (;;) {
        SQLHSTMT hstmt = SQL_NULL_HSTMT;
        DbSession orphan;
        SQLHSTMT orphanStatement;
        int result = 0;
        int action = LifeAwaitCancel(own, &hstmt, &identity, peer);

        if (action == CANCEL_SEND) {
            SQLCancel(hstmt);
        } else {
            DbSession fresh;
            memset(&fresh, 0, sizeof fresh);
            fresh.loginTimeout = serviceSettings.loginTimeout;
            fresh.mariaDbDriver = identity.mariaDbDriver;
            ConsoleSetClient(peer);
            result = DbEndOnServer(&identity, (unsigned)serviceSettings.statementTimeout, &fresh,
                                   serviceSettings.userName, serviceSettings.password, serviceSettings.dataSource);
        }
        // A statement that still runs after all this holds its session: it
        // is said here, as its session cannot say it.
        if (LifeCancelDone(own, action, result, &orphan, &orphanStatement))
            ConsoleLine("Statement ran past %u s and its cancel, not ended in the server.\n",
                        (unsigned)serviceSettings.statementTimeout);
        ConsoleSetClient("");
        if (orphan.hdbc != SQL_NULL_HDBC) {
            SQLFreeHandle(SQL_HANDLE_STMT, orphanStatement);
            DbRelease(&orphan);
            LifeCancelDone(own, 0, 0, &orphan, &orphanStatement);
        }
    }
}

int StartStatementWatch(int sessions)
{
    if (ThreadStart(RunTimer) != 0)
        return -1;
    for (int i = 0; i < sessions; i++)
        if (ThreadStart(RunCanceller) != 0)
            return -1;
    return 0;
}

int ExecuteWatched(DbSession *session, const char *statement)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    unsigned limit = (unsigned)serviceSettings.statementTimeout;
    int rc = DbAllocStatement(session, &hstmt);
    LifeEnding ending;

    if (OdbcFailed(rc))
        return rc;
    rc = DbRunStatement(session, hstmt, statement);
    // A cancel that never returns keeps the handles it runs on: the
    // canceller frees them, and the session goes on with a fresh connection.
    if (session->hdbc != SQL_NULL_HDBC)
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    ending = LifeStatementEnding();
    if (ending.cut || ending.endedOnServer) {
        if (ending.cut)
            ConsoleLine("Statement ran past %u s and its cancel, connection closed.\n", limit);
        else
            ConsoleLine("Statement ran past %u s and its cancel, ended in the server.\n", limit);
        if (ending.endFailed)
            ConsoleLine("Statement ran past %u s and its cancel, not ended in the server.\n", limit);
        session->connectionLost = 1;
        return SQL_ERROR;
    }
    if (ending.cancelSent)
        ConsoleLine("Statement ran past %u s, cancelled.\n", limit);
    if (ending.endFailed)
        ConsoleLine("Statement ran past %u s and its cancel, not ended in the server.\n", limit);
    return rc;
}
