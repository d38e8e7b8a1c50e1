// The service front end: settings, start-up and the loop that serves one
// client after another.
#ifndef VARN_SERVICE_H
#define VARN_SERVICE_H

#include "platform.h"

#include <stdint.h>

#define SETTING_TEXT_SIZE 101

// The configured values, written once at start-up and only read after.
// Addresses and masks are in network byte order. sqlDialect holds the "SQL
// Dialect" value as stored, or "" when there is none.
typedef struct ServiceSettings {
    char dataSource[SETTING_TEXT_SIZE];
    char userName[SETTING_TEXT_SIZE];
    char password[SETTING_TEXT_SIZE];
    uint32_t tcpPort;
    uint32_t allowAddress;
    uint32_t allowMask;
    char sqlDialect[SETTING_TEXT_SIZE];
} ServiceSettings;

extern ServiceSettings serviceSettings;

// Fills serviceSettings from the settings store at `location`, over the
// defaults. Returns 1 when the key was opened and read, 0 when there is
// none, and -1, changing nothing, when it is there but cannot be read whole
// and cleanly (StoreErrorText says why). Values that are absent keep their
// defaults, and so do text values that are there but cannot be read (too
// large, or without a byte), except those that decide who is admitted and
// how statements are framed: such an address or mask counts as one that is
// not an address, and such a dialect name is refused as unknown.
int LoadSettings(const char *location);

// The dialect that serviceSettings.sqlDialect names ("" is plain), or -1.
int SettingsDialect(void);

// True when a peer at `peerAddress` lies in the allowed host or network.
int IsPeerAdmitted(uint32_t peerAddress);

// Runs one statement in a session of its own with the configured data
// source, writing every failure.
void RunStatement(const char *statement);

// Reads and runs an admitted client's statements, framed by `dialect`,
// until the reader gives up on the connection. Text that is not a whole
// statement is never run: a statement longer than 1000 bytes, one holding
// a NUL byte, or one the connection ended inside, is logged and skipped.
void ServeClient(NetSocket client, int dialect);

// Starts the service with the settings store at `location` and serves
// clients until the process is ended. Returns only when start-up fails,
// with a nonzero status.
int RunService(const char *settingsLocation);

#endif
