// The statement reader against real sockets: framing in every dialect, the
// length bound and the dropping after it, partial statements, peer close,
// resets and waits that run out.
#include "statement_reader.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
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

const int P = SQL_DIALECT_PLAIN;
const int S = SQL_DIALECT_SQLITE;
const int G = SQL_DIALECT_POSTGRESQL;
const int M = SQL_DIALECT_MYSQL;

// Reads statements off one connection as the serving loop does, until the
// reader gives up, dropping the rest of any cut statement; cut statements
// get a "[cut]" suffix; with `proxied`, a PROXY header's client port first.
std::vector<std::string> ReadAll(int sock, int capacity, int dialect, uint32_t firstWait = kFirstWait,
                                 bool proxied = false)
{
    std::vector<std::string> statements;
    std::vector<char> buffer(capacity + 1);
    StatementFraming framing;
    ProxyHeader proxy;
    StatementWaits saved = statementWaits;
    statementWaits = {firstWait, kNextWait};
    fcntl(sock, F_SETFL, O_NONBLOCK);
    StartFraming(&framing, dialect, NowMs());
    StartProxyHeader(&proxy);
    for (int header = proxied ? PROXY_HEADER_MORE : PROXY_HEADER_CLIENT;;) {
        if (header == PROXY_HEADER_MORE &&
            (header = ReadProxyHeader((NetSocket)sock, &proxy, &framing)) == PROXY_HEADER_CLIENT)
            statements.push_back(std::to_string(proxy.port));
        int result = header == PROXY_HEADER_MORE ? READ_WAITING : header != PROXY_HEADER_CLIENT ? READ_ENDED
                     : ReadStatementBytes((NetSocket)sock, buffer.data(), capacity, &framing, NowMs());
        if (result == READ_ENDED)
            break;
        if (result == READ_WAITING) {
            // Nothing received waits unframed while the reader waits.
            EXPECT_FALSE(BytesReceived(&framing));
            NetWaitEntry entry = {(NetSocket)sock, 0};
            if (NowMs() < framing.deadline && NetWait(&entry, 1, (int)(framing.deadline - NowMs())) >= 0)
                continue;
            EndStatementWait((NetSocket)sock, buffer.data(), &framing);
            break;
        }
        EXPECT_EQ('\0', buffer[framing.length]);
        statements.push_back(std::string(buffer.data(), framing.length) + (framing.isCut ? "[cut]" : ""));
        if (framing.isCut)
            DropStatement(&framing, NowMs());
        else
            NextStatement(&framing, NowMs());
    }
    statementWaits = saved;
    return statements;
}

struct FramingCase : NamedCase {
    int dialect;
    std::string sent;
    std::vector<std::string> statements;
    int capacity;
    int receiveSize = RECEIVE_MAX;  // what a receive may take: smaller splits the bytes that wait
    bool proxied = false;
};

const char kIncomplete[] = "Statement incomplete, not executed.\n";
// Headers for port 4567; version 2 at its longest, 536 bytes.
const std::string kBinary = std::string("\r\n\r\n\0\r\nQUIT\n\x21\x11\x02\x08\x0a\x01\x02\x03\x0a\x00\x00\x01"
                                        "\x11\xd7\x00\x17", 28) + std::string(508, ';');

