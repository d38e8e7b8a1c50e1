// Connections kept between statements ("Reuse Sessions"), and the driver
// manager's own pool, against the throwaway PostgreSQL and MariaDB servers:
// a statement that leaves session state behind changes nothing for the next
// one, and a server restarted between two statements costs neither.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A statement that leaves state behind, then one that would see it, and the
// row the second leaves when it sees a fresh session.
struct Pair {
    const char *source;
    const char *leaves;
    const char *sees;
    const char *row;
    bool underPooling;  // what a pooled connection is reset of, too
};

const Pair kPairs[] = {
    {"postgres", "BEGIN;", "INSERT INTO t VALUES(1, 'committed');", "1|committed", true},
    {"postgres", "SET search_path TO pg_catalog;", "INSERT INTO t VALUES(2, current_setting('search_path'));",
     "2|\"$user\", public", true},
    {"postgres", "CREATE TEMP TABLE tt(x int);", "INSERT INTO t VALUES(3, coalesce(to_regclass('tt')::text, 'none'));",
     "3|none", true},
    {"postgres", "PREPARE p AS SELECT 1;", "INSERT INTO t SELECT 4, count(*) FROM pg_prepared_statements;", "4|0", true},
    {"postgres", "SELECT pg_advisory_lock(42);",
     "INSERT INTO t SELECT 5, count(*) FROM pg_locks WHERE locktype = 'advisory';", "5|0", true},
    {"postgres", "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY;", "INSERT INTO t VALUES(6, 'written');",
     "6|written", true},
    {"postgres", "LISTEN news;", "INSERT INTO t SELECT 7, count(*) FROM pg_listening_channels();", "7|0", true},
    {"postgres", "DECLARE c CURSOR WITH HOLD FOR SELECT 1;", "INSERT INTO t SELECT 8, count(*) FROM pg_cursors;",
     "8|0", true},
    // {seeded} is what random() gives first after setseed(0.5).
    {"postgres", "SELECT setseed(0.5);", "INSERT INTO t SELECT 9, random()::text = '{seeded}';", "9|false", true},
    // What the reset does not cover: a custom setting stays defined, empty
    // (a fresh session gives NULL); dblink's connections and a prepared
    // transaction outlive it. The plain rule frames the prepared one whole,
    // its quotes pairing across the comments: three statements to the server.
    {"postgres", "SET app.tenant = '7';",
     "INSERT INTO t VALUES(10, coalesce(current_setting('app.tenant', true), 'null'));", "10|", true},
    {"postgres",
     "SELECT dblink_connect('c', format('host=127.0.0.1 port=%s dbname=varn user=varn password=varnpw', "
     "current_setting('port')));",
     "INSERT INTO t SELECT 11, coalesce(array_length(dblink_get_connections(), 1), 0);", "11|1", true},
    {"postgres", "/* ' */ BEGIN; INSERT INTO t VALUES(12, 'prepared'); PREPARE TRANSACTION 'p12'; /* ' */;",
     "INSERT INTO t SELECT 13, count(*) FROM pg_prepared_xacts;", "13|1", true},
    // Each reset seeds random() anew, so two statements draw differently.
    {"postgres", "INSERT INTO t SELECT 20, random();",
     "WITH first AS (DELETE FROM t WHERE a = 20 RETURNING b) INSERT INTO t SELECT 21, b <> random()::text FROM first;",
     "21|true", true},
    {"mariadb", "BEGIN;", "INSERT INTO t VALUES(1, 'committed');", "1|committed", true},
    {"mariadb", "SET autocommit=0;", "INSERT INTO t VALUES(2, 'committed');", "2|committed", true},
    {"mariadb", "SET @v = 'left';", "INSERT INTO t VALUES(3, coalesce(@v, 'none'));", "3|none", false},
    {"mariadb", "SELECT GET_LOCK('x', 0);", "INSERT INTO t VALUES(4, coalesce(IS_USED_LOCK('x'), 'free'));", "4|free",
     false},
    {"mariadb", "SET SESSION sql_mode = 'ANSI_QUOTES';",
     "INSERT INTO t VALUES(5, @@session.sql_mode = @@global.sql_mode);", "5|1", false},
};

