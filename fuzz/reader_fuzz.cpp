// Fuzzes the serving loop's statement handling in every dialect: the first
// byte picks the dialect, the rest arrives on a real socket, and every
// statement the loop would run is checked: never over 1000 bytes, never a
// NUL, and for the plain rule and SQLite exactly the statements that an
// independent framing of the input gives (for SQLite, sqlite3_complete).
#include "db.h"
#include "service.h"
#include "statement_lexer.h"

#include <sqlite3.h>
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

// A stand-in database that records what it is asked to run. Defining every
// symbol of the real session keeps it out of the link.
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

// The statements a stream should run: whole statements of at most 1000
// bytes without a NUL, in order; longer ones are skipped with their rest.
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
        if (statement.size() <= 1000 && statement.find('\0') == std::string::npos)
            expected.push_back(statement);
        at += end + 1;
    }
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

    if (size < 1 || size > kMaxInput)
        return 0;
    int dialect = data[0] % 4;
    std::string stream((const char *)data + 1, size - 1);
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    if (!stream.empty() && write(fds[1], stream.data(), stream.size()) != (ssize_t)stream.size())
        abort();
    shutdown(fds[1], SHUT_WR);

    executed.clear();
    ServeClient((NetSocket)fds[0], dialect);
    close(fds[0]);
    close(fds[1]);

    for (const std::string &statement : executed)
        if (statement.empty() || statement.size() > 1000 || statement.back() != ';') {
            fprintf(stderr, "ran a statement of %zu bytes not ending in a semicolon\n", statement.size());
            abort();
        }
    if ((dialect == SQL_DIALECT_PLAIN || dialect == SQL_DIALECT_SQLITE) &&
        executed != ExpectedStatements(stream, dialect)) {
        fprintf(stderr, "dialect %d ran %zu statements, expected %zu\n", dialect, executed.size(),
                ExpectedStatements(stream, dialect).size());
        abort();
    }
    return 0;
}
