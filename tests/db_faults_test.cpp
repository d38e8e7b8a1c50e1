// Database failures the service must report and survive, made by the fault
// driver behind the real driver manager, or by the link-time seam where no
// driver can fail the call: every failure label with its records, and no
// handle left behind.
#include "db.h"
#include "odbc_seam.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char kTwoRecords[] = "Records=HY000:first message|42000:second message\n";

// Runs one statement as the service does and returns the console.
std::string RunStatement(const char *dataSource, const char *statement)
{
    CaptureStdout();
    if (OdbcFailed(DbConnect("user", "password", dataSource)))
        ReportOdbcErrors(SQL_NULL_HSTMT, "Connecting");
    else {
        DbExecute(statement);
        DbDisconnect();
    }
    return GetCapturedStdout();
}

class DbFaults : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        WriteFile(dir + "/odbcinst.ini", "[FaultDriver]\nDriver=" VARN_FAULT_DRIVER "\n");
        setenv("ODBCSYSINI", dir.c_str(), 1);
        setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    }
    void TearDown() override
    {
        DisarmSeam();
        RemoveTree(dir);
    }

    // A data source on the fault driver with the given attributes, traced
    // into its own file. The driver manager caches what it read of odbc.ini
    // for a while by section name, so each gets a name of its own.
    void DataSource(const std::string &attributes)
    {
        static int made;
        dsn = "faulty" + std::to_string(++made);
        WriteFile(dir + "/odbc.ini",
                  "[" + dsn + "]\nDriver=FaultDriver\nTraceFile=" + dir + "/trace.log\n" + attributes);
    }

    // The driver's live handles after its last call, as "env=E dbc=D".
    std::string DriverHandlesLeft()
    {
        std::string trace = ReadFile(dir + "/trace.log");
        size_t at = trace.rfind(" env=");
        if (at == std::string::npos)
            return "no trace";
        size_t end = trace.find(" stmt=", at);
        return trace.substr(at + 1, end - at - 1);
    }

    std::string dir;
    std::string dsn;
};

void ExpectSessionEmpty()
{
    EXPECT_EQ(SQL_NULL_HENV, dbSession.henv);
    EXPECT_EQ(SQL_NULL_HDBC, dbSession.hdbc);
}

struct DriverFault {
    const char *name;
    std::string attributes;
    std::string console;
};

void PrintTo(const DriverFault &fault, std::ostream *out)
{
    *out << fault.name;
}

const DriverFault kDriverFaults[] = {
    {"connect refused", std::string("FailCall=connect\n") + kTwoRecords,
     "SQLConnect Failed.  SQLSTATE=S1000 [unixODBC]first message\nERROR: Connecting\n"},
    {"connect refused without a record", "FailCall=connect\nRecords=\n",
     "SQLConnect Failed.  SQLSTATE= \nERROR: Connecting\n"},
    {"autocommit refused", std::string("FailCall=autocommit\n") + kTwoRecords,
     "ERROR: Setting Connect Option autocommit-on\n  first message\n  second message\nERROR: Connecting\n"},
    {"statement handle refused", std::string("FailCall=allocstmt\n") + kTwoRecords,
     "ERROR: Allocating Statemtent\n  first message\n  second message\n"},
    {"statement rejected", std::string("FailCall=execute\n") + kTwoRecords,
     "ERROR: Executing Statemtent\n  first message\n  second message\n"},
    {"statement rejected without a record", "FailCall=execute\nRecords=\n", "ERROR: Executing Statemtent\n"},
    {"records in the driver's order", "FailCall=execute\nRecords=HY000:one|42000:two|01000:three\n",
     "ERROR: Executing Statemtent\n  one\n  two\n  three\n"},
    {"still executing counts as failure", "FailCall=execute\nReturnCode=2\nRecords=\n",
     "ERROR: Executing Statemtent\n"},
    {"success with information is quiet", std::string("FailCall=execute\nReturnCode=1\n") + kTwoRecords, ""},
    {"no data is quiet", "FailCall=execute\nReturnCode=100\n", ""},
    {"disconnect refused once", "DisconnectFailsOnce=1\nRecords=25000:transaction still active\n",
     "ERROR: Disconnect Statement\n  transaction still active\n"},
    {"disconnect refused until rolled back",
     "DisconnectFailsUntilRollback=1\nRecords=25000:transaction still active\n",
     "ERROR: Disconnect Statement\n  transaction still active\n"},
};

class DriverFaults : public DbFaults, public testing::WithParamInterface<DriverFault> {};

TEST_P(DriverFaults, ReportedAndReleased)
{
    DataSource(GetParam().attributes);
    EXPECT_EQ(GetParam().console, RunStatement(dsn.c_str(), "INSERT INTO t VALUES(1);"));
    ExpectSessionEmpty();
    EXPECT_EQ("env=0 dbc=0", DriverHandlesLeft());
}

