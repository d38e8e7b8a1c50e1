// varn-bench: measures the service against running the same sessions in
// process and against one held connection, per data source, and prints the
// results as Markdown tables on standard output (progress goes to standard
// error).
#include "bench.h"

#include <ctype.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_SOURCES 3

// Run ids keep each phase's rows apart in the one table.
#define RUN_SESSION 1
#define RUN_HELD 2
#define RUN_ONE_CONNECTION 3
#define RUN_SUCCESSIVE 4
#define RUN_LATENCY_ONE 5
#define RUN_LATENCY_EACH 6
#define RUN_POOLED 7
#define RUN_POOLED_LATENCY 8
#define RUN_MEMORY 9

#define MEMORY_FIRST_STATEMENTS 1000L

// How long a pooled connection may idle in the benchmark's pooling set-up.
#define POOL_TIMEOUT_SECONDS 60

// What one pooling probe found for one configuration. -1 means the probe
// does not apply to the data source or could not tell.
typedef struct ProbeResult {
    int ran;
    long sessions;
    int settingCarried;
    int temporaryCarried;
    int beginHolds;
} ProbeResult;

typedef struct SourceResults {
    int ran;
    PhaseResult session;
    PhaseResult held;
    PhaseResult oneConnection;
    PhaseResult successive;
    PhaseResult latencyOne;
    PhaseResult latencyEach;
    PhaseResult pooled;
    PhaseResult pooledLatency;
    ProbeResult plainProbe;
    ProbeResult pooledProbe;
    long memoryStatements;
    long residentFirstKiB;
    long residentLastKiB;
} SourceResults;

typedef struct BenchOptions {
    char odbcDir[BENCH_PATH_SIZE];
    char sources[BENCH_TEXT_SIZE];
    char userName[BENCH_TEXT_SIZE];
    char password[BENCH_TEXT_SIZE];
    char sqliteDriver[BENCH_PATH_SIZE];
    char memorySource[32];
    long memoryStatements;
} BenchOptions;

static BenchEnvironment benchEnv;
static BenchSource sources[MAX_SOURCES];
static SourceResults results[MAX_SOURCES];
static int sourceCount;
static PhaseResult floorResult;

