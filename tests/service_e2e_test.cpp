// The real service end to end: started as a process with a settings file of
// its own, fed over loopback from 127.x.y.z client addresses, judged by its
// console lines and by the rows in the database.
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kBanner[] = "Halvorin VARN ODBC Query Service 19May04";
const char kClosed[] = "Peer closed connection.";

// The text of a socket error: the Windows build passes Windows Sockets
// codes to the C runtime's strerror, which knows no text for them.
std::string SocketErrorText(const char *posixText)
{
    return RunsUnderWine() ? "Unknown error" : posixText;
}

// One client's visit: where it connects from, what it sends (a write a
// chunk), and whether it is let in.
struct Visitor {
    const char *from;
    std::vector<std::string> chunks;
    bool admitted;
};

struct ServiceCase : NamedCase {
    const char *only;                     // the data source it is for, or "" for all
    std::vector<std::string> settings;    // besides the port and the data source
    std::vector<std::string> startLines;  // after the Listening line
    std::vector<Visitor> visitors;
    std::vector<std::string> lines;       // after start-up; "{missing table}" is the source's own
    std::string rows;                     // SELECT a, b FROM t ORDER BY a
};

const std::string kLongUpdate = "UPDATE t SET b = 'gone'" + std::string(990, ' ') + "WHERE a = 2;";
const char kIn[] = "Incoming connection from 127.0.0.1";

const ServiceCase kCases[] = {
    {{"rejected statement keeps the connection"}, "", {}, {},
     {{"127.0.0.1", {"INSERT INTO t VALUES(1, 'a;b');INSERT INTO nosuch VALUES(1);", "INSERT INTO t VALUES(5, 'after');"},
       true}},
     {kIn, QueryLine("INSERT INTO t VALUES(1, 'a;b');"), QueryLine("INSERT INTO nosuch VALUES(1);"),
      "ERROR: Executing Statemtent", "{missing table}", QueryLine("INSERT INTO t VALUES(5, 'after');"), kClosed},
     "1|a;b\n5|after\n"},
    {{"allowed host admits it and denies its neighbour"}, "sqlite", {"\"Allow IP\"=\"127.0.0.7\""},
     {"Allowed host 127.0.0.7"},
     {{"127.0.0.8", {"INSERT INTO t VALUES(8, 'no');"}, false},
      {"127.0.0.7", {"INSERT INTO t VALUES(7, 'yes');"}, true}},
     {"Incoming connection from 127.0.0.8", "Access denied", "Incoming connection from 127.0.0.7",
      QueryLine("INSERT INTO t VALUES(7, 'yes');"), kClosed},
     "7|yes\n"},
    // Run cut or up to its NUL byte, either would empty the table.
    {{"too long or with a NUL byte, not run"}, "sqlite", {}, {},
     {{"127.0.0.1",
       {"INSERT INTO t VALUES(2, 'two');", kLongUpdate, std::string("DELETE FROM t\0 WHERE a = 6;", 27),
        "INSERT INTO t VALUES(3, 'next');"},
       true}},
     {kIn, QueryLine("INSERT INTO t VALUES(2, 'two');"), QueryLine(kLongUpdate.substr(0, 1000)),
      "Statement exceeds 1000 bytes, not executed.", QueryLine("DELETE FROM t"),
      "Statement contains a NUL byte, not executed.", QueryLine("INSERT INTO t VALUES(3, 'next');"), kClosed},
     "2|two\n3|next\n"},
    // A dialect sends a statement from its first word, so the line break
    // after the one before and the comments above it are not sent (the
    // SQLite driver refuses a semicolon in them). The CR LF after the last
    // statement is no statement and writes nothing.
    {{"trigger body in the sqlite dialect"}, "sqlite", {"\"SQL Dialect\"=\"SQLite\""}, {"SQL dialect sqlite"},
     {{"127.0.0.1",
       {"--DROP TRIGGER tr;\r\nCREATE TRIGGER tr AFTER INSERT ON t BEGIN INSERT INTO t VALUES(NEW.a + 10, 'copy; of ' || "
        "NEW.b); END;\r\n/* ; */ INSERT INTO t VALUES(1, 'one');\r\n"},
       true}},
     {kIn, QueryLine("CREATE TRIGGER tr AFTER INSERT ON t BEGIN INSERT INTO t VALUES(NEW.a + 10, 'copy; of ' || NEW.b); END;"),
      QueryLine("INSERT INTO t VALUES(1, 'one');"), kClosed},
     "1|one\n11|copy; of one\n"},
    // As psql does, blanks and "--" comments before the first word are not
    // sent, a "/* */" comment there is; the mariadb client drops both.
    {{"leading comments in the postgresql dialect"}, "postgres", {"\"SQL Dialect\"=\"postgresql\""},
     {"SQL dialect postgresql"},
     {{"127.0.0.1", {"-- note; it's here\n/* block ; */ INSERT INTO t VALUES(1, 'a');"}, true}},
     {kIn, QueryLine("/* block ; */ INSERT INTO t VALUES(1, 'a');"), kClosed}, "1|a\n"},
    {{"leading comments in the mysql dialect"}, "mariadb", {"\"SQL Dialect\"=\"mysql\""}, {"SQL dialect mysql"},
     {{"127.0.0.1", {"-- note; it's here\n# hash ; comment\n/* block ; */ INSERT INTO t VALUES(1, 'a');"}, true}},
     {kIn, QueryLine("INSERT INTO t VALUES(1, 'a');"), kClosed}, "1|a\n"},
    // A server that is down: every statement reports it and the client stays.
    // psqlODBC's message runs over a line break; its first 99 characters end
    // inside the second line.
    {{"server down"}, "postgres", {"\"Data Source\"=\"varn_pg_down\""}, {},
     {{"127.0.0.1", {"INSERT INTO t VALUES(1, 'a');INSERT INTO t VALUES(2, 'b');"}, true}},
     {kIn, QueryLine("INSERT INTO t VALUES(1, 'a');"),
      "SQLConnect Failed.  SQLSTATE=08001 [unixODBC]connection to server at \"127.0.0.1\", port <any> failed: "
      "Connection refused",
      "  \tIs the se<any>", "ERROR: Connecting", QueryLine("INSERT INTO t VALUES(2, 'b');"),
      "SQLConnect Failed.  SQLSTATE=08001 <any>", "  \tIs the se<any>", "ERROR: Connecting", kClosed},
     ""},
    {{"server down"}, "mariadb", {"\"Data Source\"=\"varn_maria_down\""}, {},
     {{"127.0.0.1", {"INSERT INTO t VALUES(1, 'a');INSERT INTO t VALUES(2, 'b');"}, true}},
     {kIn, QueryLine("INSERT INTO t VALUES(1, 'a');"), "SQLConnect Failed.  SQLSTATE=S1000 <any>Can't connect to server<any>",
      "ERROR: Connecting", QueryLine("INSERT INTO t VALUES(2, 'b');"),
      "SQLConnect Failed.  SQLSTATE=S1000 <any>Can't connect to server<any>", "ERROR: Connecting", kClosed},
     ""},
};

