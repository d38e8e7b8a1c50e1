// The settings file at paths that hold no file to read, and the client
// filter. What a file's bytes load, or why they are refused, is checked by
// settings.corpus: the settings fuzz target's seeds with their expected
// outcome (fuzz/corpus/settings, fuzz/expected/settings).
#include "platform.h"
#include "settings.h"
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

// A REGEDIT4 file with `values` under the service's key.
std::string Key(const std::string &values)
{
    return "REGEDIT4\n" + kKey + "\n" + values + "\n";
}

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        serviceSettings = defaultSettings;
    }
    void TearDown() override { RemoveTree(dir); }

    int Load(const std::string &bytes)
    {
        WriteFile(dir + "/settings.reg", bytes);
        return LoadSettings((dir + "/settings.reg").c_str());
    }

    std::string dir;
};

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

}  // namespace
