// The settings file and the settings read from it: both registry export
// headers and encodings, line ends, escapes, continuations, comments, other
// sections, case, what is refused and why (values that do not fit, wrong
// types, paths that are no file to read), the client filter and the dialect.
#include "platform.h"
#include "service.h"
#include "statement_lexer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace {

const std::string kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]";
const uint32_t kAllOnes = 0xFFFFFFFFu;

uint32_t Ip(const char *text)
{
    return inet_addr(text);
}

std::string Utf16(const std::string &ascii)
{
    std::string out("\xFF\xFE", 2);
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// A REGEDIT4 file with `values` under the service's key.
std::string Key(const std::string &values)
{
    return "REGEDIT4\n" + kKey + "\n" + values + "\n";
}

std::string Noise(size_t length)
{
    std::string noise;
    for (unsigned state = 12345; noise.size() < length;) {
        state = state * 1103515245u + 12345u;
        noise += (char)(state >> 16);
    }
    return noise;
}

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        serviceSettings = ServiceSettings{"", "", "", 23, 0, 0, "", 1, "", 64, 1, 15, 0};
    }
    void TearDown() override { RemoveTree(dir); }

    int Load(const std::string &bytes)
    {
        WriteFile(dir + "/settings.reg", bytes);
        return LoadSettings((dir + "/settings.reg").c_str());
    }

    std::string dir;
};

const std::string kFullKey = kKey +
                             "\r\n\"Data Source\"=\"varn_sqlite\"\r\n\"User Name\"=\"operator\"\r\n"
                             "\"Password\"=\"s3cret\"\r\n\"TCP Port\"=dword:00001f90\r\n";

struct FileCase : NamedCase {
    std::string file;
    int loaded;
    std::string dataSource;
    std::string userName;
    std::string password;
    uint32_t port;
    std::string reason = "";  // of a refusal, where the row knows it
};

