// Where a statement ends, byte by byte, under the rules of one SQL dialect:
// the plain rule (single and double quotes only) or the rules that SQLite,
// psql and the mysql client apply to quotes, comments and blocks.
#ifndef VARN_STATEMENT_LEXER_H
#define VARN_STATEMENT_LEXER_H

#include <stdint.h>

#define SQL_DIALECT_PLAIN 0
#define SQL_DIALECT_SQLITE 1
#define SQL_DIALECT_POSTGRESQL 2
#define SQL_DIALECT_MYSQL 3

// The dialect named by a setting ("plain", "sqlite", "postgresql", "mysql"
// or "mariadb", in any case), or -1 for a name that is none of them.
int FindSqlDialect(const char *name);
// The canonical lower-case name of a dialect.
const char *SqlDialectName(int dialect);

// The longest dollar-quote tag kept byte for byte; a longer one is compared
// by its length, these first bytes and a hash of the whole.
#define LEXER_TAG_KEPT 64
// The longest word compared with a keyword ("temporary", "procedure").
#define LEXER_WORD_KEPT 10

// How a reading differs from the framer's, which follows the database's
// own shell: bits of StatementLexer.reading, all 0 for the framer. The
// screen reads as the server does, every way a session setting allows.
#define READING_SERVER 0x01          // the server's rules where its shell's differ (below)
#define READING_BACKSLASHES 0x02     // PostgreSQL: standard_conforming_strings off, '...' takes escapes
#define READING_NO_BACKSLASHES 0x04  // mysql: NO_BACKSLASH_ESCAPES
#define READING_ANSI_QUOTES 0x08     // mysql: ANSI_QUOTES, "..." is a name without escapes
#define READING_SKIP_VERSIONED 0x10  // mysql: /*!NNNNN and /*M!NNNNNN name a later version: a comment

// What a reading reports for the screen, which holds the whole text: the
// words of code (runs of letters, digits, "_", "$" and bytes from 0x80
// that are no part of a literal, quoted name or comment), each also from
// where a letter follows a digit or a "$" in it, since a server may read a
// number or a "$" there and a word after it; and each dollar quote longer
// than the lexer keeps, whose closing tag the screen compares with the
// opening one byte for byte. `unreadable` is set where the reading cannot
// be told from the bytes alone.
#define LEXER_REPORT_WORDS 1024
#define LEXER_REPORT_TAGS 64
typedef struct LexerReport {
    int at;      // bytes taken
    int wordAt;    // where the run being read began, or -1
    int runFirst;  // its first word's index; the run's words end with it
    int previous;  // the byte before, in the run
    int last;      // the byte before, wherever it stood
    int wordCount;
    int wordStart[LEXER_REPORT_WORDS];
    int wordLength[LEXER_REPORT_WORDS];
    int tagAt;   // where the open dollar quote's tag begins
    int tagCount;
    int tagOpen[LEXER_REPORT_TAGS];
    int tagClose[LEXER_REPORT_TAGS];
    int tagLength[LEXER_REPORT_TAGS];
    int overflow;
    int unreadable;
} LexerReport;

// Everything the lexer knows of the statement so far. It is plain data, so
// that it can be carried from a cut statement into its dropped rest; every
// counter is bounded, however long that rest.
typedef struct StatementLexer {
    int dialect;   // set by the caller; StartStatement keeps it
    int reading;   // READING_*, kept by StartStatement
    LexerReport *report;  // null but for the screen; kept by StartStatement
    int mode;      // code, or inside a literal, identifier or comment
    int pending;   // a byte whose meaning depends on the ones after it
    // Bytes taken so far (counted until the text begins), and where the
    // text begins: the first byte that is neither blank nor, outside the
    // plain rule, part of a comment; -1 until one comes.
    int length;
    int textStart;
    // The plain rule: quote parities.
    int doubleQuotes;
    int singleQuotes;
    // The word being read, lower-cased, and what kind it is.
    int wordKind;
    int wordLength;
    char word[LEXER_WORD_KEPT];
    // SQLite: where the statement stands towards a CREATE TRIGGER body.
    int triggerState;
    // mysql: whether a "/*!" awaits its "*/"; in the server's reading,
    // how deep a comment may nest.
    int conditional;
    int commentNest;
    // PostgreSQL: how far a number has come (psql reads "1e", "1.5e-" or
    // "1end" as one number), nesting, and the first words that tell a
    // routine body.
    int numberState;
    int commentDepth;
    int parenDepth;
    int blockDepth;
    int wordCount;
    char leadWords[4];
    // PostgreSQL: the open dollar quote's tag and the candidate closing one.
    uint32_t tagLength;
    uint32_t tagHash;
    unsigned char tag[LEXER_TAG_KEPT];
    int candidate;
    uint32_t candidateLength;
    uint32_t candidateHash;
    int candidateMatches;
} StatementLexer;

