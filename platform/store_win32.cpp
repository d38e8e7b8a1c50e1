// The settings store on Windows: the service's key in the registry,
// HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin\VARN ODBC, in the 64-bit view.
#include "platform.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static const char serviceKey[] = "SOFTWARE\\Halvorin\\VARN ODBC";

// The most of a text value that is read; a longer one does not fit any
// setting. RegQueryValueExA leaves its destination undefined when a value
// does not fit, so values are read into a buffer of the store's own.
#define STORE_TEXT_MAX 4096

static HKEY storeKey;
static char storeError[160];

static int Refuse(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(storeError, sizeof storeError, format, arguments);
    va_end(arguments);
    return STORE_UNREADABLE;
}

int StoreOpen(const char *location)
{
    // The key's place is fixed; `location` names a file only on POSIX.
    (void)location;
    StoreClose();
    // KEY_WOW64_64KEY: the key lives in the 64-bit view (where a 64-bit
    // regedit imports it) whether this program is built for 64 or 32 bits.
    // 32-bit Windows ignores the flag.
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, serviceKey, 0, KEY_READ | KEY_WOW64_64KEY, &storeKey);
    if (rc == ERROR_FILE_NOT_FOUND)
        return STORE_ABSENT;
    // A key that is there but may not be read (its permissions, say) must
    // not pass for one that is not.
    if (rc != ERROR_SUCCESS) {
        storeKey = NULL;
        return Refuse("registry error %ld", (long)rc);
    }
    return STORE_PRESENT;
}

// Reads a value of up to `size` bytes into `buffer`, its type in *type and
// its size in *size. Returns ERROR_SUCCESS, ERROR_MORE_DATA for a larger
// one, or the registry's error.
static LONG QueryValue(const char *name, DWORD *type, void *buffer, DWORD *size)
{
    if (storeKey == NULL)
        return ERROR_FILE_NOT_FOUND;
    return RegQueryValueExA(storeKey, name, NULL, type, (LPBYTE)buffer, size);
}

int StoreReadText(const char *name, char *text, int capacity)
{
    char bounce[STORE_TEXT_MAX];
    DWORD type = REG_NONE;
    DWORD size = sizeof bounce;
    LONG rc = QueryValue(name, &type, bounce, &size);
    size_t length = 0;

    if (rc == ERROR_FILE_NOT_FOUND)
        return STORE_ABSENT;
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
        return Refuse("\"%s\": registry error %ld", name, (long)rc);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return Refuse("\"%s\" is not a string", name);
    // A stored string need not carry its terminator.
    if (rc == ERROR_MORE_DATA || (length = strnlen(bounce, size)) >= (size_t)capacity)
        return Refuse("\"%s\" is longer than %d bytes", name, capacity - 1);
    memcpy(text, bounce, length);
    text[length] = '\0';
    return STORE_PRESENT;
}

int StoreReadDword(const char *name, uint32_t *number)
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    LONG rc = QueryValue(name, &type, &value, &size);

    if (rc == ERROR_FILE_NOT_FOUND)
        return STORE_ABSENT;
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
        return Refuse("\"%s\": registry error %ld", name, (long)rc);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value)
        return Refuse("\"%s\" is not a dword", name);
    *number = value;
    return STORE_PRESENT;
}

const char *StoreErrorText(void)
{
    return storeError;
}

const char *StoreFilePath(const char *location)
{
    (void)location;
    return NULL;
}

void StoreClose(void)
{
    if (storeKey != NULL)
        RegCloseKey(storeKey);
    storeKey = NULL;
}
