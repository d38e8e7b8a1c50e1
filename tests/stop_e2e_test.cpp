// The orderly stop through the real service process: clients hold
// statements that run, wait for the one session or sit unread in their
// sockets when SIGTERM comes; what ran, what was kept in the spool for the
// restart and what the bound gave up on is judged by the console lines and
// the rows, on SQLite and on the throwaway PostgreSQL server.
#include "spool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct StopCase : NamedCase {
    const char *source;                             // "sqlite" or "postgres"
    std::vector<std::string> settings;              // "{spool}" stands for the spool's line
    std::vector<std::string> clients;               // each sends its text in one write; "{slow N}" runs N s, leaving row 0
    int queriesBeforeStop;                          // Query lines written when SIGTERM is sent
    std::map<std::string, int> lines;               // how often each line is written
    const char *rows;                               // SELECT a FROM t after the stop, or NULL: not judged
    const char *rowsAfterRestart;                   // with a spool, once it is empty again
    int accepted = 0;                               // clients accepted before the stop; 0: all, the rest wait in the backlog
    int signals = 1;                                // a second one ends the process at once
};

std::string Inserts(int from, int to)
{
    std::string text;
    for (int a = from; a <= to; a++)
        text += Insert(a, "x");
    return text;
}

std::string Numbers(int from, int to)
{
    std::string rows;
    for (int a = from; a <= to; a++)
        rows += std::to_string(a) + "\n";
    return rows;
}

const std::string kFifty = Numbers(0, 50);
const std::map<std::string, int> kSpooledThree = {{"Stopping", 1}, {"Statement spooled, 3 waiting.", 1}};
const std::map<std::string, int> kBound = {{"Statement outcome unknown, not retried.", 1},
                                           {"Service stopping, statement not executed.", 1}};

const StopCase kCases[] = {
    {{"waiting statements are spooled"}, "sqlite", {"{spool}", Dword("Max Clients", 4)},
     {"{slow 1}", Insert(1, "a"), Insert(2, "b"), Insert(3, "c")}, 1, kSpooledThree, "0\n", "0\n1\n2\n3\n"},
    {{"waiting statements are spooled"}, "postgres", {"{spool}", Dword("Max Clients", 4)},
     {"{slow 1}", Insert(1, "a"), Insert(2, "b"), Insert(3, "c")}, 1, kSpooledThree, "0\n", "0\n1\n2\n3\n"},
    {{"kept sessions close"}, "postgres", {"{spool}", Dword("Max Clients", 4), Dword("Reuse Sessions", 1)},
     {"{slow 1}", Insert(1, "a"), Insert(2, "b"), Insert(3, "c")}, 1, kSpooledThree, "0\n", "0\n1\n2\n3\n"},
    {{"without a spool they run"}, "postgres", {Dword("Max Clients", 4)},
     {"{slow 1}", Insert(1, "a"), Insert(2, "b"), Insert(3, "c")}, 1, {{"Statement spooled", 0}}, "0\n1\n2\n3\n",
     NULL},
    {{"the bound gives up"}, "postgres", {Dword("Max Clients", 4), Dword("Stop Timeout", 1)},
     {"{slow 5}", Insert(1, "a")}, 1, kBound, NULL, NULL},
    {{"the bound gives up"}, "sqlite", {Dword("Max Clients", 4), Dword("Stop Timeout", 1)},
     {"{slow 5}", Insert(1, "a")}, 1, kBound, NULL, NULL},
    {{"the bound keeps what it can"}, "sqlite", {"{spool}", Dword("Max Clients", 4), Dword("Stop Timeout", 1)},
     {"{slow 5}", Insert(1, "a")}, 1, {{"Statement outcome unknown, not retried.", 1}, {"Statement spooled, 1 waiting.", 1}},
     NULL, "1\n"},
    // The stop comes while the first statement runs, for seconds, which the
    // default "Stop Timeout" waits for; the other fifty are still in the
    // socket, unread.
    {{"fifty unread statements run"}, "sqlite", {}, {"{slow 4}" + Inserts(1, 50)}, 1,
     {{"Peer closed connection.", 1}}, kFifty.c_str(), NULL},
    {{"fifty unread statements are spooled"}, "sqlite", {"{spool}"}, {"{slow 1}" + Inserts(1, 50)}, 1,
     {{"Statement spooled, 50 waiting.", 1}}, "0\n", kFifty.c_str()},
    // Clients the host accepted into the listen backlog, their statements
    // written, are taken before the listener closes.
    {{"the backlog runs"}, "sqlite", {}, {"{slow 1}", Insert(1, "a"), Insert(2, "b")}, 1,
     {{"Incoming connection from 127.0.0.1", 3}}, "0\n1\n2\n", NULL, 1},
    {{"the backlog is spooled"}, "sqlite", {"{spool}"}, {"{slow 1}", Insert(1, "a"), Insert(2, "b")}, 1,
     {{"Statement spooled, 2 waiting.", 1}}, "0\n", "0\n1\n2\n", 1},
    // At the bound, whole statements behind the one that runs, in the same
    // write, are kept or said not run.
    {{"the bound keeps a client's buffer"}, "sqlite", {"{spool}", Dword("Max Clients", 2), Dword("Stop Timeout", 1)},
     {"{slow 5}" + Inserts(1, 2)}, 1,
     {{"Statement outcome unknown, not retried.", 1}, {"Statement spooled, 2 waiting.", 1}}, NULL, "1\n2\n"},
    {{"the bound says a client's buffer is not run"}, "sqlite", {Dword("Max Clients", 2), Dword("Stop Timeout", 1)},
     {"{slow 5}" + Inserts(1, 2)}, 1,
     {{"Statement outcome unknown, not retried.", 1}, {"Service stopping, statement not executed.", 2}}, "", NULL},
    {{"a second signal ends it at once"}, "sqlite", {}, {"{slow 5}"}, 1, {{"Stopped.", 0}}, "", NULL, 0, 2},
    // An idle kept connection is disconnected, not dropped: the server
    // counts no session abandoned.
    {{"an idle kept connection closes"}, "postgres", {Dword("Reuse Sessions", 1)}, {Insert(1, "a")}, 1,
     {{"Peer closed connection.", 1}}, "1\n", NULL},
};

