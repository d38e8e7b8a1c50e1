// Statements running beside the intake, through the real service process:
// connections come and go without end, the descriptor limit caps the
// clients, a connect that hangs or a slow statement holds no one else, and
// after an outage a client sending flat out neither starves the spool's
// drain nor loses a statement to a full spool.
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using Sessions = SqliteService;

// Connections one after another, more than the loop has slots and than the
// process had descriptors at first, each with a few statements: none is
// lost or held, and a fresh session per statement costs no memory, as the
// sanitizer build's leak check at the end confirms.
TEST_F(Sessions, ConnectionsComeAndGo)
{
    const int kVisits = 1100, kEach = 9;
    if (RunsUnderWine())
        GTEST_SKIP() << "a load for the native build, where descriptors run out";
    ASSERT_TRUE(Start({Dword("Max Clients", 2), Dword("Database Sessions", 2)})) << ServiceLog(run);
    long resident = 0;
    for (int n = 0; n < kVisits; n++) {
        std::string statements;
        for (int i = 0; i < kEach; i++)
            statements += Insert(n * kEach + i, "some typical text");
        int fd = ConnectFrom("127.0.0.1", port);
        ASSERT_TRUE(SendAll(fd, statements)) << n;
        close(fd);
        if (n == 100) {
            ASSERT_TRUE(WaitForRows(101 * kEach, 30000)) << Count();
            resident = ResidentKiB(run.pid);
        }
    }
    EXPECT_TRUE(WaitForRows(kVisits * kEach, 60000)) << Count();
    EXPECT_TRUE(WaitForLog(run, "Peer closed connection.", kVisits, 5000));
    EXPECT_LT(OpenDescriptors(run.pid), 40);
    if (!SanitizerBuild()) {
        EXPECT_LT(ResidentKiB(run.pid) - resident, 256) << "KiB grown from 909 to 9,900 statements";
    }
    EXPECT_EQ(0, CountOf(ServiceLog(run), "ERROR"));
    // A stop ends the process through exit(), and in a sanitizer build
    // LeakSanitizer reports into the console anything the service lost
    // track of.
    kill(run.pid, SIGTERM);
    EXPECT_EQ(0, WaitForExit(&run, 30000));
    EXPECT_EQ("Stopped.", ServiceLogLines(run).back());
    EXPECT_EQ(std::string::npos, ServiceLog(run).find("LeakSanitizer"));
}

// A descriptor limit too low for "Max Clients" caps the clients, with a
// line; the service still serves.
TEST_F(Sessions, DescriptorLimitCapsTheClients)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "Windows sets no descriptor limit";
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    struct rlimit low = {200, 200};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    bool started = Start({Dword("Max Clients", 1024)});
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(started) << ServiceLog(run);
    // 200 less the room kept for the listener, console, spool and a session.
    EXPECT_EQ(1, CountOf(ServiceLog(run), "Max clients 1024 limited to 128 by the descriptor limit\n")) << ServiceLog(run);
    EXPECT_TRUE(Visit(run, "127.0.0.1", {Insert(1, "1")}));
    EXPECT_TRUE(WaitForRows(1, 5000));
}

