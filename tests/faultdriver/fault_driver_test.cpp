// Drives the fault driver through the real unixODBC driver manager as the service does, as an
// ODBC 2 application, and pins what each injected failure looks like from the application side.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

enum { kMaxErrors = 16, kMessageSize = 1024 };

struct DataSource {
  const char* name;
  const char* attributes;  // odbc.ini lines for the data source, apart from Driver and TraceFile
};

#define TWO_RECORDS "Records=HY000:first message|42000:second message\n"
#define STILL_ACTIVE "Records=25000:transaction still active\n"

static const DataSource kDataSources[] = {
    {"healthy", "FailCall=none\n"},
    {"connect_fails", "FailCall=connect\n" TWO_RECORDS},
    {"autocommit_fails", "FailCall=autocommit\n" TWO_RECORDS},
    {"allocstmt_fails", "FailCall=allocstmt\n" TWO_RECORDS},
    {"execute_fails", "FailCall=execute\n" TWO_RECORDS},
    {"endtran_fails", "FailCall=endtran\n" TWO_RECORDS},
    {"disconnect_fails", "FailCall=disconnect\n" TWO_RECORDS},
    {"connect_no_records", "FailCall=connect\nRecords=\n"},
    {"execute_no_records", "FailCall=execute\nRecords=\n"},
    {"execute_default_record", "FailCall=execute\n"},
    {"execute_unsorted",
     "FailCall=execute\nRecords=42000:syntax|HY000:general|01000:warning|HY000:general again\n"},
    {"connect_long", "FailCall=connect\nRecords=\nLongMessage=700\n"},
    {"execute_long", "FailCall=execute\nRecords=\nLongMessage=700\n"},
    {"disconnect_once", "DisconnectFailsOnce=1\n" STILL_ACTIVE},
    {"disconnect_until_rollback", "DisconnectFailsUntilRollback=1\n" STILL_ACTIVE},
    {"disconnect_always", "FailCall=disconnect\n" STILL_ACTIVE},
    {"freedbc_fails", "FailCall=freedbc\n"},
    {"freeenv_fails", "FailCall=freeenv\n"},
};

static const char* const kReturnCodeCalls[] = {"connect", "autocommit", "execute", "disconnect"};
static const char* const kReturnCodes[] = {"-2", "2", "1", "100"};

static char gFolder[512];

struct Session {
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT stmt;
};

struct ErrorRecord {
  SQLRETURN rc;
  char state[6];
  SQLINTEGER native;
  SQLSMALLINT length;
  char message[kMessageSize];
};

struct ErrorList {
  int count;
  SQLRETURN last;  // the first return code that was neither SQL_SUCCESS nor SQL_SUCCESS_WITH_INFO
  ErrorRecord records[kMaxErrors];
};

// The service's calls in the order it makes them.
enum Step { kConnect, kAutocommit, kAllocStmt, kExecute, kCommit, kDisconnect };

static const char kStatement[] = "UPDATE accounts SET balance = 0 WHERE id = 7";

static void WriteDataSource(FILE* file, const char* name, const char* attributes) {
  fprintf(file, "[%s]\nDriver=FaultDriver\nTraceFile=%s/%s.trace\n%s\n", name, gFolder, name,
          attributes);
}

// Lays out a private odbcinst.ini and odbc.ini and points unixODBC at them before any ODBC call.
static int PrepareOdbcFolder() {
  const char* base = getenv("TMPDIR") != NULL ? getenv("TMPDIR") : "/tmp";
  snprintf(gFolder, sizeof gFolder, "%s/faultdriver.XXXXXX", base);
  if (mkdtemp(gFolder) == NULL) return -1;
  char path[1024];
  snprintf(path, sizeof path, "%s/odbcinst.ini", gFolder);
  FILE* file = fopen(path, "w");
  if (file == NULL) return -1;
  fprintf(file, "[FaultDriver]\nDescription=Fault injection driver for tests\nDriver=%s\n",
          FAULT_DRIVER_PATH);
  fclose(file);
  snprintf(path, sizeof path, "%s/odbc.ini", gFolder);
  file = fopen(path, "w");
  if (file == NULL) return -1;
  for (const DataSource& source : kDataSources)
    WriteDataSource(file, source.name, source.attributes);
  for (const char* call : kReturnCodeCalls) {
    for (const char* code : kReturnCodes) {
      char name[64], attributes[160];
      snprintf(name, sizeof name, "rc_%s_%s", call, code);
      snprintf(attributes, sizeof attributes, "FailCall=%s\nReturnCode=%s\n" TWO_RECORDS, call,
               code);
      WriteDataSource(file, name, attributes);
    }
  }
  fclose(file);
  setenv("ODBCSYSINI", gFolder, 1);
  setenv("ODBCINI", path, 1);
  return 0;
}

