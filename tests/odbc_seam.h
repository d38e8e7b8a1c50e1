// A link-time seam in front of the driver manager: tests make one ODBC call
// fail, with records of their choosing, where no driver can.
#ifndef VARN_ODBC_SEAM_H
#define VARN_ODBC_SEAM_H

#include <string>
#include <vector>

// The next call named here ("SQLAllocEnv", "SQLAllocConnect",
// "FreeHandle DBC", "FreeHandle ENV") fails once with SQL_ERROR without
// reaching the driver manager, and SQLError then hands out `records`
// before anything the driver manager holds.
void ArmSeamFailure(const std::string &call, const std::vector<std::string> &records);
void DisarmSeam();

#endif
