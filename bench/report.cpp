// The benchmark's tables, in Markdown, on standard output.
#include "bench.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

static double Ratio(double part, double whole)
{
    return whole > 0 ? part / whole : 0;
}

static void PrintRateRow(const BenchSource *source, const char *row, const PhaseResult *rate,
                         const PhaseResult *latency, const SourceResults *all, int withRatios)
{
    printf("| %s | %s | %.0f | %.3f | %.3f |", source->label, row, rate->rate, latency->p50Ms, latency->p99Ms);
    if (withRatios)
        printf(" %.3f | %.3f |\n", Ratio(rate->rate, all->session.rate), Ratio(rate->rate, all->held.rate));
    else
        printf(" | |\n");
}

static void PrintLookRow(const BenchSource *source, const char *row, const PhaseResult *latency)
{
    char hits[32];
    if (source->kind == BENCH_KIND_SQLITE)
        snprintf(hits, sizeof hits, "n/a");
    else
        snprintf(hits, sizeof hits, "%ld", latency->firstLookHits);
    printf("| %s | %s | %ld | %.1f | %.0f | %s |\n", source->label, row, latency->statements,
           latency->pollsPerStatement, latency->pollUs, hits);
}

static const char *YesNo(int value)
{
    return value < 0 ? "n/a" : value ? "yes" : "no";
}

// What the service adds in CPU time per statement: its own CPU time less
// that of the same sessions run in process.
static double OwnCpuUs(const SourceResults *r)
{
    return r->oneConnection.cpuUsPerStatement - r->session.cpuUsPerStatement;
}

// The CPU limit for what the service adds: 1.5 times the floor plus 50 us.
static double OwnCpuLimitUs(const SourceResults *r)
{
    return 1.5 * r->floor.cpuUsPerStatement + 50;
}

// The best share of the in-process session rate the design allows: a
// statement costs at least its session plus the one-byte reads.
static double BestRatio(const SourceResults *r)
{
    double session = r->session.rate > 0 ? 1 / r->session.rate : 0;
    double reads = r->floor.statements > 0 ? r->floor.seconds / (double)r->floor.statements : 0;
    return session + reads > 0 ? session / (session + reads) : 0;
}

void PrintTables(const BenchEnvironment *env, const BenchSource *sources, const SourceResults *results,
                 int sourceCount)
{
    char date[64];
    time_t now = time(NULL);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", localtime(&now));

    printf("varn-bench %s, %.1f s per row in %d rounds, %ld CPUs online\n\n", date, env->seconds,
           env->rounds, sysconf(_SC_NPROCESSORS_ONLN));
    printf("## Statements per second and latency to a visible row\n\n");
    printf("| Data source | Row | Statements/s | p50 ms | p99 ms | 1:2 | 1:3 |\n");
    printf("|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        if (!r->ran)
            continue;
        PrintRateRow(&sources[i], "1 service, one connection", &r->oneConnection, &r->latencyOne, r, 1);
        PrintRateRow(&sources[i], "1 service, connection per statement", &r->successive, &r->latencyEach, r, 1);
        PrintRateRow(&sources[i], "2 session per statement, in process", &r->session, &r->session, r, 0);
        PrintRateRow(&sources[i], "3 held connection, in process", &r->held, &r->held, r, 0);
        PrintRateRow(&sources[i], "4 service, driver-manager pooling", &r->pooled, &r->pooledLatency, r, 1);
    }

    printf("\n## CPU time per statement (%d-byte statements)\n\n", BENCH_STATEMENT_BYTES);
    printf("| Data source | Service us | Service us/byte | Session in process us | Service's own us | "
           "Floor us | Floor wall us | Limit us |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        if (!r->ran)
            continue;
        printf("| %s | %.1f | %.2f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", sources[i].label,
               r->oneConnection.cpuUsPerStatement, r->oneConnection.cpuUsPerStatement / BENCH_STATEMENT_BYTES,
               r->session.cpuUsPerStatement, OwnCpuUs(r), r->floor.cpuUsPerStatement,
               r->floor.statements > 0 ? r->floor.seconds * 1e6 / (double)r->floor.statements : 0,
               OwnCpuLimitUs(r));
    }

    printf("\n## Resident memory of the service\n\n");
    printf("| Data source | Statements | RSS after %ld KiB | RSS after all KiB | Growth KiB |\n",
           MEMORY_FIRST_STATEMENTS);
    printf("|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        if (r->ran && r->memoryStatements > 0)
            printf("| %s | %ld | %ld | %ld | %ld |\n", sources[i].label, r->memoryStatements, r->residentFirstKiB,
                   r->residentLastKiB, r->residentLastKiB - r->residentFirstKiB);
    }

    printf("\n## Targets\n\n");
    printf("| Data source | Best ratio the design allows | Target | Measured | Met |\n");
    printf("|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        double ratio = Ratio(r->oneConnection.rate, r->session.rate);
        if (!r->ran)
            continue;
        if (BestRatio(r) >= 0.9)
            printf("| %s | %.3f | service >= 0.9 x session per statement | %.3f | %s |\n", sources[i].label,
                   BestRatio(r), ratio, YesNo(ratio >= 0.9));
        else
            printf("| %s | %.3f | service's own CPU <= 1.5 x floor + 50 us | %.1f us, limit %.1f us | %s |\n",
                   sources[i].label, BestRatio(r), OwnCpuUs(r), OwnCpuLimitUs(r),
                   YesNo(OwnCpuUs(r) <= OwnCpuLimitUs(r)));
        if (r->memoryStatements > 0)
            printf("| %s | | RSS growth after %ld statements <= 1024 KiB | %ld KiB | %s |\n", sources[i].label,
                   r->memoryStatements, r->residentLastKiB - r->residentFirstKiB,
                   YesNo(r->residentLastKiB - r->residentFirstKiB <= 1024));
    }

    printf("\n## How the latency was taken\n\n");
    printf("| Data source | Row | Samples | Looks per statement | us per look | Found at first look |\n");
    printf("|---|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        if (!r->ran)
            continue;
        PrintLookRow(&sources[i], "one connection", &r->latencyOne);
        PrintLookRow(&sources[i], "connection per statement", &r->latencyEach);
        PrintLookRow(&sources[i], "pooling", &r->pooledLatency);
    }

    printf("\n## Session state from one statement to the next\n\n");
    printf("| Data source | Configuration | Server sessions for 5 statements | SET carried | Temporary table "
           "carried | BEGIN; leaves later statements uncommitted |\n");
    printf("|---|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        const ProbeResult *probes[] = {&r->plainProbe, &r->pooledProbe};
        const char *names[] = {"plain", "pooling"};
        if (!r->ran)
            continue;
        for (int p = 0; p < 2; p++) {
            char sessions[32];
            if (probes[p]->sessions < 0)
                snprintf(sessions, sizeof sessions, "n/a");
            else
                snprintf(sessions, sizeof sessions, "%ld", probes[p]->sessions);
            printf("| %s | %s | %s | %s | %s | %s |\n", sources[i].label, names[p], sessions,
                   YesNo(probes[p]->settingCarried), YesNo(probes[p]->temporaryCarried),
                   YesNo(probes[p]->beginHolds));
        }
    }
}