static void RemoveOdbcFolder() {
  DIR* folder = opendir(gFolder);
  if (folder == NULL) return;
  for (struct dirent* entry = readdir(folder); entry != NULL; entry = readdir(folder)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char path[1024];
    snprintf(path, sizeof path, "%s/%s", gFolder, entry->d_name);
    unlink(path);
  }
  closedir(folder);
  rmdir(gFolder);
}

static std::string ReadTrace(const char* dsn) {
  char path[1024];
  snprintf(path, sizeof path, "%s/%s.trace", gFolder, dsn);
  std::string text;
  FILE* file = fopen(path, "r");
  if (file == NULL) return text;
  char chunk[4096];
  for (size_t n = fread(chunk, 1, sizeof chunk, file); n > 0; n = fread(chunk, 1, sizeof chunk, file))
    text.append(chunk, n);
  fclose(file);
  return text;
}

static void ClearTrace(const char* dsn) {
  char path[1024];
  snprintf(path, sizeof path, "%s/%s.trace", gFolder, dsn);
  unlink(path);
}

// Reads the data source's live driver handle counts that end a trace line; -1 when absent.
static void ReadCounts(const std::string& line, int counts[3]) {
  counts[0] = counts[1] = counts[2] = -1;
  size_t at = line.rfind(" env=");
  if (at != std::string::npos)
    sscanf(line.c_str() + at, " env=%d dbc=%d stmt=%d", &counts[0], &counts[1], &counts[2]);
}

static std::string FindTraceLine(const std::string& trace, const char* prefix) {
  size_t at = ("\n" + trace).find(std::string("\n") + prefix);
  if (at == std::string::npos) return "";
  return trace.substr(at, trace.find('\n', at) - at);
}

static std::string LastTraceLine(const char* dsn) {
  std::string trace = ReadTrace(dsn);
  if (!trace.empty() && trace.back() == '\n') trace.pop_back();
  size_t start = trace.rfind('\n');
  return start == std::string::npos ? trace : trace.substr(start + 1);
}

static int CountLines(const std::string& trace, const char* prefix) {
  int count = 0;
  for (size_t at = 0; at < trace.size();) {
    if (trace.compare(at, strlen(prefix), prefix) == 0) ++count;
    size_t next = trace.find('\n', at);
    at = next == std::string::npos ? trace.size() : next + 1;
  }
  return count;
}

// Returns the first of the given line prefixes not found after the previous one, or NULL.
static const char* FindMissingInOrder(const std::string& trace, const char* const* prefixes,
                                      int count) {
  size_t at = 0;
  for (int i = 0; i < count; ++i) {
    std::string needle = std::string("\n") + prefixes[i];
    size_t found = ("\n" + trace).find(needle, at);
    if (found == std::string::npos) return prefixes[i];
    at = found + needle.size();
  }
  return NULL;
}

// Calls SQLError the way the service does, until it stops giving records (bounded).
static void CollectErrors(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLSMALLINT bufferSize,
                          ErrorList* list) {
  memset(list, 0, sizeof *list);
  list->last = SQL_SUCCESS;
  for (int i = 0; i < kMaxErrors; ++i) {
    ErrorRecord* record = &list->records[list->count];
    SQLRETURN rc = SQLError(env, dbc, stmt, (SQLCHAR*)record->state, &record->native,
                            (SQLCHAR*)record->message, bufferSize, &record->length);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
      list->last = rc;
      return;
    }
    record->rc = rc;
    ++list->count;
  }
}

static void ExpectRecord(const ErrorList* list, int index, const char* state, SQLINTEGER native,
                         const std::string& message) {
  ASSERT_LT(index, list->count);
  const ErrorRecord* record = &list->records[index];
  EXPECT_STREQ(state, record->state) << "record " << index;
  EXPECT_EQ(native, record->native) << "record " << index;
  EXPECT_EQ(message, record->message) << "record " << index;
  EXPECT_EQ((SQLSMALLINT)message.size(), record->length) << "record " << index;
}

