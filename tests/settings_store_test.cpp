// The settings file and the settings read from it: both registry export
// headers and encodings, escapes, continuations, comments, other sections,
// case, values that do not fit, wrong types, and the client filter.
#include "platform.h"
#include "service.h"
#include "statement_lexer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

namespace {

const char kKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]";

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        serviceSettings = ServiceSettings{"", "", "", 23, 0, 0, ""};
    }
    void TearDown() override { RemoveTree(dir); }

    int Load(const std::string &bytes)
    {
        WriteFile(dir + "/settings.reg", bytes);
        return LoadSettings((dir + "/settings.reg").c_str());
    }

    std::string dir;
};

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

const std::string kFullKey = std::string(kKey) +
                             "\r\n\"Data Source\"=\"varn_sqlite\"\r\n"
                             "\"User Name\"=\"operator\"\r\n"
                             "\"Password\"=\"s3cret\"\r\n"
                             "\"TCP Port\"=dword:00001f90\r\n"
                             "\"Allow IP\"=\"10.1.0.0\"\r\n"
                             "\"Allow Mask\"=\"255.255.0.0\"\r\n";

void ExpectFullKey()
{
    EXPECT_STREQ("varn_sqlite", serviceSettings.dataSource);
    EXPECT_STREQ("operator", serviceSettings.userName);
    EXPECT_STREQ("s3cret", serviceSettings.password);
    EXPECT_EQ(8080u, serviceSettings.tcpPort);
    EXPECT_EQ(Ip("10.1.0.0"), serviceSettings.allowAddress);
    EXPECT_EQ(Ip("255.255.0.0"), serviceSettings.allowMask);
}

TEST_F(Settings, Regedit4Ansi)
{
    EXPECT_EQ(1, Load("REGEDIT4\r\n\r\n" + kFullKey));
    ExpectFullKey();
}

TEST_F(Settings, Version5Utf16WithByteOrderMark)
{
    EXPECT_EQ(1, Load(Utf16("Windows Registry Editor Version 5.00\r\n\r\n" + kFullKey)));
    ExpectFullKey();
}

TEST_F(Settings, Utf8ByteOrderMarkAndPlainLineFeeds)
{
    std::string text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n" + kFullKey;
    for (size_t at; (at = text.find('\r')) != std::string::npos;)
        text.erase(at, 1);
    EXPECT_EQ(1, Load(text));
    ExpectFullKey();
}

TEST_F(Settings, Utf16TextIsReadAsUtf8)
{
    std::string text("\xFF\xFE", 2);
    std::string body = "REGEDIT4\r\n" + std::string(kKey) + "\r\n\"Data Source\"=\"caf";
    for (char c : body) {
        text += c;
        text += '\0';
    }
    text += std::string("\xE9\x00\"\x00\r\x00\n\x00", 8);  // U+00E9, closing quote, CRLF
    EXPECT_EQ(1, Load(text));
    EXPECT_STREQ("caf\xC3\xA9", serviceSettings.dataSource);
}

TEST_F(Settings, EscapesInStrings)
{
    Load("REGEDIT4\n" + std::string(kKey) + "\n\"Password\"=\"a\\\\b\\\"c\"\n\"User Name\"=\"x\\ny\"\n");
    EXPECT_STREQ("a\\b\"c", serviceSettings.password);
    EXPECT_STREQ("x\\ny", serviceSettings.userName);
}

TEST_F(Settings, HexValuesWithContinuations)
{
    Load("REGEDIT4\n" + std::string(kKey) +
         "\n\"Data Source\"=hex:76,61,\\\n  72,6e,\\\n  00\n\"TCP Port\"=hex(4):90,1f,00,00\n");
    EXPECT_STREQ("varn", serviceSettings.dataSource);
    EXPECT_EQ(8080u, serviceSettings.tcpPort);
}

// A version 5.00 export keeps expandable strings in UTF-16; they are read
// as 8-bit text, as the registry's 8-bit interface hands them out.
TEST_F(Settings, ExpandableStringInVersion5)
{
    Load("Windows Registry Editor Version 5.00\n" + std::string(kKey) +
         "\n\"Data Source\"=hex(2):64,00,73,00,6e,00,00,00\n");
    EXPECT_STREQ("dsn", serviceSettings.dataSource);
}

