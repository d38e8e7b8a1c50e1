// The screen's decisions, per database, without a server: each text as the
// server reads it, every way its session may, statement by statement.
#include "db.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ScreenRow : NamedCase {
    int dbms;
    std::string text;
    int decision;
};

const int G = DB_DBMS_POSTGRESQL, M = DB_DBMS_MYSQL, S = DB_DBMS_SQLITE;
const int RUNS = DB_SCREEN_RUNS, COPY = DB_SCREEN_CLIENT_COPY, FILES = DB_SCREEN_HOST_FILE,
          UNREAD = DB_SCREEN_UNREADABLE;

// "$" and a tag of n bytes and "$".
std::string Tag(int n)
{
    return "$" + std::string(n, 'a') + "$";
}

std::string Smuggled(int n)
{
    return "SELECT " + Tag(n) + "'" + Tag(n) + ";COPY t FROM STDIN;--';";
}

const ScreenRow kRows[] = {
    {{"pg copy in"}, G, "COPY t FROM STDIN;", COPY},
    {{"pg copy out"}, G, "copy (select 1) to stdout;", COPY},
    {{"pg tag 15"}, G, Smuggled(15), COPY},
    {{"pg tag 16"}, G, Smuggled(16), COPY},
    {{"pg tag 17"}, G, Smuggled(17), COPY},
    {{"pg tag 200"}, G, Smuggled(200), COPY},
    {{"pg tag 200 hides it"}, G, "SELECT " + Tag(200) + "COPY t FROM STDIN" + Tag(200) + ";", RUNS},
    {{"pg comment ends at CR"}, G, "SELECT 1 -- '\r; COPY cp FROM STDIN; --';", COPY},
    {{"pg comment ends at CR before LF"}, G, "SELECT 1 -- x\r; COPY cp FROM STDIN; --\n;", COPY},
    {{"pg escape string"}, G, "SELECT E'\\''; COPY t FROM STDIN; --';", COPY},
    {{"pg non standard strings"}, G, "SELECT '\\''; COPY t FROM STDIN; --';", COPY},
    {{"pg standard string with a backslash runs"}, G, "INSERT INTO t VALUES(1, 'C:\\');", RUNS},
    {{"pg nested comment hides it"}, G, "SELECT 1 /* /* */ ; COPY t FROM STDIN; */;", RUNS},
    {{"pg unicode string"}, G, "SELECT U&'\\'; COPY t FROM STDIN; --';", COPY},
    {{"pg no psql variables"}, G, "SELECT 1 FROM t WHERE a = :copy; -- x\nCOPY t FROM STDIN;", COPY},
    {{"pg number then word"}, G, "SELECT 1e5copy FROM stdin;", COPY},
    {{"pg function body"}, G, "CREATE FUNCTION f() RETURNS int LANGUAGE sql BEGIN ATOMIC SELECT 1; END; COPY t TO STDOUT;", COPY},
    {{"pg words in two statements"}, G, "SELECT copy FROM t; SELECT stdin FROM u;", RUNS},
    {{"pg literal"}, G, "INSERT INTO t VALUES(2, 'COPY t FROM STDIN');", RUNS},
    {{"pg quoted names"}, G, "SELECT \"copy\", \"stdin\" FROM t;", RUNS},
    {{"pg open literal"}, G, "SELECT 'abc;", UNREAD},
    {{"pg open dollar quote"}, G, "SELECT $$abc;", UNREAD},
    {{"pg open comment"}, G, "SELECT 1 /* x;", UNREAD},
    {{"maria local infile"}, M, "LOAD DATA LOCAL INFILE '/etc/passwd' INTO TABLE t;", FILES},
    {{"maria dashes then a letter are code"}, M, "--x\nLOAD DATA LOCAL INFILE 'f' INTO TABLE t;", FILES},
    {{"maria dashes then a control byte"}, M, "SELECT 1 --\x01'\nLOAD DATA LOCAL INFILE 'x' INTO TABLE t; -- ';", FILES},
    {{"maria backslash escapes by default"}, M, "INSERT INTO t VALUES('it\\'s; LOAD DATA LOCAL INFILE');", RUNS},
    {{"maria no backslash escapes"}, M, "SELECT 'a\\'; LOAD DATA LOCAL INFILE 'f' INTO TABLE t; -- ';", FILES},
    {{"maria ansi quotes"}, M, "SELECT \"a\\\"; LOAD DATA LOCAL INFILE 'f' INTO TABLE t; -- \";", FILES},
    {{"maria executable comment"}, M, "/*!LOAD DATA LOCAL INFILE 'f' INTO TABLE t*/;", FILES},
    {{"maria later version comment"}, M, "SELECT 1 /*!99999 ' */; LOAD DATA LOCAL INFILE 'f' INTO TABLE t; -- ';", FILES},
    {{"maria hash comment"}, M, "SELECT 1 # '\nLOAD DATA LOCAL INFILE 'f' INTO TABLE t;", FILES},
    {{"maria words in two statements"}, M, "SELECT local FROM t; SELECT infile FROM u;", RUNS},
    {{"maria multibyte before a backtick"}, M, "SELECT \xbf`a`;", UNREAD},
    {{"sqlite attach"}, S, "ATTACH DATABASE 'x' AS o;", FILES},
    {{"sqlite attach second"}, S, "SELECT 1; attach 'x' AS o;", FILES},
    {{"sqlite attach after a trigger"}, S, "CREATE TRIGGER r AFTER INSERT ON t BEGIN SELECT 1; END; ATTACH 'x' AS o;", FILES},
    {{"sqlite comment"}, S, "SELECT 1 -- '\n; ATTACH 'x' AS o;", FILES},
    {{"sqlite words in two statements"}, S, "VACUUM; INSERT INTO t VALUES(1);", RUNS},
    {{"sqlite literal and names"}, S, "INSERT INTO t VALUES(2, 'attach; vacuum into'); SELECT [attach] FROM t;", RUNS},
    {{"sqlite load extension quoted"}, S, "SELECT \"load_extension\"('x');", FILES},
    {{"sqlite open literal"}, S, "SELECT 'abc", UNREAD},
    {{"other databases"}, DB_DBMS_OTHER, "COPY t FROM STDIN; SELECT 'abc", RUNS},
};

class Screen : public testing::TestWithParam<ScreenRow> {};

TEST_P(Screen, Decides)
{
    EXPECT_EQ(GetParam().decision, DbScreenStatement(GetParam().dbms, GetParam().text.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Screen, Screen, testing::ValuesIn(kRows), CaseName());

}  // namespace
