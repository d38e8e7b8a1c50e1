// The spool file through the service's own calls on real files: records
// come back in order after a reopen; a record cut short by a crash or
// changed on disk is set aside and never run; the limit holds; the file
// shrinks as it drains; and a write, sync, cut or rename that fails leaves
// nothing that runs, or runs twice; so does a name that moves on or gains a
// second name, and the metrics file is replaced whole or not at all. A
// link-time seam (--wrap) makes the system's file calls fail on demand.
#include "counters.h"
#include "spool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The seam, in front of the system's calls: when armed, the next pwrite
// writes only `writeKeeps` bytes and fails, the fdatasync after the next
// `syncsPassing` fails, and so do the next `truncatesFailing` ftruncates
// and `renamesFailing` renames, as a full or failing disk makes them; the
// next flock renames `renameFrom` over `renameTo` first, as another may.
static int writeKeeps = -1;
static bool failSync = false;
static int syncsPassing = 0;
static int truncatesFailing = 0;
static int renamesFailing = 0;
static std::string renameFrom, renameTo;

extern "C" {
ssize_t __real_pwrite(int fd, const void *buffer, size_t size, off_t offset);
int __real_fdatasync(int fd);
int __real_ftruncate(int fd, off_t size);
int __real_rename(const char *from, const char *to);
int __real_flock(int fd, int operation);

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
    if (failSync && syncsPassing-- > 0)
        return __real_fdatasync(fd);
    bool fail = failSync;
    failSync = false;
    errno = EIO;
    return fail ? -1 : __real_fdatasync(fd);
}

int __wrap_ftruncate(int fd, off_t size)
{
    if (truncatesFailing == 0)
        return __real_ftruncate(fd, size);
    truncatesFailing--;
    errno = EIO;
    return -1;
}

int __wrap_rename(const char *from, const char *to)
{
    errno = EIO;
    return renamesFailing > 0 && renamesFailing-- ? -1 : __real_rename(from, to);
}

