// What the operator is told, read by real parsers: the metrics file by
// Python's prometheus_client and through a real node_exporter, the JSON
// console by Python's json, the file never seen half-written.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kPython[] = "/usr/bin/python3";
const char kNodeExporter[] = "/usr/bin/prometheus-node-exporter";

// What tests/support/read_output.py makes of `source`.
std::string ReadOutput(const char *mode, const std::string &source)
{
    return RunCommand(std::string(kPython) + " " + ShellQuote(VARN_TEST_SOURCE_DIR "/support/read_output.py") + " " +
                      mode + " " + ShellQuote(source));
}

bool HaveParsers()
{
    return !RunsUnderWine() && RunCommand(std::string(kPython) + " -c 'import prometheus_client' && echo ok") == "ok\n";
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at + 1));
    return lines;
}

std::string Hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes)
        hex += std::string(1, digits[c >> 4]) + digits[c & 15];
    return hex;
}

// Every counter after a run with known statements: three that ran, one
// rejected, one too long, one with a NUL byte, two clients denied, two
// spooled while PostgreSQL was stopped and replayed once it was back, one
// left incomplete; the same samples served by node_exporter.
TEST(Metrics, postgres_EveryCounterSaysWhatHappened)
{
    if (!ServersRunning() || !HaveParsers() || access(kNodeExporter, X_OK) != 0)
        GTEST_SKIP() << "needs the throwaway servers, prometheus_client and node_exporter";
    DataSource source = ServerSource("postgres");
    std::string dir = MakeTempDir();
    UseDataSource(source, dir);
    ASSERT_TRUE(ResetTable(source));
    int port = FreePort();
    std::vector<std::string> settings = SourceSettings(source);
    settings.insert(settings.end(), {PortValue(port), SpoolValue(dir + "/spool"), Dword("Max Clients", 4),
                                     "\"Allow IP\"=\"127.0.0.0\"", "\"Allow Mask\"=\"255.255.255.0\"",
                                     "\"Metrics File\"=\"" + dir + "/varn.prom\""});
    ServiceRun run;
    ASSERT_TRUE(StartService(&run, SettingsFile(settings), port)) << ServiceLog(run);
    ASSERT_TRUE(Visit(run, "127.0.0.2", {Insert(1, "a") + Insert(2, "b") + Insert(3, "c") + "INSERT INTO nosuch VALUES(1);COPY t FROM STDIN;",
                                         "SELECT '" + std::string(1000, 'x') + "';", std::string("SELECT '\0';", 11)}));
    for (int denied = 0; denied < 2; denied++)
        ASSERT_TRUE(Visit(run, "127.0.1.5", {Insert(9, "no")}, "Access denied"));
    RunCommand("\"$VARN_DBSERVERS\" pg-stop \"$VARN_SERVERS_DIR\"");
    ASSERT_TRUE(Visit(run, "127.0.0.3", {Insert(4, "d") + Insert(5, "e")}));
    RunCommand("\"$VARN_DBSERVERS\" pg-start \"$VARN_SERVERS_DIR\"");
    ASSERT_TRUE(WaitForLog(run, "Spool empty.", 1, 20000)) << ServiceLog(run);
    ASSERT_TRUE(Visit(run, "127.0.0.4", {"INSERT INTO t VAL"}));
    kill(run.pid, SIGTERM);
    ASSERT_EQ(0, WaitForExit(&run, 10000)) << ServiceLog(run);

    std::string samples = ReadOutput("metrics", dir + "/varn.prom");
    std::vector<std::string> expected;
    for (const char *line :
         {"clients{} 0", "clients_connected_total{} 5", "clients_admitted_total{} 3", "clients_denied_total{} 2",
          "statements_read_total{} 9", "statements_run_total{} 5", "statements_failed_total{sqlstate_class=\"42\"} 1",
          "statements_unknown_outcome_total{} 0", "statements_spooled_total{} 2", "statements_replayed_total{} 2",
          "statements_dropped_total{reason=\"spool_full\"} 0", "statements_dropped_total{reason=\"spool_unwritable\"} 0",
          "statements_dropped_total{reason=\"too_long\"} 1", "statements_dropped_total{reason=\"nul_byte\"} 1",
          "statements_dropped_total{reason=\"incomplete\"} 1", "statements_dropped_total{reason=\"not_sent\"} 0",
          "statements_dropped_total{reason=\"stopping\"} 0", "statements_dropped_total{reason=\"screened\"} 1",
          "statements_waiting{} 0", "sessions{} 1",
          "sessions_busy{} 0", "sessions_kept{} 0", "spool_waiting_statements{} 0", "spool_waiting_bytes{} 0",
          "spool_file_bytes{} 0", "connects_total{} 7", "connect_failures_total{} 1", "metrics_write_failures_total{} 0",
          "statement_duration_seconds_bucket{le=\"+Inf\"} 7", "statement_duration_seconds_count{} 7"})
        expected.push_back(std::string("varn_odbc_") + line + "\n");
    std::sort(expected.begin(), expected.end());
    // Of the times, only how many there were.
    std::vector<std::string> exact;
    for (const std::string &sample : Lines(samples))
        if (sample.find("_sum{") == std::string::npos &&
            (sample.find("_bucket{") == std::string::npos || sample.find("+Inf") != std::string::npos))
            exact.push_back(sample);
    EXPECT_EQ(expected, exact) << ServiceLog(run);

    // node_exporter's textfile collector serves the same samples.
    int exporterPort = FreePort();
    std::string url = "http://127.0.0.1:" + std::to_string(exporterPort) + "/metrics";
    pid_t exporter = fork();
    if (exporter == 0) {
        execl(kNodeExporter, kNodeExporter, ("--web.listen-address=127.0.0.1:" + std::to_string(exporterPort)).c_str(),
              "--collector.disable-defaults", "--collector.textfile",
              ("--collector.textfile.directory=" + dir).c_str(), (char *)NULL);
        _exit(127);
    }
    std::string served;
    for (long until = NowMs() + 10000; NowMs() < until && served.find("varn_odbc_") == std::string::npos;
         usleep(100000))
        served = ReadOutput("metrics", url);
    kill(exporter, SIGTERM);
    waitpid(exporter, NULL, 0);
    EXPECT_EQ(samples, served);
    RemoveTree(run.dir);
    RemoveTree(dir);
}

