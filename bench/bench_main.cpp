// varn-bench: the service against its own sessions run in process and a
// held connection, per data source; options, set-up and the measuring order.
#include "bench.h"

#include <ctype.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#define MAX_SOURCES 4

#define SQLITE_DISK_DSN "varn_bench_sqlite"
#define SQLITE_SHM_DSN "varn_bench_sqlite_shm"

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

// How long a pooled connection may idle in the benchmark's pooling set-up.
#define POOL_TIMEOUT_SECONDS 60

typedef struct BenchOptions {
    char odbcDir[BENCH_PATH_SIZE];
    char sources[BENCH_TEXT_SIZE];
    char userName[BENCH_TEXT_SIZE];
    char password[BENCH_TEXT_SIZE];
    char sqliteDriver[BENCH_PATH_SIZE];
    char memorySource[64];
    char consoleDir[BENCH_PATH_SIZE];
    char shmDir[BENCH_PATH_SIZE];
    long memoryStatements;
} BenchOptions;

static BenchEnvironment benchEnv;
static BenchSource sources[MAX_SOURCES];
static SourceResults results[MAX_SOURCES];
static int sourceCount;
// The folder made inside --console-dir, if one was given.
static char consoleDirMade[BENCH_PATH_SIZE];

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

static int AppendText(const char *path, const char *text)
{
    FILE *file = fopen(path, "a");
    if (file == NULL)
        return -1;
    fputs(text, file);
    return fclose(file) == 0 ? 0 : -1;
}

static int MakeDir(char *path, size_t size, const char *parent, const char *name)
{
    if (JoinPath(path, size, parent, name) != 0)
        return -1;
    return mkdir(path, 0700);
}

static int ListHas(const char *list, const char *key)
{
    char copy[BENCH_TEXT_SIZE];
    char *saved = NULL;
    snprintf(copy, sizeof copy, "%s", list);
    for (char *item = strtok_r(copy, ",", &saved); item != NULL; item = strtok_r(NULL, ",", &saved))
        if (strcmp(item, key) == 0)
            return 1;
    return 0;
}

// The SQLite data sources are the benchmark's own, so that it knows where
// their files lie: one in the temp folder, one on tmpfs, where a commit
// waits for no disk.
static int AddSqliteDataSources(const BenchOptions *options)
{
    char odbcinst[BENCH_PATH_SIZE];
    char odbcIni[BENCH_PATH_SIZE];
    char text[3 * BENCH_PATH_SIZE];

    if (options->sqliteDriver[0] == '\0') {
        fprintf(stderr, "varn-bench: no SQLite ODBC driver known; give --sqlite-driver\n");
        return -1;
    }
    JoinPath(odbcinst, sizeof odbcinst, benchEnv.plainOdbcDir, "odbcinst.ini");
    JoinPath(odbcIni, sizeof odbcIni, benchEnv.plainOdbcDir, "odbc.ini");
    snprintf(text, sizeof text, "\n[VarnBenchSQLite]\nDescription=SQLite3 ODBC driver\nDriver=%s\n",
             options->sqliteDriver);
    if (AppendText(odbcinst, text) != 0)
        return -1;
    snprintf(text, sizeof text, "\n[%s]\nDriver=VarnBenchSQLite\nDatabase=%s/bench.db\n", SQLITE_DISK_DSN,
             benchEnv.tempDir);
    if (AppendText(odbcIni, text) != 0)
        return -1;
    if (ListHas(options->sources, "sqlite-shm")) {
        snprintf(text, sizeof text, "\n[%s]\nDriver=VarnBenchSQLite\nDatabase=%s/bench.db\n", SQLITE_SHM_DSN,
                 benchEnv.shmDir);
        if (AppendText(odbcIni, text) != 0)
            return -1;
    }
    return 0;
}