static void CollectStepErrors(const Session* session, Step step, ErrorList* list) {
  CollectErrors(session->env, session->dbc, step == kExecute ? session->stmt : SQL_NULL_HSTMT,
                513, list);
}

// Runs the service's calls up to `last`, expecting each earlier one to succeed; gives last's code.
static SQLRETURN RunUntil(Session* session, const char* dsn, Step last) {
  memset(session, 0, sizeof *session);
  ClearTrace(dsn);
  EXPECT_EQ(SQL_SUCCESS, SQLAllocEnv(&session->env));
  EXPECT_EQ(SQL_SUCCESS, SQLAllocConnect(session->env, &session->dbc));
  SQLRETURN rc = SQLConnect(session->dbc, (SQLCHAR*)dsn, SQL_NTS, (SQLCHAR*)"tester", SQL_NTS,
                            (SQLCHAR*)"secret", SQL_NTS);
  if (last == kConnect) return rc;
  EXPECT_EQ(SQL_SUCCESS, rc) << "SQLConnect";
  rc = SQLSetConnectOption(session->dbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
  if (last == kAutocommit) return rc;
  EXPECT_EQ(SQL_SUCCESS, rc) << "SQLSetConnectOption";
  rc = SQLAllocStmt(session->dbc, &session->stmt);
  if (last == kAllocStmt) return rc;
  EXPECT_EQ(SQL_SUCCESS, rc) << "SQLAllocStmt";
  rc = SQLExecDirect(session->stmt, (SQLCHAR*)kStatement, SQL_NTS);
  if (last == kExecute) return rc;
  EXPECT_EQ(SQL_SUCCESS, rc) << "SQLExecDirect";
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_STMT, session->stmt));
  session->stmt = SQL_NULL_HSTMT;
  rc = SQLTransact(session->env, session->dbc, SQL_COMMIT);
  if (last == kCommit) return rc;
  EXPECT_EQ(SQL_SUCCESS, rc) << "SQLTransact";
  return SQLDisconnect(session->dbc);
}

// Best-effort release, as the service does on its way out; a connection whose disconnect keeps
// failing stays allocated.
static void Release(Session* session) {
  if (session->stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, session->stmt);
  SQLDisconnect(session->dbc);
  if (SQLFreeHandle(SQL_HANDLE_DBC, session->dbc) == SQL_SUCCESS)
    SQLFreeHandle(SQL_HANDLE_ENV, session->env);
  memset(session, 0, sizeof *session);
}

static std::string Digits(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += (char)('0' + i % 10);
  return text;
}

TEST(FaultDriver, HealthyCallsReachTheDriverThroughOdbc3EntryPoints) {
  Session session;
  ASSERT_EQ(SQL_SUCCESS, RunUntil(&session, "healthy", kDisconnect));
  // The driver manager frees the driver's connection and environment inside SQLDisconnect.
  std::string afterDisconnect = ReadTrace("healthy");
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
  std::string trace = ReadTrace("healthy");
  EXPECT_EQ(afterDisconnect, trace) << "the application's frees never reach the driver";
  const char* const expected[] = {
      "SQLAllocHandle ENV rc=0",
      "SQLSetEnvAttr attr=200 value=2 rc=0",
      "SQLAllocHandle DBC rc=0",
      "SQLConnect healthy rc=0",
      "SQLGetFunctions id=999 rc=0",
      "SQLSetConnectAttr attr=102 value=1 rc=0",
      "SQLAllocHandle STMT rc=0",
      "SQLExecDirect [UPDATE accounts SET balance = 0 WHERE id = 7] rc=0",
      "SQLFreeHandle STMT rc=0",
      "SQLEndTran DBC COMMIT rc=0",
      "SQLDisconnect rc=0",
      "SQLFreeHandle DBC rc=0",
      "SQLFreeHandle ENV rc=0 env=0 dbc=0 stmt=0",
  };
  const char* missing = FindMissingInOrder(trace, expected, sizeof expected / sizeof expected[0]);
  EXPECT_TRUE(missing == NULL) << "missing in order: " << missing << "\ntrace:\n" << trace;
  EXPECT_EQ("SQLFreeHandle ENV rc=0 env=0 dbc=0 stmt=0", LastTraceLine("healthy"));
}

