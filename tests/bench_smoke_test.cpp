// A short run of varn-bench on SQLite: every row measured with numbers that
// hang together, and nothing left behind; failures print no table.
#include "test_support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct BenchRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs varn-bench with `arguments`, TMPDIR pointing at `tempDir` and its
// tmpfs folder at `shmDir`; its standard error goes through a file in `dir`.
BenchRun RunBench(const std::string &dir, const std::string &tempDir, const std::string &shmDir,
                  const std::string &arguments)
{
    BenchRun run;
    std::string errPath = dir + "/stderr";
    std::string command = "TMPDIR='" + tempDir + "' '" VARN_BENCH_PROGRAM "' --shm-dir '" + shmDir + "' " + arguments +
                          " 2>'" + errPath + "'";
    FILE *pipe = popen(command.c_str(), "r");
    char chunk[4096];
    size_t got;
    if (pipe == NULL)
        return run;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.out.append(chunk, got);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadFile(errPath);
    remove(errPath.c_str());
    return run;
}

std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The part of the output from the heading that starts with `heading` up to
// the next heading.
std::string Section(const std::string &out, const std::string &heading)
{
    size_t start = out.find("## " + heading);
    if (start == std::string::npos)
        return std::string();
    size_t end = out.find("\n## ", start + 3);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The cells of the Markdown table row whose first two cells are `source`
// and `second`; empty when there is no such row.
std::vector<std::string> TableRow(const std::string &out, const std::string &source, const std::string &second)
{
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::istringstream parts(line);
        std::string cell;
        if (line.empty() || line[0] != '|')
            continue;
        std::getline(parts, cell, '|');
        while (std::getline(parts, cell, '|'))
            cells.push_back(Trim(cell));
        if (cells.size() >= 2 && cells[0].compare(0, source.size(), source) == 0 &&
            (second.empty() || cells[1] == second))
            return cells;
    }
    return std::vector<std::string>();
}

double Number(const std::vector<std::string> &cells, size_t index)
{
    if (index >= cells.size())
        return -1;
    char *end = NULL;
    double value = strtod(cells[index].c_str(), &end);
    return end != cells[index].c_str() && *end == '\0' ? value : -1;
}

std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *listing = opendir(dir.c_str());
    if (listing == NULL)
        return names;
    while (struct dirent *entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(listing);
    return names;
}

// Processes whose command line mentions `text`: a service the run left.
int ProcessesMentioning(const std::string &text)
{
    int count = 0;
    for (const std::string &pid : Entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = ReadFile("/proc/" + pid + "/cmdline");
        if (cmdline.find(text) != std::string::npos)
            count++;
    }
    return count;
}

class BenchSmoke : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        tempDir = dir + "/tmp";
        ASSERT_EQ(0, mkdir(tempDir.c_str(), 0700));
        // The benchmark's tmpfs folder: /dev/shm where there is one.
        char shmPattern[] = "/dev/shm/varn-bench-test-XXXXXX";
        if (mkdtemp(shmPattern) != NULL) {
            shmDir = shmPattern;
        } else {
            shmDir = dir + "/shm";
            ASSERT_EQ(0, mkdir(shmDir.c_str(), 0700));
        }
    }
    void TearDown() override
    {
        RemoveTree(shmDir);
        RemoveTree(dir);
    }
    // Nothing of the run may be left in its folders, and no service it
    // started may still be running.
    void ExpectCleanedUp()
    {
        EXPECT_TRUE(Entries(tempDir).empty()) << "left behind in " << tempDir;
        EXPECT_TRUE(Entries(shmDir).empty()) << "left behind in " << shmDir;
        EXPECT_EQ(0, ProcessesMentioning(tempDir));
        EXPECT_EQ(0, ProcessesMentioning(shmDir));
    }
    std::string dir;
    std::string tempDir;
    std::string shmDir;
};

