// Fuzzes the serving loop's statement handling: arbitrary bytes arrive on a
// real socket, and every statement the loop would run is checked against
// what the framing rules allow.
#include "db.h"
#include "service.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

// A socket pair holds this much without a reader, so the input is written
// whole before the loop starts reading.
static const size_t kMaxInput = 64 * 1024;

DbSession dbSession;
static std::vector<std::string> executed;

int DbConnect(const char *, const char *, const char *)
{
    return 0;
}

int DbExecute(const char *statementText)
{
    executed.push_back(statementText);
    return 0;
}

int DbDisconnect(void)
{
    return 0;
}

static void Fail(const char *why, const std::string &statement)
{
    fprintf(stderr, "property broken: %s: [%s]\n", why, statement.c_str());
    abort();
}

// What may be run: at most 1000 bytes, no NUL, ending at its first
// semicolon outside quotes.
static void CheckStatement(const std::string &statement)
{
    int doubleQuotes = 0;
    int singleQuotes = 0;

    if (statement.empty() || statement.size() > 1000)
        Fail("length", statement);
    for (size_t i = 0; i < statement.size(); i++) {
        char c = statement[i];
        if (c == '"' && singleQuotes == 0)
            doubleQuotes ^= 1;
        else if (c == '\'' && doubleQuotes == 0)
            singleQuotes ^= 1;
        if (c == ';' && doubleQuotes == 0 && singleQuotes == 0 && i + 1 != statement.size())
            Fail("semicolon outside quotes before the end", statement);
    }
    if (statement.back() != ';' || doubleQuotes != 0 || singleQuotes != 0)
        Fail("does not end at a semicolon outside quotes", statement);
}

// The statements a stream should yield: whole statements of at most 1000
// bytes without a NUL, in order; longer ones are skipped with their rest.
static std::vector<std::string> ExpectedStatements(const uint8_t *data, size_t size)
{
    std::vector<std::string> expected;
    size_t at = 0;

    while (at < size) {
        std::string statement;
        int doubleQuotes = 0;
        int singleQuotes = 0;
        bool ended = false;
        while (at < size) {
            char c = (char)data[at++];
            if (c == '"' && singleQuotes == 0)
                doubleQuotes ^= 1;
            else if (c == '\'' && doubleQuotes == 0)
                singleQuotes ^= 1;
            statement += c;
            if (c == ';' && doubleQuotes == 0 && singleQuotes == 0) {
                ended = true;
                break;
            }
        }
        if (!ended)
            break;
        if (statement.size() <= 1000 && statement.find('\0') == std::string::npos)
            expected.push_back(statement);
    }
    return expected;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The console lines are not what is checked here.
    if (freopen("/dev/null", "w", stdout) == NULL)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2];
    int bufferSize = (int)(2 * kMaxInput);

    if (size > kMaxInput)
        return 0;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    if (size > 0 && write(fds[1], data, size) != (ssize_t)size)
        abort();
    shutdown(fds[1], SHUT_WR);

    executed.clear();
    ServeClient((NetSocket)fds[0]);
    close(fds[0]);
    close(fds[1]);

    for (const std::string &statement : executed)
        CheckStatement(statement);
    if (executed != ExpectedStatements(data, size)) {
        fprintf(stderr, "ran %zu statements, expected %zu\n", executed.size(), ExpectedStatements(data, size).size());
        abort();
    }
    return 0;
}