TEST_F(Settings, CommentsOtherSectionsAndCase)
{
    Load("REGEDIT4\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Data Source\"=\"wrong\"\n"
         "[hkey_local_machine\\software\\halvorin\\varn odbc]\n"
         "; \"User Name\"=\"commented\"\n"
         "\"DATA SOURCE\"=\"right\"\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC\\Sub]\n\"Password\"=\"sub\"\n");
    EXPECT_STREQ("right", serviceSettings.dataSource);
    EXPECT_STREQ("", serviceSettings.userName);
    EXPECT_STREQ("", serviceSettings.password);
}

TEST_F(Settings, LaterDefinitionWinsAndDashDeletes)
{
    Load("REGEDIT4\n" + std::string(kKey) + "\n\"Data Source\"=\"first\"\n\"User Name\"=\"u\"\n" + kKey +
         "\n\"Data Source\"=\"second\"\n\"User Name\"=-\n");
    EXPECT_STREQ("second", serviceSettings.dataSource);
    EXPECT_STREQ("", serviceSettings.userName);
}

TEST_F(Settings, StringsUpToTheirBuffer)
{
    std::string hundred(100, 'h');
    std::string longer(101, 'x');
    Load("REGEDIT4\n" + std::string(kKey) + "\n\"Data Source\"=\"" + hundred + "\"\n\"Password\"=\"" + longer +
         "\"\n");
    EXPECT_EQ(hundred, serviceSettings.dataSource);
    EXPECT_STREQ("", serviceSettings.password) << "a value that does not fit leaves the default";
}

TEST_F(Settings, UnterminatedBytesStayInsideTheField)
{
    std::string bytes;
    for (int i = 0; i < 101; i++)
        bytes += i ? ",41" : "41";
    Load("REGEDIT4\n" + std::string(kKey) + "\n\"User Name\"=hex:" + bytes + "\n\"Password\"=hex:70,77\n");
    EXPECT_EQ(std::string(100, 'A'), serviceSettings.userName);
    EXPECT_STREQ("pw", serviceSettings.password);
}

TEST_F(Settings, EmptyStringIsPresent)
{
    Load("REGEDIT4\n" + std::string(kKey) + "\n\"Allow IP\"=\"\"\n");
    EXPECT_EQ(0xFFFFFFFFu, serviceSettings.allowAddress);
    EXPECT_EQ(0xFFFFFFFFu, serviceSettings.allowMask);
}

TEST_F(Settings, WrongTypes)
{
    Load("REGEDIT4\n" + std::string(kKey) +
         "\n\"TCP Port\"=\"8080\"\n\"Data Source\"=dword:00434241\n\"Allow IP\"=dword:0a0b0c0d\n");
    EXPECT_EQ(23u, serviceSettings.tcpPort) << "a five-byte string does not fit the port";
    EXPECT_STREQ("ABC", serviceSettings.dataSource);
    EXPECT_EQ(0xFFFFFFFFu, serviceSettings.allowAddress) << "binary bytes parse as no address";
}

TEST_F(Settings, ShortPortValueOverwritesOnlyItsBytes)
{
    Load("REGEDIT4\n" + std::string(kKey) + "\n\"TCP Port\"=hex:01\n");
    EXPECT_EQ(1u, serviceSettings.tcpPort);
}

TEST_F(Settings, KeyThatCannotBeOpened)
{
    EXPECT_EQ(0, LoadSettings((dir + "/missing.reg").c_str()));
    EXPECT_EQ(0, Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Data Source\"=\"x\"\n"));
    EXPECT_EQ(0, Load("REGEDIT5\n" + kFullKey));
    EXPECT_EQ(0, Load(""));
    EXPECT_STREQ("", serviceSettings.dataSource);
    EXPECT_EQ(23u, serviceSettings.tcpPort);
    EXPECT_EQ(0u, serviceSettings.allowAddress);
    EXPECT_EQ(0u, serviceSettings.allowMask);
}