TEST_F(BenchSmoke, SqliteRunMeasuresEveryRowAndCleansUp)
{
    BenchRun run = RunBench(dir, tempDir, shmDir,
                            "--sources sqlite-shm --seconds 0.4 --rounds 2 --memory-source sqlite-shm "
                            "--memory-statements 1200");
    ASSERT_EQ(0, run.status) << run.err << run.out;

    std::string rates = Section(run.out, "Statements per second");
    const char *rows[] = {"1 service, one connection", "1 service, connection per statement",
                          "2 session per statement, in process", "3 held connection, in process",
                          "4 service, driver-manager pooling"};
    for (const char *row : rows) {
        std::vector<std::string> cells = TableRow(rates, "SQLite", row);
        ASSERT_EQ(7u, cells.size()) << row << "\n" << run.out;
        double rate = Number(cells, 2);
        double p50 = Number(cells, 3);
        double p99 = Number(cells, 4);
        EXPECT_GT(rate, 0) << row;
        EXPECT_GT(p50, 0) << row;
        EXPECT_GE(p99, p50) << row;
        // A latency far beyond what the rate allows would mean the clocks
        // were read wrongly.
        EXPECT_LT(p50, 2e3 / rate + 50) << row;
        if (row[0] == '1' || row[0] == '4') {
            EXPECT_GT(Number(cells, 5), 0) << row;
            EXPECT_GT(Number(cells, 6), 0) << row;
        }
    }

    // The ratios are the service rows' rates over the in-process ones.
    double session = Number(TableRow(rates, "SQLite", rows[2]), 2);
    double held = Number(TableRow(rates, "SQLite", rows[3]), 2);
    std::vector<std::string> service = TableRow(rates, "SQLite", rows[0]);
    EXPECT_NEAR(Number(service, 2) / session, Number(service, 5), 0.01);
    EXPECT_NEAR(Number(service, 2) / held, Number(service, 6), 0.001 + Number(service, 6) * 0.01);

    std::vector<std::string> cost = TableRow(Section(run.out, "CPU time"), "SQLite", "");
    ASSERT_EQ(8u, cost.size()) << run.out;
    EXPECT_GT(Number(cost, 1), 0);
    EXPECT_NEAR(Number(cost, 1) / 100, Number(cost, 2), 0.01);
    EXPECT_GT(Number(cost, 3), 0);
    EXPECT_NEAR(Number(cost, 1) - Number(cost, 3), Number(cost, 4), 0.2);
    EXPECT_GT(Number(cost, 5), 0);
    EXPECT_GT(Number(cost, 6), 0);
    EXPECT_NEAR(1.5 * Number(cost, 5) + 50, Number(cost, 7), 0.2);

    std::vector<std::string> memory = TableRow(Section(run.out, "Resident memory"), "SQLite", "");
    ASSERT_EQ(5u, memory.size()) << run.out;
    EXPECT_EQ(1200, Number(memory, 1));
    EXPECT_GT(Number(memory, 2), 100);
    EXPECT_GT(Number(memory, 3), 100);
    EXPECT_EQ(Number(memory, 3) - Number(memory, 2), Number(memory, 4));

    // Without pooling every statement has its own session; with it the
    // driver manager keeps one, and the state a statement leaves reaches
    // the next. The README tells operators exactly this.
    std::string probes = Section(run.out, "Session state");
    std::vector<std::string> plain = TableRow(probes, "SQLite", "plain");
    std::vector<std::string> pooled = TableRow(probes, "SQLite", "pooling");
    ASSERT_EQ(6u, plain.size()) << run.out;
    ASSERT_EQ(6u, pooled.size()) << run.out;
    EXPECT_EQ("no", plain[3]);
    EXPECT_EQ("no", plain[4]);
    EXPECT_EQ("no", plain[5]);
    EXPECT_EQ("yes", pooled[3]);
    EXPECT_EQ("yes", pooled[4]);
    EXPECT_EQ("yes", pooled[5]);

    ExpectCleanedUp();
}

TEST_F(BenchSmoke, FailuresPrintNoTableAndCleanUp)
{
    // A driver that cannot be loaded must fail the run, not report zeros.
    BenchRun broken =
        RunBench(dir, tempDir, shmDir, "--sources sqlite --seconds 0.2 --sqlite-driver /nonexistent/libnone.so");
    EXPECT_EQ(1, broken.status) << broken.err;
    EXPECT_EQ(std::string::npos, broken.out.find("| SQLite |")) << broken.out;
    EXPECT_NE(std::string::npos, broken.err.find("measurement failed")) << broken.err;

    // A data source the configuration does not define is refused up front.
    BenchRun missing = RunBench(dir, tempDir, shmDir, "--sources sqlite,pg --seconds 0.2");
    EXPECT_EQ(2, missing.status) << missing.err;
    EXPECT_NE(std::string::npos, missing.err.find("no data source varn_pg")) << missing.err;
    EXPECT_TRUE(missing.out.empty()) << missing.out;

    ExpectCleanedUp();
}

} // namespace
