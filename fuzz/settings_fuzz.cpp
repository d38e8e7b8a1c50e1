// Fuzzes the settings file reader: whatever the file holds, loading leaves
// terminated strings, and no read reaches past the buffer it is given.
#include "platform.h"
#include "service.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    int fd;
    strcpy(path, "/tmp/varn-settings-fuzz-XXXXXX");
    fd = mkstemp(path);
    if (fd < 0)
        abort();
    close(fd);
    atexit([] { unlink(path); });
    return 0;
}

static void CheckTerminated(const char *field)
{
    if (memchr(field, '\0', SETTING_TEXT_SIZE) == NULL)
        abort();
}

// Reads a value into a heap buffer of exactly `capacity` bytes, so that a
// read past it is caught, and checks that a failed read leaves it alone.
static void QueryExactly(StoreKey *key, const char *name, uint32_t capacity)
{
    unsigned char *buffer = (unsigned char *)malloc(capacity ? capacity : 1);
    uint32_t size = capacity;
    memset(buffer, 0xA5, capacity ? capacity : 1);
    if (StoreQueryValue(key, name, buffer, &size) == STORE_OK) {
        if (size > capacity)
            abort();
    } else {
        for (uint32_t i = 0; i < capacity; i++)
            if (buffer[i] != 0xA5)
                abort();
    }
    free(buffer);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const names[] = {"Data Source", "User Name", "Password", "TCP Port", "Allow IP",
                                        "Allow Mask"};
    FILE *file = fopen(path, "wb");
    StoreKey key;

    if (file == NULL)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);

    serviceSettings = ServiceSettings{"", "", "", 23, 0, 0, "", 1, "", 64, 0, 1, 15, 0};
    LoadSettings(path);
    CheckTerminated(serviceSettings.dataSource);
    CheckTerminated(serviceSettings.userName);
    CheckTerminated(serviceSettings.password);

    if (StoreOpenKey(path, &key) == STORE_OK) {
        for (const char *name : names) {
            QueryExactly(&key, name, 0);
            QueryExactly(&key, name, 4);
            QueryExactly(&key, name, SETTING_TEXT_SIZE);
        }
        StoreCloseKey(&key);
    }
    return 0;
}
