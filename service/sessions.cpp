// The database sessions: each runs on a thread of its own, so that a
// connect that hangs or a statement that runs long never holds the serving
// loop. The loop hands statements over through the sessions' lives
// (session_life.cpp) and takes what became of them from a queue of
// finished jobs; nothing else is shared but the console.
#include "sessions.h"
#include "session_life.h"
#include "settings.h"

#include "db.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string.h>
#include <thread>

// The finished jobs. Each session hands back at most one job and one note
// at a time, so a ring of twice the sessions never fills.
#define QUEUE_SIZE (2 * MAX_DATABASE_SESSIONS)
typedef struct JobQueue {
    std::mutex lock;
    Job jobs[QUEUE_SIZE];
    int head;
    int count;
} JobQueue;

// Made once and never destroyed: a lock destroyed at exit while a session
// still uses it would end the exit badly.
static JobQueue *finished;
// The session a thread runs; -1 on any other thread.
static thread_local int ownSession = -1;
static int mariaDbDriver;
static int watched;
// Every connection the driver manager hands out may be one it pooled.
static int driverManagerPools;

// Whether a kept connection's reset gives what a fresh session shows: not
// yet known, being proven by one session, proven (and how many kept
// statements ago), or refused (fresh sessions from then on). What the data
// source's first connection had set at connect, which every reset makes
// again (a pooled connection handed out later may carry what a statement
// set since), is written once. Both are the data source's, under one lock.
#define PROOF_UNKNOWN 0
#define PROOF_RUNNING 1
#define PROOF_MADE 2
#define PROOF_REFUSED 3
// Kept statements after which the reset is proven again.
#define PROOF_EVERY 1000
static std::mutex *proofLock;
static char connectSettings[DB_SETTINGS_SIZE];
static int connectSettingsKnown;
static int resetProof;
static int provingAgain;
static long keptSinceProof;
static int fallbackSaid;

// Says once that connections are reached through the server, not by their
// socket: behind a proxy, over a Unix socket, or on Windows.
static void SayFallbackOnce(void)
{
    std::lock_guard<std::mutex> hold(*proofLock);
    if (fallbackSaid)
        return;
    fallbackSaid = 1;
    ConsoleLine("Connections to %s are checked and ended through the server: their sockets were not found\n",
                serviceSettings.dataSource);
}

// A fresh session: connected, and when the driver manager pools, brought
// back to a fresh session's state as far as the database allows; a pooled
// connection that is gone or whose reset fails is let go for another, once.
// Returns 0, or -1 when the statement cannot reach the database.
static int OpenSession(DbSession *session)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        if (OdbcFailed(DbConnect(session, serviceSettings.userName, serviceSettings.password,
                                 serviceSettings.dataSource))) {
            ReportOdbcErrors(session, SQL_NULL_HSTMT, "Connecting");
            return -1;
        }
        session->resetKind =
            serviceSettings.reuseSessions || driverManagerPools ? DbResetKind(session) : DB_RESET_NONE;
        // A kept connection's socket is looked at before each statement;
        // a watched one's is cut under a statement that outlives its cancel,
        // which is then ended on the server.
        int identity = serviceSettings.statementTimeout > 0 ||
                       (serviceSettings.reuseSessions && session->resetKind == DB_RESET_COMPLETE);
        if (session->resetKind < 0 || (identity && DbLearnIdentity(session) != 0)) {
            DbRelease(session);
            continue;
        }
        if (identity && session->socket == NET_INVALID_SOCKET &&
            (session->dbms == DB_DBMS_POSTGRESQL || session->dbms == DB_DBMS_MYSQL))
            SayFallbackOnce();
        if (session->resetKind == DB_RESET_COMPLETE) {
            std::lock_guard<std::mutex> hold(*proofLock);
            if (!connectSettingsKnown)
                memcpy(connectSettings, session->connectSettings, sizeof connectSettings);
            connectSettingsKnown = 1;
            memcpy(session->connectSettings, connectSettings, sizeof connectSettings);
        }
        if (!driverManagerPools || session->resetKind == DB_RESET_NONE || DbReset(session) == 0)
            return 0;
        DbRelease(session);
    }
    return -1;
}