int __wrap_flock(int fd, int operation)
{
    if (!renameFrom.empty())
        __real_rename(renameFrom.c_str(), renameTo.c_str());
    renameFrom.clear();
    return __real_flock(fd, operation);
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
    void SetUp() override { Fresh(); }
    // A fresh folder for the spool, for each case of a loop.
    void Fresh()
    {
        SpoolClose();
        RemoveTree(dir);
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
        while (SpoolReadHead(text) == 1 && taken.size() < 1000) {
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
struct DamageCase : NamedCase {
    long cutAt;      // the file's new size, or -1
    long flipAt;     // a byte changed, or -1
    long from, to;   // the bytes set aside
    std::vector<std::string> statements;
    long zeroTo = 0;  // the bytes before it are zeroed
};

const DamageCase kDamage[] = {
    {{"the first record cut after two bytes"}, 2, -1, 0, 2, {}},
    {{"cut after the last header's magic"}, kThird + 3, -1, kThird, kThird + 3, {"A;", "BB;"}},
    {{"cut inside the last header"}, kThird + 9, -1, kThird, kThird + 9, {"A;", "BB;"}},
    {{"cut after the last header"}, kThird + 12, -1, kThird, kThird + 12, {"A;", "BB;"}},
    {{"cut before the last byte"}, kEnd - 1, -1, kThird, kEnd - 1, {"A;", "BB;"}},
    {{"a byte of a middle record's text"}, -1, kSecond + 13, kSecond, kThird, {"A;", "CCC;"}},
    {{"a middle record's length"}, -1, kSecond + 4, kSecond, kThird, {"A;", "CCC;"}},
    {{"a middle record's state"}, -1, kSecond + 3, kSecond, kThird, {"A;", "CCC;"}},
    {{"the first record's magic"}, -1, 0, 0, kSecond, {"BB;", "CCC;"}},
    // As a spool cut to nothing under the service, then appended to, is left.
    {{"the first record zeroed"}, -1, -1, 0, kSecond, {"BB;", "CCC;"}, kSecond},
};

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
    bytes.replace(0, (size_t)c.zeroTo, (size_t)c.zeroTo, '\0');
    WriteFile(path, bytes);

    EXPECT_EQ(kDamaged, Open());
    EXPECT_EQ((long)c.statements.size(), spool.waiting);
    EXPECT_EQ(c.cutAt >= 0 ? (size_t)c.from : bytes.size(), ReadFile(path).size()) << "cut off, or covered";
    EXPECT_EQ(bytes.substr((size_t)c.from, (size_t)(c.to - c.from)), ReadFile(path + ".damaged"));
    // Set aside once: a second start finds nothing more to set aside.
    EXPECT_EQ("", Open());
    EXPECT_EQ(c.statements, Drain());
    EXPECT_EQ(0, spool.waiting);
    EXPECT_EQ("", ReadFile(path)) << "a spool with nothing waiting is emptied";
}

INSTANTIATE_TEST_SUITE_P(Spool, Damage, testing::ValuesIn(kDamage), CaseName());

// Records come back in order after a reopen, and a statement that would
// take the bytes waiting past the limit is not kept, leaving the spool as
// it was; records taken no longer count.
TEST_F(SpoolFile, OrderAndLimit)
{
    char text[SPOOL_TEXT_MAX + 1];
    Open(kThird);
    EXPECT_EQ(SPOOL_KEPT, SpoolAppend("A;"));
    EXPECT_EQ(SPOOL_KEPT, SpoolAppend("BB;"));
    EXPECT_EQ(0, SpoolHasRoom(4));
    EXPECT_EQ(SPOOL_FULL, SpoolAppend("CCC;"));
    EXPECT_EQ((size_t)kThird, ReadFile(path).size());
    EXPECT_EQ("", Open(kThird));
    EXPECT_EQ(2, spool.waiting);
    ASSERT_EQ(1, SpoolReadHead(text));
    ASSERT_EQ(0, SpoolTakeHead());
    EXPECT_EQ(0, SpoolHasRoom(3));
    EXPECT_EQ(1, SpoolHasRoom(2));
    EXPECT_EQ(SPOOL_KEPT, SpoolAppend("C;"));
    EXPECT_EQ(std::vector<std::string>({"BB;", "C;"}), Drain());
}

// However appending fails, no part of that statement ever runs, and the
// statements before it are untouched.
TEST_F(SpoolFile, FailedAppendLeavesNothingToRun)
{
    const struct {
        const char *name;
        int writeKeeps;
        bool failSync;
        int truncatesFailing;
        const char *lines;  // when the spool is opened again
    } cases[] = {
        {"write fails part way", 7, false, 0, ""},
        {"sync fails", -1, true, 0, ""},
        {"write fails part way and so does the cut", 7, false, 1, kDamaged},
    };
    for (const auto &c : cases) {
        Fresh();
        Open();
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend("A;"));
        writeKeeps = c.writeKeeps;
        failSync = c.failSync;
        truncatesFailing = c.truncatesFailing;
        EXPECT_EQ(SPOOL_NOT_KEPT, SpoolAppend("BB;")) << c.name;
        EXPECT_EQ(1, spool.waiting) << c.name;
        EXPECT_EQ(c.lines, Open()) << c.name;
        EXPECT_EQ(std::vector<std::string>({"A;"}), Drain()) << c.name;
    }
}

// A done mark that fails, and an emptying that fails after it, leave every
// record where it is; both are done again later, so that after a restart
// nothing taken runs again and what came after runs once, in order.
TEST_F(SpoolFile, FailedTakeRunsNothingTwice)
{
    const struct {
        const char *name;
        int failingTake;       // whose done mark is not written
        int takes;
        int truncatesFailing;  // from that take on
        std::vector<std::string> after;  // run after a restart
    } cases[] = {
        {"a mark fails, the next take writes it", 0, 2, 0, {"CCC;", "D;"}},
        {"the last mark and the emptying fail", 2, 3, 1, {"D;"}},
        {"the last mark fails and the emptying fails twice", 2, 3, 2, {"D;"}},
    };
    char text[SPOOL_TEXT_MAX + 1];
    for (const auto &c : cases) {
        Fresh();
        AppendAll();
        Open();
        for (int take = 0; take < c.takes; take++) {
            ASSERT_EQ(1, SpoolReadHead(text)) << c.name;
            EXPECT_STREQ(kStatements[take], text) << c.name;
            if (take == c.failingTake) {
                writeKeeps = 0;
                truncatesFailing = c.truncatesFailing;
            }
            EXPECT_EQ(take == c.failingTake ? -1 : 0, SpoolTakeHead()) << c.name;
        }
        EXPECT_STREQ(strerror(EIO), FileErrorText()) << c.name;
        EXPECT_EQ(SPOOL_KEPT, SpoolAppend("D;")) << c.name;
        EXPECT_EQ(0, truncatesFailing) << c.name;
        EXPECT_EQ("", Open()) << c.name;
        EXPECT_EQ(c.after, Drain()) << c.name;
    }
}

// Draining while statements keep coming, the file shrinks before it is
// empty and stays within about twice the bytes waiting; a reopen on the
// way, and one right after each move, finds every statement; and a move
// to a fresh file that fails (its rename, or with -1 its sync) leaves the
// spool as it was, to be moved once as much again was taken: a file system
// that never makes it costs one failure per doubling.
TEST_F(SpoolFile, FileShrinksWhileDraining)
{
    for (int renameFails : {0, 1, 1000, -1}) {
        Fresh();
        Open();
        std::vector<std::string> sent;
        std::vector<std::string> taken;
        auto append = [&] {
            sent.push_back(std::to_string(sent.size()) + ";" + std::string(480, '-'));
            ASSERT_EQ(SPOOL_KEPT, SpoolAppend(sent.back().c_str()));
        };
        for (int i = 0; i < 200; i++)
            append();
        renamesFailing = std::max(renameFails, 0);
        int64_t largest = 0, mostWaiting = 0, previous = 0;
        int falls = 0, failures = 0, movedAt = -2;
        char text[SPOOL_TEXT_MAX + 1];
        for (int turn = 0; SpoolReadHead(text) == 1 && turn < 1000; turn++) {
            taken.push_back(text);
            // At the first move: the mark's sync passes, the fresh file's fails.
            int64_t head = spool.head + spool.headSize;
            failSync = renameFails < 0 && failures == 0 && head >= 65536 && head >= spool.end - head;
            syncsPassing = 1;
            failures += SpoolTakeHead() != 0;
            failSync = false;
            struct stat file;
            ASSERT_EQ(0, stat(path.c_str(), &file));
            // Right after a move, and after the take that follows it.
            if (spool.waiting > 0 && (file.st_size < previous || turn == movedAt + 1))
                Open();
            movedAt = file.st_size < previous ? turn : movedAt;
            if (turn < 300)
                append();
            if (turn == 250)
                Open();
            ASSERT_EQ(0, stat(path.c_str(), &file));
            largest = std::max<int64_t>(largest, file.st_size);
            mostWaiting = std::max(mostWaiting, spool.end - spool.head);
            falls += spool.waiting > 0 && file.st_size < previous;
            previous = file.st_size;
        }
        EXPECT_EQ(sent, taken) << renameFails;
        EXPECT_TRUE(renameFails < 2 ? falls >= 2 : falls == 0) << falls;
        EXPECT_LE(largest, 2 * mostWaiting + 65536) << renameFails;
        renamesFailing = 0;
        // Tried at about 99 KB taken, then at twice that.
        EXPECT_EQ(renameFails < 0 ? 1 : std::min(renameFails, 2), failures);
        EXPECT_EQ("", ReadFile(path));
        EXPECT_NE(0, access((path + ".new").c_str(), F_OK)) << renameFails;
    }
}

// The scan for the next whole record after damage finds one wherever it
// lies against its 64 KiB reads.
TEST_F(SpoolFile, RecordAfterLongDamageRuns)
{
    for (size_t at : {65535, 65536}) {
        Fresh();
        Open();
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend("A;"));
        SpoolClose();
        std::string junk = "VSRW" + std::string(at - 4, 'x');
        WriteFile(path, junk + ReadFile(path));
        EXPECT_EQ(kDamaged, Open()) << at;
        EXPECT_EQ(junk, ReadFile(path + ".damaged")) << at;
        EXPECT_EQ(std::vector<std::string>({"A;"}), Drain()) << at;
    }
}

