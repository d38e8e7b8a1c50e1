// Shared test mechanics: temp folders, a private ODBC configuration, loopback
// clients, and running the real service as a child process.
#ifndef VARN_TEST_SUPPORT_H
#define VARN_TEST_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

// A fresh folder under the system's temp folder, and its removal.
std::string MakeTempDir();
void RemoveTree(const std::string &dir);

void WriteFile(const std::string &path, const std::string &bytes);
std::string ReadFile(const std::string &path);

// Writes odbcinst.ini (the SQLite ODBC driver as "SQLite3") and odbc.ini
// (the data source "varn_sqlite" on `databasePath`) into `dir`, and points
// the driver manager of this process and its children at them.
void UseSqliteOdbcConfig(const std::string &dir, const std::string &databasePath);

// Runs a shell command and returns what it wrote to stdout and stderr.
std::string RunCommand(const std::string &command);
// Quotes text for the shell inside single quotes.
std::string ShellQuote(const std::string &text);

// Runs a statement with the sqlite3 command-line shell and returns what it
// printed, one row a line, columns separated by "|".
std::string QuerySqlite(const std::string &databasePath, const std::string &sql);

// A settings file in the registry export format holding the given lines
// (such as "\"TCP Port\"=dword:00001f90") under the service's key.
std::string SettingsFile(const std::vector<std::string> &valueLines);
std::string PortValue(int port);

// A TCP connection to 127.0.0.1:`port` from the loopback address `from`.
// Returns the descriptor, or -1.
int ConnectFrom(const char *from, int port);
// Sends all bytes; returns true when they were all sent.
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

long NowMs();
// A test name made of the letters and digits of `text`, other bytes as "_".
std::string TestName(const char *text);

// True when the tests run the Windows build under Wine: the harness then
// starts the .exe named by VARN_TEST_WINE_EXE in the Wine prefix named by
// WINEPREFIX, after importing each run's settings file into that prefix's
// registry. The service itself reads no environment.
bool RunsUnderWine();

// True in a build with AddressSanitizer, whose quarantine of freed memory
// makes resident memory say nothing about leaks.
bool SanitizerBuild();

// The service, running as a child process with its console in a file.
struct ServiceRun {
    pid_t pid = -1;
    std::string dir;
    std::string settingsPath;
    std::string logPath;
    int port = 0;
    int exitStatus = -1;  // once it has ended
};

// Starts the service host with `settingsText` as its settings file, in a
// fresh folder, and waits for its "Listening" line. Returns false (with
// the log so far in `run->logPath`) when it exits or stays silent instead.
// Under Wine the service's registry key is deleted and the file imported
// in its place; empty text leaves the key absent.
bool StartService(ServiceRun *run, const std::string &settingsText, int port);
// Waits until the console log holds `text` `count` times, up to `ms`.
bool WaitForLog(const ServiceRun &run, const std::string &text, int count, int ms);
// The console text with line feeds as the tests write them: under Wine the
// carriage return that text mode puts before each line feed is dropped.
std::string ServiceLog(const ServiceRun &run);
// The console lines without their line endings. Under Wine every finished
// line must end in CR LF; a line without its carriage return is a failure
// of the calling test.
std::vector<std::string> ServiceLogLines(const ServiceRun &run);
// Waits up to `ms` for the service to exit; returns its exit status (128
// and the signal number when a signal ended it), or -1 when it is still
// running.
int WaitForExit(ServiceRun *run, int ms);
// Ends the service (a signal, then a kill if it lingers; under Wine a kill
// at once) and removes its folder.
void StopService(ServiceRun *run);

int CountOf(const std::string &text, const std::string &part);

// Compares console lines with expected ones, in which "<any>" matches any
// text. On a mismatch the two lists are returned side by side for a message.
bool LinesMatch(const std::vector<std::string> &expected, const std::vector<std::string> &actual,
                std::string *difference);

// A database the end-to-end cases run against. SQLite is always there;
// PostgreSQL and MariaDB are there when the throwaway servers run, which
// tests/servers/dbservers.sh announces through VARN_SERVERS_DIR and the
// variables of its env.sh.
struct DataSource {
    std::string name;  // sqlite, postgres, mariadb
    std::string dsn;
    std::string user;
    std::string password;
    // The console lines after "ERROR: Executing Statemtent" when the table
    // "nosuch" does not exist; "<any>" stands for driver and server versions.
    std::vector<std::string> missingTableLines;
};

std::vector<DataSource> AvailableDataSources(bool withSqlite);
bool ServersRunning();

// Points the driver manager at a configuration holding `source`: the
// servers' one, or for SQLite without servers a private one in `dir`.
void UseDataSource(const DataSource &source, const std::string &dir);
// Runs SQL with the database's own command-line client and returns its
// rows, one a line, columns separated by "|".
std::string QueryDataSource(const DataSource &source, const std::string &sql);
// Drops and creates the test table t(a INTEGER, b VARCHAR(2000)).
bool ResetTable(const DataSource &source);

#endif
