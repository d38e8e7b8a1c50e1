// The in-process rows the service is held against (its own session calls,
// a held connection) and the cost of reading a statement a byte at a time.
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

// Adds one timed slice of an in-process row to its result: the statements
// reached, the wall time and the process's CPU time since the slice began.
static void ClosePhase(PhaseResult *result, long seq, double started, double cpuStarted)
{
    result->ran = 1;
    result->statements = seq;
    result->seconds += NowSeconds() - started;
    result->cpuSeconds += ProcessCpuSeconds() - cpuStarted;
}

int MeasureSessionPerStatement(const BenchSource *source, int runId, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    long seq = result->statements;
    double started = NowSeconds();
    double cpuStarted = ProcessCpuSeconds();
    double finished = started;
    int status = 0;

    while (!benchInterrupted && finished - started < seconds) {
        double sessionStarted;
        FormatInsert(statement, runId, seq);
        sessionStarted = NowSeconds();
        if (DbConnect(source->userName, source->password, source->dataSource) != 0) {
            status = -1;
            break;
        }
        if (OdbcFailed(DbExecute(statement))) {
            DbDisconnect();
            status = -1;
            break;
        }
        // The row is committed and visible once the execute returns; the
        // disconnect still counts towards the rate.
        AddSample(result, (NowSeconds() - sessionStarted) * 1e3);
        if (DbDisconnect() != 0) {
            status = -1;
            break;
        }
        finished = NowSeconds();
        seq++;
    }
    ClosePhase(result, seq, started, cpuStarted);
    return status;
}

int MeasureHeldConnection(const BenchSource *source, int runId, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    long seq = result->statements;
    int status = 0;
    double started;
    double cpuStarted;
    double finished;

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

    // The connection is made outside the timing: a client that holds one
    // pays for it once, however many statements follow.
    started = NowSeconds();
    cpuStarted = ProcessCpuSeconds();
    finished = started;
    while (!benchInterrupted && finished - started < seconds) {
        SQLHSTMT hstmt;
        double statementStarted;
        FormatInsert(statement, runId, seq);
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
        AddSample(result, (NowSeconds() - statementStarted) * 1e3);
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
        finished = NowSeconds();
        seq++;
    }
    ClosePhase(result, seq, started, cpuStarted);
    SQLDisconnect(hdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
    SQLFreeHandle(SQL_HANDLE_ENV, henv);
    if (status != 0)
        fprintf(stderr, "varn-bench: a statement on the held connection failed\n");
    return status;
}

// The writer side of the floor measurement: statements, back to back, one
// send call each as the load client sends them (so each arrives as a
// segment of its own), until the reader hangs up.
static void WriteStatementsUntilClosed(int port)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    int fd = ConnectLoopback(port);
    if (fd < 0)
        _exit(1);
    FormatInsert(statement, 1, 1);
    for (;;)
        if (send(fd, statement, BENCH_STATEMENT_BYTES, MSG_NOSIGNAL) <= 0)
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
    double started;
    double cpuStarted;
    double finished;

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
        AddSample(result, (finished - statementStarted) * 1e3);
        count++;
    }
    result->ran = 1;
    result->statements += count;
    result->seconds += finished - started;
    result->cpuSeconds += ThreadCpuSeconds() - cpuStarted;
    close(client);
    waitpid(writer, &status, 0);
    return 0;
}
