// Many clients at once through the real service process on SQLite: no
// client holds another off, each is cut off by its own waits, the limit
// holds, and each client's statements run in its own order.
#include "spool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// Shortened waits for a statement's first byte and for each later one.
const int kFirstWait = 4000;
const int kNextWait = 2000;

// What a client's console lines begin with: "[address:port] ".
std::string PrefixOf(int fd)
{
    struct sockaddr_in local = {};
    socklen_t length = sizeof local;
    char address[16] = "";
    getsockname(fd, (struct sockaddr *)&local, &length);
    inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    return "[" + std::string(address) + ":" + std::to_string(ntohs(local.sin_port)) + "] ";
}

class Clients : public SqliteService {
protected:
    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        SqliteService::TearDown();
    }
    bool StartMany(int maxClients, const std::vector<int> &waits = {kFirstWait, kNextWait})
    {
        return Start({Dword("Max Clients", (unsigned)maxClients)}, waits);
    }
    int Connect(const char *from)
    {
        fds.push_back(ConnectFrom(from, port));
        return fds.back();
    }
    bool HasLine(const std::string &line)
    {
        for (const std::string &logged : ServiceLogLines(run))
            if (logged == line)
                return true;
        return false;
    }

    std::vector<int> fds;
};

// A client that stays silent and one that drips a byte at a time inside an
// open quote do not delay a third one; each of the two is cut off by its
// own wait, with its own line.
TEST_F(Clients, NoClientHoldsAnotherOff)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "needs the shortened waits of the test host";
    ASSERT_TRUE(StartMany(4)) << ServiceLog(run);
    int silent = Connect("127.0.0.2");
    int dripper = Connect("127.0.0.3");
    long connected = NowMs();
    std::thread drip([&] {
        SendAll(dripper, "INSERT INTO t VALUES(100, '");
        for (int i = 0; i < 6; i++) {
            usleep(kNextWait * 1000 / 4);
            SendAll(dripper, "x");
        }
    });
    int writer = Connect("127.0.0.4");
    for (int i = 1; i <= 5; i++) {
        long sent = NowMs();
        SendAll(writer, Insert(i, "prompt"));
        EXPECT_TRUE(WaitForRows(i, 1000)) << "statement " << i << "\n" << ServiceLog(run);
        EXPECT_LT(NowMs() - sent, 1000);
        usleep(300000);
    }
    drip.join();
    long dripped = NowMs();
    std::string silentLine = PrefixOf(silent) + "recv(<any>) initial timed out.";
    std::string dripperLine = PrefixOf(dripper) + "recv(<any>) next timed out";
    ASSERT_TRUE(WaitForLog(run, " next timed out", 1, kNextWait + 2000)) << ServiceLog(run);
    EXPECT_GE(NowMs() - dripped, kNextWait - 200) << "cut off before its own wait ran out";
    ASSERT_TRUE(WaitForLog(run, " initial timed out.", 1, kFirstWait + 2000)) << ServiceLog(run);
    EXPECT_GE(NowMs() - connected, kFirstWait - 200);
    EXPECT_TRUE(WaitForPeerClose(silent, 1000));
    EXPECT_TRUE(WaitForPeerClose(dripper, 1000));

    std::vector<std::string> expected = {silentLine, PrefixOf(dripper) + "Query: \"INSERT INTO t VALUES(100, 'xxxxxx\"",
                                         PrefixOf(dripper) + "Statement incomplete, not executed.", dripperLine};
    std::vector<std::string> lines = ServiceLogLines(run);
    std::vector<std::string> ends;
    for (const std::string &line : lines)
        if (line.find("timed out") != std::string::npos || line.find("incomplete") != std::string::npos ||
            line.find("100, 'x") != std::string::npos)
            ends.push_back(line);
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ends, &difference)) << difference;
    // Every line after start-up names its client.
    for (size_t i = 4; i < lines.size(); i++)
        EXPECT_EQ('[', lines[i].empty() ? ' ' : lines[i][0]) << lines[i];
    EXPECT_EQ("5\n", Count());
}

