// The spool through the real service: statements that never reached the
// database survive a kill and run once, in the order sent, when it is back;
// a rejected statement is not kept, nor is one whose connection was cut
// while it ran or was replayed; a spool another service holds, or a file
// that is not the spool's own, stops this one. On SQLite the database is
// down while its folder is missing; PostgreSQL's throwaway server is
// stopped and started for real.
#include "spool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

namespace {

class Spool : public SqliteService {
protected:
    void SetUp() override
    {
        SqliteService::SetUp();
        UseSqliteOdbcConfig(dir, dir + "/down/test.db");
    }
    // At a limit of 4 GiB, whose bytes a 32-bit count would not hold.
    bool StartSpooled() { return Start({SpoolValue(dir + "/spool"), Dword("Spool Limit", 4096)}); }
    std::string DownSql(const std::string &sql)
    {
        return RunCommand("sqlite3 " + dir + "/down/test.db " + ShellQuote(sql));
    }
};

// Killed right after its spooled line, the service runs the statements once
// it is started again with the database back, without a client.
TEST_F(Spool, SurvivesAKillAndRunsOnce)
{
    const char *statements[] = {"CREATE TABLE t(a INTEGER);", "INSERT INTO t VALUES(1);", "INSERT INTO t VALUES(2);"};
    ASSERT_TRUE(StartSpooled()) << ServiceLog(run);
    int fd = ConnectFrom("127.0.0.1", port);
    SendAll(fd, std::string(statements[0]) + statements[1] + statements[2]);
    ASSERT_TRUE(WaitForLog(run, "Statement spooled, 3 waiting.", 1, 5000)) << ServiceLog(run);
    kill(run.pid, SIGKILL);
    WaitForExit(&run, 5000);
    close(fd);
    // Only the first statement tries to connect; the others join it.
    std::vector<std::string> expected = {"<any>", "<any>", "Incoming connection from 127.0.0.1", QueryLine(statements[0]),
                                         "SQLConnect Failed.  SQLSTATE=<any>", "ERROR: Connecting",
                                         "Statement spooled, 1 waiting.", QueryLine(statements[1]),
                                         "Statement spooled, 2 waiting.", QueryLine(statements[2]),
                                         "Statement spooled, 3 waiting."};
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    StopService(&run);

    ASSERT_EQ(0, mkdir((dir + "/down").c_str(), 0700));
    ASSERT_TRUE(StartSpooled()) << ServiceLog(run);
    ASSERT_TRUE(WaitForLog(run, "Spool empty.", 1, 5000)) << ServiceLog(run);
    expected = {"<any>", "<any>", "Spool <any>/spool holds 3 statements."};
    for (const char *statement : statements)
        expected.push_back("Replay: \"" + std::string(statement) + "\"");
    expected.push_back("Spool empty.");
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ("1\n2\n", DownSql("SELECT a FROM t"));
}

// A statement the database rejects reached it: it is not kept.
TEST_F(Spool, RejectedStatementIsNotKept)
{
    ASSERT_EQ(0, mkdir((dir + "/down").c_str(), 0700));
    DownSql("CREATE TABLE t(a INTEGER)");
    ASSERT_TRUE(StartSpooled()) << ServiceLog(run);
    ASSERT_TRUE(Visit(run, "127.0.0.1", {"INSERT INTO nosuch VALUES(1);INSERT INTO t VALUES(1);"}));
    std::vector<std::string> expected = {"<any>", "<any>", "Incoming connection from 127.0.0.1",
                                         QueryLine("INSERT INTO nosuch VALUES(1);"), "ERROR: Executing Statemtent",
                                         "  [SQLite]no such table: nosuch (1)", QueryLine("INSERT INTO t VALUES(1);"),
                                         "Peer closed connection."};
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ("", ReadFile(dir + "/spool"));
    EXPECT_EQ("1\n", DownSql("SELECT a FROM t"));
}

// A backlog larger than the floor under which the spool is not rewritten
// drains once, in order, while another program keeps trying to open the
// spool without sharing it for writing (under Wine a Windows program, cmd's
// type): the service never lets go of the name, so the program never gets
// in and the service never carries on in another file. Where an open file
// cannot be replaced (Wine 8) the move to a fresh file fails, said once.
TEST_F(Spool, BacklogDrainsWhileAnotherProgramTriesTheSpool)
{
    std::string spoolPath = dir + "/spool", racerOut = dir + "/racer.out";
    ASSERT_EQ(0, SpoolOpen(spoolPath.c_str(), 1 << 20)) << FileErrorText();
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend(Insert(i, std::string(400, 'p')).c_str()));
    SpoolClose();
    ASSERT_TRUE(StartSpooled()) << ServiceLog(run);
    ASSERT_TRUE(WaitForLog(run, "ERROR: Connecting", 1, 10000)) << ServiceLog(run);
    std::string racer = RunsUnderWine() ? "wine cmd /c " + ShellQuote("echo racing& for /l %i in (1,1,40000) do @type \"Z:" +
                                                                      spoolPath + "\" 2>nul")
                                        : "sh -c " + ShellQuote("echo racing; for i in $(seq 40000); do flock -n " +
                                                                spoolPath + " cat " + spoolPath + "; done 2>/dev/null");
    pid_t racerPid = atoi(RunCommand(racer + " >" + racerOut + " 2>&1 & echo $!").c_str());
    ASSERT_GT(racerPid, 1);
    for (long until = NowMs() + 10000; NowMs() < until && ReadFile(racerOut).empty();)
        usleep(20000);
    EXPECT_EQ(0, mkdir((dir + "/down").c_str(), 0700));
    DownSql("CREATE TABLE t(a INTEGER, b TEXT)");
    bool emptied = WaitForLog(run, "Spool empty.", 1, 60000);
    EXPECT_EQ(0, kill(racerPid, SIGKILL)) << "the program stopped trying before the spool was empty";
    ASSERT_TRUE(emptied) << ServiceLog(run);
    EXPECT_EQ(0, ReadFile(racerOut).find("racing"));
    EXPECT_EQ(std::string::npos, ReadFile(racerOut).find("VSR")) << "the program opened the spool";
    EXPECT_LE(CountOf(ServiceLog(run), "Spool cannot"), RunsUnderWine() ? 1 : 0) << ServiceLog(run);
    EXPECT_EQ("200|200\n", DownSql("SELECT COUNT(*), SUM(a = rowid - 1) FROM t"));
    EXPECT_EQ(0u, ReadFile(spoolPath).size());
    EXPECT_NE(0, access((spoolPath + ".new").c_str(), F_OK));
}