// Whether `session`, just reset, may keep its connection. The first one to
// get here compares it with a fresh session, and so does the first after
// every PROOF_EVERY kept statements; while the first proof runs, the
// others keep nothing, while a later one runs they go on as proven.
static int ResetProven(DbSession *session)
{
    DbSession fresh;
    char reason[256];
    int compared;

    {
        std::lock_guard<std::mutex> hold(*proofLock);
        if (resetProof == PROOF_MADE && (provingAgain || ++keptSinceProof < PROOF_EVERY))
            return 1;
        if (resetProof == PROOF_REFUSED || resetProof == PROOF_RUNNING)
            return 0;
        provingAgain = resetProof == PROOF_MADE;
        if (!provingAgain)
            resetProof = PROOF_RUNNING;
    }
    memset(&fresh, 0, sizeof fresh);
    fresh.loginTimeout = session->loginTimeout;
    fresh.mariaDbDriver = session->mariaDbDriver;
    compared = DbCompareWithFresh(session, &fresh, serviceSettings.userName, serviceSettings.password,
                                  serviceSettings.dataSource, reason, sizeof reason);
    if (compared == 1)
        ConsoleLine("Reuse Sessions not used for %s: %s\n", serviceSettings.dataSource, reason);
    std::lock_guard<std::mutex> hold(*proofLock);
    keptSinceProof = 0;
    provingAgain = 0;
    // A proof that could not be made leaves the last one standing.
    if (compared == 0)
        resetProof = PROOF_MADE;
    else if (compared == 1)
        resetProof = PROOF_REFUSED;
    else if (resetProof == PROOF_RUNNING)
        resetProof = PROOF_UNKNOWN;
    return compared == 0;
}

int SendStatement(DbSession *session, const char *statement)
{
    int lost;
    int keep;

    // A kept connection that went away while idle is let go before anything
    // is sent: the statement gets a fresh session and runs once.
    if (session->hdbc != SQL_NULL_HDBC && DbCheckConnection(session) != 0)
        DbRelease(session);
    if (session->hdbc == SQL_NULL_HDBC && OpenSession(session) != 0)
        return STATEMENT_NOT_SENT;
    if (ownSession >= 0 && !LifeSend(ownSession))
        return STATEMENT_NOT_SENT;
    lost = OdbcFailed(serviceSettings.statementTimeout > 0 ? ExecuteWatched(session, statement)
                                                           : DbExecute(session, statement)) &&
           session->connectionLost;
    // Only a database whose reset is complete keeps its connection. A
    // connection a cancel still runs on was left to it.
    keep = session->hdbc != SQL_NULL_HDBC && !lost && serviceSettings.reuseSessions &&
           session->resetKind == DB_RESET_COMPLETE;
    if (ownSession >= 0)
        keep = LifeStatementDone(ownSession, keep);
    if (!keep && session->hdbc != SQL_NULL_HDBC)
        DbDisconnect(session);
    return lost ? STATEMENT_UNKNOWN : STATEMENT_TAKEN;
}

int ResetKeptSession(DbSession *session)
{
    if (DbReset(session) != 0) {
        DbRelease(session);
        return -1;
    }
    if (!ResetProven(session)) {
        DbDisconnect(session);
        return -1;
    }
    return 0;
}

// The loop may be blocked in its wait (from LoopGoesIdle to LoopWakesUp),
// and a wake-up is on its way to it that it has not cleared.
static std::atomic<int> loopIdle;
static std::atomic<int> wakeSent;

static void PutJob(JobQueue *queue, const Job *job)
{
    queue->jobs[(queue->head + queue->count++) % QUEUE_SIZE] = *job;
}

// A loop that is awake takes what finished at its next turn: only one that
// may be blocked is woken, once however many jobs finish meanwhile.
static void PutFinished(const Job *job)
{
    {
        std::lock_guard<std::mutex> hold(finished->lock);
        PutJob(finished, job);
    }
    if (loopIdle.load() && !wakeSent.exchange(1))
        NetWake();
}

int LoopGoesIdle(void)
{
    loopIdle.store(1);
    std::lock_guard<std::mutex> hold(finished->lock);
    if (finished->count == 0)
        return 1;
    loopIdle.store(0);
    return 0;
}

void LoopWakesUp(int woken)
{
    loopIdle.store(0);
    if (woken) {
        NetWakeClear();
        wakeSent.store(0);
    }
}

