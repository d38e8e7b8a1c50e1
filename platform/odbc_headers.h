// The ODBC call interface headers, with what each platform's copy of them
// expects to be declared first.
#ifndef VARN_ODBC_HEADERS_H
#define VARN_ODBC_HEADERS_H

#ifdef _WIN32
// The Windows SDK's sql.h takes its base types (HWND, DWORD, ...) from
// windows.h without including it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#endif
