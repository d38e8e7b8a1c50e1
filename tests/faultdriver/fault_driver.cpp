// Test-only ODBC driver for unixODBC: fails the call its data source names (FailCall=) with the
// diagnostic records it names (Records=), and appends one line per entry point call to TraceFile=.
#include <odbcinst.h>
#include <pthread.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kMaxRecords = 8, kMaxMessage = 4096, kMaxHandles = 64, kMaxValue = 1024, kMaxPath = 512 };
enum { kMaxTraceLines = 100000, kPendingSize = 8192 };

enum FaultCall {
  kFailNone, kFailConnect, kFailAutocommit, kFailAllocStmt, kFailExecute,
  kFailEndTran, kFailDisconnect, kFailFreeStmt, kFailFreeDbc, kFailFreeEnv
};
static const char* const kFailCallNames[] = {"none",    "connect",    "autocommit", "allocstmt",
                                             "execute", "endtran",    "disconnect", "freestmt",
                                             "freedbc", "freeenv"};

// Read from the data source's odbc.ini section at SQLConnect. The connection's env and
// statements carry a copy, so their faults and trace lines follow the same data source.
struct FaultConfig {
  int failCall;
  SQLRETURN returnCode;
  int hasRecords;  // Records= present; present but empty means the failure posts no record
  char records[kMaxValue];
  int longMessage;
  int disconnectFailsOnce;
  int disconnectFailsUntilRollback;
  char traceFile[kMaxPath];
};

struct DiagRecord {
  char state[6];
  SQLINTEGER native;
  char message[kMaxMessage + 1];
};

struct Handle {
  SQLSMALLINT kind;  // SQL_HANDLE_ENV, SQL_HANDLE_DBC or SQL_HANDLE_STMT
  Handle* parent;
  int diagCount;
  DiagRecord diag[kMaxRecords];
  FaultConfig config;
  SQLINTEGER odbcVersion;
  int connected;
  int disconnectFailures;
  int rolledBack;
};

// Every entry point holds this one lock, so tests may drive connections from many threads.
static pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
// Handles are checked against this table, so a stale or foreign handle gets
// SQL_INVALID_HANDLE instead of a crash, and the trace can count what is still alive.
static Handle* gLive[kMaxHandles];
static int gTraceLines;
// Lines traced before a SQLConnect named a trace file; they go to the first file named.
static char gPending[kPendingSize];
static size_t gPendingLength;

static int IsLive(const void* handle, SQLSMALLINT kind) {
  for (int i = 0; i < kMaxHandles && handle != NULL; ++i)
    if (gLive[i] == handle) return gLive[i]->kind == kind;
  return 0;
}

// Counts the live handles of one data source (those tracing to path), so that a test's counts
// are not disturbed by handles another test's data source leaked in the same process.
static int CountLive(SQLSMALLINT kind, const char* path) {
  int count = 0;
  for (int i = 0; i < kMaxHandles; ++i)
    if (gLive[i] != NULL && gLive[i]->kind == kind && strcmp(gLive[i]->config.traceFile, path) == 0)
      ++count;
  return count;
}

static void AppendToFile(const char* path, const char* text, size_t length) {
  FILE* file = fopen(path, "a");
  if (file == NULL) return;
  fwrite(text, 1, length, file);
  fclose(file);
}

static void TraceTo(const char* path, const char* call, const char* detail, SQLRETURN rc) {
  if (gTraceLines >= kMaxTraceLines) return;
  ++gTraceLines;
  char line[512];
  int length = snprintf(line, sizeof line, "%s%s%s rc=%d env=%d dbc=%d stmt=%d\n", call,
                        detail[0] != '\0' ? " " : "", detail, (int)rc,
                        CountLive(SQL_HANDLE_ENV, path), CountLive(SQL_HANDLE_DBC, path),
                        CountLive(SQL_HANDLE_STMT, path));
  if (length < 0) return;
  if (length >= (int)sizeof line) length = (int)sizeof line - 1;
  if (path[0] == '\0') {
    if (gPendingLength + (size_t)length < sizeof gPending) {
      memcpy(gPending + gPendingLength, line, (size_t)length);
      gPendingLength += (size_t)length;
    }
    return;
  }
  if (gPendingLength > 0) AppendToFile(path, gPending, gPendingLength);
  gPendingLength = 0;
  AppendToFile(path, line, (size_t)length);
}

