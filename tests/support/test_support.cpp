// Shared test mechanics: temp folders, a private ODBC configuration, loopback
// clients, and running the real service as a child process.
#include "test_support.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>


std::string MakeTempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/varn-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == NULL)
        return std::string();
    return std::string(name.data());
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

void RemoveTree(const std::string &dir)
{
    if (!dir.empty())
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::string ReadFile(const std::string &path)
{
    std::string bytes;
    FILE *file = fopen(path.c_str(), "rb");
    char chunk[4096];
    size_t got;
    if (file == NULL)
        return bytes;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, got);
    fclose(file);
    return bytes;
}

void UseSqliteOdbcConfig(const std::string &dir, const std::string &databasePath)
{
    WriteFile(dir + "/odbcinst.ini", "[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=" VARN_SQLITE_ODBC_DRIVER
                                     "\nUsageCount=1\n");
    WriteFile(dir + "/odbc.ini", "[varn_sqlite]\nDriver=SQLite3\nDatabase=" + databasePath + "\nTimeout=2000\n");
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
}


std::string QuerySqlite(const std::string &databasePath, const std::string &sql)
{
    return RunCommand("sqlite3 " + ShellQuote(databasePath) + " " + ShellQuote(sql));
}

std::string SettingsFile(const std::vector<std::string> &valueLines)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]\n";
    for (const std::string &line : valueLines)
        text += line + "\n";
    return text;
}

std::string PortValue(int port)
{
    char line[64];
    snprintf(line, sizeof line, "\"TCP Port\"=dword:%08x", (unsigned)port);
    return line;
}

int ConnectFrom(const char *from, int port)
{
    struct sockaddr_in local;
    struct sockaddr_in server;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons((uint16_t)port);
    if (bind(fd, (struct sockaddr *)&local, sizeof local) != 0 ||
        connect(fd, (struct sockaddr *)&server, sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

bool WaitForPeerClose(int fd, int milliseconds)
{
    struct pollfd wait = {fd, POLLIN, 0};
    char byte;
    if (poll(&wait, 1, milliseconds) <= 0)
        return false;
    return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

int FreePort()
{
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    int port = 0;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    // The wildcard address, as the service binds it: a port that a client
    // from another 127.x address has left in TIME_WAIT is then not chosen.
    // The native service could bind it anyway (SO_REUSEADDR); the Windows
    // build under Wine could not.
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

SocketPair::SocketPair(bool tcp)
{
    int fds[2];
    if (!tcp) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            service = fds[0];
            client = fds[1];
        }
        return;
    }
    struct sockaddr_in address = {};
    socklen_t length = sizeof address;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) == 0 && listen(listener, 1) == 0 &&
        getsockname(listener, (struct sockaddr *)&address, &length) == 0) {
        client = ConnectFrom("127.0.0.1", ntohs(address.sin_port));
        service = accept(listener, NULL, NULL);
    }
    close(listener);
}

SocketPair::~SocketPair()
{
    if (service >= 0)
        close(service);
    if (client >= 0)
        close(client);
}

void SocketPair::Reset()
{
    struct linger abortive = {1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(client);
    client = -1;
}

std::string TestName(const char *text)
{
    std::string name;
    for (const char *p = text; *p; p++)
        name += isalnum((unsigned char)*p) ? *p : '_';
    return name;
}

bool RunsUnderWine()
{
    const char *exe = getenv("VARN_TEST_WINE_EXE");
    return exe != NULL && *exe != '\0';
}

// The service's key as the Windows tools name it.
static const char kWineServiceKey[] = "HKLM\\SOFTWARE\\Halvorin\\VARN ODBC";

// Runs a program with its output appended to `outputPath` and waits up to
// `ms` for it. Returns its exit status, or -1 when it could not be run or
// did not end in time (it is then killed).
static int RunTool(const std::vector<std::string> &argv, const std::string &outputPath, int ms)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(NULL);

    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        dup2(out, 1);
        dup2(out, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid < 0)
        return -1;
    ServiceRun tool;
    tool.pid = pid;
    int status = WaitForExit(&tool, ms);
    if (status == -1 && tool.pid > 0) {
        kill(tool.pid, SIGKILL);
        WaitForExit(&tool, 5000);
        return -1;
    }
    return status;
}

// Puts the run's settings into the Wine prefix's registry: the key as the
// file describes it and nothing left from an earlier run.
static bool ImportWineSettings(const ServiceRun &run, const std::string &settingsText)
{
    std::string toolLog = run.dir + "/wine-tools.log";
    // Fails with status 1 when the key is not there, which is fine.
    RunTool({"wine", "reg", "delete", kWineServiceKey, "/f"}, toolLog, 60000);
    if (settingsText.empty())
        return true;
    // Z: is the prefix's drive for the Unix root.
    if (RunTool({"wine", "regedit", "/S", "Z:" + run.settingsPath}, toolLog, 60000) != 0) {
        ADD_FAILURE() << "regedit could not import " << run.settingsPath << ": " << ReadFile(toolLog);
        return false;
    }
    return true;
}

int CountOf(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        count++;
    return count;
}

std::string ServiceLog(const ServiceRun &run)
{
    std::string raw = ReadFile(run.logPath);
    if (!RunsUnderWine())
        return raw;
    std::string text;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        text += raw[i];
    }
    return text;
}

