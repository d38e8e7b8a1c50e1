// The figures: percentiles, the tables in Markdown on standard output, and
// the check that a data source's figures hang together.
#include "bench.h"

#include "loop.h"
#include "service.h"
#include "spool.h"

#include <algorithm>
#include <initializer_list>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

char firstComplaint[256];

void Complain(const char *format, ...)
{
    char text[sizeof firstComplaint];
    va_list args;

    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[strcspn(text, "\n")] = '\0';
    fprintf(stderr, "varn-bench: %s\n", text);
    if (firstComplaint[0] == '\0')
        snprintf(firstComplaint, sizeof firstComplaint, "%s", text);
}

// A source without figures takes one row in a table, which says why.
static int NoFigures(const Source *source, const Results *r)
{
    if (r->measured)
        return 0;
    printf("| %s | failed: %s |\n", source->label, r->failure);
    return 1;
}

int HasRow(const Source *source, int row)
{
    // Many and kept sessions need a database server; a drain under load, a
    // database that can be taken down; a server that never answers, its
    // data source.
    if (row >= ROW_SESSIONS_1 && row <= ROW_HELD_RESET)
        return source->server;
    if (row == ROW_HANG)
        return source->hangDataSource[0] != '\0';
    if (row == ROW_REFERENCE)
        return referenceProgram[0] != '\0';
    if (row == ROW_DRAIN)
        return source->outageDataSource[0] != '\0';
    return source->outageDataSource[0] != '\0' || (row != ROW_SPOOLING && row != ROW_REPLAY);
}

void AddSample(Row *row, double milliseconds)
{
    if (row->samples != NULL && row->sampleCount < MAX_SAMPLES)
        row->samples[row->sampleCount++] = milliseconds;
}

// Nearest-rank percentiles: the smallest sample at or above the share.
void FinishRow(Row *row)
{
    row->rate = row->seconds > 0 ? (double)row->statements / row->seconds : 0;
    row->cpuUs = row->statements > 0 ? row->cpuSeconds * 1e6 / (double)row->statements : 0;
    std::sort(row->samples, row->samples + row->sampleCount);
    if (row->sampleCount > 0) {
        row->p50Ms = row->samples[(row->sampleCount * 50 + 99) / 100 - 1];
        row->p99Ms = row->samples[(row->sampleCount * 99 + 99) / 100 - 1];
    }
}

#define TEXT(x) #x
#define NUMBER_TEXT(x) TEXT(x)

// What the service adds to a session in CPU time, and the limit for it.
static double OwnCpuUs(const Row *rows, int row)
{
    return rows[row].cpuUs - rows[ROW_SESSION].cpuUs;
}

static double LimitUs(const Row *rows)
{
    return 1.5 * rows[ROW_FLOOR].cpuUs + 50;
}