class ServiceEndToEnd : public testing::TestWithParam<std::tuple<DataSource, ServiceCase>> {
protected:
    void SetUp() override
    {
        odbcDir = MakeTempDir();
        UseDataSource(Source(), odbcDir);
        ASSERT_TRUE(ResetTable(Source()));
    }
    void TearDown() override
    {
        StopService(&run);
        RemoveTree(odbcDir);
    }
    const DataSource &Source() const { return std::get<0>(GetParam()); }

    std::string odbcDir;
    ServiceRun run;
};

TEST_P(ServiceEndToEnd, ConsoleAndRows)
{
    const ServiceCase &c = std::get<1>(GetParam());
    int port = FreePort();
    // A setting of the case replaces the data source's one of that name.
    std::vector<std::string> settings = {PortValue(port)};
    for (const std::string &line : SourceSettings(Source())) {
        bool replaced = false;
        for (const std::string &own : c.settings)
            replaced = replaced || own.compare(0, line.find('='), line, 0, line.find('=')) == 0;
        if (!replaced)
            settings.push_back(line);
    }
    settings.insert(settings.end(), c.settings.begin(), c.settings.end());
    ASSERT_TRUE(StartService(&run, SettingsFile(settings), port)) << ServiceLog(run);

    for (const Visitor &visitor : c.visitors)
        EXPECT_TRUE(Visit(run, visitor.from, visitor.chunks, visitor.admitted ? kClosed : "Access denied"))
            << visitor.from << "\n" << ServiceLog(run);

    std::vector<std::string> expected = {kBanner, "Listening on TCP port " + std::to_string(port)};
    expected.insert(expected.end(), c.startLines.begin(), c.startLines.end());
    for (const std::string &line : c.lines) {
        if (line == "{missing table}")
            expected.insert(expected.end(), Source().missingTableLines.begin(), Source().missingTableLines.end());
        else
            expected.push_back(line);
    }
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ(c.rows, QueryDataSource(Source(), "SELECT a, b FROM t ORDER BY a"));
}