// After an outage that filled the spool, the database is back and a client
// sends flat out: it is held back rather than losing statements, the spool
// drains to empty, and every statement runs once, in the order sent.
TEST_F(Sessions, SpoolDrainsUnderLoad)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "a load for the native build: Wine syncs a spooled statement in over 15 ms";
    const int kDuringOutage = 1200, kAfter = 200;
    UseSqliteOdbcConfig(dir, dir + "/down/test.db");
    std::string pad(900, 'x');
    auto big = [&](int n) { return "INSERT INTO t VALUES(" + std::to_string(n) + ", '" + pad + "');"; };
    ASSERT_TRUE(Start({SpoolValue(dir + "/spool"), Dword("Spool Limit", 1)})) << ServiceLog(run);
    std::string outage = "CREATE TABLE t(a INTEGER, b TEXT);";
    for (int n = 0; n < kDuringOutage; n++)
        outage += big(n);
    ASSERT_TRUE(Visit(run, "127.0.0.1", {outage}));
    int full = CountOf(ServiceLog(run), "Spool full, statement not executed.");
    ASSERT_GT(full, 0) << "the outage should fill the 1 MiB spool";

    ASSERT_EQ(0, mkdir((dir + "/down").c_str(), 0700));
    std::string countRows = "sqlite3 " + dir + "/down/test.db 'SELECT COUNT(*) FROM t' 2>/dev/null";
    for (long until = NowMs() + 15000; NowMs() < until && atoi(RunCommand(countRows).c_str()) == 0;)
        usleep(50000);
    std::string after;
    for (int n = kDuringOutage; n < kDuringOutage + kAfter; n++)
        after += big(n);
    long started = NowMs();
    int fd = ConnectFrom("127.0.0.1", port);
    ASSERT_TRUE(SendAll(fd, after));
    shutdown(fd, SHUT_WR);
    ASSERT_TRUE(WaitForLog(run, "Peer closed connection.", 2, 60000));
    close(fd);
    ASSERT_TRUE(WaitForLog(run, "Spool empty.", 1, 60000));
    printf("drained in %ld ms\n", NowMs() - started);
    EXPECT_EQ(full, CountOf(ServiceLog(run), "Spool full, statement not executed."));
    // What the full spool turned away is missing; the rest is there once, in order.
    std::string rows = RunCommand("sqlite3 " + dir + "/down/test.db 'SELECT a FROM t ORDER BY rowid'");
    std::istringstream lines(rows);
    std::string line;
    int count = 0, last = -1;
    bool ordered = true;
    while (std::getline(lines, line)) {
        ordered = ordered && std::stoi(line) > last;
        last = std::stoi(line);
        count++;
    }
    EXPECT_TRUE(ordered);
    EXPECT_EQ(kDuringOutage - full + kAfter, count);
    EXPECT_EQ(kDuringOutage + kAfter - 1, last);
    // Once the database is back, the client adds a statement to the spool
    // only after three replays each time. A session writes its Replay line
    // as it starts, the loop the Statement spooled line as a replay ends, so
    // one Replay line may fall on either side of it.
    std::vector<std::string> logged = ServiceLogLines(run);
    size_t back = 0;
    while (back + 1 < logged.size() && !(logged[back].rfind("Replay:", 0) == 0 &&
                                          logged[back + 1].rfind("SQLConnect Failed", 0) != 0))
        back++;
    int replays = 0, replaysToLastJoin = 0, joined = 0;
    for (size_t i = back; i < logged.size(); i++) {
        replays += logged[i].rfind("Replay:", 0) == 0;
        if (logged[i].rfind("Statement spooled", 0) == 0) {
            replays = joined++ == 0 ? 0 : replays;
            replaysToLastJoin = replays;
        }
    }
    EXPECT_GT(joined, 10);
    EXPECT_GE(replaysToLastJoin, 3 * (joined - 1) - 1) << joined << " joined";
}

// A listener on loopback whose one-place backlog is already full: the
// kernel drops every further SYN, so a connect to it never gets an answer,
// as with a host behind a firewall that drops packets.
struct Blackhole {
    int listener = -1;
    int filler = -1;
    int port = 0;
    Blackhole()
    {
        struct sockaddr_in address = {};
        socklen_t length = sizeof address;
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listener = socket(AF_INET, SOCK_STREAM, 0);
        bind(listener, (struct sockaddr *)&address, sizeof address);
        listen(listener, 0);
        getsockname(listener, (struct sockaddr *)&address, &length);
        port = ntohs(address.sin_port);
        filler = socket(AF_INET, SOCK_STREAM, 0);
        connect(filler, (struct sockaddr *)&address, sizeof address);
    }
    ~Blackhole()
    {
        close(filler);
        close(listener);
    }
};

// Data sources on psqlODBC and MariaDB's driver whose server never answers,
// beside the SQLite one: false when the drivers are missing.
bool UseHungSources(const std::string &dir, const Blackhole &hole)
{
    std::string drivers = VARN_SQLITE_ODBC_DRIVER;
    drivers = drivers.substr(0, drivers.rfind('/') + 1);
    if (access((drivers + "psqlodbca.so").c_str(), R_OK) != 0 || access((drivers + "libmaodbc.so").c_str(), R_OK) != 0)
        return false;
    std::string port = std::to_string(hole.port);
    WriteFile(dir + "/odbcinst.ini", "[pg]\nDriver=" + drivers + "psqlodbca.so\n\n[MariaDB]\nDriver=" + drivers +
                                         "libmaodbc.so\n");
    WriteFile(dir + "/odbc.ini", "[varn_pg_hang]\nDriver=pg\nServername=127.0.0.1\nPort=" + port +
                                     "\nDatabase=varn\n\n[varn_maria_hang]\nDriver=MariaDB\nSERVER=127.0.0.1\nPORT=" +
                                     port + "\nDATABASE=varn\n");
    return true;
}