void PrintTables(const Source *sources, const Results *results, int count)
{
    const char *names[] = {"1 service, one connection",
                           "1 service, connection per statement",
                           "2 session per statement, in process",
                           "3 held connection, in process",
                           "4 service, driver-manager pooling",
                           "5 service, Max Clients " NUMBER_TEXT(MANY_CLIENTS) ", one connection",
                           "6 as 5, beside " NUMBER_TEXT(IDLE_CLIENTS) " idle clients",
                           "7 as 6, and a client dripping a statement",
                           "8 as 1, Spool File set, database up",
                           "9 service spooling, database down",
                           "10 replay of 9 once the database is back",
                           "19 as 1, Max Clients " NUMBER_TEXT(FEW_CLIENTS),
                           "20 as 1, on the earlier build (--reference)",
                           "21 as 1, Metrics File set, Log Format json"};
    char date[64];
    double load[3] = {0, 0, 0};
    time_t now = time(NULL);

    strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", localtime(&now));
    getloadavg(load, 3);
    printf("varn-bench %s, %ld CPUs online, load average %.2f %.2f %.2f\n\n## Statements per second and time per "
           "statement\n\n| Data source | Row | Statements/s | p50 ms | p99 ms | 1:2 | 1:3 "
           "|\n|---|---|---|---|---|---|---|\n",
           date, sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        if (NoFigures(&sources[i], &results[i]))
            continue;
        for (int k = ROW_ONE; k < ROW_FLOOR; k++) {
            if (!HasRow(&sources[i], k))
                continue;
            printf("| %s | %s | %.0f | %.3f | %.3f |", sources[i].label, names[k], rows[k].rate, rows[k].p50Ms,
                   rows[k].p99Ms);
            if (k == ROW_SESSION || k == ROW_HELD)
                printf(" | |\n");
            else
                printf(" %.3f | %.3f |\n", rows[k].rate / rows[ROW_SESSION].rate, rows[k].rate / rows[ROW_HELD].rate);
        }
    }
    printf("\n## CPU time per statement\n\n| Data source | Service us | Service us/byte | Session in process us | "
           "Service's own us | Floor us | Floor wall us | Limit us |\n|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        if (NoFigures(&sources[i], &results[i]))
            continue;
        printf("| %s | %.1f | %.2f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", sources[i].label, rows[ROW_ONE].cpuUs,
               rows[ROW_ONE].cpuUs / STATEMENT_BYTES, rows[ROW_SESSION].cpuUs, OwnCpuUs(rows, ROW_ONE),
               rows[ROW_FLOOR].cpuUs, 1e6 / rows[ROW_FLOOR].rate, LimitUs(rows));
    }
    printf("\n## CPU time per statement with Max Clients %d and %d, and on the earlier build\n\n| Data source | "
           "Service (5) us | Service's own (5) us | Service (6) us | Service (7) us | Service (19) us | Service's own "
           "(19) us | Earlier build (20) us | 1 over 20 |\n|---|---|---|---|---|---|---|---|---|\n",
           MANY_CLIENTS, FEW_CLIENTS);
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        if (NoFigures(&sources[i], &results[i]))
            continue;
        printf("| %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |", sources[i].label, rows[ROW_ALONE].cpuUs,
               OwnCpuUs(rows, ROW_ALONE), rows[ROW_IDLE].cpuUs, rows[ROW_DRIP].cpuUs, rows[ROW_FEW].cpuUs,
               OwnCpuUs(rows, ROW_FEW));
        if (HasRow(&sources[i], ROW_REFERENCE))
            printf(" %.1f | %.3f |\n", rows[ROW_REFERENCE].cpuUs, rows[ROW_ONE].cpuUs / rows[ROW_REFERENCE].cpuUs);
        else
            printf(" | |\n");
    }
    printf("\n## CPU time per statement with a spool\n\n| Data source | Service (1) us | Spool set (8) us | 8 over 1 | "
           "Spooling (9) us | Replay (10) us |\n|---|---|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        if (NoFigures(&sources[i], &results[i]))
            continue;
        printf("| %s | %.1f | %.1f | %.3f |", sources[i].label, rows[ROW_ONE].cpuUs, rows[ROW_SPOOL_SET].cpuUs,
               rows[ROW_SPOOL_SET].cpuUs / rows[ROW_ONE].cpuUs);
        if (HasRow(&sources[i], ROW_SPOOLING))
            printf(" %.1f | %.1f |\n", rows[ROW_SPOOLING].cpuUs, rows[ROW_REPLAY].cpuUs);
        else
            printf(" | |\n");
    }
    printf("\n## Targets\n\n| Data source | Target | Measured | Met |\n|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        if (results[i].failure[0] != '\0')
            printf("| %s | measured whole, figures that hang together | failed: %s | no |\n", sources[i].label,
                   results[i].failure);
        if (!results[i].measured)
            continue;
        long growth = results[i].rssLastKiB - results[i].rssFirstKiB;
        double target = sources[i].ratioTarget;
        for (int row : {ROW_ONE, ROW_FEW}) {
            double ratio = rows[row].rate / rows[ROW_SESSION].rate;
            if (target > 0)
                printf("| %s | %d >= %.2f x session per statement | %.3f | %s |\n", sources[i].label,
                       row == ROW_ONE ? 1 : 19, target, ratio, ratio >= target ? "yes" : "no");
            else
                printf("| %s | %d against a session per statement (no target) | %.3f | |\n", sources[i].label,
                       row == ROW_ONE ? 1 : 19, ratio);
        }
        if (HasRow(&sources[i], ROW_REFERENCE))
            printf("| %s | service's CPU in 1 <= 1.05 x the earlier build's (20), taken in turns | %.1f us, limit "
                   "%.1f us | %s |\n",
                   sources[i].label, rows[ROW_ONE].cpuUs, 1.05 * rows[ROW_REFERENCE].cpuUs,
                   rows[ROW_ONE].cpuUs <= 1.05 * rows[ROW_REFERENCE].cpuUs ? "yes" : "no");
        double observed = rows[ROW_OBSERVED].rate / rows[ROW_ONE].rate;
        printf("| %s | 21 (Metrics File, Log Format json) >= 0.97 x 1 in statements/s | %.3f | %s |\n",
               sources[i].label, observed, observed >= 0.97 ? "yes" : "no");
        double idleRatio = rows[ROW_IDLE].rate / rows[ROW_ALONE].rate;
        printf("| %s | 6 >= 0.95 x 5 in statements/s | %.3f | %s |\n", sources[i].label, idleRatio,
               idleRatio >= 0.95 ? "yes" : "no");
        printf("| %s | p99 of 7 <= 1.5 x p99 of 5 | %.3f ms, limit %.3f ms | %s |\n", sources[i].label,
               rows[ROW_DRIP].p99Ms, 1.5 * rows[ROW_ALONE].p99Ms,
               rows[ROW_DRIP].p99Ms <= 1.5 * rows[ROW_ALONE].p99Ms ? "yes" : "no");
        printf("| %s | service's CPU in 5 <= 1.1 x in 1 | %.1f us, limit %.1f us | %s |\n", sources[i].label,
               rows[ROW_ALONE].cpuUs, 1.1 * rows[ROW_ONE].cpuUs,
               rows[ROW_ALONE].cpuUs <= 1.1 * rows[ROW_ONE].cpuUs ? "yes" : "no");
        printf("| %s | service's CPU in 8 <= 1.1 x in 1 | %.1f us, limit %.1f us | %s |\n", sources[i].label,
               rows[ROW_SPOOL_SET].cpuUs, 1.1 * rows[ROW_ONE].cpuUs,
               rows[ROW_SPOOL_SET].cpuUs <= 1.1 * rows[ROW_ONE].cpuUs ? "yes" : "no");
        if (HasRow(&sources[i], ROW_SPOOLING)) {
            double spooling = rows[ROW_SPOOLING].rate / rows[ROW_ONE].rate;
            double replay = rows[ROW_REPLAY].rate / rows[ROW_ONE].rate;
            printf("| %s | 9 >= 1 x 1 in statements/s | %.3f | %s |\n", sources[i].label, spooling,
                   spooling >= 1 ? "yes" : "no");
            printf("| %s | 10 >= 0.9 x 1 in statements/s | %.3f | %s |\n", sources[i].label, replay,
                   replay >= 0.9 ? "yes" : "no");
        }
        if (rows[ROW_MEMORY].statements > 0)
            printf("| %s | RSS growth <= 1024 KiB | %ld KiB after %ld statements, %ld KiB after %ld | %s |\n",
                   sources[i].label, results[i].rssFirstKiB, MEMORY_FIRST_STATEMENTS, results[i].rssLastKiB,
                   rows[ROW_MEMORY].statements, growth <= 1024 ? "yes" : "no");
        if (rows[ROW_MEMORY_MANY].statements > 0) {
            // The first MEMORY_FIRST_STATEMENTS went over one connection, before the clients came.
            long spread = rows[ROW_MEMORY_MANY].statements - MEMORY_FIRST_STATEMENTS;
            printf("| %s | Max Clients %d: RSS with %d clients <= 4096 KiB above 1 | %ld KiB with 1, %ld KiB with "
                   "%d | %s |\n",
                   sources[i].label, MAX_CLIENTS_LIMIT, MEMORY_CLIENTS, results[i].rssOneClientKiB,
                   results[i].rssClientsKiB, MEMORY_CLIENTS,
                   results[i].rssClientsKiB - results[i].rssOneClientKiB <= 4096 ? "yes" : "no");
            printf("| %s | Max Clients %d: RSS growth <= 1024 KiB, statements over %d clients | %ld KiB after %ld "
                   "statements, %ld KiB after %ld | %s |\n",
                   sources[i].label, MAX_CLIENTS_LIMIT, SPREAD_CLIENTS, results[i].rssSpreadFirstKiB,
                   MEMORY_FIRST_STATEMENTS, results[i].rssSpreadLastKiB, spread,
                   results[i].rssSpreadLastKiB - results[i].rssSpreadFirstKiB <= 1024 ? "yes" : "no");
        }
        if (rows[ROW_MEMORY_SPOOL].statements > 0)
            printf("| %s | spooling, database down: RSS growth <= 1024 KiB | %ld KiB after %ld statements, %ld KiB "
                   "after %ld; %ld records, %ld bytes | %s |\n",
                   sources[i].label, results[i].rssSpoolFirstKiB, MEMORY_FIRST_STATEMENTS, results[i].rssSpoolLastKiB,
                   rows[ROW_MEMORY_SPOOL].statements, results[i].spoolRecords, results[i].spoolBytes,
                   results[i].rssSpoolLastKiB - results[i].rssSpoolFirstKiB <= 1024 ? "yes" : "no");
    }
}

