// The database sessions: statements handed from the serving loop to
// session threads as jobs, and what became of them handed back.
#ifndef VARN_SESSIONS_H
#define VARN_SESSIONS_H

#include "db.h"
#include "statement_reader.h"

// The most statements "Database Sessions" lets run at once.
#define MAX_DATABASE_SESSIONS 64

// What became of a statement sent to the database.
#define STATEMENT_TAKEN 0     // it ran, or the database rejected it
#define STATEMENT_NOT_SENT 1  // no session could be had: it never reached the database
#define STATEMENT_UNKNOWN 2   // the connection went away while it ran: it may have committed

// A statement handed to a database session: a client's, from the client in
// slot `client`, or the spool's first when `client` is -1. The session
// writes the statement's Query or Replay line and its database lines as
// about `peer`, and sets `outcome`.
typedef struct Job {
    int client;
    char peer[24];
    char text[STATEMENT_MAX + 1];
    int outcome;
    // What the session saw of it, for the counters: the time from taking
    // it to its end, whether the database rejected it and with what
    // SQLSTATE (failed 1; 2: the screen refused it, and it was never
    // sent), the connects made and failed for it, and how the number of
    // connections the session keeps changed with it (1, 0 or -1).
    int64_t elapsedUs;
    int failed;
    char failedState[6];
    int connects;
    int connectFailures;
    int keptChange;
} Job;

// A job that is a session's note: it closed a connection it kept, idle.
#define JOB_KEPT_CLOSED (-2)

// Runs one statement in `session`: connects (or checks the connection it
// kept), executes, and disconnects unless it may keep the connection,
// writing every failure. Returns what became of it (STATEMENT_*).
int SendStatement(DbSession *session, const char *statement);

// Brings a connection SendStatement kept back to what a fresh session
// shows, proven now and then against a fresh session of the data source.
// Returns 0, or -1 when it let the connection go (a failed reset is
// written).
int ResetKeptSession(DbSession *session);

// Starts the statement watch: a thread that keeps the time and one per
// session that cancels. Returns 0, or -1 when a thread could not be had.
int StartStatementWatch(int sessions);

// Runs a client's statement as DbExecute does, under the watch: past
// "Statement Timeout" it is cancelled through ODBC from another thread, and
// 5 s later, if that did not end it, its connection is cut under it where
// the service holds its socket and the statement is ended on the server
// from a fresh connection; each writes its line. Returns SQL_ERROR with
// session->connectionLost set when its outcome is unknown. Handles a
// cancel still runs on are left to it: the session's connection is then
// null.
int ExecuteWatched(DbSession *session, const char *statement);

// Starts `count` database sessions, each on a thread of its own. Returns 0,
// or -1 when a thread could not be had.
int StartSessions(int count);

// Hands a job to the next session free. The caller keeps no more jobs out
// than there are sessions; a finished one wakes the loop (NetWake).
void SubmitJob(const Job *job);

// Takes a finished job into *job: 1, or 0 when none is finished.
int TakeFinishedJob(Job *job);

// The loop's wait, as the sessions see it. LoopGoesIdle, right before the
// loop may block: 0 when a job is finished already (it must not block),
// else 1, and until LoopWakesUp the first job that finishes wakes it
// (NetWake). A loop that is awake is never woken: it takes what finished
// at its next turn. LoopWakesUp clears the wake-up when it was `woken`.
int LoopGoesIdle(void);
void LoopWakesUp(int woken);

// The sessions at a stop. From StopKeepingSessions on, no session keeps a
// connection: an idle one closes its connection at once (SQLDisconnect), a
// busy one when its statement ends. Jobs are still taken and run.
void StopKeepingSessions(void);
// Has every session end once no job waits for it, its connection closed
// first. Returns how many have ended so far; called again, it tells again.
int EndSessions(void);
// When nothing of the service is in the driver, keeps it out from now on
// and returns 1: the process may end normally, its libraries cleaned up.
int SessionsLeaveDriver(void);
// At the stop's bound: takes back into `jobs` every job out that has not
// reached the database, so that none of them ever does, and returns how
// many. The first *queued were never started; the rest had their session
// connecting, so their Query or Replay line is written. Every other job out
// may have reached the database.
int TakeBackUnsentJobs(Job *jobs, int *queued);

#endif
