// The counters: kept by the loop as jobs come back and as it reads, spools
// and drops statements; written in the Prometheus text exposition format
// for a textfile collector, and as a line of their own.
#include "counters.h"

#include "loop.h"
#include "proxy.h"
#include "settings.h"

#include "platform.h"
#include "spool.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define METRICS_TEXT_MAX 16384

int64_t metricsEveryMs = 10000;

ServiceCounters serviceCounters;

static const double bucketBounds[DURATION_BUCKETS] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                      0.01,   0.025,   0.05,   0.1,   0.25,   0.5,
                                                      1,      2.5,     5,      10,    30,     60};
static const char *const dropReasons[DROP_REASONS] = {"spool_full", "spool_unwritable", "too_long", "nul_byte",
                                                      "incomplete", "not_sent",         "stopping",
                                                      "screened"};

static int64_t metricsAt;
static int64_t statsAt;
static int64_t metricsFailures;  // writes of the metrics file that failed
static int metricsFailing;       // the last one did

// Counts a failure under its SQLSTATE's class; once FAILURE_CLASSES - 1
// classes are known, any further one counts under "other".
static void CountFailure(const char *state)
{
    ServiceCounters *c = &serviceCounters;
    char sqlClass[6];
    int i;

    snprintf(sqlClass, sizeof sqlClass, "%.2s", state);
    for (i = 0; i < c->failureClasses && strcmp(c->failureClass[i], sqlClass) != 0; i++)
        continue;
    if (i == c->failureClasses && i == FAILURE_CLASSES - 1)
        snprintf(sqlClass, sizeof sqlClass, "other");
    if (i == c->failureClasses && i < FAILURE_CLASSES)
        memcpy(c->failureClass[c->failureClasses++], sqlClass, sizeof sqlClass);
    if (i == FAILURE_CLASSES)
        i = FAILURE_CLASSES - 1;
    c->failed[i]++;
}

void CountJob(const Job *job)
{
    serviceCounters.sessionsKept += job->keptChange;
    if (job->client == JOB_KEPT_CLOSED)
        return;
    serviceCounters.connects += job->connects;
    serviceCounters.connectFailures += job->connectFailures;
    if (job->outcome != STATEMENT_NOT_SENT) {
        int bucket = 0;
        double seconds = (double)job->elapsedUs / 1e6;
        while (bucket < DURATION_BUCKETS && seconds > bucketBounds[bucket])
            bucket++;
        serviceCounters.durations[bucket]++;
        serviceCounters.durationCount++;
        serviceCounters.durationSeconds += seconds;
    }
    if (job->outcome == STATEMENT_UNKNOWN)
        serviceCounters.statementsUnknown++;
    else if (job->outcome == STATEMENT_TAKEN && job->failed == 2)
        serviceCounters.dropped[DROP_SCREENED]++;
    else if (job->outcome == STATEMENT_TAKEN && job->failed)
        CountFailure(job->failedState);
    else if (job->outcome == STATEMENT_TAKEN)
        serviceCounters.statementsRun++;
    if (job->client < 0 && job->outcome != STATEMENT_NOT_SENT)
        serviceCounters.statementsReplayed++;
}

// The metrics file's text, built whole before it is written.
typedef struct MetricsText {
    char text[METRICS_TEXT_MAX];
    int length;
} MetricsText;

// Appends, never past the text's end; a text that overflowed is not written.
static void Append(MetricsText *m, const char *format, ...)
{
    va_list args;
    int added;

    if (m->length >= (int)sizeof m->text)
        return;
    va_start(args, format);
    added = vsnprintf(m->text + m->length, sizeof m->text - (size_t)m->length, format, args);
    va_end(args);
    m->length = added < 0 ? (int)sizeof m->text : m->length + added;
}

static void Family(MetricsText *m, const char *name, const char *type, const char *help)
{
    Append(m, "# HELP varn_odbc_%s %s\n# TYPE varn_odbc_%s %s\n", name, help, name, type);
}

static void Metric(MetricsText *m, const char *name, const char *type, const char *help, int64_t value)
{
    Family(m, name, type, help);
    Append(m, "varn_odbc_%s %lld\n", name, (long long)value);
}