// The metrics file is rewritten every 20 ms under load while it is read
// 1,000 times: every read finds a whole file.
TEST(Metrics, NeverSeenHalfWritten)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "needs the test host's shortened metrics period";
    std::string dir = MakeTempDir();
    UseSqliteOdbcConfig(dir, dir + "/test.db");
    RunCommand("sqlite3 " + dir + "/test.db 'CREATE TABLE t(a INTEGER, b TEXT)'");
    int port = FreePort();
    ServiceRun run;
    ASSERT_TRUE(StartService(&run, SettingsFile({PortValue(port), "\"Data Source\"=\"varn_sqlite\"",
                                                 "\"Metrics File\"=\"" + dir + "/varn.prom\""}),
                             port, {90000, 30000, 20}))
        << ServiceLog(run);
    bool sending = true;
    std::thread load([&] {
        int fd = ConnectFrom("127.0.0.1", port);
        for (int a = 0; sending && a < 100000; a++)
            SendAll(fd, Insert(a, "load"));
        close(fd);
    });
    std::string previous;
    int whole = 0, changes = 0;
    for (int read = 0; read < 1000; read++, usleep(2000)) {
        std::string text = ReadFile(dir + "/varn.prom");
        size_t last = text.rfind("\nvarn_odbc_statement_duration_seconds_count ");
        whole += text.rfind("# HELP varn_odbc_clients ", 0) == 0 && last != std::string::npos &&
                 text.find('\n', last + 1) == text.size() - 1;
        changes += text != previous;
        previous = text;
    }
    sending = false;
    load.join();
    EXPECT_EQ(1000, whole);
    EXPECT_GT(changes, 20) << "the file should have been rewritten many times";
    StopService(&run);
    RemoveTree(dir);
}

