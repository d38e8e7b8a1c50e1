// The statement reader against real sockets: framing by quotes, the length
// bound and the dropping after it, peer close, resets and time-outs.
#include "statement_reader.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Short waits stand in for the service's 90 s and 30 s.
const uint32_t kFirstWait = 2000;
const uint32_t kNextWait = 300;

struct Pair {
    int service = -1;  // the end the reader reads from
    int client = -1;   // the end the test writes to
    ~Pair()
    {
        if (service >= 0)
            close(service);
        if (client >= 0)
            close(client);
    }
};

void MakeSocketPair(Pair *pair)
{
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    pair->service = fds[0];
    pair->client = fds[1];
}

// A real TCP connection over loopback, for resets.
void MakeTcpPair(Pair *pair)
{
    struct sockaddr_in address = {};
    socklen_t length = sizeof address;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, (struct sockaddr *)&address, sizeof address));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_EQ(0, getsockname(listener, (struct sockaddr *)&address, &length));
    pair->client = ConnectFrom("127.0.0.1", ntohs(address.sin_port));
    ASSERT_GE(pair->client, 0);
    pair->service = accept(listener, NULL, NULL);
    close(listener);
    ASSERT_GE(pair->service, 0);
}

// Ends the connection with a reset instead of an orderly close.
void ResetConnection(Pair *pair)
{
    struct linger abort = {1, 0};
    setsockopt(pair->client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(pair->client);
    pair->client = -1;
}

long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Reads statements until the reader gives up, dropping the rest of any cut
// statement as the service does. Cut statements are marked with a "[cut]"
// suffix.
std::vector<std::string> ReadAll(int sock, int capacity)
{
    std::vector<std::string> statements;
    std::vector<char> buffer(capacity + 1);
    for (;;) {
        StatementCut cut;
        int length = ReadStatementWaiting((NetSocket)sock, buffer.data(), capacity, &cut, kFirstWait, kNextWait);
        if (length < 0)
            break;
        EXPECT_EQ('\0', buffer[length]);
        statements.push_back(std::string(buffer.data(), length) + (cut.isCut ? "[cut]" : ""));
        if (cut.isCut && DropStatementRestWaiting((NetSocket)sock, &cut, kNextWait) < 0)
            break;
    }
    return statements;
}

struct FramingCase {
    const char *name;
    std::string sent;
    int capacity;
    std::vector<std::string> statements;
};

std::string Bytes(const char *text, size_t length)
{
    return std::string(text, length);
}

const FramingCase kFramingCases[] = {
    {"plain", "SELECT 1;", 1000, {"SELECT 1;"}},
    {"two in one write", "SELECT 1;SELECT 2;", 1000, {"SELECT 1;", "SELECT 2;"}},
    {"semicolon in single quotes", "INSERT INTO t VALUES('a;b');", 1000, {"INSERT INTO t VALUES('a;b');"}},
    {"semicolon in double quotes", "SELECT \"a;b\" FROM t;", 1000, {"SELECT \"a;b\" FROM t;"}},
    {"doubled single quote", "SELECT 'it''s; here';X;", 1000, {"SELECT 'it''s; here';", "X;"}},
    {"single quote inside double", "SELECT \"it's;\";Y;", 1000, {"SELECT \"it's;\";", "Y;"}},
    {"double quote inside single", "SELECT 'say \"hi;';Z;", 1000, {"SELECT 'say \"hi;';", "Z;"}},
    {"lone semicolon", ";", 1000, {";"}},
    {"CRLF starts the next statement", "A;\r\nB;\r\n", 1000, {"A;", "\r\nB;"}},
    {"unclosed quote never ends", "SELECT 'abc;", 1000, {}},
    {"backslash escapes nothing", "SELECT 'a\\';B;", 1000, {"SELECT 'a\\';", "B;"}},
    {"NUL byte is kept", Bytes("DELETE FROM t\0 WHERE id=5;", 26), 1000, {Bytes("DELETE FROM t\0 WHERE id=5;", 26)}},
    {"exactly at capacity", "012345678;", 10, {"012345678;"}},
    {"cut and rest dropped", "0123456789ABC;next;", 10, {"0123456789[cut]", "next;"}},
    {"quote carried into the dropped rest", "SELECT 'ab;cd;ef';X;", 10, {"SELECT 'ab[cut]", "X;"}},
    {"double quote carried into the dropped rest", "SELECT \"ab;c\";X;", 9, {"SELECT \"a[cut]", "X;"}},
    {"cut right before its semicolon", "0123456789;X;", 10, {"0123456789[cut]", "X;"}},
};

void PrintTo(const FramingCase &c, std::ostream *out)
{
    *out << c.name;
}

class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, WholeWrite)
{
    const FramingCase &c = GetParam();
    Pair pair;
    MakeSocketPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, c.sent));
    shutdown(pair.client, SHUT_WR);

    CaptureStdout();
    std::vector<std::string> statements = ReadAll(pair.service, c.capacity);
    std::string console = GetCapturedStdout();

    EXPECT_EQ(c.statements, statements);
    EXPECT_EQ("Peer closed connection.\n", console);
}

