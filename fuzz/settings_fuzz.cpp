// Fuzzes the settings file reader: whatever the file holds, loading leaves
// terminated strings, and no read reaches past the buffer it is given.
#include "platform.h"
#include "service.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

static char path[64];
static std::string outcome;

// For the replay of the seeds: what the last file loaded, a line a setting.
std::string SeedOutcome()
{
    return outcome;
}

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

// Reads a text value into a heap buffer of exactly `capacity` bytes, so that
// a write past it is caught, and checks that a value read is terminated
// inside it and that the buffer is left alone otherwise.
static void ReadExactly(const char *name, int capacity)
{
    char *buffer = (char *)malloc(capacity);
    memset(buffer, 0xA5, capacity);
    if (StoreReadText(name, buffer, capacity) == STORE_PRESENT) {
        if (memchr(buffer, '\0', capacity) == NULL)
            abort();
    } else {
        for (int i = 0; i < capacity; i++)
            if (buffer[i] != (char)0xA5)
                abort();
    }
    free(buffer);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const names[] = {"Data Source", "User Name", "Password", "TCP Port", "Allow IP",
                                        "Allow Mask"};
    FILE *file = fopen(path, "wb");

    if (file == NULL)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);

    serviceSettings = ServiceSettings{"", "", "", 23, 0, 0, "", 1, "", 64, 1, 15, 0, 0};
    int loaded = LoadSettings(path);
    outcome = "loaded " + std::to_string(loaded) + " " + (loaded < 0 ? StoreErrorText() : "") +
              "\nData Source=" + serviceSettings.dataSource + "\nUser Name=" + serviceSettings.userName +
              "\nPassword=" + serviceSettings.password + "\nTCP Port=" + std::to_string(serviceSettings.tcpPort) +
              "\nSQL Dialect=" + serviceSettings.sqlDialect + " (" + std::to_string(loaded < 0 ? -1 : SettingsDialect()) +
              ")\n";
    CheckTerminated(serviceSettings.dataSource);
    CheckTerminated(serviceSettings.userName);
    CheckTerminated(serviceSettings.password);

    if (StoreOpen(path) == STORE_PRESENT) {
        for (const char *name : names) {
            uint32_t number;
            ReadExactly(name, 1);
            ReadExactly(name, 4);
            ReadExactly(name, SETTING_TEXT_SIZE);
            StoreReadDword(name, &number);
        }
    }
    StoreClose();
    return 0;
}