// A second name made while the spool drains keeps it in its file (said
// once): that name is emptied with it, never left with records taken.
TEST_F(SpoolFile, SecondNameKeepsItsFile)
{
    Open();
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(SPOOL_KEPT, SpoolAppend((std::to_string(i) + ";" + std::string(480, '-')).c_str()));
    ASSERT_EQ(0, link(path.c_str(), (dir + "/second").c_str()));
    CaptureStdout();
    EXPECT_EQ(200u, Drain().size());
    EXPECT_EQ("Spool " + path + " has more than one link, not compacted.\n", GetCapturedStdout());
    EXPECT_EQ("", ReadFile(dir + "/second"));
}

// A file that takes the spool's name between its open and its lock is not
// the one locked: that one is not taken, and the next try takes the new.
TEST_F(SpoolFile, LockOnAReplacedFileIsNotTheSpool)
{
    AppendAll();
    std::string named = path;
    path = dir + "/fresh";
    Open();
    ASSERT_EQ(SPOOL_KEPT, SpoolAppend("D;"));
    SpoolClose();
    renameFrom = path;
    renameTo = path = named;
    EXPECT_EQ(FILE_HELD, SpoolOpen(path.c_str(), 1 << 20));
    EXPECT_EQ(std::vector<std::string>({"D;"}), (Open(), Drain()));
}

// A metrics write that fails half way leaves the old file whole.
TEST_F(SpoolFile, FailedMetricsWriteLeavesTheOldFile)
{
    std::string metrics = dir + "/varn.prom";
    ASSERT_EQ(0, WriteMetricsFile(metrics.c_str()));
    std::string before = ReadFile(metrics);
    serviceCounters.statementsRead = 7;
    writeKeeps = 100;
    EXPECT_EQ(-1, WriteMetricsFile(metrics.c_str()));
    EXPECT_EQ(before, ReadFile(metrics));
}

}  // namespace