static void Progress(const char *format, const char *label)
{
    fprintf(stderr, "varn-bench: ");
    fprintf(stderr, format, label);
    fputc('\n', stderr);
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

static void RemoveTree(const char *dir)
{
    if (dir[0] != '\0')
        nftw(dir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

static int CopyFile(const char *from, const char *to)
{
    char chunk[4096];
    size_t got;
    int status = 0;
    FILE *in = fopen(from, "rb");
    FILE *out;
    if (in == NULL) {
        fprintf(stderr, "varn-bench: cannot read %s: %s\n", from, strerror(errno));
        return -1;
    }
    out = fopen(to, "wb");
    if (out == NULL) {
        fclose(in);
        return -1;
    }
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
        if (fwrite(chunk, 1, got, out) != got)
            status = -1;
    fclose(in);
    if (fclose(out) != 0)
        status = -1;
    return status;
}

static void TrimLine(char *line)
{
    size_t length = strlen(line);
    while (length > 0 && isspace((unsigned char)line[length - 1]))
        line[--length] = '\0';
}

static int StartsWithKey(const char *line, const char *key)
{
    size_t length = strlen(key);
    while (isspace((unsigned char)*line))
        line++;
    if (strncasecmp(line, key, length) != 0)
        return 0;
    line += length;
    while (isspace((unsigned char)*line))
        line++;
    return *line == '=';
}

// Looks `key` up in section `section` of an ODBC ini file. Returns 1 and
// the value, or 0 when the file, the section or the key is missing.
static int ReadIniValue(const char *path, const char *section, const char *key, char *value, int valueSize)
{
    char line[BENCH_PATH_SIZE];
    char header[BENCH_TEXT_SIZE];
    int inSection = 0;
    FILE *file = fopen(path, "r");

    if (file == NULL)
        return 0;
    snprintf(header, sizeof header, "[%s]", section);
    while (fgets(line, sizeof line, file) != NULL) {
        TrimLine(line);
        if (line[0] == '[') {
            inSection = strcasecmp(line, header) == 0;
        } else if (inSection && StartsWithKey(line, key)) {
            const char *start = strchr(line, '=') + 1;
            while (isspace((unsigned char)*start))
                start++;
            snprintf(value, (size_t)valueSize, "%s", start);
            fclose(file);
            return 1;
        }
    }
    fclose(file);
    return 0;
}

static int HasIniSection(const char *path, const char *section)
{
    char line[BENCH_PATH_SIZE];
    char header[BENCH_TEXT_SIZE];
    int found = 0;
    FILE *file = fopen(path, "r");

    if (file == NULL)
        return 0;
    snprintf(header, sizeof header, "[%s]", section);
    while (!found && fgets(line, sizeof line, file) != NULL) {
        TrimLine(line);
        found = strcasecmp(line, header) == 0;
    }
    fclose(file);
    return found;
}

// The driver-manager pooling set-up: the same drivers, with Pooling=Yes in
// [ODBC] and a CPTimeout in every driver's section. Settings of those names
// already there are replaced.
static int WritePooledOdbcinst(const char *from, const char *to)
{
    char line[BENCH_PATH_SIZE];
    int sawOdbcSection = 0;
    FILE *in = fopen(from, "r");
    FILE *out;

    if (in == NULL)
        return -1;
    out = fopen(to, "w");
    if (out == NULL) {
        fclose(in);
        return -1;
    }
    while (fgets(line, sizeof line, in) != NULL) {
        if (StartsWithKey(line, "Pooling") || StartsWithKey(line, "CPTimeout"))
            continue;
        fputs(line, out);
        TrimLine(line);
        if (strcasecmp(line, "[ODBC]") == 0) {
            fputs("Pooling=Yes\n", out);
            sawOdbcSection = 1;
        } else if (line[0] == '[') {
            fprintf(out, "CPTimeout=%d\n", POOL_TIMEOUT_SECONDS);
        }
    }
    if (!sawOdbcSection)
        fputs("\n[ODBC]\nPooling=Yes\n", out);
    fclose(in);
    return fclose(out) == 0 ? 0 : -1;
}

static int WriteSqliteOnlyConfig(const char *dir, const char *driver, const char *databasePath)
{
    char path[BENCH_PATH_SIZE];
    FILE *file;

    JoinPath(path, sizeof path, dir, "odbcinst.ini");
    file = fopen(path, "w");
    if (file == NULL)
        return -1;
    fprintf(file, "[SQLite3]\nDescription=SQLite3 ODBC driver\nDriver=%s\n", driver);
    if (fclose(file) != 0)
        return -1;
    JoinPath(path, sizeof path, dir, "odbc.ini");
    file = fopen(path, "w");
    if (file == NULL)
        return -1;
    fprintf(file, "[varn_sqlite]\nDriver=SQLite3\nDatabase=%s\n", databasePath);
    return fclose(file) == 0 ? 0 : -1;
}

static int MakeDir(char *path, size_t size, const char *parent, const char *name)
{
    if (JoinPath(path, size, parent, name) != 0)
        return -1;
    return mkdir(path, 0700);
}

// The temp folder, the plain and pooled ODBC configurations in it, and the
// driver manager of this process pointed at the plain one.
static int PrepareEnvironment(const BenchOptions *options)
{
    char from[BENCH_PATH_SIZE];
    char to[BENCH_PATH_SIZE];
    char odbcIni[BENCH_PATH_SIZE];
    const char *base = getenv("TMPDIR");

    // Every path the run makes lies in this folder; a short base keeps them
    // all well inside their buffers (a failed join leaves an empty path,
    // which no later step accepts).
    if (base == NULL || *base == '\0')
        base = "/tmp";
    if (strlen(base) > 200 || JoinPath(benchEnv.tempDir, sizeof benchEnv.tempDir, base, "varn-bench-XXXXXX") != 0 ||
        mkdtemp(benchEnv.tempDir) == NULL) {
        benchEnv.tempDir[0] = '\0';
        return -1;
    }
    if (MakeDir(benchEnv.plainOdbcDir, sizeof benchEnv.plainOdbcDir, benchEnv.tempDir, "plain") != 0 ||
        MakeDir(benchEnv.pooledOdbcDir, sizeof benchEnv.pooledOdbcDir, benchEnv.tempDir, "pooled") != 0)
        return -1;

    if (options->odbcDir[0] != '\0') {
        JoinPath(from, sizeof from, options->odbcDir, "odbcinst.ini");
        JoinPath(to, sizeof to, benchEnv.plainOdbcDir, "odbcinst.ini");
        if (CopyFile(from, to) != 0)
            return -1;
        JoinPath(from, sizeof from, options->odbcDir, "odbc.ini");
        JoinPath(to, sizeof to, benchEnv.plainOdbcDir, "odbc.ini");
        if (CopyFile(from, to) != 0)
            return -1;
    } else {
        char databasePath[BENCH_PATH_SIZE];
        if (options->sqliteDriver[0] == '\0') {
            fprintf(stderr, "varn-bench: no SQLite ODBC driver known; give --sqlite-driver or --odbc-dir\n");
            return -1;
        }
        JoinPath(databasePath, sizeof databasePath, benchEnv.tempDir, "bench.db");
        if (WriteSqliteOnlyConfig(benchEnv.plainOdbcDir, options->sqliteDriver, databasePath) != 0)
            return -1;
    }
    JoinPath(from, sizeof from, benchEnv.plainOdbcDir, "odbcinst.ini");
    JoinPath(to, sizeof to, benchEnv.pooledOdbcDir, "odbcinst.ini");
    if (WritePooledOdbcinst(from, to) != 0)
        return -1;
    JoinPath(from, sizeof from, benchEnv.plainOdbcDir, "odbc.ini");
    JoinPath(to, sizeof to, benchEnv.pooledOdbcDir, "odbc.ini");
    if (CopyFile(from, to) != 0)
        return -1;

    JoinPath(odbcIni, sizeof odbcIni, benchEnv.plainOdbcDir, "odbc.ini");
    setenv("ODBCSYSINI", benchEnv.plainOdbcDir, 1);
    setenv("ODBCINI", odbcIni, 1);
    return 0;
}

static int AddSource(const BenchOptions *options, int kind)
{
    BenchSource *source = &sources[sourceCount];
    char odbcIni[BENCH_PATH_SIZE];
    const char *dataSource = kind == BENCH_KIND_SQLITE ? "varn_sqlite"
                             : kind == BENCH_KIND_POSTGRES ? "varn_pg"
                                                           : "varn_maria";

    JoinPath(odbcIni, sizeof odbcIni, benchEnv.plainOdbcDir, "odbc.ini");
    if (!HasIniSection(odbcIni, dataSource)) {
        fprintf(stderr, "varn-bench: no data source %s in %s\n", dataSource, odbcIni);
        return -1;
    }
    memset(source, 0, sizeof *source);
    source->kind = kind;
    source->label = kind == BENCH_KIND_SQLITE ? "SQLite" : kind == BENCH_KIND_POSTGRES ? "PostgreSQL" : "MariaDB";
    snprintf(source->dataSource, sizeof source->dataSource, "%s", dataSource);
    if (kind == BENCH_KIND_SQLITE) {
        if (!ReadIniValue(odbcIni, dataSource, "Database", source->sqlitePath, sizeof source->sqlitePath)) {
            fprintf(stderr, "varn-bench: %s names no Database file\n", dataSource);
            return -1;
        }
    } else {
        snprintf(source->userName, sizeof source->userName, "%s", options->userName);
        snprintf(source->password, sizeof source->password, "%s", options->password);
    }
    sourceCount++;
    return 0;
}

static int ChooseSources(const BenchOptions *options)
{
    static const struct {
        const char *key;
        int kind;
    } known[] = {{"sqlite", BENCH_KIND_SQLITE}, {"pg", BENCH_KIND_POSTGRES}, {"maria", BENCH_KIND_MARIADB}};
    char list[BENCH_TEXT_SIZE];
    char *saved = NULL;

    snprintf(list, sizeof list, "%s", options->sources);
    for (char *key = strtok_r(list, ",", &saved); key != NULL; key = strtok_r(NULL, ",", &saved)) {
        int kind = 0;
        for (const auto &entry : known)
            if (strcmp(key, entry.key) == 0)
                kind = entry.kind;
        if (kind == 0 || sourceCount == MAX_SOURCES) {
            fprintf(stderr, "varn-bench: unknown data source \"%s\" (sqlite, pg, maria)\n", key);
            return -1;
        }
        if (AddSource(options, kind) != 0)
            return -1;
    }
    return sourceCount > 0 ? 0 : -1;
}

// ---------------------------------------------------------------- probe

// The SQL that tells, from the rows it leaves, whether session state
// survives from one statement to the next.
typedef struct ProbeSql {
    const char *sessionInsert;
    const char *setSetting;
    const char *readSetting;
    const char *settingValue;
} ProbeSql;

static ProbeSql ProbeSqlFor(int kind)
{
    if (kind == BENCH_KIND_POSTGRES)
        return ProbeSql{"INSERT INTO varn_bench_probe(tag, session_id) VALUES('session', pg_backend_pid());",
                        "SET application_name = 'varn_probe';",
                        "INSERT INTO varn_bench_probe(tag, val) VALUES('setting', "
                        "current_setting('application_name'));",
                        "varn_probe"};
    if (kind == BENCH_KIND_MARIADB)
        return ProbeSql{"INSERT INTO varn_bench_probe(tag, session_id) VALUES('session', CONNECTION_ID());",
                        "SET @varn_probe = 'varn_probe';",
                        "INSERT INTO varn_bench_probe(tag, val) VALUES('setting', @varn_probe);", "varn_probe"};
    return ProbeSql{NULL, "PRAGMA cache_size = 4321;",
                    "INSERT INTO varn_bench_probe(tag, val) SELECT 'setting', cache_size FROM pragma_cache_size();",
                    "4321"};
}

static int ProbeTagHolds(HelperLink *link, const char *tag, const char *value)
{
    char sql[160];
    char text[BENCH_TEXT_SIZE];
    snprintf(sql, sizeof sql, "SELECT val FROM varn_bench_probe WHERE tag = '%s'", tag);
    int found = HelperQueryText(link, sql, text, sizeof text);
    if (found < 0)
        return -1;
    return found == 1 && (value == NULL || strcmp(text, value) == 0);
}

static int RunProbe(const BenchSource *source, HelperLink *link, const char *odbcDir, ProbeResult *probe)
{
    ProbeSql sql = ProbeSqlFor(source->kind);
    const char *sessionStatements[5];
    const char *stateStatements[] = {
        sql.setSetting,
        sql.readSetting,
        "CREATE TEMPORARY TABLE varn_probe_temp(a INTEGER);",
        "INSERT INTO varn_bench_probe(tag, val) SELECT 'temporary', 'seen' FROM "
        "(SELECT COUNT(*) AS n FROM varn_probe_temp) t;",
        "BEGIN;",
        "INSERT INTO varn_bench_probe(tag, val) VALUES('begin', 'x');",
    };
    const char *commit[] = {"COMMIT;"};
    ServiceProcess service;
    int status = -1;

    memset(probe, 0, sizeof *probe);
    if (HelperRun(link, "DELETE FROM varn_bench_probe") != 0)
        return -1;
    if (StartServiceProcess(&benchEnv, odbcDir, source, &service) != 0)
        return -1;
    probe->sessions = -1;
    if (sql.sessionInsert != NULL) {
        for (auto &statement : sessionStatements)
            statement = sql.sessionInsert;
        if (SendStatements(service.port, sessionStatements, 5) != 0 ||
            HelperQueryLong(link, "SELECT COUNT(DISTINCT session_id) FROM varn_bench_probe WHERE tag = 'session'",
                            &probe->sessions) != 1)
            goto done;
    }
    if (SendStatements(service.port, stateStatements, 6) != 0)
        goto done;
    probe->settingCarried = ProbeTagHolds(link, "setting", sql.settingValue);
    probe->temporaryCarried = ProbeTagHolds(link, "temporary", NULL);
    probe->beginHolds = ProbeTagHolds(link, "begin", NULL);
    if (probe->settingCarried < 0 || probe->temporaryCarried < 0 || probe->beginHolds < 0)
        goto done;
    // The INSERT after BEGIN is invisible exactly when the transaction is
    // still open on a kept connection; a COMMIT must then bring it out.
    probe->beginHolds = !probe->beginHolds;
    if (probe->beginHolds) {
        if (SendStatements(service.port, commit, 1) != 0 || ProbeTagHolds(link, "begin", NULL) != 1) {
            fprintf(stderr, "varn-bench: %s: COMMIT did not release the row held after BEGIN\n", source->label);
            goto done;
        }
    }
    probe->ran = 1;
    status = 0;
done:
    StopServiceProcess(&service);
    return status;
}

// ---------------------------------------------------------------- phases

static int CheckRows(HelperLink *link, int runId, long expected, const char *phase)
{
    long rows = CountRows(link, runId);
    if (rows != expected) {
        // A rate over statements that failed would flatter whoever failed
        // fastest.
        fprintf(stderr, "varn-bench: %s: %ld statements ran, %ld rows arrived\n", phase, expected, rows);
        return -1;
    }
    return 0;
}

static int MeasureServiceRows(const BenchSource *source, HelperLink *link, SourceResults *out)
{
    ServiceProcess service;
    long count;
    int status = -1;

    if (StartServiceProcess(&benchEnv, benchEnv.plainOdbcDir, source, &service) != 0)
        return -1;
    Progress("%s: service, one connection", source->label);
    if (MeasureOneConnection(&service, RUN_ONE_CONNECTION, benchEnv.seconds, &count, &out->oneConnection) != 0 ||
        CheckRows(link, RUN_ONE_CONNECTION, count, "one connection") != 0)
        goto done;
    Progress("%s: service, successive connections", source->label);
    if (MeasureSuccessiveConnections(&service, RUN_SUCCESSIVE, benchEnv.seconds, &count, &out->successive) != 0 ||
        CheckRows(link, RUN_SUCCESSIVE, count, "successive connections") != 0)
        goto done;
    Progress("%s: service, latency to a visible row", source->label);
    if (MeasureVisibleLatency(&benchEnv, &service, source, link, RUN_LATENCY_ONE, 0, &out->latencyOne) != 0 ||
        MeasureVisibleLatency(&benchEnv, &service, source, link, RUN_LATENCY_EACH, 1, &out->latencyEach) != 0)
        goto done;
    status = 0;
done:
    StopServiceProcess(&service);
    if (status != 0)
        return -1;

    if (StartServiceProcess(&benchEnv, benchEnv.pooledOdbcDir, source, &service) != 0)
        return -1;
    Progress("%s: service with driver-manager pooling", source->label);
    status = -1;
    if (MeasureOneConnection(&service, RUN_POOLED, benchEnv.seconds, &count, &out->pooled) != 0 ||
        CheckRows(link, RUN_POOLED, count, "pooled") != 0 ||
        MeasureVisibleLatency(&benchEnv, &service, source, link, RUN_POOLED_LATENCY, 0, &out->pooledLatency) != 0)
        goto pooledDone;
    status = 0;
pooledDone:
    StopServiceProcess(&service);
    return status;
}

static int MeasureMemory(const BenchSource *source, HelperLink *link, long statements, SourceResults *out)
{
    ServiceProcess service;
    double elapsed;
    int status = -1;

    if (statements <= MEMORY_FIRST_STATEMENTS)
        statements = MEMORY_FIRST_STATEMENTS;
    Progress("%s: service memory", source->label);
    if (StartServiceProcess(&benchEnv, benchEnv.plainOdbcDir, source, &service) != 0)
        return -1;
    if (SendOnOneConnection(service.port, RUN_MEMORY, 0, MEMORY_FIRST_STATEMENTS, &elapsed) != 0)
        goto done;
    out->residentFirstKiB = ServiceResidentKiB(&service);
    if (statements > MEMORY_FIRST_STATEMENTS &&
        SendOnOneConnection(service.port, RUN_MEMORY, MEMORY_FIRST_STATEMENTS, statements - MEMORY_FIRST_STATEMENTS,
                            &elapsed) != 0)
        goto done;
    out->residentLastKiB = ServiceResidentKiB(&service);
    out->memoryStatements = statements;
    if (out->residentFirstKiB <= 0 || out->residentLastKiB <= 0 ||
        CheckRows(link, RUN_MEMORY, statements, "memory") != 0)
        goto done;
    status = 0;
done:
    StopServiceProcess(&service);
    return status;
}

static int MeasureSource(const BenchSource *source, const BenchOptions *options, SourceResults *out)
{
    HelperLink link;
    int status = -1;

    memset(out, 0, sizeof *out);
    if (HelperConnect(source, &link) != 0)
        return -1;
    if (PrepareTables(&link) != 0)
        goto done;
    // The in-process rows run with this program's own connection closed,
    // as the service runs with none open: a second connection to the same
    // driver keeps the driver manager's per-driver state alive between
    // sessions and would spare the in-process sessions work the service
    // pays for.
    HelperDisconnect(&link);
    Progress("%s: in-process session per statement", source->label);
    if (MeasureSessionPerStatement(source, RUN_SESSION, benchEnv.seconds, &out->session) != 0)
        goto done;
    Progress("%s: in-process held connection", source->label);
    if (MeasureHeldConnection(source, RUN_HELD, benchEnv.seconds, &out->held) != 0)
        goto done;
    if (HelperConnect(source, &link) != 0)
        goto done;
    if (CheckRows(&link, RUN_SESSION, out->session.statements, "session per statement") != 0 ||
        CheckRows(&link, RUN_HELD, out->held.statements, "held connection") != 0)
        goto done;
    if (MeasureServiceRows(source, &link, out) != 0)
        goto done;
    Progress("%s: session state with and without pooling", source->label);
    if (RunProbe(source, &link, benchEnv.plainOdbcDir, &out->plainProbe) != 0 ||
        RunProbe(source, &link, benchEnv.pooledOdbcDir, &out->pooledProbe) != 0)
        goto done;
    if (strcmp(options->memorySource, "all") == 0 ||
        strcmp(options->memorySource, source->kind == BENCH_KIND_SQLITE     ? "sqlite"
                                      : source->kind == BENCH_KIND_POSTGRES ? "pg"
                                                                            : "maria") == 0) {
        if (MeasureMemory(source, &link, options->memoryStatements, out) != 0)
            goto done;
    }
    out->ran = 1;
    status = 0;
done:
    HelperDisconnect(&link);
    return status;
}

// ---------------------------------------------------------------- output

static double Ratio(double part, double whole)
{
    return whole > 0 ? part / whole : 0;
}

static void PrintRateRow(const BenchSource *source, const char *row, const PhaseResult *rate,
                         const PhaseResult *latency, const SourceResults *all, int withRatios)
{
    printf("| %s | %s | %.0f | %.3f | %.3f |", source->label, row, rate->rate, latency->p50Ms, latency->p99Ms);
    if (withRatios)
        printf(" %.2f | %.3f |\n", Ratio(rate->rate, all->session.rate), Ratio(rate->rate, all->held.rate));
    else
        printf(" | |\n");
}

static const char *YesNo(int value)
{
    return value < 0 ? "n/a" : value ? "yes" : "no";
}

static void PrintTables(void)
{
    char date[64];
    time_t now = time(NULL);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", localtime(&now));

    printf("varn-bench %s, %.1f s per phase, %ld CPUs online\n\n", date, benchEnv.seconds,
           sysconf(_SC_NPROCESSORS_ONLN));
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

    printf("\n## CPU time of the service per statement (%d-byte statements)\n\n", BENCH_STATEMENT_BYTES);
    printf("| Data source | Service us/stmt | Service us/byte | Session us/stmt in process | Service's own "
           "us/stmt | Floor us/stmt | Limit us/stmt | Own within limit |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        double own = r->oneConnection.cpuUsPerStatement - r->session.cpuUsPerStatement;
        double limit = 1.5 * floorResult.cpuUsPerStatement + 50;
        if (!r->ran)
            continue;
        printf("| %s | %.1f | %.2f | %.1f | %.1f | %.1f | %.1f | %s |\n", sources[i].label,
               r->oneConnection.cpuUsPerStatement, r->oneConnection.cpuUsPerStatement / BENCH_STATEMENT_BYTES,
               r->session.cpuUsPerStatement, own, floorResult.cpuUsPerStatement, limit, YesNo(own <= limit));
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
    printf("| Data source | Target | Measured | Met |\n");
    printf("|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        double ratio = Ratio(r->oneConnection.rate, r->session.rate);
        double own = r->oneConnection.cpuUsPerStatement - r->session.cpuUsPerStatement;
        double limit = 1.5 * floorResult.cpuUsPerStatement + 50;
        if (!r->ran)
            continue;
        printf("| %s | service rate >= 0.9 x session per statement | %.3f | %s |\n", sources[i].label, ratio,
               YesNo(ratio >= 0.9));
        printf("| %s | service's own CPU <= 1.5 x floor + 50 us | %.1f us <= %.1f us | %s |\n", sources[i].label,
               own, limit, YesNo(own <= limit));
        if (r->memoryStatements > 0)
            printf("| %s | RSS growth after %ld statements <= 1024 KiB | %ld KiB | %s |\n", sources[i].label,
                   r->memoryStatements, r->residentLastKiB - r->residentFirstKiB,
                   YesNo(r->residentLastKiB - r->residentFirstKiB <= 1024));
    }

    printf("\n## How the latency was taken\n\n");
    printf("| Data source | Row | Samples | Looks per statement | us per look |\n");
    printf("|---|---|---|---|---|\n");
    for (int i = 0; i < sourceCount; i++) {
        const SourceResults *r = &results[i];
        if (!r->ran)
            continue;
        printf("| %s | one connection | %ld | %.1f | %.0f |\n", sources[i].label, r->latencyOne.statements,
               r->latencyOne.pollsPerStatement, r->latencyOne.pollUs);
        printf("| %s | connection per statement | %ld | %.1f | %.0f |\n", sources[i].label,
               r->latencyEach.statements, r->latencyEach.pollsPerStatement, r->latencyEach.pollUs);
        printf("| %s | pooling | %ld | %.1f | %.0f |\n", sources[i].label, r->pooledLatency.statements,
               r->pooledLatency.pollsPerStatement, r->pooledLatency.pollUs);
    }
    printf("\nFloor: %d one-byte receive calls on loopback take %.1f us of CPU and %.1f us of wall time.\n",
           BENCH_STATEMENT_BYTES, floorResult.cpuUsPerStatement, floorResult.p50Ms * 1e3);

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

// ---------------------------------------------------------------- main

static void Usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [options]\n"
            "  --odbc-dir DIR         odbcinst.ini and odbc.ini with the data sources varn_sqlite, varn_pg,\n"
            "                         varn_maria (as tests/servers/dbservers.sh writes them); without it,\n"
            "                         SQLite only, in a private configuration\n"
            "  --sources LIST         comma-separated: sqlite, pg, maria (default: sqlite, and pg and maria\n"
            "                         when --odbc-dir defines them)\n"
            "  --user NAME            user for pg and maria (default $VARN_DB_USER)\n"
            "  --password TEXT        password for pg and maria (default $VARN_DB_PASSWORD)\n"
            "  --seconds S            length of each phase (default 3)\n"
            "  --memory-statements N  statements of the memory run (default 100000)\n"
            "  --memory-source KEY    data source of the memory run: sqlite, pg, maria, all, none\n"
            "                         (default sqlite)\n"
            "  --poll-gap-us N        pause between two looks for a row (default 100)\n"
            "  --service PATH         the service host program (default the one built alongside)\n"
            "  --sqlite-driver PATH   the SQLite ODBC driver (default found at build time)\n",
            program);
}

static int TakeText(int argc, char **argv, int *i, char *value, size_t size)
{
    if (*i + 1 >= argc)
        return -1;
    snprintf(value, size, "%s", argv[++*i]);
    return 0;
}

static int ParseOptions(int argc, char **argv, BenchOptions *options)
{
    char number[64];
    const char *user = getenv("VARN_DB_USER");
    const char *password = getenv("VARN_DB_PASSWORD");

    memset(options, 0, sizeof *options);
    snprintf(options->userName, sizeof options->userName, "%s", user ? user : "");
    snprintf(options->password, sizeof options->password, "%s", password ? password : "");
    snprintf(options->sqliteDriver, sizeof options->sqliteDriver, "%s", VARN_BENCH_SQLITE_DRIVER);
    snprintf(options->memorySource, sizeof options->memorySource, "sqlite");
    options->memoryStatements = 100000;
    benchEnv.seconds = 3;
    benchEnv.pollGapUs = 100;
    snprintf(benchEnv.serviceProgram, sizeof benchEnv.serviceProgram, "%s", VARN_BENCH_SERVICE_HOST);

    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        int status = 0;
        if (strcmp(name, "--odbc-dir") == 0)
            status = TakeText(argc, argv, &i, options->odbcDir, sizeof options->odbcDir);
        else if (strcmp(name, "--sources") == 0)
            status = TakeText(argc, argv, &i, options->sources, sizeof options->sources);
        else if (strcmp(name, "--user") == 0)
            status = TakeText(argc, argv, &i, options->userName, sizeof options->userName);
        else if (strcmp(name, "--password") == 0)
            status = TakeText(argc, argv, &i, options->password, sizeof options->password);
        else if (strcmp(name, "--memory-source") == 0)
            status = TakeText(argc, argv, &i, options->memorySource, sizeof options->memorySource);
        else if (strcmp(name, "--service") == 0)
            status = TakeText(argc, argv, &i, benchEnv.serviceProgram, sizeof benchEnv.serviceProgram);
        else if (strcmp(name, "--sqlite-driver") == 0)
            status = TakeText(argc, argv, &i, options->sqliteDriver, sizeof options->sqliteDriver);
        else if (strcmp(name, "--seconds") == 0 && TakeText(argc, argv, &i, number, sizeof number) == 0)
            status = (benchEnv.seconds = atof(number)) > 0 ? 0 : -1;
        else if (strcmp(name, "--memory-statements") == 0 && TakeText(argc, argv, &i, number, sizeof number) == 0)
            status = (options->memoryStatements = atol(number)) > 0 ? 0 : -1;
        else if (strcmp(name, "--poll-gap-us") == 0 && TakeText(argc, argv, &i, number, sizeof number) == 0)
            status = (benchEnv.pollGapUs = atoi(number)) >= 0 ? 0 : -1;
        else
            status = -1;
        if (status != 0) {
            Usage(argv[0]);
            return -1;
        }
    }
    return 0;
}

// Without an explicit list: SQLite always, the servers when the given
// configuration names them.
static void DefaultSources(BenchOptions *options)
{
    char odbcIni[BENCH_PATH_SIZE];
    if (options->sources[0] != '\0')
        return;
    snprintf(options->sources, sizeof options->sources, "sqlite");
    JoinPath(odbcIni, sizeof odbcIni, benchEnv.plainOdbcDir, "odbc.ini");
    if (HasIniSection(odbcIni, "varn_pg"))
        strcat(options->sources, ",pg");
    if (HasIniSection(odbcIni, "varn_maria"))
        strcat(options->sources, ",maria");
}

static void NoteInterrupt(int)
{
    benchInterrupted = 1;
}

int main(int argc, char **argv)
{
    BenchOptions options;
    int status = 0;

    setvbuf(stdout, NULL, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    if (ParseOptions(argc, argv, &options) != 0)
        return 2;
    if (access(benchEnv.serviceProgram, X_OK) != 0) {
        fprintf(stderr, "varn-bench: no service program at %s\n", benchEnv.serviceProgram);
        return 2;
    }
    if (PrepareEnvironment(&options) != 0) {
        fprintf(stderr, "varn-bench: cannot set up the temp folder\n");
        RemoveTree(benchEnv.tempDir);
        return 1;
    }
    // An interrupted run still stops its service and removes its temp
    // folder: the phase under way ends at its next turn.
    signal(SIGINT, NoteInterrupt);
    signal(SIGTERM, NoteInterrupt);
    DefaultSources(&options);
    if (ChooseSources(&options) != 0) {
        RemoveTree(benchEnv.tempDir);
        return 2;
    }

    Progress("%s", "floor: one-byte reads on loopback");
    if (MeasureByteReadFloor(benchEnv.seconds < 1 ? benchEnv.seconds : 1, &floorResult) != 0) {
        fprintf(stderr, "varn-bench: the one-byte read floor could not be measured\n");
        status = 1;
    }
    for (int i = 0; i < sourceCount && status == 0 && !benchInterrupted; i++) {
        if (MeasureSource(&sources[i], &options, &results[i]) != 0) {
            fprintf(stderr, "varn-bench: %s: measurement failed\n", sources[i].label);
            status = 1;
        }
    }
    if (benchInterrupted)
        status = 1;
    if (status == 0)
        PrintTables();
    RemoveTree(benchEnv.tempDir);
    return status;
}