// While the database takes the spool's statements, a client's statement
// that the spool cannot take yet is held back, never dropped: one over
// "Spool Limit" until replays make room, and one a full disk refuses until
// the spool is empty and it runs directly. The disk is a 256 KiB tmpfs in
// a mount namespace of the test's own.
TEST_F(Spool, HeldBackNeverDroppedWhileTheDatabaseIsUp)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "Wine's server opens files outside the test's mount namespace";
    ASSERT_EQ(0, mkdir((dir + "/down").c_str(), 0700));
    DownSql("CREATE TABLE t(a INTEGER, b TEXT)");
    for (bool disk : {false, true}) {
        SCOPED_TRACE(disk ? "a full disk" : "a full spool");
        std::string folder = dir + (disk ? "/small" : "/big");
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        if (disk && (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
                     mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k") != 0))
            GTEST_SKIP() << "a tmpfs of the test's own needs root";
        // The spool filled to its limit, the client's statements arriving
        // while the first replay runs a second and the next three making
        // less room than one of them needs; or a backlog that leaves the
        // disk 8 KiB.
        int backlog = 0;
        auto fill = [&](int count, size_t pad) {
            while (count-- > 0 && SpoolAppend(Insert(backlog, std::string(pad, 'p')).c_str()) == SPOOL_KEPT)
                backlog++;
        };
        ASSERT_EQ(0, SpoolOpen((folder + "/spool").c_str(), 1 << 20)) << FileErrorText();
        if (disk) {
            fill(300, 460);
        } else {
            ASSERT_EQ(SPOOL_KEPT, SpoolAppend("INSERT INTO t SELECT 0, count(*) FROM (WITH RECURSIVE c(x) AS (VALUES(1) "
                                              "UNION ALL SELECT x + 1 FROM c WHERE x < 6000000) SELECT x FROM c);"));
            backlog++;
            fill(3, 100);
            fill(2000, 960);
            fill(10, 100);
        }
        SpoolClose();
        if (disk)
            RunCommand("head -c $(( $(df -B1 --output=avail " + folder + " | tail -1) - 8192 )) /dev/zero >" + folder +
                       "/filler");
        ASSERT_TRUE(Start({SpoolValue(folder + "/spool"), Dword("Spool Limit", 1)})) << ServiceLog(run);
        std::string sent;
        for (int a = backlog; a < backlog + 50; a++)
            sent += Insert(a, std::string(960, 'c'));
        ASSERT_TRUE(Visit(run, "127.0.0.1", {sent}, "Peer closed connection.")) << ServiceLog(run);
        EXPECT_TRUE(WaitForLog(run, "Spool empty.", 1, 60000)) << ServiceLog(run).substr(0, 3000);
        EXPECT_TRUE(WaitForLog(run, "Query:", 50, 5000));
        std::string log = ServiceLog(run);
        EXPECT_EQ(0, CountOf(log, "not executed")) << log.substr(0, 3000);
        EXPECT_EQ(disk, CountOf(log, "Spool cannot be written") > 0) << log.substr(0, 3000);
        EXPECT_EQ(std::to_string(backlog + 50) + "|" + std::to_string(backlog + 50) + "\n",
                  DownSql("SELECT COUNT(*), SUM(a = rowid - 1) FROM t"));
        StopService(&run);
        DownSql("DELETE FROM t");
        if (disk)
            umount2(folder.c_str(), MNT_DETACH);
    }
}

// Two services on one spool would run its statements twice: a second one
// waits for the spool for up to its "Stop Timeout", then gives up, or stops
// as any service does when asked to while it waits; one started while the
// first stops takes the spool over once it is free.
TEST_F(Spool, HeldSpoolWaitsThenStopsASecondService)
{
    ASSERT_TRUE(StartSpooled()) << ServiceLog(run);
    ServiceRun second, third;
    int ports[] = {FreePort(), FreePort()};
    auto settings = [&](int port, unsigned stopTimeout) {
        return SettingsFile({PortValue(port), "\"Data Source\"=\"varn_sqlite\"", SpoolValue(dir + "/spool"),
                             Dword("Stop Timeout", stopTimeout)});
    };
    EXPECT_FALSE(StartService(&second, settings(ports[0], 1), ports[0]));
    EXPECT_EQ(1, WaitForExit(&second, 10000));
    std::vector<std::string> expected = {"<any>", "Spool <any>/spool is held by another process, waiting",
                                         "Spool <any>/spool cannot be opened: held by another running instance"};
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(second), &difference)) << difference;
    StopService(&second);
    second.dir = MakeTempDir();
    std::thread stopped([&] { EXPECT_FALSE(StartService(&second, settings(ports[0], 20), ports[0])); });
    EXPECT_TRUE(WaitForLog({-1, "", second.dir + "/console.log"}, "waiting", 1, 30000));
    kill(second.pid, RunsUnderWine() ? SIGINT : SIGTERM);  // set before the process wrote a line
    stopped.join();
    EXPECT_EQ(0, second.exitStatus);
    expected = {"<any>", "Spool <any>/spool is held by another process, waiting", "Stopping", "Stopped."};
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(second), &difference)) << difference;
    StopService(&second);
    third.dir = MakeTempDir();
    ServiceRun watched = third;
    watched.logPath = third.dir + "/console.log";
    std::thread waiting([&] { EXPECT_TRUE(StartService(&third, settings(ports[1], 20), ports[1])); });
    EXPECT_TRUE(WaitForLog(watched, "is held by another process, waiting", 1, 30000));
    // Wine hands SIGINT to a console program as Ctrl-C.
    kill(run.pid, RunsUnderWine() ? SIGINT : SIGTERM);
    EXPECT_EQ(0, WaitForExit(&run, 10000));
    waiting.join();
    EXPECT_EQ(1, CountOf(ServiceLog(third), "is held by another process, waiting")) << ServiceLog(third);
    StopService(&third);
}