// Tells the loop with a note that the session no longer keeps a connection.
static void NoteKeptClosed(void)
{
    static thread_local Job note;

    note.client = JOB_KEPT_CLOSED;
    note.keptChange = -1;
    PutFinished(&note);
}

// One session's thread: it owns its session record and touches nothing of
// the loop's but its life and the finished queue.
static void RunSession(void)
{
    DbSession session;
    Job job;
    int own = LifeJoin();
    int held;
    long connects;
    long connectFailures;

    memset(&session, 0, sizeof session);
    session.loginTimeout = serviceSettings.loginTimeout;
    session.mariaDbDriver = mariaDbDriver;
    if (watched)
        session.watchCall = LifeWatchCall;
    ownSession = own;
    for (;;) {
        switch (LifeAwaitJob(own, session.hdbc != SQL_NULL_HDBC, &job)) {
        case NEXT_END:
            // Out of the driver for good: the process may end around it.
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(24));
        case NEXT_CLOSE:
            DbDisconnect(&session);
            LifeIdle(own);
            NoteKeptClosed();
            continue;
        default:
            break;
        }
        ConsoleSetClient(job.peer);
        if (job.client < 0)
            ConsoleQuoted("replay", "Replay: ", job.text);
        else
            WriteQueryLine(job.text);
        auto started = std::chrono::steady_clock::now();
        connects = session.connects;
        connectFailures = session.connectFailures;
        held = session.hdbc != SQL_NULL_HDBC;
        session.executeFailed = 0;
        job.outcome = SendStatement(&session, job.text);
        // A job the loop took back at a stop's bound is its own again.
        if (LifeTakenBack(own)) {
            if (session.hdbc != SQL_NULL_HDBC) {
                LifeClosing(own);
                DbDisconnect(&session);
            }
            ConsoleSetClient("");
            continue;
        }
        job.elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
                            .count();
        job.failed = job.outcome == STATEMENT_TAKEN ? session.executeFailed : 0;
        memcpy(job.failedState, session.lastState, sizeof job.failedState);
        job.connects = (int)(session.connects - connects);
        job.connectFailures = (int)(session.connectFailures - connectFailures);
        job.keptChange = (session.hdbc != SQL_NULL_HDBC) - held;
        PutFinished(&job);
        // The kept connection is reset as soon as the statement ends, so
        // that nothing it left (a lock, an open transaction) outlives it,
        // while the loop reads on; the next job goes to another session or
        // waits for it. Its lines still name the statement's client.
        if (session.hdbc != SQL_NULL_HDBC && ResetKeptSession(&session) != 0)
            NoteKeptClosed();
        ConsoleSetClient("");
    }
}

int StartSessions(int count)
{
    // The limit on the service's own calls on a kept or watched connection.
    int64_t ownLimit = 1000 * (int64_t)(serviceSettings.statementTimeout > 0 ? serviceSettings.statementTimeout
                                                                              : serviceSettings.loginTimeout);

    finished = new JobQueue();
    proofLock = new std::mutex();
    watched = serviceSettings.statementTimeout > 0 || serviceSettings.reuseSessions;
    LifeStart(count, 1000 * (int64_t)serviceSettings.statementTimeout, ownLimit);
    if (watched && StartStatementWatch(count) != 0)
        return -1;
    mariaDbDriver = DbIsMariaDbDriver(serviceSettings.dataSource);
    driverManagerPools = DbDriverManagerPools();
    for (int i = 0; i < count; i++)
        if (ThreadStart(RunSession) != 0)
            return -1;
    return 0;
}

void SubmitJob(const Job *job)
{
    LifeSubmit(job);
}

int TakeFinishedJob(Job *job)
{
    std::lock_guard<std::mutex> hold(finished->lock);
    if (finished->count == 0)
        return 0;
    *job = finished->jobs[finished->head];
    finished->head = (finished->head + 1) % QUEUE_SIZE;
    finished->count--;
    return 1;
}

void StopKeepingSessions(void)
{
    LifeKeepNone();
}

int EndSessions(void)
{
    return LifeEndAll();
}

int SessionsLeaveDriver(void)
{
    return LifeLeaveDriver();
}

int TakeBackUnsentJobs(Job *jobs, int *queued)
{
    return LifeTakeBackUnsent(jobs, queued);
}
