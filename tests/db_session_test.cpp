// The database session through the real unixODBC driver manager and the
// SQLite ODBC driver: statements commit, failures print their records, and
// no handle outlives a statement.
#include "db.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string.h>

#include <string>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class DbSessionTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        database = dir + "/test.db";
        UseSqliteOdbcConfig(dir, database);
    }
    void TearDown() override { RemoveTree(dir); }

    // Runs one statement the way the service does and returns the console.
    std::string Run(const char *dataSource, const char *statement)
    {
        CaptureStdout();
        if (OdbcFailed(DbConnect("", "", dataSource)))
            ReportOdbcErrors(SQL_NULL_HSTMT, "Connecting");
        else {
            DbExecute(statement);
            DbDisconnect();
        }
        std::string console = GetCapturedStdout();
        EXPECT_EQ(SQL_NULL_HENV, dbSession.henv);
        EXPECT_EQ(SQL_NULL_HDBC, dbSession.hdbc);
        return console;
    }

    std::string dir;
    std::string database;
};

TEST_F(DbSessionTest, EachStatementCommitsOnItsOwn)
{
    EXPECT_EQ("", Run("varn_sqlite", "CREATE TABLE t(a INTEGER, b TEXT);"));
    EXPECT_EQ("", Run("varn_sqlite", "INSERT INTO t VALUES(1, 'one');"));
    EXPECT_EQ("", Run("varn_sqlite", "INSERT INTO t VALUES(2, 'it''s; two');"));
    EXPECT_EQ("1|one\n2|it's; two\n", QuerySqlite(database, "SELECT a, b FROM t ORDER BY a"));
}

TEST_F(DbSessionTest, SelectRowsAreDroppedSilently)
{
    Run("varn_sqlite", "CREATE TABLE t(a INTEGER);");
    Run("varn_sqlite", "INSERT INTO t VALUES(7);");
    EXPECT_EQ("", Run("varn_sqlite", "SELECT a FROM t;"));
}

// A statement that changes nothing ends with SQL_NO_DATA, which is success.
TEST_F(DbSessionTest, StatementThatTouchesNoRowIsQuiet)
{
    Run("varn_sqlite", "CREATE TABLE t(a INTEGER);");
    CaptureStdout();
    ASSERT_EQ(0, DbConnect("", "", "varn_sqlite"));
    int rc = DbExecute("DELETE FROM t WHERE a = 1;");
    DbDisconnect();
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_FALSE(OdbcFailed(rc));
}

TEST_F(DbSessionTest, RejectedStatementPrintsItsRecords)
{
    std::string console = Run("varn_sqlite", "INSERT INTO missing VALUES(1);");
    EXPECT_EQ(0u, console.find("ERROR: Executing Statemtent\n  "));
    EXPECT_NE(std::string::npos, console.find("no such table: missing")) << console;
    EXPECT_EQ(2, CountOf(console, "\n")) << console;
}

TEST_F(DbSessionTest, MissingDataSourceGivesTheConnectLine)
{
    std::string console = Run("no_such_dsn", "SELECT 1;");
    EXPECT_EQ("SQLConnect Failed.  SQLSTATE=IM002 [unixODBC][Driver Manager]Data source name not found and no "
              "default driver specified\nERROR: Connecting\n",
              console);
}

// The connect line carries at most 99 characters of the driver's message.
TEST_F(DbSessionTest, ConnectMessageIsCutAt99Characters)
{
    std::string longName(120, 'n');
    WriteFile(dir + "/odbc.ini", "[" + longName + "]\nDriver=/nonexistent/driver.so\n");
    std::string console = Run(longName.c_str(), "SELECT 1;");
    std::string prefix = "SQLConnect Failed.  SQLSTATE=";
    ASSERT_EQ(0u, console.find(prefix)) << console;
    size_t lineEnd = console.find('\n');
    std::string message = console.substr(prefix.size() + 6, lineEnd - prefix.size() - 6);
    EXPECT_GT(message.size(), 20u) << console;
    EXPECT_LE(message.size(), 99u) << console;
    EXPECT_EQ("ERROR: Connecting\n", console.substr(lineEnd + 1));
}

int OpenDescriptors()
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == NULL)
        return -1;
    while (readdir(fds) != NULL)
        count++;
    closedir(fds);
    return count;
}

// One session per statement must not leave descriptors behind.
TEST_F(DbSessionTest, ManySessionsLeaveDescriptorsFlat)
{
    Run("varn_sqlite", "CREATE TABLE t(a INTEGER);");
    int before = OpenDescriptors();
    for (int i = 0; i < 300; i++) {
        std::string statement = "INSERT INTO t VALUES(" + std::to_string(i) + ");";
        ASSERT_EQ("", Run("varn_sqlite", statement.c_str()));
    }
    Run("varn_sqlite", "INSERT INTO missing VALUES(1);");
    Run("no_such_dsn", "SELECT 1;");
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_EQ("300\n", QuerySqlite(database, "SELECT COUNT(*) FROM t"));
}

}  // namespace
