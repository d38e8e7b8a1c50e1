// The counters and the JSON line writer as pure functions: a statement's
// time counts in the bucket whose bound ("le") it does not pass, and a JSON
// string holds exactly the bytes it was given.
#include "counters.h"
#include "test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Each bound the file names (0.1 ms to 60 s, in µs), met and passed by 1 µs.
TEST(Counters, TimeAtABoundCountsInItsBucket)
{
    std::string path = MakeTempDir() + "/varn.prom";
    for (int64_t bound : {100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000,
                          2500000, 5000000, 10000000, 30000000, 60000000})
        for (int past : {0, 1}) {
            Job job = {};  // a statement that ran
            job.elapsedUs = bound + past;
            serviceCounters = ServiceCounters();
            CountJob(&job);
            ASSERT_EQ(0, WriteMetricsFile(path.c_str()));
            std::string sample = "_bucket{le=\"" + testing::PrintToString(bound / 1e6) + "\"} " + (past ? "0\n" : "1\n");
            EXPECT_NE(std::string::npos, ReadFile(path).find(sample)) << sample;
        }
    RemoveTree(path.substr(0, path.rfind('/')));
}

struct JsonCase : NamedCase {
    std::string text, json;  // json: the string between its quotes
};

const JsonCase kJson[] = {
    {{"quotes, backslashes, line breaks, tabs"}, "a\"b\\c\nd\r\te", "a\\\"b\\\\c\\nd\\r\\te"},
    {{"other control bytes and DEL"}, "\x01\x1b\x1f\x7f", "\\u0001\\u001b\\u001f\\u007f"},
    {{"well-formed UTF-8 as it is"}, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
    {{"bytes of no UTF-8"}, "\xff\xfe\x80\xc3(", "\\udcff\\udcfe\\udc80\\udcc3("},
    {{"overlong, surrogate, past U+10FFFF"}, "\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80",
     "\\udcc0\\udcaf\\udce0\\udc80\\udcaf\\udced\\udca0\\udc80\\udcf4\\udc90\\udc80\\udc80"},
    {{"cut at the end"}, "x\xe2\x82", "x\\udce2\\udc82"},
};

class JsonString : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonString, HoldsTheExactBytes)
{
    ConsoleSetForm(0, 1);
    CaptureStdout();
    ConsoleQuoted("query", "Query: ", GetParam().text.c_str());
    std::string line = GetCapturedStdout();
    EXPECT_EQ(",\"event\":\"query\",\"text\":\"" + GetParam().json + "\"}\n", line.substr(line.find(",\"event\"")));
}

INSTANTIATE_TEST_SUITE_P(Console, JsonString, testing::ValuesIn(kJson), CaseName());
