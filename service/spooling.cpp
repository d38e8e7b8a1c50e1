// What the serving loop does with statements while a spool is set: a
// statement that never reached the database joins the spool, statements
// wait there in order, the first is tried again when it is due, and a new
// one joins them only at the drain's pace.
#include "loop.h"

#include "counters.h"

#include "platform.h"
#include "spool.h"

#include <string.h>

// How long the spool's first statement waits after it could not be sent.
#define REPLAY_PAUSE_MS 5000
// While the database takes the spool's statements, a new statement joins
// them only after this many were taken, so that the spool drains at two
// thirds of the database's pace at least, however fast clients send.
#define DRAIN_SHARE 3

// Writes what became of a statement appended to the spool, which held
// `waitingBefore` statements before it.
static void ReportSpooled(int kept, long waitingBefore)
{
    switch (kept) {
    case SPOOL_KEPT:
        serviceCounters.statementsSpooled++;
        ConsoleLine("Statement spooled, %ld waiting.\n", spool.waiting);
        // The statement that opens the spool just failed to connect.
        if (waitingBefore == 0)
            serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        break;
    case SPOOL_FULL:
        serviceCounters.dropped[DROP_SPOOL_FULL]++;
        ConsoleLine("Spool full, statement not executed.\n");
        break;
    default:
        serviceCounters.dropped[DROP_SPOOL_UNWRITABLE]++;
        ConsoleLine("Spool cannot be written: %s; statement not executed.\n", FileErrorText());
        break;
    }
}

void SpoolStatement(const char *statement)
{
    long waitingBefore = spool.waiting;
    ReportSpooled(SpoolAppend(statement), waitingBefore);
}

int SpoolClientStatement(const char *text)
{
    // Held back, the client's bytes wait in its socket and TCP slows it
    // down; only a database that cannot be reached costs statements.
    int paced = !serviceLoop.databaseDown && serviceLoop.stopping == STOP_NONE;
    long waitingBefore = spool.waiting;
    int kept;

    if (paced && (serviceLoop.drainCredit < DRAIN_SHARE || !SpoolHasRoom((int)strlen(text))))
        return -1;
    kept = SpoolAppend(text);
    // A spool that cannot be written (a full disk) holds the client back
    // as a full one does while the database takes statements: tried again
    // after as many replays again, or run directly once the spool is
    // empty. Said once for each spell of failures.
    if (paced && kept == SPOOL_NOT_KEPT) {
        if (!serviceLoop.spoolFailing)
            ConsoleLine("Spool cannot be written: %s\n", FileErrorText());
        serviceLoop.spoolFailing = 1;
        serviceLoop.drainCredit = 0;
        return -1;
    }
    serviceLoop.spoolFailing = 0;
    if (paced)
        serviceLoop.drainCredit -= DRAIN_SHARE;
    WriteQueryLine(text);
    ReportSpooled(kept, waitingBefore);
    return 0;
}

static void FinishReplay(const Job *job)
{
    if (job->outcome == STATEMENT_NOT_SENT) {
        serviceLoop.databaseDown = 1;
        serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        return;
    }
    serviceLoop.databaseDown = 0;
    if (serviceLoop.drainCredit < DRAIN_SHARE)
        serviceLoop.drainCredit++;
    if (job->outcome == STATEMENT_UNKNOWN)
        ConsoleLine("Statement outcome unknown, not retried.\n");
    if (SpoolTakeHead() != 0)
        ConsoleLine("Spool cannot be written: %s\n", FileErrorText());
    if (spool.waiting == 0) {
        ConsoleLine("Spool empty.\n");
        serviceLoop.spoolFailing = 0;
    }
    serviceLoop.replayAt = 0;
}

void FinishJob(const Job *job)
{
    ConsoleSetClient(job->peer);
    if (job->client < 0) {
        FinishReplay(job);
    } else {
        serviceLoop.databaseDown = job->outcome == STATEMENT_NOT_SENT;
        if (spool.file != FILE_NONE && job->outcome == STATEMENT_NOT_SENT)
            SpoolStatement(job->text);
        else if (spool.file != FILE_NONE && job->outcome == STATEMENT_UNKNOWN)
            ConsoleLine("Statement outcome unknown, not retried.\n");
        else if (job->outcome == STATEMENT_NOT_SENT)
            serviceCounters.dropped[DROP_NOT_SENT]++;
    }
    ConsoleSetClient("");
}

void ReplayWhenDue(void)
{
    Job job;
    int read;

    if (spool.waiting == 0 || serviceLoop.replayOut || serviceLoop.jobsOut >= serviceLoop.sessions ||
        ClockMs() < serviceLoop.replayAt || serviceLoop.stopping != STOP_NONE)
        return;
    read = SpoolReadHead(job.text);
    if (read < 0) {
        ConsoleLine("Spool cannot be read: %s\n", FileErrorText());
        serviceLoop.replayAt = ClockMs() + REPLAY_PAUSE_MS;
        return;
    }
    if (read == 0) {
        // Damaged records set aside may have emptied it.
        ConsoleLine("Spool empty.\n");
        return;
    }
    job.client = -1;
    job.peer[0] = '\0';
    serviceLoop.replayOut = 1;
    SubmitStatement(&job);
}