std::vector<std::tuple<DataSource, ServiceCase>> ApplicableCases()
{
    std::vector<std::tuple<DataSource, ServiceCase>> cases;
    for (const DataSource &source : AvailableDataSources(true))
        for (const ServiceCase &c : kCases)
            if (!*c.only || source.name == c.only)
                cases.emplace_back(source, c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Service, ServiceEndToEnd, testing::ValuesIn(ApplicableCases()),
                         [](const testing::TestParamInfo<std::tuple<DataSource, ServiceCase>> &info) {
                             return std::get<0>(info.param).name + "_" + TestName(std::get<1>(info.param).name);
                         });

// The service as a process on SQLite: start-up, restarts and its life.
class ServiceProcess : public SqliteService {};

TEST_F(ServiceProcess, BusyPortEndsStartUp)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    ASSERT_EQ(0, bind(holder, (struct sockaddr *)&address, sizeof address));
    ASSERT_EQ(0, listen(holder, 1));
    EXPECT_FALSE(Start());
    // A failure status, so that a service manager restarts it.
    EXPECT_EQ(1, WaitForExit(&run, 5000));
    std::vector<std::string> expected = {
        kBanner, "bind(" + std::to_string(port) + ") failed " + SocketErrorText("Address already in use")};
    EXPECT_EQ(expected, ServiceLogLines(run));
    close(holder);
}

// Settings that would open the door, frame statements by a rule the
// operator did not choose, or write one of the service's files over
// another: each ends in a refused start-up (status 1, before the port is
// bound, nothing written) or in a filter that admits nobody.
struct ClosedCase : NamedCase {
    bool fileOnly;  // a fault of the settings file itself, which no registry holds
    std::vector<std::string> values;  // "{dir}" is the service's folder
    std::vector<std::string> lines;  // the refusal, or the start-up lines after the Listening line
    bool refused;
};