int CheckFigures(const Source *source, const Results *r)
{
    int sane = r->rows[ROW_FLOOR].cpuUs > 0;

    for (int k = ROW_ONE; k < ROW_FLOOR; k++) {
        if (!HasRow(source, k))
            continue;
        // Each sample is one statement's whole time, so that the samples add
        // up to the row's time: their median cannot lie far above the mean,
        // nor can nearly all of them lie far below it.
        const Row *row = &r->rows[k];
        double meanMs = 1e3 / row->rate;
        if (!(row->rate > 0 && row->cpuUs > 0 && row->p50Ms > 0 && row->p50Ms <= 3 * meanMs &&
              row->p99Ms >= row->p50Ms && row->p99Ms >= 0.5 * meanMs)) {
            Complain("%s: figures that do not hang together: %.1f/s, p50 %.3f ms, p99 %.3f ms", source->label,
                     row->rate, row->p50Ms, row->p99Ms);
            sane = 0;
        }
    }
    // Every statement sent to the outage's service was spooled, and replayed
    // once its database was back; the spool of the memory run holds each of
    // its statements, a header and the text, and nothing else.
    long spooled = r->rows[ROW_MEMORY_SPOOL].statements;
    if (HasRow(source, ROW_SPOOLING) && r->rows[ROW_REPLAY].statements != r->rows[ROW_SPOOLING].statements) {
        Complain("%s: %ld statements spooled, %ld replayed", source->label, r->rows[ROW_SPOOLING].statements,
                 r->rows[ROW_REPLAY].statements);
        sane = 0;
    }
    if (r->spoolRecords != spooled || r->spoolBytes != spooled * (SPOOL_HEADER_SIZE + STATEMENT_BYTES)) {
        Complain("%s: %ld statements spooled, the spool holds %ld in %ld bytes", source->label, spooled,
                 r->spoolRecords, r->spoolBytes);
        sane = 0;
    }
    return sane;
}

