// The service behind a real HAProxy (Debian's package), started by the test
// as a throwaway process on loopback: devices from 127.0.0.2 and 127.0.0.3
// reach the service through it with PROXY headers of both versions, its
// health checks come and go unseen, and two instances share its frontend
// through a rolling restart.
#include "test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

bool HaveHaproxy()
{
    return RunCommand("command -v haproxy") != "";
}

// A frontend on 127.0.0.1:`front` that relays to the services on `ports`,
// each a server line with `options`.
std::string Frontend(const std::string &name, int front, const std::vector<int> &ports, const std::string &options)
{
    std::string text = "listen " + name + "\n  bind 127.0.0.1:" + std::to_string(front) + "\n";
    for (int port : ports)
        text += "  server s" + std::to_string(port) + " 127.0.0.1:" + std::to_string(port) + " " + options + "\n";
    return text;
}

// HAProxy in the foreground with `frontends` in a configuration of its own
// folder, until it is stopped by its pid; Start waits until each port in
// `fronts` listens.
struct Haproxy {
    pid_t pid = -1;
    std::string dir = MakeTempDir();
    ~Haproxy()
    {
        if (pid > 0 && kill(pid, SIGTERM) == 0)
            waitpid(pid, NULL, 0);
        RemoveTree(dir);
    }
    bool Start(const std::string &frontends, const std::vector<int> &fronts)
    {
        WriteFile(dir + "/haproxy.cfg", "defaults\n  mode tcp\n  timeout connect 200ms\n  timeout client 20s\n"
                                        "  timeout server 20s\n  retries 3\n  option redispatch\n" + frontends);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            freopen((dir + "/haproxy.log").c_str(), "w", stdout);
            dup2(1, 2);
            execlp("haproxy", "haproxy", "-db", "-f", (dir + "/haproxy.cfg").c_str(), (char *)NULL);
            _exit(127);
        }
        for (int front : fronts)
            for (long deadline = NowMs() + 5000;
                 RunCommand("ss -Hltn 'sport = :" + std::to_string(front) + "'").empty(); usleep(20000))
                if (NowMs() > deadline)
                    return false;
        return true;
    }
};

// True when the peer ended the connection, cleanly or not, within `ms`.
bool Ended(int fd, int ms)
{
    struct pollfd wait = {fd, POLLIN, 0};
    char byte;
    return poll(&wait, 1, ms) > 0 && recv(fd, &byte, 1, 0) <= 0;
}

const char kV2 = 'v';      // through the frontend that sends version 2 headers (and checks)
const char kV1 = '1';      // through the one that sends version 1 headers
const char kDirect = 'd';  // straight to the service

// A device's visit and the lines it makes, each after the device's own
// "[address:port] " (the header's address and port, through HAProxy).
struct ProxyVisit {
    char via;
    const char *from;
    std::string sent;
    std::vector<std::string> lines;
};

const std::string kClaim = "PROXY TCP4 127.0.0.9 127.0.0.1 5 6\r\n";
const std::vector<std::string> kDenied3 = {"Incoming connection from 127.0.0.3", "Access denied"};

const ProxyVisit kVisits[] = {
    {kV2, "127.0.0.2", Insert(1, "v2"),
     {"Incoming connection from 127.0.0.2", QueryLine(Insert(1, "v2")), "Peer closed connection."}},
    {kV1, "127.0.0.2", Insert(2, "v1"),
     {"Incoming connection from 127.0.0.2", QueryLine(Insert(2, "v1")), "Peer closed connection."}},
    {kV2, "127.0.0.3", Insert(3, "v2"), kDenied3},
    {kV1, "127.0.0.3", Insert(4, "v1"), kDenied3},
    // The proxy's own address without a header runs nothing.
    {kDirect, "127.0.0.1", Insert(5, "no header"), {"Proxy header missing or not usable from 127.0.0.1"}},
    // A device that is no proxy gains nothing by a header: it is itself,
    // and the header is text like any other.
    {kDirect, "127.0.0.3", "PROXY TCP4 127.0.0.2 127.0.0.1 5 6\r\n" + Insert(6, "claimed"), kDenied3},
    {kDirect, "127.0.0.2", kClaim + Insert(7, "claimed"),
     {"Incoming connection from 127.0.0.2", QueryLine(kClaim + Insert(7, "claimed")), "ERROR: Executing Statemtent",
      "  [SQLite]near \"PROXY\": syntax error (1)", "Peer closed connection."}},
};

class ProxyService : public SqliteService {
protected:
    std::vector<std::string> ProxySettings(const std::string &spool)
    {
        return {"\"Proxy IP\"=\"127.0.0.1\"", Dword("Max Clients", 32), SpoolValue(dir + "/" + spool)};
    }
};

