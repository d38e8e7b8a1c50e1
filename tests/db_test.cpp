// Each statement's database session through the real unixODBC driver
// manager and SQLite driver: statements commit, failures print their
// records, and nothing outlives a statement. The seam makes the calls fail
// that no real driver fails on demand.
#include "db.h"
#include "odbc_seam.h"
#include "sessions.h"
#include "settings.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class Db : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        UseSqliteOdbcConfig(dir, dir + "/test.db");
        RunCommand("sqlite3 " + dir + "/test.db 'CREATE TABLE t(a INTEGER, b TEXT)'");
        strcpy(serviceSettings.dataSource, "varn_sqlite");
    }
    void TearDown() override
    {
        DisarmSeam();
        RemoveTree(dir);
    }

    // Runs a statement as the serving loop does; its console lines.
    std::string Run(const char *statement)
    {
        CaptureStdout();
        SendStatement(&session, statement);
        EXPECT_EQ(SQL_NULL_HENV, session.henv);
        EXPECT_EQ(SQL_NULL_HDBC, session.hdbc);
        return GetCapturedStdout();
    }

    std::string Rows() { return RunCommand("sqlite3 " + dir + "/test.db 'SELECT a, b FROM t ORDER BY a'"); }

    std::string dir;
    DbSession session = {};
};

TEST_F(Db, StatementsCommitAndSuccessIsQuiet)
{
    EXPECT_EQ("", Run("INSERT INTO t VALUES(1, 'one');"));
    EXPECT_EQ("", Run("INSERT INTO t VALUES(2, 'it''s; two');"));
    EXPECT_EQ("", Run("SELECT a, b FROM t;"));
    EXPECT_EQ("", Run("DELETE FROM t WHERE a = 9;"));  // SQL_NO_DATA
    EXPECT_EQ("1|one\n2|it's; two\n", Rows());
    EXPECT_EQ(0, SeamStatementsHeld());
    // Through the driver manager in this order, autocommit on, and every
    // handle released.
    EXPECT_EQ("SQLAllocEnv\nSQLAllocConnect\nSQLConnect varn_sqlite\nSQLSetConnectOption 102 1\nSQLAllocStmt\n"
              "SQLExecDirect DELETE FROM t WHERE a = 9;\nSQLFreeHandle STMT\nSQLDisconnect\nSQLFreeHandle DBC\n"
              "SQLFreeHandle ENV\n",
              SeamCalls());
}

TEST_F(Db, RealFailures)
{
    EXPECT_EQ("ERROR: Executing Statemtent\n  [SQLite]no such table: missing (1)\n", Run("INSERT INTO missing VALUES(1);"));
    strcpy(serviceSettings.dataSource, "no_such_dsn");
    EXPECT_EQ("SQLConnect Failed.  SQLSTATE=IM002 [unixODBC][Driver Manager]Data source name not found and no "
              "default driver specified\nERROR: Connecting\n",
              Run("SELECT 1;"));
    // The connect line carries at most 99 characters of the message.
    WriteFile(dir + "/odbc.ini", "[far]\nDriver=/nonexistent/" + std::string(150, 'd') + "\n");
    strcpy(serviceSettings.dataSource, "far");
    std::string line = "SQLConnect Failed.  SQLSTATE=01000 [unixODBC][Driver Manager]Can't open lib '/nonexistent/";
    EXPECT_EQ(line + std::string(99 - (line.size() - 35), 'd') + "\nERROR: Connecting\n", Run("SELECT 1;"));
}

struct FaultCase : NamedCase {
    SeamFault fault;
    std::string console;
    bool connectionLost = false;  // the statement's outcome is unknown
};

const std::vector<std::string> kTwo = {"first message", "second message"};

