// The screen in front of the database: statements that would switch the
// connection into a mode the service cannot serve, or make the driver or
// the database engine in the service's process open a file of its host.
// It reads the text with the framer's lexer of the database's own dialect,
// as that database's server reads it, every way the session's settings
// allow, statement by statement; it knows words, not how to find them.
#include "db.h"
#include "statement_lexer.h"

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

// The readings a session of each database may give a text, its default
// first: a session setting (the data source's, or one a statement of the
// same text makes) may take effect at any statement's end.
static const int postgresqlReadings[] = {READING_SERVER, READING_SERVER | READING_BACKSLASHES};
static const int mysqlReadings[] = {READING_SERVER,
                                    READING_SERVER | READING_NO_BACKSLASHES,
                                    READING_SERVER | READING_ANSI_QUOTES,
                                    READING_SERVER | READING_SKIP_VERSIONED,
                                    READING_SERVER | READING_NO_BACKSLASHES | READING_SKIP_VERSIONED,
                                    READING_SERVER | READING_ANSI_QUOTES | READING_SKIP_VERSIONED};
static const int sqliteReadings[] = {0};
#define READINGS_MAX 6

// The longest text the screen reads; a longer one is not read.
#define TEXT_MAX 1024

typedef struct ScreenDialect {
    int dialect;
    const int *readings;
    int count;
} ScreenDialect;

static int DialectOf(int dbms, ScreenDialect *found)
{
    switch (dbms) {
    case DB_DBMS_POSTGRESQL:
        *found = {SQL_DIALECT_POSTGRESQL, postgresqlReadings, 2};
        return 0;
    case DB_DBMS_MYSQL:
        *found = {SQL_DIALECT_MYSQL, mysqlReadings, READINGS_MAX};
        return 0;
    case DB_DBMS_SQLITE:
        *found = {SQL_DIALECT_SQLITE, sqliteReadings, 1};
        return 0;
    default:
        return -1;
    }
}

static int SameCaseless(const char *text, const char *lowerWord, int length)
{
    if ((int)strlen(lowerWord) != length)
        return 0;
    for (int i = 0; i < length; i++)
        if ((text[i] >= 'A' && text[i] <= 'Z' ? text[i] - 'A' + 'a' : text[i]) != lowerWord[i])
            return 0;
    return 1;
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

// What a reading made of one statement, from its report: the screen's
// words it holds, whole, and whether each long dollar quote closed on its
// own tag.
static int StatementRefusal(int dbms, const char *text, const LexerReport *report, int *unreadable)
{
    unsigned seen = 0;

    for (int i = 0; i < report->wordCount; i++)
        for (size_t w = 0; w < sizeof screenWords / sizeof screenWords[0]; w++)
            if (SameCaseless(text + report->wordStart[i], screenWords[w], report->wordLength[i]))
                seen |= 1u << w;
    for (int i = 0; i < report->tagCount; i++)
        if (memcmp(text + report->tagOpen[i], text + report->tagClose[i], (size_t)report->tagLength[i]) != 0)
            *unreadable = 1;
    if (report->overflow || report->unreadable)
        *unreadable = 1;
    return Refusal(dbms, seen);
}

// Reads the statement of `text` that starts at `at` in one reading. Returns
// where the next one starts (the text's length at its end); *settled tells
// whether the text may end where this statement does.
static int ReadOne(const char *text, int length, int at, int dialect, int reading, LexerReport *report,
                   int *settled)
{
    StatementLexer lexer;
    int ended = 0;

    StartReading(&lexer, dialect, reading, report, at);
    while (at < length && !ended)
        ended = EndsStatement(&lexer, (unsigned char)text[at++]);
    *settled = EndReading(&lexer);
    return at;
}

// The screen's work space: a report, and which statement starts each
// reading has reached.
typedef struct ScreenSpace {
    LexerReport report;
    unsigned char reached[READINGS_MAX][TEXT_MAX + 1];
    int queue[READINGS_MAX * (TEXT_MAX + 1)];
} ScreenSpace;

static int ContainsCaseless(const char *text, const char *name)
{
    size_t length = strlen(name);
    for (; *text != '\0'; text++)
        if (SameCaseless(text, name, (int)length))
            return 1;
    return 0;
}

// A function and pragmas that SQLite also takes quoted, as names or even
// strings: looked for anywhere in the text.
static int NamesSqliteFileCall(const char *text)
{
    return ContainsCaseless(text, "load_extension") || ContainsCaseless(text, "temp_store_directory") ||
           ContainsCaseless(text, "data_store_directory");
}

int DbScreenStatement(int dbms, const char *text, int *beginsWithSelect)
{
    // A session's thread screens one statement at a time.
    static thread_local ScreenSpace space;
    ScreenDialect d;
    int length = (int)strlen(text);
    int refusal = DB_SCREEN_RUNS;
    int unreadable = 0;
    int settled = 1;
    int head = 0;
    int tail = 0;

    *beginsWithSelect = 0;
    if (DialectOf(dbms, &d) != 0)
        return DB_SCREEN_RUNS;
    if (length > TEXT_MAX)
        return DB_SCREEN_UNREADABLE;
    // The default reading must come to an end the database can read.
    for (int at = 0; at < length && settled;) {
        int first = at == 0;
        at = ReadOne(text, length, at, d.dialect, d.readings[0], &space.report, &settled);
        if (first && space.report.wordCount > 0)
            *beginsWithSelect = SameCaseless(text + space.report.wordStart[0], "select", space.report.wordLength[0]);
    }
    if (!settled)
        unreadable = 1;
    // Every reading from the start, and from each statement end any
    // reading gives, every reading again; a text's tail that some reading
    // leaves in a literal fails in the server rather than run.
    memset(space.reached, 0, sizeof space.reached);
    for (int r = 0; r < d.count; r++) {
        space.reached[r][0] = 1;
        space.queue[tail++] = r * (TEXT_MAX + 1);
    }
    while (head < tail && refusal == DB_SCREEN_RUNS) {
        int reading = space.queue[head] / (TEXT_MAX + 1);
        int at = space.queue[head++] % (TEXT_MAX + 1);
        int next = ReadOne(text, length, at, d.dialect, d.readings[reading], &space.report, &settled);
        int found = StatementRefusal(dbms, text, &space.report, &unreadable);
        if (!settled)
            continue;
        refusal = found;
        for (int r = 0; r < d.count && next < length; r++) {
            if (space.reached[r][next])
                continue;
            space.reached[r][next] = 1;
            space.queue[tail++] = r * (TEXT_MAX + 1) + next;
        }
    }
    if (refusal != DB_SCREEN_RUNS)
        return refusal;
    if (dbms == DB_DBMS_SQLITE && NamesSqliteFileCall(text))
        return DB_SCREEN_HOST_FILE;
    return unreadable ? DB_SCREEN_UNREADABLE : DB_SCREEN_RUNS;
}
