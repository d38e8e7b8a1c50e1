// A database session's life as one state machine. The session's thread,
// its canceller and the watch's timer, and the serving loop act on it, each
// step under the one lock here; no step waits on the driver or the network
// while it holds the lock.
//
//                 LifeAwaitJob: a job
//      +-------+ -------------------> +------------+  LifeSend   +---------+
//      | IDLE  |                      | CONNECTING | ----------> | RUNNING |
//      +-------+ <------------------- +------------+             +---------+
//       ^ ^  |      taken back at a      |  not sent                |    |
//       | |  |      stop's bound         |  (no connection)         |    | past its limit:
//       | |  |                           v                          |    | the canceller takes
//       | |  | idle too long,       LifeStatementDone <-------------+    | the cancel
//       | |  | a stop keeps none          |   |   ^   statement ended    v
//       | |  v                            |   |   |                +------------+
//       | | +---------+  not kept, a cut, |   |   +--------------- | CANCELLING |
//       | +-| CLOSING | <-----------------+   |   statement ended  +------------+
//       |   +---------+  a stop              |    (never kept)
//       |      ^                             v kept
//       |      | reset failed, or   +-----------+
//       |      +------------------- | RESETTING |
//       +-------------------------- +-----------+
//                reset and proven
//
//      IDLE, without a connection, once the loop ends the sessions: ENDED.
//
// The watch sees a session only inside a call on its connection (between
// LifeWatchCall's two halves): a client's statement (RUNNING) is cancelled
// past "Statement Timeout" and, 5 s later, its connection cut where the
// service holds its socket and the statement ended on the server from
// another connection; the service's own calls (CONNECTING, RESETTING) are
// cut, or cancelled where no socket is held, past their own limit. A cut
// or a cancel is only ever made inside the call it was meant for, so it
// never reaches the connection's next use, and a connection that had
// either is never kept. The session's socket is only cut under the lock
// and only inside a call, and it is let go only outside one, so a cut never
// reaches another connection that took its number.
#include "session_life.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string.h>

// How long a cancel has to end a statement before its connection is cut
// and the statement ended on the server.
#define CANCEL_GRACE_MS 5000
// How long a session whose call ended waits for a cancel still in the
// driver on that call's handles before it leaves them to the canceller.
#define CANCEL_WAIT_MS 2000
// How long a session waits to hear whether its statement was ended on the
// server, beyond the connect's own limit.
#define END_WAIT_MS 5000

int64_t keptIdleMs = 60000;

// A ring of jobs. The loop never has more jobs out than there are
// sessions, so it never fills.
typedef struct JobRing {
    Job jobs[MAX_DATABASE_SESSIONS];
    int head;
    int count;
} JobRing;

typedef struct Life {
    int state;
    const Job *job;    // the session's own, from CONNECTING to RUNNING's end
    int takenBack;
    int keeping;       // it keeps a connection
    int called;        // woken for a job that waits
    int spoiled;       // a cancel or a cut reached its connection: never kept
    std::condition_variable *changed;  // the session waits on it
    // The call on its connection that the watch sees, while `calling`.
    int calling;
    int client;        // the call is a client's statement
    SQLHSTMT call;     // its statement handle, or null
    NetSocket socket;  // the service's hold on the connection, or none
    int64_t cancelAt;  // 0: never
    int64_t cutAt;     // 0: never
    int cancelDue;
    int cancelTaken;   // the canceller took the cancel (CANCELLING)
    int endDue;        // the statement is to be ended on the server
    int endTaken;
    int endDone;
    int endResult;     // DbEndOnServer's, once done
    int endSaid;       // its failure was said
    int cutPassed;     // its cut was due
    int cut;           // and made: its socket is held
    DbSession identity;                // who the connection is on the server
    char peer[24];                     // the client's, for the lines about its statement
    // The canceller: inside the driver for this session, and the handles
    // the session left to it because a cancel still ran on them.
    std::condition_variable *cancellerWakes;
    int cancelInDriver;
    SQLHSTMT cancelling;
    DbSession orphan;
    SQLHSTMT orphanStatement;
    LifeEnding ending;
} Life;

