// Fuzzes the serving loop's statement handling in every dialect, with one
// to four clients at once: the first byte picks the dialect (its low two
// bits), the number of clients (the next two) and how many bytes a receive
// takes when they are served together (the next three), the rest is shared
// out among the clients, each on a real socket. Every statement the loop
// would run is checked: never over 1000 bytes, never a NUL; each client's
// are exactly those it runs when served alone, one byte a receive; and for
// the plain rule and
// SQLite, exactly the statements that an independent framing of its input
// gives (for SQLite, sqlite3_complete), each from its first word, from
// where its 1000 bytes count.
// With the first byte's high bit the clients come from a trusted proxy and
// begin with a PROXY header; its seeds' outcomes stand in for that framing.
#include "db.h"
#include "loop.h"
#include "proxy.h"
#include "sessions.h"
#include "statement_lexer.h"

#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

// A socket pair holds this much without a reader, so the input is written
// whole before the loop starts reading.
static const size_t kMaxInput = 64 * 1024;
static const int kMaxClients = 4;
// Receives that split statements and their endings every way, and the
// service's own size.
static const int kReceiveSizes[8] = {RECEIVE_MAX, 1, 2, 3, 7, 64, 999, 1001};

// Stand-in database sessions that record what they are asked to run, and
// for which client, as the job is handed over. Defining every symbol of the
// real sessions keeps them and their threads out of the link.
static std::vector<std::string> executed[MAX_CLIENTS_LIMIT];
static std::vector<Job> finishedJobs;
static std::vector<std::string> firstClientRan;

// For the replay of the seeds: the statements the first client ran when
// served alone, each followed by a NUL byte.
std::string SeedOutcome()
{
    std::string ran;
    for (const std::string &statement : firstClientRan)
        ran += statement + std::string(1, '\0');
    return ran;
}

int StartSessions(int)
{
    return 0;
}

int SendStatement(DbSession *, const char *)
{
    return STATEMENT_TAKEN;
}

void SubmitJob(const Job *job)
{
    executed[job->client].push_back(job->text);
    finishedJobs.push_back(*job);
    // What a session sets of a finished job, as one that ran it on a fresh
    // connection would: the loop counts it.
    Job *done = &finishedJobs.back();
    done->outcome = STATEMENT_TAKEN;
    done->elapsedUs = 0;
    done->failed = 0;
    done->connects = 0;
    done->connectFailures = 0;
    done->keptChange = 0;
    NetWake();
}

int TakeFinishedJob(Job *job)
{
    if (finishedJobs.empty())
        return 0;
    *job = finishedJobs.front();
    finishedJobs.erase(finishedJobs.begin());
    return 1;
}

int LoopGoesIdle(void)
{
    return finishedJobs.empty();
}

void LoopWakesUp(int woken)
{
    if (woken)
        NetWakeClear();
}

void StopKeepingSessions(void)
{
}

int EndSessions(void)
{
    return 1;
}

int SessionsLeaveDriver(void)
{
    return 1;
}

int TakeBackUnsentJobs(Job *, int *queued)
{
    *queued = 0;
    return 0;
}

// Where the plain rule ends a statement: at a semicolon where both quote
// counts are even, a quote counting only outside the other kind.
static size_t PlainEnd(const std::string &text)
{
    int doubleQuotes = 0;
    int singleQuotes = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '"' && singleQuotes == 0)
            doubleQuotes ^= 1;
        else if (text[i] == '\'' && doubleQuotes == 0)
            singleQuotes ^= 1;
        else if (text[i] == ';' && doubleQuotes == 0 && singleQuotes == 0)
            return i;
    }
    return std::string::npos;
}

// Where SQLite ends it: the first semicolon at which sqlite3_complete says
// the text is complete. sqlite3_complete stops at a NUL, which the reader
// takes as any other byte outside a word, like 0x01.
static size_t SqliteEnd(const std::string &text)
{
    std::string visible = text;
    for (char &c : visible)
        if (c == '\0')
            c = '\x01';
    for (size_t i = visible.find(';'); i != std::string::npos; i = visible.find(';', i + 1))
        if (sqlite3_complete(visible.substr(0, i + 1).c_str()))
            return i;
    return std::string::npos;
}