// A "Spool File" that is not the spool's own stops start-up before the
// service listens, and leaves the file, or the one a link names, as it was.
// `target` is a SQLite database.
struct ForeignCase : NamedCase {
    const char *setup;    // shell commands in the test's folder
    const char *watched;  // a file that must not change
    const char *reason;
    const char *notUnderWine;  // why the row is skipped there, or NULL
};

const char kWineFollowsLinks[] = "Wine shows a symbolic link as the file it names";

const ForeignCase kForeign[] = {
    {{"a link to a file"}, "ln -s target spool", "target", "not a regular file", kWineFollowsLinks},
    {{"a FIFO"}, "mkfifo spool", "target", "not a regular file", NULL},
    {{"a folder"}, "mkdir spool", "target", "not a regular file", NULL},
    {{"a SQLite database"}, "cp target spool", "spool", "not a spool file", NULL},
    {{"a link as its .damaged file"}, "printf VSRW >spool && ln -s target spool.damaged", "target",
     "<any>/spool.damaged is not a regular file", kWineFollowsLinks},
    // Another name would reach the file past the lock once a move had put a
    // fresh file under this one.
    {{"a spool with a second name"}, "printf VSRW >spool && ln spool second", "spool", "more than one link", NULL},
};

class ForeignFile : public Spool, public testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignFile, StopsStartUp)
{
    const ForeignCase &c = GetParam();
    if (RunsUnderWine() && c.notUnderWine != NULL)
        GTEST_SKIP() << c.notUnderWine;
    RunCommand("cd " + ShellQuote(dir) + " && sqlite3 target 'CREATE TABLE x(a); INSERT INTO x VALUES(1)' && " +
               c.setup);
    std::string before = ReadFile(dir + "/" + c.watched);
    ASSERT_NE("", before);
    EXPECT_FALSE(StartSpooled());
    EXPECT_EQ(1, WaitForExit(&run, 10000));
    std::vector<std::string> expected = {"<any>", "Spool <any>/spool cannot be opened: " + std::string(c.reason)};
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_TRUE(before == ReadFile(dir + "/" + c.watched)) << c.watched << " changed";
    EXPECT_EQ("1\n", RunCommand("sqlite3 " + ShellQuote(dir + "/target") + " 'SELECT a FROM x'"));
}

