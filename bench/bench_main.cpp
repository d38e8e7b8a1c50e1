// varn-bench: the service against its own sessions run in process and a
// held connection, per data source; options, set-up and the measuring order.
#include "bench.h"

#include "service.h"

#include <ftw.h>
#include <initializer_list>
#include <linux/magic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#define MAX_SOURCES 4
#define OPTION_SIZE 256

volatile sig_atomic_t interrupted;
char referenceProgram[256];

// The options, with their defaults.
static char odbcDir[OPTION_SIZE];
static char userName[OPTION_SIZE];
static char password[OPTION_SIZE];
static char sourceList[OPTION_SIZE];
static char sqliteDriver[OPTION_SIZE] = VARN_BENCH_SQLITE_DRIVER;
static double seconds = 3;
static double rounds = 6;
static double memoryStatements = 100000;
static double backlog = 10000;

// The run's folders: one with the plain ODBC configuration, the SQLite file
// on disk and, in a folder of its own, the pooled configuration; one on
// tmpfs. A service's settings go into the folder of its configuration, its
// spool beside its data source's SQLite file (for the servers, on disk).
static char tempDir[256];
static char shmDir[256];
static char pooledDir[300];
// The port of a server that never answers, 0 for none.
static int hangPort;

static void NoteInterrupt(int)
{
    interrupted = 1;
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Copies the ini file `from` (none when empty) to `to` and adds `extra`.
// With `pooled`, Pooling=Yes goes into [ODBC] and a CPTimeout into every
// other section, in place of settings of those names.
static int WriteIni(const char *from, const char *to, const char *extra, int pooled)
{
    char line[1024];
    int sawOdbc = 0;
    FILE *in = from[0] != '\0' ? fopen(from, "r") : NULL;
    FILE *out = fopen(to, "w");

    while (in != NULL && out != NULL && fgets(line, sizeof line, in) != NULL) {
        if (pooled && (strncasecmp(line, "Pooling", 7) == 0 || strncasecmp(line, "CPTimeout", 9) == 0))
            continue;
        fputs(line, out);
        if (pooled && line[0] == '[') {
            sawOdbc |= strncasecmp(line, "[ODBC]", 6) == 0;
            fputs(strncasecmp(line, "[ODBC]", 6) == 0 ? "Pooling=Yes\n" : "CPTimeout=60\n", out);
        }
    }
    if (out != NULL)
        fprintf(out, "%s%s", extra, pooled && !sawOdbc ? "\n[ODBC]\nPooling=Yes\n" : "");
    if (in != NULL)
        fclose(in);
    return (from[0] != '\0' && in == NULL) || out == NULL || fclose(out) != 0 ? -1 : 0;
}

// The folders; a plain and a pooled odbcinst.ini, each the given one and the
// SQLite driver; one odbc.ini, the given data sources and the SQLite ones;
// and this process pointed at the plain configuration.
static int PrepareEnvironment(void)
{
    const char *base = getenv("TMPDIR");
    char from[600];
    char to[600];
    char text[1600];

    snprintf(tempDir, sizeof tempDir, "%.200s/varn-bench-XXXXXX", base != NULL && *base != '\0' ? base : "/tmp");
    snprintf(shmDir, sizeof shmDir, "/dev/shm/varn-bench-XXXXXX");
    if (mkdtemp(tempDir) == NULL)
        tempDir[0] = '\0';
    if (mkdtemp(shmDir) == NULL)
        shmDir[0] = '\0';
    snprintf(pooledDir, sizeof pooledDir, "%s/pooled", tempDir);
    if (tempDir[0] == '\0' || shmDir[0] == '\0' || mkdir(pooledDir, 0700) != 0)
        return -1;
    snprintf(from, sizeof from, "%s/odbcinst.ini", odbcDir);
    snprintf(text, sizeof text, "\n[VarnBenchSQLite]\nDriver=%s\nCPTimeout=60\n", sqliteDriver);
    for (int pooled = 0; pooled < 2; pooled++) {
        snprintf(to, sizeof to, "%s/odbcinst.ini", pooled ? pooledDir : tempDir);
        if (WriteIni(odbcDir[0] != '\0' ? from : "", to, text, pooled) != 0)
            return -1;
    }
    snprintf(from, sizeof from, "%s/odbc.ini", odbcDir);
    snprintf(to, sizeof to, "%s/odbc.ini", tempDir);
    // The outage data sources reach the same files through a link that is
    // there only while the benchmark has the database up.
    snprintf(text, sizeof text,
             "\n[varn_bench_sqlite]\nDriver=VarnBenchSQLite\nDatabase=%s/bench.db\n\n"
             "[varn_bench_sqlite_shm]\nDriver=VarnBenchSQLite\nDatabase=%s/bench.db\n\n"
             "[varn_bench_sqlite_outage]\nDriver=VarnBenchSQLite\nDatabase=%s/outage/bench.db\n\n"
             "[varn_bench_sqlite_shm_outage]\nDriver=VarnBenchSQLite\nDatabase=%s/outage/bench.db\n",
             tempDir, shmDir, tempDir, shmDir);
    // A PostgreSQL data source on a server that never answers, on the driver
    // that dbservers.sh names.
    hangPort = odbcDir[0] != '\0' ? OpenBlackhole() : 0;
    if (hangPort > 0)
        snprintf(text + strlen(text), sizeof text - strlen(text),
                 "\n[varn_bench_pg_hang]\nDriver=PostgreSQL ANSI\nServername=127.0.0.1\nPort=%d\nDatabase=varn\n",
                 hangPort);
    if (WriteIni(odbcDir[0] != '\0' ? from : "", to, text, 0) != 0)
        return -1;
    setenv("ODBCSYSINI", tempDir, 1);
    setenv("ODBCINI", to, 1);
    return 0;
}

// The first number in `path`, 0 when it cannot be read.
static int ReadPid(const char *path)
{
    int pid = 0;
    FILE *file = fopen(path, "r");

    if (file != NULL) {
        if (fscanf(file, "%d", &pid) != 1)
            pid = 0;
        fclose(file);
    }
    return pid;
}

static int AddSource(const char *key, Source *source)
{
    const char *keys[] = {"sqlite", "sqlite-shm", "pg", "maria"};
    const char *dataSources[] = {"varn_bench_sqlite", "varn_bench_sqlite_shm", "varn_pg", "varn_maria"};
    const char *labels[] = {"SQLite (disk)", "SQLite (tmpfs)", "PostgreSQL", "MariaDB"};
    struct statfs storage;

    for (int k = 0; k < 4; k++) {
        if (strcmp(key, keys[k]) != 0)
            continue;
        const char *dir = k == 1 ? shmDir : tempDir;
        int tmpfs = statfs(dir, &storage) == 0 && storage.f_type == TMPFS_MAGIC;
        memset(source, 0, sizeof *source);
        snprintf(source->dataSource, sizeof source->dataSource, "%s", dataSources[k]);
        snprintf(source->dir, sizeof source->dir, "%s", dir);
        if (k < 2)
            snprintf(source->outageDataSource, sizeof source->outageDataSource, "%s_outage", dataSources[k]);
        snprintf(source->label, sizeof source->label, "%s", labels[k < 2 ? tmpfs : k]);
        snprintf(source->userName, sizeof source->userName, "%s", k < 2 ? "" : userName);
        snprintf(source->password, sizeof source->password, "%s", k < 2 ? "" : password);
        if (k == 2 && hangPort > 0)
            snprintf(source->hangDataSource, sizeof source->hangDataSource, "varn_bench_pg_hang");
        // The servers' process ids where dbservers.sh keeps them.
        char pidPath[OPTION_SIZE + 32];
        snprintf(pidPath, sizeof pidPath, "%s/%s", odbcDir, k == 2 ? "pg/postmaster.pid" : "my.pid");
        source->server = k >= 2;
        // SQLite on tmpfs costs so little a statement that the hand-over
        // weighs most there: it has a target of CPU time instead.
        source->ratioTarget = k == 0 ? 0.95 : k == 1 ? 0 : 0.9;
        source->serverPid = k >= 2 ? ReadPid(pidPath) : 0;
        return 0;
    }
    fprintf(stderr, "varn-bench: unknown data source \"%s\"\n", key);
    return -1;
}

static int ParseOptions(int argc, char **argv)
{
    const char *names[] = {"--odbc-dir", "--user",    "--password", "--sources",           "--sqlite-driver",
                           "--reference", "--seconds", "--rounds",   "--memory-statements", "--backlog"};
    char *texts[] = {odbcDir, userName, password, sourceList, sqliteDriver, referenceProgram};
    double *numbers[] = {&seconds, &rounds, &memoryStatements, &backlog};
    int i = 1;

    for (; i + 1 < argc; i += 2) {
        int n = 0;
        while (n < 10 && strcmp(argv[i], names[n]) != 0)
            n++;
        if (n == 10)
            break;
        if (n < 6)
            snprintf(texts[n], OPTION_SIZE, "%s", argv[i + 1]);
        else
            *numbers[n - 6] = atof(argv[i + 1]);
    }
    if (sourceList[0] == '\0')
        snprintf(sourceList, OPTION_SIZE, odbcDir[0] != '\0' ? "sqlite,sqlite-shm,pg,maria" : "sqlite,sqlite-shm");
    if (i < argc || !(seconds > 0) || rounds < 1 || (referenceProgram[0] != '\0' && access(referenceProgram, X_OK) != 0) ||
        (memoryStatements != 0 && memoryStatements < MEMORY_FIRST_STATEMENTS) || backlog < 0) {
        fprintf(stderr,
                "usage: varn-bench [--odbc-dir DIR --user NAME --password TEXT] [--sources LIST] [--seconds 3]\n"
                "  [--rounds 6] [--memory-statements 100000] [--backlog 10000] [--sqlite-driver PATH]\n"
                "  [--reference EARLIER-VARN-BENCH] (see bench/README.md)\n");
        return -1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    static Source sources[MAX_SOURCES];
    static Results results[MAX_SOURCES];
    char *saved = NULL;
    int count = 0;
    int tried = 0;
    int status = 0;

    // The service under test: this program run again by StartService.
    if (argc == 3 && strcmp(argv[1], "--serve") == 0)
        return RunService(argv[2]);
    if (ParseOptions(argc, argv) != 0)
        return 2;
    // The memory run holds MEMORY_CLIENTS connections beside this process's
    // own files; the service raises its own limit.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < MEMORY_CLIENTS + 100) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    // An interrupted run still stops its services and removes its folders;
    // without SA_RESTART, a blocked read of a console returns on a signal.
    struct sigaction action = {};
    action.sa_handler = NoteInterrupt;
    for (int signalNumber : {SIGINT, SIGTERM, SIGALRM})
        sigaction(signalNumber, &action, NULL);
    if (PrepareEnvironment() != 0) {
        fprintf(stderr, "varn-bench: cannot set up its folders in $TMPDIR and /dev/shm\n");
        status = 1;
    }
    for (char *key = strtok_r(sourceList, ",", &saved); key != NULL; key = strtok_r(NULL, ",", &saved))
        if (status == 0 && (count == MAX_SOURCES || AddSource(key, &sources[count++]) != 0))
            status = 2;
    // A source that fails does not keep the others from being measured, nor
    // their tables from being printed.
    for (int i = 0; i < count && status == 0 && !interrupted; i++, tried++) {
        Results *r = &results[i];
        long memory = strcmp(sources[i].dataSource, "varn_bench_sqlite_shm") == 0 ? (long)memoryStatements : 0;
        firstComplaint[0] = '\0';
        r->measured = MeasureSource(&sources[i], tempDir, pooledDir, seconds / (int)rounds, (int)rounds, memory,
                                    (long)backlog, r) == 0 &&
                      !interrupted;
        if (interrupted)
            Complain("%s: interrupted", sources[i].label);
        if (!r->measured || !CheckFigures(&sources[i], r) || !CheckLoadFigures(&sources[i], r)) {
            Complain("%s: measurement failed", sources[i].label);
            // The table names the source already.
            size_t skip = strlen(sources[i].label) + 2;
            snprintf(r->failure, sizeof r->failure, "%s",
                     strncmp(firstComplaint, sources[i].label, skip - 2) == 0 ? firstComplaint + skip : firstComplaint);
        }
    }
    for (int i = 0; i < tried; i++)
        if (results[i].failure[0] != '\0')
            status = 1;
    if (tried > 0) {
        PrintTables(sources, results, tried);
        PrintLoadTables(sources, results, tried);
    }
    for (const char *dir : {tempDir, shmDir})
        nftw(dir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}
