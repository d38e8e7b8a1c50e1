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
    memset(lexer, 0, sizeof *lexer);
    lexer->dialect = dialect;
    lexer->textStart = -1;
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
