// The database sessions: each runs on a thread of its own, so that a
// connect that hangs or a statement that runs long never holds the serving
// loop. The loop hands statements over through one queue and takes what
// became of them from another; nothing else is shared but the console.
#include "service.h"

#include "db.h"

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
static int connTimeoutOption;

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

int SendStatement(DbSession *session, const char *statement)
{
    int rc = DbConnect(session, serviceSettings.userName, serviceSettings.password, serviceSettings.dataSource);
    int lost;

    if (OdbcFailed(rc)) {
        ReportOdbcErrors(session, SQL_NULL_HSTMT, "Connecting");
        return STATEMENT_NOT_SENT;
    }
    lost = OdbcFailed(DbExecute(session, statement)) && session->connectionLost;
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
    session.connTimeoutOption = connTimeoutOption;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(pending->lock);
            jobArrived->wait(hold, [] { return pending->count > 0; });
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
    connTimeoutOption = DbTakesConnTimeout(serviceSettings.dataSource);
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
