// The serving loop: the clients being read, the turns in which their
// statements run, and the one place the service waits.
#ifndef VARN_LOOP_H
#define VARN_LOOP_H

#include "platform.h"
#include "sessions.h"
#include "statement_reader.h"

#include <stdint.h>

// The most clients "Max Clients" lets the service read at once.
#define MAX_CLIENTS_LIMIT 1024

// One client being served: its connection, the statement being read off it
// and whether that statement waits for its turn or runs. A slot is free
// while `inUse` is 0.
typedef struct Client {
    int inUse;
    int waiting;
    int running;  // its statement is out with a session
    NetSocket sock;
    char peer[24];  // "address:port", what its console lines are about
    StatementFraming framing;
    char statement[STATEMENT_MAX + 1];
    int readingHeader;  // from the proxy network: no client until its PROXY header names one (proxy.h)
    ProxyHeader header;
} Client;

// How far a stop has come.
#define STOP_NONE 0
#define STOP_DRAINING 1  // no client is accepted; what was read runs, is spooled or is said to be lost
#define STOP_ENDING 2    // nothing is left but the sessions closing their connections
#define STOP_DONE 3      // "Stopped." is written

// The serving loop's state. Every client has its own waits. With one
// session they count only time in which no client's statement runs, so that
// time spent on other clients' statements never cuts a client off; with
// more, the loop reads on while statements run and the waits are real
// time. Replays never stop the waits.
// Clients whose statements are whole take turns, one statement each.
typedef struct ServiceLoop {
    uint32_t maxClients;
    int dialect;
    int sessions;         // database sessions started
    int clientCount;
    int slotsUsed;        // slots below this may be in use
    int jobsOut;          // jobs handed to sessions and not yet taken back
    int replayOut;        // the spool's first statement is one of them
    int64_t busyMs;       // time in which the one session ran clients' statements
    int64_t busySince;    // when the client's statement it runs started
    int64_t acceptAfter;  // a failed accept is tried again from then on
    int64_t replayAt;     // when the spool's first statement is tried next
    int databaseDown;     // the last statement sent did not reach the database
    int drainCredit;      // replays taken since a new statement joined the spool
    int spoolFailing;     // the last append of a client's statement held back failed
    NetSocket wake;       // ready when a session has finished a job, or a stop is asked for
    NetSocket listener;   // until a stop closes it
    int stopping;         // STOP_*
    int64_t stopBound;    // when a stop stops waiting for statements
    int turns[MAX_CLIENTS_LIMIT];
    int turnHead;
    int turnCount;
    Client clients[MAX_CLIENTS_LIMIT];
} ServiceLoop;

extern ServiceLoop serviceLoop;

// What the loop does with a statement in its turn while statements wait in
// the spool, or at a stop: writes its Query line and has it join them.
// Returns 0, or -1, writing nothing, when it must wait: the database is
// taking the spool's statements and they come first, or the spool has no
// room yet (never at a stop).
int SpoolClientStatement(const char *text);

// Appends a statement whose Query line is written to the spool, with the
// line that says whether it was kept.
void SpoolStatement(const char *statement);

// Takes what became of a finished job: spools a client's statement that
// never reached the database, or marks the spool's first statement done.
void FinishJob(const Job *job);

// Hands a job to a session and counts it out; with one session the
// clients' clock stops while a client's statement runs.
void SubmitStatement(const Job *job);

// Hands the spool's first statement to a session when it is due.
void ReplayWhenDue(void);

// Takes an accepted connection from `address` (network byte order) and
// `port` into a slot: one from the proxy network has its PROXY header read
// first; any other is admitted or denied at once (AdmitPeer). The caller
// keeps the clients below serviceLoop.maxClients.
void AdmitClient(NetSocket sock, uint32_t address, uint16_t port);

// Writes the Incoming line of the client at `address` and `port` that
// `client`'s connection brings, then either serves it or, when the filter
// does not admit it, writes "Access denied" and closes it unread.
void AdmitPeer(Client *client, uint32_t address, uint16_t port);

// Takes the bytes waiting from a client; a whole statement joins the turns.
void ReadClient(Client *client, int64_t now);

// The client reads on: its next statement, or the rest of one cut short.
void NextTurn(Client *client);

// Logs and drops a client's statement that is not whole (cut at the length
// bound, or holding a NUL byte): 1, or 0 for a whole one.
int DropIfNotWhole(Client *client);

// Takes back the jobs the sessions have finished; their clients read on.
void TakeFinishedJobs(void);

// Takes a client from the listener: 1, or 0 when none waits (or the accept
// failed, which rests the listener a while).
int AcceptClient(void);

// Closes a client's connection and frees its slot.
void EndClient(Client *client);

// One turn of the serving loop: waits, in the one place it waits, until a
// socket is ready, a client's wait runs out or a statement waits to run;
// then takes a client from the listener (unless NET_INVALID_SOCKET) while
// fewer than the limit are served, takes the bytes waiting from each client,
// ends those whose wait ran out, runs the next waiting statement, and tries
// the spool's first one when it is due. Once a stop is asked for, it takes
// the stop a step further instead of taking clients and replays.
void ServeOnce(void);

// The stop, a step each turn of the loop. BeginStop writes "Stopping",
// closes the listener and lets each client be read no further than what
// has reached this host; ReadAtStop reads that and closes each client that
// has nothing more, its statement's lines written as when the peer closes;
// AdvanceStop ends the sessions once nothing else is left, or gives up at
// "Stop Timeout", and writes "Stopped." last.
void BeginStop(void);
void ReadAtStop(void);
void AdvanceStop(void);

#endif