class Reuse : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (!ServersRunning())
            GTEST_SKIP() << "needs the throwaway database servers";
        dir = MakeTempDir();
    }
    void TearDown() override
    {
        StopService(&run);
        if (ServersRunning())
            RunCommand("\"$VARN_DBSERVERS\" pg-start \"$VARN_SERVERS_DIR\"");
        RemoveTree(dir);
    }
    // The source with an empty table t; the shell test's function on t
    // would keep it from being dropped.
    DataSource Source(const std::string &name)
    {
        DataSource source = ServerSource(name);
        // The prepared transaction of a pair holds t.
        if (name == "postgres")
            QueryDataSource(source, "DROP FUNCTION IF EXISTS add_rows(int); ROLLBACK PREPARED 'p12'");
        EXPECT_TRUE(ResetTable(source));
        return source;
    }
    // The driver manager's pool on for the service. Without CPTimeout
    // unixODBC lets a pooled connection go after a second at most.
    void UsePool()
    {
        std::string drivers = ReadFile(std::string(getenv("VARN_SERVERS_DIR")) + "/odbcinst.ini");
        for (size_t at = 0; (at = drivers.find("\nDriver=", at)) != std::string::npos; at += 14)
            drivers.insert(at, "\nCPTimeout=60");
        WriteFile(dir + "/odbcinst.ini", "[ODBC]\nPooling=Yes\n\n" + drivers);
        setenv("ODBCSYSINI", dir.c_str(), 1);
    }
    // "Reuse Sessions" 1, or with the parameter the driver manager's pool
    // turned on instead.
    bool Start(const DataSource &source, const std::vector<std::string> &more = {}, const std::vector<int> &waitsMs = {})
    {
        std::vector<std::string> settings = SourceSettings(source);
        settings.push_back(PortValue(port));
        UseDataSource(source, dir);
        if (GetParam())
            UsePool();
        else
            settings.push_back("\"Reuse Sessions\"=dword:00000001");
        settings.insert(settings.end(), more.begin(), more.end());
        return StartService(&run, SettingsFile(settings), port, waitsMs);
    }

    std::string dir;
    int port = FreePort();
    ServiceRun run;
};

// Each pair on one connection after the other: the second statement sees a
// fresh session's state.
TEST_P(Reuse, postgres_mariadb_NothingCarriesOver)
{
    for (const char *name : {"postgres", "mariadb"}) {
        DataSource source = Source(name);
        ASSERT_TRUE(Start(source)) << ServiceLog(run);
        EXPECT_EQ(GetParam() ? 0 : 1, CountOf(ServiceLog(run), "Reusing sessions\n"));
        std::string expected;
        std::string seeded = QueryDataSource(source, "SELECT setseed(0.5); SELECT random()");
        for (const Pair &pair : kPairs) {
            if (pair.source != std::string(name) || (GetParam() && !pair.underPooling))
                continue;
            std::string sees = pair.sees;
            if (sees.find("{seeded}") != std::string::npos)
                sees.replace(sees.find("{seeded}"), 8, seeded.substr(0, seeded.find('\n')));
            // A client of its own for each: its statements run one after the
            // other in the one session.
            EXPECT_TRUE(Visit(run, "127.0.0.1", {std::string(pair.leaves) + sees})) << pair.leaves;
            expected += std::string(pair.row) + "\n";
        }
        EXPECT_EQ(expected, QueryDataSource(source, "SELECT a, b FROM t ORDER BY a")) << name << "\n" << ServiceLog(run);
        QueryDataSource(source, "ROLLBACK PREPARED 'p12'");
        StopService(&run);
    }
}

