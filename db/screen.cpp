// The screen in front of the database: statements that would switch the
// connection into a mode the service cannot serve, or make the driver or
// the database engine in the service's process open a file of its host.
// It reads the text as the database's own lexer would, and where a setting
// of the session could change that reading (backslashes in literals), it
// reads it both ways and refuses what either way shows.
#include "db.h"

#include <ctype.h>
#include <string.h>

// The words the screen looks for, a bit each, in the order of screenWords.
#define SEEN_COPY 0x01
#define SEEN_STDIN 0x02
#define SEEN_STDOUT 0x04
#define SEEN_LOCAL 0x08
#define SEEN_INFILE 0x10
#define SEEN_ATTACH 0x20
#define SEEN_VACUUM 0x40
#define SEEN_INTO 0x80

static const char *const screenWords[] = {"copy", "stdin", "stdout", "local", "infile", "attach", "vacuum", "into"};

#define WORD_KEPT 16

static int IsWordByte(unsigned char byte)
{
    return isalnum(byte) || byte == '_' || byte == '$' || byte >= 0x80;
}

static int IsWordStart(unsigned char byte)
{
    return isalpha(byte) || byte == '_' || byte >= 0x80;
}

// Past the quoted text that starts at `at` (its opening quote), closed by
// `quote` doubled or, with `backslashes`, escaped; the end of the text when
// it is never closed.
static const char *SkipQuoted(const char *at, char quote, int backslashes)
{
    for (at++; *at != '\0'; at++) {
        if (backslashes && *at == '\\' && at[1] != '\0')
            at++;
        else if (*at == quote && at[1] == quote)
            at++;
        else if (*at == quote)
            return at + 1;
    }
    return at;
}

static const char *SkipPast(const char *at, const char *end)
{
    const char *found = strstr(at, end);
    return found == NULL ? at + strlen(at) : found + strlen(end);
}

// PostgreSQL's block comments nest.
static const char *SkipNestedComment(const char *at)
{
    int depth = 0;
    for (; *at != '\0'; at++) {
        if (at[0] == '/' && at[1] == '*') {
            depth++;
            at++;
        } else if (at[0] == '*' && at[1] == '/') {
            at++;
            if (--depth == 0)
                return at + 1;
        }
    }
    return at;
}

// A dollar quote ($$ or $tag$) at `at`: past its closing tag. A "$" that
// opens none (a parameter such as $1) is passed alone.
static const char *SkipDollarQuote(const char *at)
{
    char tag[WORD_KEPT + 2];
    size_t length = 1;

    while (IsWordByte((unsigned char)at[length]) && at[length] != '$' && (length > 1 || !isdigit((unsigned char)at[1])))
        length++;
    if (at[length] != '$' || length > WORD_KEPT)
        return at + 1;
    memcpy(tag, at, length + 1);
    tag[length + 1] = '\0';
    return SkipPast(at + length + 1, tag);
}

// Past what starts at `at` when it is no code: a literal, a quoted name or a
// comment of the database's reading; otherwise `at` itself. *executable is
// set when a MariaDB /*! ... */ comment opens, whose text is code.
static const char *SkipNonCode(int dbms, const char *at, int backslashes, int *executable)
{
    char c = at[0];
    if (c == '-' && at[1] == '-' &&
        (dbms != DB_DBMS_MYSQL || at[2] == '\0' || isspace((unsigned char)at[2]) || iscntrl((unsigned char)at[2])))
        return SkipPast(at, "\n");
    if (c == '#' && dbms == DB_DBMS_MYSQL)
        return SkipPast(at, "\n");
    if (c == '/' && at[1] == '*') {
        if (dbms == DB_DBMS_POSTGRESQL)
            return SkipNestedComment(at);
        if (dbms == DB_DBMS_MYSQL && (at[2] == '!' || (at[2] == 'M' && at[3] == '!'))) {
            *executable = 1;
            return at + (at[2] == '!' ? 3 : 4);
        }
        return SkipPast(at + 2, "*/");
    }
    if (c == '*' && at[1] == '/' && *executable) {
        *executable = 0;
        return at + 2;
    }
    if (c == '\'')
        return SkipQuoted(at, '\'', dbms != DB_DBMS_SQLITE && backslashes);
    if (c == '"')
        return SkipQuoted(at, '"', dbms == DB_DBMS_MYSQL && backslashes);
    if (c == '`' && dbms != DB_DBMS_POSTGRESQL)
        return SkipQuoted(at, '`', 0);
    if (c == '[' && dbms == DB_DBMS_SQLITE)
        return SkipPast(at, "]");
    if (c == '$' && dbms == DB_DBMS_POSTGRESQL)
        return SkipDollarQuote(at);
    return at;
}

