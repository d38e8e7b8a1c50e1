// The database sessions: each runs on a thread of its own, so that a
// connect that hangs or a statement that runs long never holds the serving
// loop. The loop hands statements over through one queue and takes what
// became of them from another; nothing else is shared but the console.
#include "service.h"

#include "db.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string.h>

// A ring of jobs under one lock. The loop never has more jobs out than
// there are sessions, so a ring of that size never fills.
typedef struct JobQueue {
    std::mutex lock;
    Job jobs[MAX_DATABASE_SESSIONS];
    int head;
    int count;
} JobQueue;

// Made once and never destroyed: a condition variable destroyed at exit
// while sessions still wait on it would hang the exit.
static JobQueue *pending;
static std::condition_variable *jobArrived;
static JobQueue *finished;
static int mariaDbDriver;
// Every connection the driver manager hands out may be one it pooled.
static int driverManagerPools;
// How long a kept connection may stay idle before it is closed.
#define KEPT_IDLE_MS 60000

// Whether a kept connection's reset gives what a fresh session shows: not
// yet known, being proven by one session, proven, or refused (fresh
// sessions from then on).
#define PROOF_UNKNOWN 0
#define PROOF_RUNNING 1
#define PROOF_MADE 2
#define PROOF_REFUSED 3

// What the data source's first connection had set at connect, which every
// reset makes again: a pooled connection handed out later may carry what a
// statement set since. Written once, under the lock.
static std::mutex *connectSettingsLock;
static char connectSettings[DB_SETTINGS_SIZE];
static int connectSettingsKnown;
static int resetProof;

static void PutJob(JobQueue *queue, const Job *job)
{
    queue->jobs[(queue->head + queue->count++) % MAX_DATABASE_SESSIONS] = *job;
}

static void TakeJob(JobQueue *queue, Job *job)
{
    *job = queue->jobs[queue->head];
    queue->head = (queue->head + 1) % MAX_DATABASE_SESSIONS;
    queue->count--;
}

// A fresh session: connected, and when the driver manager pools, brought
// back to a fresh session's state as far as the database allows; a pooled
// connection that is gone or whose reset fails is let go for another, once. Returns 0, or
// -1 when the statement cannot reach the database.
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
        if (session->resetKind < 0 || (serviceSettings.statementTimeout > 0 && DbLearnPorts(session) != 0)) {
            DbRelease(session);
            continue;
        }
        if (session->resetKind == DB_RESET_COMPLETE) {
            std::lock_guard<std::mutex> hold(*connectSettingsLock);
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

// Whether `session`, just reset, may keep its connection: the first one to
// get here compares it with a fresh session, once for the data source; the
// others keep nothing meanwhile.
static int ResetProven(DbSession *session)
{
    DbSession fresh;
    char reason[256];
    int compared;

    {
        std::lock_guard<std::mutex> hold(*connectSettingsLock);
        if (resetProof != PROOF_UNKNOWN)
            return resetProof == PROOF_MADE;
        resetProof = PROOF_RUNNING;
    }
    memset(&fresh, 0, sizeof fresh);
    fresh.loginTimeout = session->loginTimeout;
    fresh.mariaDbDriver = session->mariaDbDriver;
    compared = DbCompareWithFresh(session, &fresh, serviceSettings.userName, serviceSettings.password,
                                  serviceSettings.dataSource, reason, sizeof reason);
    if (compared == 1)
        ConsoleLine("Reuse Sessions not used for %s: %s\n", serviceSettings.dataSource, reason);
    std::lock_guard<std::mutex> hold(*connectSettingsLock);
    resetProof = compared == 0 ? PROOF_MADE : compared == 1 ? PROOF_REFUSED : PROOF_UNKNOWN;
    return compared == 0;
}

int SendStatement(DbSession *session, const char *statement)
{
    int lost;

    // A kept connection that went away while idle is let go before anything
    // is sent: the statement gets a fresh session and runs once.
    if (session->hdbc != SQL_NULL_HDBC && DbCheckConnection(session) != 0)
        DbRelease(session);
    if (session->hdbc == SQL_NULL_HDBC && OpenSession(session) != 0)
        return STATEMENT_NOT_SENT;
    lost = OdbcFailed(serviceSettings.statementTimeout > 0 ? ExecuteWatched(session, statement)
                                                           : DbExecute(session, statement)) &&
           session->connectionLost;
    // Only a database whose reset is complete keeps its connection, and it
    // is reset as soon as the statement ends, so that nothing the statement
    // left (a lock, an open transaction) outlives it while the session
    // waits for the next one. A connection a cancel still runs on was left
    // to it.
    if (session->hdbc == SQL_NULL_HDBC)
        return lost ? STATEMENT_UNKNOWN : STATEMENT_TAKEN;
    if (lost || !serviceSettings.reuseSessions || session->resetKind != DB_RESET_COMPLETE)
        DbDisconnect(session);
    else if (DbReset(session) != 0)
        DbRelease(session);
    else if (!ResetProven(session))
        DbDisconnect(session);
    return lost ? STATEMENT_UNKNOWN : STATEMENT_TAKEN;
}

// One session's thread: it owns its session record and touches nothing of
// the loop's but the two queues.
static void RunSession(void)
{
    DbSession session;
    Job job;

    memset(&session, 0, sizeof session);
    session.loginTimeout = serviceSettings.loginTimeout;
    session.mariaDbDriver = mariaDbDriver;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(pending->lock);
            auto idleUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(KEPT_IDLE_MS);
            while (pending->count == 0) {
                if (session.hdbc == SQL_NULL_HDBC) {
                    jobArrived->wait(hold);
                } else if (jobArrived->wait_until(hold, idleUntil) == std::cv_status::timeout &&
                           pending->count == 0) {
                    hold.unlock();
                    DbDisconnect(&session);
                    hold.lock();
                }
            }
            TakeJob(pending, &job);
        }
        ConsoleSetPrefix(job.prefix);
        if (job.client < 0)
            ConsoleLine("Replay: \"%s\"\n", job.text);
        else
            WriteQueryLine(job.text);
        job.outcome = SendStatement(&session, job.text);
        ConsoleSetPrefix("");
        {
            std::lock_guard<std::mutex> hold(finished->lock);
            PutJob(finished, &job);
        }
        NetWake();
    }
}

int StartSessions(int count)
{
    pending = new JobQueue();
    finished = new JobQueue();
    jobArrived = new std::condition_variable();
    connectSettingsLock = new std::mutex();
    if (serviceSettings.statementTimeout > 0 && StartStatementWatch(count) != 0)
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
    {
        std::lock_guard<std::mutex> hold(pending->lock);
        PutJob(pending, job);
    }
    jobArrived->notify_one();
}

int TakeFinishedJob(Job *job)
{
    std::lock_guard<std::mutex> hold(finished->lock);
    if (finished->count == 0)
        return 0;
    TakeJob(finished, job);
    return 1;
}
