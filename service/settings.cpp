// The service's settings: their defaults and how they are read from the
// settings store at start-up.
#include "settings.h"

#include "platform.h"
#include "statement_lexer.h"

#define DEFAULT_TCP_PORT 23
#define DEFAULT_SPOOL_LIMIT_MIB 64
#define DEFAULT_LOGIN_TIMEOUT 15
#define DEFAULT_STOP_TIMEOUT 30
#define ALL_ONES 0xFFFFFFFFu

const ServiceSettings defaultSettings = {"", "", "", DEFAULT_TCP_PORT, 0, 0, "", 1, "", DEFAULT_SPOOL_LIMIT_MIB, 1,
                                         DEFAULT_LOGIN_TIMEOUT, 0, 0, DEFAULT_STOP_TIMEOUT, "", 0, "plain", "", "", 0, 0};
ServiceSettings serviceSettings = defaultSettings;

static int ReadText(const char *name, char field[SETTING_TEXT_SIZE])
{
    return StoreReadText(name, field, SETTING_TEXT_SIZE);
}

int LoadSettings(const char *location)
{
    ServiceSettings loaded = serviceSettings;
    char allowIp[SETTING_TEXT_SIZE];
    char allowMask[SETTING_TEXT_SIZE];
    char logFile[SETTING_TEXT_SIZE];
    int opened = StoreOpen(location);
    int ipFound = 0;
    int maskFound = 0;
    int readable;

    if (opened != STORE_PRESENT)
        return opened;
    // Read in turn until one cannot be, whose reason is kept. "Log File" is
    // the Windows service's own; it is checked here too, so that every
    // setting the store holds is in effect as written or refused.
    readable = (ipFound = ReadText("Allow IP", allowIp)) >= 0 &&
               (maskFound = ReadText("Allow Mask", allowMask)) >= 0 &&
               ReadText("Data Source", loaded.dataSource) >= 0 &&
               ReadText("User Name", loaded.userName) >= 0 &&
               ReadText("Password", loaded.password) >= 0 &&
               ReadText("SQL Dialect", loaded.sqlDialect) >= 0 &&
               ReadText("Spool File", loaded.spoolFile) >= 0 &&
               ReadText("Log File", logFile) >= 0 &&
               ReadText("Metrics File", loaded.metricsFile) >= 0 &&
               ReadText("Log Format", loaded.logFormat) >= 0 &&
               (loaded.proxyIpFound = ReadText("Proxy IP", loaded.proxyIp)) >= 0 &&
               (loaded.proxyMaskFound = ReadText("Proxy Mask", loaded.proxyMask)) >= 0 &&
               StoreReadDword("TCP Port", &loaded.tcpPort) >= 0 &&
               StoreReadDword("Max Clients", &loaded.maxClients) >= 0 &&
               StoreReadDword("Spool Limit", &loaded.spoolLimitMiB) >= 0 &&
               StoreReadDword("Database Sessions", &loaded.databaseSessions) >= 0 &&
               StoreReadDword("Login Timeout", &loaded.loginTimeout) >= 0 &&
               StoreReadDword("Reuse Sessions", &loaded.reuseSessions) >= 0 &&
               StoreReadDword("Statement Timeout", &loaded.statementTimeout) >= 0 &&
               StoreReadDword("Stop Timeout", &loaded.stopTimeout) >= 0 &&
               StoreReadDword("Stats Interval", &loaded.statsInterval) >= 0;
    StoreClose();
    if (!readable)
        return -1;
    if (ipFound) {
        loaded.allowAddress = NetParseAddress(allowIp);
        loaded.allowMask = ALL_ONES;
    }
    // After "Allow IP", so that a mask wins over the host mask an address
    // alone sets, wherever it stands in the store.
    if (maskFound)
        loaded.allowMask = NetParseAddress(allowMask);
    serviceSettings = loaded;
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

// Whether `text` is `name` (lower case) in any case.
static int IsName(const char *text, const char *name)
{
    for (; *name != '\0'; text++, name++)
        if (*text != *name && *text != *name - 'a' + 'A')
            return 0;
    return *text == '\0';
}

int SettingsLogJson(void)
{
    if (IsName(serviceSettings.logFormat, "plain"))
        return 0;
    return IsName(serviceSettings.logFormat, "json") ? 1 : -1;
}