INSTANTIATE_TEST_SUITE_P(Spool, ForeignFile, testing::ValuesIn(kForeign), CaseName());

// PostgreSQL's throwaway server, stopped and started under the service.
class SpoolServer : public testing::Test {
protected:
    void SetUp() override
    {
        if (!ServersRunning())
            GTEST_SKIP() << "needs the throwaway database servers";
        source = ServerSource("postgres");
        dir = MakeTempDir();
        UseDataSource(source, dir);
        QueryDataSource(source, "DROP TABLE IF EXISTS spooled; CREATE TABLE spooled(id serial PRIMARY KEY, c INTEGER, "
                                "s INTEGER)");
    }
    void TearDown() override
    {
        StopService(&run);
        if (ServersRunning())
            Server("pg-start");
        RemoveTree(dir);
    }
    void Server(const char *verb) { RunCommand(std::string("\"$VARN_DBSERVERS\" ") + verb + " \"$VARN_SERVERS_DIR\""); }
    bool Start()
    {
        std::vector<std::string> settings = SourceSettings(source);
        settings.insert(settings.end(), {PortValue(port), SpoolValue(dir + "/spool"), "\"Max Clients\"=dword:00000004"});
        return StartService(&run, SettingsFile(settings), port);
    }
    static std::string Spooled(int c, int s)
    {
        return "INSERT INTO spooled(c, s) VALUES(" + std::to_string(c) + ", " + std::to_string(s) + ");";
    }
    std::string Rows() { return QueryDataSource(source, "SELECT c, s FROM spooled ORDER BY id"); }
    int RowCount() { return atoi(QueryDataSource(source, "SELECT COUNT(*) FROM spooled").c_str()); }
    // Ends the server session that runs kSlow, as soon as it does.
    bool CutSlowStatement(int ms)
    {
        for (long deadline = NowMs() + ms; NowMs() < deadline; usleep(50000))
            if (QueryDataSource(source, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE "
                                        "'INSERT INTO spooled(c, s) SELECT%'") == "t\n")
                return true;
        return false;
    }
    const std::string kSlow = "INSERT INTO spooled(c, s) SELECT 9, 1 FROM pg_sleep(10);";

    DataSource source;
    std::string dir;
    int port = FreePort();
    ServiceRun run;
};