// The statement that runs `seconds` and leaves row 0.
std::string Slow(const std::string &source, int seconds)
{
    if (source == "postgres")
        return "INSERT INTO t SELECT 0, 'slow' FROM pg_sleep(" + std::to_string(seconds) + ");";
    return "INSERT INTO t SELECT 0, count(*) FROM (WITH RECURSIVE c(x) AS (VALUES(1) UNION ALL SELECT x + 1 FROM c "
           "WHERE x < " + std::to_string(seconds * 6000000) + ") SELECT x FROM c);";
}

class Stop : public testing::TestWithParam<StopCase> {
protected:
    void SetUp() override
    {
        if (Param().source == std::string("postgres") && !ServersRunning())
            GTEST_SKIP() << "needs the throwaway database servers";
        dir = MakeTempDir();
        source = Param().source == std::string("sqlite") ? AvailableDataSources(true)[0] : ServerSource("postgres");
        UseDataSource(source, dir);
        ASSERT_TRUE(ResetTable(source));
    }
    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        StopService(&run);
        RemoveTree(dir);
    }
    const StopCase &Param() { return GetParam(); }
    std::string Rows() { return QueryDataSource(source, "SELECT a FROM t ORDER BY a"); }
    bool Start()
    {
        std::vector<std::string> settings = SourceSettings(source);
        settings.push_back(PortValue(port));
        for (const std::string &line : Param().settings)
            settings.push_back(line == "{spool}" ? SpoolValue(dir + "/spool") : line);
        return StartService(&run, SettingsFile(settings), port);
    }

    DataSource source;
    std::string dir;
    int port = FreePort();
    ServiceRun run;
    std::vector<int> fds;
};

