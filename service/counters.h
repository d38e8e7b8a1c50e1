// The service's counters: what became of clients and statements since
// start-up, kept by the serving loop alone (sessions hand theirs back with
// each job), written as a Prometheus text file ("Metrics File") and as a
// statistics line ("Stats Interval").
#ifndef VARN_COUNTERS_H
#define VARN_COUNTERS_H

#include "sessions.h"

#include <stdint.h>

// Why a statement that was read never ran.
#define DROP_SPOOL_FULL 0
#define DROP_SPOOL_UNWRITABLE 1
#define DROP_TOO_LONG 2
#define DROP_NUL_BYTE 3
#define DROP_INCOMPLETE 4
#define DROP_NOT_SENT 5  // it never reached the database, and no spool kept it
#define DROP_STOPPING 6
#define DROP_SCREENED 7  // the screen refused it before it was sent
#define DROP_REASONS 8

// SQLSTATE classes counted apart; failures of any further class count
// under the last one, "other".
#define FAILURE_CLASSES 24
// Statement time buckets, from 0.1 ms to 60 s.
#define DURATION_BUCKETS 18

typedef struct ServiceCounters {
    int64_t clientsConnected;
    int64_t clientsAdmitted;
    int64_t clientsDenied;
    int64_t statementsRead;
    int64_t statementsRun;
    int64_t statementsUnknown;
    int64_t statementsSpooled;
    int64_t statementsReplayed;
    int64_t dropped[DROP_REASONS];
    int failureClasses;
    char failureClass[FAILURE_CLASSES][6];
    int64_t failed[FAILURE_CLASSES];
    int64_t connects;
    int64_t connectFailures;
    int sessionsKept;
    int64_t durations[DURATION_BUCKETS + 1];
    int64_t durationCount;
    double durationSeconds;
    // Connections from the trusted proxy network: by a header that named a
    // client, by a LOCAL one (a health check), and refused for its header.
    int64_t proxyClients;
    int64_t proxyHealthChecks;
    int64_t proxyRefused;
} ServiceCounters;

extern ServiceCounters serviceCounters;

// How often the metrics file is written, in milliseconds: every 10 s.
// Tests shorten it.
extern int64_t metricsEveryMs;

// Counts what a finished job (or a session's note) says.
void CountJob(const Job *job);

// Writes the counters to `path` in the Prometheus text format: to
// "<path>.tmp", then renamed over it, so that a reader never sees half a
// file. Returns 0, or -1 with the reason in FileErrorText.
int WriteMetricsFile(const char *path);

// Writes the "Stats:" line.
void WriteStatsLine(void);

// Writes the metrics file and the statistics line when they are due (at a
// stop, with `now` set, at once), and returns how many milliseconds until
// the next is due, or -1 for none.
int64_t ReportWhenDue(int now);

#endif
