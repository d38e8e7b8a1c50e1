// The in-process rows the service is held against: its own session calls
// with no sockets, a client holding one connection, and the cost of reading
// a statement one byte per receive call.
#include "bench.h"

#include "db.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static void FillTiming(PhaseResult *result, long statements, double seconds, double cpuSeconds, long samples)
{
    result->ran = 1;
    result->statements = statements;
    result->seconds = seconds;
    result->rate = seconds > 0 ? (double)statements / seconds : 0;
    result->cpuUsPerStatement = statements > 0 ? cpuSeconds * 1e6 / (double)statements : 0;
    Percentiles(sampleBuffer, samples, &result->p50Ms, &result->p99Ms);
}

int MeasureSessionPerStatement(const BenchSource *source, int runId, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    long count = 0;
    double started = NowSeconds();
    double cpuStarted = ProcessCpuSeconds();
    double finished = started;

    memset(result, 0, sizeof *result);
    while (!benchInterrupted && finished - started < seconds) {
        double sessionStarted;
        FormatInsert(statement, runId, count);
        sessionStarted = NowSeconds();
        if (DbConnect(source->userName, source->password, source->dataSource) != 0)
            return -1;
        if (OdbcFailed(DbExecute(statement))) {
            DbDisconnect();
            return -1;
        }
        finished = NowSeconds();
        if (count < BENCH_MAX_SAMPLES)
            sampleBuffer[count] = (finished - sessionStarted) * 1e3;
        if (DbDisconnect() != 0)
            return -1;
        finished = NowSeconds();
        count++;
    }
    FillTiming(result, count, finished - started, ProcessCpuSeconds() - cpuStarted,
               count < BENCH_MAX_SAMPLES ? count : BENCH_MAX_SAMPLES);
    return 0;
}

int MeasureHeldConnection(const BenchSource *source, int runId, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    long count = 0;
    int status = 0;
    double started;
    double cpuStarted;
    double finished;

    memset(result, 0, sizeof *result);
    if (!SQL_SUCCEEDED(SQLAllocEnv(&henv)))
        return -1;
    if (!SQL_SUCCEEDED(SQLAllocConnect(henv, &hdbc)) ||
        !SQL_SUCCEEDED(SQLConnect(hdbc, (SQLCHAR *)source->dataSource, SQL_NTS, (SQLCHAR *)source->userName,
                                  SQL_NTS, (SQLCHAR *)source->password, SQL_NTS)) ||
        !SQL_SUCCEEDED(SQLSetConnectOption(hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON))) {
        fprintf(stderr, "varn-bench: held connection to %s failed\n", source->dataSource);
        if (hdbc != SQL_NULL_HDBC)
            SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
        SQLFreeHandle(SQL_HANDLE_ENV, henv);
        return -1;
    }

    started = NowSeconds();
    cpuStarted = ProcessCpuSeconds();
    finished = started;
    while (!benchInterrupted && finished - started < seconds) {
        SQLHSTMT hstmt;
        double statementStarted;
        FormatInsert(statement, runId, count);
        statementStarted = NowSeconds();
        if (!SQL_SUCCEEDED(SQLAllocStmt(hdbc, &hstmt))) {
            status = -1;
            break;
        }
        if (OdbcFailed(SQLExecDirect(hstmt, (SQLCHAR *)statement, SQL_NTS))) {
            SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
            status = -1;
            break;
        }
        finished = NowSeconds();
        if (count < BENCH_MAX_SAMPLES)
            sampleBuffer[count] = (finished - statementStarted) * 1e3;
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
        finished = NowSeconds();
        count++;
    }
    FillTiming(result, count, finished - started, ProcessCpuSeconds() - cpuStarted,
               count < BENCH_MAX_SAMPLES ? count : BENCH_MAX_SAMPLES);
    SQLDisconnect(hdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
    SQLFreeHandle(SQL_HANDLE_ENV, henv);
    if (status != 0) {
        fprintf(stderr, "varn-bench: a statement on the held connection failed\n");
        return -1;
    }
    return 0;
}

// The writer side of the floor measurement: statements, back to back, until
// the reader hangs up.
static void WriteStatementsUntilClosed(int port)
{
    char chunk[BENCH_STATEMENT_BYTES * 40];
    int fd = ConnectLoopback(port);
    if (fd < 0)
        _exit(1);
    for (int i = 0; i < 40; i++)
        FormatInsert(chunk + i * BENCH_STATEMENT_BYTES, 1, i);
    for (;;)
        if (send(fd, chunk, sizeof chunk, MSG_NOSIGNAL) <= 0)
            _exit(0);
}

int MeasureByteReadFloor(double seconds, PhaseResult *result)
{
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int client;
    int status;
    pid_t writer;
    long count = 0;
    long samples = 0;
    double started;
    double cpuStarted;
    double finished;

    memset(result, 0, sizeof *result);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        if (listener >= 0)
            close(listener);
        return -1;
    }
    writer = fork();
    if (writer == 0) {
        close(listener);
        WriteStatementsUntilClosed(ntohs(address.sin_port));
    }
    if (writer < 0) {
        close(listener);
        return -1;
    }
    client = accept(listener, NULL, NULL);
    close(listener);
    if (client < 0) {
        kill(writer, SIGKILL);
        waitpid(writer, &status, 0);
        return -1;
    }

    started = NowSeconds();
    cpuStarted = ThreadCpuSeconds();
    finished = started;
    while (!benchInterrupted && finished - started < seconds) {
        double statementStarted = finished;
        char byte;
        for (int i = 0; i < BENCH_STATEMENT_BYTES; i++) {
            if (recv(client, &byte, 1, 0) != 1) {
                close(client);
                waitpid(writer, &status, 0);
                return -1;
            }
        }
        finished = NowSeconds();
        if (samples < BENCH_MAX_SAMPLES)
            sampleBuffer[samples++] = (finished - statementStarted) * 1e3;
        count++;
    }
    FillTiming(result, count, finished - started, ThreadCpuSeconds() - cpuStarted, samples);
    close(client);
    waitpid(writer, &status, 0);
    return 0;
}
