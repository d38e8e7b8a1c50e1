// The database sessions: each runs on a thread of its own, so that a
// connect that hangs or a statement that runs long never holds the serving
// loop. The loop hands statements over through one queue and takes what
// became of them from another; nothing else is shared but the console.
#include "sessions.h"
#include "settings.h"

#include "db.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string.h>

// A ring of jobs under one lock. The loop never has more jobs out than
// there are sessions, and each session adds at most one note besides, so a
// ring of twice that size never fills.
#define QUEUE_SIZE (2 * MAX_DATABASE_SESSIONS)
typedef struct JobQueue {
    std::mutex lock;
    Job jobs[QUEUE_SIZE];
    int head;
    int count;
} JobQueue;

// Where a session stands with its job, under the pending queue's lock, so
// that at a stop's bound the loop can take back a job that has not reached
// the database.
#define PHASE_IDLE 0
#define PHASE_CONNECTING 1  // it has a job and has sent nothing of it
#define PHASE_SENT 2
#define PHASE_TAKEN_BACK 3  // the loop took its job back: it sends nothing

// How far the sessions are from ending, under the pending queue's lock.
#define CLOSING_NONE 0
#define CLOSING_KEEP_NONE 1  // a stop began: no connection is kept
#define CLOSING_END 2        // end once no job waits

typedef struct SessionState {
    int phase;
    const Job *job;  // the session's own, while it has one
} SessionState;

// Made once and never destroyed: a condition variable destroyed at exit
// while sessions still wait on it would hang the exit.
static JobQueue *pending;
static std::condition_variable *jobArrived;
static JobQueue *finished;
static SessionState sessionStates[MAX_DATABASE_SESSIONS];
static int sessionsStarted;
static int sessionsEnded;
static int closing;
// The session a thread runs, for SendStatement; -1 on any other thread.
static thread_local int ownSession = -1;
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
    queue->jobs[(queue->head + queue->count++) % QUEUE_SIZE] = *job;
}

