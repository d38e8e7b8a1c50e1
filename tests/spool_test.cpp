// The spool file through the service's own calls on real files: records
// come back in order after a reopen; a record cut short by a crash or
// changed on disk is set aside and never run; the limit holds; and a write
// or sync that fails while appending leaves nothing that runs. A link-time
// seam (--wrap) makes the system's file calls fail on demand.
#include "spool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The seam, in front of the system's calls: when armed, the next pwrite
// writes only `writeKeeps` bytes and fails, and the next fdatasync or
// ftruncate fails, as a full or failing disk makes them.
static int writeKeeps = -1;
static bool failSync = false;
static bool failTruncate = false;

extern "C" {
ssize_t __real_pwrite(int fd, const void *buffer, size_t size, off_t offset);
int __real_fdatasync(int fd);
int __real_ftruncate(int fd, off_t size);

ssize_t __wrap_pwrite(int fd, const void *buffer, size_t size, off_t offset)
{
    if (writeKeeps < 0)
        return __real_pwrite(fd, buffer, size, offset);
    __real_pwrite(fd, buffer, (size_t)writeKeeps, offset);
    writeKeeps = -1;
    errno = EIO;
    return -1;
}

int __wrap_fdatasync(int fd)
{
    bool fail = failSync;
    failSync = false;
    errno = EIO;
    return fail ? -1 : __real_fdatasync(fd);
}

int __wrap_ftruncate(int fd, off_t size)
{
    bool fail = failTruncate;
    failTruncate = false;
    errno = EIO;
    return fail ? -1 : __real_ftruncate(fd, size);
}
}

namespace {

// Three records: "A;" at 0, "BB;" at 14, "CCC;" at 29, ending at 45.
const char *const kStatements[] = {"A;", "BB;", "CCC;"};
const int kSecond = 14;
const int kThird = 29;
const int kEnd = 45;
const char kDamaged[] = "Spool record damaged, set aside.\n";

class SpoolFile : public testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        path = dir + "/spool";
    }
    void TearDown() override
    {
        SpoolClose();
        RemoveTree(dir);
    }
    // Opens the spool as the service does; the lines it wrote.
    std::string Open(int64_t limit = 1 << 20)
    {
        SpoolClose();
        CaptureStdout();
        EXPECT_EQ(0, SpoolOpen(path.c_str(), limit)) << FileErrorText();
        return GetCapturedStdout();
    }
    void AppendAll()
    {
        Open();
        for (const char *statement : kStatements)
            ASSERT_EQ(SPOOL_KEPT, SpoolAppend(statement));
        SpoolClose();
    }
    // Takes every waiting statement, in order, as replay does.
    std::vector<std::string> Drain()
    {
        std::vector<std::string> taken;
        char text[SPOOL_TEXT_MAX + 1];
        while (SpoolReadHead(text) == 1 && taken.size() < 10) {
            taken.push_back(text);
            EXPECT_EQ(0, SpoolTakeHead());
        }
        return taken;
    }

    std::string dir;
    std::string path;
};

// A crash while appending cuts the last record anywhere; a disk can change
// any byte of a record. Either way only the intact records run, in order,
// and the damaged bytes are kept beside the spool.
struct DamageCase {
    const char *name;
    long cutAt;      // the file's new size, or -1
    long flipAt;     // a byte changed, or -1
    long from, to;   // the bytes set aside
    std::vector<std::string> statements;
};

const DamageCase kDamage[] = {
    {"cut after the last header's magic", kThird + 3, -1, kThird, kThird + 3, {"A;", "BB;"}},
    {"cut inside the last header", kThird + 9, -1, kThird, kThird + 9, {"A;", "BB;"}},
    {"cut after the last header", kThird + 12, -1, kThird, kThird + 12, {"A;", "BB;"}},
    {"cut before the last byte", kEnd - 1, -1, kThird, kEnd - 1, {"A;", "BB;"}},
    {"a byte of a middle record's text", -1, kSecond + 13, kSecond, kThird, {"A;", "CCC;"}},
    {"a middle record's length", -1, kSecond + 4, kSecond, kThird, {"A;", "CCC;"}},
    {"a middle record's state", -1, kSecond + 3, kSecond, kThird, {"A;", "CCC;"}},
};