// The temp folder, the plain and pooled ODBC configurations in it, and the
// driver manager of this process pointed at the plain one.
static int PrepareEnvironment(const BenchOptions *options)
{
    char from[BENCH_PATH_SIZE];
    char to[BENCH_PATH_SIZE];
    char odbcIni[BENCH_PATH_SIZE];
    const char *base = getenv("TMPDIR");

    // Short bases keep every path the run makes well inside its buffer (a
    // failed join leaves an empty path, which no later step accepts).
    if (base == NULL || *base == '\0')
        base = "/tmp";
    if (strlen(base) > 200 || JoinPath(benchEnv.tempDir, sizeof benchEnv.tempDir, base, "varn-bench-XXXXXX") != 0 ||
        mkdtemp(benchEnv.tempDir) == NULL) {
        benchEnv.tempDir[0] = '\0';
        return -1;
    }
    if (strlen(options->shmDir) > 200 ||
        JoinPath(benchEnv.shmDir, sizeof benchEnv.shmDir, options->shmDir, "varn-bench-XXXXXX") != 0 ||
        mkdtemp(benchEnv.shmDir) == NULL) {
        benchEnv.shmDir[0] = '\0';
        if (ListHas(options->sources, "sqlite-shm")) {
            fprintf(stderr, "varn-bench: cannot make a folder in %s: %s\n", options->shmDir, strerror(errno));
            return -1;
        }
    }
    // The services' consoles stay off the disk that the SQLite file lies
    // on: a line per statement written there adds writes that SQLite's
    // flushes then wait for as well. Measured on one disk, in alternating
    // runs, that took the service from 0.96 to 0.85 of the in-process rate.
    if (options->consoleDir[0] != '\0') {
        if (JoinPath(consoleDirMade, sizeof consoleDirMade, options->consoleDir, "varn-bench-XXXXXX") != 0 ||
            mkdtemp(consoleDirMade) == NULL) {
            consoleDirMade[0] = '\0';
            return -1;
        }
    }
    snprintf(benchEnv.consoleDir, sizeof benchEnv.consoleDir, "%s",
             consoleDirMade[0] != '\0'      ? consoleDirMade
             : benchEnv.shmDir[0] != '\0' ? benchEnv.shmDir
                                          : benchEnv.tempDir);
    if (MakeDir(benchEnv.plainOdbcDir, sizeof benchEnv.plainOdbcDir, benchEnv.tempDir, "plain") != 0 ||
        MakeDir(benchEnv.pooledOdbcDir, sizeof benchEnv.pooledOdbcDir, benchEnv.tempDir, "pooled") != 0)
        return -1;

    JoinPath(to, sizeof to, benchEnv.plainOdbcDir, "odbcinst.ini");
    if (options->odbcDir[0] != '\0') {
        JoinPath(from, sizeof from, options->odbcDir, "odbcinst.ini");
        if (CopyFile(from, to) != 0)
            return -1;
        JoinPath(from, sizeof from, options->odbcDir, "odbc.ini");
        JoinPath(to, sizeof to, benchEnv.plainOdbcDir, "odbc.ini");
        if (CopyFile(from, to) != 0)
            return -1;
    }
    if (AddSqliteDataSources(options) != 0)
        return -1;
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

static void RemoveEnvironment(void)
{
    RemoveTree(benchEnv.tempDir);
    RemoveTree(benchEnv.shmDir);
    RemoveTree(consoleDirMade);
}

// "disk" or "tmpfs", for the label of a SQLite data source.
static const char *StorageOf(const char *dir)
{
    struct statfs info;
    if (statfs(dir, &info) == 0 && info.f_type == TMPFS_MAGIC)
        return "tmpfs";
    return "disk";
}

static int AddSource(const BenchOptions *options, const char *key)
{
    BenchSource *source = &sources[sourceCount];
    char odbcIni[BENCH_PATH_SIZE];

    memset(source, 0, sizeof *source);
    snprintf(source->key, sizeof source->key, "%s", key);
    if (strcmp(key, "sqlite") == 0 || strcmp(key, "sqlite-shm") == 0) {
        const char *dir = strcmp(key, "sqlite") == 0 ? benchEnv.tempDir : benchEnv.shmDir;
        source->kind = BENCH_KIND_SQLITE;
        snprintf(source->dataSource, sizeof source->dataSource, "%s",
                 strcmp(key, "sqlite") == 0 ? SQLITE_DISK_DSN : SQLITE_SHM_DSN);
        snprintf(source->label, sizeof source->label, "SQLite (%s)", StorageOf(dir));
        if (JoinPath(source->sqlitePath, sizeof source->sqlitePath, dir, "bench.db") != 0)
            return -1;
    } else if (strcmp(key, "pg") == 0 || strcmp(key, "maria") == 0) {
        int postgres = strcmp(key, "pg") == 0;
        source->kind = postgres ? BENCH_KIND_POSTGRES : BENCH_KIND_MARIADB;
        snprintf(source->dataSource, sizeof source->dataSource, "%s", postgres ? "varn_pg" : "varn_maria");
        snprintf(source->label, sizeof source->label, "%s", postgres ? "PostgreSQL" : "MariaDB");
        snprintf(source->userName, sizeof source->userName, "%s", options->userName);
        snprintf(source->password, sizeof source->password, "%s", options->password);
        JoinPath(odbcIni, sizeof odbcIni, benchEnv.plainOdbcDir, "odbc.ini");
        if (!HasIniSection(odbcIni, source->dataSource)) {
            fprintf(stderr, "varn-bench: no data source %s in %s\n", source->dataSource,
                    options->odbcDir[0] != '\0' ? options->odbcDir : "the configuration (give --odbc-dir)");
            return -1;
        }
    } else {
        fprintf(stderr, "varn-bench: unknown data source \"%s\" (sqlite, sqlite-shm, pg, maria)\n", key);
        return -1;
    }
    sourceCount++;
    return 0;
}

static int ChooseSources(const BenchOptions *options)
{
    char list[BENCH_TEXT_SIZE];
    char *saved = NULL;

    snprintf(list, sizeof list, "%s", options->sources);
    for (char *key = strtok_r(list, ",", &saved); key != NULL; key = strtok_r(NULL, ",", &saved)) {
        if (sourceCount == MAX_SOURCES) {
            fprintf(stderr, "varn-bench: at most %d data sources at a time\n", MAX_SOURCES);
            return -1;
        }
        if (AddSource(options, key) != 0)
            return -1;
    }
    return sourceCount > 0 ? 0 : -1;
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

static double sessionSamples[BENCH_MAX_SAMPLES];
static double heldSamples[BENCH_MAX_SAMPLES];
static double latencyOneSamples[BENCH_MAX_SAMPLES];
static double latencyEachSamples[BENCH_MAX_SAMPLES];
static double pooledLatencySamples[BENCH_MAX_SAMPLES];

static void GiveSamples(PhaseResult *result, double *buffer)
{
    memset(result, 0, sizeof *result);
    result->samples = buffer;
    result->sampleCapacity = BENCH_MAX_SAMPLES;
}

static int CheckAllRows(HelperLink *link, const SourceResults *out)
{
    return CheckRows(link, RUN_SESSION, out->session.statements, "session per statement") != 0 ||
                   CheckRows(link, RUN_HELD, out->held.statements, "held connection") != 0 ||
                   CheckRows(link, RUN_ONE_CONNECTION, out->oneConnection.statements, "one connection") != 0 ||
                   CheckRows(link, RUN_SUCCESSIVE, out->successive.statements, "successive connections") != 0 ||
                   CheckRows(link, RUN_POOLED, out->pooled.statements, "pooled") != 0
               ? -1
               : 0;
}

// Every row, a slice of each per round, so that all rows meet the same
// conditions. The in-process slices run while this program holds no
// connection of its own, as the service holds none: a second connection to
// the same driver would keep the driver manager's per-driver state alive
// between sessions and spare the in-process sessions work the service pays
// for. The latency slices need that connection to look for rows.
static int MeasureRounds(const BenchSource *source, HelperLink *link, const ServiceProcess *plain,
                         const ServiceProcess *pooled, SourceResults *out)
{
    double slice = benchEnv.seconds / benchEnv.rounds;
    for (int round = 0; round < benchEnv.rounds && !benchInterrupted; round++) {
        HelperDisconnect(link);
        if (MeasureSessionPerStatement(source, RUN_SESSION, slice, &out->session) != 0 ||
            MeasureHeldConnection(source, RUN_HELD, slice, &out->held) != 0 ||
            MeasureOneConnection(plain, RUN_ONE_CONNECTION, slice, &out->oneConnection) != 0 ||
            MeasureSuccessiveConnections(plain, RUN_SUCCESSIVE, slice, &out->successive) != 0 ||
            MeasureOneConnection(pooled, RUN_POOLED, slice, &out->pooled) != 0 ||
            MeasureByteReadFloor(slice, &out->floor) != 0)
            return -1;
        if (HelperConnect(source, link) != 0 ||
            MeasureVisibleLatency(&benchEnv, plain, source, link, RUN_LATENCY_ONE, 0, slice, &out->latencyOne) != 0 ||
            MeasureVisibleLatency(&benchEnv, plain, source, link, RUN_LATENCY_EACH, 1, slice, &out->latencyEach) != 0 ||
            MeasureVisibleLatency(&benchEnv, pooled, source, link, RUN_POOLED_LATENCY, 0, slice,
                                  &out->pooledLatency) != 0)
            return -1;
    }
    if (benchInterrupted)
        return -1;
    FinishPhase(&out->session);
    FinishPhase(&out->held);
    FinishPhase(&out->oneConnection);
    FinishPhase(&out->successive);
    FinishPhase(&out->pooled);
    FinishPhase(&out->latencyOne);
    FinishPhase(&out->latencyEach);
    FinishPhase(&out->pooledLatency);
    FinishPhase(&out->floor);
    return CheckAllRows(link, out);
}

static int IsMemorySource(const BenchSource *source, const BenchOptions *options)
{
    return strcmp(options->memorySource, "all") == 0 || ListHas(options->memorySource, source->key);
}

static int MeasureSource(const BenchSource *source, const BenchOptions *options, SourceResults *out)
{
    HelperLink link;
    ServiceProcess plain;
    ServiceProcess pooled;
    int status = -1;

    memset(out, 0, sizeof *out);
    plain.pid = -1;
    pooled.pid = -1;
    GiveSamples(&out->session, sessionSamples);
    GiveSamples(&out->held, heldSamples);
    GiveSamples(&out->oneConnection, NULL);
    GiveSamples(&out->successive, NULL);
    GiveSamples(&out->pooled, NULL);
    GiveSamples(&out->latencyOne, latencyOneSamples);
    GiveSamples(&out->latencyEach, latencyEachSamples);
    GiveSamples(&out->pooledLatency, pooledLatencySamples);
    GiveSamples(&out->floor, NULL);
    if (HelperConnect(source, &link) != 0)
        return -1;
    if (PrepareTables(&link) != 0)
        goto done;
    if (StartServiceProcess(&benchEnv, benchEnv.plainOdbcDir, source, &plain) != 0 ||
        StartServiceProcess(&benchEnv, benchEnv.pooledOdbcDir, source, &pooled) != 0)
        goto done;

    Progress("%s: all rows in turn", source->label);
    if (MeasureRounds(source, &link, &plain, &pooled, out) != 0)
        goto done;
    StopServiceProcess(&plain);
    StopServiceProcess(&pooled);

    Progress("%s: session state with and without pooling", source->label);
    if (RunProbe(&benchEnv, source, &link, benchEnv.plainOdbcDir, &out->plainProbe) != 0 ||
        RunProbe(&benchEnv, source, &link, benchEnv.pooledOdbcDir, &out->pooledProbe) != 0)
        goto done;
    if (IsMemorySource(source, options) && MeasureMemory(source, &link, options->memoryStatements, out) != 0)
        goto done;
    out->ran = 1;
    status = 0;
done:
    StopServiceProcess(&plain);
    StopServiceProcess(&pooled);
    HelperDisconnect(&link);
    return status;
}

// ---------------------------------------------------------------- main

static void Usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [options]\n"
            "  --odbc-dir DIR         odbcinst.ini and odbc.ini with the data sources varn_pg and varn_maria\n"
            "                         (as tests/servers/dbservers.sh writes them); copied, never changed\n"
            "  --sources LIST         comma-separated: sqlite (a file in the temp folder), sqlite-shm (a file\n"
            "                         in --shm-dir), pg, maria (default: sqlite,sqlite-shm, and pg and\n"
            "                         maria when --odbc-dir defines them)\n"
            "  --user NAME            user for pg and maria (default $VARN_DB_USER)\n"
            "  --password TEXT        password for pg and maria (default $VARN_DB_PASSWORD)\n"
            "  --seconds S            time each row is measured for (default 3)\n"
            "  --rounds N             rounds the rate rows take turns in (default 6)\n"
            "  --memory-statements N  statements of the memory run (default 100000)\n"
            "  --memory-source LIST   data sources of the memory run, from --sources, or all or none\n"
            "                         (default sqlite-shm)\n"
            "  --poll-gap-us N        pause between two looks for a row (default 100)\n"
            "  --service PATH         the service host program (default the one built alongside)\n"
            "  --shm-dir DIR          a folder on tmpfs, for sqlite-shm and the services' consoles\n"
            "                         (default /dev/shm)\n"
            "  --console-dir DIR      where the services' folders and consoles go instead (default a\n"
            "                         folder in --shm-dir, else the temp folder)\n"
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

// Options and their defaults. Returns 0, 1 after printing the usage asked
// for, or -1 after printing it for a mistake.
static int ParseOptions(int argc, char **argv, BenchOptions *options)
{
    char number[64];
    const char *user = getenv("VARN_DB_USER");
    const char *password = getenv("VARN_DB_PASSWORD");

    memset(options, 0, sizeof *options);
    snprintf(options->userName, sizeof options->userName, "%s", user ? user : "");
    snprintf(options->password, sizeof options->password, "%s", password ? password : "");
    snprintf(options->sqliteDriver, sizeof options->sqliteDriver, "%s", VARN_BENCH_SQLITE_DRIVER);
    snprintf(options->memorySource, sizeof options->memorySource, "sqlite-shm");
    snprintf(options->shmDir, sizeof options->shmDir, "/dev/shm");
    options->memoryStatements = 100000;
    benchEnv.seconds = 3;
    benchEnv.rounds = 6;
    benchEnv.pollGapUs = 100;
    snprintf(benchEnv.serviceProgram, sizeof benchEnv.serviceProgram, "%s", VARN_BENCH_SERVICE_HOST);

    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        int status = 0;
        if (strcmp(name, "--help") == 0) {
            Usage(argv[0]);
            return 1;
        }
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
        else if (strcmp(name, "--shm-dir") == 0)
            status = TakeText(argc, argv, &i, options->shmDir, sizeof options->shmDir);
        else if (strcmp(name, "--console-dir") == 0)
            status = TakeText(argc, argv, &i, options->consoleDir, sizeof options->consoleDir);
        else if (strcmp(name, "--service") == 0)
            status = TakeText(argc, argv, &i, benchEnv.serviceProgram, sizeof benchEnv.serviceProgram);
        else if (strcmp(name, "--sqlite-driver") == 0)
            status = TakeText(argc, argv, &i, options->sqliteDriver, sizeof options->sqliteDriver);
        else if (strcmp(name, "--seconds") == 0 && TakeText(argc, argv, &i, number, sizeof number) == 0)
            status = (benchEnv.seconds = atof(number)) > 0 ? 0 : -1;
        else if (strcmp(name, "--rounds") == 0 && TakeText(argc, argv, &i, number, sizeof number) == 0)
            status = (benchEnv.rounds = atoi(number)) > 0 ? 0 : -1;
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

// Without an explicit list: SQLite on disk and on tmpfs always, the
// servers when the given configuration names them.
static void DefaultSources(BenchOptions *options)
{
    char odbcIni[BENCH_PATH_SIZE];
    if (options->sources[0] != '\0')
        return;
    snprintf(options->sources, sizeof options->sources, "sqlite,sqlite-shm");
    if (options->odbcDir[0] == '\0' || JoinPath(odbcIni, sizeof odbcIni, options->odbcDir, "odbc.ini") != 0)
        return;
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
    status = ParseOptions(argc, argv, &options);
    if (status != 0)
        return status < 0 ? 2 : 0;
    if (access(benchEnv.serviceProgram, X_OK) != 0) {
        fprintf(stderr, "varn-bench: no service program at %s\n", benchEnv.serviceProgram);
        return 2;
    }
    DefaultSources(&options);
    if (PrepareEnvironment(&options) != 0) {
        fprintf(stderr, "varn-bench: cannot set up the temp folder\n");
        RemoveEnvironment();
        return 1;
    }
    // An interrupted run still stops its service and removes its temp
    // folder: the phase under way ends at its next turn.
    signal(SIGINT, NoteInterrupt);
    signal(SIGTERM, NoteInterrupt);
    if (ChooseSources(&options) != 0) {
        RemoveEnvironment();
        return 2;
    }

    for (int i = 0; i < sourceCount && status == 0 && !benchInterrupted; i++) {
        if (MeasureSource(&sources[i], &options, &results[i]) != 0) {
            fprintf(stderr, "varn-bench: %s: %s\n", sources[i].label,
                    benchInterrupted ? "interrupted" : "measurement failed");
            status = 1;
        }
    }
    if (benchInterrupted)
        status = 1;
    if (status == 0)
        PrintTables(&benchEnv, sources, results, sourceCount);
    RemoveEnvironment();
    return status;
}