static std::mutex *lifeLock;
static std::condition_variable *timerWakes;
static Life lives[MAX_DATABASE_SESSIONS];
static JobRing pending;
// pending.count, for a session that looks without the lock.
static std::atomic<int> pendingSeen;
static int sessionsStarted;
static int sessionsJoined;
static int sessionsEnded;
static int keepNone;
static int endAll;
static int outOfDriver;  // no session enters the driver again
static int64_t statementLimit;
static int64_t ownLimit;
// The session a thread runs, for the watch's hook.
static thread_local int ownLife = -1;

static std::chrono::steady_clock::time_point In(int64_t ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
}

void LifeStart(int sessions, int64_t statementLimitMs, int64_t ownLimitMs)
{
    lifeLock = new std::mutex();
    timerWakes = new std::condition_variable();
    sessionsStarted = sessions;
    statementLimit = statementLimitMs;
    ownLimit = ownLimitMs;
    for (int i = 0; i < sessions; i++) {
        lives[i].changed = new std::condition_variable();
        lives[i].cancellerWakes = new std::condition_variable();
        lives[i].socket = NET_INVALID_SOCKET;
    }
}

int LifeJoin(void)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    ownLife = sessionsJoined++;
    return ownLife;
}

// A session that has just handed a job back looks for the next one a
// moment before it sleeps: a client's next statement is usually read and
// handed over within that moment, and a thread that sleeps and is woken
// again costs more than the look.
#define SPIN_MS 0.05
static void SpinForJob(void)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(SPIN_MS);
    while (pendingSeen.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < until)
        continue;
}

int LifeAwaitJob(int own, int keeping, Job *job)
{
    Life *life = &lives[own];
    std::unique_lock<std::mutex> hold(*lifeLock);
    auto idleUntil = In(keptIdleMs);
    int spin = life->state != LIFE_IDLE && !outOfDriver;

    life->state = LIFE_IDLE;
    life->keeping = keeping;
    for (;;) {
        if (outOfDriver) {
            life->state = LIFE_ENDED;
            return NEXT_END;
        }
        if (pending.count > 0) {
            *job = pending.jobs[pending.head];
            pending.head = (pending.head + 1) % MAX_DATABASE_SESSIONS;
            pendingSeen.store(--pending.count);
            life->state = LIFE_CONNECTING;
            life->called = 0;
            life->job = job;
            life->takenBack = 0;
            life->spoiled = 0;
            return NEXT_JOB;
        }
        if (life->keeping && (keepNone || endAll || std::chrono::steady_clock::now() >= idleUntil)) {
            life->state = LIFE_CLOSING;
            return NEXT_CLOSE;
        }
        if (endAll && !life->keeping) {
            life->state = LIFE_ENDED;
            sessionsEnded++;
            hold.unlock();
            NetWake();
            return NEXT_END;
        }
        life->called = 0;
        if (spin) {
            spin = 0;
            hold.unlock();
            SpinForJob();
            hold.lock();
        } else if (life->keeping) {
            life->changed->wait_until(hold, idleUntil);
        } else {
            life->changed->wait(hold);
        }
    }
}

void LifeIdle(int own)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    lives[own].state = LIFE_IDLE;
    lives[own].keeping = 0;
}

void LifeClosing(int own)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    lives[own].state = LIFE_CLOSING;
}

int LifeSend(int own)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    Life *life = &lives[own];
    if (life->takenBack)
        return 0;
    life->state = LIFE_RUNNING;
    life->cancelTaken = 0;
    memset(&life->ending, 0, sizeof life->ending);
    return 1;
}

int LifeTakenBack(int own)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    return lives[own].takenBack;
}

int LifeStatementDone(int own, int keeping)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    Life *life = &lives[own];
    int kept = keeping && !life->spoiled && !keepNone && !endAll;

    life->job = NULL;
    life->state = kept ? LIFE_RESETTING : LIFE_CLOSING;
    return kept;
}

LifeEnding LifeStatementEnding(void)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    return lives[ownLife].ending;
}