const FileCase kFiles[] = {
    {{"REGEDIT4"}, "REGEDIT4\r\n\r\n" + kFullKey, 1, "varn_sqlite", "operator", "s3cret", 8080},
    {{"version 5 in UTF-16"}, Utf16("Windows Registry Editor Version 5.00\r\n\r\n" + kFullKey), 1, "varn_sqlite",
     "operator", "s3cret", 8080},
    {{"UTF-8 byte-order mark and line feeds"}, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n" + kKey +
     "\n\"Data Source\"=\"x\"\n", 1, "x", "", "", 23},
    {{"UTF-16 text read as UTF-8"}, Utf16("REGEDIT4\r\n" + kKey + "\r\n\"Data Source\"=\"caf") +
     std::string("\xE9\x00\"\x00\r\x00\n\x00", 8), 1, "caf\xC3\xA9", "", "", 23},
    {{"UTF-16 surrogate pair"}, Utf16("REGEDIT4\r\n" + kKey + "\r\n\"Data Source\"=\"") +
     std::string("\x3D\xD8\x00\xDE\"\x00\r\x00\n\x00", 10), 1, "\xF0\x9F\x98\x80", "", "", 23},
    {{"escapes"}, Key("\"Password\"=\"a\\\\b\\\"c\"\n\"User Name\"=\"x\\ny\""), 1, "", "x\\ny", "a\\b\"c", 23},
    {{"hex values with continuations"}, Key("\"Data Source\"=hex(1):76,61,\\\n  72,6e,\\\n  00\n\"TCP Port\"=hex(4):90,1f,00,00"),
     1, "varn", "", "", 8080},
    {{"CR line ends"}, "REGEDIT4\r" + kKey + "\r\"Data Source\"=\"x\"\r\"TCP Port\"=dword:00000050\r", 1, "x", "", "", 80},
    {{"expandable string in version 5"}, "Windows Registry Editor Version 5.00\n" + kKey +
     "\n\"Data Source\"=hex(2):64,00,73,00,6e,00,00,00\n", 1, "dsn", "", "", 23},
    {{"comments, other sections and case"}, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Data Source\"=\"wrong\"\n"
     "[hkey_local_machine\\software\\halvorin\\varn odbc]\n; \"User Name\"=\"commented\"\n\"DATA SOURCE\"=\"right\"\n" +
     kKey.substr(0, kKey.size() - 1) + "\\Sub]\n\"Password\"=\"sub\"\n", 1, "right", "", "", 23},
    {{"later definition wins, dash deletes"}, Key("\"Data Source\"=\"first\"\n\"User Name\"=\"u\"\n" + kKey +
     "\n\"Data Source\"=\"second\"\n\"User Name\"=-"), 1, "second", "", "", 23},
    {{"unterminated bytes stay inside the field"}, Key("\"User Name\"=hex(1):41" + [] {
         std::string more;
         for (int i = 0; i < 99; i++)
             more += ",41";
         return more;
     }() + "\n\"Password\"=hex(1):70,77"), 1, "", std::string(100, 'A'), "pw", 23},
    {{"a key elsewhere"}, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Data Source\"=\"x\"\n", 0, "", "", "", 23},
    // A file that is there but cannot be read cleanly is refused whole.
    {{"another first line"}, "REGEDIT5\n" + kFullKey, -1, "", "", "", 23,
     "its first line is neither REGEDIT4 nor Windows Registry Editor Version 5.00"},
    {{"empty file"}, "", 0, "", "", "", 23},
    {{"UTF-16 file cut in the middle"}, [] {
         std::string whole = Utf16("Windows Registry Editor Version 5.00\r\n" + kKey +
                                   "\r\n\"TCP Port\"=dword:00001f90\r\n\"Data Source\"=\"varn_sqlite\"\r\n");
         return whole.substr(0, whole.size() - 13);
     }(), -1, "", "", "", 23},
    {{"binary noise"}, Noise(4096), -1, "", "", "", 23},
    {{"binary noise after a header"}, "REGEDIT4\n" + Noise(4096), -1, "", "", "", 23},
    {{"noise around readable values"}, "REGEDIT4\n" + std::string("\x01\xff\x00garbage", 11) + "\n" + kKey + "\n" +
     std::string("\x00\x7f", 2) + "\n\"Password\"=\"pw\"\n\"TCP Port\"=dword:00000050\n", -1, "", "", "", 23,
     "line 2: a NUL byte"},
    {{"a malformed line"}, Key("\"TCP Port\"=dword:0000000a\n\"User Name\"=dword:xyz"), -1, "", "", "", 23,
     "line 4: a value that cannot be read"},
    // A section line with more after it would hide every value under it.
    {{"a comment after a section line"}, "REGEDIT4\n" + kKey + " ; admission\n\"Allow IP\"=\"127.0.0.2\"\n", -1, "", "",
     "", 23, "line 2: text after a section's ]"},
    {{"a section line without its bracket"}, Key("\"TCP Port\"=dword:0000000a\n[HKEY_LOCAL_MACHINE\\SOFTWARE"), -1, "",
     "", "", 23, "line 4: a section line without its ]"},
    // Lines end at CR, LF and CR LF alike.
    {{"a string where a dword belongs"}, "REGEDIT4\r\n" + kKey + "\r\"Data Source\"=\"x\"\n\"Max Clients\"=\"1\"\n", -1,
     "", "", "", 23, "line 4: \"Max Clients\" is not a dword"},
    {{"a dword where a string belongs"}, Key("\"Data Source\"=dword:00434241"), -1, "", "", "", 23,
     "line 3: \"Data Source\" is not a string"},
    {{"binary bytes where a dword belongs"}, Key("\"TCP Port\"=hex:90,1f,00,00"), -1, "", "", "", 23,
     "line 3: \"TCP Port\" is not a dword"},
    {{"a dword of one byte"}, Key("\"TCP Port\"=hex(4):01"), -1, "", "", "", 23, "line 3: \"TCP Port\" is not a dword"},
    {{"a string over 100 bytes"}, Key("\"Password\"=\"" + std::string(101, 'x') + "\""), -1, "", "", "", 23,
     "line 3: \"Password\" is longer than 100 bytes"},
    {{"malformed lines outside the key do not matter"}, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\njunk\n" + kKey +
     "\n@=\"unnamed\"\n\"TCP Port\"=dword:0000000a\n", 1, "", "", "", 10},
};

