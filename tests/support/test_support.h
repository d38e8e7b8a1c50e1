// Shared test mechanics: temp folders and files, commands, a private ODBC
// configuration, loopback clients, and the real service as a child process.
#ifndef VARN_TEST_SUPPORT_H
#define VARN_TEST_SUPPORT_H

#include <sys/types.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

// A row of a table of cases: gtest shows a row by its name, and CaseName()
// as an instantiation's last argument names the row's test after it.
struct NamedCase {
    const char *name;
};
std::ostream &operator<<(std::ostream &out, const NamedCase &row);
// A test name made of the letters and digits of `text`, other bytes as "_".
std::string TestName(const char *text);
struct CaseName {
    template <typename Row>
    std::string operator()(const testing::TestParamInfo<Row> &info) const
    {
        return TestName(info.param.name);
    }
};

std::string MakeTempDir();
void RemoveTree(const std::string &dir);
void WriteFile(const std::string &path, const std::string &bytes);
std::string ReadFile(const std::string &path);

// Runs a shell command and returns what it wrote to stdout and stderr.
std::string RunCommand(const std::string &command);
std::string ShellQuote(const std::string &text);

long NowMs();
int CountOf(const std::string &text, const std::string &part);
// CPU time a process has taken, in milliseconds.
long CpuMs(pid_t pid);
// Resident memory in KiB (`field` "VmHWM:" for its peak) and open
// descriptors of a process.
long ResidentKiB(pid_t pid, const char *field = "VmRSS:");
int OpenDescriptors(pid_t pid);
// True in a build with AddressSanitizer, whose quarantine of freed memory
// makes resident memory say nothing about leaks.
bool SanitizerBuild();

// Points this process and its children at a private odbcinst.ini (the
// SQLite ODBC driver as "SQLite3") and odbc.ini ("varn_sqlite" on
// `databasePath`) in `dir`.
void UseSqliteOdbcConfig(const std::string &dir, const std::string &databasePath);

// A settings file in the registry export format holding `valueLines` (such
// as "\"TCP Port\"=dword:00001f90") under the service's key.
std::string SettingsFile(const std::vector<std::string> &valueLines);
// A dword value line, such as "\"TCP Port\"=dword:00001f90".
std::string Dword(const char *name, unsigned value);
std::string PortValue(int port);
// The "Spool File" value line for a path of this machine.
std::string SpoolValue(const std::string &path);
// INSERT INTO t VALUES(a, 'b');
std::string Insert(int a, const std::string &b);

// A TCP connection from the loopback address `from` to the same address
// (or `to`) and `port`, or -1.
int ConnectFrom(const char *from, int port, const char *to = NULL);
bool SendAll(int fd, const std::string &bytes);
// True when the peer closed the connection within `milliseconds`.
bool WaitForPeerClose(int fd, int milliseconds);
// A port that the service can bind on the wildcard address right now.
int FreePort();

// A connected pair of stream sockets: a Unix socket pair, or with `tcp` a
// loopback TCP connection, which Reset ends with a reset instead of a close.
struct SocketPair {
    int service = -1;  // the end the code under test reads from
    int client = -1;   // the end the test writes to
    explicit SocketPair(bool tcp = false);
    ~SocketPair();
    void Reset();
};

// True when the tests run the Windows build under Wine: the harness then
// starts the .exe named by VARN_TEST_WINE_EXE in the prefix named by
// WINEPREFIX, after importing each run's settings into its registry.
bool RunsUnderWine();

// The service, running as a child process with its console in a file.
struct ServiceRun {
    pid_t pid = -1;
    std::string dir;
    std::string logPath;
    int port = 0;
    int exitStatus = -1;  // once it has ended: its status, or 128 + signal
    // When set, the address space it may take (prlimit --as), but for the
    // sanitizer build and Wine, which reserve far more than they use.
    long addressSpaceMiB = 0;
};

// Starts the service with `settingsText` as its settings ("" for none) in
// run->dir, or a fresh folder when that is empty, and waits for its
// "Listening" line. Returns false when it
// exits or stays silent instead. The child dies with the test process.
// `waitsMs`, when given, shortens the waits for a statement's first and
// later bytes, a third value the time between writes of the metrics file
// and a fourth how long a kept connection may stay idle (not under Wine).
bool StartService(ServiceRun *run, const std::string &settingsText, int port,
                  const std::vector<int> &waitsMs = {});
bool WaitForLog(const ServiceRun &run, const std::string &text, int count, int ms);
// The console lines without line endings. Under Wine every finished line
// must end in CR LF; a line without its carriage return fails the test.
std::vector<std::string> ServiceLogLines(const ServiceRun &run);
std::string ServiceLog(const ServiceRun &run);
// Waits up to `ms` for the service to end; its exit status, or -1.
int WaitForExit(ServiceRun *run, int ms);
// Ends the service (a signal, then a kill) and removes its folder.
void StopService(ServiceRun *run);
// Connects from `from`, sends `chunks` (a write each), closes the sending
// side, and waits until the service has logged `endLine` once more; `port`
// and `to`, when given, are where it connects.
bool Visit(const ServiceRun &run, const char *from, const std::vector<std::string> &chunks,
           const std::string &endLine = "Peer closed connection.", int port = 0, const char *to = NULL);

// The console line of a statement received.
std::string QueryLine(const std::string &text);

// Compares console lines with expected ones, in which "<any>" matches any
// text; on a mismatch `difference` shows both.
bool LinesMatch(const std::vector<std::string> &expected, const std::vector<std::string> &actual,
                std::string *difference);

// A database the end-to-end cases run against: SQLite always, PostgreSQL
// and MariaDB when tests/servers/dbservers.sh has started them (its env.sh
// sets VARN_SERVERS_DIR and the rest).
struct DataSource {
    std::string name;  // sqlite, postgres, mariadb
    std::string dsn;
    std::string user;
    std::string password;
    // After "ERROR: Executing Statemtent" when table "nosuch" is missing.
    std::vector<std::string> missingTableLines;
};
std::ostream &operator<<(std::ostream &out, const DataSource &source);

// A service on a SQLite database of its own, test.db in a fresh folder,
// which holds the table t(a INTEGER, b VARCHAR(2000)): the fixture of the
// end-to-end tests that judge rows.
class SqliteService : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the service on `port` with the data source and `values`;
    // `waitsMs` as StartService takes them.
    bool Start(const std::vector<std::string> &values = {}, const std::vector<int> &waitsMs = {});
    // Runs SQL with the sqlite3 shell; the rows a line each.
    std::string Sql(const std::string &sql);
    std::string Count() { return Sql("SELECT COUNT(*) FROM t"); }
    // Waits up to `ms` until t holds `rows` rows.
    bool WaitForRows(int rows, int ms);

    std::string dir;
    int port = FreePort();
    ServiceRun run;
};

bool ServersRunning();
std::vector<DataSource> AvailableDataSources(bool withSqlite);
// The server-backed source of that name ("postgres", "mariadb").
DataSource ServerSource(const std::string &name);
// Points the driver manager at a configuration holding `source`.
void UseDataSource(const DataSource &source, const std::string &dir);
// Runs SQL with the database's own client; rows a line, columns "|".
std::string QueryDataSource(const DataSource &source, const std::string &sql);
// Drops and creates the test table t(a INTEGER, b VARCHAR(2000)).
bool ResetTable(const DataSource &source);
// The settings lines that reach `source`.
std::vector<std::string> SourceSettings(const DataSource &source);

#endif