// A connect that never gets an answer holds no other client: another
// client's statement starts at once in a second session, and the connect
// gives up after "Login Timeout" with the driver's lines. Only the drivers
// are needed, beside the SQLite one; under Wine MariaDB's CONN_TIMEOUT is
// not found in the registry, so only psqlODBC is tried there.
TEST_F(Sessions, HungConnectHoldsNoOne)
{
    Blackhole hole;
    if (!UseHungSources(dir, hole))
        GTEST_SKIP() << "needs psqlODBC and MariaDB's driver beside the SQLite one";
    std::vector<std::string> sources = {"varn_pg_hang"};
    if (!RunsUnderWine())
        sources.push_back("varn_maria_hang");
    for (const std::string &source : sources) {
        SCOPED_TRACE(source);
        ASSERT_TRUE(Start({Dword("Max Clients", 4), Dword("Database Sessions", 2), Dword("Login Timeout", 2),
                           "\"Data Source\"=\"" + source + "\""}))
            << ServiceLog(run);
        int first = ConnectFrom("127.0.0.2", this->port);
        SendAll(first, "INSERT INTO t VALUES(1, 'first');");
        usleep(300000);
        long sent = NowMs();
        int second = ConnectFrom("127.0.0.3", this->port);
        SendAll(second, "INSERT INTO t VALUES(2, 'second');");
        EXPECT_TRUE(WaitForLog(run, "Query: \"INSERT INTO t VALUES(2, 'second');\"", 1, 1000)) << ServiceLog(run);
        EXPECT_LT(NowMs() - sent, 1000);
        EXPECT_TRUE(WaitForLog(run, "ERROR: Connecting", 2, 4000)) << ServiceLog(run);
        EXPECT_LT(NowMs() - sent, 4000);
        EXPECT_EQ(2, CountOf(ServiceLog(run), "SQLConnect Failed.")) << ServiceLog(run);
        close(first);
        close(second);
        StopService(&run);
    }
}

// A stop whose bound comes while a statement's session still connects
// takes the statement back, never to be sent, and keeps it in the spool.
TEST_F(Sessions, StopTakesBackAStatementStillConnecting)
{
    Blackhole hole;
    if (!UseHungSources(dir, hole))
        GTEST_SKIP() << "needs psqlODBC and MariaDB's driver beside the SQLite one";
    ASSERT_TRUE(Start({Dword("Login Timeout", 10), Dword("Stop Timeout", 1), SpoolValue(dir + "/spool"),
                       "\"Data Source\"=\"varn_pg_hang\""}))
        << ServiceLog(run);
    int fd = ConnectFrom("127.0.0.1", port);
    SendAll(fd, Insert(1, "connecting"));
    ASSERT_TRUE(WaitForLog(run, "Query:", 1, 5000)) << ServiceLog(run);
    long stopped = NowMs();
    kill(run.pid, RunsUnderWine() ? SIGINT : SIGTERM);
    EXPECT_EQ(0, WaitForExit(&run, 8000)) << ServiceLog(run);
    EXPECT_LT(NowMs() - stopped, 5000);
    std::vector<std::string> expected = {"<any>", "<any>", "Incoming connection from 127.0.0.1",
                                         QueryLine(Insert(1, "connecting")), "Stopping",
                                         "Statement spooled, 1 waiting.", "Peer closed connection.", "Stopped."};
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    close(fd);
}

// A statement the service cannot serve, or that would open a file of its
// host, is refused before it is sent, with its line, and holds its one
// session no longer: another client's INSERT commits within 2 s, and the
// service, under an address-space limit, still runs. Rows that only
// mention such words run. Each hostile mechanism once per database, framed
// by the plain rule or by the database's own dialect.
struct ScreenCase : NamedCase {
    const char *source;
    std::string statement;  // "{settings}" stands for the service's own settings file
    const char *line;       // the refusal, or "" when the statement runs
    const char *rows;       // SELECT a, b FROM t ORDER BY a, after the other client's row 1
    const char *dialect = "plain";
};