// A file cut short keeps what was whole before the cut.
TEST_F(Settings, Utf16FileCutInTheMiddle)
{
    std::string whole = Utf16("Windows Registry Editor Version 5.00\r\n" + std::string(kKey) +
                              "\r\n\"TCP Port\"=dword:00001f90\r\n\"Data Source\"=\"varn_sqlite\"\r\n");
    std::string cut = whole.substr(0, whole.size() - 13);  // inside the data source, on an odd byte
    EXPECT_EQ(1, Load(cut));
    EXPECT_EQ(8080u, serviceSettings.tcpPort);
    EXPECT_STREQ("", serviceSettings.dataSource);
}

TEST_F(Settings, BinaryFilesGiveDefaults)
{
    std::string noise;
    unsigned state = 12345;
    for (int i = 0; i < 4096; i++) {
        state = state * 1103515245u + 12345u;
        noise += (char)(state >> 16);
    }
    EXPECT_EQ(0, Load(noise));
    EXPECT_EQ(0, Load(std::string("REGEDIT4\n") + noise));
    EXPECT_EQ(0, Load(std::string("\xFF\xFE", 2) + noise));
    EXPECT_EQ(23u, serviceSettings.tcpPort);
    EXPECT_STREQ("", serviceSettings.dataSource);
}

TEST_F(Settings, NoiseAroundReadableValues)
{
    std::string noise("\x01\x02\xff\xfe\x00garbage\x7f", 14);
    EXPECT_EQ(1, Load("REGEDIT4\n" + noise + "\n" + std::string(kKey) + "\n" + noise + "\n\"Password\"=\"pw\"\n" +
                      noise + "\n\"TCP Port\"=dword:00000050\n"));
    EXPECT_STREQ("pw", serviceSettings.password);
    EXPECT_EQ(80u, serviceSettings.tcpPort);
}

TEST_F(Settings, MalformedLinesAreSkipped)
{
    Load("REGEDIT4\n" + std::string(kKey) +
         "\n\"Data Source\"=\"unterminated\n\"User Name\"=dword:xyz\n\"Password\"=hex:1\n\"TCP Port\"=dword:0000000a\n");
    EXPECT_STREQ("", serviceSettings.dataSource);
    EXPECT_STREQ("", serviceSettings.userName);
    EXPECT_STREQ("", serviceSettings.password);
    EXPECT_EQ(10u, serviceSettings.tcpPort);
}

TEST(StoreQuery, SizeReportedAndBufferUntouchedWhenTooSmall)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/s.reg", "REGEDIT4\n" + std::string(kKey) + "\n\"Name\"=\"abcdef\"\n");
    StoreKey key;
    ASSERT_EQ(STORE_OK, StoreOpenKey((dir + "/s.reg").c_str(), &key));
    char buffer[8] = "zzzzzzz";
    uint32_t size = 4;
    EXPECT_EQ(STORE_FAILED, StoreQueryValue(&key, "Name", buffer, &size));
    EXPECT_STREQ("zzzzzzz", buffer);
    size = sizeof buffer;
    EXPECT_EQ(STORE_OK, StoreQueryValue(&key, "name", buffer, &size));
    EXPECT_EQ(7u, size);
    EXPECT_STREQ("abcdef", buffer);
    size = sizeof buffer;
    EXPECT_EQ(STORE_FAILED, StoreQueryValue(&key, "Missing", buffer, &size));
    StoreCloseKey(&key);
    RemoveTree(dir);
}

struct DialectCase {
    std::string value;  // the line, or "" for none
    int dialect;
    const char *kept;   // what the field holds
};

TEST_F(Settings, SqlDialect)
{
    const DialectCase cases[] = {
        {"", SQL_DIALECT_PLAIN, ""},
        {"\"SQL Dialect\"=\"Plain\"", SQL_DIALECT_PLAIN, "Plain"},
        {"\"SQL Dialect\"=\"SQLITE\"", SQL_DIALECT_SQLITE, "SQLITE"},
        {"\"sql dialect\"=\"PostgreSQL\"", SQL_DIALECT_POSTGRESQL, "PostgreSQL"},
        {"\"SQL Dialect\"=\"mysql\"", SQL_DIALECT_MYSQL, "mysql"},
        {"\"SQL Dialect\"=\"MariaDB\"", SQL_DIALECT_MYSQL, "MariaDB"},
        {"\"SQL Dialect\"=\"oracle\"", -1, "oracle"},
        {"\"SQL Dialect\"=\"sqlite \"", -1, "sqlite "},
        // Too long to read whole: kept cut, and unknown.
        {"\"SQL Dialect\"=\"mysql" + std::string(200, 'x') + "\"", -1, ""},
    };
    for (const DialectCase &c : cases) {
        serviceSettings.sqlDialect[0] = '\0';
        Load("REGEDIT4\n" + std::string(kKey) + "\n" + c.value + "\n");
        EXPECT_EQ(c.dialect, SettingsDialect()) << c.value;
        std::string kept = *c.kept || c.value.empty() ? c.kept : "mysql" + std::string(95, 'x');
        EXPECT_EQ(kept, serviceSettings.sqlDialect) << c.value;
    }
}