// A metrics file whose folder turns read-only (a bind mount in a mount
// namespace of the test's own) is said once for the spell of failures,
// which the file counts once it is written again.
TEST(Metrics, FailureSaidOnceThenCounted)
{
    if (RunsUnderWine() || unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
        GTEST_SKIP() << "needs root for a mount of its own, and the test host";
    std::string dir = MakeTempDir(), folder = dir + "/m", path = folder + "/varn.prom", text;
    ASSERT_TRUE(mkdir(folder.c_str(), 0700) == 0 && mount(folder.c_str(), folder.c_str(), NULL, MS_BIND, NULL) == 0);
    UseSqliteOdbcConfig(dir, dir + "/test.db");
    ServiceRun run;
    int port = FreePort();
    ASSERT_TRUE(StartService(&run, SettingsFile({PortValue(port), "\"Metrics File\"=\"" + path + "\""}), port,
                             {90000, 30000, 20})) << ServiceLog(run);
    ASSERT_EQ(0, mount(NULL, folder.c_str(), NULL, MS_REMOUNT | MS_BIND | MS_RDONLY, NULL));
    std::string line = "Metrics file " + path + " cannot be written: Read-only file system\n";
    EXPECT_TRUE(WaitForLog(run, line, 1, 5000)) << ServiceLog(run);
    usleep(300000);  // some fifteen writes fail meanwhile
    ASSERT_EQ(0, mount(NULL, folder.c_str(), NULL, MS_REMOUNT | MS_BIND, NULL));
    for (long until = NowMs() + 5000; NowMs() < until && atoi(text.c_str()) < 2; usleep(20000)) {
        text = ReadFile(path) + "\nvarn_odbc_metrics_write_failures_total ";
        text = text.substr(text.find("\nvarn_odbc_metrics_write_failures_total ") + 40);
    }
    EXPECT_GE(atoi(text.c_str()), 2);
    EXPECT_EQ(1, CountOf(ServiceLog(run), line)) << ServiceLog(run);
    StopService(&run);
    umount2(folder.c_str(), MNT_DETACH);
    RemoveTree(dir);
}

// With "Log Format" json every line is one JSON object, and a statement's
// text in it is exactly the bytes the client sent, whatever they are.
TEST(JsonLog, HostileTextStaysInItsString)
{
    if (!HaveParsers())
        GTEST_SKIP() << "needs Python";
    std::string dir = MakeTempDir();
    UseSqliteOdbcConfig(dir, dir + "/test.db");
    int port = FreePort();
    ServiceRun run;
    ASSERT_TRUE(StartService(&run, SettingsFile({PortValue(port), "\"Data Source\"=\"varn_sqlite\"",
                                                 "\"Log Format\"=\"JSON\""}),
                             port))
        << ServiceLog(run);
    std::vector<std::string> sent = {
        "SELECT 'x\nIncoming connection from 10.0.0.1\r\n{\"event\":\"forged\"} \"q\" back\\slash \x01\x1b\x7f';",
        "SELECT '" + std::string(600, '\xe9') + std::string(388, 'y') + "';",
        "SELECT * FROM \"no\nsuch\";"};
    std::string all;
    for (const std::string &statement : sent)
        all += statement;
    ASSERT_TRUE(Visit(run, "127.0.0.1", {all}));
    std::string events = ReadOutput("json", run.logPath);
    std::string expected;
    for (const std::string &statement : sent)
        expected += "query " + Hex(statement) + "\n";
    std::string queries;
    for (size_t at = 0, end; (end = events.find('\n', at)) != std::string::npos; at = end + 1)
        if (events.compare(at, 6, "query ") == 0)
            queries += events.substr(at, end + 1 - at);
    EXPECT_EQ(expected, queries) << events;
    EXPECT_NE(std::string::npos, events.find("diagnostic ")) << events;
    EXPECT_EQ(CountOf(ServiceLog(run), "\n"), CountOf(events, "\n")) << "a line that is not one JSON object";
    StopService(&run);
    RemoveTree(dir);
}

}  // namespace
