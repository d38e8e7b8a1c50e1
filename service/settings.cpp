// The service's settings: their defaults and how they are read from the
// settings store at start-up.
#include "service.h"

#include "platform.h"

#include <string.h>

#define DEFAULT_TCP_PORT 23
#define ALL_ONES 0xFFFFFFFFu

ServiceSettings serviceSettings = {"", "", "", DEFAULT_TCP_PORT, 0, 0};

// Reads a text value into a 101-byte field. A stored value need not carry
// its own terminator, so one is put after the bytes read, within the field.
static int ReadText(StoreKey *key, const char *name, char field[SETTING_TEXT_SIZE])
{
    uint32_t size = SETTING_TEXT_SIZE;
    if (StoreQueryValue(key, name, field, &size) != STORE_OK || size == 0)
        return 0;
    field[size < SETTING_TEXT_SIZE ? size : SETTING_TEXT_SIZE - 1] = '\0';
    return 1;
}

// Reads an address or mask through the scratch buffer. The buffer is
// cleared first, so a value that is not text (a number, say) parses from
// what it holds and never from an earlier read.
static int ReadAddress(StoreKey *key, const char *name, uint32_t *address)
{
    char scratch[SETTING_TEXT_SIZE];
    memset(scratch, 0, sizeof scratch);
    if (!ReadText(key, name, scratch))
        return 0;
    *address = NetParseAddress(scratch);
    return 1;
}

int LoadSettings(const char *location)
{
    StoreKey key;
    uint32_t size;
    uint32_t address;

    if (StoreOpenKey(location, &key) != STORE_OK)
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

    StoreCloseKey(&key);
    return 1;
}

int IsPeerAdmitted(uint32_t peerAddress)
{
    return (serviceSettings.allowAddress & serviceSettings.allowMask) ==
           (peerAddress & serviceSettings.allowMask);
}