const char kCopies[] = "Statement copies to or from the client, not executed.";
const char kOpens[] = "Statement opens files of the service's host, not executed.";
const char kUnread[] = "Statement cannot be read as the database reads it, not executed.";
const std::string kTag16 = "$" + std::string(16, 'a') + "$", kTag200 = "$" + std::string(200, 'a') + "$";

const ScreenCase kScreenCases[] = {
    {{"copy from the client"}, "postgres", "copy t FROM stdin;", kCopies, "1|after\n"},
    {{"copy to the client"}, "postgres", "COPY (SELECT 1) TO STDOUT;", kCopies, "1|after\n"},
    // Framed whole by the plain rule, two statements to the server.
    {{"copy behind an escape string"}, "postgres", "SELECT E'\\''; COPY t FROM STDIN; --';", kCopies,
     "1|after\n"},
    {{"copy in a literal"}, "postgres", "INSERT INTO t VALUES(2, $$COPY t FROM STDIN$$);", "",
     "1|after\n2|COPY t FROM STDIN\n"},
    {{"local infile"}, "mariadb", "LOAD DATA LOCAL INFILE '{settings}' INTO TABLE t;", kOpens, "1|after\n"},
    {{"local infile in a literal"}, "mariadb", "INSERT INTO t VALUES(2, 'load data local infile');", "",
     "1|after\n2|load data local infile\n"},
    {{"attach"}, "sqlite", "ATTACH DATABASE '{settings}' AS o;", kOpens, "1|after\n"},
    {{"vacuum into"}, "sqlite", "VACUUM INTO '{settings}.copy';", kOpens, "1|after\n"},
    {{"load extension"}, "sqlite", "SELECT \"load_extension\"('/nonexistent/lib.so');", kOpens, "1|after\n"},
    {{"temporary files elsewhere"}, "sqlite", "PRAGMA temp_store_directory = '/tmp';", kOpens, "1|after\n"},
    {{"attach in a literal"}, "sqlite", "INSERT INTO t VALUES(2, 'attach; vacuum into');", "",
     "1|after\n2|attach; vacuum into\n"},
    {{"copy behind a 16 byte tag"}, "postgres", "SELECT " + kTag16 + "'" + kTag16 + ";COPY t FROM STDIN;--';",
     kCopies, "1|after\n"},
    {{"copy after a comment ended by CR"}, "postgres", "SELECT 1 -- '\r; COPY t FROM STDIN; --';", kCopies,
     "1|after\n"},
    {{"copy after a comment ended by CR, mysql dialect"}, "postgres",
     "SELECT 1 -- x\r; COPY t FROM STDIN; --\n;", kCopies, "1|after\n", "mysql"},
    {{"copy in a 200 byte tag"}, "postgres", "INSERT INTO t VALUES(2, " + kTag200 + "COPY t FROM STDIN" + kTag200 + ");",
     "", "1|after\n2|COPY t FROM STDIN\n", "postgresql"},
    {{"copy in a routine"}, "postgres", "DO $$ BEGIN EXECUTE 'COPY t FROM STDIN'; END $$;", "", "1|after\n",
     "postgresql"},
    {{"open dollar quote"}, "postgres", "SELECT $$a;", kUnread, "1|after\n"},
    {{"local infile after dashes and a control byte"}, "mariadb",
     "SELECT 1 --\x01'\nLOAD DATA LOCAL INFILE '{settings}' INTO TABLE t; -- ';", kOpens, "1|after\n"},
    {{"local infile without backslash escapes"}, "mariadb",
     "SELECT 'a\\'; LOAD DATA LOCAL INFILE '{settings}' INTO TABLE t; -- ';", kOpens, "1|after\n", "mysql"},
    {{"local infile in an executable comment"}, "mariadb",
     "/*!LOAD DATA LOCAL INFILE '{settings}' INTO TABLE t*/;", kOpens, "1|after\n", "mysql"},
    {{"local infile executed immediately"}, "mariadb",
     "EXECUTE IMMEDIATE 'LOAD DATA LOCAL INFILE ''{settings}'' INTO TABLE t';", "", "1|after\n"},
    {{"attach after a comment"}, "sqlite", "SELECT 1 -- '\n; ATTACH '{settings}' AS o; --';", kOpens,
     "1|after\n"},
};