// Whether any of the sources has the row: a table without one is left out.
static int AnyHasRow(const Source *sources, int count, int row)
{
    for (int i = 0; i < count; i++)
        if (HasRow(&sources[i], row))
            return 1;
    return 0;
}

// Whether a source was measured and has the row: its line in a table.
static int Shows(const Source *source, const Results *result, int row)
{
    return result->measured && HasRow(source, row);
}

// CPU time per statement of a row's database server, where it was timed.
static double ServerCpuUs(const Row *row)
{
    return row->statements > 0 ? row->serverCpuSeconds * 1e6 / (double)row->statements : 0;
}

static void PrintSessionsTable(const Source *sources, const Results *results, int count)
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);

    if (!AnyHasRow(sources, count, ROW_SESSIONS_1))
        return;
    printf("\n## Database sessions, %d clients (rows 12 to 14)\n\nThe rate that %ld CPUs could carry at the service's "
           "and server's CPU time per statement, and how much of them was idle.\n\n| Data source | Database Sessions | "
           "Statements/s | over 1 session | Service CPU us | Server CPU us | CPU-bound rate | Idle CPU |\n"
           "|---|---|---|---|---|---|---|---|\n",
           LOAD_CLIENTS, cpus);
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        const int sessions[] = {1, 4, 8};
        if (!Shows(&sources[i], &results[i], ROW_SESSIONS_1))
            continue;
        for (int k = 0; k < 3; k++) {
            const Row *row = &rows[ROW_SESSIONS_1 + k];
            double cpuUs = row->cpuUs + ServerCpuUs(row);
            printf("| %s | %d | %.0f | %.3f | %.1f | %.1f | %.0f | %.0f%% |\n", sources[i].label, sessions[k], row->rate,
                   row->rate / rows[ROW_SESSIONS_1].rate, row->cpuUs, ServerCpuUs(row),
                   sources[i].serverPid > 0 ? (double)cpus * 1e6 / cpuUs : 0,
                   100 * row->idleCpuSeconds / ((double)cpus * row->seconds));
        }
    }
}

