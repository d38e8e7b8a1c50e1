// The settings store on Windows: the service's key in the registry,
// HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin\VARN ODBC, in the 64-bit view.
#include "platform.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

static const char serviceKey[] = "SOFTWARE\\Halvorin\\VARN ODBC";

static char storeError[64];

// Reads up to this many bytes through a buffer of the store's own, so that
// a value that does not fit never touches the caller's buffer.
#define STORE_BOUNCE_MAX 4096

int StoreOpenKey(const char *location, StoreKey *key)
{
    HKEY handle;

    // The key's place is fixed; `location` names a file only on POSIX.
    (void)location;
    key->handle = NULL;
    // KEY_WOW64_64KEY: the key lives in the 64-bit view (where a 64-bit
    // regedit imports it) whether this program is built for 64 or 32 bits.
    // 32-bit Windows ignores the flag.
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, serviceKey, 0, KEY_READ | KEY_WOW64_64KEY, &handle);
    if (rc == ERROR_FILE_NOT_FOUND)
        return STORE_FAILED;
    // A key that is there but may not be read (its permissions, say) must
    // not pass for one that is not.
    if (rc != ERROR_SUCCESS) {
        snprintf(storeError, sizeof storeError, "registry error %ld", (long)rc);
        return STORE_UNREADABLE;
    }
    key->handle = (void *)handle;
    return STORE_OK;
}

const char *StoreErrorText(void)
{
    return storeError;
}

int StoreQueryValue(StoreKey *key, const char *name, void *buffer, uint32_t *size)
{
    unsigned char bounce[STORE_BOUNCE_MAX];
    DWORD length = *size;
    LONG rc;

    if (key->handle == NULL)
        return STORE_FAILED;
    // RegQueryValueExA leaves the destination undefined when the value does
    // not fit (ERROR_MORE_DATA); the bounce keeps the caller's buffer as it
    // was. Larger reads go straight to the caller, who then owns that risk.
    if (*size > sizeof bounce) {
        rc = RegQueryValueExA((HKEY)key->handle, name, NULL, NULL, (LPBYTE)buffer, &length);
    } else {
        rc = RegQueryValueExA((HKEY)key->handle, name, NULL, NULL, bounce, &length);
        if (rc == ERROR_SUCCESS)
            memcpy(buffer, bounce, length);
    }
    if (rc == ERROR_MORE_DATA)
        *size = length;
    if (rc != ERROR_SUCCESS)
        return STORE_FAILED;
    *size = length;
    return STORE_OK;
}

void StoreCloseKey(StoreKey *key)
{
    if (key->handle != NULL)
        RegCloseKey((HKEY)key->handle);
    key->handle = NULL;
}