// A service on a case's data source, which holds an empty table t.
template <typename Case> class OnSource : public testing::TestWithParam<Case> {
protected:
    void TearDown() override
    {
        StopService(&run);
        RemoveTree(dir);
    }
    // The source, or one without a name when it is not there.
    DataSource StartOn(const char *name, const std::vector<std::string> &values)
    {
        DataSource source = name == std::string("sqlite") ? AvailableDataSources(true)[0] : ServerSource(name);
        if (source.name.empty())
            return source;
        UseDataSource(source, dir);
        EXPECT_TRUE(ResetTable(source));
        std::vector<std::string> settings = SourceSettings(source);
        settings.push_back(PortValue(port));
        settings.insert(settings.end(), values.begin(), values.end());
        EXPECT_TRUE(StartService(&run, SettingsFile(settings), port)) << ServiceLog(run);
        return source;
    }
    std::string dir = MakeTempDir();
    int port = FreePort();
    ServiceRun run;
};

using Screened = OnSource<ScreenCase>;

TEST_P(Screened, RefusedAndTheSessionGoesOn)
{
    const ScreenCase &c = GetParam();
    run.addressSpaceMiB = 4096;
    DataSource source = StartOn(c.source, {Dword("Max Clients", 2),
                                           "\"SQL Dialect\"=\"" + std::string(c.dialect) + "\""});
    if (source.name.empty())
        GTEST_SKIP() << "needs the throwaway database servers";
    std::string statement = c.statement;
    if (statement.find("{settings}") != std::string::npos)
        statement.replace(statement.find("{settings}"), 10, run.dir + "/settings.reg");
    int first = ConnectFrom("127.0.0.2", port);
    SendAll(first, statement);
    ASSERT_TRUE(WaitForLog(run, "Query: ", 1, 5000)) << ServiceLog(run);
    long sent = NowMs();
    int second = ConnectFrom("127.0.0.3", port);
    SendAll(second, Insert(1, "after"));
    while (QueryDataSource(source, "SELECT b FROM t WHERE a = 1") != "after\n" && NowMs() - sent < 2000)
        usleep(20000);
    EXPECT_LT(NowMs() - sent, 2000) << ServiceLog(run);
    WaitForLog(run, *c.line ? c.line : "not executed.", 1, *c.line ? 5000 : 0);  // it may follow the other client's
    EXPECT_EQ(*c.line ? 1 : 0, CountOf(ServiceLog(run), *c.line ? c.line : "not executed.")) << ServiceLog(run);
    EXPECT_EQ(c.rows, QueryDataSource(source, "SELECT a, b FROM t ORDER BY a")) << ServiceLog(run);
    EXPECT_EQ(-1, WaitForExit(&run, 0)) << ServiceLog(run);
    close(first);
    close(second);
}

INSTANTIATE_TEST_SUITE_P(Sessions, Screened, testing::ValuesIn(kScreenCases),
                         [](const testing::TestParamInfo<ScreenCase> &info) {
                             return std::string(info.param.source) + "_" + TestName(info.param.name);
                         });

// "Statement Timeout" 2: a statement that runs longer is cancelled through
// ODBC with its lines, and its session goes on. One whose server does not
// act on the cancel (its backend stopped) has its connection closed 5 s
// later, its outcome unknown; one that catches its cancel is ended on the
// server then, its socket found or not (a Unix socket), and two such on
// two sessions leave nothing running. One well within the limit runs to
// its end without a word of the watch.
struct TimeoutCase : NamedCase {
    const char *source;
    const char *statement;
    std::vector<std::string> lines;  // each once a copy, the last within `withinMs` of the Query line
    long withinMs;
    bool stopBackend;
    const char *dsn = NULL;  // another data source of the same server
    int copies = 1;          // clients sending it at once, on as many sessions
};

const char kCatches[] = "DO $$BEGIN LOOP BEGIN PERFORM pg_sleep(0.1); EXCEPTION WHEN query_canceled THEN NULL; "
                        "END; END LOOP; END$$;";

