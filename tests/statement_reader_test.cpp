// The statement reader against real sockets: framing in every dialect, the
// length bound and the dropping after it, partial statements, peer close,
// resets and waits that run out, and a PROXY header before the statements.
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
// get a "[cut]" suffix.
std::vector<std::string> ReadAll(int sock, int capacity, int dialect, uint32_t firstWait = kFirstWait,
                                 int receiveSize = 1)
{
    std::vector<std::string> statements;
    std::vector<char> buffer(capacity + 1);
    StatementFraming framing;
    StatementWaits saved = statementWaits;
    statementWaits = {firstWait, kNextWait};
    fcntl(sock, F_SETFL, O_NONBLOCK);
    StartFraming(&framing, dialect, NowMs());
    framing.receiveSize = receiveSize;
    for (;;) {
        int result = ReadStatementBytes((NetSocket)sock, buffer.data(), capacity, &framing, NowMs());
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
    int receiveSize = 1;
};

const char kIncomplete[] = "Statement incomplete, not executed.\n";

// The other framing cases of every dialect, and the bound at its real 1000
// bytes, are seeds in fuzz/corpus/reader, which reader.corpus checks against
// an independent framing or against their expected statements in
// fuzz/expected/reader. These are the ones whose state must carry across
// reads, dribbled in here a byte at a time.
const FramingCase kFramingCases[] = {
    {{"cut and rest dropped"}, P, "0123456789ABC;next;", {"0123456789[cut]", "next;"}, 10},
    {{"nested comments and parentheses"}, G, "/* a /* b; */ c; */ SELECT (1;\n2), \"d;\" -- e;\n;X;",
     {"/* a /* b; */ c; */ SELECT (1;\n2), \"d;\" -- e;\n;", "X;"}, 1000},
    {{"dollar quote carried into the dropped rest"}, G, "SELECT $q$;;;;;;$q$;X;", {"SELECT $q$;[cut]", "X;"}, 11},
    {{"escape carried into the dropped rest"}, M, "SELECT 'ab\\';';X;", {"SELECT 'ab\\[cut]", "X;"}, 11},
    // Bytes taken as they arrive: statements split across receives, several
    // in one, a cut and its dropped rest inside one receive and across them.
    {{"several in one receive"}, P, "A;B;'C;';D", {"A;", "B;", "'C;';"}, 1000, RECEIVE_MAX},
    {{"cut inside one receive"}, P, "0123456789ABC;next;", {"0123456789[cut]", "next;"}, 10, RECEIVE_MAX},
    {{"cut across receives"}, P, "0123456789ABC;next;", {"0123456789[cut]", "next;"}, 10, 3},
    {{"dollar quote across receives"}, G, "SELECT $q$;;;;;;$q$;X;", {"SELECT $q$;[cut]", "X;"}, 11, 4},
    {{"comment dropped across receives"}, S, "/* a; */ -- b;\nSELECT 1;", {"SELECT 1;"}, 1000, 2},
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
        std::vector<std::string> statements = ReadAll(pair.service, c.capacity, c.dialect, kFirstWait, c.receiveSize);
        std::string console = GetCapturedStdout();
        writer.join();
        EXPECT_EQ(c.statements, statements) << (dribble ? "byte by byte" : "whole");
        EXPECT_EQ("Peer closed connection.\n", console.substr(console.size() - 24)) << console;
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, Framing, testing::ValuesIn(kFramingCases), CaseName());

TEST(ReaderStatement, NothingIsConsumedBeyondTheSemicolon)
{
    for (int dialect : {P, S, G, M}) {
        SocketPair pair;
        ASSERT_TRUE(SendAll(pair.client, "A;'B"));
        char buffer[1001];
        StatementFraming framing;
        fcntl(pair.service, F_SETFL, O_NONBLOCK);
        StartFraming(&framing, dialect, 0);
        EXPECT_EQ(READ_COMPLETE, ReadStatementBytes((NetSocket)pair.service, buffer, 1000, &framing, 0));
        EXPECT_EQ(2, framing.length);
        char next = 0;
        EXPECT_EQ(1, recv(pair.service, &next, 1, MSG_DONTWAIT));
        EXPECT_EQ('\'', next) << SqlDialectName(dialect);
    }
}

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
    int receiveSize = 1;
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
     "Query: \"INSERT INTO t\"\n" + std::string(kIncomplete) + "recv(%u) next timed out\n", kFirstWait, 1000,
     RECEIVE_MAX},
    {{"close inside a quote received whole"}, P, "A;SELECT 'abc;", "close",
     "Query: \"SELECT 'abc;\"\n" + std::string(kIncomplete) + "Peer closed connection.\n", kFirstWait, 1000,
     RECEIVE_MAX},
    {{"reset inside a statement received whole"}, G, "A;UPDATE t SET", "reset",
     "Query: \"UPDATE t SET\"\n" + std::string(kIncomplete) + "recv(%u) next failed Connection reset by peer\n",
     kFirstWait, 1000, RECEIVE_MAX},
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
    std::thread reader([&] { statements = ReadAll(pair.service, c.capacity, c.dialect, c.firstWait, c.receiveSize); });
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

// A PROXY header before a connection's statements: what it names
// ("address:port", "local" or "refused"), and the statements after it.
struct HeaderCase : NamedCase {
    std::string sent;
    std::string outcome;
    std::vector<std::string> statements;
};

// A version 2 header: signature, command, family and what follows them.
std::string Binary(char command, char family, const std::string &block)
{
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + command + family + (char)(block.size() >> 8) +
           (char)(block.size() & 0xFF) + block;
}