int WriteMetricsFile(const char *path)
{
    static MetricsText m;
    const ServiceCounters *c = &serviceCounters;
    int64_t cumulative = 0;

    m.length = 0;
    Metric(&m, "clients", "gauge", "Clients connected now.", serviceLoop.clientCount);
    Metric(&m, "clients_connected_total", "counter", "Client connections accepted.", c->clientsConnected);
    Metric(&m, "clients_admitted_total", "counter", "Clients admitted by the filter.", c->clientsAdmitted);
    Metric(&m, "clients_denied_total", "counter", "Clients denied by the filter.", c->clientsDenied);
    if (trustedProxy.trusted) {
        Metric(&m, "proxy_clients_total", "counter", "Clients named by a PROXY header.", c->proxyClients);
        Metric(&m, "proxy_health_checks_total", "counter", "PROXY version 2 LOCAL connections, closed unread.",
               c->proxyHealthChecks);
        Metric(&m, "proxy_headers_refused_total", "counter",
               "Connections from the proxy network without a usable PROXY header.", c->proxyRefused);
    }
    Metric(&m, "statements_read_total", "counter", "Statements read from clients.", c->statementsRead);
    Metric(&m, "statements_run_total", "counter", "Statements the database ran (replays included).",
           c->statementsRun);
    Family(&m, "statements_failed_total", "counter", "Statements the database rejected, by SQLSTATE class.");
    for (int i = 0; i < c->failureClasses; i++)
        Append(&m, "varn_odbc_statements_failed_total{sqlstate_class=\"%s\"} %lld\n", c->failureClass[i],
               (long long)c->failed[i]);
    Metric(&m, "statements_unknown_outcome_total", "counter", "Statements whose connection was lost while they ran.",
           c->statementsUnknown);
    Metric(&m, "statements_spooled_total", "counter", "Statements kept in the spool.", c->statementsSpooled);
    Metric(&m, "statements_replayed_total", "counter", "Statements from the spool the database took.",
           c->statementsReplayed);
    Family(&m, "statements_dropped_total", "counter", "Statements read that never ran, by reason.");
    for (int i = 0; i < DROP_REASONS; i++)
        Append(&m, "varn_odbc_statements_dropped_total{reason=\"%s\"} %lld\n", dropReasons[i],
               (long long)c->dropped[i]);
    Metric(&m, "statements_waiting", "gauge", "Statements waiting for a session.", serviceLoop.turnCount);
    Metric(&m, "sessions", "gauge", "Database sessions.", serviceLoop.sessions);
    Metric(&m, "sessions_busy", "gauge", "Sessions running a statement.", serviceLoop.jobsOut);
    Metric(&m, "sessions_kept", "gauge", "Sessions keeping a connection.", c->sessionsKept);
    Metric(&m, "spool_waiting_statements", "gauge", "Statements waiting in the spool.",
           spool.file != FILE_NONE ? spool.waiting : 0);
    Metric(&m, "spool_waiting_bytes", "gauge", "Bytes of the statements waiting in the spool, records included.",
           spool.file != FILE_NONE && spool.waiting > 0 ? spool.end - spool.head : 0);
    Metric(&m, "spool_file_bytes", "gauge", "Size of the spool file.", spool.file != FILE_NONE ? spool.end : 0);
    Metric(&m, "connects_total", "counter", "Database connects made.", c->connects);
    Metric(&m, "connect_failures_total", "counter", "Database connects that failed.", c->connectFailures);
    Metric(&m, "metrics_write_failures_total", "counter", "Writes of this file that failed.", metricsFailures);
    Family(&m, "statement_duration_seconds", "histogram", "Time from a session taking a statement to its end.");
    for (int i = 0; i <= DURATION_BUCKETS; i++) {
        cumulative += c->durations[i];
        if (i < DURATION_BUCKETS)
            Append(&m, "varn_odbc_statement_duration_seconds_bucket{le=\"%g\"} %lld\n", bucketBounds[i],
                   (long long)cumulative);
        else
            Append(&m, "varn_odbc_statement_duration_seconds_bucket{le=\"+Inf\"} %lld\n", (long long)cumulative);
    }
    Append(&m, "varn_odbc_statement_duration_seconds_sum %.6f\nvarn_odbc_statement_duration_seconds_count %lld\n",
           c->durationSeconds, (long long)c->durationCount);
    if (m.length >= (int)sizeof m.text) {
        FileSetErrorText("more counters than the text holds");
        return -1;
    }
    return FileReplaceWith(path, m.text, m.length);
}

void WriteStatsLine(void)
{
    const ServiceCounters *c = &serviceCounters;
    int64_t failed = 0;
    int64_t dropped = 0;
    char proxy[128] = "";

    if (trustedProxy.trusted)
        snprintf(proxy, sizeof proxy, ", %lld through the proxy, %lld health checks, %lld proxy headers refused",
                 (long long)c->proxyClients, (long long)c->proxyHealthChecks, (long long)c->proxyRefused);
    for (int i = 0; i < c->failureClasses; i++)
        failed += c->failed[i];
    for (int i = 0; i < DROP_REASONS; i++)
        dropped += c->dropped[i];
    ConsoleLine("Stats: %d clients, %lld read, %lld run, %lld failed, %lld outcome unknown, %lld spooled, %lld "
                "replayed, %lld dropped, %d waiting, %d of %d sessions busy, %d kept, %ld in the spool%s\n",
                serviceLoop.clientCount, (long long)c->statementsRead, (long long)c->statementsRun, (long long)failed,
                (long long)c->statementsUnknown, (long long)c->statementsSpooled, (long long)c->statementsReplayed,
                (long long)dropped, serviceLoop.turnCount, serviceLoop.jobsOut, serviceLoop.sessions,
                c->sessionsKept, spool.file != FILE_NONE ? spool.waiting : 0L, proxy);
}

int64_t ReportWhenDue(int now)
{
    int64_t clock = ClockMs();
    int64_t next = -1;

    if (serviceSettings.metricsFile[0] != '\0') {
        if (now || clock >= metricsAt) {
            // A file that cannot be written now is tried again at the next
            // write, not every turn, and said once for each spell of
            // failures, which the file counts once it is written again.
            int failed = WriteMetricsFile(serviceSettings.metricsFile) != 0;
            if (failed && !metricsFailing)
                ConsoleLine("Metrics file %s cannot be written: %s\n", serviceSettings.metricsFile, FileErrorText());
            metricsFailures += failed;
            metricsFailing = failed;
            metricsAt = clock + metricsEveryMs;
        }
        next = metricsAt - clock;
    }
    if (serviceSettings.statsInterval > 0) {
        int64_t every = (int64_t)serviceSettings.statsInterval * 1000;
        if (statsAt == 0)
            statsAt = clock + every;
        if (now || clock >= statsAt) {
            WriteStatsLine();
            statsAt = clock + every;
        }
        if (next < 0 || statsAt - clock < next)
            next = statsAt - clock;
    }
    return next;
}