// Per statement, over a row's statements.
static double PerStatement(double total, const Row *row)
{
    return row->statements > 0 ? total / (double)row->statements : 0;
}

static void PrintReuseTable(const Source *sources, const Results *results, int count)
{
    const int shown[] = {ROW_ONE, ROW_REUSE_ONE, ROW_REUSE_MANY, ROW_HELD_RESET, ROW_HELD};
    const char *names[] = {"1 service, one connection", "15 service, Reuse Sessions 1, one connection",
                           "16 as 15, " NUMBER_TEXT(LOAD_CLIENTS) " clients",
                           "17 held connection reset before each statement, in process",
                           "3 held connection, in process"};

    if (!AnyHasRow(sources, count, ROW_REUSE_ONE))
        return;
    printf("\n## Kept sessions (rows 15 to 17)\n\nCPU is the service's, or this process's for rows in process. "
           "Requests: data segments sent per statement on the connections that the service kept or this process "
           "held.\n\n| Data source | Row | Statements/s | over 3 | "
           "CPU us | Server CPU us | Requests |\n|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Row *rows = results[i].rows;
        if (!Shows(&sources[i], &results[i], ROW_REUSE_ONE))
            continue;
        for (int k = 0; k < 5; k++) {
            const Row *row = &rows[shown[k]];
            if (row->statements == 0)
                continue;
            printf("| %s | %s | %.0f | %.3f | %.1f | %.1f |", sources[i].label, names[k], row->rate,
                   row->rate / rows[ROW_HELD].rate, row->cpuUs, ServerCpuUs(row));
            if (row->segmentsOut > 0)
                printf(" %.2f |\n", PerStatement((double)row->segmentsOut, row));
            else
                printf(" none kept |\n");
        }
    }
}

// One line of the time table: a service row's wall time (ms) and CPU time
// (us) per statement beside what its parts cost where they are timed
// alone, and what is left.
static void PrintTimeLine(const Source *source, const Results *r, int row, int receives)
{
    const Row *rows = r->rows;
    const Row *database = &rows[row == ROW_REUSE_ONE ? ROW_HELD : ROW_SESSION];
    const Row *reset = &rows[ROW_HELD_RESET];
    const Row *handOver = &rows[ROW_FLOOR_HANDOVER];
    const Row *console = &rows[ROW_FLOOR_CONSOLE];
    double resetMs = row == ROW_REUSE_ONE ? PerStatement(r->reset[0] * 1e3, reset) : 0;
    double resetUs = row == ROW_REUSE_ONE ? PerStatement(r->reset[1] * 1e6, reset) : 0;
    double ms = 1e3 / rows[row].rate;
    double partsMs = 1e3 / database->rate + resetMs + 1e3 / rows[receives].rate + 1e3 / handOver->rate +
                     1e3 / console->rate;
    double partsUs = database->cpuUs + resetUs + rows[receives].cpuUs + handOver->cpuUs + console->cpuUs;

    printf("| %s | %d | %.3f | %.1f | %.3f | %.1f | %.3f | %.1f | %.3f | %.1f | %.3f | %.1f | %.1f | %.3f | %.1f |\n",
           source->label, row == ROW_ONE ? 1 : row == ROW_FEW ? 19 : 15, ms, rows[row].cpuUs, 1e3 / database->rate,
           database->cpuUs, resetMs, resetUs, 1e3 / rows[receives].rate, rows[receives].cpuUs, 1e3 / handOver->rate,
           handOver->cpuUs, console->cpuUs, ms - partsMs, rows[row].cpuUs - partsUs);
}