const ClosedCase kClosedCases[] = {
    {{"unknown dialect"}, false, {"\"SQL Dialect\"=\"oracle\""}, {"Unknown SQL dialect \"oracle\""}, true},
    // Beside the settings test's filter rows: the line that announces a
    // filter admitting nobody, and a value of the wrong type.
    {{"zero address alone"}, false, {"\"Allow IP\"=\"0.0.0.0\""}, {"Allowed host 0.0.0.0"}, false},
    {{"address without a byte"}, false, {"\"Allow IP\"=hex:"}, {"Settings file <any> cannot be read: <any>\"Allow IP\" is not a string"}, true},
    {{"no clients"}, false, {"\"Max Clients\"=dword:00000000"}, {"Max Clients 0 out of range"}, true},
    {{"too many clients"}, false, {"\"Max Clients\"=dword:00000401"}, {"Max Clients 1025 out of range"}, true},
    {{"no sessions"}, false, {"\"Database Sessions\"=dword:00000000"}, {"Database Sessions 0 out of range"}, true},
    {{"too many sessions"}, false, {"\"Database Sessions\"=dword:00000041"}, {"Database Sessions 65 out of range"},
     true},
    {{"reuse neither on nor off"}, false, {"\"Reuse Sessions\"=dword:00000002"}, {"Reuse Sessions 2 out of range"},
     true},
    {{"login time-out libpq cannot take"}, false, {Dword("Login Timeout", 0xFFFFFFFFu)},
     {"Login Timeout 4294967295 out of range"}, true},
    {{"login time-out past 16 bits"}, false, {Dword("Login Timeout", 65536)}, {"Login Timeout 65536 out of range"}, true},
    {{"largest numbers"}, false,
     {Dword("Login Timeout", 65535), Dword("Max Clients", 1024), Dword("Database Sessions", 64), Dword("Reuse Sessions", 1),
      Dword("Statement Timeout", 86400), Dword("Stop Timeout", 3600), Dword("Spool Limit", 0xFFFFFFFFu),
      Dword("Stats Interval", 0xFFFFFFFFu), "\"Spool File\"=\"{dir}/spool\"", "\"Allow IP\"=\"0.0.0.0\""},
     {"Allowed host 0.0.0.0", "Max clients 1024", "Database sessions 64", "Reusing sessions", "Statement timeout 86400 s"},
     false},
    {{"statement time-out over a day"}, false, {Dword("Statement Timeout", 86401)},
     {"Statement Timeout 86401 out of range"}, true},
    // A proxy network that cannot be told is refused, not guessed; a mask
    // of all ones is one, though inet_addr would give it for none.
    {{"proxy address that is none"}, false, {"\"Proxy IP\"=\"127.0.0.256\""}, {"Proxy IP \"127.0.0.256\" is not an address"}, true},
    {{"proxy mask that is empty"}, false, {"\"Proxy IP\"=\"127.1\"", "\"Proxy Mask\"=\"\""}, {"Proxy Mask \"\" is not an address"}, true},
    {{"proxy host in short form and a mask of all ones"}, false, {"\"Allow IP\"=\"0.0.0.0\"", "\"Proxy IP\"=\"127.9\"",
     "\"Proxy Mask\"=\"255.255.255.255\""}, {"Allowed host 0.0.0.0", "Trusted proxy 127.0.0.9"}, false},
    {{"spool that cannot be made"}, false, {"\"Spool File\"=\"/nonexistent/spool\""},
     {"Spool /nonexistent/spool cannot be opened: <any>"}, true},
    {{"empty log format"}, false, {"\"Log Format\"=\"\""}, {"Unknown log format \"\""}, true},
    {{"metrics file at a relative path"}, false, {"\"Metrics File\"=\"varn.prom\""},
     {"Metrics file varn.prom cannot be written: not a full path"}, true},
    {{"metrics file naming the settings file"}, true, {"\"Metrics File\"=\"{dir}/settings.reg\""},
     {"Same file named twice: settings file <any>/settings.reg and metrics file <any>/settings.reg"}, true},
    {{"metrics file naming the spool"}, false, {"\"Spool File\"=\"{dir}/spool\"", "\"Metrics File\"=\"{dir}/./spool\""},
     {"Same file named twice: spool <any>/spool and metrics file <any>/./spool"}, true},
    {{"spool as the metrics file's .tmp"}, false, {"\"Spool File\"=\"{dir}/m.tmp\"", "\"Metrics File\"=\"{dir}/m\""},
     {"Same file named twice: spool <any>/m.tmp and metrics temporary file <any>/m.tmp"}, true},
    {{"file over the size limit"}, true, {"\"Allow IP\"=\"127.0.0.2\"", ";" + std::string(1 << 20, 'x')},
     {"Settings file <any>/settings.reg cannot be read: larger than 1048576 bytes"}, true},
};

class FailsClosed : public ServiceProcess, public testing::WithParamInterface<ClosedCase> {};

TEST_P(FailsClosed, RefusedOrAdmitsNobody)
{
    const ClosedCase &c = GetParam();
    if (c.fileOnly && RunsUnderWine())
        GTEST_SKIP() << "a fault of the settings file";
    std::vector<std::string> expected = {kBanner};
    std::vector<std::string> values = c.values;
    run.dir = MakeTempDir();
    for (std::string &value : values)
        for (size_t at; (at = value.find("{dir}")) != std::string::npos;)
            value.replace(at, 5, (RunsUnderWine() ? "Z:" : "") + run.dir);
    if (c.refused) {
        EXPECT_FALSE(Start(values));
        EXPECT_EQ(1, WaitForExit(&run, 5000));
        EXPECT_LT(ConnectFrom("127.0.0.1", port), 0);
        EXPECT_EQ("console.log\nsettings.reg\nREGEDIT4", RunCommand("cd " + ShellQuote(run.dir) + " && ls && head -c 8 settings.reg"));
    } else {
        ASSERT_TRUE(Start(values)) << ServiceLog(run);
        expected.push_back("Listening on TCP port " + std::to_string(port));
        EXPECT_TRUE(Visit(run, "127.0.0.1", {"INSERT INTO t VALUES(1, 'in');"}, "Access denied")) << ServiceLog(run);
    }
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    // With "Max Clients" above 1 after the client's prefix.
    if (!c.refused)
        expected.insert(expected.end(), {"<any>" + std::string(kIn), "<any>Access denied"});
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ("0\n", Count());
}