static void Trace(const Handle* handle, const char* call, const char* detail, SQLRETURN rc) {
  TraceTo(handle != NULL ? handle->config.traceFile : "", call, detail, rc);
}

static const char* KindName(SQLSMALLINT kind) {
  if (kind == SQL_HANDLE_ENV) return "ENV";
  if (kind == SQL_HANDLE_DBC) return "DBC";
  return kind == SQL_HANDLE_STMT ? "STMT" : "OTHER";
}

static void AddRecord(Handle* handle, const char* state, const char* message, size_t length) {
  if (handle->diagCount >= kMaxRecords) return;
  DiagRecord* record = &handle->diag[handle->diagCount];
  snprintf(record->state, sizeof record->state, "%.5s", state);
  if (length > kMaxMessage) length = kMaxMessage;
  memcpy(record->message, message, length);
  record->message[length] = '\0';
  record->native = ++handle->diagCount;
}

static void AddRecordText(Handle* handle, const char* state, const char* message) {
  AddRecord(handle, state, message, strlen(message));
}

// Posts the configured records on the failing handle and gives the configured return code.
static SQLRETURN InjectFault(Handle* handle, const char* call) {
  const FaultConfig* config = &handle->config;
  if (!config->hasRecords) {
    char message[128];
    snprintf(message, sizeof message, "[faultdriver] injected failure in %s", call);
    AddRecordText(handle, "HY000", message);
  }
  for (const char* item = config->records; *item != '\0';) {
    const char* end = strchr(item, '|');
    size_t length = end != NULL ? (size_t)(end - item) : strlen(item);
    if (length >= 6 && item[5] == ':')
      AddRecord(handle, item, item + 6, length - 6);
    else
      AddRecord(handle, "HY000", item, length);
    item += end != NULL ? length + 1 : length;
  }
  if (config->longMessage > 0) {
    static char message[kMaxMessage];
    int length = config->longMessage > kMaxMessage ? kMaxMessage : config->longMessage;
    for (int i = 0; i < length; ++i) message[i] = (char)('0' + i % 10);
    AddRecord(handle, "HY000", message, (size_t)length);
  }
  return config->returnCode;
}

static int Failed(SQLRETURN rc) { return rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO; }

static int FaultIs(const Handle* handle, int call) { return handle->config.failCall == call; }

static int ReadInt(const char* dsn, const char* key) {
  char value[32];
  SQLGetPrivateProfileString(dsn, key, "0", value, sizeof value, "odbc.ini");
  return atoi(value);
}

static void ReadConfig(const char* dsn, FaultConfig* config) {
  char value[64];
  memset(config, 0, sizeof *config);
  SQLGetPrivateProfileString(dsn, "FailCall", "none", value, sizeof value, "odbc.ini");
  for (int i = 0; i < (int)(sizeof kFailCallNames / sizeof kFailCallNames[0]); ++i)
    if (strcmp(value, kFailCallNames[i]) == 0) config->failCall = i;
  SQLGetPrivateProfileString(dsn, "ReturnCode", "-1", value, sizeof value, "odbc.ini");
  config->returnCode = (SQLRETURN)atoi(value);
  // An absent key yields the default, which no odbc.ini line can spell.
  const char* absent = "\x01";
  SQLGetPrivateProfileString(dsn, "Records", absent, config->records, sizeof config->records,
                             "odbc.ini");
  config->hasRecords = strcmp(config->records, absent) != 0;
  if (!config->hasRecords) config->records[0] = '\0';
  config->longMessage = ReadInt(dsn, "LongMessage");
  config->disconnectFailsOnce = ReadInt(dsn, "DisconnectFailsOnce");
  config->disconnectFailsUntilRollback = ReadInt(dsn, "DisconnectFailsUntilRollback");
  SQLGetPrivateProfileString(dsn, "TraceFile", "", config->traceFile, sizeof config->traceFile,
                             "odbc.ini");
}