// Readies the lexer for a new statement in its dialect, reading and
// report, which the caller sets first.
void StartStatement(StatementLexer *lexer);

// Takes the statement's next byte. Returns 1 when it is the semicolon that
// ends the statement, else 0. It decides on the byte itself, never looking
// further.
int EndsStatement(StatementLexer *lexer, unsigned char byte);

// Starts a reading of a whole text from `at` for the screen, reported
// into `report`.
void StartReading(StatementLexer *lexer, int dialect, int reading, LexerReport *report, int at);
// Ends it: records the run still being read. Returns 1 when the text ends
// where the reading is settled (in code or a line comment), else 0.
int EndReading(StatementLexer *lexer);

// True once the statement holds more than blanks and, outside the plain
// rule, comments.
int HasStatementText(const StatementLexer *lexer);
// Forgets the bytes taken that are no part of the text to send, and returns
// how many, for the caller to drop from the front of what it holds. The
// plain rule sends every byte; a dialect sends a statement from its first
// word, as the database's own shell does, so the blanks and comments before
// it go as they are read, but for the last few, which a later byte may
// still make the text's beginning.
int DropLeadingBytes(StatementLexer *lexer);

// The dialects' own steps, used by EndsStatement.
int LexSqliteByte(StatementLexer *lexer, unsigned char byte);
int LexPostgresqlByte(StatementLexer *lexer, unsigned char byte);
int LexMysqlByte(StatementLexer *lexer, unsigned char byte);

// Shared by the dialects.
#define LEX_CODE 0
#define LEX_SINGLE_QUOTE 1
#define LEX_DOUBLE_QUOTE 2
#define LEX_BACKTICK 3
#define LEX_BRACKET 4
#define LEX_LINE_COMMENT 5
#define LEX_BLOCK_COMMENT 6
#define LEX_ESCAPE_STRING 7
#define LEX_DOLLAR_QUOTE 8

#define WORD_NONE 0
#define WORD_NAME 1
#define WORD_NUMBER 2
#define WORD_VARIABLE 3  // PostgreSQL: psql's ":name"

// Enters quoted text when `byte` is one of `quotes` ("'", "\"", "`", "["),
// and returns 1; otherwise 0.
int OpensQuotedText(StatementLexer *lexer, unsigned char byte, const char *quotes);
// Notes that the text begins `back` bytes before the byte being taken (0:
// at that byte), unless it began earlier.
void MarkText(StatementLexer *lexer, int back);
int IsLetter(unsigned char byte);
int IsDigit(unsigned char byte);
// Adds a byte to the current word, keeping its first bytes lower-cased.
void ExtendWord(StatementLexer *lexer, unsigned char byte);
// True when the current word is `keyword` (lower case).
int WordIs(const StatementLexer *lexer, const char *keyword);
// The dialects' parts of the reading's end: whether the text may end here.
int PostgresqlSettled(const StatementLexer *lexer);
int MysqlSettled(const StatementLexer *lexer);
// For a report: the open dollar quote's tag begins `back` bytes before the
// byte being taken; the closing one, of `length` bytes, ends before it.
void ReportTagOpened(StatementLexer *lexer, uint32_t back);
void ReportTagClosed(StatementLexer *lexer, uint32_t length);

#endif