// 200 clients at once on 8 sessions, their numbered statements sent in
// pieces and interleaved: every row lands, each client's in the order it
// sent them, SQLite's writers waiting on each other.
TEST_F(Clients, TwoHundredClientsKeepTheirOrder)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "a load for the native build";
    const int clients = 200;
    const int statements = 20;
    ASSERT_TRUE(Start({Dword("Max Clients", 256), Dword("Database Sessions", 8)}));
    for (int c = 0; c < clients; c++)
        ASSERT_GE(Connect(("127.0.1." + std::to_string(c % 250 + 1)).c_str()), 0);
    for (int s = 0; s < statements; s++)
        for (int c = 0; c < clients; c++) {
            std::string statement = Insert(c, std::to_string(s));
            SendAll(fds[c], statement.substr(0, 10));
            SendAll(fds[c], statement.substr(10));
        }
    for (int fd : fds)
        shutdown(fd, SHUT_WR);
    ASSERT_TRUE(WaitForLog(run, "Peer closed connection.", clients, 120000)) << ServiceLog(run).substr(0, 4000);
    EXPECT_EQ(std::to_string(clients * statements) + "\n", Count());
    // Within each client, the rows' insertion order is the order sent.
    EXPECT_EQ("", Sql("SELECT x.a, x.b FROM t x JOIN t y ON x.a = y.a AND x.rowid < y.rowid "
                      "AND CAST(x.b AS INTEGER) > CAST(y.b AS INTEGER) LIMIT 5"));
    EXPECT_EQ(0, CountOf(ServiceLog(run), "ERROR"));
    EXPECT_EQ(1, CountOf(ServiceLog(run), "Database sessions 8\n"));
}

// With a limit of one or of two, a client past it is connected at once and
// waits in the listen backlog, unread, while those within it are served;
// it is served once one of them leaves.
class ClientLimit : public Clients, public testing::WithParamInterface<int> {};

TEST_P(ClientLimit, TheLimitHolds)
{
    const int limit = GetParam();
    // Console lines name their client only when there can be more than one.
    auto prefix = [&](int fd) { return limit > 1 ? PrefixOf(fd) : std::string(); };
    ASSERT_TRUE(StartMany(limit, {})) << ServiceLog(run);
    for (int i = 0; i < limit; i++)
        Connect(("127.0.0." + std::to_string(i + 2)).c_str());
    ASSERT_TRUE(WaitForLog(run, "Incoming connection from", limit, 5000)) << ServiceLog(run);
    long before = NowMs();
    int past = Connect("127.0.0.9");
    EXPECT_LT(NowMs() - before, 500);
    SendAll(past, Insert(9, "past"));
    // The first client within the limit sends nothing; the others are served.
    for (int i = 1; i < limit; i++)
        SendAll(fds[i], Insert(i, "within"));
    EXPECT_TRUE(WaitForRows(limit - 1, 5000)) << ServiceLog(run);
    usleep(300000);
    EXPECT_EQ(std::to_string(limit - 1) + "\n", Count());
    EXPECT_EQ(0, CountOf(ServiceLog(run), "127.0.0.9")) << ServiceLog(run);
    std::string firstPrefix = prefix(fds[0]);
    close(fds[0]);
    fds.erase(fds.begin());
    EXPECT_TRUE(WaitForRows(limit, 5000)) << ServiceLog(run);
    EXPECT_TRUE(HasLine(firstPrefix + "Peer closed connection.")) << ServiceLog(run);
    EXPECT_TRUE(HasLine(prefix(past) + "Incoming connection from 127.0.0.9")) << ServiceLog(run);
    EXPECT_TRUE(HasLine(prefix(past) + QueryLine(Insert(9, "past")))) << ServiceLog(run);
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientLimit, testing::Values(1, 2), testing::PrintToStringParamName());

// Another client's statement that runs long costs no client its wait: not
// one whose bytes arrive meanwhile and wait in its socket, nor one that
// sends nothing meanwhile and goes on shortly after.
TEST_F(Clients, SlowStatementCostsOthersNoWait)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "needs the shortened waits of the test host";
    ASSERT_TRUE(StartMany(4, {kFirstWait, 1000})) << ServiceLog(run);
    int sending = Connect("127.0.0.2");
    int pausing = Connect("127.0.0.3");
    int slow = Connect("127.0.0.4");
    ASSERT_TRUE(WaitForLog(run, "Incoming connection from", 3, 5000));
    SendAll(sending, "INSERT INTO t ");
    SendAll(pausing, "INSERT INTO t ");
    // The database is held locked, so the slow client's INSERT waits in the
    // driver's busy handler until the lock goes, 1.5 s from now.
    sqlite3 *holder = NULL;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/test.db").c_str(), &holder));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", NULL, NULL, NULL));
    SendAll(slow, Insert(1, "slow"));
    usleep(500000);
    SendAll(sending, "VALUES(2, 'sent meanwhile');");
    usleep(1000000);
    sqlite3_exec(holder, "COMMIT", NULL, NULL, NULL);
    sqlite3_close(holder);
    ASSERT_TRUE(WaitForRows(2, 3000)) << ServiceLog(run);
    usleep(400000);
    SendAll(pausing, "VALUES(3, 'sent after');");
    EXPECT_TRUE(WaitForRows(3, 2000)) << ServiceLog(run);
    EXPECT_EQ(0, CountOf(ServiceLog(run), "timed out")) << ServiceLog(run);
}