TEST_P(Stop, LosesNothingRunsNothingTwice)
{
    const StopCase &c = Param();
    const char *abandoned = "SELECT sessions_abandoned FROM pg_stat_database WHERE datname = current_database()";
    std::string abandonedBefore = c.source == std::string("postgres") ? QueryDataSource(source, abandoned) : "";
    ASSERT_TRUE(Start()) << ServiceLog(run);
    for (const std::string &text : c.clients) {
        std::string sent = text;
        for (size_t at; (at = sent.find("{slow ")) != std::string::npos;)
            sent.replace(at, 8, Slow(c.source, sent[at + 6] - '0'));
        fds.push_back(ConnectFrom("127.0.0.1", port));
        ASSERT_TRUE(SendAll(fds.back(), sent));
    }
    ASSERT_TRUE(WaitForLog(run, "Incoming connection", c.accepted ? c.accepted : (int)c.clients.size(), 5000))
        << ServiceLog(run);
    ASSERT_TRUE(WaitForLog(run, "Query:", c.queriesBeforeStop, 5000)) << ServiceLog(run);
    usleep(200000);
    // Wine hands SIGINT to a console program as Ctrl-C.
    kill(run.pid, RunsUnderWine() ? SIGINT : SIGTERM);
    if (c.signals == 2) {
        if (RunsUnderWine())
            GTEST_SKIP() << "Wine's console takes a second Ctrl-C as it will";
        ASSERT_TRUE(WaitForLog(run, "Stopping", 1, 5000)) << ServiceLog(run);
        kill(run.pid, SIGTERM);
    }
    EXPECT_EQ(c.signals == 2 ? 128 + SIGTERM : 0, WaitForExit(&run, 15000)) << ServiceLog(run);
    std::string log = ServiceLog(run);
    EXPECT_EQ(c.signals == 2 ? "Stopping" : "Stopped.", ServiceLogLines(run).back()) << log;
    EXPECT_EQ(1, CountOf(log, "Stopping\n")) << log;
    for (const auto &line : c.lines)
        EXPECT_EQ(line.second, CountOf(log, line.first + "\n")) << line.first << "\n" << log;
    if (c.rows != NULL) {
        EXPECT_EQ(c.rows, Rows()) << log;
    }
    // Every connection the stop held was disconnected by the service, not
    // dropped (the server counts it as its backend ends).
    if (!abandonedBefore.empty() && c.lines.count("Statement outcome unknown, not retried.") == 0) {
        usleep(500000);
        EXPECT_EQ(abandonedBefore, QueryDataSource(source, abandoned)) << log;
    }
    if (c.rowsAfterRestart != NULL) {
        ServiceRun first = run;
        ASSERT_TRUE(Start()) << ServiceLog(run);
        EXPECT_TRUE(WaitForLog(run, "Spool empty.", 1, 15000)) << ServiceLog(run);
        EXPECT_EQ(c.rowsAfterRestart, Rows()) << ServiceLog(first) << ServiceLog(run);
        RemoveTree(first.dir);
    }
}

INSTANTIATE_TEST_SUITE_P(Service, Stop, testing::ValuesIn(kCases), [](const testing::TestParamInfo<StopCase> &info) {
    return std::string(info.param.source) + "_" + TestName(info.param.name);
});

// A spool of 2,000 statements draining into PostgreSQL is stopped ten times
// at random moments and started again: each statement runs exactly once.
TEST(StopDuringReplay, postgres_NothingRunsTwice)
{
    const int kStatements = 2000;
    if (!ServersRunning() || RunsUnderWine())
        GTEST_SKIP() << "needs the throwaway database servers";
    DataSource source = ServerSource("postgres");
    std::string dir = MakeTempDir();
    UseDataSource(source, dir);
    ASSERT_TRUE(ResetTable(source));
    ASSERT_EQ(0, SpoolOpen((dir + "/spool").c_str(), 1 << 26)) << FileErrorText();
    for (int a = 0; a < kStatements; a++)
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend(("INSERT INTO t SELECT " + std::to_string(a) + ", 'd' FROM pg_sleep(0.005);").c_str()));
    SpoolClose();
    int port = FreePort();
    std::vector<std::string> settings = SourceSettings(source);
    settings.insert(settings.end(), {PortValue(port), SpoolValue(dir + "/spool"), Dword("Reuse Sessions", 1)});
    srand((unsigned)NowMs());
    for (int stop = 0; stop <= 10; stop++) {
        ServiceRun run;
        ASSERT_TRUE(StartService(&run, SettingsFile(settings), port)) << ServiceLog(run);
        if (stop == 10) {
            EXPECT_TRUE(WaitForLog(run, "Spool empty.", 1, 60000)) << ServiceLog(run);
        } else {
            ASSERT_TRUE(WaitForLog(run, "holds", 1, 1000)) << "drained before stop " << stop;
            usleep(200000 + rand() % 800000);
            kill(run.pid, SIGTERM);
            EXPECT_EQ(0, WaitForExit(&run, 15000)) << ServiceLog(run);
        }
        StopService(&run);
    }
    EXPECT_EQ(std::to_string(kStatements) + "|" + std::to_string(kStatements) + "\n",
              QueryDataSource(source, "SELECT COUNT(*), COUNT(DISTINCT a) FROM t"));
    RemoveTree(dir);
}

}  // namespace
