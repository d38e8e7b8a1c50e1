// Shared test mechanics: temp folders and files, commands, a private ODBC
// configuration, loopback clients, and the real service as a child process.
#include "test_support.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

std::ostream &operator<<(std::ostream &out, const NamedCase &row)
{
    return out << row.name;
}

std::ostream &operator<<(std::ostream &out, const DataSource &source)
{
    return out << source.name;
}

std::string MakeTempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/varn-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) == NULL ? std::string() : std::string(name.data());
}

void RemoveTree(const std::string &dir)
{
    if (!dir.empty())
        RunCommand("rm -rf " + ShellQuote(dir));
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string &path)
{
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

std::string RunCommand(const std::string &command)
{
    std::string output;
    FILE *pipe = popen(("exec 2>&1 </dev/null; " + command).c_str(), "r");
    char chunk[4096];
    size_t got;
    if (pipe == NULL)
        return "popen failed";
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

std::string ShellQuote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

int CountOf(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        count++;
    return count;
}

std::string TestName(const char *text)
{
    std::string name;
    for (const char *p = text; *p; p++)
        name += isalnum((unsigned char)*p) ? *p : '_';
    return name;
}

long CpuMs(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    long user = -1, system = -1;
    if (stat.rfind(')') != std::string::npos)
        sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &system);
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

long ResidentKiB(pid_t pid, const char *field)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(field);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(field));
}

int OpenDescriptors(pid_t pid)
{
    int count = 0;
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (fds != NULL && readdir(fds) != NULL)
        count++;
    if (fds != NULL)
        closedir(fds);
    return count;
}

bool SanitizerBuild()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

void UseSqliteOdbcConfig(const std::string &dir, const std::string &databasePath)
{
    WriteFile(dir + "/odbcinst.ini", "[SQLite3]\nDriver=" VARN_SQLITE_ODBC_DRIVER "\n");
    // No sync of the database file: no test judges what a crash of the
    // machine keeps, and a sync per statement made the tests of thousands
    // of statements wait on the disk for minutes.
    WriteFile(dir + "/odbc.ini",
              "[varn_sqlite]\nDriver=SQLite3\nDatabase=" + databasePath + "\nTimeout=2000\nSyncPragma=OFF\n");
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
}

std::string SettingsFile(const std::vector<std::string> &valueLines)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]\n";
    for (const std::string &line : valueLines)
        text += line + "\n";
    return text;
}

std::string Dword(const char *name, unsigned value)
{
    char line[96];
    snprintf(line, sizeof line, "\"%s\"=dword:%08x", name, value);
    return line;
}

std::string PortValue(int port)
{
    return Dword("TCP Port", (unsigned)port);
}

std::string SpoolValue(const std::string &path)
{
    return "\"Spool File\"=\"" + std::string(RunsUnderWine() ? "Z:" : "") + path + "\"";
}

std::string Insert(int a, const std::string &b)
{
    return "INSERT INTO t VALUES(" + std::to_string(a) + ", '" + b + "');";
}

