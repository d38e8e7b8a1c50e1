// The dialects by name, the plain rule, and what the dialects' lexers share.
#include "statement_lexer.h"

#include <string.h>

static const char *const dialectNames[] = {"plain", "sqlite", "postgresql", "mysql"};

// Names compare as ASCII without regard to case, whatever the locale.
static int SameName(const char *name, const char *lowerName)
{
    for (; *name != '\0' && *lowerName != '\0'; name++, lowerName++)
        if ((*name >= 'A' && *name <= 'Z' ? *name - 'A' + 'a' : *name) != *lowerName)
            return 0;
    return *name == *lowerName;
}

int FindSqlDialect(const char *name)
{
    for (int dialect = 0; dialect < (int)(sizeof dialectNames / sizeof dialectNames[0]); dialect++)
        if (SameName(name, dialectNames[dialect]))
            return dialect;
    // MariaDB's client splits statements as the mysql client does.
    if (SameName(name, "mariadb"))
        return SQL_DIALECT_MYSQL;
    return -1;
}

const char *SqlDialectName(int dialect)
{
    return dialectNames[dialect];
}

// The count of bytes taken stops here, so that an endless statement of
// blanks and comments cannot overflow it.
#define LENGTH_LIMIT (1 << 30)

void StartStatement(StatementLexer *lexer)
{
    int dialect = lexer->dialect;
    int reading = lexer->reading;
    LexerReport *report = lexer->report;
    memset(lexer, 0, sizeof *lexer);
    lexer->dialect = dialect;
    lexer->reading = reading;
    lexer->report = report;
    lexer->textStart = -1;
}

void StartReading(StatementLexer *lexer, int dialect, int reading, LexerReport *report, int at)
{
    lexer->dialect = dialect;
    lexer->reading = reading;
    lexer->report = report;
    StartStatement(lexer);
    report->at = at;
    report->wordAt = -1;
    report->previous = report->last = 0;
    report->wordCount = report->tagCount = 0;
    report->overflow = report->unreadable = 0;
}

static void AddWord(LexerReport *report, int start)
{
    if (report->wordCount == LEXER_REPORT_WORDS) {
        report->overflow = 1;
        return;
    }
    report->wordStart[report->wordCount] = start;
    report->wordLength[report->wordCount++] = 0;
}

static void EndRun(LexerReport *report)
{
    for (int i = report->runFirst; i < report->wordCount; i++)
        report->wordLength[i] = report->at - report->wordStart[i];
    report->wordAt = -1;
}

// A latin1 server reads 0xA0 as a blank, so it parts words in mysql.
static int IsRunByte(const StatementLexer *lexer, unsigned char byte)
{
    return IsLetter(byte) || IsDigit(byte) || byte == '_' || byte == '$' ||
           (byte >= 0x80 && !(lexer->dialect == SQL_DIALECT_MYSQL && byte == 0xA0));
}

// A byte is code when the lexer is in code once it has taken it: a byte
// that only later turns out to open a quote or comment (a dollar quote's
// tag) is reported as code, which can only add words.
static void ReportByte(StatementLexer *lexer, unsigned char byte)
{
    LexerReport *report = lexer->report;

    // A connection's character set may be one (sjis, gbk, big5) in which
    // such a byte and a backslash or backtick after it are one character,
    // which UTF-8 never has.
    if (lexer->dialect == SQL_DIALECT_MYSQL && report->last >= 0x80 && (byte == '\\' || byte == '`'))
        report->unreadable = 1;
    report->last = byte;
    if (lexer->mode != LEX_CODE || !IsRunByte(lexer, byte)) {
        if (report->wordAt >= 0)
            EndRun(report);
        return;
    }
    if (report->wordAt < 0) {
        report->wordAt = report->at;
        report->runFirst = report->wordCount;
        AddWord(report, report->at);
    } else if ((IsLetter(byte) || byte == '_') && (IsDigit((unsigned char)report->previous) || report->previous == '$')) {
        AddWord(report, report->at);
    }
    report->previous = byte;
}

int EndReading(StatementLexer *lexer)
{
    if (lexer->report->wordAt >= 0)
        EndRun(lexer->report);
    switch (lexer->dialect) {
    case SQL_DIALECT_POSTGRESQL:
        return PostgresqlSettled(lexer);
    case SQL_DIALECT_MYSQL:
        return MysqlSettled(lexer);
    default:
        return lexer->mode == LEX_CODE || lexer->mode == LEX_LINE_COMMENT;
    }
}

