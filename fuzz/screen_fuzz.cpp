// Fuzzes the screen against the framer's reading of the same bytes: the
// first byte picks PostgreSQL, MariaDB or SQLite, the rest is the text.
// Checked: the lexer reporting for the screen ends each statement where
// the framer ends it, in the framer's reading; and a statement whose code, as the lexer
// in the server's default reading takes it byte by byte, holds the words
// the screen refuses is refused, whichever statement of the text it is.
#include "db.h"
#include "statement_lexer.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

static const int kDbms[3] = {DB_DBMS_POSTGRESQL, DB_DBMS_MYSQL, DB_DBMS_SQLITE};
static const int kDialects[3] = {SQL_DIALECT_POSTGRESQL, SQL_DIALECT_MYSQL, SQL_DIALECT_SQLITE};
static const int kReadings[3] = {READING_SERVER, READING_SERVER, 0};
static std::string decision;

// For the replay of the seeds: the screen's decision.
std::string SeedOutcome()
{
    return decision;
}

// Where each statement ends (the offset past its semicolon), read with a
// report or, as the framer does, without.
static std::vector<int> Ends(const std::string &text, int dialect, int reading, bool report)
{
    static LexerReport space;
    StatementLexer lexer = {};
    std::vector<int> ends;
    StartReading(&lexer, dialect, reading, &space, 0);
    if (!report)
        lexer.report = NULL;
    for (size_t i = 0; i < text.size(); i++)
        if (EndsStatement(&lexer, (unsigned char)text[i])) {
            ends.push_back((int)i + 1);
            StartStatement(&lexer);
        }
    return ends;
}

static bool NameByte(unsigned char byte)
{
    return isalnum(byte) || byte == '_' || byte == '$' || byte >= 0x80;
}

// Whether a statement's code holds a combination the screen refuses: a run
// of letters counts as a word where no name byte stands right before it
// (but a digit or "$", where a number or parameter may end) or after it.
static bool ShowsRefused(const std::string &text, const std::vector<bool> &code, size_t from, size_t to, int dbms)
{
    bool copy = false, client = false, local = false, infile = false, attach = false, vacuum = false, into = false;
    for (size_t i = from; i < to; i++) {
        if (!code[i] || !isalpha((unsigned char)text[i]) ||
            (i > from && NameByte(text[i - 1]) && !isdigit((unsigned char)text[i - 1]) && text[i - 1] != '$'))
            continue;
        size_t end = i;
        while (end < to && code[end] && isalpha((unsigned char)text[end]))
            end++;
        if (end < to && NameByte(text[end]))
            continue;
        std::string word = text.substr(i, end - i);
        for (char &c : word)
            c = (char)tolower((unsigned char)c);
        copy |= word == "copy", client |= word == "stdin" || word == "stdout";
        local |= word == "local", infile |= word == "infile";
        attach |= word == "attach", vacuum |= word == "vacuum", into |= word == "into";
    }
    return dbms == DB_DBMS_POSTGRESQL ? copy && client
           : dbms == DB_DBMS_MYSQL    ? local && infile
                                      : attach || (vacuum && into);
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
    int refusal = DbScreenStatement(kDbms[which], text.c_str());
    decision = std::to_string(refusal);

    std::vector<int> framed = Ends(text, kDialects[which], 0, false);
    if (Ends(text, kDialects[which], 0, true) != framed) {
        fprintf(stderr, "the screen's reading ends its statements elsewhere than the framer\n");
        abort();
    }
    StatementLexer lexer = {};
    std::vector<bool> code(text.size());
    lexer.dialect = kDialects[which];
    lexer.reading = kReadings[which];
    StartStatement(&lexer);
    size_t from = 0;
    for (size_t i = 0; i < text.size(); i++) {
        bool ends = EndsStatement(&lexer, (unsigned char)text[i]);
        code[i] = lexer.mode == LEX_CODE;
        if (!ends && i + 1 < text.size())
            continue;
        if (ShowsRefused(text, code, from, i + 1, kDbms[which]) && refusal == DB_SCREEN_RUNS) {
            fprintf(stderr, "statement at %zu shows refused words, and the screen lets it run\n", from);
            abort();
        }
        from = i + 1;
        StartStatement(&lexer);
    }
    return 0;
}
