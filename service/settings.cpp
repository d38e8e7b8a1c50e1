// The service's settings: their defaults and how they are read from the
// settings store at start-up.
#include "service.h"

#include "platform.h"
#include "statement_lexer.h"

#include <string.h>

#define DEFAULT_TCP_PORT 23
#define DEFAULT_SPOOL_LIMIT_MIB 64
#define DEFAULT_LOGIN_TIMEOUT 15
#define ALL_ONES 0xFFFFFFFFu

// A value that is there but cannot be used as text: larger than its field,
// or without a single byte.
#define TEXT_UNREADABLE (-1)
// The most that is read of a text value to show it.
#define STORE_TEXT_MAX 4096

ServiceSettings serviceSettings = {"", "", "", DEFAULT_TCP_PORT, 0, 0, "", 1, "", DEFAULT_SPOOL_LIMIT_MIB, 0, 1, DEFAULT_LOGIN_TIMEOUT, 0};

// Reads a text value into a 101-byte field. A stored value need not carry
// its own terminator, so one is put after the bytes read, within the field.
// Returns 1 when read, 0 when absent, TEXT_UNREADABLE when present but not
// readable, in which case the field is left as it was.
static int ReadText(StoreKey *key, const char *name, char field[SETTING_TEXT_SIZE])
{
    uint32_t size = SETTING_TEXT_SIZE;
    if (StoreQueryValue(key, name, field, &size) != STORE_OK)
        return size > SETTING_TEXT_SIZE ? TEXT_UNREADABLE : 0;
    if (size == 0)
        return TEXT_UNREADABLE;
    field[size < SETTING_TEXT_SIZE ? size : SETTING_TEXT_SIZE - 1] = '\0';
    return 1;
}

// Reads an address or mask through the scratch buffer. The buffer is
// cleared first, so a value that is not text (a number, say) parses from
// what it holds and never from an earlier read. A value that is there but
// cannot be read is no address: it must not switch the filter off.
static int ReadAddress(StoreKey *key, const char *name, uint32_t *address)
{
    char scratch[SETTING_TEXT_SIZE];
    int found;

    memset(scratch, 0, sizeof scratch);
    found = ReadText(key, name, scratch);
    if (found == TEXT_UNREADABLE)
        *address = ALL_ONES;
    else if (found)
        *address = NetParseAddress(scratch);
    return found != 0;
}

// A dialect name that cannot be read whole is kept cut to the field, so that
// it is refused, and shown, as unknown; one that cannot be read even cut is
// shown as "?".
static void ReadDialect(StoreKey *key)
{
    static char longer[STORE_TEXT_MAX + 1];
    uint32_t size = STORE_TEXT_MAX;

    if (ReadText(key, "SQL Dialect", serviceSettings.sqlDialect) != TEXT_UNREADABLE)
        return;
    if (StoreQueryValue(key, "SQL Dialect", longer, &size) != STORE_OK || size == 0)
        strcpy(longer, "?");
    else
        longer[size] = '\0';
    memcpy(serviceSettings.sqlDialect, longer, SETTING_TEXT_SIZE - 1);
    serviceSettings.sqlDialect[SETTING_TEXT_SIZE - 1] = '\0';
}

int LoadSettings(const char *location)
{
    StoreKey key;
    uint32_t size;
    uint32_t address;
    int opened = StoreOpenKey(location, &key);

    if (opened == STORE_UNREADABLE)
        return -1;
    if (opened != STORE_OK)
        return 0;

    ReadText(&key, "Data Source", serviceSettings.dataSource);
    ReadText(&key, "User Name", serviceSettings.userName);
    ReadText(&key, "Password", serviceSettings.password);

    size = sizeof serviceSettings.tcpPort;
    StoreQueryValue(&key, "TCP Port", &serviceSettings.tcpPort, &size);

    if (ReadAddress(&key, "Allow IP", &address)) {
        serviceSettings.allowAddress = address;
        serviceSettings.allowMask = ALL_ONES;
    }
    // Read after "Allow IP", so a mask always wins over the host mask that
    // an address alone sets.
    if (ReadAddress(&key, "Allow Mask", &address))
        serviceSettings.allowMask = address;

    ReadDialect(&key);

    size = sizeof serviceSettings.maxClients;
    StoreQueryValue(&key, "Max Clients", &serviceSettings.maxClients, &size);

    // An operator who asked for a spool must not get none.
    serviceSettings.spoolFileUnreadable = ReadText(&key, "Spool File", serviceSettings.spoolFile) == TEXT_UNREADABLE;
    size = sizeof serviceSettings.spoolLimitMiB;
    StoreQueryValue(&key, "Spool Limit", &serviceSettings.spoolLimitMiB, &size);

    size = sizeof serviceSettings.databaseSessions;
    StoreQueryValue(&key, "Database Sessions", &serviceSettings.databaseSessions, &size);
    size = sizeof serviceSettings.loginTimeout;
    StoreQueryValue(&key, "Login Timeout", &serviceSettings.loginTimeout, &size);
    size = sizeof serviceSettings.reuseSessions;
    StoreQueryValue(&key, "Reuse Sessions", &serviceSettings.reuseSessions, &size);

    StoreCloseKey(&key);
    return 1;
}

int IsPeerAdmitted(uint32_t peerAddress)
{
    return (serviceSettings.allowAddress & serviceSettings.allowMask) ==
           (peerAddress & serviceSettings.allowMask);
}

int SettingsDialect(void)
{
    if (serviceSettings.sqlDialect[0] == '\0')
        return SQL_DIALECT_PLAIN;
    return FindSqlDialect(serviceSettings.sqlDialect);
}