// The other framing cases of every dialect, and the bound at its real 1000
// bytes, are seeds in fuzz/corpus/reader, which reader.corpus checks against
// an independent framing or against their expected statements in
// fuzz/expected/reader. These are the ones whose state must carry across
// reads, dribbled in here a byte at a time, and sent whole.
const FramingCase kFramingCases[] = {
    {{"cut and rest dropped"}, P, "0123456789ABC;next;", {"0123456789[cut]", "next;"}, 10},
    {{"nested comments and parentheses"}, G, "/* a /* b; */ c; */ SELECT (1;\n2), \"d;\" -- e;\n;X;",
     {"/* a /* b; */ c; */ SELECT (1;\n2), \"d;\" -- e;\n;", "X;"}, 1000},
    {{"dollar quote carried into the dropped rest"}, G, "SELECT $q$;;;;;;$q$;X;", {"SELECT $q$;[cut]", "X;"}, 11},
    {{"escape carried into the dropped rest"}, M, "SELECT 'ab\\';';X;", {"SELECT 'ab\\[cut]", "X;"}, 11},
    // The same across receives of a few bytes.
    {{"cut across receives"}, P, "0123456789ABC;next;", {"0123456789[cut]", "next;"}, 10, 3},
    {{"dollar quote across receives"}, G, "SELECT $q$;;;;;;$q$;X;", {"SELECT $q$;[cut]", "X;"}, 11, 4},
    {{"comment dropped across receives"}, S, "/* a; */ -- b;\nSELECT 1;", {"SELECT 1;"}, 1000, 2},
    // After a PROXY header, as if it had not come; every other form of
    // header is a seed of the reader fuzz target (corpus/reader/proxy-*).
    {{"version 1 header a byte a receive"}, P, "PROXY TCP4 10.1.2.3 10.0.0.1 4567 23\r\nA;'B;';",
     {"4567", "A;", "'B;';"}, 1000, 1, true},
    {{"version 2 header in one receive"}, P, kBinary + "A;B;", {"4567", "A;", "B;"}, 1000, RECEIVE_MAX, true},
};

class Framing : public testing::TestWithParam<FramingCase> {};