const std::string kTcp4("\x0a\x01\x02\x03\x0a\x00\x00\x01\x11\xd7\x00\x17", 12);  // 10.1.2.3:4567 to 10.0.0.1:23
const std::string kLine = "PROXY TCP4 10.1.2.3 10.0.0.1 4567 23\r\n";

const HeaderCase kHeaderCases[] = {
    {{"version 1"}, kLine + "A;'B;';", "10.1.2.3:4567", {"A;", "'B;';"}},
    {{"version 1 at its longest"}, "PROXY TCP4 255.255.255.255 1.2.3.4 65535 65535\r\nA;", "255.255.255.255:65535",
     {"A;"}},
    {{"version 2"}, Binary('\x21', '\x11', kTcp4) + "A;B;", "10.1.2.3:4567", {"A;", "B;"}},
    {{"version 2 of 536 bytes with fields"}, Binary('\x21', '\x11', kTcp4 + std::string(508, ';')) + "A;",
     "10.1.2.3:4567", {"A;"}},
    {{"version 2 LOCAL whatever its family"}, Binary('\x20', '\x21', std::string(36, ';')) + "A;", "local", {}},
    {{"version 2 over 536 bytes"}, Binary('\x21', '\x11', kTcp4 + std::string(509, ';')) + "A;", "refused", {}},
    {{"version 2 IPv6"}, Binary('\x21', '\x21', std::string(36, '\1')), "refused", {}},
    {{"version 2 Unix socket"}, Binary('\x21', '\x31', std::string(216, '\1')), "refused", {}},
    {{"version 2 UDP"}, Binary('\x21', '\x12', kTcp4), "refused", {}},
    {{"version 2 UNSPEC"}, Binary('\x21', '\x00', ""), "refused", {}},
    {{"version 2 short of its addresses"}, Binary('\x21', '\x11', kTcp4.substr(0, 8)) + "A;", "refused", {}},
    {{"version 3"}, Binary('\x31', '\x11', kTcp4), "refused", {}},
    {{"UNKNOWN"}, "PROXY UNKNOWN\r\nA;", "refused", {}},
    {{"TCP6"}, "PROXY TCP6 ::1 ::1 1 2\r\nA;", "refused", {}},
    {{"no header"}, "A;", "refused", {}},
    {{"a leading zero"}, "PROXY TCP4 10.1.2.03 10.0.0.1 4567 23\r\nA;", "refused", {}},
    {{"a port past 65535"}, "PROXY TCP4 10.1.2.3 10.0.0.1 65536 23\r\nA;", "refused", {}},
    {{"two blanks"}, "PROXY TCP4  10.1.2.3 10.0.0.1 4567 23\r\nA;", "refused", {}},
    {{"LF alone"}, "PROXY TCP4 10.1.2.3 10.0.0.1 4567 23\nA;", "refused", {}},
    {{"no CR LF within 107 bytes"}, "PROXY UNKNOWN" + std::string(93, ' ') + "\r\nA;", "refused", {}},
    {{"the connection ends inside it"}, kLine.substr(0, 20), "refused", {}},
};

class ProxyHeaders : public testing::TestWithParam<HeaderCase> {};

// The outcome and each statement after the header, "|" before each, when
// `sent` comes in two writes split at `split` and is read `receiveSize`
// bytes a receive.
std::string ReadAfterHeader(const std::string &sent, size_t split, int receiveSize)
{
    SocketPair pair;
    StatementFraming framing;
    ProxyHeader header;
    char buffer[1001];
    fcntl(pair.service, F_SETFL, O_NONBLOCK);
    StartFraming(&framing, P, 0);
    framing.receiveSize = receiveSize;
    StartProxyHeader(&header);
    SendAll(pair.client, sent.substr(0, split));
    int result = ReadProxyHeader((NetSocket)pair.service, &header, &framing);
    SendAll(pair.client, sent.substr(split));
    shutdown(pair.client, SHUT_WR);
    while (result == PROXY_HEADER_MORE)
        result = ReadProxyHeader((NetSocket)pair.service, &header, &framing);
    NetFormatAddress(header.address, buffer);
    std::string got = result == PROXY_HEADER_LOCAL ? "local" : result != PROXY_HEADER_CLIENT ? "refused"
                      : std::string(buffer) + ":" + std::to_string(header.port);
    while (result == PROXY_HEADER_CLIENT &&
           ReadStatementBytes((NetSocket)pair.service, buffer, 1000, &framing, 0) == READ_COMPLETE) {
        got += "|" + std::string(buffer, framing.length);
        NextStatement(&framing, 0);
    }
    return got;
}

// Split between two writes at every byte and read a byte, 7 bytes or a
// kilobyte a receive, the header gives the same outcome, and the statements
// after it are framed as if it had not come.
TEST_P(ProxyHeaders, SameAtEverySplit)
{
    const HeaderCase &c = GetParam();
    std::string expected = c.outcome;
    std::string first;  // the first read that gave anything else
    for (const std::string &statement : c.statements)
        expected += "|" + statement;
    CaptureStdout();
    for (int receiveSize : {1, 7, RECEIVE_MAX})
        for (size_t split = 0; split <= c.sent.size() && first.empty(); split++) {
            std::string got = ReadAfterHeader(c.sent, split, receiveSize);
            if (got != expected)
                first = std::to_string(receiveSize) + " a receive, split at " + std::to_string(split) + ": " + got;
        }
    GetCapturedStdout();
    EXPECT_EQ("", first) << "expected " << expected;
}

INSTANTIATE_TEST_SUITE_P(Reader, ProxyHeaders, testing::ValuesIn(kHeaderCases), CaseName());

}  // namespace