std::vector<std::string> ServiceLogLines(const ServiceRun &run)
{
    std::vector<std::string> lines;
    std::string raw = ReadFile(run.logPath);
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\n', start);
        std::string line = raw.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end != std::string::npos && RunsUnderWine()) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            else
                ADD_FAILURE() << "console line without the carriage return of text mode: \"" << line << "\"";
        }
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

int WaitForExit(ServiceRun *run, int ms)
{
    long deadline = NowMs() + ms;
    int status;
    while (run->pid > 0) {
        pid_t done = waitpid(run->pid, &status, WNOHANG);
        if (done == run->pid) {
            run->pid = -1;
            run->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (NowMs() >= deadline)
            return -1;
        usleep(10000);
    }
    return run->exitStatus;
}

bool WaitForLog(const ServiceRun &run, const std::string &text, int count, int ms)
{
    long deadline = NowMs() + ms;
    for (;;) {
        if (CountOf(ServiceLog(run), text) >= count)
            return true;
        if (NowMs() >= deadline)
            return false;
        usleep(10000);
    }
}

bool StartService(ServiceRun *run, const std::string &settingsText, int port)
{
    run->dir = MakeTempDir();
    run->settingsPath = run->dir + "/settings.reg";
    run->logPath = run->dir + "/console.log";
    run->port = port;
    WriteFile(run->settingsPath, settingsText);
    if (RunsUnderWine() && !ImportWineSettings(*run, settingsText))
        return false;

    run->pid = fork();
    if (run->pid == 0) {
        int log = open(run->logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (RunsUnderWine()) {
            const char *exe = getenv("VARN_TEST_WINE_EXE");
            execlp("wine", "wine", exe, (char *)NULL);
        } else {
            execl(VARN_SERVICE_HOST, VARN_SERVICE_HOST, run->settingsPath.c_str(), (char *)NULL);
        }
        _exit(127);
    }
    if (run->pid < 0)
        return false;

    // Wine needs a moment to load the program and its DLLs.
    long deadline = NowMs() + (RunsUnderWine() ? 30000 : 10000);
    while (NowMs() < deadline) {
        if (ServiceLog(*run).find("Listening on TCP port") != std::string::npos)
            return true;
        if (WaitForExit(run, 10) != -1)
            return false;
    }
    return false;
}

void StopService(ServiceRun *run)
{
    // Wine takes a second or more to act on SIGTERM; the service has no
    // orderly shutdown to wait for, so under Wine it is killed at once.
    if (run->pid > 0 && RunsUnderWine()) {
        kill(run->pid, SIGKILL);
        WaitForExit(run, 5000);
    }
    if (run->pid > 0) {
        kill(run->pid, SIGTERM);
        if (WaitForExit(run, 5000) == -1 && run->pid > 0) {
            kill(run->pid, SIGKILL);
            WaitForExit(run, 5000);
        }
    }
    RemoveTree(run->dir);
    run->dir.clear();
}

static std::string Environment(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

std::string RunCommand(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    char chunk[4096];
    size_t got;
    if (pipe == NULL)
        return "popen failed";
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

// Quotes text for the shell inside single quotes.
std::string ShellQuote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool ServersRunning()
{
    return !Environment("VARN_SERVERS_DIR").empty();
}

std::vector<DataSource> AvailableDataSources(bool withSqlite)
{
    std::vector<DataSource> sources;
    if (withSqlite)
        sources.push_back({"sqlite", "varn_sqlite", "", "", {"  [SQLite]no such table: nosuch (1)"}});
    if (ServersRunning()) {
        std::string user = Environment("VARN_DB_USER");
        std::string password = Environment("VARN_DB_PASSWORD");
        sources.push_back({"postgres", Environment("VARN_DSN_PG"), user, password,
                           {"  ERROR: relation \"nosuch\" does not exist;", "Error while executing the query"}});
        sources.push_back({"mariadb", Environment("VARN_DSN_MARIA"), user, password,
                           {"  [ma-<any>]Table 'varn.nosuch' doesn't exist"}});
    }
    return sources;
}

void UseDataSource(const DataSource &source, const std::string &dir)
{
    if (ServersRunning()) {
        setenv("ODBCSYSINI", Environment("VARN_SERVERS_DIR").c_str(), 1);
        setenv("ODBCINI", (Environment("VARN_SERVERS_DIR") + "/odbc.ini").c_str(), 1);
        return;
    }
    if (source.name == "sqlite")
        UseSqliteOdbcConfig(dir, dir + "/test.db");
}

std::string QueryDataSource(const DataSource &source, const std::string &sql)
{
    if (source.name == "postgres")
        return RunCommand("PGOPTIONS='-c client_min_messages=warning' psql -X -q -At -F'|' -v ON_ERROR_STOP=1 -c " + ShellQuote(sql));
    if (source.name == "mariadb")
        return RunCommand("MYSQL_PWD=" + ShellQuote(source.password) + " mariadb --no-defaults --socket=" +
                          ShellQuote(Environment("VARN_MARIA_SOCKET")) + " -u" + ShellQuote(source.user) + " " +
                          ShellQuote(Environment("VARN_MARIA_DATABASE")) + " -N -B -e " + ShellQuote(sql) +
                          " | tr '\\t' '|'");
    std::string database = ServersRunning() ? Environment("VARN_SQLITE_DB")
                                            : Environment("ODBCSYSINI") + "/test.db";
    return RunCommand("sqlite3 " + ShellQuote(database) + " " + ShellQuote(sql));
}

bool ResetTable(const DataSource &source)
{
    return QueryDataSource(source, "DROP TABLE IF EXISTS t; CREATE TABLE t(a INTEGER, b VARCHAR(2000));") == "";
}

static bool LineMatches(const std::string &expected, const std::string &actual)
{
    const std::string any = "<any>";
    size_t cut = expected.find(any);
    if (cut == std::string::npos)
        return expected == actual;
    // The first piece must start the line and the last must end it; the
    // pieces between must follow in order.
    std::string head = expected.substr(0, cut);
    size_t lastCut = expected.rfind(any);
    std::string tail = expected.substr(lastCut + any.size());
    if (actual.size() < head.size() + tail.size() || actual.compare(0, head.size(), head) != 0 ||
        actual.compare(actual.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    size_t at = head.size();
    size_t limit = actual.size() - tail.size();
    while (cut != lastCut) {
        size_t next = expected.find(any, cut + any.size());
        std::string piece = expected.substr(cut + any.size(), next - cut - any.size());
        size_t found = actual.find(piece, at);
        if (found == std::string::npos || found + piece.size() > limit)
            return false;
        at = found + piece.size();
        cut = next;
    }
    return true;
}

bool LinesMatch(const std::vector<std::string> &expected, const std::vector<std::string> &actual,
                std::string *difference)
{
    bool same = expected.size() == actual.size();
    for (size_t i = 0; same && i < expected.size(); i++)
        same = LineMatches(expected[i], actual[i]);
    if (!same) {
        std::ostringstream out;
        out << "expected:\n";
        for (const std::string &line : expected)
            out << "  [" << line << "]\n";
        out << "actual:\n";
        for (const std::string &line : actual)
            out << "  [" << line << "]\n";
        *difference = out.str();
    }
    return same;
}

bool SanitizerBuild()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}