// Starts watching a call: its limits, from now.
static void BeginCall(Life *life, DbSession *session, SQLHSTMT hstmt)
{
    int64_t now = ClockMs();

    life->calling = 1;
    life->client = life->state == LIFE_RUNNING;
    life->call = hstmt;
    life->socket = session->socket;
    life->cancelDue = life->endDue = life->endTaken = life->endDone = life->endSaid = life->cut = life->cutPassed = 0;
    life->endResult = 0;
    life->cancelAt = life->cutAt = 0;
    if (life->client && statementLimit > 0) {
        life->cancelAt = now + statementLimit;
        life->cutAt = life->cancelAt + CANCEL_GRACE_MS;
        life->identity = *session;
        snprintf(life->peer, sizeof life->peer, "%s", life->job != NULL ? life->job->peer : "");
    } else if (!life->client && ownLimit > 0) {
        // The service's own call is cut where it can be, else cancelled.
        if (life->socket != NET_INVALID_SOCKET)
            life->cutAt = now + ownLimit;
        else
            life->cancelAt = now + ownLimit;
    }
    if (life->cancelAt != 0 || life->cutAt != 0)
        timerWakes->notify_one();
}

// Ends watching a call. A cancel still in the driver on its handles is
// waited for a while; if it is still there, the session's handles are left
// to the canceller, and the session has no connection from then on.
static void EndCall(std::unique_lock<std::mutex> &hold, Life *life, DbSession *session, SQLHSTMT hstmt)
{
    life->calling = 0;
    life->call = SQL_NULL_HSTMT;
    life->socket = NET_INVALID_SOCKET;
    if (life->client) {
        // The statement's own outcome wins over a cancel the canceller has
        // not taken yet: none is sent.
        life->cancelDue = 0;
        // A cut returns the call at once, but the statement still runs on
        // the server until it is ended there: that is waited for.
        if (life->endDue)
            life->changed->wait_until(hold, In((int64_t)session->loginTimeout * 1000 + END_WAIT_MS),
                                      [life] { return life->endDone; });
        life->ending.cancelSent = life->cancelTaken;
        life->ending.cut = life->cut;
        life->ending.endedOnServer = life->endResult == 1;
        life->ending.endFailed = life->endDone && life->endResult < 0 && !life->endSaid;
        life->endSaid = 1;
        life->endDue = 0;
    } else {
        life->cancelDue = 0;
    }
    if (life->cancelInDriver && life->cancelling == hstmt && hstmt != SQL_NULL_HSTMT)
        life->changed->wait_until(hold, In(CANCEL_WAIT_MS), [life, hstmt] { return life->cancelling != hstmt; });
    if (life->cancelInDriver && life->cancelling == hstmt && hstmt != SQL_NULL_HSTMT &&
        life->orphan.hdbc == SQL_NULL_HDBC) {
        life->orphan = *session;
        life->orphanStatement = hstmt;
        session->hdbc = SQL_NULL_HDBC;
        session->henv = SQL_NULL_HENV;
        session->socket = NET_INVALID_SOCKET;
        session->connectionLost = 1;
    }
}

void LifeWatchCall(DbSession *session, SQLHSTMT hstmt, int starting)
{
    if (ownLife < 0)
        return;
    Life *life = &lives[ownLife];
    std::unique_lock<std::mutex> hold(*lifeLock);
    if (starting)
        BeginCall(life, session, hstmt);
    else
        EndCall(hold, life, session, hstmt);
}

int64_t LifeTimerTurn(int64_t now)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    int64_t next = now + 60000;

    for (int i = 0; i < sessionsStarted; i++) {
        Life *life = &lives[i];
        if (!life->calling)
            continue;
        if (life->cancelAt != 0 && !life->cancelDue && !life->cancelTaken && now >= life->cancelAt) {
            life->cancelDue = 1;
            life->cancellerWakes->notify_one();
        }
        if (life->cutAt != 0 && !life->cutPassed && now >= life->cutAt) {
            life->cutPassed = 1;
            life->spoiled = 1;
            life->cut = life->socket != NET_INVALID_SOCKET;
            NetCutHeld(life->socket);
            if (life->client && life->identity.backendId > 0) {
                life->endDue = 1;
                life->cancellerWakes->notify_one();
            }
        }
        if (life->cancelAt != 0 && !life->cancelDue && !life->cancelTaken && life->cancelAt < next)
            next = life->cancelAt;
        if (life->cutAt != 0 && !life->cutPassed && life->cutAt < next)
            next = life->cutAt;
    }
    return next;
}

