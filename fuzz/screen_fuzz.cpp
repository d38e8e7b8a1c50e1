// Fuzzes the screen against the framer's reading of the same bytes: the
// first byte picks PostgreSQL, MariaDB or SQLite, the rest is the text.
// Checked: the lexer reporting for the screen ends each statement where the
// framer ends it; and a statement whose code, as the lexer in the server's
// default reading takes it byte by byte, holds words the screen refuses is
// refused. The seeds' expected outcomes are the screen's decisions.
#include "db.h"
#include "statement_lexer.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

static const int kDbms[3] = {DB_DBMS_POSTGRESQL, DB_DBMS_MYSQL, DB_DBMS_SQLITE};
static const int kDialects[3] = {SQL_DIALECT_POSTGRESQL, SQL_DIALECT_MYSQL, SQL_DIALECT_SQLITE};
static const int kReadings[3] = {READING_SERVER, READING_SERVER, 0};
static std::string decision;

std::string SeedOutcome()
{
    return decision;
}

// Reads `text` statement by statement: where each ends, and whether each
// byte was code once taken.
static std::vector<int> Read(const std::string &text, int which, int reading, bool report, std::vector<bool> *code)
{
    static LexerReport space;
    StatementLexer lexer = {};
    std::vector<int> ends;
    StartReading(&lexer, kDialects[which], reading, &space, 0);
    lexer.report = report ? &space : NULL;
    for (size_t i = 0; i < text.size(); i++) {
        if (EndsStatement(&lexer, (unsigned char)text[i])) {
            ends.push_back((int)i + 1);
            StartStatement(&lexer);
        }
        (*code)[i] = lexer.mode == LEX_CODE;
    }
    return ends;
}

static bool NameByte(unsigned char byte)
{
    return isalnum(byte) || byte == '_' || byte == '$' || byte >= 0x80;
}

// Whether code holds a combination the screen refuses: a run of letters is
// a word where no name byte stands right before it (but a digit or "$",
// where a number or parameter may end) or right after it.
static bool ShowsRefused(const std::string &text, const std::vector<bool> &code, int from, int to, int which)
{
    std::set<std::string> words;
    for (int i = from; i < to; i++) {
        int end = i;
        while (end < to && code[end] && isalpha((unsigned char)text[end]))
            end++;
        bool before = i > from && NameByte(text[i - 1]) && !isdigit((unsigned char)text[i - 1]) && text[i - 1] != '$';
        if (end > i && !before && !(end < to && NameByte(text[end]))) {
            std::string word = text.substr(i, end - i);
            for (char &c : word)
                c = (char)tolower((unsigned char)c);
            words.insert(word);
        }
        i = end > i ? end - 1 : i;
    }
    auto has = [&](const char *word) { return words.count(word) > 0; };
    return which == 0   ? has("copy") && (has("stdin") || has("stdout"))
           : which == 1 ? has("local") && has("infile")
                        : has("attach") || (has("vacuum") && has("into"));
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1025)
        return 0;
    int which = data[0] % 3;
    std::string text((const char *)data + 1, size - 1);
    text = text.substr(0, text.find('\0'));
    int select;
    int refusal = DbScreenStatement(kDbms[which], text.c_str(), &select);
    decision = std::to_string(refusal);

    std::vector<bool> code(text.size());
    if (Read(text, which, 0, true, &code) != Read(text, which, 0, false, &code)) {
        fprintf(stderr, "the screen's reading ends its statements elsewhere than the framer\n");
        abort();
    }
    std::vector<int> ends = Read(text, which, kReadings[which], false, &code);
    ends.push_back((int)text.size());
    for (size_t s = 0, from = 0; s < ends.size(); from = ends[s++])
        if (refusal == DB_SCREEN_RUNS && ShowsRefused(text, code, (int)from, ends[s], which)) {
            fprintf(stderr, "statement at %zu shows refused words, and the screen lets it run\n", from);
            abort();
        }
    return 0;
}