struct FilterCase {
    const char *name;
    std::string lines;
    uint32_t address;
    uint32_t mask;
    std::vector<const char *> admitted;
    std::vector<const char *> denied;
};

const FilterCase kFilterCases[] = {
    {"neither", "", 0, 0, {"127.0.0.1", "192.168.1.8", "10.2.0.1"}, {}},
    {"host only", "\"Allow IP\"=\"192.168.1.7\"", Ip("192.168.1.7"), 0xFFFFFFFFu, {"192.168.1.7"}, {"192.168.1.8"}},
    {"network",
     "\"Allow IP\"=\"10.1.0.0\"\n\"Allow Mask\"=\"255.255.0.0\"",
     Ip("10.1.0.0"),
     Ip("255.255.0.0"),
     {"10.1.200.3", "10.1.0.1"},
     {"10.2.0.1", "11.1.0.1"}},
    {"mask before address in the file still wins",
     "\"Allow Mask\"=\"255.0.0.0\"\n\"Allow IP\"=\"127.1.2.3\"",
     Ip("127.1.2.3"),
     Ip("255.0.0.0"),
     {"127.9.9.9"},
     {"128.1.2.3"}},
    {"mask only", "\"Allow Mask\"=\"255.255.255.0\"", 0, Ip("255.255.255.0"), {"0.0.0.77"}, {"127.0.0.1"}},
    {"invalid address", "\"Allow IP\"=\"not-an-address\"", 0xFFFFFFFFu, 0xFFFFFFFFu, {}, {"127.0.0.1", "10.0.0.1"}},
    {"zero address", "\"Allow IP\"=\"0.0.0.0\"", 0, 0xFFFFFFFFu, {}, {"127.0.0.1"}},
    {"short forms parse as inet_addr does", "\"Allow IP\"=\"127.1\"", Ip("127.0.0.1"), 0xFFFFFFFFu, {"127.0.0.1"}, {}},
    // A value too long to read must not switch the filter off.
    {"over-long address admits nobody", "\"Allow IP\"=\"127.0.0.1" + std::string(92, ' ') + "\"", 0xFFFFFFFFu,
     0xFFFFFFFFu, {}, {"127.0.0.1"}},
    {"over-long mask leaves the host", "\"Allow IP\"=\"127.0.0.7\"\n\"Allow Mask\"=\"" + std::string(101, '0') + "\"",
     Ip("127.0.0.7"), 0xFFFFFFFFu, {"127.0.0.7"}, {"127.0.0.8"}},
};

void PrintTo(const FilterCase &c, std::ostream *out)
{
    *out << c.name;
}

class Filter : public Settings, public testing::WithParamInterface<FilterCase> {};

TEST_P(Filter, AddressMaskAndAdmission)
{
    const FilterCase &c = GetParam();
    Load("REGEDIT4\n" + std::string(kKey) + "\n" + c.lines + "\n");
    EXPECT_EQ(c.address, serviceSettings.allowAddress);
    EXPECT_EQ(c.mask, serviceSettings.allowMask);
    for (const char *peer : c.admitted)
        EXPECT_TRUE(IsPeerAdmitted(Ip(peer))) << peer;
    for (const char *peer : c.denied)
        EXPECT_FALSE(IsPeerAdmitted(Ip(peer))) << peer;
}

INSTANTIATE_TEST_SUITE_P(Settings, Filter, testing::ValuesIn(kFilterCases),
                         [](const testing::TestParamInfo<FilterCase> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

}  // namespace
