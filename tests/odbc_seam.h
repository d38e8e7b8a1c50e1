// A link-time seam in front of the driver manager: the service's ODBC calls
// reach the real unixODBC and SQLite driver, unless a test makes one fail,
// with diagnostic records of its choosing, where no real driver would.
#ifndef VARN_ODBC_SEAM_H
#define VARN_ODBC_SEAM_H

#include <string>
#include <vector>

struct SeamFault {
    // "SQLAllocEnv", "SQLAllocConnect", "SQLConnect", "SQLSetConnectOption",
    // "SQLAllocStmt", "SQLExecDirect", "SQLDisconnect", "SQLTransact",
    // "SQLFreeHandle DBC" or "SQLFreeHandle ENV".
    std::string call;
    int returnCode;
    // Handed out by SQLError and SQLGetDiagRec before anything the driver
    // manager holds, each with SQLSTATE S1000 and native code 1 unless it
    // begins "STATE/native/".
    std::vector<std::string> records;
    // Fail every time until a rollback, and again for the next connection,
    // as a driver that refuses to disconnect inside a transaction does;
    // otherwise fail once.
    bool untilRollback;
};

void ArmSeam(const SeamFault &fault);
void DisarmSeam();
// The calls of the last session that reached the seam, one a line.
std::string SeamCalls();
// Statement handles allocated and not yet released.
int SeamStatementsHeld();

#endif