INSTANTIATE_TEST_SUITE_P(Settings, FailsClosed, testing::ValuesIn(kClosedCases), CaseName());

// A restart must not wait for the connections the old service closed to
// leave TIME_WAIT. Windows lets the port be bound anyway, and the Windows
// build sets no option for it.
TEST_F(ServiceProcess, RestartWhileClosedConnectionsLinger)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "binding past TIME_WAIT is the POSIX build's own concern";
    ASSERT_TRUE(Start({"\"Allow IP\"=\"127.0.0.1\""}));
    // The service closes a denied client first, so its end lingers.
    int fd = ConnectFrom("127.0.0.2", port);
    ASSERT_TRUE(WaitForPeerClose(fd, 5000));
    close(fd);
    kill(run.pid, SIGKILL);
    WaitForExit(&run, 5000);
    StopService(&run);
    EXPECT_TRUE(Start()) << ServiceLog(run);
}

// The port's low 16 bits are bound; the Listening line shows the whole value.
TEST_F(ServiceProcess, PortAboveSixteenBits)
{
    char value[64];
    snprintf(value, sizeof value, "\"TCP Port\"=dword:%08x", (unsigned)(port + 0x10000));
    ASSERT_TRUE(StartService(&run, SettingsFile({value, "\"Data Source\"=\"varn_sqlite\""}), port)) << ServiceLog(run);
    EXPECT_EQ("Listening on TCP port " + std::to_string(port + 0x10000), ServiceLogLines(run).at(1));
    EXPECT_TRUE(Visit(run, "127.0.0.1", {"INSERT INTO t VALUES(1, 'high');"}));
    EXPECT_EQ("1\n", Count());
}

// Without a settings file: port 23 and an empty data source. Port 23 needs
// privileges, so either outcome is judged by its lines.
TEST_F(ServiceProcess, NoSettingsMeansTheDefaults)
{
    bool started = StartService(&run, "", 23);
    std::vector<std::string> lines = ServiceLogLines(run);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(kBanner, lines[0]);
    if (started)
        EXPECT_EQ(std::vector<std::string>({kBanner, "Listening on TCP port 23"}), lines);
    else
        EXPECT_EQ(0u, lines[1].find("bind(23) failed ")) << lines[1];
}

// The console is never a client's: started with the standard descriptors
// closed, the service's sockets must not take their numbers, and a console
// reader that goes away must not stop the statements.
TEST_F(ServiceProcess, ConsoleClosedOrGone)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "descriptors and SIGPIPE are the POSIX build's concern";
    std::string settings = run.dir = MakeTempDir();
    settings += "/settings.reg";
    WriteFile(settings, SettingsFile({PortValue(port), "\"Data Source\"=\"varn_sqlite\""}));
    for (bool closed : {true, false}) {
        int console[2];
        ASSERT_EQ(0, pipe(console));
        run.pid = fork();
        if (run.pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(0);
            closed ? close(1) : dup2(console[1], 1);
            close(console[0]);
            close(console[1]);
            execl(VARN_SERVICE_HOST, VARN_SERVICE_HOST, settings.c_str(), (char *)NULL);
            _exit(127);
        }
        close(console[1]);
        int client = -1;
        for (long deadline = NowMs() + 5000; client < 0 && NowMs() < deadline; usleep(20000))
            client = ConnectFrom("127.0.0.1", port);
        ASSERT_GE(client, 0);
        // The reader has seen the start-up lines, and goes away.
        close(console[0]);
        std::string sent;
        for (int i = 0; i < 3; i++)
            sent += "INSERT INTO t VALUES(" + std::to_string(i) + ", 'console');";
        SendAll(client, sent);
        std::string expected = closed ? "3\n" : "6\n";
        for (long deadline = NowMs() + 5000; Count() != expected && NowMs() < deadline;)
            usleep(10000);
        EXPECT_EQ(expected, Count()) << (closed ? "closed descriptors" : "console reader gone");
        char byte;
        EXPECT_FALSE(WaitForPeerClose(client, 200));
        EXPECT_EQ(-1, recv(client, &byte, 1, MSG_DONTWAIT)) << "the client was sent console output";
        close(client);
        kill(run.pid, SIGKILL);
        WaitForExit(&run, 5000);
    }
}