// The kept connection's server restarts between two statements: the reset
// finds it gone before anything is sent, and both statements land once.
// A kept session resets its connection after it hands the statement back,
// so the restart waits until the connection is idle, its statement and
// reset done; a pooled one is reset when it is handed out again.
TEST_P(Reuse, postgres_RestartBetweenStatements)
{
    DataSource source = Source("postgres");
    ASSERT_TRUE(Start(source)) << ServiceLog(run);
    ASSERT_TRUE(Visit(run, "127.0.0.1", {"INSERT INTO t VALUES(1, 'before');"}));
    const char *idle = "SELECT count(*) FROM pg_stat_activity WHERE usename = current_user AND pid <> pg_backend_pid() "
                       "AND (state <> 'idle' OR query LIKE 'INSERT%')";
    for (long waited = NowMs(); !GetParam() && QueryDataSource(source, idle) != "0\n" && NowMs() - waited < 5000;)
        usleep(20000);
    RunCommand("\"$VARN_DBSERVERS\" pg-stop \"$VARN_SERVERS_DIR\" && \"$VARN_DBSERVERS\" pg-start \"$VARN_SERVERS_DIR\"");
    ASSERT_TRUE(Visit(run, "127.0.0.1", {"INSERT INTO t VALUES(2, 'after');"}));
    EXPECT_EQ("1|before\n2|after\n", QueryDataSource(source, "SELECT a, b FROM t ORDER BY a")) << ServiceLog(run);
    EXPECT_EQ(1, CountOf(ServiceLog(run), "ERROR: Resetting Session")) << ServiceLog(run);
    EXPECT_EQ(0, CountOf(ServiceLog(run), "outcome unknown"));
}

// Statements that end just as "Statement Timeout" runs out, each followed
// by an INSERT on the same kept connection: a cancel sent for one of them
// reaches nothing after it, neither the reset nor the INSERT.
TEST_P(Reuse, postgres_LateCancelReachesNothingAfter)
{
    if (GetParam())
        GTEST_SKIP() << "the watch's cancel and a kept connection";
    DataSource source = Source("postgres");
    ASSERT_TRUE(Start(source, {Dword("Statement Timeout", 1)})) << ServiceLog(run);
    std::string text, expected;
    for (int a = 1; a <= 4; a++) {
        text += "SELECT pg_sleep(" + std::to_string(0.98 + 0.01 * a) + ");" + Insert(a, "after");
        expected += std::to_string(a) + "|after\n";
    }
    EXPECT_TRUE(Visit(run, "127.0.0.1", {text}));
    std::string log = ServiceLog(run);
    EXPECT_EQ(expected, QueryDataSource(source, "SELECT a, b FROM t ORDER BY a")) << log;
    EXPECT_EQ(0, CountOf(log, "ERROR: Resetting Session")) << log;
}

// A kept connection that stays idle longer than the service lets one is
// disconnected, not dropped (the test host shortens the 60 s to 300 ms).
TEST_P(Reuse, postgres_IdleKeptConnectionClosed)
{
    if (GetParam() || RunsUnderWine())
        GTEST_SKIP() << "a kept connection, and the test host's shortened idle time";
    DataSource source = Source("postgres");
    ASSERT_TRUE(Start(source, {}, {90000, 30000, 10000, 300})) << ServiceLog(run);
    const char *sessions = "SELECT count(*) FROM pg_stat_activity WHERE usename = current_user AND pid <> pg_backend_pid()";
    const char *abandoned = "SELECT sessions_abandoned FROM pg_stat_database WHERE datname = current_database()";
    std::string abandonedBefore = QueryDataSource(source, abandoned);
    ASSERT_TRUE(Visit(run, "127.0.0.1", {Insert(1, "kept")}));
    usleep(1000000);
    EXPECT_EQ("0\n", QueryDataSource(source, sessions)) << ServiceLog(run);
    EXPECT_EQ(abandonedBefore, QueryDataSource(source, abandoned));
}

// What a client's last statement holds on the server is let go as that
// statement ends, not when the next one comes: another connection has it
// within 1 s, while the client stays connected and sends nothing more.
struct Held : NamedCase {
    const char *statements;
    const char *take;  // another connection's query, which gives "t" once it is let go
};