// The same bytes, sent whole and dribbled in one at a time, frame the same
// way, and a connection closed after whole statements writes one line.
TEST_P(Framing, WholeAndByteByByte)
{
    const FramingCase &c = GetParam();
    for (bool dribble : {false, true}) {
        SocketPair pair;
        std::thread writer([&] {
            for (size_t at = 0; at < c.sent.size(); at += dribble ? 1 : c.sent.size()) {
                SendAll(pair.client, c.sent.substr(at, dribble ? 1 : std::string::npos));
                if (dribble)
                    usleep(1000);
            }
            shutdown(pair.client, SHUT_WR);
        });
        CaptureStdout();
        statementReceiveSize = c.receiveSize;
        std::vector<std::string> statements = ReadAll(pair.service, c.capacity, c.dialect, kFirstWait, c.proxied);
        statementReceiveSize = RECEIVE_MAX;
        std::string console = GetCapturedStdout();
        writer.join();
        EXPECT_EQ(c.statements, statements) << (dribble ? "byte by byte" : "whole");
        EXPECT_EQ("Peer closed connection.\n", console.substr(console.size() - 24)) << console;
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, Framing, testing::ValuesIn(kFramingCases), CaseName());

// The service's real waits: a connection may keep the reader waiting 90 s
// for a statement's first byte and 30 s for each byte after it, counted
// from when the reader last took one.
TEST(ReaderStatement, WaitsInForce)
{
    SocketPair pair;
    char buffer[1001];
    StatementFraming framing;
    fcntl(pair.service, F_SETFL, O_NONBLOCK);
    StartFraming(&framing, P, 1000);
    EXPECT_EQ(91000, framing.deadline);
    SendAll(pair.client, "A");
    EXPECT_EQ(READ_WAITING, ReadStatementBytes((NetSocket)pair.service, buffer, 1000, &framing, 5000));
    EXPECT_EQ(35000, framing.deadline);
    SendAll(pair.client, ";");
    EXPECT_EQ(READ_COMPLETE, ReadStatementBytes((NetSocket)pair.service, buffer, 1000, &framing, 6000));
    NextStatement(&framing, 7000);
    EXPECT_EQ(97000, framing.deadline);
}

// How a connection ends: the bytes sent, then a close, a reset, or silence;
// the console lines, with "%u" for the socket number.
struct EndCase : NamedCase {
    int dialect;
    std::string sent;
    const char *end;  // "close", "reset" or "silence"
    std::string console;
    uint32_t firstWait;
    int capacity = 1000;
};

const EndCase kEndCases[] = {
    {{"nothing arrives within the first wait"}, P, "", "silence", "recv(%u) initial timed out.\n", 400},
    {{"pause inside a statement"}, P, "INSERT INTO t",
     "silence", "Query: \"INSERT INTO t\"\n" + std::string(kIncomplete) + "recv(%u) next timed out\n", kFirstWait},
    // After "A;\r\n" the carriage return is the next statement's first byte,
    // so an idle client is cut off after the short wait, not the long one,
    // and the line breaks are not logged as a statement.
    {{"idle after CRLF"}, P, "A;\r\n", "silence", "recv(%u) next timed out\n", 5000},
    {{"close inside a quote"}, P, "SELECT 'abc;", "close",
     "Query: \"SELECT 'abc;\"\n" + std::string(kIncomplete) + "Peer closed connection.\n", kFirstWait},
    // In a dialect, comments after the last statement are no statement.
    {{"close after a comment"}, M, "A; # ;\n-- x", "close", "Peer closed connection.\n", kFirstWait},
    {{"close after blanks and line breaks"}, S, "A;\r\n \t\n", "close", "Peer closed connection.\n", kFirstWait},
    {{"partial statement shown up to a NUL"}, P, std::string("DELETE\0 x", 9), "close",
     "Query: \"DELETE\"\n" + std::string(kIncomplete) + "Peer closed connection.\n", kFirstWait},
    {{"reset before the first byte"}, P, "", "reset", "recv(%u) initial failed Connection reset by peer\n",
     kFirstWait},
    {{"reset inside a statement"}, G, "UPDATE t SET", "reset",
     "Query: \"UPDATE t SET\"\n" + std::string(kIncomplete) + "recv(%u) next failed Connection reset by peer\n",
     kFirstWait},
    {{"pause while dropping a cut statement"}, P, "0123456789ABC", "silence", "recv(%u) next timed out\n", kFirstWait,
     10},
    {{"close while dropping a cut statement"}, P, "0123456789ABC", "close", "Peer closed connection.\n", kFirstWait, 10},
    {{"pause inside a statement received whole"}, P, "A;INSERT INTO t", "silence",
     "Query: \"INSERT INTO t\"\n" + std::string(kIncomplete) + "recv(%u) next timed out\n", kFirstWait},
};

class ConnectionEnds : public testing::TestWithParam<EndCase> {};

TEST_P(ConnectionEnds, OneLineSaysWhy)
{
    const EndCase &c = GetParam();
    SocketPair pair(std::string(c.end) == "reset");
    std::vector<std::string> statements;
    long start = NowMs();
    CaptureStdout();
    // The reader runs while the bytes arrive, so a reset comes after it
    // has taken them, as it does from a real client.
    std::thread reader([&] { statements = ReadAll(pair.service, c.capacity, c.dialect, c.firstWait); });
    SendAll(pair.client, c.sent);
    usleep(100000);
    if (std::string(c.end) == "reset")
        pair.Reset();
    else if (std::string(c.end) == "close")
        shutdown(pair.client, SHUT_WR);
    reader.join();
    long waited = NowMs() - start;
    std::string console = GetCapturedStdout();

    char socketNumber[16];
    snprintf(socketNumber, sizeof socketNumber, "%u", (unsigned)pair.service);
    std::string expected = c.console;
    if (expected.find("%u") != std::string::npos)
        expected.replace(expected.find("%u"), 2, socketNumber);
    EXPECT_EQ(expected, console);
    // Silence before a first byte is met by the first wait, silence after
    // one by the next-byte wait.
    if (std::string(c.end) == "silence" && c.sent.empty()) {
        EXPECT_GE(waited, (long)c.firstWait - 20);
    } else if (std::string(c.end) == "silence") {
        EXPECT_LT(waited, (long)c.firstWait);
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, ConnectionEnds, testing::ValuesIn(kEndCases), CaseName());

}  // namespace