const TimeoutCase kTimeoutCases[] = {
    {{"sleep"}, "postgres", "SELECT pg_sleep(10);",
     {"  ERROR: canceling statement due to user request;", "Statement ran past 2 s, cancelled."}, 3000, false},
    {{"sleep"}, "mariadb", "SELECT SLEEP(10);",
     {"]Query execution was interrupted", "Statement ran past 2 s, cancelled."}, 3000, false},
    {{"endless query"}, "sqlite", "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c;",
     {"  [SQLite]interrupted (9)", "Statement ran past 2 s, cancelled."}, 3000, false},
    {{"stopped backend"}, "postgres", "SELECT pg_sleep(20);",
     {"Statement ran past 2 s and its cancel, connection closed.", "Statement outcome unknown, not retried."}, 8000,
     true},
    {{"cancel caught"}, "postgres", kCatches, {"Statement ran past 2 s and its cancel, connection closed."}, 8000, false,
     NULL, 2},
    {{"cancel caught over a Unix socket"}, "postgres", kCatches,
     {"Statement ran past 2 s and its cancel, ended in the server."}, 8000, false, "varn_pg_unix", 2},
    {{"well within"}, "postgres", "SELECT pg_sleep(1.5);", {}, 3000, false},
};

using TimedOut = OnSource<TimeoutCase>;

TEST_P(TimedOut, CancelledAndTheSessionGoesOn)
{
    const TimeoutCase &c = GetParam();
    std::vector<std::string> settings = {Dword("Statement Timeout", 2), SpoolValue(dir + "/spool"),
                                         "\"SQL Dialect\"=\"postgresql\"", Dword("Database Sessions", c.copies),
                                         Dword("Max Clients", c.copies + 1)};
    if (c.dsn != NULL)
        settings.push_back("\"Data Source\"=\"" + std::string(c.dsn) + "\"");
    DataSource source = StartOn(c.source, settings);
    if (source.name.empty())
        GTEST_SKIP() << "needs the throwaway database servers";
    EXPECT_EQ(1, CountOf(ServiceLog(run), "\nStatement timeout 2 s\n"));
    std::vector<int> fds;
    for (int copy = 0; copy < c.copies; copy++) {
        fds.push_back(ConnectFrom("127.0.0.1", port));
        SendAll(fds.back(), c.statement);
    }
    ASSERT_TRUE(WaitForLog(run, QueryLine(c.statement), c.copies, 5000)) << ServiceLog(run);
    long sent = NowMs();
    std::string backend;
    while (c.stopBackend && backend.empty() && NowMs() - sent < 1000)
        backend = QueryDataSource(source, "SELECT pid FROM pg_stat_activity WHERE state = 'active' AND pid <> "
                                          "pg_backend_pid() AND datname = current_database()");
    if (c.stopBackend) {
        ASSERT_GT(atoi(backend.c_str()), 0) << backend;
        ASSERT_EQ(0, kill(atoi(backend.c_str()), SIGSTOP)) << backend;
    }
    if (!c.lines.empty()) {
        EXPECT_TRUE(WaitForLog(run, c.lines.back(), c.copies, c.withinMs + 2000)) << ServiceLog(run);
        EXPECT_LT(NowMs() - sent, c.withinMs);
    }
    if (c.stopBackend)
        kill(atoi(backend.c_str()), SIGCONT);
    for (const std::string &line : c.lines)
        EXPECT_EQ(c.copies, CountOf(ServiceLog(run), line)) << line << "\n" << ServiceLog(run);
    SendAll(fds[0], Insert(1, "after"));
    shutdown(fds[0], SHUT_WR);
    EXPECT_TRUE(WaitForLog(run, "Peer closed connection.", 1, 5000));
    EXPECT_EQ("1|after\n", QueryDataSource(source, "SELECT a, b FROM t")) << ServiceLog(run);
    if (c.lines.empty()) {
        EXPECT_EQ(0, CountOf(ServiceLog(run), "Statement ran past")) << ServiceLog(run);
    }
    // Nothing the service sent still runs on the server.
    std::string running = "SELECT count(*) FROM pg_stat_activity WHERE query = '" + std::string(c.statement) + "'";
    for (long since = NowMs(); c.source == std::string("postgres") && NowMs() - since < 2000;)
        if (QueryDataSource(source, running) == "0\n")
            break;
    if (c.source == std::string("postgres")) {
        EXPECT_EQ("0\n", QueryDataSource(source, running)) << ServiceLog(run);
    }
    for (int fd : fds)
        close(fd);
}

INSTANTIATE_TEST_SUITE_P(Sessions, TimedOut, testing::ValuesIn(kTimeoutCases),
                         [](const testing::TestParamInfo<TimeoutCase> &info) {
                             return std::string(info.param.source) + "_" + TestName(info.param.name);
                         });