class Files : public Settings, public testing::WithParamInterface<FileCase> {};

TEST_P(Files, ValuesAndDefaults)
{
    const FileCase &c = GetParam();
    EXPECT_EQ(c.loaded, Load(c.file)) << StoreErrorText();
    EXPECT_EQ(c.dataSource, serviceSettings.dataSource);
    EXPECT_EQ(c.userName, serviceSettings.userName);
    EXPECT_EQ(c.password, serviceSettings.password);
    EXPECT_EQ(c.port, serviceSettings.tcpPort);
    if (!c.reason.empty()) {
        EXPECT_EQ(c.reason, StoreErrorText());
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, Files, testing::ValuesIn(kFiles), CaseName());

// A path that holds no file to read: refused at once with the reason, or,
// where nothing is there, no settings. Each is loaded in a child process,
// within 5 s, as an unprivileged user where rights are the point: the tests
// run as root, who may read anything.
struct PathCase : NamedCase {
    std::function<std::string(const std::string &dir)> make;  // the path
    bool unprivileged;
    std::string outcome;  // what LoadSettings returns, and StoreErrorText
};

const PathCase kPaths[] = {
    {{"missing"}, [](const std::string &dir) { return dir + "/missing.reg"; }, false, "0"},
    {{"no rights to read it"},
     [](const std::string &dir) {
         WriteFile(dir + "/s.reg", Key("\"Allow IP\"=\"127.0.0.2\""));
         chmod((dir + "/s.reg").c_str(), 0600);
         chmod(dir.c_str(), 0711);
         return dir + "/s.reg";
     },
     true, "-1 Permission denied"},
    {{"a loop of links"},
     [](const std::string &dir) {
         symlink((dir + "/b").c_str(), (dir + "/a").c_str());
         symlink((dir + "/a").c_str(), (dir + "/b").c_str());
         return dir + "/a";
     },
     false, "-1 Too many levels of symbolic links"},
    {{"a FIFO"},
     [](const std::string &dir) {
         mkfifo((dir + "/fifo").c_str(), 0600);
         return dir + "/fifo";
     },
     false, "-1 not a regular file"},
    {{"a directory"}, [](const std::string &dir) { return dir; }, false, "-1 not a regular file"},
    {{"a device"}, [](const std::string &) { return std::string("/dev/null"); }, false, "-1 not a regular file"},
};

class Paths : public Settings, public testing::WithParamInterface<PathCase> {};

TEST_P(Paths, RefusedAtOnceOrNone)
{
    const PathCase &c = GetParam();
    std::string path = c.make(dir);
    pid_t child = fork();
    if (child == 0) {
        alarm(5);
        if (c.unprivileged && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        int loaded = LoadSettings(path.c_str());
        _exit(std::to_string(loaded) + (loaded < 0 ? std::string(" ") + StoreErrorText() : "") == c.outcome ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    // 1 << 8: another outcome; SIGALRM: a hang.
    EXPECT_EQ(0, status) << "expected " << c.outcome;
}

INSTANTIATE_TEST_SUITE_P(Settings, Paths, testing::ValuesIn(kPaths), CaseName());

struct FilterCase : NamedCase {
    std::string values;
    uint32_t address;
    uint32_t mask;
    std::vector<const char *> admitted;
    std::vector<const char *> denied;
};

const FilterCase kFilters[] = {
    {{"neither"}, "", 0, 0, {"127.0.0.1", "192.168.1.8"}, {}},
    {{"host only"}, "\"Allow IP\"=\"192.168.1.7\"", Ip("192.168.1.7"), kAllOnes, {"192.168.1.7"}, {"192.168.1.8"}},
    {{"network"}, "\"Allow IP\"=\"10.1.0.0\"\n\"Allow Mask\"=\"255.255.0.0\"", Ip("10.1.0.0"), Ip("255.255.0.0"),
     {"10.1.200.3", "10.1.0.1"}, {"10.2.0.1", "11.1.0.1"}},
    {{"mask before address in the file still wins"}, "\"Allow Mask\"=\"255.0.0.0\"\n\"Allow IP\"=\"127.1.2.3\"",
     Ip("127.1.2.3"), Ip("255.0.0.0"), {"127.9.9.9"}, {"128.1.2.3"}},
    {{"mask only"}, "\"Allow Mask\"=\"255.255.255.0\"", 0, Ip("255.255.255.0"), {"0.0.0.77"}, {"127.0.0.1"}},
    {{"invalid address"}, "\"Allow IP\"=\"not-an-address\"", kAllOnes, kAllOnes, {}, {"127.0.0.1", "10.0.0.1"}},
    {{"empty address is present"}, "\"Allow IP\"=\"\"", kAllOnes, kAllOnes, {}, {"127.0.0.1"}},
    {{"zero address"}, "\"Allow IP\"=\"0.0.0.0\"", 0, kAllOnes, {}, {"127.0.0.1"}},
    {{"short forms parse as inet_addr does"}, "\"Allow IP\"=\"127.1\"", Ip("127.0.0.1"), kAllOnes, {"127.0.0.1"}, {}},
};

class Filter : public Settings, public testing::WithParamInterface<FilterCase> {};

TEST_P(Filter, AddressMaskAndAdmission)
{
    const FilterCase &c = GetParam();
    ASSERT_EQ(1, Load(Key(c.values))) << StoreErrorText();
    EXPECT_EQ(c.address, serviceSettings.allowAddress);
    EXPECT_EQ(c.mask, serviceSettings.allowMask);
    for (const char *peer : c.admitted)
        EXPECT_TRUE(IsPeerAdmitted(Ip(peer))) << peer;
    for (const char *peer : c.denied)
        EXPECT_FALSE(IsPeerAdmitted(Ip(peer))) << peer;
}

INSTANTIATE_TEST_SUITE_P(Settings, Filter, testing::ValuesIn(kFilters), CaseName());

TEST_F(Settings, SqlDialect)
{
    const struct {
        std::string value;
        int dialect;
        std::string kept;  // what the field holds
    } cases[] = {
        {"", SQL_DIALECT_PLAIN, ""},
        {"\"SQL Dialect\"=\"Plain\"", SQL_DIALECT_PLAIN, "Plain"},
        {"\"SQL Dialect\"=\"SQLITE\"", SQL_DIALECT_SQLITE, "SQLITE"},
        {"\"sql dialect\"=\"PostgreSQL\"", SQL_DIALECT_POSTGRESQL, "PostgreSQL"},
        {"\"SQL Dialect\"=\"mysql\"", SQL_DIALECT_MYSQL, "mysql"},
        {"\"SQL Dialect\"=\"MariaDB\"", SQL_DIALECT_MYSQL, "MariaDB"},
        {"\"SQL Dialect\"=\"oracle\"", -1, "oracle"},
        {"\"SQL Dialect\"=\"sqlite \"", -1, "sqlite "},
    };
    for (const auto &c : cases) {
        serviceSettings.sqlDialect[0] = '\0';
        ASSERT_EQ(1, Load(Key(c.value))) << StoreErrorText();
        EXPECT_EQ(c.dialect, SettingsDialect()) << c.value;
        EXPECT_EQ(c.kept, serviceSettings.sqlDialect) << c.value;
    }
}

}  // namespace