// Copies text into a caller buffer of outSize bytes; returns 1 when the text did not fit.
static int CopyText(const char* text, void* out, long outSize) {
  size_t length = strlen(text);
  if (out == NULL) return 0;
  if (outSize <= 0) return 1;
  size_t copied = length < (size_t)(outSize - 1) ? length : (size_t)(outSize - 1);
  memcpy(out, text, copied);
  ((char*)out)[copied] = '\0';
  return length > copied;
}

static Handle* NewHandle(SQLSMALLINT kind, Handle* parent) {
  for (int slot = 0; slot < kMaxHandles; ++slot) {
    if (gLive[slot] != NULL) continue;
    Handle* handle = (Handle*)calloc(1, sizeof(Handle));
    if (handle == NULL) return NULL;
    handle->kind = kind;
    handle->parent = parent;
    handle->odbcVersion = SQL_OV_ODBC3;
    if (parent != NULL) handle->config = parent->config;
    gLive[slot] = handle;
    return handle;
  }
  return NULL;
}

static void DeleteHandle(Handle* handle) {
  for (int i = 0; i < kMaxHandles; ++i)
    if (gLive[i] == handle) gLive[i] = NULL;
  free(handle);
}

static int CountChildren(const Handle* parent) {
  int count = 0;
  for (int i = 0; i < kMaxHandles; ++i)
    if (gLive[i] != NULL && gLive[i]->parent == parent) ++count;
  return count;
}

static SQLRETURN AllocHandleImpl(SQLSMALLINT kind, SQLHANDLE input, SQLHANDLE* output) {
  Handle* parent = kind == SQL_HANDLE_ENV ? NULL : (Handle*)input;
  if (output == NULL) return SQL_ERROR;
  *output = SQL_NULL_HANDLE;
  if (kind != SQL_HANDLE_ENV) {
    if (!IsLive(parent, kind == SQL_HANDLE_DBC ? SQL_HANDLE_ENV : SQL_HANDLE_DBC))
      return SQL_INVALID_HANDLE;
    parent->diagCount = 0;
  }
  SQLRETURN rc = SQL_SUCCESS;
  if (kind == SQL_HANDLE_STMT && !parent->connected) {
    AddRecordText(parent, "08003", "[faultdriver] connection not open");
    rc = SQL_ERROR;
  } else if (kind == SQL_HANDLE_STMT && FaultIs(parent, kFailAllocStmt)) {
    rc = InjectFault(parent, "SQLAllocHandle(STMT)");
  }
  if (!Failed(rc)) {
    *output = NewHandle(kind, parent);
    if (*output == SQL_NULL_HANDLE) rc = SQL_ERROR;
  }
  Trace(parent != NULL ? parent : (Handle*)*output, "SQLAllocHandle", KindName(kind), rc);
  return rc;
}

static SQLRETURN FreeHandleImpl(SQLSMALLINT kind, SQLHANDLE input) {
  Handle* handle = (Handle*)input;
  if (!IsLive(handle, kind)) return SQL_INVALID_HANDLE;
  handle->diagCount = 0;
  SQLRETURN rc = SQL_SUCCESS;
  if ((kind == SQL_HANDLE_DBC && handle->connected) || CountChildren(handle) > 0) {
    AddRecordText(handle, "HY010", "[faultdriver] function sequence error");
    rc = SQL_ERROR;
  } else if ((kind == SQL_HANDLE_ENV && FaultIs(handle, kFailFreeEnv)) ||
             (kind == SQL_HANDLE_DBC && FaultIs(handle, kFailFreeDbc)) ||
             (kind == SQL_HANDLE_STMT && FaultIs(handle, kFailFreeStmt))) {
    rc = InjectFault(handle, "SQLFreeHandle");
  }
  char path[kMaxPath];
  memcpy(path, handle->config.traceFile, sizeof path);
  if (!Failed(rc)) DeleteHandle(handle);
  TraceTo(path, "SQLFreeHandle", KindName(kind), rc);
  return rc;
}