// A statement that keeps a session busy about `ms` on SQLite, reading
// only, so that several run at once.
std::string Busy(int a, int ms)
{
    return "SELECT " + std::to_string(a) + ", count(*) FROM (WITH RECURSIVE c(x) AS (VALUES(1) "
           "UNION ALL SELECT x + 1 FROM c WHERE x < " + std::to_string(ms * 6000) + ") SELECT x FROM c);";
}

// A client whose statement runs is read no further than a kilobyte past
// it: the rest waits in its socket (where TCP holds the sender back) until
// the statement is done, and then all of it runs.
TEST_F(Clients, WaitingClientIsReadNoFurther)
{
    ASSERT_TRUE(Start()) << ServiceLog(run);
    std::string slow = Busy(0, 1500);
    std::string rest;
    for (int a = 1; a <= 200; a++)
        rest += Insert(a, "x");
    int fd = Connect("127.0.0.2");
    ASSERT_TRUE(SendAll(fd, slow + rest));
    ASSERT_TRUE(WaitForLog(run, "Query:", 1, 3000)) << ServiceLog(run);
    usleep(300000);
    // The service's end of the connection, as the system reports it.
    std::string queued = RunCommand("ss -Htn state established '( sport = :" + std::to_string(port) + " )'");
    EXPECT_GE(atol(queued.c_str()), (long)rest.size() - 1024) << queued;
    EXPECT_EQ("0\n", Count());
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(WaitForLog(run, "Peer closed connection.", 1, 10000)) << ServiceLog(run);
    EXPECT_EQ("200\n", Count());
}

// With two sessions the waits are real time: a client that stops inside a
// statement while both sessions run others is cut off its own wait after
// its last byte, while those statements still run.
TEST_F(Clients, WaitsAreRealTimeBesideOtherStatements)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "needs the shortened waits of the test host";
    ASSERT_TRUE(Start({Dword("Max Clients", 4), Dword("Database Sessions", 2)}, {kFirstWait, 1000})) << ServiceLog(run);
    SendAll(Connect("127.0.0.2"), Busy(1, 4000));
    SendAll(Connect("127.0.0.3"), Busy(2, 4000));
    int half = Connect("127.0.0.4");
    ASSERT_TRUE(WaitForLog(run, "Query:", 2, 2000)) << ServiceLog(run);
    long sent = NowMs();
    SendAll(half, "INSERT INTO t ");
    ASSERT_TRUE(WaitForLog(run, "next timed out", 1, 5000)) << ServiceLog(run);
    EXPECT_LT(NowMs() - sent, 1700) << ServiceLog(run);
}

// With one session, replays do not stop the waits: a client that connects
// while the spool drains and sends nothing is cut off its own first wait
// after it connected, not after the drain.
TEST_F(Clients, ReplaysStopNoWait)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "needs the shortened waits of the test host";
    ASSERT_EQ(0, SpoolOpen((dir + "/spool").c_str(), 1 << 20)) << FileErrorText();
    for (int a = 0; a < 100; a++)
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend(Busy(a, 80).c_str()));
    SpoolClose();
    ASSERT_TRUE(Start({Dword("Max Clients", 2), SpoolValue(dir + "/spool")}, {2000, 1000})) << ServiceLog(run);
    long connected = NowMs();
    Connect("127.0.0.2");
    ASSERT_TRUE(WaitForLog(run, "initial timed out.", 1, 8000)) << ServiceLog(run);
    EXPECT_LT(NowMs() - connected, 2800);
    EXPECT_EQ(0, CountOf(ServiceLog(run), "Spool empty.")) << "the drain should outlast the wait";
}

}  // namespace
