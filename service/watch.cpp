// Statements under watch ("Statement Timeout"): a statement that runs past
// the limit is cancelled through ODBC from outside its session, and when
// the cancel has not ended it 5 s later, its connection is closed under it.
// No driver's own query time-out serves: psqlODBC makes it a session
// setting that a client's statement can change and the reset undoes,
// MariaDB's driver refuses it and the SQLite driver ignores it. SQLCancel
// from another thread interrupts all three, but MariaDB's blocks for good
// when the server does not answer, so each session has a thread of its own
// to cancel with, and one more thread keeps the time and closes.
#include "sessions.h"
#include "settings.h"

#include "db.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string.h>

// How long a cancel has to end a statement before its connection is closed.
#define CANCEL_GRACE_MS 5000
// How long a statement that ended waits for a cancel still in the driver
// before it leaves the handles to it.
#define CANCEL_WAIT_MS 2000

// One session's watch, under watchLock.
typedef struct Watch {
    int claimed;
    SQLHSTMT running;    // the statement running, or null
    int64_t cancelAt;    // when it runs past the limit
    int cancelDue;       // it ran past the limit: its canceller's turn
    int cancelSent;      // its canceller has taken it
    SQLHSTMT cancelling; // the statement SQLCancel is running on, or null
    int closeTried;
    int closed;          // its connection was closed under it
    uint16_t localPort;
    uint16_t serverPort;
    // Handles a statement's session left to its canceller because SQLCancel
    // still ran on them: the canceller frees them once it returns.
    DbSession orphan;
    SQLHSTMT orphanStatement;
} Watch;

static Watch watches[MAX_DATABASE_SESSIONS];
static std::mutex *watchLock;
static std::condition_variable *watchChanged;
static std::atomic<int> cancellersStarted;
static thread_local Watch *ownWatch;

static std::chrono::steady_clock::time_point In(int64_t ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

// Keeps the time for every watch: marks a statement due for its cancel,
// and closes the connection of one its cancel did not end. Closing only
// looks the socket up and shuts it down, so it never blocks.
static void RunTimer(void)
{
    std::unique_lock<std::mutex> hold(*watchLock);
    for (;;) {
        int64_t now = ClockMs();
        int64_t next = now + 60000;
        for (Watch &watch : watches) {
            if (watch.running == SQL_NULL_HSTMT)
                continue;
            if (!watch.cancelDue && now >= watch.cancelAt) {
                watch.cancelDue = 1;
                watchChanged->notify_all();
            }
            if (!watch.cancelDue && watch.cancelAt < next)
                next = watch.cancelAt;
            if (watch.cancelDue && !watch.closeTried && now >= watch.cancelAt + CANCEL_GRACE_MS) {
                watch.closeTried = 1;
                watch.closed = NetAbortConnection(watch.localPort, watch.serverPort) == 0;
            }
            if (watch.cancelDue && !watch.closeTried && watch.cancelAt + CANCEL_GRACE_MS < next)
                next = watch.cancelAt + CANCEL_GRACE_MS;
        }
        watchChanged->wait_until(hold, In(next - now));
    }
}

// One session's canceller: it alone calls SQLCancel for its watch, outside
// the lock, so that a cancel that never returns holds nothing else.
static void RunCanceller(void)
{
    Watch *watch = &watches[cancellersStarted++];
    std::unique_lock<std::mutex> hold(*watchLock);
    for (;;) {
        watchChanged->wait(hold, [watch] {
            return watch->running != SQL_NULL_HSTMT && watch->cancelDue && !watch->cancelSent;
        });
        SQLHSTMT hstmt = watch->running;
        watch->cancelSent = 1;
        watch->cancelling = hstmt;
        hold.unlock();
        SQLCancel(hstmt);
        hold.lock();
        watch->cancelling = SQL_NULL_HSTMT;
        DbSession orphan = watch->orphan;
        SQLHSTMT orphanStatement = watch->orphanStatement;
        memset(&watch->orphan, 0, sizeof watch->orphan);
        watch->orphanStatement = SQL_NULL_HSTMT;
        watchChanged->notify_all();
        if (orphan.hdbc != SQL_NULL_HDBC) {
            hold.unlock();
            SQLFreeHandle(SQL_HANDLE_STMT, orphanStatement);
            DbRelease(&orphan);
            hold.lock();
        }
    }
}

int StartStatementWatch(int sessions)
{
    watchLock = new std::mutex();
    watchChanged = new std::condition_variable();
    if (ThreadStart(RunTimer) != 0)
        return -1;
    for (int i = 0; i < sessions; i++)
        if (ThreadStart(RunCanceller) != 0)
            return -1;
    return 0;
}

static Watch *OwnWatch(void)
{
    if (ownWatch == NULL) {
        std::lock_guard<std::mutex> hold(*watchLock);
        for (Watch &watch : watches)
            if (!watch.claimed) {
                watch.claimed = 1;
                ownWatch = &watch;
                break;
            }
    }
    return ownWatch;
}

int ExecuteWatched(DbSession *session, const char *statement)
{
    Watch *watch = OwnWatch();
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    int rc = DbAllocStatement(session, &hstmt);
    int due;
    int closed;
    int left = 0;

    if (OdbcFailed(rc))
        return rc;
    {
        std::lock_guard<std::mutex> hold(*watchLock);
        watch->running = hstmt;
        watch->cancelAt = ClockMs() + 1000 * (int64_t)serviceSettings.statementTimeout;
        watch->cancelDue = watch->cancelSent = watch->closeTried = watch->closed = 0;
        watch->localPort = session->localPort;
        watch->serverPort = session->serverPort;
    }
    watchChanged->notify_all();
    rc = DbRunStatement(session, hstmt, statement);
    {
        std::unique_lock<std::mutex> hold(*watchLock);
        watch->running = SQL_NULL_HSTMT;
        watchChanged->wait_until(hold, In(CANCEL_WAIT_MS), [watch, hstmt] { return watch->cancelling != hstmt; });
        // A cancel that never returns keeps the handles it runs on: they are
        // never freed, and the session goes on with a fresh connection.
        if (watch->cancelling == hstmt && watch->orphan.hdbc == SQL_NULL_HDBC) {
            watch->orphan = *session;
            watch->orphanStatement = hstmt;
        }
        left = watch->cancelling == hstmt;
        due = watch->cancelDue;
        closed = watch->closed;
    }
    watchChanged->notify_all();
    if (left) {
        session->hdbc = SQL_NULL_HDBC;
        session->henv = SQL_NULL_HENV;
    } else {
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    }
    if (closed) {
        ConsoleLine("Statement ran past %u s and its cancel, connection closed.\n",
                    (unsigned)serviceSettings.statementTimeout);
        session->connectionLost = 1;
        return SQL_ERROR;
    }
    if (due)
        ConsoleLine("Statement ran past %u s, cancelled.\n", (unsigned)serviceSettings.statementTimeout);
    return rc;
}
