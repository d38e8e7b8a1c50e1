// A database session's life: the state its thread, its statement watch and
// the serving loop all act on, as one state machine under one lock
// (session_life.cpp draws it).
#ifndef VARN_SESSION_LIFE_H
#define VARN_SESSION_LIFE_H

#include "db.h"
#include "sessions.h"

#include <stdint.h>

#define LIFE_IDLE 0        // no job; a kept connection may wait, idle
#define LIFE_CONNECTING 1  // a job, nothing of it sent: a kept connection checked, or a connect
#define LIFE_RUNNING 2     // its statement sent, under the watch
#define LIFE_CANCELLING 3  // its statement ran past its limit and a cancel was sent
#define LIFE_RESETTING 4   // its statement handed back, its kept connection being reset
#define LIFE_CLOSING 5     // its connection being closed
#define LIFE_ENDED 6       // it never enters the driver again

// What LifeAwaitJob tells a session to do.
#define NEXT_JOB 0    // run the job it was given (CONNECTING)
#define NEXT_CLOSE 1  // close the connection it keeps (CLOSING), then LifeIdle
#define NEXT_END 2    // nothing more: ENDED

// How a watched statement of a client's ended, from LifeStatementEnding.
typedef struct LifeEnding {
    int cancelSent;    // a cancel was sent for it
    int cut;           // its connection was shut down under it
    int endedOnServer; // it was ended on the server from another connection
    int endFailed;     // ending it there failed, and nothing said so yet
} LifeEnding;

// How long a kept connection may stay idle before it is closed: 60 s.
// Tests shorten it.
extern int64_t keptIdleMs;

// Readies the lives of `sessions` sessions, before any thread starts. The
// calls a session makes on its connection are watched when it sets
// LifeWatchCall as its DbSession.watchCall: a client's statement is
// cancelled past `statementLimitMs` (0: never), and the service's own calls
// on a connection (its check, identity and reset) are cut short past
// `ownLimitMs` (0: never).
void LifeStart(int sessions, int64_t statementLimitMs, int64_t ownLimitMs);

// A session thread's number, once, as it starts.
int LifeJoin(void);

// Waits, IDLE, for what the session is to do next: a job (copied into
// *job), closing the connection it keeps (`keeping`) when it has been idle
// too long or a stop keeps none, or its end once no job waits.
int LifeAwaitJob(int own, int keeping, Job *job);
// The kept connection is closed: CLOSING to IDLE.
void LifeIdle(int own);
// Whether the session may send its job's statement: CONNECTING to RUNNING;
// 0, back to IDLE, when the loop took the job back at a stop's bound (it is
// then never handed back).
int LifeSend(int own);
// The statement has ended (the session's connection is its own again) and
// its job is about to be handed back. With `keeping`, RESETTING, and the
// connection may be kept if nothing spoiled it; otherwise CLOSING, or IDLE
// when no connection is left. Returns whether it may still be kept: never
// once a cancel was sent or the connection cut, nor from a stop on.
int LifeStatementDone(int own, int keeping);
// The connection is about to be closed (CLOSING); LifeIdle follows.
void LifeClosing(int own);
// Whether a job was taken back from the session at a stop's bound.
int LifeTakenBack(int own);

// The watch's hook (DbSession.watchCall) around each call on a watched
// session's connection.
void LifeWatchCall(DbSession *session, SQLHSTMT hstmt, int starting);
// What became of the client's statement this session's thread last ran
// under the watch.
LifeEnding LifeStatementEnding(void);

// The watch's threads: the timer marks cancels due and cuts connections
// (RunWatchTimer's turn, never blocking), each session's canceller sends
// its cancel and ends a statement on the server (LifeAwaitCancel, then the
// driver's calls outside the lock, then LifeCancelDone).
#define CANCEL_SEND 1    // call SQLCancel on *hstmt
#define CANCEL_END 2     // end the statement on the server: *identity
int64_t LifeTimerTurn(int64_t now);
void LifeTimerWait(int64_t untilMs);
int LifeAwaitCancel(int own, SQLHSTMT *hstmt, DbSession *identity, char peer[24]);
// After the canceller's call: `result` is DbEndOnServer's for CANCEL_END
// (0 for anything else). Hands the canceller the handles the session left
// to it, to be freed (hdbc null when none), then called again with action
// 0. Returns 1 when the statement could not be ended on the server and
// still holds its session, which the canceller then says.
int LifeCancelDone(int own, int action, int result, DbSession *orphan, SQLHSTMT *orphanStatement);

// The loop's side: a job for the next free session; at a stop, no
// connection kept from now on, then every session ended once no job waits
// (how many are, so far), and at the bound every job not yet sent taken
// back (the first *queued never started).
void LifeSubmit(const Job *job);
void LifeKeepNone(void);
int LifeEndAll(void);
int LifeTakeBackUnsent(Job *jobs, int *queued);
// When no session and no canceller is in the driver, keeps every session
// out of it from now on and returns 1, so that the process may run its
// libraries' clean-up; else 0.
int LifeLeaveDriver(void);

#endif