// Statements sent before and during an outage land exactly once and in the
// order sent; with no client connected when the server is back, the spool
// is tried within about 5 s.
TEST_F(SpoolServer, postgres_OutageLosesNothing)
{
    ASSERT_TRUE(Start()) << ServiceLog(run);
    int clients[] = {ConnectFrom("127.0.0.1", port), ConnectFrom("127.0.0.2", port)};
    for (int s = 0; s < 105; s++) {
        if (s == 5) {
            ASSERT_TRUE([&] {
                for (long deadline = NowMs() + 10000; NowMs() < deadline; usleep(20000))
                    if (RowCount() == 10)
                        return true;
                return false;
            }()) << ServiceLog(run);
            Server("pg-stop");
        }
        for (int c = 0; c < 2; c++)
            SendAll(clients[c], Spooled(c, s));
    }
    ASSERT_TRUE(WaitForLog(run, "Statement spooled, 200 waiting.", 1, 30000)) << ServiceLog(run);
    for (int fd : clients)
        close(fd);
    ASSERT_TRUE(WaitForLog(run, "Peer closed connection.", 2, 5000));
    Server("pg-start");
    long started = NowMs();
    while (RowCount() == 10 && NowMs() - started < 8000)
        usleep(20000);
    EXPECT_LT(NowMs() - started, 6500) << "the spool was not tried within about 5 s";
    ASSERT_TRUE(WaitForLog(run, "Spool empty.", 1, 30000)) << ServiceLog(run);

    std::map<int, int> next;
    std::istringstream rows(Rows());
    std::string row;
    int count = 0;
    while (std::getline(rows, row)) {
        int c = atoi(row.c_str());
        int s = atoi(row.c_str() + row.find('|') + 1);
        EXPECT_EQ(next[c]++, s) << "client " << c << " in row " << count;
        count++;
    }
    EXPECT_EQ(210, count);
    EXPECT_EQ(0, CountOf(ServiceLog(run), "outcome unknown"));
}

// A statement whose connection is cut while it runs may have committed:
// it is neither kept nor tried again.
TEST_F(SpoolServer, postgres_LostConnectionIsNotRetried)
{
    ASSERT_TRUE(Start()) << ServiceLog(run);
    int fd = ConnectFrom("127.0.0.1", port);
    SendAll(fd, kSlow + Spooled(9, 2));
    ASSERT_TRUE(CutSlowStatement(5000));
    ASSERT_TRUE(WaitForLog(run, "Query: \"" + Spooled(9, 2), 1, 5000)) << ServiceLog(run);
    close(fd);
    ASSERT_TRUE(WaitForLog(run, "Peer closed connection.", 1, 5000)) << ServiceLog(run);
    std::vector<std::string> expected = {"<any>", "<any>", "Max clients 4", "<any>Incoming connection from 127.0.0.1",
                                         "<any>Query: \"" + kSlow + "\"", "<any>ERROR: Executing Statemtent",
                                         "<any>  FATAL: terminating connection due to administrator command;",
                                         "<any>  The connection has been lost",
                                         "<any>Statement outcome unknown, not retried.",
                                         "<any>Query: \"" + Spooled(9, 2) + "\"", "<any>Peer closed connection."};
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ("9|2\n", Rows());
    EXPECT_EQ("", ReadFile(dir + "/spool"));
}

// A statement whose connection is cut while it is replayed may have
// committed: it leaves the spool as if it ran, and is never tried again.
TEST_F(SpoolServer, postgres_LostConnectionInReplayIsNotRetried)
{
    ASSERT_TRUE(Start()) << ServiceLog(run);
    Server("pg-stop");
    int fd = ConnectFrom("127.0.0.1", port);
    SendAll(fd, kSlow + Spooled(9, 2));
    ASSERT_TRUE(WaitForLog(run, "Statement spooled, 2 waiting.", 1, 10000)) << ServiceLog(run);
    close(fd);
    Server("pg-start");
    ASSERT_TRUE(CutSlowStatement(20000)) << ServiceLog(run);
    ASSERT_TRUE(WaitForLog(run, "Spool empty.", 1, 10000)) << ServiceLog(run);
    std::string log = ServiceLog(run);
    EXPECT_EQ(1, CountOf(log, "Replay: \"" + kSlow + "\"")) << log;
    EXPECT_EQ(1, CountOf(log, "Statement outcome unknown, not retried.")) << log;
    EXPECT_LT(log.find("Replay: \"" + kSlow), log.find("Statement outcome unknown")) << log;
    EXPECT_EQ(1, CountOf(log, "Replay: \"" + Spooled(9, 2) + "\"")) << log;
    EXPECT_EQ("9|2\n", Rows());
    EXPECT_EQ("", ReadFile(dir + "/spool"));
}

}  // namespace