// The same bytes dribbled in one at a time with pauses frame the same way.
TEST_P(Framing, ByteByByteWithPauses)
{
    const FramingCase &c = GetParam();
    Pair pair;
    MakeSocketPair(&pair);
    std::thread writer([&] {
        for (char byte : c.sent) {
            SendAll(pair.client, std::string(1, byte));
            usleep(2000);
        }
        shutdown(pair.client, SHUT_WR);
    });

    CaptureStdout();
    std::vector<std::string> statements = ReadAll(pair.service, c.capacity);
    std::string console = GetCapturedStdout();
    writer.join();

    EXPECT_EQ(c.statements, statements);
    EXPECT_EQ("Peer closed connection.\n", console);
}

INSTANTIATE_TEST_SUITE_P(Reader, Framing, testing::ValuesIn(kFramingCases),
                         [](const testing::TestParamInfo<FramingCase> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

TEST(ReaderStatement, NothingIsConsumedBeyondTheSemicolon)
{
    Pair pair;
    MakeSocketPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, "A;B"));
    char buffer[1001];
    StatementCut cut;
    CaptureStdout();
    EXPECT_EQ(2, ReadStatementWaiting((NetSocket)pair.service, buffer, 1000, &cut, kFirstWait, kNextWait));
    GetCapturedStdout();
    char next = 0;
    EXPECT_EQ(1, recv(pair.service, &next, 1, MSG_DONTWAIT));
    EXPECT_EQ('B', next);
}

// One read with the given capacity and first wait, and what it wrote.
struct ReadResult {
    int length;
    std::string console;
};

ReadResult ReadOne(int sock, char *buffer, int capacity, StatementCut *cut, uint32_t firstWait = kFirstWait)
{
    CaptureStdout();
    int length = ReadStatementWaiting((NetSocket)sock, buffer, capacity, cut, firstWait, kNextWait);
    return {length, GetCapturedStdout()};
}

std::string Line(const char *format, int sock)
{
    char line[128];
    snprintf(line, sizeof line, format, (unsigned)sock);
    return line;
}

TEST(ReaderWaits, NothingArrivesWithinTheFirstWait)
{
    Pair pair;
    MakeSocketPair(&pair);
    char buffer[1001];
    StatementCut cut;
    long start = NowMs();
    CaptureStdout();
    int length = ReadStatementWaiting((NetSocket)pair.service, buffer, 1000, &cut, 400, kNextWait);
    std::string console = GetCapturedStdout();
    long waited = NowMs() - start;

    EXPECT_EQ(-1, length);
    EXPECT_EQ(Line("recv(%u) initial timed out.\n", pair.service), console);
    EXPECT_GE(waited, 380);
    EXPECT_LT(waited, 3000);
}