// Where SQLite's text begins: after blanks, "--" comments to the end of
// their line and "/* */" comments.
static size_t SqliteTextStart(const std::string &text)
{
    size_t at = 0;
    for (;;) {
        if (at < text.size() && strchr(" \t\n\r\f", text[at]) != NULL && text[at] != '\0')
            at++;
        else if (text.compare(at, 2, "--") == 0)
            at = text.find('\n', at) == std::string::npos ? text.size() : text.find('\n', at) + 1;
        else if (text.compare(at, 2, "/*") == 0)
            at = text.find("*/", at + 2) == std::string::npos ? text.size() : text.find("*/", at + 2) + 2;
        else
            return at;
    }
}

// The statements a stream should run: whole statements of at most 1000
// bytes without a NUL, in order, in SQLite from their first word (what
// leads it counts toward nothing); longer ones are skipped with their rest.
static std::vector<std::string> ExpectedStatements(const std::string &stream, int dialect)
{
    std::vector<std::string> expected;
    size_t at = 0;
    for (;;) {
        std::string rest = stream.substr(at);
        size_t end = dialect == SQL_DIALECT_SQLITE ? SqliteEnd(rest) : PlainEnd(rest);
        if (end == std::string::npos)
            return expected;
        std::string statement = rest.substr(0, end + 1);
        if (dialect == SQL_DIALECT_SQLITE)
            statement = statement.substr(SqliteTextStart(statement));
        if (statement.size() <= 1000 && statement.find('\0') == std::string::npos)
            expected.push_back(statement);
        at += end + 1;
    }
}

// Serves `streams`, one client each, at once with a limit of `maxClients`,
// each receive asking for `receiveSize` bytes, until every client has
// closed; what each ran is in executed[].
static void Serve(const std::vector<std::string> &streams, int dialect, int maxClients, int receiveSize)
{
    int bufferSize = (int)(2 * kMaxInput);

    serviceLoop.maxClients = (uint32_t)maxClients;
    serviceLoop.dialect = dialect;
    statementReceiveSize = receiveSize;
    for (size_t i = 0; i < streams.size(); i++) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0 || fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0)
            abort();
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
        if (!streams[i].empty() && write(fds[1], streams[i].data(), streams[i].size()) != (ssize_t)streams[i].size())
            abort();
        close(fds[1]);
        executed[i].clear();
        AdmitClient((NetSocket)fds[0], htonl(0x7F000001), (uint16_t)(50000 + i));
    }
    while (serviceLoop.clientCount > 0)
        ServeOnce();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The console lines are not what is checked here.
    if (freopen("/dev/null", "w", stdout) == NULL || NetWakeOpen(&serviceLoop.wake) != 0)
        abort();
    trustedProxy.address = htonl(0x7F000001);  // every client's
    trustedProxy.mask = 0xFFFFFFFFu;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kMaxInput)
        return 0;
    int dialect = data[0] % 4;
    int clients = 1 + (data[0] >> 2) % kMaxClients;
    int receiveSize = kReceiveSizes[(data[0] >> 4) % 8];
    trustedProxy.trusted = data[0] >> 7;
    std::vector<std::string> streams;
    for (int i = 0; i < clients; i++) {
        size_t from = 1 + (size - 1) * i / clients;
        size_t to = 1 + (size - 1) * (i + 1) / clients;
        streams.push_back(std::string((const char *)data + from, to - from));
    }

    std::vector<std::string> alone[kMaxClients];
    for (int i = 0; i < clients; i++) {
        Serve({streams[i]}, dialect, 1, 1);
        alone[i] = executed[0];
    }
    firstClientRan = alone[0];
    Serve(streams, dialect, kMaxClients, receiveSize);

    for (int i = 0; i < clients; i++) {
        for (const std::string &statement : executed[i])
            if (statement.empty() || statement.size() > 1000 || statement.back() != ';') {
                fprintf(stderr, "ran a statement of %zu bytes not ending in a semicolon\n", statement.size());
                abort();
            }
        if (executed[i] != alone[i]) {
            fprintf(stderr, "client %d of %d ran %zu statements, alone %zu\n", i, clients, executed[i].size(),
                    alone[i].size());
            abort();
        }
        if ((dialect == SQL_DIALECT_PLAIN || dialect == SQL_DIALECT_SQLITE) && !trustedProxy.trusted &&
            executed[i] != ExpectedStatements(streams[i], dialect)) {
            fprintf(stderr, "dialect %d ran %zu statements, expected %zu\n", dialect, executed[i].size(),
                    ExpectedStatements(streams[i], dialect).size());
            abort();
        }
    }
    return 0;
}