TEST(FaultDriver, ConnectFailureGivesRecordsInOrderThroughGetDiagRecAndSqlError) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "connect_fails", kConnect));
  SQLCHAR state[6] = {0}, message[100] = {0};
  EXPECT_EQ(SQL_SUCCESS,
            SQLGetDiagRec(SQL_HANDLE_DBC, session.dbc, 1, state, NULL, message, 100, NULL));
  EXPECT_STREQ("S1000", (char*)state);
  EXPECT_STREQ("[unixODBC]first message", (char*)message);
  ErrorList errors;
  CollectErrors(session.env, session.dbc, SQL_NULL_HSTMT, 513, &errors);
  ASSERT_EQ(2, errors.count);
  ExpectRecord(&errors, 0, "S1000", 1, "[unixODBC]first message");
  ExpectRecord(&errors, 1, "37000", 2, "[unixODBC]second message");
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  // The driver manager drops the driver's handles as soon as the connect fails.
  EXPECT_EQ("SQLFreeHandle ENV rc=0 env=0 dbc=0 stmt=0", LastTraceLine("connect_fails"));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
}

struct FailCase {
  const char* dsn;
  Step step;
  const char* driverLine;  // trace line of the failing driver call
};

static void PrintTo(const FailCase& fail, std::ostream* out) { *out << fail.dsn; }

class FailingCall : public ::testing::TestWithParam<FailCase> {};

TEST_P(FailingCall, FailsWithTheRecordsInOrder) {
  const FailCase& fail = GetParam();
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, fail.dsn, fail.step));
  ErrorList errors;
  CollectStepErrors(&session, fail.step, &errors);
  ASSERT_EQ(2, errors.count);
  ExpectRecord(&errors, 0, "S1000", 1, "first message");
  ExpectRecord(&errors, 1, "37000", 2, "second message");
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  EXPECT_NE(std::string::npos, ReadTrace(fail.dsn).find(fail.driverLine));
  Release(&session);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceCalls, FailingCall,
    ::testing::Values(FailCase{"autocommit_fails", kAutocommit, "SQLSetConnectAttr attr=102 value=1 rc=-1"},
                      FailCase{"allocstmt_fails", kAllocStmt, "SQLAllocHandle STMT rc=-1"},
                      FailCase{"execute_fails", kExecute, "SQLExecDirect [UPDATE accounts"},
                      FailCase{"endtran_fails", kCommit, "SQLEndTran DBC COMMIT rc=-1"},
                      FailCase{"disconnect_fails", kDisconnect, "SQLDisconnect rc=-1"}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.dsn); });

TEST(FaultDriver, EmptyRecordsGiveNoDataAtOnce) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "execute_no_records", kExecute));
  ErrorList errors;
  CollectStepErrors(&session, kExecute, &errors);
  EXPECT_EQ(0, errors.count);
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  Release(&session);

  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "connect_no_records", kConnect));
  SQLCHAR state[6] = {0}, message[100] = {0};
  EXPECT_EQ(SQL_NO_DATA,
            SQLGetDiagRec(SQL_HANDLE_DBC, session.dbc, 1, state, NULL, message, 100, NULL));
  CollectStepErrors(&session, kConnect, &errors);
  EXPECT_EQ(0, errors.count);
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  Release(&session);
}

TEST(FaultDriver, AbsentRecordsGiveOneDefaultRecord) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "execute_default_record", kExecute));
  ErrorList errors;
  CollectStepErrors(&session, kExecute, &errors);
  ASSERT_EQ(1, errors.count);
  ExpectRecord(&errors, 0, "S1000", 1, "[faultdriver] injected failure in SQLExecDirect");
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  Release(&session);
}

TEST(FaultDriver, DriverManagerOrdersRecordsBySqlstateDescending) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "execute_unsorted", kExecute));
  ErrorList errors;
  CollectStepErrors(&session, kExecute, &errors);
  ASSERT_EQ(4, errors.count);
  ExpectRecord(&errors, 0, "S1000", 2, "general");
  ExpectRecord(&errors, 1, "S1000", 4, "general again");
  ExpectRecord(&errors, 2, "37000", 1, "syntax");
  ExpectRecord(&errors, 3, "01000", 3, "warning");
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  Release(&session);
}