INSTANTIATE_TEST_SUITE_P(Db, DriverFaults, testing::ValuesIn(kDriverFaults),
                         [](const testing::TestParamInfo<DriverFault> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

// The driver manager keeps 511 characters of a driver's message; the
// console line is cut at 512 whatever reaches it.
TEST_F(DbFaults, LongMessageIsCut)
{
    DataSource("FailCall=execute\nRecords=HY000:short\nLongMessage=700\n");
    std::string console = RunStatement(dsn.c_str(), "SELECT 1;");
    std::string digits;
    for (int i = 0; i < 511; i++)
        digits += (char)('0' + i % 10);
    EXPECT_EQ("ERROR: Executing Statemtent\n  short\n  " + digits + "\n", console);
}

TEST_F(DbFaults, CommitAndRollbackFailures)
{
    DataSource(std::string("FailCall=endtran\n") + kTwoRecords);
    CaptureStdout();
    ASSERT_EQ(0, DbConnect("user", "password", dsn.c_str()));
    EXPECT_EQ(SQL_ERROR, DbCommit());
    EXPECT_EQ(SQL_ERROR, DbRollback());
    DbDisconnect();
    EXPECT_EQ("ERROR: Commit\n  first message\n  second message\nERROR: RollBack\n  first message\n  second message\n",
              GetCapturedStdout());
    ExpectSessionEmpty();
}

TEST_F(DbFaults, CommitAndRollbackSucceed)
{
    DataSource("FailCall=none\n");
    CaptureStdout();
    ASSERT_EQ(0, DbConnect("user", "password", dsn.c_str()));
    EXPECT_EQ(0, DbCommit());
    EXPECT_EQ(0, DbRollback());
    EXPECT_EQ(0, DbDisconnect());
    EXPECT_EQ("", GetCapturedStdout());
}

// The statement text reaches the driver as sent, and the session it ran in
// was connected with autocommit on and fully released.
TEST_F(DbFaults, CallOrderOfOneStatement)
{
    DataSource("FailCall=none\n");
    EXPECT_EQ("", RunStatement(dsn.c_str(), "UPDATE t SET a = 'x;y';"));
    std::string trace = ReadFile(dir + "/trace.log");
    const char *order[] = {"SQLConnect", "SQLSetConnectAttr attr=102 value=1", "SQLAllocHandle STMT",
                           "SQLExecDirect [UPDATE t SET a = 'x;y';]", "SQLFreeHandle STMT", "SQLDisconnect"};
    size_t at = 0;
    for (const char *call : order) {
        size_t found = trace.find(call, at);
        ASSERT_NE(std::string::npos, found) << call << " after " << at << "\n" << trace;
        at = found;
    }
}

struct SeamFault {
    const char *name;
    const char *call;
    std::string console;
};

void PrintTo(const SeamFault &fault, std::ostream *out)
{
    *out << fault.name;
}

const SeamFault kSeamFaults[] = {
    {"environment", "SQLAllocEnv", "ERROR: Allocate Environment Handle\n  seam record\nERROR: Connecting\n"},
    {"connection", "SQLAllocConnect", "ERROR: Allocate Connect Handle\n  seam record\nERROR: Connecting\n"},
    {"free connection", "FreeHandle DBC", "ERROR: Disconnect hdbc Free Handle\n  seam record\n"},
    {"free environment", "FreeHandle ENV", "ERROR: Disconnect Env Free Handle\n  seam record\n"},
};

class SeamFaults : public DbFaults, public testing::WithParamInterface<SeamFault> {};

TEST_P(SeamFaults, ReportedAndReleased)
{
    DataSource("FailCall=none\n");
    ArmSeamFailure(GetParam().call, {"seam record"});
    EXPECT_EQ(GetParam().console, RunStatement(dsn.c_str(), "SELECT 1;"));
    ExpectSessionEmpty();
    // The service goes on: the next statement runs normally, and the driver
    // holds nothing afterwards.
    DisarmSeam();
    EXPECT_EQ("", RunStatement(dsn.c_str(), "SELECT 2;"));
    EXPECT_EQ("env=0 dbc=0", DriverHandlesLeft());
}

INSTANTIATE_TEST_SUITE_P(Db, SeamFaults, testing::ValuesIn(kSeamFaults),
                         [](const testing::TestParamInfo<SeamFault> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

int OpenDescriptors()
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    while (fds != NULL && readdir(fds) != NULL)
        count++;
    if (fds != NULL)
        closedir(fds);
    return count;
}

long ResidentKiB()
{
    char line[256];
    long kib = -1;
    FILE *status = fopen("/proc/self/status", "r");
    while (status != NULL && fgets(line, sizeof line, status) != NULL)
        if (strncmp(line, "VmRSS:", 6) == 0)
            kib = atol(line + 6);
    if (status != NULL)
        fclose(status);
    return kib;
}

// A driver that refuses to disconnect mid-transaction must not cost one
// connection per statement: 1,000 such statements leave descriptors and
// memory where 100 left them.
TEST_F(DbFaults, RefusedDisconnectsLeakNothing)
{
    DataSource("DisconnectFailsUntilRollback=1\nRecords=25000:transaction still active\n");
    for (int i = 0; i < 100; i++)
        RunStatement(dsn.c_str(), "SELECT 1;");
    int descriptors = OpenDescriptors();
    long resident = ResidentKiB();
    for (int i = 0; i < 1000; i++)
        ASSERT_EQ("ERROR: Disconnect Statement\n  transaction still active\n", RunStatement(dsn.c_str(), "SELECT 1;"));
    EXPECT_EQ(descriptors, OpenDescriptors());
    if (!SanitizerBuild()) {
        EXPECT_LT(ResidentKiB() - resident, 512) << "KiB grown over 1,000 statements";
    }
}

}  // namespace