// Console lines written to a file are there at once, not when a buffer
// fills: a service killed outright has lost none of them.
TEST_F(ServiceProcess, NoLineIsLostWhenKilled)
{
    ASSERT_TRUE(Start());
    int fd = ConnectFrom("127.0.0.3", port);
    for (int i = 1; i <= 5; i++)
        SendAll(fd, "INSERT INTO t VALUES(" + std::to_string(i) + ", 'k');");
    // The rows prove the service has handled every statement.
    for (long deadline = NowMs() + 5000; Count() != "5\n" && NowMs() < deadline;)
        usleep(10000);
    kill(run.pid, SIGKILL);
    WaitForExit(&run, 5000);
    close(fd);
    std::vector<std::string> expected = {kBanner, "Listening on TCP port " + std::to_string(port),
                                         "Incoming connection from 127.0.0.3"};
    for (int i = 1; i <= 5; i++)
        expected.push_back(QueryLine("INSERT INTO t VALUES(" + std::to_string(i) + ", 'k');"));
    EXPECT_EQ(expected, ServiceLogLines(run));
}

// At rest the service costs nothing: once its statements are done, its
// loop, its sessions and their watch wait without a turn of their own.
TEST_F(ServiceProcess, AtRestTakesNoCpu)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "the process's CPU time is Wine's as much as the service's";
    ASSERT_TRUE(Start({Dword("Max Clients", 4), Dword("Database Sessions", 2), Dword("Statement Timeout", 5)}));
    ASSERT_TRUE(Visit(run, "127.0.0.1", {Insert(1, "a")}));
    long before = CpuMs(run.pid);
    usleep(2000000);
    EXPECT_LE(CpuMs(run.pid) - before, 20);
}

// The real wait of the real program: an idle client is cut off 30 s after
// its last statement (the CR LF after it opened the next one). Half a
// minute, so it runs only against the Windows build, whose serving loop
// waits in WSAPoll on the Windows clock; reader_tests and Clients cover
// both waits natively, shortened.
TEST_F(ServiceProcess, IdleClientIsCutOff)
{
    if (!RunsUnderWine())
        GTEST_SKIP() << "takes half a minute; run against the Windows build only";
    ASSERT_TRUE(Start());
    int talker = ConnectFrom("127.0.0.6", port);
    SendAll(talker, "INSERT INTO t VALUES(1, 'then idle');\r\n");
    long sent = NowMs();
    ASSERT_TRUE(WaitForLog(run, " next timed out", 1, 45000)) << ServiceLog(run);
    EXPECT_NEAR(30000, NowMs() - sent, 3000);
    close(talker);
    std::vector<std::string> lines = ServiceLogLines(run);
    ASSERT_EQ(5u, lines.size()) << ServiceLog(run);
    EXPECT_EQ(QueryLine("INSERT INTO t VALUES(1, 'then idle');"), lines[3]);
    EXPECT_EQ(0u, lines[4].find("recv(")) << lines[4];
    EXPECT_EQ(" next timed out", lines[4].substr(lines[4].find(')') + 1));
    EXPECT_EQ("1\n", Count());
}

// One script of statements that the dialects frame differently from the
// plain rule, run once through the service and once through the database's
// own shell: both must leave the same rows.
struct ShellScript : NamedCase {  // named after its data source
    const char *dialect;
    const char *shell;    // reads the script file named by $0
    const char *cleanup;  // what the script leaves besides t
    std::string script;
    const char *someRow;  // a row the script must leave
};

