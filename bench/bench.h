// The benchmark's shared pieces: data sources, timing, the helper ODBC
// connection, the running service and the measurements each phase yields.
#ifndef VARN_BENCH_H
#define VARN_BENCH_H

#include <sql.h>
#include <sqlext.h>
#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

#define BENCH_TEXT_SIZE 256
#define BENCH_PATH_SIZE 1024

// Every INSERT the benchmark sends is exactly this long, semicolon included.
#define BENCH_STATEMENT_BYTES 100

// The most latency samples one phase keeps; a phase stops taking samples
// when they are full.
#define BENCH_MAX_SAMPLES 200000

#define BENCH_KIND_SQLITE 1
#define BENCH_KIND_POSTGRES 2
#define BENCH_KIND_MARIADB 3

// One data source under test.
typedef struct BenchSource {
    int kind;
    char key[16];
    char label[32];
    char dataSource[BENCH_TEXT_SIZE];
    char userName[BENCH_TEXT_SIZE];
    char password[BENCH_TEXT_SIZE];
    // SQLite only: the database file, watched for commits while polling.
    char sqlitePath[BENCH_PATH_SIZE];
} BenchSource;

// What the benchmark run works with: its temp folder, the two ODBC
// configurations (as given, and the same with driver-manager pooling on)
// and the service program.
typedef struct BenchEnvironment {
    char tempDir[BENCH_PATH_SIZE];
    // A folder on tmpfs, for the second SQLite data source and the
    // services' consoles; empty where there is no /dev/shm.
    char shmDir[BENCH_PATH_SIZE];
    // Where each service gets a folder for its settings and console.
    char consoleDir[BENCH_PATH_SIZE];
    char plainOdbcDir[BENCH_PATH_SIZE];
    char pooledOdbcDir[BENCH_PATH_SIZE];
    char serviceProgram[BENCH_PATH_SIZE];
    double seconds;
    int rounds;
    int pollGapUs;
} BenchEnvironment;

// One measured row. Rate rows are measured in slices, round after round,
// so that every row meets the same conditions (a disk whose flush time
// drifts, say); each slice adds to the totals, and FinishPhase works out
// the figures. Fields a row does not measure stay zero.
typedef struct PhaseResult {
    int ran;
    long statements;
    double seconds;
    // CPU time of the process that ran the sessions (the service, or this
    // program for the in-process rows).
    double cpuSeconds;
    // Latency samples in milliseconds, in a buffer the caller owns (may be
    // null when the row takes none).
    double *samples;
    long sampleCapacity;
    long sampleCount;

    double rate;
    double p50Ms;
    double p99Ms;
    double cpuUsPerStatement;
    // Latency rows: how often the row was looked for, and what one look
    // cost, so the figure's resolution can be judged.
    long looks;
    double lookSeconds;
    double pollsPerStatement;
    double pollUs;
    // Rows already visible at the first look: their latency may be
    // overstated by up to the wait before that look.
    long firstLookHits;
    // The shortest latency seen so far, which paces the looks.
    double shortestSeconds;
} PhaseResult;

// The first memory reading is taken after this many statements.
#define MEMORY_FIRST_STATEMENTS 1000L

// What one pooling probe found for one configuration: -1 where the probe
// does not apply to the data source.
typedef struct ProbeResult {
    int ran;
    long sessions;
    int settingCarried;
    int temporaryCarried;
    int beginHolds;
} ProbeResult;

// Everything measured for one data source.
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
    PhaseResult floor;
    ProbeResult plainProbe;
    ProbeResult pooledProbe;
    long memoryStatements;
    long residentFirstKiB;
    long residentLastKiB;
} SourceResults;

// The service as a child process.
typedef struct ServiceProcess {
    pid_t pid;
    int port;
    char dir[BENCH_PATH_SIZE];
    char logPath[BENCH_PATH_SIZE];
} ServiceProcess;

// A connection of this program's own, for setting tables up, counting rows
// and watching for them.
typedef struct HelperLink {
    SQLHENV henv;
    SQLHDBC hdbc;
    SQLHSTMT probe;
    SQLINTEGER probeRun;
    SQLINTEGER probeSeq;
} HelperLink;