void LifeTimerWait(int64_t untilMs)
{
    std::unique_lock<std::mutex> hold(*lifeLock);
    timerWakes->wait_until(hold, In(untilMs - ClockMs()));
}

int LifeAwaitCancel(int own, SQLHSTMT *hstmt, DbSession *identity, char peer[24])
{
    Life *life = &lives[own];
    std::unique_lock<std::mutex> hold(*lifeLock);

    for (;;) {
        if (life->calling && life->cancelDue && !life->cancelTaken) {
            life->cancelTaken = 1;
            life->spoiled = 1;
            if (life->client)
                life->state = LIFE_CANCELLING;
            if (life->call == SQL_NULL_HSTMT)
                continue;
            life->cancelInDriver = 1;
            life->cancelling = life->call;
            *hstmt = life->call;
            return CANCEL_SEND;
        }
        if (life->endDue && !life->endTaken) {
            life->endTaken = 1;
            life->cancelInDriver = 1;
            *identity = life->identity;
            memcpy(peer, life->peer, sizeof life->peer);
            return CANCEL_END;
        }
        life->cancellerWakes->wait(hold);
    }
}

int LifeCancelDone(int own, int action, int result, DbSession *orphan, SQLHSTMT *orphanStatement)
{
    Life *life = &lives[own];
    std::lock_guard<std::mutex> hold(*lifeLock);
    int say = 0;

    life->cancelInDriver = 0;
    life->cancelling = SQL_NULL_HSTMT;
    if (action == CANCEL_END) {
        life->endResult = result;
        life->endDone = 1;
        say = result != 1 && life->calling && life->client && !life->endSaid;
        if (say)
            life->endSaid = 1;
    }
    *orphan = life->orphan;
    *orphanStatement = life->orphanStatement;
    memset(&life->orphan, 0, sizeof life->orphan);
    life->orphanStatement = SQL_NULL_HSTMT;
    // Until the orphaned handles are freed, the canceller is still in the
    // driver as far as the process's end goes.
    life->cancelInDriver = orphan->hdbc != SQL_NULL_HDBC;
    life->changed->notify_all();
    return say;
}

void LifeSubmit(const Job *job)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    pending.jobs[(pending.head + pending.count++) % MAX_DATABASE_SESSIONS] = *job;
    pendingSeen.store(pending.count);
    // The first idle session takes it; one that keeps a connection first,
    // so that kept connections are used before fresh ones are made.
    int chosen = -1;
    for (int i = 0; i < sessionsStarted; i++) {
        if (lives[i].state != LIFE_IDLE || lives[i].called)
            continue;
        if (chosen < 0 || (lives[i].keeping && !lives[chosen].keeping))
            chosen = i;
    }
    if (chosen >= 0) {
        lives[chosen].called = 1;
        lives[chosen].changed->notify_one();
    }
}

void LifeKeepNone(void)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    keepNone = 1;
    for (int i = 0; i < sessionsStarted; i++)
        lives[i].changed->notify_one();
}

int LifeEndAll(void)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    if (!endAll) {
        endAll = 1;
        for (int i = 0; i < sessionsStarted; i++)
            lives[i].changed->notify_one();
    }
    return sessionsEnded;
}

int LifeTakeBackUnsent(Job *jobs, int *queued)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    int count = 0;

    while (pending.count > 0) {
        jobs[count++] = pending.jobs[pending.head];
        pending.head = (pending.head + 1) % MAX_DATABASE_SESSIONS;
        pendingSeen.store(--pending.count);
    }
    *queued = count;
    for (int i = 0; i < sessionsStarted; i++) {
        if (lives[i].state != LIFE_CONNECTING || lives[i].takenBack)
            continue;
        jobs[count++] = *lives[i].job;
        lives[i].takenBack = 1;
    }
    return count;
}

int LifeLeaveDriver(void)
{
    std::lock_guard<std::mutex> hold(*lifeLock);
    for (int i = 0; i < sessionsStarted; i++)
        if (lives[i].cancelInDriver || (lives[i].state != LIFE_IDLE && lives[i].state != LIFE_ENDED))
            return 0;
    outOfDriver = 1;
    return 1;
}