const ShellScript kShellScripts[] = {
    {{"postgres"}, "postgresql", "psql -X -q -f \"$0\"", "DROP FUNCTION IF EXISTS add_rows(int)",
     "INSERT INTO t VALUES(1, 'semi;colon'); -- a comment; it's here\n"
     "INSERT INTO t VALUES(2, E'it\\'s; escaped');\n"
     "INSERT INTO t VALUES(3, $$dollar; 'quoted'$$), (4, $tag$ $$ ; $tag$);\n"
     "/* nested /* comment; */ it's; */ INSERT INTO t VALUES(5, 'after nested comment');\n"
     "SELECT (1; INSERT INTO t VALUES(6, 'split in parentheses'); SELECT 1);\n"
     "CREATE OR REPLACE FUNCTION add_rows(k int) RETURNS void LANGUAGE sql\n"
     "BEGIN ATOMIC INSERT INTO t VALUES(k, 'from function'); INSERT INTO t VALUES(k + 1, CASE WHEN k > 0 THEN "
     "'second; row' END); END;\n"
     "SELECT add_rows(7);\n"
     "INSERT INTO t VALUES(9, 'back\\slash'), (10, 'doubled '' quote; here'), (11, U&'\\0041;');\n"
     "INSERT INTO t SELECT 12, 'quoted name' AS \"x;y\";\n"
     "CREATE FUNCTION junk() 1begin; INSERT INTO t VALUES(13, 'after junk'); END;\n"
     "CREATE FUNCTION junk() BEGIN ATOMIC SELECT $1end, 1e5end, 1e5$end, :end; DELETE FROM t; END;\n",
     "8|second; row"},
    {{"mariadb"}, "mysql",
     "MYSQL_PWD=\"$VARN_DB_PASSWORD\" mariadb --no-defaults --socket=\"$VARN_MARIA_SOCKET\" -u\"$VARN_DB_USER\" "
     "--force \"$VARN_MARIA_DATABASE\" <\"$0\"",
     "SELECT 1",
     "INSERT INTO t VALUES(1, 'it\\'s; DELETE FROM t; -- ');\n"
     "INSERT INTO t VALUES(2, \"double \\\" quote; here\"), (3, 'doubled '' quote;'); # comment; it's\n"
     "INSERT INTO t VALUES(4, 'dash comment'); -- comment; it's\n"
     "INSERT INTO t VALUES(5, 'no comment')--5; INSERT INTO t VALUES(6, 'after a failed one');\n"
     "/* block; 'quote */ INSERT INTO `t` VALUES(7, 'backticked; `name`');\n"
     "INSERT INTO t VALUES(8, 'conditional' /*! ; */);\n"
     "INSERT INTO t VALUES(9, 'back\\\\slash'), (10, `b`);\n"
     "INSERT INTO t VALUES(11, 'last');\n",
     "1|it's; DELETE FROM t; -- "},
};

class DialectAgainstShell : public testing::TestWithParam<ShellScript> {
protected:
    void TearDown() override { StopService(&run); }
    ServiceRun run;
};

TEST_P(DialectAgainstShell, SameRowsAsTheShell)
{
    const ShellScript &c = GetParam();
    DataSource source = ServerSource(c.name);
    UseDataSource(source, "");
    QueryDataSource(source, c.cleanup);
    ASSERT_TRUE(ResetTable(source));
    int port = FreePort();
    std::vector<std::string> settings = SourceSettings(source);
    settings.push_back(PortValue(port));
    settings.push_back(std::string("\"SQL Dialect\"=\"") + c.dialect + "\"");
    ASSERT_TRUE(StartService(&run, SettingsFile(settings), port));
    ASSERT_TRUE(Visit(run, "127.0.0.1", {c.script})) << ServiceLog(run);
    std::string throughService = QueryDataSource(source, "SELECT a, b FROM t ORDER BY a");

    QueryDataSource(source, c.cleanup);
    ASSERT_TRUE(ResetTable(source));
    WriteFile(run.dir + "/script.sql", c.script);
    RunCommand("sh -c " + ShellQuote(c.shell) + " " + ShellQuote(run.dir + "/script.sql"));
    std::string throughShell = QueryDataSource(source, "SELECT a, b FROM t ORDER BY a");

    // What the script leaves besides t would keep the next run from
    // dropping t.
    QueryDataSource(source, c.cleanup);

    EXPECT_EQ(throughShell, throughService) << ServiceLog(run);
    EXPECT_NE(std::string::npos, throughService.find(c.someRow)) << throughService;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(DialectAgainstShell);
INSTANTIATE_TEST_SUITE_P(Service, DialectAgainstShell,
                         testing::ValuesIn(ServersRunning() ? std::vector<ShellScript>(std::begin(kShellScripts),
                                                                                       std::end(kShellScripts))
                                                            : std::vector<ShellScript>()),
                         CaseName());

}  // namespace
