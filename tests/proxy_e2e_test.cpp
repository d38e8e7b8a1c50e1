// The service behind a real HAProxy (Debian's), a throwaway process of the
// test's on loopback: devices from 127.0.0.2 and 127.0.0.3 through it with
// headers of both versions beside its health checks, and a rolling restart.
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// A frontend on 127.0.0.1:`front` to the services on `ports`.
std::string Listen(int front, const std::vector<int> &ports, const std::string &options)
{
    std::string text = "listen f" + std::to_string(front) + "\n bind 127.0.0.1:" + std::to_string(front) + "\n";
    for (int port : ports)
        text += " server s" + std::to_string(port) + " 127.0.0.1:" + std::to_string(port) + " " + options + "\n";
    return text;
}

// A device's visit through the frontend of version 2 or 1 headers (2, 1)
// or straight to the service (0), and its lines after "[its address:port] ".
struct ProxyVisit {
    int via;
    const char *from;
    std::string sent;
    std::vector<std::string> lines;
};

const std::vector<std::string> kDenied = {"Incoming connection from 127.0.0.3", "Access denied"};

const ProxyVisit kVisits[] = {
    {2, "127.0.0.2", Insert(1, "v2"), {"Incoming connection from 127.0.0.2", QueryLine(Insert(1, "v2")), "Peer closed connection."}},
    {1, "127.0.0.2", Insert(2, "v1"), {"Incoming connection from 127.0.0.2", QueryLine(Insert(2, "v1")), "Peer closed connection."}},
    {2, "127.0.0.3", Insert(3, "v2"), kDenied},
    {1, "127.0.0.3", Insert(4, "v1"), kDenied},
    {0, "127.0.0.1", Insert(5, "no header"), {"Proxy header missing or not usable from 127.0.0.1"}},
    // A device that is no proxy gains nothing by a header.
    {0, "127.0.0.3", "PROXY TCP4 127.0.0.2 127.0.0.1 5 6\r\n" + Insert(6, "claimed"), kDenied},
};

class ProxyService : public SqliteService {
protected:
    void TearDown() override
    {
        if (haproxy > 0)
            kill(haproxy, SIGTERM);
        StopService(&second);
        StopService(&restarted);
        SqliteService::TearDown();
    }
    // HAProxy in the foreground with `listens`, the one on `last` bound
    // last, bounded should the test end without stopping it by its pid.
    bool StartHaproxy(const std::string &listens, int last)
    {
        WriteFile(dir + "/haproxy.cfg", "defaults\n mode tcp\n timeout connect 200ms\n timeout client 20s\n"
                                        " timeout server 20s\n retries 3\n option redispatch\n" + listens);
        if (RunCommand("command -v haproxy").empty())
            return false;
        haproxy = atoi(RunCommand("timeout 120 haproxy -db -q -f " + dir + "/haproxy.cfg >/dev/null 2>&1 & echo $!").c_str());
        for (long until = NowMs() + 5000; NowMs() < until; usleep(20000))
            if (!RunCommand("ss -Hltn sport = :" + std::to_string(last)).empty())
                return true;
        return false;
    }
    pid_t haproxy = -1;
    ServiceRun second;
    ServiceRun restarted;
};

// Devices through HAProxy's frontends of either header version, or straight
// to the first of two instances, are themselves on its lines; health checks
// write none. Then 100 devices each send 10 INSERTs (more than a receive
// takes) in one write and wait for the close, through a frontend of both,
// while the first is stopped by SIGTERM and started again on its own
// spool. Every row lands once.
TEST_F(ProxyService, DevicesBehindHaproxy)
{
    if (RunsUnderWine())
        GTEST_SKIP() << "the header is read by code the native build runs alike; FailsClosed covers its settings";
    int fronts[4] = {port, FreePort(), FreePort(), FreePort()};
    int secondPort = FreePort();
    std::vector<std::string> settings = {"\"Proxy IP\"=\"127.0.0.1\"", "\"Proxy Mask\"=\"255.255.255.254\"",
                                         "\"Allow IP\"=\"127.0.0.2\"", Dword("Max Clients", 32),
                                         Dword("Stats Interval", 3600), SpoolValue(dir + "/spool-a")};
    ASSERT_TRUE(Start(settings)) << ServiceLog(run);
    settings.back() = SpoolValue(dir + "/spool-b");
    settings.insert(settings.end(), {PortValue(secondPort), "\"Data Source\"=\"varn_sqlite\""});
    ASSERT_TRUE(StartService(&second, SettingsFile(settings), secondPort));
    if (!StartHaproxy(Listen(fronts[1], {port}, "send-proxy") + Listen(fronts[2], {port}, "send-proxy-v2 check inter 100ms") +
                      Listen(fronts[3], {port, secondPort}, "send-proxy-v2 check inter 100ms fall 1 rise 1"), fronts[3]))
        GTEST_SKIP() << "needs haproxy";
    std::vector<std::string> expected = {"<any>", "<any>", "Allowed host 127.0.0.2",
                                         "Trusted proxy network 127.0.0.1 255.255.255.254", "Max clients 32"};
    for (const ProxyVisit &visit : kVisits) {
        EXPECT_TRUE(Visit(run, visit.from, {visit.sent}, visit.lines.back(), fronts[visit.via], "127.0.0.1"));
        for (const std::string &line : visit.lines)
            expected.push_back("[" + std::string(visit.from) + ":<any>] " + line);
    }
    std::string difference;
    EXPECT_TRUE(LinesMatch(expected, ServiceLogLines(run), &difference)) << difference;
    EXPECT_EQ("1|v2\n2|v1\n", Sql("SELECT a, b FROM t ORDER BY a"));

    std::vector<std::thread> devices;
    for (int device = 10; device < 110; device++) {
        if (device == 60) {
            usleep(100000);  // nothing on its way to it
            kill(run.pid, SIGTERM);
        } else if (device == 70) {
            ASSERT_EQ(0, WaitForExit(&run, 10000)) << ServiceLog(run);
            ASSERT_TRUE(StartService(&restarted, ReadFile(run.dir + "/settings.reg"), port));
        }
        devices.emplace_back([&, device] {
            std::string text;
            for (int a = device * 10; a < device * 10 + 10; a++)
                text += Insert(a, std::string(150, 'x'));
            int fd = ConnectFrom("127.0.0.2", fronts[3], "127.0.0.1");
            EXPECT_TRUE(SendAll(fd, text) && shutdown(fd, SHUT_WR) == 0 && WaitForPeerClose(fd, 20000)) << device;
            close(fd);
        });
        usleep(20000);
    }
    for (std::thread &device : devices)
        device.join();
    EXPECT_TRUE(WaitForRows(1002, 15000)) << Count() << ServiceLog(run) << ServiceLog(restarted);
    EXPECT_EQ("", Sql("SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) <> 1"));
    // Health checks came all along, and the stop's counters say so.
    std::vector<std::string> lines = ServiceLogLines(run);
    EXPECT_TRUE(LinesMatch({"Stats: <any> through the proxy, <any> health checks, 1 proxy headers refused", "Stopped."},
                           {lines.end() - 2, lines.end()}, &difference)) << difference;
    EXPECT_EQ(std::string::npos, ServiceLog(run).find(", 0 health checks")) << ServiceLog(run);
}

}  // namespace