static int Refusal(int dbms, unsigned seen)
{
    if (dbms == DB_DBMS_POSTGRESQL && (seen & SEEN_COPY) && (seen & (SEEN_STDIN | SEEN_STDOUT)))
        return DB_SCREEN_CLIENT_COPY;
    if (dbms == DB_DBMS_MYSQL && (seen & SEEN_LOCAL) && (seen & SEEN_INFILE))
        return DB_SCREEN_HOST_FILE;
    if (dbms == DB_DBMS_SQLITE && ((seen & SEEN_ATTACH) || ((seen & SEEN_VACUUM) && (seen & SEEN_INTO))))
        return DB_SCREEN_HOST_FILE;
    return DB_SCREEN_RUNS;
}

// One reading of the text: the words of each statement's code, statement
// by statement.
static int ScreenReading(int dbms, const char *text, int backslashes)
{
    unsigned seen = 0;
    int executable = 0;
    int refusal = DB_SCREEN_RUNS;
    const char *at = text;

    while (*at != '\0' && refusal == DB_SCREEN_RUNS) {
        const char *next = SkipNonCode(dbms, at, backslashes, &executable);
        if (next != at) {
            at = next;
        } else if (IsWordStart((unsigned char)*at)) {
            char word[WORD_KEPT + 1];
            size_t length = 0;
            for (; IsWordByte((unsigned char)*at); at++)
                if (length < WORD_KEPT)
                    word[length++] = (char)tolower((unsigned char)*at);
            word[length] = '\0';
            // E'...' is PostgreSQL's string with backslash escapes, whatever
            // the session's setting.
            if (dbms == DB_DBMS_POSTGRESQL && strcmp(word, "e") == 0 && *at == '\'') {
                at = SkipQuoted(at, '\'', 1);
                continue;
            }
            for (size_t i = 0; i < sizeof screenWords / sizeof screenWords[0]; i++)
                if (strcmp(word, screenWords[i]) == 0)
                    seen |= 1u << i;
        } else if (IsWordByte((unsigned char)*at)) {
            // A number, with whatever runs into it.
            while (IsWordByte((unsigned char)*at))
                at++;
        } else {
            if (*at == ';') {
                refusal = Refusal(dbms, seen);
                seen = 0;
            }
            at++;
        }
    }
    return refusal != DB_SCREEN_RUNS ? refusal : Refusal(dbms, seen);
}

static int ContainsCaseless(const char *text, const char *name)
{
    size_t length = strlen(name);
    for (; *text != '\0'; text++) {
        size_t i = 0;
        while (i < length && text[i] != '\0' && tolower((unsigned char)text[i]) == name[i])
            i++;
        if (i == length)
            return 1;
    }
    return 0;
}

// A function and pragmas that SQLite also takes quoted, as names or even
// strings: looked for anywhere in the text.
static int NamesSqliteFileCall(const char *text)
{
    return ContainsCaseless(text, "load_extension") || ContainsCaseless(text, "temp_store_directory") ||
           ContainsCaseless(text, "data_store_directory");
}

int DbScreenStatement(int dbms, const char *text)
{
    int refusal = ScreenReading(dbms, text, 0);

    if (refusal == DB_SCREEN_RUNS && dbms != DB_DBMS_SQLITE)
        refusal = ScreenReading(dbms, text, 1);
    if (refusal == DB_SCREEN_RUNS && dbms == DB_DBMS_SQLITE && NamesSqliteFileCall(text))
        refusal = DB_SCREEN_HOST_FILE;
    return refusal;
}