int ConnectFrom(const char *from, int port, const char *to)
{
    struct sockaddr_in local = {};
    struct sockaddr_in server = {};
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    // To the same address: the service must listen on every address.
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = to ? inet_addr(to) : local.sin_addr.s_addr;
    server.sin_port = htons((uint16_t)port);
    if (fd >= 0 && (bind(fd, (struct sockaddr *)&local, sizeof local) != 0 ||
                    connect(fd, (struct sockaddr *)&server, sizeof server) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
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
    return poll(&wait, 1, milliseconds) > 0 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

int FreePort()
{
    struct sockaddr_in address = {};
    socklen_t length = sizeof address;
    int port = 0;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    // The wildcard address, as the service binds it, so that a port some
    // client left in TIME_WAIT is not chosen.
    address.sin_family = AF_INET;
    if (bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
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

bool RunsUnderWine()
{
    const char *exe = getenv("VARN_TEST_WINE_EXE");
    return exe != NULL && *exe != '\0';
}

// Puts the run's settings into the Wine prefix's registry: the key as the
// file describes it and nothing left from an earlier run.
static bool ImportWineSettings(const std::string &path, const std::string &settingsText)
{
    RunCommand("wine reg delete 'HKLM\\SOFTWARE\\Halvorin\\VARN ODBC' /f");
    if (settingsText.empty())
        return true;
    // Z: is the prefix's drive for the Unix root; regedit /S says nothing.
    std::string output = RunCommand("wine regedit /S " + ShellQuote("Z:" + path) + " && echo imported");
    EXPECT_NE(std::string::npos, output.find("imported")) << output;
    return output.find("imported") != std::string::npos;
}

bool StartService(ServiceRun *run, const std::string &settingsText, int port, const std::vector<int> &waitsMs)
{
    std::string settingsPath;
    if (run->dir.empty())
        run->dir = MakeTempDir();
    run->logPath = run->dir + "/console.log";
    run->port = port;
    settingsPath = run->dir + "/settings.reg";
    WriteFile(settingsPath, settingsText);
    if (RunsUnderWine() && !ImportWineSettings(settingsPath, settingsText))
        return false;

    std::vector<std::string> args = {VARN_SERVICE_HOST, settingsPath};
    for (int ms : waitsMs)
        args.push_back(std::to_string(ms));
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(NULL);
    pid_t parent = getpid();
    run->pid = fork();
    if (run->pid == 0) {
        int log = open(run->logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int none = open("/dev/null", O_RDONLY);
        // A test that fails or is killed leaves no service holding a port.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(none, 0);
        dup2(log, 1);
        dup2(log, 2);
        struct rlimit space = {(rlim_t)run->addressSpaceMiB << 20, (rlim_t)run->addressSpaceMiB << 20};
        if (run->addressSpaceMiB > 0 && !SanitizerBuild() && !RunsUnderWine() && setrlimit(RLIMIT_AS, &space) != 0)
            _exit(126);
        if (RunsUnderWine())
            execlp("wine", "wine", getenv("VARN_TEST_WINE_EXE"), (char *)NULL);
        else
            execv(VARN_SERVICE_HOST, argv.data());
        _exit(127);
    }
    // Wine needs a moment to load the program and its DLLs.
    for (long deadline = NowMs() + (RunsUnderWine() ? 30000 : 10000); run->pid > 0 && NowMs() < deadline;) {
        if (ServiceLog(*run).find("Listening on TCP port") != std::string::npos)
            return true;
        if (WaitForExit(run, 10) != -1)
            return false;
    }
    return false;
}

std::string ServiceLog(const ServiceRun &run)
{
    std::string text = ReadFile(run.logPath);
    if (RunsUnderWine())
        for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
            text.erase(at, 1);
    return text;
}

std::vector<std::string> ServiceLogLines(const ServiceRun &run)
{
    std::vector<std::string> lines;
    std::string raw = ReadFile(run.logPath);
    for (size_t start = 0, end; start < raw.size(); start = end + 1) {
        end = raw.find('\n', start);
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
    }
    return lines;
}

int WaitForExit(ServiceRun *run, int ms)
{
    int status;
    for (long deadline = NowMs() + ms; run->pid > 0; usleep(10000)) {
        if (waitpid(run->pid, &status, WNOHANG) == run->pid) {
            run->pid = -1;
            run->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (NowMs() >= deadline) {
            return -1;
        }
    }
    return run->exitStatus;
}

bool WaitForLog(const ServiceRun &run, const std::string &text, int count, int ms)
{
    for (long deadline = NowMs() + ms;; usleep(10000)) {
        if (CountOf(ServiceLog(run), text) >= count)
            return true;
        if (NowMs() >= deadline)
            return false;
    }
}

void StopService(ServiceRun *run)
{
    // Wine takes a second or more to act on SIGTERM, and the service has no
    // orderly shutdown to wait for, so under Wine it is killed at once.
    if (run->pid > 0) {
        kill(run->pid, RunsUnderWine() ? SIGKILL : SIGTERM);
        if (WaitForExit(run, 5000) == -1) {
            kill(run->pid, SIGKILL);
            WaitForExit(run, 5000);
        }
    }
    RemoveTree(run->dir);
    run->dir.clear();
}

bool Visit(const ServiceRun &run, const char *from, const std::vector<std::string> &chunks, const std::string &endLine,
           int port, const char *to)
{
    int endsBefore = CountOf(ServiceLog(run), endLine);
    int fd = ConnectFrom(from, port ? port : run.port, to);
    if (fd < 0)
        return false;
    for (const std::string &chunk : chunks) {
        SendAll(fd, chunk);
        usleep(20000);
    }
    shutdown(fd, SHUT_WR);
    bool ended = WaitForLog(run, endLine, endsBefore + 1, 20000);
    close(fd);
    return ended;
}

std::string QueryLine(const std::string &text)
{
    return "Query: \"" + text + "\"";
}

// "<any>" matches any text; the pieces between must come in order.
static bool LineMatches(const std::string &expected, const std::string &actual)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string pattern = std::regex_replace(expected, special, R"(\$&)");
    for (size_t at; (at = pattern.find("<any>")) != std::string::npos;)
        pattern.replace(at, 5, "[^]*");
    return std::regex_match(actual, std::regex(pattern));
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

void SqliteService::SetUp()
{
    dir = MakeTempDir();
    UseSqliteOdbcConfig(dir, dir + "/test.db");
    Sql("CREATE TABLE t(a INTEGER, b VARCHAR(2000))");
}

void SqliteService::TearDown()
{
    StopService(&run);
    RemoveTree(dir);
}

bool SqliteService::Start(const std::vector<std::string> &values, const std::vector<int> &waitsMs)
{
    std::vector<std::string> settings = {PortValue(port), "\"Data Source\"=\"varn_sqlite\""};
    settings.insert(settings.end(), values.begin(), values.end());
    return StartService(&run, SettingsFile(settings), port, waitsMs);
}

std::string SqliteService::Sql(const std::string &sql)
{
    return RunCommand("sqlite3 " + dir + "/test.db " + ShellQuote(sql));
}

bool SqliteService::WaitForRows(int rows, int ms)
{
    for (long deadline = NowMs() + ms;; usleep(10000)) {
        if (Count() == std::to_string(rows) + "\n")
            return true;
        if (NowMs() >= deadline)
            return false;
    }
}

static std::string Environment(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
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
                           {"  ERROR: relation \"nosuch\" does not exist;", "  Error while executing the query"}});
        sources.push_back({"mariadb", Environment("VARN_DSN_MARIA"), user, password,
                           {"  [ma-<any>]Table 'varn.nosuch' doesn't exist"}});
    }
    return sources;
}

DataSource ServerSource(const std::string &name)
{
    for (const DataSource &available : AvailableDataSources(false))
        if (available.name == name)
            return available;
    return {};
}

void UseDataSource(const DataSource &source, const std::string &dir)
{
    if (ServersRunning()) {
        setenv("ODBCSYSINI", Environment("VARN_SERVERS_DIR").c_str(), 1);
        setenv("ODBCINI", (Environment("VARN_SERVERS_DIR") + "/odbc.ini").c_str(), 1);
    } else if (source.name == "sqlite") {
        UseSqliteOdbcConfig(dir, dir + "/test.db");
    }
}

std::string QueryDataSource(const DataSource &source, const std::string &sql)
{
    if (source.name == "postgres")
        return RunCommand("PGOPTIONS='-c client_min_messages=warning' psql -X -q -At -F'|' -c " + ShellQuote(sql));
    if (source.name == "mariadb")
        return RunCommand("MYSQL_PWD=\"$VARN_DB_PASSWORD\" mariadb --no-defaults --socket=\"$VARN_MARIA_SOCKET\" "
                          "-u\"$VARN_DB_USER\" \"$VARN_MARIA_DATABASE\" -N -B -e " +
                          ShellQuote(sql) + " | tr '\\t' '|'");
    std::string database = ServersRunning() ? Environment("VARN_SQLITE_DB") : Environment("ODBCSYSINI") + "/test.db";
    return RunCommand("sqlite3 " + ShellQuote(database) + " " + ShellQuote(sql));
}

bool ResetTable(const DataSource &source)
{
    return QueryDataSource(source, "DROP TABLE IF EXISTS t; CREATE TABLE t(a INTEGER, b VARCHAR(2000));") == "";
}

std::vector<std::string> SourceSettings(const DataSource &source)
{
    return {"\"Data Source\"=\"" + source.dsn + "\"", "\"User Name\"=\"" + source.user + "\"",
            "\"Password\"=\"" + source.password + "\""};
}