const Held kHeld[] = {
    {{"advisory lock"}, "SELECT pg_advisory_lock(7);", "SELECT pg_try_advisory_lock(7)"},
    {{"bare begin"}, "BEGIN;",
     "SELECT count(*) = 0 FROM pg_stat_activity WHERE datname = current_database() AND state LIKE 'idle in%'"},
    {{"table lock"}, "BEGIN; LOCK TABLE t;", "BEGIN; LOCK TABLE t NOWAIT; COMMIT; SELECT true"},
};

TEST_P(Reuse, postgres_NothingHeldAfterTheStatement)
{
    if (GetParam())
        GTEST_SKIP() << "the driver manager's pool keeps a connection until it hands it out again";
    DataSource source = Source("postgres");
    ASSERT_TRUE(Start(source)) << ServiceLog(run);
    int queries = 0;
    for (const Held &held : kHeld) {
        int fd = ConnectFrom("127.0.0.1", port);
        SendAll(fd, held.statements);
        queries += CountOf(held.statements, ";");
        ASSERT_TRUE(WaitForLog(run, "Query:", queries, 5000)) << ServiceLog(run);
        long sent = NowMs();
        while (QueryDataSource(source, held.take) != "t\n" && NowMs() - sent < 1000)
            usleep(20000);
        EXPECT_EQ("t\n", QueryDataSource(source, held.take)) << held.name << "\n" << ServiceLog(run);
        close(fd);
    }
}

// A data source's own connect-time settings (psqlODBC's ConnSettings) are
// made again after each reset; where the reset still cannot give what a
// fresh session shows, the data source is not kept, with a line, and every
// statement gets a fresh session. With the driver manager's pool on too,
// the fresh session compared is one no client's statement used (a pooled
// connection's reset undoes a role as a kept one's does).
struct Connected : NamedCase {
    const char *connSettings;
    const char *line;   // or ""
    const char *shows;  // what each statement sees: current_schema()/current_user
};

const Connected kConnected[] = {
    {{"search path"}, "SET search_path TO app,public", "", "app/varn"},
    {{"role"}, "SET ROLE varn_member",
     "Reuse Sessions not used for varn_pg_set: current_user is \"varn\" after the reset, \"varn_member\" on a fresh "
     "session",
     "public/varn_member"},
};

TEST_P(Reuse, postgres_ConnectSettingsMadeAgain)
{
    for (const Connected &c : kConnected) {
        if (GetParam() && *c.line)
            continue;
        DataSource source = Source("postgres");
        QueryDataSource(source, "CREATE SCHEMA IF NOT EXISTS app; GRANT ALL ON t TO varn_member");
        WriteFile(dir + "/odbc.ini", ReadFile(std::string(getenv("VARN_SERVERS_DIR")) + "/odbc.ini") +
                                         "\n[varn_pg_set]\nDriver=PostgreSQL ANSI\nServername=127.0.0.1\nPort=" +
                                         getenv("VARN_PG_PORT") + "\nDatabase=varn\nConnSettings=" + c.connSettings +
                                         "\n");
        setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
        if (GetParam())
            UsePool();
        source.dsn = "varn_pg_set";
        std::vector<std::string> settings = SourceSettings(source);
        settings.insert(settings.end(), {PortValue(port), Dword("Reuse Sessions", 1)});
        ASSERT_TRUE(StartService(&run, SettingsFile(settings), port)) << ServiceLog(run);
        std::string expected;
        for (int n = 1; n <= 3; n++) {
            EXPECT_TRUE(Visit(run, "127.0.0.1", {"INSERT INTO t VALUES(" + std::to_string(n) +
                                                 ", current_schema() || '/' || current_user);"}));
            expected += std::to_string(n) + "|" + c.shows + "\n";
        }
        EXPECT_EQ(expected, QueryDataSource(source, "SELECT a, b FROM t ORDER BY a")) << c.name << "\n" << ServiceLog(run);
        EXPECT_EQ(*c.line ? 1 : 0, CountOf(ServiceLog(run), *c.line ? c.line : "Reuse Sessions not used"))
            << ServiceLog(run);
        StopService(&run);
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, Reuse, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &info) { return info.param ? "Pooled" : "Kept"; });

}  // namespace