// Through HAProxy, the device's address is the one admitted and named on
// every line; health checks every 100 ms write nothing, and are counted.
TEST_F(ProxyService, DevicesAreThemselvesThroughTheProxy)
{
    if (!HaveHaproxy())
        GTEST_SKIP() << "needs haproxy";
    std::vector<std::string> settings = ProxySettings("spool");
    settings.push_back("\"Allow IP\"=\"127.0.0.2\"");
    if (!RunsUnderWine())
        settings.push_back("\"Metrics File\"=\"" + dir + "/metrics.prom\"");
    ASSERT_TRUE(Start(settings, {90000, 30000, 100})) << ServiceLog(run);
    int v2 = FreePort();
    int v1 = FreePort();
    Haproxy haproxy;
    ASSERT_TRUE(haproxy.Start(Frontend("v2", v2, {port}, "send-proxy-v2 check inter 100ms") +
                                  Frontend("v1", v1, {port}, "send-proxy"), {v2, v1}))
        << ReadFile(haproxy.dir + "/haproxy.log");
    std::vector<std::string> expected = {"<any>", "<any>", "Allowed host 127.0.0.2", "Trusted proxy 127.0.0.1",
                                         "Max clients 32"};
    for (const ProxyVisit &visit : kVisits) {
        int fd = ConnectFrom(visit.from, visit.via == kV2 ? v2 : visit.via == kV1 ? v1 : port, "127.0.0.1");
        ASSERT_TRUE(SendAll(fd, visit.sent));
        shutdown(fd, SHUT_WR);
        for (const std::string &line : visit.lines)
            for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1)
                expected.push_back((start ? "" : PrefixOf(fd)) + line.substr(start, (end = line.find('\n', start)) - start));
        EXPECT_TRUE(WaitForLog(run, expected.back(), 1, 10000)) << visit.sent << "\n" << ServiceLog(run);
        close(fd);
    }
    usleep(400000);
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ("1|v2\n2|v1\n", Sql("SELECT a, b FROM t ORDER BY a"));
    if (!RunsUnderWine()) {
        std::string metrics = ReadFile(dir + "/metrics.prom");
        EXPECT_NE(std::string::npos, metrics.find("varn_odbc_proxy_clients_total 4\n")) << metrics;
        EXPECT_NE(std::string::npos, metrics.find("varn_odbc_proxy_headers_refused_total 1\n")) << metrics;
        EXPECT_EQ(std::string::npos, metrics.find("varn_odbc_proxy_health_checks_total 0\n")) << metrics;
    }
}

// Two instances behind one frontend, each with a spool of its own; 100
// devices each send 10 INSERTs in one write on one connection (more than
// one receive takes) and wait for its close. The database is held locked while ten of them come at once,
// and the first instance is stopped by SIGTERM with its five waiting for
// its one session, then started again midway: every row lands exactly once.
TEST_F(ProxyService, RollingRestartKeepsEveryRowOnce)
{
    if (!HaveHaproxy() || RunsUnderWine())
        GTEST_SKIP() << "needs haproxy and the native build's SIGTERM";
    ServiceRun second;
    ServiceRun restarted;
    int secondPort = FreePort();
    int front = FreePort();
    std::vector<std::string> settings = {PortValue(secondPort), "\"Data Source\"=\"varn_sqlite\""};
    for (const std::string &value : ProxySettings("spool-b"))
        settings.push_back(value);
    ASSERT_TRUE(Start(ProxySettings("spool-a"))) << ServiceLog(run);
    ASSERT_TRUE(StartService(&second, SettingsFile(settings), secondPort)) << ServiceLog(second);
    Haproxy haproxy;
    ASSERT_TRUE(haproxy.Start(Frontend("f", front, {port, secondPort}, "send-proxy-v2 check inter 100ms fall 1 rise 1"),
                              {front}));
    sqlite3 *holder = NULL;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/test.db").c_str(), &holder));
    std::atomic<int> ended{0};
    std::vector<std::thread> devices;
    int burst = 0;  // the first instance's clients once its half of the ten is in
    for (int device = 0; device < 100; device++) {
        if (device == 40) {
            sqlite3_exec(holder, "BEGIN EXCLUSIVE", NULL, NULL, NULL);
            burst = CountOf(ServiceLog(run), "Incoming connection") + 5;
        }
        if (device == 50) {
            WaitForLog(run, "Incoming connection", burst, 5000);
            usleep(100000);
            kill(run.pid, SIGTERM);
            usleep(200000);
            sqlite3_exec(holder, "COMMIT", NULL, NULL, NULL);
        }
        if (device == 60) {
            ASSERT_EQ(0, WaitForExit(&run, 10000)) << ServiceLog(run);
            ASSERT_TRUE(StartService(&restarted, ReadFile(run.dir + "/settings.reg"), port));
        }
        devices.emplace_back([&, device] {
            std::string text;
            for (int a = device * 10; a < device * 10 + 10; a++)
                text += Insert(a, std::string(150, 'x'));
            int fd = ConnectFrom("127.0.0.2", front, "127.0.0.1");
            if (SendAll(fd, text) && shutdown(fd, SHUT_WR) == 0 && Ended(fd, 20000))
                ended++;
            close(fd);
        });
        if (device < 40 || device >= 50)
            usleep(20000);
    }
    for (std::thread &device : devices)
        device.join();
    sqlite3_close(holder);
    EXPECT_EQ(100, ended.load());
    EXPECT_TRUE(WaitForRows(1000, 15000)) << Count() << ServiceLog(run) << ServiceLog(restarted);
    EXPECT_EQ("", Sql("SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) <> 1"));
    // The stop kept what waited, and the restart ran it.
    EXPECT_LE(1, CountOf(ServiceLog(run), "Statement spooled")) << ServiceLog(run);
    EXPECT_EQ(1, CountOf(ServiceLog(restarted), "Spool empty.")) << ServiceLog(restarted);
    StopService(&second);
    StopService(&restarted);
}

}  // namespace