void ReportTagOpened(StatementLexer *lexer, uint32_t back)
{
    if (lexer->report != NULL)
        lexer->report->tagAt = lexer->report->at - (int)back;
}

void ReportTagClosed(StatementLexer *lexer, uint32_t length)
{
    LexerReport *report = lexer->report;

    if (report == NULL || length <= LEXER_TAG_KEPT)
        return;
    if (report->tagCount == LEXER_REPORT_TAGS) {
        report->overflow = 1;
        return;
    }
    report->tagOpen[report->tagCount] = report->tagAt;
    report->tagClose[report->tagCount] = report->at - (int)length;
    report->tagLength[report->tagCount++] = (int)length;
}

// A quote of one kind counts only outside text quoted with the other kind;
// a semicolon ends a statement only where both counts are even. Only the
// parity of a count matters, so it is kept as 0 or 1.
static int LexPlainByte(StatementLexer *lexer, unsigned char byte)
{
    if (byte != ' ' && byte != '\t' && byte != '\r' && byte != '\n')
        MarkText(lexer, 0);
    if (byte == '"' && lexer->singleQuotes == 0)
        lexer->doubleQuotes ^= 1;
    else if (byte == '\'' && lexer->doubleQuotes == 0)
        lexer->singleQuotes ^= 1;
    return byte == ';' && lexer->doubleQuotes == 0 && lexer->singleQuotes == 0;
}

int EndsStatement(StatementLexer *lexer, unsigned char byte)
{
    int ends;
    switch (lexer->dialect) {
    case SQL_DIALECT_SQLITE:
        ends = LexSqliteByte(lexer, byte);
        break;
    case SQL_DIALECT_POSTGRESQL:
        ends = LexPostgresqlByte(lexer, byte);
        break;
    case SQL_DIALECT_MYSQL:
        ends = LexMysqlByte(lexer, byte);
        break;
    default:
        ends = LexPlainByte(lexer, byte);
        break;
    }
    if (lexer->textStart < 0 && lexer->length < LENGTH_LIMIT)
        lexer->length++;
    if (lexer->report != NULL) {
        ReportByte(lexer, byte);
        lexer->report->at++;
    }
    return ends;
}

void MarkText(StatementLexer *lexer, int back)
{
    if (lexer->textStart < 0)
        lexer->textStart = lexer->length - back;
}

int HasStatementText(const StatementLexer *lexer)
{
    return lexer->textStart >= 0;
}

// The most bytes before the one being taken at which a dialect's text may
// turn out to begin: the mysql dialect knows "/*M!" for code at its "!".
#define LOOKBACK_MAX 3

int DropLeadingBytes(StatementLexer *lexer)
{
    int count;

    if (lexer->dialect == SQL_DIALECT_PLAIN)
        return 0;
    count = lexer->textStart >= 0 ? lexer->textStart : lexer->length - LOOKBACK_MAX;
    if (count <= 0)
        return 0;
    lexer->length -= count;
    if (lexer->textStart >= 0)
        lexer->textStart = 0;
    return count;
}

int OpensQuotedText(StatementLexer *lexer, unsigned char byte, const char *quotes)
{
    static const char kinds[] = "'\"`[";
    static const int modes[] = {LEX_SINGLE_QUOTE, LEX_DOUBLE_QUOTE, LEX_BACKTICK, LEX_BRACKET};
    const char *kind = byte != '\0' ? strchr(kinds, byte) : NULL;

    if (kind == NULL || strchr(quotes, byte) == NULL)
        return 0;
    lexer->mode = modes[kind - kinds];
    return 1;
}

int IsLetter(unsigned char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

int IsDigit(unsigned char byte)
{
    return byte >= '0' && byte <= '9';
}

void ExtendWord(StatementLexer *lexer, unsigned char byte)
{
    if (lexer->wordLength < LEXER_WORD_KEPT)
        lexer->word[lexer->wordLength] = (char)(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
    // Past the kept bytes only "longer than any keyword" matters.
    if (lexer->wordLength <= LEXER_WORD_KEPT)
        lexer->wordLength++;
}

int WordIs(const StatementLexer *lexer, const char *keyword)
{
    size_t length = strlen(keyword);
    return (size_t)lexer->wordLength == length && memcmp(lexer->word, keyword, length) == 0;
}