TEST(ReaderWaits, PauseInsideAStatementDropsIt)
{
    Pair pair;
    MakeSocketPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, "INSERT INTO t"));
    char buffer[1001];
    StatementCut cut;
    ReadResult read = ReadOne(pair.service, buffer, 1000, &cut);

    EXPECT_EQ(-1, read.length);
    EXPECT_EQ(Line("recv(%u) next timed out\n", pair.service), read.console);
}

// After "A;\r\n" the carriage return is the next statement's first byte,
// so an idle client is cut off after the short wait, not the long one.
TEST(ReaderWaits, IdleAfterCrLfFallsUnderTheNextByteWait)
{
    Pair pair;
    MakeSocketPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, "A;\r\n"));
    char buffer[1001];
    StatementCut cut;
    CaptureStdout();
    EXPECT_EQ(2, ReadStatementWaiting((NetSocket)pair.service, buffer, 1000, &cut, 5000, kNextWait));
    long start = NowMs();
    int length = ReadStatementWaiting((NetSocket)pair.service, buffer, 1000, &cut, 5000, kNextWait);
    long waited = NowMs() - start;
    std::string console = GetCapturedStdout();

    EXPECT_EQ(-1, length);
    EXPECT_EQ(Line("recv(%u) next timed out\n", pair.service), console);
    EXPECT_LT(waited, 4000);
}

TEST(ReaderWaits, PauseWhileDroppingEndsTheConnection)
{
    Pair pair;
    MakeSocketPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, "0123456789ABC"));
    char buffer[11];
    StatementCut cut;
    CaptureStdout();
    ASSERT_EQ(10, ReadStatementWaiting((NetSocket)pair.service, buffer, 10, &cut, kFirstWait, kNextWait));
    ASSERT_TRUE(cut.isCut);
    int dropped = DropStatementRestWaiting((NetSocket)pair.service, &cut, kNextWait);
    std::string console = GetCapturedStdout();

    EXPECT_EQ(-1, dropped);
    EXPECT_EQ(Line("recv(%u) next timed out\n", pair.service), console);
}

TEST(ReaderWaits, CloseWhileDropping)
{
    Pair pair;
    MakeSocketPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, "0123456789ABC"));
    shutdown(pair.client, SHUT_WR);
    char buffer[11];
    StatementCut cut;
    CaptureStdout();
    ASSERT_EQ(10, ReadStatementWaiting((NetSocket)pair.service, buffer, 10, &cut, kFirstWait, kNextWait));
    EXPECT_EQ(-1, DropStatementRestWaiting((NetSocket)pair.service, &cut, kNextWait));
    EXPECT_EQ("Peer closed connection.\n", GetCapturedStdout());
}

TEST(ReaderFailures, ResetBeforeTheFirstByte)
{
    Pair pair;
    MakeTcpPair(&pair);
    ResetConnection(&pair);
    char buffer[1001];
    StatementCut cut;
    ReadResult read = ReadOne(pair.service, buffer, 1000, &cut);

    EXPECT_EQ(-1, read.length);
    EXPECT_EQ(Line("recv(%u) initial failed Connection reset by peer\n", pair.service), read.console);
}

TEST(ReaderFailures, ResetInsideAStatement)
{
    Pair pair;
    MakeTcpPair(&pair);
    ASSERT_TRUE(SendAll(pair.client, "UPDATE t SET"));
    usleep(50000);
    ResetConnection(&pair);
    char buffer[1001];
    StatementCut cut;
    ReadResult read = ReadOne(pair.service, buffer, 1000, &cut);
    std::string console = read.console;

    EXPECT_EQ(-1, read.length);
    // Linux may deliver the reset before the bytes already queued.
    EXPECT_TRUE(console == Line("recv(%u) next failed Connection reset by peer\n", pair.service) ||
                console == Line("recv(%u) initial failed Connection reset by peer\n", pair.service))
        << console;
}

}  // namespace