static void PrintTimeTable(const Source *sources, const Results *results, int count)
{
    printf("\n## Where a statement's time goes\n\nPer statement, wall time in ms and CPU time in us: the service's "
           "row; the database's part timed in process (rows 1 and 19: a session of its own, row 2; row 15: the "
           "statement on a held connection, row 3, and the reset of row 17); and the floors of the service's own "
           "parts: its receives (one call for the whole statement, more than they pay, as they take about ten "
           "statements a call), the hand-over to a session's thread and back (two thread "
           "wake-ups), and one console line. The rest is what none of these account for; in row 15 the reset "
           "overlaps the loop's reading, so the wall times need not add up.\n\n| Data source | Row | ms | CPU | "
           "Database ms | Database CPU | Reset ms | Reset CPU | Receives ms | Receives CPU | Hand-over ms | Hand-over "
           "CPU | Console CPU | Rest ms | Rest CPU |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Results *r = &results[i];
        if (!r->measured)
            continue;
        PrintTimeLine(&sources[i], r, ROW_ONE, ROW_FLOOR_WHOLE);
        PrintTimeLine(&sources[i], r, ROW_FEW, ROW_FLOOR_WHOLE);
        if (HasRow(&sources[i], ROW_REUSE_ONE) && r->rows[ROW_HELD_RESET].statements > 0)
            PrintTimeLine(&sources[i], r, ROW_REUSE_ONE, ROW_FLOOR_WHOLE);
    }
}

static void PrintHangTable(const Source *sources, const Results *results, int count)
{
    if (!AnyHasRow(sources, count, ROW_HANG))
        return;
    printf("\n## A server that never answers (row 18)\n\nAnother client's statement, from its last byte sent to "
           "its Query line, while a connect hangs.\n\n| Data source | Samples | p50 ms | Most ms |\n|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Row *row = &results[i].rows[ROW_HANG];
        if (Shows(&sources[i], &results[i], ROW_HANG) && row->sampleCount > 0)
            printf("| %s | %ld | %.3f | %.3f |\n", sources[i].label, row->sampleCount, row->p50Ms,
                   row->samples[row->sampleCount - 1]);
    }
}

static void PrintDrainTable(const Source *sources, const Results *results, int count)
{
    if (!AnyHasRow(sources, count, ROW_DRAIN))
        return;
    printf("\n## A drain while a client sends (row 11)\n\n| Data source | Backlog | Replay (10)/s | Client sent at/s "
           "| Client's taken into the spool/s | Replays/s | Time to Spool empty s | Backlog / spare rate s | "
           "Spool file most bytes | Waiting most bytes | Service CPU per replay us |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        const Results *r = &results[i];
        const Row *row = &r->rows[ROW_DRAIN];
        if (!Shows(&sources[i], r, ROW_DRAIN) || r->drainBacklog == 0 || row->seconds <= 0)
            continue;
        printf("| %s | %ld | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f | %ld | %ld | %.1f |\n", sources[i].label,
               r->drainBacklog, r->drainReplayRate, r->drainOffered, (double)r->drainJoined / row->seconds,
               (double)r->drainReplays / row->seconds, row->seconds,
               (double)r->drainBacklog / (r->drainReplayRate - r->drainOffered), r->spoolFileMost, r->waitingBytesMost,
               r->drainReplays > 0 ? row->cpuSeconds * 1e6 / (double)r->drainReplays : 0);
    }
}