TEST(FaultDriver, LongStatementMessageIsCutTo511CharactersBeforeSqlErrorSeesIt) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "execute_long", kExecute));
  const SQLSMALLINT sizes[] = {513, 100, 1024};
  const SQLRETURN codes[] = {SQL_SUCCESS, SQL_SUCCESS_WITH_INFO, SQL_SUCCESS};
  const size_t kept[] = {511, 99, 511};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(sizes[i]);
    if (i > 0) {
      ASSERT_EQ(SQL_ERROR, SQLExecDirect(session.stmt, (SQLCHAR*)kStatement, SQL_NTS));
    }
    ErrorList errors;
    CollectErrors(session.env, session.dbc, session.stmt, sizes[i], &errors);
    ASSERT_EQ(1, errors.count);
    EXPECT_EQ(codes[i], errors.records[0].rc);
    EXPECT_EQ(511, errors.records[0].length);
    EXPECT_EQ(Digits(700).substr(0, kept[i]), errors.records[0].message);
    EXPECT_EQ(SQL_NO_DATA, errors.last);
  }
  Release(&session);
}

TEST(FaultDriver, LongConnectMessageIsCutBySqlErrorBuffer) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "connect_long", kConnect));
  const std::string full = "[unixODBC]" + Digits(512);
  SQLCHAR state[6] = {0}, message[100] = {0};
  EXPECT_EQ(SQL_SUCCESS_WITH_INFO,
            SQLGetDiagRec(SQL_HANDLE_DBC, session.dbc, 1, state, NULL, message, 100, NULL));
  EXPECT_EQ(full.substr(0, 99), (char*)message);
  ErrorList errors;
  CollectErrors(session.env, session.dbc, SQL_NULL_HSTMT, 513, &errors);
  ASSERT_EQ(1, errors.count);
  EXPECT_EQ(SQL_SUCCESS_WITH_INFO, errors.records[0].rc);
  EXPECT_EQ((SQLSMALLINT)full.size(), errors.records[0].length);
  EXPECT_EQ(full.substr(0, 512), errors.records[0].message);
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  Release(&session);
}

struct CodeCase {
  const char* call;
  Step step;
  SQLRETURN code;
  int records;  // how many of the two configured records the application gets
};

static void PrintTo(const CodeCase& test, std::ostream* out) {
  *out << test.call << " returning " << test.code;
}

class ReturnCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(ReturnCode, ReachesTheApplication) {
  const CodeCase& test = GetParam();
  char dsn[64];
  snprintf(dsn, sizeof dsn, "rc_%s_%d", test.call, (int)test.code);
  Session session;
  ASSERT_EQ(test.code, RunUntil(&session, dsn, test.step));
  ErrorList errors;
  CollectStepErrors(&session, test.step, &errors);
  EXPECT_EQ(SQL_NO_DATA, errors.last);
  ASSERT_EQ(test.records, errors.count);
  const char* prefix = test.step == kConnect ? "[unixODBC]" : "";
  if (test.records == 2) {
    ExpectRecord(&errors, 0, "S1000", 1, std::string(prefix) + "first message");
    ExpectRecord(&errors, 1, "37000", 2, std::string(prefix) + "second message");
  }
  if (test.step == kConnect && test.code != SQL_SUCCESS_WITH_INFO) {
    // Any code but SQL_SUCCESS_WITH_INFO leaves the connection closed.
    EXPECT_EQ(SQL_ERROR, SQLAllocStmt(session.dbc, &session.stmt));
    CollectErrors(session.env, session.dbc, SQL_NULL_HSTMT, 513, &errors);
    ASSERT_EQ(1, errors.count);
    EXPECT_STREQ("08003", errors.records[0].state);
    session.stmt = SQL_NULL_HSTMT;
  }
  if (test.step == kDisconnect && test.code != SQL_SUCCESS_WITH_INFO) {
    // Any code but SQL_SUCCESS_WITH_INFO leaves it connected, so it cannot be freed.
    EXPECT_EQ(SQL_ERROR, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  }
  Release(&session);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReturnCode,
    ::testing::Values(CodeCase{"connect", kConnect, SQL_INVALID_HANDLE, 2},
                      CodeCase{"connect", kConnect, SQL_STILL_EXECUTING, 2},
                      CodeCase{"connect", kConnect, SQL_SUCCESS_WITH_INFO, 2},
                      CodeCase{"connect", kConnect, SQL_NO_DATA, 2},
                      CodeCase{"autocommit", kAutocommit, SQL_INVALID_HANDLE, 0},
                      CodeCase{"autocommit", kAutocommit, SQL_STILL_EXECUTING, 0},
                      CodeCase{"autocommit", kAutocommit, SQL_SUCCESS_WITH_INFO, 2},
                      CodeCase{"autocommit", kAutocommit, SQL_NO_DATA, 0},
                      CodeCase{"execute", kExecute, SQL_INVALID_HANDLE, 0},
                      CodeCase{"execute", kExecute, SQL_STILL_EXECUTING, 0},
                      CodeCase{"execute", kExecute, SQL_SUCCESS_WITH_INFO, 2},
                      CodeCase{"execute", kExecute, SQL_NO_DATA, 0},
                      CodeCase{"disconnect", kDisconnect, SQL_INVALID_HANDLE, 0},
                      CodeCase{"disconnect", kDisconnect, SQL_STILL_EXECUTING, 0},
                      CodeCase{"disconnect", kDisconnect, SQL_SUCCESS_WITH_INFO, 2},
                      CodeCase{"disconnect", kDisconnect, SQL_NO_DATA, 0}),
    [](const ::testing::TestParamInfo<CodeCase>& info) {
      return std::string(info.param.call) + "_" +
             (info.param.code < 0 ? "minus" + std::to_string(-info.param.code)
                                  : std::to_string(info.param.code));
    });

TEST(FaultDriver, StillExecutingStatementBlocksCommitAndFreeButNotDisconnect) {
  Session session;
  ASSERT_EQ(SQL_STILL_EXECUTING, RunUntil(&session, "rc_execute_2", kExecute));
  ErrorList errors;
  EXPECT_EQ(SQL_ERROR, SQLTransact(session.env, session.dbc, SQL_COMMIT));
  CollectErrors(session.env, session.dbc, SQL_NULL_HSTMT, 513, &errors);
  ASSERT_EQ(1, errors.count);
  EXPECT_STREQ("S1010", errors.records[0].state);
  EXPECT_EQ(SQL_ERROR, SQLFreeHandle(SQL_HANDLE_STMT, session.stmt));
  CollectErrors(session.env, session.dbc, session.stmt, 513, &errors);
  ASSERT_EQ(1, errors.count);
  EXPECT_STREQ("S1010", errors.records[0].state);
  EXPECT_EQ(SQL_SUCCESS, SQLDisconnect(session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
  EXPECT_EQ("SQLFreeHandle ENV rc=0 env=0 dbc=0 stmt=0", LastTraceLine("rc_execute_2"));
}

static void ExpectSequenceError(SQLHENV env, SQLHDBC dbc) {
  ErrorList errors;
  CollectErrors(env, dbc, SQL_NULL_HSTMT, 513, &errors);
  ASSERT_EQ(1, errors.count);
  EXPECT_STREQ("S1010", errors.records[0].state);
  EXPECT_STREQ("[unixODBC][Driver Manager]Function sequence error", errors.records[0].message);
}

static void ExpectStillActive(const Session* session) {
  ErrorList errors;
  CollectStepErrors(session, kDisconnect, &errors);
  ASSERT_EQ(1, errors.count);
  ExpectRecord(&errors, 0, "25000", 1, "transaction still active");
}

TEST(FaultDriver, FailedDisconnectBlocksFreeUntilADisconnectSucceeds) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "disconnect_once", kDisconnect));
  ExpectStillActive(&session);
  EXPECT_EQ(SQL_ERROR, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  ExpectSequenceError(session.env, session.dbc);
  EXPECT_EQ(SQL_ERROR, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
  ExpectSequenceError(session.env, SQL_NULL_HDBC);
  // The failed frees change nothing: a second disconnect still releases everything.
  EXPECT_EQ(SQL_SUCCESS, SQLDisconnect(session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
  std::string trace = ReadTrace("disconnect_once");
  EXPECT_EQ(1, CountLines(trace, "SQLDisconnect rc=-1"));
  EXPECT_EQ(1, CountLines(trace, "SQLDisconnect rc=0"));
  EXPECT_EQ("SQLFreeHandle ENV rc=0 env=0 dbc=0 stmt=0", LastTraceLine("disconnect_once"));
}

TEST(FaultDriver, RollbackAfterFailedDisconnectReachesTheDriverAndLetsItRelease) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "disconnect_until_rollback", kDisconnect));
  ExpectStillActive(&session);
  EXPECT_EQ(SQL_ERROR, SQLDisconnect(session.dbc));
  ExpectStillActive(&session);
  EXPECT_EQ(SQL_SUCCESS, SQLTransact(session.env, session.dbc, SQL_ROLLBACK));
  EXPECT_EQ(SQL_SUCCESS, SQLDisconnect(session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
  const char* const expected[] = {"SQLDisconnect rc=-1", "SQLDisconnect rc=-1",
                                  "SQLEndTran DBC ROLLBACK rc=0", "SQLDisconnect rc=0",
                                  "SQLFreeHandle DBC rc=0", "SQLFreeHandle ENV rc=0"};
  std::string trace = ReadTrace("disconnect_until_rollback");
  const char* missing = FindMissingInOrder(trace, expected, sizeof expected / sizeof expected[0]);
  EXPECT_TRUE(missing == NULL) << "missing in order: " << missing << "\ntrace:\n" << trace;
  EXPECT_EQ("SQLFreeHandle ENV rc=0 env=0 dbc=0 stmt=0",
            LastTraceLine("disconnect_until_rollback"));
}

TEST(FaultDriver, AlwaysFailingDisconnectLeavesNoWayToRelease) {
  Session session;
  ASSERT_EQ(SQL_ERROR, RunUntil(&session, "disconnect_always", kDisconnect));
  ExpectStillActive(&session);
  EXPECT_EQ(SQL_SUCCESS, SQLTransact(session.env, session.dbc, SQL_ROLLBACK));
  EXPECT_EQ(SQL_ERROR, SQLDisconnect(session.dbc));
  ExpectStillActive(&session);
  EXPECT_EQ(SQL_SUCCESS, SQLEndTran(SQL_HANDLE_DBC, session.dbc, SQL_ROLLBACK));
  EXPECT_EQ(SQL_ERROR, SQLDisconnect(session.dbc));
  ExpectStillActive(&session);
  EXPECT_EQ(SQL_ERROR, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
  ExpectSequenceError(session.env, session.dbc);
  EXPECT_EQ(SQL_ERROR, SQLFreeConnect(session.dbc));
  ExpectSequenceError(session.env, session.dbc);
  EXPECT_EQ(SQL_ERROR, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
  ExpectSequenceError(session.env, SQL_NULL_HDBC);
  EXPECT_EQ(SQL_ERROR, SQLFreeEnv(session.env));
  ExpectSequenceError(session.env, SQL_NULL_HDBC);
  std::string trace = ReadTrace("disconnect_always");
  EXPECT_EQ(3, CountLines(trace, "SQLDisconnect rc=-1"));
  EXPECT_EQ(0, CountLines(trace, "SQLFreeHandle DBC"));
  // The driver's environment and connection are as alive as right after SQLConnect.
  int connected[3], last[3];
  ReadCounts(FindTraceLine(trace, "SQLConnect "), connected);
  ReadCounts(LastTraceLine("disconnect_always"), last);
  EXPECT_GE(connected[1], 1);
  EXPECT_EQ(connected[0], last[0]);
  EXPECT_EQ(connected[1], last[1]);
  EXPECT_EQ(0, last[2]);
}

TEST(FaultDriver, DriverFreeFailuresNeverReachTheApplication) {
  const char* const sources[] = {"freedbc_fails", "freeenv_fails"};
  const char* const refusals[] = {"SQLFreeHandle DBC rc=-1", "SQLFreeHandle ENV rc=-1"};
  const int dbcsFreed[] = {0, 1};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(sources[i]);
    Session session;
    EXPECT_EQ(SQL_SUCCESS, RunUntil(&session, sources[i], kDisconnect));
    EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_DBC, session.dbc));
    EXPECT_EQ(SQL_SUCCESS, SQLFreeHandle(SQL_HANDLE_ENV, session.env));
    // The driver refused inside SQLDisconnect, so its handles leak; nothing tells the application.
    std::string trace = ReadTrace(sources[i]);
    EXPECT_EQ(1, CountLines(trace, refusals[i]));
    int connected[3], last[3];
    ReadCounts(FindTraceLine(trace, "SQLConnect "), connected);
    ReadCounts(LastTraceLine(sources[i]), last);
    EXPECT_EQ(connected[0], last[0]);
    EXPECT_EQ(connected[1] - dbcsFreed[i], last[1]);
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (PrepareOdbcFolder() != 0) {
    fprintf(stderr, "cannot prepare a private ODBC folder under %s\n", gFolder);
    RemoveOdbcFolder();
    return 1;
  }
  int result = RUN_ALL_TESTS();
  RemoveOdbcFolder();
  return result;
}