// util.cpp
// Set when the run is interrupted; every loop of a phase checks it.
extern volatile sig_atomic_t benchInterrupted;
double NowSeconds(void);
void SleepMicroseconds(int microseconds);
double ThreadCpuSeconds(void);
double ProcessCpuSeconds(void);
// Sorts `samples` and writes its 50th and 99th percentiles.
void Percentiles(double *samples, long count, double *p50, double *p99);
// Adds one latency sample when there is room for it.
void AddSample(PhaseResult *result, double milliseconds);
// Works out rate, CPU per statement and percentiles from the totals.
void FinishPhase(PhaseResult *result);
// Writes `dir`/`name` into `path`; -1 when it does not fit.
int JoinPath(char *path, size_t size, const char *dir, const char *name);

// helper_odbc.cpp
int HelperConnect(const BenchSource *source, HelperLink *link);
void HelperDisconnect(HelperLink *link);
// Runs one statement and drops its result. Returns 0, or -1 after writing
// the driver's messages to standard error.
int HelperRun(HelperLink *link, const char *sql);
// Runs a query and reads the first column of its first row as text.
// Returns 1 with a row, 0 without one, -1 on failure.
int HelperQueryText(HelperLink *link, const char *sql, char *text, int textSize);
int HelperQueryLong(HelperLink *link, const char *sql, long *value);
// Creates the benchmark's tables afresh.
int PrepareTables(HelperLink *link);
long CountRows(HelperLink *link, int runId);
// 1 when the row (runId, seq) can be read, 0 when not yet, -1 on failure.
int IsRowVisible(HelperLink *link, int runId, long seq);
// The INSERT for one row, BENCH_STATEMENT_BYTES long, NUL-terminated.
void FormatInsert(char text[BENCH_STATEMENT_BYTES + 1], int runId, long seq);

// baselines.cpp
// Each Measure function below adds one slice of about `seconds` to
// `result`, numbering its rows on from the statements already counted.
// The service's own session calls, one session per statement, in this
// process; no sockets.
int MeasureSessionPerStatement(const BenchSource *source, int runId, double seconds, PhaseResult *result);
// One connection held open; each statement allocates, executes and frees a
// statement handle, as an interactive ODBC client does.
int MeasureHeldConnection(const BenchSource *source, int runId, double seconds, PhaseResult *result);
// Reading BENCH_STATEMENT_BYTES off a loopback TCP connection one byte per
// receive call: the floor the one-byte reads put under every statement.
int MeasureByteReadFloor(double seconds, PhaseResult *result);

// service_run.cpp
int StartServiceProcess(const BenchEnvironment *env, const char *odbcDir, const BenchSource *source,
                        ServiceProcess *service);
void StopServiceProcess(ServiceProcess *service);
// CPU seconds the service has used so far, or -1.
double ServiceCpuSeconds(const ServiceProcess *service);
// Its resident set in KiB, or -1.
long ServiceResidentKiB(const ServiceProcess *service);
int ConnectLoopback(int port);
// Sends `count` INSERTs with sequence numbers from `firstSeq` on one
// connection as fast as the service takes them, half-closes and waits for
// the service to close in turn (it has then run them all).
int SendOnOneConnection(int port, int runId, long firstSeq, long count, double *elapsed);
// The same INSERTs, back to back, for about `seconds`, on one connection.
int MeasureOneConnection(const ServiceProcess *service, int runId, double seconds, PhaseResult *result);
// One INSERT per connection, back to back, a few connections in flight.
int MeasureSuccessiveConnections(const ServiceProcess *service, int runId, double seconds, PhaseResult *result);
// One INSERT at a time for `seconds`: send it, watch until its row is
// visible, send the next; `perConnection` opens a fresh connection for each.
int MeasureVisibleLatency(const BenchEnvironment *env, const ServiceProcess *service, const BenchSource *source,
                          HelperLink *link, int runId, int perConnection, double seconds, PhaseResult *result);
// Sends the given statement texts on one connection and waits until the
// service has run them all.
int SendStatements(int port, const char *const *statements, int count);

// pooling_probe.cpp
// Starts a service on the ODBC configuration in `odbcDir` and finds out,
// from the rows its statements leave, how many server sessions five
// statements had and whether a SET, a temporary table and an open BEGIN
// reach the next statement.
int RunProbe(const BenchEnvironment *env, const BenchSource *source, HelperLink *link, const char *odbcDir,
             ProbeResult *probe);

// report.cpp
void PrintTables(const BenchEnvironment *env, const BenchSource *sources, const SourceResults *results,
                 int sourceCount);

#endif