static void TakeJob(JobQueue *queue, Job *job)
{
    *job = queue->jobs[queue->head];
    queue->head = (queue->head + 1) % QUEUE_SIZE;
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
        // A kept connection's socket is looked at before each statement;
        // a watched one's is closed under a statement that hangs.
        int ports = serviceSettings.statementTimeout > 0 ||
                    (serviceSettings.reuseSessions && session->resetKind == DB_RESET_COMPLETE);
        if (session->resetKind < 0 || (ports && DbLearnPorts(session) != 0)) {
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

// Whether the session may send its statement now, past the point where the
// loop could still take it back.
static int MaySend(void)
{
    if (ownSession < 0)
        return 1;
    std::lock_guard<std::mutex> hold(pending->lock);
    if (sessionStates[ownSession].phase == PHASE_TAKEN_BACK)
        return 0;
    sessionStates[ownSession].phase = PHASE_SENT;
    return 1;
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
    if (!MaySend())
        return STATEMENT_NOT_SENT;
    lost = OdbcFailed(serviceSettings.statementTimeout > 0 ? ExecuteWatched(session, statement)
                                                           : DbExecute(session, statement)) &&
           session->connectionLost;
    // Only a database whose reset is complete keeps its connection. A
    // connection a cancel still runs on was left to it.
    if (session->hdbc != SQL_NULL_HDBC &&
        (lost || !serviceSettings.reuseSessions || session->resetKind != DB_RESET_COMPLETE))
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

// Closes the connection a session kept, and tells the loop.
static void CloseKept(DbSession *session)
{
    DbDisconnect(session);
    NoteKeptClosed();
}

// Waits, holding the lock, for a job to take. The connection is closed,
// without the lock, when a stop keeps none or when it has been idle too
// long. Once the sessions are to end, a session with nothing to do counts
// itself ended, wakes the loop and waits for the process to end.
static void AwaitJob(std::unique_lock<std::mutex> &hold, DbSession *session)
{
    auto idleUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(KEPT_IDLE_MS);
    int counted = 0;

    while (pending->count == 0) {
        if (session->hdbc != SQL_NULL_HDBC &&
            (closing != CLOSING_NONE || jobArrived->wait_until(hold, idleUntil) == std::cv_status::timeout)) {
            if (pending->count > 0)
                break;
            hold.unlock();
            CloseKept(session);
            hold.lock();
        } else if (closing == CLOSING_END && !counted && session->hdbc == SQL_NULL_HDBC) {
            // A session woken from its idle wait by the end keeps its
            // connection until the next turn closes it: only then is it
            // ended, and may the process end.
            counted = 1;
            sessionsEnded++;
            hold.unlock();
            NetWake();
            hold.lock();
        } else if (session->hdbc == SQL_NULL_HDBC) {
            jobArrived->wait(hold);
        }
    }
}

// One session's thread: it owns its session record and touches nothing of
// the loop's but the two queues and its own state beside them.
static void RunSession(void)
{
    DbSession session;
    Job job;
    int outcome;
    int keep;
    long connects;
    long connectFailures;
    int held;

    memset(&session, 0, sizeof session);
    session.loginTimeout = serviceSettings.loginTimeout;
    session.mariaDbDriver = mariaDbDriver;
    {
        std::lock_guard<std::mutex> hold(pending->lock);
        ownSession = sessionsStarted++;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(pending->lock);
            AwaitJob(hold, &session);
            TakeJob(pending, &job);
            sessionStates[ownSession].phase = PHASE_CONNECTING;
            sessionStates[ownSession].job = &job;
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
        outcome = SendStatement(&session, job.text);
        {
            std::lock_guard<std::mutex> hold(pending->lock);
            sessionStates[ownSession].phase = PHASE_IDLE;
            sessionStates[ownSession].job = NULL;
            keep = closing == CLOSING_NONE;
        }
        // Closed before the job goes back, so that once the loop has every
        // job back at a stop, no connection is left but idle ones.
        if (!keep && session.hdbc != SQL_NULL_HDBC)
            DbDisconnect(&session);
        job.outcome = outcome;
        job.elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
                            .count();
        job.failed = outcome == STATEMENT_TAKEN ? session.executeFailed : 0;
        memcpy(job.failedState, session.lastState, sizeof job.failedState);
        job.connects = (int)(session.connects - connects);
        job.connectFailures = (int)(session.connectFailures - connectFailures);
        job.keptChange = (session.hdbc != SQL_NULL_HDBC) - held;
        PutFinished(&job);
        // The kept connection is reset as soon as the statement ends, so
        // that nothing it left (a lock, an open transaction) outlives it,
        // while the loop reads on; the next job waits for it. Its lines
        // still name the statement's client.
        if (session.hdbc != SQL_NULL_HDBC && ResetKeptSession(&session) != 0)
            NoteKeptClosed();
        ConsoleSetClient("");
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

void StopKeepingSessions(void)
{
    {
        std::lock_guard<std::mutex> hold(pending->lock);
        if (closing == CLOSING_NONE)
            closing = CLOSING_KEEP_NONE;
    }
    jobArrived->notify_all();
}

int EndSessions(void)
{
    int ended;
    {
        std::lock_guard<std::mutex> hold(pending->lock);
        closing = CLOSING_END;
        ended = sessionsEnded;
    }
    jobArrived->notify_all();
    return ended;
}

int TakeBackUnsentJobs(Job *jobs, int *queued)
{
    std::lock_guard<std::mutex> hold(pending->lock);
    int count = 0;

    while (pending->count > 0)
        TakeJob(pending, &jobs[count++]);
    *queued = count;
    for (int i = 0; i < sessionsStarted; i++) {
        if (sessionStates[i].phase != PHASE_CONNECTING)
            continue;
        jobs[count++] = *sessionStates[i].job;
        sessionStates[i].phase = PHASE_TAKEN_BACK;
    }
    return count;
}