const FaultCase kFaults[] = {
    {{"environment"}, {"SQLAllocEnv", SQL_ERROR, kTwo, false},
     "ERROR: Allocate Environment Handle\n  first message\n  second message\nERROR: Connecting\n"},
    {{"connection"}, {"SQLAllocConnect", SQL_ERROR, kTwo, false},
     "ERROR: Allocate Connect Handle\n  first message\n  second message\nERROR: Connecting\n"},
    {{"connect refused"}, {"SQLConnect", SQL_ERROR, kTwo, false},
     "SQLConnect Failed.  SQLSTATE=S1000 first message\nERROR: Connecting\n"},
    {{"connect refused without a record"}, {"SQLConnect", SQL_ERROR, {}, false},
     "SQLConnect Failed.  SQLSTATE= \nERROR: Connecting\n"},
    {{"autocommit refused"}, {"SQLSetConnectOption", SQL_ERROR, kTwo, false},
     "ERROR: Setting Connect Option autocommit-on\n  first message\n  second message\nERROR: Connecting\n"},
    {{"statement handle refused"}, {"SQLAllocStmt", SQL_ERROR, kTwo, false},
     "ERROR: Allocating Statemtent\n  first message\n  second message\n"},
    {{"statement rejected"}, {"SQLExecDirect", SQL_ERROR, {"one", "two", "three"}, false},
     "ERROR: Executing Statemtent\n  one\n  two\n  three\n"},
    {{"statement rejected without a record"}, {"SQLExecDirect", SQL_ERROR, {}, false},
     "ERROR: Executing Statemtent\n"},
    {{"still executing counts as failure"}, {"SQLExecDirect", SQL_STILL_EXECUTING, {}, false},
     "ERROR: Executing Statemtent\n"},
    {{"success with information is quiet"}, {"SQLExecDirect", SQL_SUCCESS_WITH_INFO, kTwo, false}, ""},
    {{"need data is quiet"}, {"SQLExecDirect", SQL_NEED_DATA, {}, false}, ""},
    {{"a long message is cut at 512"}, {"SQLExecDirect", SQL_ERROR, {std::string(700, 'x')}, false},
     "ERROR: Executing Statemtent\n  " + std::string(512, 'x') + "\n"},
    {{"every line of a record is indented"}, {"SQLExecDirect", SQL_ERROR, {"first\n\tsecond\n"}, false},
     "ERROR: Executing Statemtent\n  first\n  \tsecond\n"},
    // What the drivers give when the connection goes while a statement runs.
    {{"a lost connection's SQLSTATE"}, {"SQLExecDirect", SQL_ERROR, {"08S01/2013/Lost connection to server"}, false},
     "ERROR: Executing Statemtent\n  Lost connection to server\n", true},
    {{"psqlODBC's lost connection"}, {"SQLExecDirect", SQL_ERROR, {"57P01/35/FATAL: terminating"}, false},
     "ERROR: Executing Statemtent\n  FATAL: terminating\n", true},
    {{"a rejection that only looks like one"}, {"SQLExecDirect", SQL_ERROR, {"57P01/1/raised"}, false},
     "ERROR: Executing Statemtent\n  raised\n", false},
    {{"a statement handle refused on a lost connection"}, {"SQLAllocStmt", SQL_ERROR, {"08003/0/Connection not open"}, false},
     "ERROR: Allocating Statemtent\n  Connection not open\n", false},
    {{"disconnect refused once"}, {"SQLDisconnect", SQL_ERROR, {"transaction still active"}, false},
     "ERROR: Disconnect Statement\n  transaction still active\n"},
    {{"disconnect refused until rolled back"}, {"SQLDisconnect", SQL_ERROR, {"transaction still active"}, true},
     "ERROR: Disconnect Statement\n  transaction still active\n"},
    {{"connection not released"}, {"SQLFreeHandle DBC", SQL_ERROR, kTwo, false},
     "ERROR: Disconnect hdbc Free Handle\n  first message\n  second message\n"},
    {{"environment not released"}, {"SQLFreeHandle ENV", SQL_ERROR, kTwo, false},
     "ERROR: Disconnect Env Free Handle\n  first message\n  second message\n"},
};

class DbFaults : public Db, public testing::WithParamInterface<FaultCase> {};

// Every failure is reported with its records, releases what the session
// held, and leaves the next statement to run normally.
TEST_P(DbFaults, ReportedAndReleased)
{
    ArmSeam(GetParam().fault);
    EXPECT_EQ(GetParam().console, Run("INSERT INTO t VALUES(1, 'armed');"));
    EXPECT_EQ(GetParam().connectionLost, session.connectionLost != 0);
    DisarmSeam();
    EXPECT_EQ("", Run("INSERT INTO t VALUES(2, 'next');"));
    EXPECT_NE(std::string::npos, Rows().find("2|next"));
    EXPECT_EQ(0, SeamStatementsHeld());
}

INSTANTIATE_TEST_SUITE_P(Db, DbFaults, testing::ValuesIn(kFaults), CaseName());

// A driver that refuses to disconnect inside a transaction must not cost
// a connection per statement: 1,000 such statements leave descriptors and
// memory where 100 left them.
TEST_F(Db, RefusedDisconnectsLeakNothing)
{
    ArmSeam({"SQLDisconnect", SQL_ERROR, {"transaction still active"}, true});
    for (int i = 0; i < 100; i++)
        Run("SELECT 1;");
    int descriptors = OpenDescriptors(getpid());
    long resident = ResidentKiB(getpid());
    for (int i = 0; i < 1000; i++)
        ASSERT_EQ("ERROR: Disconnect Statement\n  transaction still active\n", Run("SELECT 1;"));
    EXPECT_EQ(descriptors, OpenDescriptors(getpid()));
    if (!SanitizerBuild()) {
        EXPECT_LT(ResidentKiB(getpid()) - resident, 512) << "KiB grown over 1,000 statements";
    }
}

}  // namespace
