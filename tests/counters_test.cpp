// The counters and the console's JSON lines as pure functions: a
// statement's time counts in the first histogram bucket whose bound ("le")
// it does not pass, and a JSON line's string holds exactly the bytes given.
#include "counters.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>

#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The value of the sample `name` in the metrics text.
std::string Sample(const std::string &text, const std::string &name)
{
    size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? "" : text.substr(at + name.size() + 2, text.find('\n', at + 1) - at - name.size() - 2);
}

// Each bound the file names, from 0.1 ms to 60 s: a time exactly at it
// counts in its bucket, a microsecond more does not.
TEST(Counters, TimeAtABoundCountsInItsBucket)
{
    std::string dir = MakeTempDir(), path = dir + "/varn.prom";
    ASSERT_EQ(0, WriteMetricsFile(path.c_str()));
    std::string text = ReadFile(path);
    std::vector<std::string> bounds;
    for (size_t at = 0; (at = text.find("_bucket{le=\"", at)) != std::string::npos;) {
        at += 12;
        bounds.push_back(text.substr(at, text.find('"', at) - at));
    }
    ASSERT_EQ("+Inf", bounds.back());
    bounds.pop_back();
    EXPECT_EQ("0.0001", bounds.front());
    EXPECT_EQ("60", bounds.back());
    for (const std::string &bound : bounds)
        for (int past : {0, 1}) {
            Job job = {};
            job.outcome = STATEMENT_TAKEN;
            job.elapsedUs = llround(atof(bound.c_str()) * 1e6) + past;
            serviceCounters = ServiceCounters();
            CountJob(&job);
            ASSERT_EQ(0, WriteMetricsFile(path.c_str()));
            std::string name = "varn_odbc_statement_duration_seconds_bucket{le=\"" + bound + "\"}";
            EXPECT_EQ(past ? "0" : "1", Sample(ReadFile(path), name)) << bound << " s and " << past << " us";
        }
    RemoveTree(dir);
}

struct JsonCase : NamedCase {
    std::string text;
    std::string json;  // the string as the line holds it, between its quotes
};

const JsonCase kJson[] = {
    {{"quotes and backslashes"}, "a\"b\\c", "a\\\"b\\\\c"},
    {{"line breaks and tabs"}, "a\nb\r\tc", "a\\nb\\r\\tc"},
    {{"other control bytes and DEL"}, "\x01\x1b\x1f\x7f", "\\u0001\\u001b\\u001f\\u007f"},
    {{"well-formed UTF-8 as it is"}, "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
    {{"bytes of no UTF-8"}, "\xff\xfe\x80", "\\udcff\\udcfe\\udc80"},
    {{"a lead byte before a byte that follows none"}, "\xc3(", "\\udcc3("},
    {{"overlong forms"}, "\xc0\xaf\xe0\x80\xaf", "\\udcc0\\udcaf\\udce0\\udc80\\udcaf"},
    {{"a surrogate"}, "\xed\xa0\x80", "\\udced\\udca0\\udc80"},
    {{"past U+10FFFF"}, "\xf4\x90\x80\x80", "\\udcf4\\udc90\\udc80\\udc80"},
    {{"cut at the end"}, "x\xe2\x82", "x\\udce2\\udc82"},
};

class JsonString : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonString, HoldsTheExactBytes)
{
    ConsoleSetForm(0, 1);
    CaptureStdout();
    ConsoleQuoted("query", "Query: ", GetParam().text.c_str());
    std::string line = GetCapturedStdout();
    ConsoleSetForm(0, 0);
    EXPECT_EQ(",\"event\":\"query\",\"text\":\"" + GetParam().json + "\"}\n", line.substr(line.find(",\"event\"")));
}

INSTANTIATE_TEST_SUITE_P(Console, JsonString, testing::ValuesIn(kJson), CaseName());

}  // namespace
