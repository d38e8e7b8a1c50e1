// The service front end: settings, start-up and the loop that serves one
// client after another.
#ifndef VARN_SERVICE_H
#define VARN_SERVICE_H

#include "platform.h"

#include <stdint.h>

#define SETTING_TEXT_SIZE 101

// The six configured values, written once at start-up and only read after.
// Addresses and masks are in network byte order.
typedef struct ServiceSettings {
    char dataSource[SETTING_TEXT_SIZE];
    char userName[SETTING_TEXT_SIZE];
    char password[SETTING_TEXT_SIZE];
    uint32_t tcpPort;
    uint32_t allowAddress;
    uint32_t allowMask;
} ServiceSettings;

extern ServiceSettings serviceSettings;

// Fills serviceSettings from the settings store at `location`, over the
// defaults. Returns 1 when the key was opened and read, 0 when it could not
// be opened; values that are absent or do not fit keep their defaults.
int LoadSettings(const char *location);

// True when a peer at `peerAddress` lies in the allowed host or network.
int IsPeerAdmitted(uint32_t peerAddress);

// Reads and runs an admitted client's statements until the reader gives up
// on the connection. Text that is not a whole statement is never run: a
// statement longer than 1000 bytes, or one holding a NUL byte, is logged
// and skipped.
void ServeClient(NetSocket client);

// Starts the service with the settings store at `location` and serves
// clients until the process is ended. Returns only when start-up fails,
// with a nonzero status.
int RunService(const char *settingsLocation);

#endif