static SQLRETURN ConnectImpl(SQLHDBC hdbc, const SQLCHAR* server, SQLSMALLINT serverLength) {
  Handle* dbc = (Handle*)hdbc;
  if (!IsLive(dbc, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  dbc->diagCount = 0;
  char dsn[256];
  size_t length = server == NULL ? 0 : serverLength == SQL_NTS ? strlen((const char*)server)
                                                                : (size_t)serverLength;
  snprintf(dsn, sizeof dsn, "%.*s", (int)length, server == NULL ? "" : (const char*)server);
  SQLRETURN rc = SQL_SUCCESS;
  if (dbc->connected) {
    AddRecordText(dbc, "08002", "[faultdriver] connection name in use");
    rc = SQL_ERROR;
  } else {
    ReadConfig(dsn, &dbc->config);
    dbc->parent->config = dbc->config;
    dbc->disconnectFailures = 0;
    dbc->rolledBack = 0;
    if (FaultIs(dbc, kFailConnect)) rc = InjectFault(dbc, "SQLConnect");
    dbc->connected = !Failed(rc);
  }
  Trace(dbc, "SQLConnect", dsn, rc);
  return rc;
}

static SQLRETURN DisconnectImpl(SQLHDBC hdbc) {
  Handle* dbc = (Handle*)hdbc;
  if (!IsLive(dbc, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  dbc->diagCount = 0;
  SQLRETURN rc = SQL_SUCCESS;
  const FaultConfig* config = &dbc->config;
  if (!dbc->connected) {
    AddRecordText(dbc, "08003", "[faultdriver] connection not open");
    rc = SQL_ERROR;
  } else if (FaultIs(dbc, kFailDisconnect) ||
             (config->disconnectFailsOnce && dbc->disconnectFailures == 0) ||
             (config->disconnectFailsUntilRollback && !dbc->rolledBack)) {
    ++dbc->disconnectFailures;
    rc = InjectFault(dbc, "SQLDisconnect");
  }
  if (dbc->connected && !Failed(rc)) {
    // The driver manager never frees statements itself once the disconnect went through.
    for (int i = 0; i < kMaxHandles; ++i)
      if (gLive[i] != NULL && gLive[i]->parent == dbc) DeleteHandle(gLive[i]);
    dbc->connected = 0;
  }
  Trace(dbc, "SQLDisconnect", "", rc);
  return rc;
}

static SQLRETURN SetConnectAttrImpl(SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value) {
  Handle* dbc = (Handle*)hdbc;
  if (!IsLive(dbc, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  dbc->diagCount = 0;
  SQLRETURN rc = SQL_SUCCESS;
  if (attribute == SQL_ATTR_AUTOCOMMIT && FaultIs(dbc, kFailAutocommit))
    rc = InjectFault(dbc, "SQLSetConnectAttr");
  char detail[64];
  snprintf(detail, sizeof detail, "attr=%d value=%lu", (int)attribute, (unsigned long)value);
  Trace(dbc, "SQLSetConnectAttr", detail, rc);
  return rc;
}

static SQLRETURN EndTranImpl(SQLSMALLINT kind, SQLHANDLE input, SQLSMALLINT completion) {
  Handle* handle = (Handle*)input;
  if (kind == SQL_HANDLE_STMT || !IsLive(handle, kind)) return SQL_INVALID_HANDLE;
  handle->diagCount = 0;
  SQLRETURN rc = SQL_SUCCESS;
  if (FaultIs(handle, kFailEndTran)) rc = InjectFault(handle, "SQLEndTran");
  for (int i = 0; i < kMaxHandles && !Failed(rc) && completion == SQL_ROLLBACK; ++i) {
    Handle* dbc = gLive[i];
    if (dbc != NULL && dbc->kind == SQL_HANDLE_DBC && (dbc == handle || dbc->parent == handle))
      dbc->rolledBack = 1;
  }
  char detail[32];
  snprintf(detail, sizeof detail, "%s %s", KindName(kind),
           completion == SQL_COMMIT ? "COMMIT" : "ROLLBACK");
  Trace(handle, "SQLEndTran", detail, rc);
  return rc;
}

static SQLRETURN ExecDirectImpl(SQLHSTMT hstmt, const SQLCHAR* text, SQLINTEGER textLength) {
  Handle* stmt = (Handle*)hstmt;
  if (!IsLive(stmt, SQL_HANDLE_STMT)) return SQL_INVALID_HANDLE;
  stmt->diagCount = 0;
  SQLRETURN rc = SQL_SUCCESS;
  if (FaultIs(stmt, kFailExecute)) rc = InjectFault(stmt, "SQLExecDirect");
  size_t length = text == NULL ? 0 : textLength == SQL_NTS ? strlen((const char*)text)
                                                            : (size_t)textLength;
  char detail[256];
  snprintf(detail, sizeof detail, "[%.*s]", (int)(length > 200 ? 200 : length),
           text == NULL ? "" : (const char*)text);
  for (char* c = detail; *c != '\0'; ++c)
    if (*c == '\n' || *c == '\r') *c = ' ';
  Trace(stmt, "SQLExecDirect", detail, rc);
  return rc;
}

static SQLRETURN GetDiagRecImpl(SQLSMALLINT kind, SQLHANDLE input, SQLSMALLINT number,
                                SQLCHAR* state, SQLINTEGER* native, SQLCHAR* message,
                                SQLSMALLINT messageSize, SQLSMALLINT* messageLength) {
  Handle* handle = (Handle*)input;
  if (!IsLive(handle, kind)) return SQL_INVALID_HANDLE;
  SQLRETURN rc = SQL_SUCCESS;
  if (number < 1 || messageSize < 0) {
    rc = SQL_ERROR;
  } else if (number > handle->diagCount) {
    rc = SQL_NO_DATA;
  } else {
    const DiagRecord* record = &handle->diag[number - 1];
    if (state != NULL) memcpy(state, record->state, 6);
    if (native != NULL) *native = record->native;
    if (messageLength != NULL) *messageLength = (SQLSMALLINT)strlen(record->message);
    if (CopyText(record->message, message, messageSize)) rc = SQL_SUCCESS_WITH_INFO;
  }
  char detail[64];
  snprintf(detail, sizeof detail, "%s rec=%d size=%d", KindName(kind), (int)number,
           (int)messageSize);
  Trace(handle, "SQLGetDiagRec", detail, rc);
  return rc;
}

// unixODBC 2.3.11 reads driver records with SQLGetDiagRec only when SQLGetDiagField is there
// too, though it never calls it for an ODBC 2 application; the fields here are the basic ones.
static SQLRETURN GetDiagFieldImpl(SQLSMALLINT kind, SQLHANDLE input, SQLSMALLINT number,
                                  SQLSMALLINT field, SQLPOINTER value, SQLSMALLINT valueSize,
                                  SQLSMALLINT* valueLength) {
  Handle* handle = (Handle*)input;
  if (!IsLive(handle, kind)) return SQL_INVALID_HANDLE;
  SQLRETURN rc = SQL_SUCCESS;
  if (field == SQL_DIAG_NUMBER) {
    if (value != NULL) *(SQLINTEGER*)value = handle->diagCount;
  } else if (number < 1 || number > handle->diagCount) {
    rc = number < 1 ? SQL_ERROR : SQL_NO_DATA;
  } else if (field == SQL_DIAG_NATIVE) {
    if (value != NULL) *(SQLINTEGER*)value = handle->diag[number - 1].native;
  } else if (field == SQL_DIAG_SQLSTATE || field == SQL_DIAG_MESSAGE_TEXT) {
    const DiagRecord* record = &handle->diag[number - 1];
    const char* text = field == SQL_DIAG_SQLSTATE ? record->state : record->message;
    if (valueLength != NULL) *valueLength = (SQLSMALLINT)strlen(text);
    if (CopyText(text, value, valueSize)) rc = SQL_SUCCESS_WITH_INFO;
  } else {
    rc = SQL_ERROR;
  }
  char detail[64];
  snprintf(detail, sizeof detail, "%s rec=%d field=%d", KindName(kind), (int)number, (int)field);
  Trace(handle, "SQLGetDiagField", detail, rc);
  return rc;
}

static SQLRETURN SetEnvAttrImpl(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value) {
  Handle* env = (Handle*)henv;
  if (!IsLive(env, SQL_HANDLE_ENV)) return SQL_INVALID_HANDLE;
  if (attribute == SQL_ATTR_ODBC_VERSION) env->odbcVersion = (SQLINTEGER)(SQLLEN)value;
  char detail[64];
  snprintf(detail, sizeof detail, "attr=%d value=%ld", (int)attribute, (long)(SQLLEN)value);
  Trace(env, "SQLSetEnvAttr", detail, SQL_SUCCESS);
  return SQL_SUCCESS;
}

static SQLRETURN GetEnvAttrImpl(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER* length) {
  Handle* env = (Handle*)henv;
  if (!IsLive(env, SQL_HANDLE_ENV)) return SQL_INVALID_HANDLE;
  if (value != NULL)
    *(SQLINTEGER*)value = attribute == SQL_ATTR_ODBC_VERSION ? env->odbcVersion : 0;
  if (length != NULL) *length = sizeof(SQLINTEGER);
  char detail[32];
  snprintf(detail, sizeof detail, "attr=%d", (int)attribute);
  Trace(env, "SQLGetEnvAttr", detail, SQL_SUCCESS);
  return SQL_SUCCESS;
}

static SQLRETURN GetInfoImpl(SQLHDBC hdbc, SQLUSMALLINT type, SQLPOINTER value,
                             SQLSMALLINT valueSize, SQLSMALLINT* valueLength) {
  Handle* dbc = (Handle*)hdbc;
  if (!IsLive(dbc, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  dbc->diagCount = 0;
  const char* text = NULL;
  SQLUSMALLINT number = 0;
  int known = 1;
  switch (type) {
    case SQL_DRIVER_ODBC_VER: text = "03.00"; break;
    case SQL_DRIVER_NAME: text = "libvarn_faultdriver.so"; break;
    case SQL_DRIVER_VER: text = "01.00.0000"; break;
    case SQL_DBMS_NAME: text = "FaultDB"; break;
    case SQL_DBMS_VER: text = "01.00.0000"; break;
    case SQL_CURSOR_COMMIT_BEHAVIOR: number = SQL_CB_PRESERVE; break;
    case SQL_CURSOR_ROLLBACK_BEHAVIOR: number = SQL_CB_PRESERVE; break;
    case SQL_TXN_CAPABLE: number = SQL_TC_ALL; break;
    default: known = 0; break;
  }
  SQLRETURN rc = SQL_SUCCESS;
  if (!known) {
    AddRecordText(dbc, "HY096", "[faultdriver] information type out of range");
    rc = SQL_ERROR;
  } else if (text != NULL) {
    if (valueLength != NULL) *valueLength = (SQLSMALLINT)strlen(text);
    if (CopyText(text, value, valueSize)) rc = SQL_SUCCESS_WITH_INFO;
  } else {
    if (value != NULL) *(SQLUSMALLINT*)value = number;
    if (valueLength != NULL) *valueLength = sizeof number;
  }
  char detail[32];
  snprintf(detail, sizeof detail, "type=%d", (int)type);
  Trace(dbc, "SQLGetInfo", detail, rc);
  return rc;
}

static const SQLUSMALLINT kExported[] = {
    SQL_API_SQLALLOCHANDLE, SQL_API_SQLFREEHANDLE,     SQL_API_SQLSETENVATTR,
    SQL_API_SQLGETENVATTR,  SQL_API_SQLCONNECT,        SQL_API_SQLDISCONNECT,
    SQL_API_SQLEXECDIRECT,  SQL_API_SQLSETCONNECTATTR, SQL_API_SQLENDTRAN,
    SQL_API_SQLGETDIAGREC,  SQL_API_SQLGETDIAGFIELD,   SQL_API_SQLGETINFO,
    SQL_API_SQLGETFUNCTIONS};

static SQLRETURN GetFunctionsImpl(SQLHDBC hdbc, SQLUSMALLINT id, SQLUSMALLINT* supported) {
  Handle* dbc = (Handle*)hdbc;
  if (!IsLive(dbc, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  if (supported == NULL) return SQL_ERROR;
  const int count = (int)(sizeof kExported / sizeof kExported[0]);
  if (id == SQL_API_ODBC3_ALL_FUNCTIONS) {
    memset(supported, 0, sizeof(SQLUSMALLINT) * SQL_API_ODBC3_ALL_FUNCTIONS_SIZE);
    for (int i = 0; i < count; ++i)
      supported[kExported[i] >> 4] |= (SQLUSMALLINT)(1 << (kExported[i] & 0x000F));
  } else if (id == SQL_API_ALL_FUNCTIONS) {
    memset(supported, 0, sizeof(SQLUSMALLINT) * 100);
    for (int i = 0; i < count; ++i)
      if (kExported[i] < 100) supported[kExported[i]] = SQL_TRUE;
  } else {
    *supported = SQL_FALSE;
    for (int i = 0; i < count; ++i)
      if (kExported[i] == id) *supported = SQL_TRUE;
  }
  char detail[32];
  snprintf(detail, sizeof detail, "id=%d", (int)id);
  Trace(dbc, "SQLGetFunctions", detail, SQL_SUCCESS);
  return SQL_SUCCESS;
}

// Entry points call only the static functions above: a call by exported name from inside
// the driver would bind to the driver manager's function of the same name.
#define LOCKED(expression)                 \
  do {                                     \
    pthread_mutex_lock(&gLock);            \
    SQLRETURN lockedRc = (expression);     \
    pthread_mutex_unlock(&gLock);          \
    return lockedRc;                       \
  } while (0)

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT kind, SQLHANDLE input, SQLHANDLE* output) {
  LOCKED(AllocHandleImpl(kind, input, output));
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT kind, SQLHANDLE handle) {
  LOCKED(FreeHandleImpl(kind, handle));
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER) {
  LOCKED(SetEnvAttrImpl(henv, attribute, value));
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV henv, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER, SQLINTEGER* length) {
  LOCKED(GetEnvAttrImpl(henv, attribute, value, length));
}

SQLRETURN SQL_API SQLConnect(SQLHDBC hdbc, SQLCHAR* server, SQLSMALLINT serverLength, SQLCHAR*,
                             SQLSMALLINT, SQLCHAR*, SQLSMALLINT) {
  LOCKED(ConnectImpl(hdbc, server, serverLength));
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC hdbc) { LOCKED(DisconnectImpl(hdbc)); }

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC hdbc, SQLINTEGER attribute, SQLPOINTER value,
                                    SQLINTEGER) {
  LOCKED(SetConnectAttrImpl(hdbc, attribute, value));
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT hstmt, SQLCHAR* text, SQLINTEGER textLength) {
  LOCKED(ExecDirectImpl(hstmt, text, textLength));
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT kind, SQLHANDLE handle, SQLSMALLINT completion) {
  LOCKED(EndTranImpl(kind, handle, completion));
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT kind, SQLHANDLE handle, SQLSMALLINT number,
                                SQLCHAR* state, SQLINTEGER* native, SQLCHAR* message,
                                SQLSMALLINT messageSize, SQLSMALLINT* messageLength) {
  LOCKED(GetDiagRecImpl(kind, handle, number, state, native, message, messageSize,
                        messageLength));
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT kind, SQLHANDLE handle, SQLSMALLINT number,
                                  SQLSMALLINT field, SQLPOINTER value, SQLSMALLINT valueSize,
                                  SQLSMALLINT* valueLength) {
  LOCKED(GetDiagFieldImpl(kind, handle, number, field, value, valueSize, valueLength));
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT type, SQLPOINTER value,
                             SQLSMALLINT valueSize, SQLSMALLINT* valueLength) {
  LOCKED(GetInfoImpl(hdbc, type, value, valueSize, valueLength));
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC hdbc, SQLUSMALLINT id, SQLUSMALLINT* supported) {
  LOCKED(GetFunctionsImpl(hdbc, id, supported));
}
