// The benchmark's records and the functions its files share: data sources,
// measured rows, the service as a child process.
#ifndef VARN_BENCH_H
#define VARN_BENCH_H

#include <signal.h>

// Every INSERT the benchmark sends is exactly this long, semicolon included.
#define STATEMENT_BYTES 100
// The most time samples a row keeps; later statements still count.
#define MAX_SAMPLES 200000
// The first memory reading is taken after this many statements.
#define MEMORY_FIRST_STATEMENTS 1000L
// The Max Clients of the service of rows 5 to 7, and the clients that rows 6
// and 7 hold connected beside the loading one, sending nothing.
#define MANY_CLIENTS 128
#define IDLE_CLIENTS 100
// The clients connected at once in the memory run with many clients, and
// the connections its statements are spread over.
#define MEMORY_CLIENTS 1000
#define SPREAD_CLIENTS 100
// The clients of the rows with several database sessions and kept ones.
#define LOAD_CLIENTS 50
// The Max Clients of the row whose service takes bytes as they arrive,
// beside one client.
#define FEW_CLIENTS 8
// The share of the database's replay rate (row 10) at which a client sends
// while a backlog drains (row 11).
#define DRAIN_LOAD 0.8
// The sessions of the service of a server that never answers: a client's
// connect hangs in one, and each of the others measures the wait beside it.
#define HANG_SESSIONS 8

// `dir` holds the spool files of the source's services and, for SQLite, its
// database. `outageDataSource` reaches the same database through the link
// `dir`/outage, which the benchmark makes to bring the database back and
// removes to take it down; "" where it cannot take the database down.
// `hangDataSource` names a server that never answers on the source's
// driver, "" where there is none. `server` is 1 for PostgreSQL and MariaDB,
// whose server process (`serverPid`, 0 when unknown) the benchmark can time.
// `ratioTarget` is the share of a fresh session in process that rows 1 and
// 19 must reach, 0 where none is set.
typedef struct Source {
    char label[32];
    char dataSource[32];
    char outageDataSource[40];
    char hangDataSource[40];
    int server;
    int serverPid;
    double ratioTarget;
    char dir[256];
    char userName[256];
    char password[256];
} Source;

// One row, added to slice by slice; FinishRow works out its figures. The
// samples are milliseconds, in a buffer the caller owns (or none).
typedef struct Row {
    long statements;
    double seconds;
    double cpuSeconds;
    double *samples;
    long sampleCount;
    long sideStatements;  // sent beside the row's load, not in its rate
    double serverCpuSeconds;  // of the database server's processes, where known
    double idleCpuSeconds;    // of the whole machine, all CPUs together
    long segmentsOut;         // data segments sent on connections kept by the service or held in process
    double rate;
    double p50Ms;
    double p99Ms;
    double cpuUs;
} Row;

// A data source's rows, in the order of the tables; a row's index is also
// the run id in its INSERTs, which keeps the rows' rows apart. The timed
// rows come before ROW_FLOOR.
enum {
    ROW_ONE,
    ROW_EACH,
    ROW_SESSION,
    ROW_HELD,
    ROW_POOLED,
    ROW_ALONE,
    ROW_IDLE,
    ROW_DRIP,
    ROW_SPOOL_SET,
    ROW_SPOOLING,
    ROW_REPLAY,
    ROW_FEW,
    ROW_REFERENCE,
    ROW_OBSERVED,
    ROW_FLOOR,
    ROW_FLOOR_WHOLE,
    ROW_FLOOR_HANDOVER,
    ROW_FLOOR_CONSOLE,
    ROW_MEMORY,
    ROW_MEMORY_MANY,
    ROW_MEMORY_SPOOL,
    ROW_SESSIONS_1,
    ROW_SESSIONS_4,
    ROW_SESSIONS_8,
    ROW_REUSE_ONE,
    ROW_REUSE_MANY,
    ROW_HELD_RESET,
    ROW_HANG,
    ROW_DRAIN,
    ROWS
};

typedef struct Results {
    Row rows[ROWS];
    long rssFirstKiB;
    long rssLastKiB;
    long rssOneClientKiB;
    long rssClientsKiB;
    long rssSpreadFirstKiB;
    long rssSpreadLastKiB;
    long rssSpoolFirstKiB;
    long rssSpoolLastKiB;
    long spoolRecords;  // waiting in the spool of the memory run, checksums good
    long spoolBytes;
    int measured;       // every row ran; else there are no figures
    char failure[256];  // why the source failed, or "" when it did not
    double reset[2];  // of ROW_HELD_RESET, the time and the CPU time spent in the reset
    // The drain under load, ROW_DRAIN: statements waiting when it began, the
    // replay rate (row 10) and the rate the client was sent at, its
    // statements taken into the spool during the drain, the replays, and
    // the most the spool's file and its waiting records took.
    long drainBacklog;
    double drainReplayRate;
    double drainOffered;
    long drainJoined;
    long drainReplays;
    long spoolFileMost;
    long waitingBytesMost;
} Results;

extern volatile sig_atomic_t interrupted;

// An earlier build's varn-bench (--reference), whose service row 1 is run
// again on as ROW_REFERENCE; "" for none.
extern char referenceProgram[256];

// The first complaint since it was last emptied: why a source failed.
extern char firstComplaint[256];
// Writes "varn-bench: " and the text on standard error, and keeps it as the
// first complaint unless there is one.
void Complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Measures every row of a data source, a slice of each per round, and the
// service's memory unless `memoryStatements` is 0. The INSERTs go into the
// table varn_bench_rows, made afresh, where each must have left its row.
int MeasureSource(const Source *source, const char *plainDir, const char *pooledDir, double slice, int rounds,
                  long memoryStatements, long backlog, Results *r);

// A loopback listener whose one-place backlog is full, so that the SYNs of
// every later connect are dropped: a server that never answers. Returns its
// port, or 0. It lasts as long as the process.
int OpenBlackhole(void);

// Whether a source has the row: those of an outage need one.
int HasRow(const Source *source, int row);
void AddSample(Row *row, double milliseconds);
void FinishRow(Row *row);
// The tables of `count` sources; one that failed is marked with its reason
// in each, with its figures where it has them.
void PrintTables(const Source *sources, const Results *results, int count);
// Whether a source's figures hang together; says why not on standard error.
int CheckFigures(const Source *source, const Results *r);
// The same for the rows of many sessions, kept sessions, a server that never
// answers and a drain under load.
void PrintLoadTables(const Source *sources, const Results *results, int count);
int CheckLoadFigures(const Source *source, const Results *r);

#endif