// A result far larger than the service may hold is read through and never
// kept: the service's peak grows by less than 64 MiB, a statement that
// writes and returns rows commits, and the next statement runs.
struct ResultCase : NamedCase {
    const char *source;
    const char *large;
    const char *writes;
    bool streams;  // MariaDB Connector/ODBC streams from 3.1.17 on; Debian 12 has 3.1.15
};

const ResultCase kResultCases[] = {
    {{"postgres 300 MiB"}, "postgres", "SELECT repeat('x', 1048576) FROM generate_series(1, 300);",
     "CREATE OR REPLACE FUNCTION side() RETURNS int LANGUAGE sql AS $$ INSERT INTO t VALUES(3, 'side') RETURNING 3 $$;"
     "SELECT side();WITH w AS (INSERT INTO t VALUES(2, 'side') RETURNING a) SELECT a FROM w;", true},
    {{"mariadb 300 MiB"}, "mariadb", "SELECT REPEAT('x', 1048576) FROM seq_1_to_300;",
     "INSERT INTO t VALUES(2, 'side') RETURNING a;INSERT INTO t VALUES(3, 'side') RETURNING a;", false},
};

using LargeResult = OnSource<ResultCase>;

TEST_P(LargeResult, ReadThroughNotKept)
{
    const ResultCase &c = GetParam();
    DataSource source = StartOn(c.source, {});
    if (source.name.empty())
        GTEST_SKIP() << "needs the throwaway database servers";
    ASSERT_TRUE(Visit(run, "127.0.0.1", {"SELECT 1;"}));
    long before = ResidentKiB(run.pid, "VmHWM:");
    ASSERT_TRUE(Visit(run, "127.0.0.1", {std::string(c.large) + c.writes + Insert(1, "after")}));
    if (c.streams && !SanitizerBuild()) {
        EXPECT_LT(ResidentKiB(run.pid, "VmHWM:") - before, 64 * 1024) << "KiB grown at the peak";
    }
    EXPECT_EQ(0, CountOf(ServiceLog(run), "ERROR")) << ServiceLog(run);
    EXPECT_EQ("1|after\n2|side\n3|side\n", QueryDataSource(source, "SELECT a, b FROM t ORDER BY a"));
}

INSTANTIATE_TEST_SUITE_P(Sessions, LargeResult, testing::ValuesIn(kResultCases), CaseName());

}  // namespace

namespace {

// Behind PgBouncer the server reports the pooler's end of its connection,
// which no socket of the service has: kept sessions and the statement
// watch go through the server instead, said once. A statement past its
// limit is still cancelled, and another client's statements on the other
// session, kept, run as they would.
using Pooler = OnSource<int>;

TEST_P(Pooler, postgres_CancelAndKeptSessionsThroughPgBouncer)
{
    DataSource source = StartOn("postgres", {"\"Data Source\"=\"varn_pgbouncer\"", Dword("Statement Timeout", 2),
                                             Dword("Reuse Sessions", 1), Dword("Database Sessions", 2),
                                             Dword("Max Clients", 4)});
    if (source.name.empty() || RunsUnderWine())
        GTEST_SKIP() << "needs the throwaway database servers";
    int slow = ConnectFrom("127.0.0.2", port);
    SendAll(slow, "SELECT pg_sleep(10);");
    ASSERT_TRUE(WaitForLog(run, "Query:", 1, 5000)) << ServiceLog(run);
    EXPECT_TRUE(Visit(run, "127.0.0.3", {"SELECT pg_sleep(1.5);" + Insert(1, "b")}));
    EXPECT_TRUE(WaitForLog(run, "Statement ran past 2 s, cancelled.", 1, 4000)) << ServiceLog(run);
    EXPECT_TRUE(Visit(run, "127.0.0.3", {Insert(2, "c") + Insert(3, "d")}));
    EXPECT_EQ("1|b\n2|c\n3|d\n", QueryDataSource(source, "SELECT a, b FROM t ORDER BY a")) << ServiceLog(run);
    for (const char *once : {"Connections to varn_pgbouncer are checked and ended through the server", "Statement ran past"})
        EXPECT_EQ(1, CountOf(ServiceLog(run), once)) << ServiceLog(run);
    EXPECT_EQ(0, CountOf(ServiceLog(run), "ERROR: Resetting Session")) << ServiceLog(run);
    close(slow);
}

INSTANTIATE_TEST_SUITE_P(Sessions, Pooler, testing::Values(0));

}  // namespace
