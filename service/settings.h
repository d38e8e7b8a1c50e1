// The service's settings: one record for the whole process, filled once at
// start-up from the settings store and only read after.
#ifndef VARN_SETTINGS_H
#define VARN_SETTINGS_H

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
    uint32_t maxClients;
    char spoolFile[SETTING_TEXT_SIZE];  // "" for no spool
    uint32_t spoolLimitMiB;
    uint32_t databaseSessions;  // statements that may run at once
    uint32_t loginTimeout;      // seconds a connect may take; 0: the driver's own
    uint32_t reuseSessions;     // 1: sessions stay connected between statements
    uint32_t statementTimeout;  // seconds a statement may run before it is cancelled; 0: no limit
    uint32_t stopTimeout;       // seconds a stop may wait for statements
    char metricsFile[SETTING_TEXT_SIZE];  // "" for none
    uint32_t statsInterval;               // seconds between Stats lines; 0: none
    char logFormat[SETTING_TEXT_SIZE];    // "plain" (the default) or "json", any case
    // "Proxy IP" and "Proxy Mask" as written, parsed at start-up (proxy.h);
    // each found flag is 1 when the value is there, empty or not.
    char proxyIp[SETTING_TEXT_SIZE];
    char proxyMask[SETTING_TEXT_SIZE];
    int proxyIpFound;
    int proxyMaskFound;
} ServiceSettings;

extern ServiceSettings serviceSettings;
// What every setting is when the store does not hold it.
extern const ServiceSettings defaultSettings;

// Fills serviceSettings from the settings store at `location`, over the
// defaults. Returns 1 when the store was there and every value in it that
// the service reads was read as written, 0 when there is none, and -1,
// changing nothing, when it is there but cannot be read whole and cleanly,
// or holds a value that is not of its setting's type or does not fit
// (StoreErrorText says why). Values that are absent keep their defaults.
int LoadSettings(const char *location);

// The dialect that serviceSettings.sqlDialect names ("" is plain), or -1.
int SettingsDialect(void);

// 1 for a "Log Format" of json, 0 for plain, -1 for anything else.
int SettingsLogJson(void);

// True when a peer at `peerAddress` lies in the allowed host or network.
int IsPeerAdmitted(uint32_t peerAddress);

// The longest "Login Timeout", in seconds.
#define MAX_LOGIN_TIMEOUT 65535
// The longest "Statement Timeout", in seconds: a day.
#define MAX_STATEMENT_TIMEOUT 86400

#endif