void PrintTo(const DamageCase &c, std::ostream *out)
{
    *out << c.name;
}

class Damage : public SpoolFile, public testing::WithParamInterface<DamageCase> {};

TEST_P(Damage, OnlyIntactRecordsRun)
{
    const DamageCase &c = GetParam();
    AppendAll();
    std::string bytes = ReadFile(path);
    ASSERT_EQ((size_t)kEnd, bytes.size());
    if (c.cutAt >= 0)
        bytes.resize((size_t)c.cutAt);
    if (c.flipAt >= 0)
        bytes[(size_t)c.flipAt] ^= 0x20;
    WriteFile(path, bytes);

    EXPECT_EQ(kDamaged, Open());
    EXPECT_EQ((long)c.statements.size(), spool.waiting);
    EXPECT_EQ(c.cutAt >= 0 ? (size_t)kThird : bytes.size(), ReadFile(path).size()) << "cut off, or covered";
    EXPECT_EQ(bytes.substr((size_t)c.from, (size_t)(c.to - c.from)), ReadFile(path + ".damaged"));
    // Set aside once: a second start finds nothing more to set aside.
    EXPECT_EQ("", Open());
    EXPECT_EQ(c.statements, Drain());
    EXPECT_EQ(0, spool.waiting);
    EXPECT_EQ("", ReadFile(path)) << "a spool with nothing waiting is emptied";
}

INSTANTIATE_TEST_SUITE_P(Spool, Damage, testing::ValuesIn(kDamage),
                         [](const testing::TestParamInfo<DamageCase> &info) { return TestName(info.param.name); });

// Records come back in order after a reopen, and a statement that would
// take the file past its limit is not kept, leaving the spool as it was.
TEST_F(SpoolFile, OrderAndLimit)
{
    Open(kThird);
    EXPECT_EQ(SPOOL_KEPT, SpoolAppend("A;"));
    EXPECT_EQ(SPOOL_KEPT, SpoolAppend("BB;"));
    EXPECT_EQ(SPOOL_FULL, SpoolAppend("CCC;"));
    EXPECT_EQ((size_t)kThird, ReadFile(path).size());
    EXPECT_EQ("", Open(kThird));
    EXPECT_EQ(2, spool.waiting);
    EXPECT_EQ(std::vector<std::string>({"A;", "BB;"}), Drain());
}

// However appending fails, no part of that statement ever runs, and the
// statements before it are untouched.
TEST_F(SpoolFile, FailedAppendLeavesNothingToRun)
{
    const struct {
        const char *name;
        int writeKeeps;
        bool failSync;
        bool failTruncate;
        const char *lines;  // when the spool is opened again
    } cases[] = {
        {"write fails part way", 7, false, false, ""},
        {"sync fails", -1, true, false, ""},
        {"write fails part way and so does the cut", 7, false, true, kDamaged},
    };
    for (const auto &c : cases) {
        RemoveTree(dir);
        dir = MakeTempDir();
        path = dir + "/spool";
        Open();
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend("A;"));
        writeKeeps = c.writeKeeps;
        failSync = c.failSync;
        failTruncate = c.failTruncate;
        EXPECT_EQ(SPOOL_NOT_KEPT, SpoolAppend("BB;")) << c.name;
        EXPECT_EQ(1, spool.waiting) << c.name;
        EXPECT_EQ(c.lines, Open()) << c.name;
        EXPECT_EQ(std::vector<std::string>({"A;"}), Drain()) << c.name;
    }
}

}  // namespace