void PrintLoadTables(const Source *sources, const Results *results, int count)
{
    PrintSessionsTable(sources, results, count);
    PrintReuseTable(sources, results, count);
    PrintTimeTable(sources, results, count);
    PrintHangTable(sources, results, count);
    PrintDrainTable(sources, results, count);
    printf("\n## Targets of rows 11 to 18\n\n| Data source | Target | Measured | Met |\n|---|---|---|---|\n");
    for (int i = 0; i < count; i++) {
        if (!results[i].measured)
            continue;
        const Results *r = &results[i];
        const Row *rows = r->rows;
        const char *label = sources[i].label;
        if (HasRow(&sources[i], ROW_DRAIN) && r->drainBacklog > 0 && rows[ROW_DRAIN].seconds > 0) {
            double expected = (double)r->drainBacklog / (r->drainReplayRate - r->drainOffered);
            printf("| %s | time to Spool empty <= 1.5 x backlog / spare rate | %.2f s, limit %.2f s | %s |\n", label,
                   rows[ROW_DRAIN].seconds, 1.5 * expected, rows[ROW_DRAIN].seconds <= 1.5 * expected ? "yes" : "no");
            printf("| %s | spool file <= 2 x bytes waiting, at most | %ld bytes, limit %ld | %s |\n", label,
                   r->spoolFileMost, 2 * r->waitingBytesMost, r->spoolFileMost <= 2 * r->waitingBytesMost ? "yes" : "no");
        }
        if (HasRow(&sources[i], ROW_SESSIONS_1)) {
            double scale = rows[ROW_SESSIONS_8].rate / rows[ROW_SESSIONS_1].rate;
            printf("| %s | 8 sessions >= 2 x 1, %d clients | %.3f | %s |\n", label, LOAD_CLIENTS, scale,
                   scale >= 2 ? "yes" : "no");
            // Only a database whose reset is complete keeps a connection
            // (row 17 ran); on any other, kept sessions are fresh ones.
            for (int k : {ROW_REUSE_ONE, ROW_REUSE_MANY}) {
                double share = rows[k].rate / rows[ROW_HELD].rate;
                double target = k == ROW_REUSE_ONE ? 0.5 : 0.6;
                if (rows[ROW_HELD_RESET].statements > 0)
                    printf("| %s | %s >= %.1f x 3 | %.3f | %s |\n", label, k == ROW_REUSE_ONE ? "15" : "16", target,
                           share, share >= target ? "yes" : "no");
            }
        }
        if (HasRow(&sources[i], ROW_HANG) && rows[ROW_HANG].sampleCount > 0) {
            double most = rows[ROW_HANG].samples[rows[ROW_HANG].sampleCount - 1];
            printf("| %s | a statement beside a hung connect: its Query line <= 100 ms | %.3f ms at most | %s |\n",
                   label, most, most <= 100 ? "yes" : "no");
        }
    }
}

int CheckLoadFigures(const Source *source, const Results *r)
{
    const Row *rows = r->rows;
    int sane = 1;

    for (int k = ROW_SESSIONS_1; k <= ROW_REUSE_MANY; k++)
        if (HasRow(source, k) && !(rows[k].rate > 0 && rows[k].cpuUs > 0)) {
            fprintf(stderr, "varn-bench: %s: row %d ran nothing\n", source->label, k);
            sane = 0;
        }
    // Each service of a server that never answers gives one sample fewer
    // than its sessions: the first client's statement is the one that hangs.
    if (HasRow(source, ROW_HANG) &&
        (rows[ROW_HANG].sampleCount == 0 || rows[ROW_HANG].sampleCount % (HANG_SESSIONS - 1) != 0)) {
        fprintf(stderr, "varn-bench: %s: %ld samples beside a hung connect\n", source->label,
                rows[ROW_HANG].sampleCount);
        sane = 0;
    }
    // Every statement waiting when the drain began and every one the client
    // had taken into the spool was replayed.
    if (HasRow(source, ROW_DRAIN) && r->drainBacklog > 0 &&
        (r->drainReplays != r->drainBacklog + r->drainJoined || !(rows[ROW_DRAIN].seconds > 0))) {
        fprintf(stderr, "varn-bench: %s: %ld waiting and %ld joined, %ld replayed in %.3f s\n", source->label,
                r->drainBacklog, r->drainJoined, r->drainReplays, rows[ROW_DRAIN].seconds);
        sane = 0;
    }
    return sane;
}
