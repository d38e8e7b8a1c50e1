// psql's rule: a statement ends at a semicolon outside literals, quoted
// names, dollar quotes, comments (which nest) and parentheses, and outside
// the BEGIN ... END body of a CREATE [OR REPLACE] FUNCTION or PROCEDURE.
// Standard strings are assumed (standard_conforming_strings on), so a
// backslash escapes only inside E'...'; the screen's readings add the
// server's own: standard_conforming_strings off, and no psql variables.
#include "statement_lexer.h"

// Depths stop growing here, far beyond any real statement, so that no
// stream of bytes can overflow them.
#define DEPTH_LIMIT (1 << 30)

#define TAG_HASH_START 2166136261u

// The byte after these decides what they are.
#define PENDING_DASH '-'
#define PENDING_SLASH '/'
#define PENDING_STAR '*'
#define PENDING_BACKSLASH '\\'
#define PENDING_QUOTE '\''
#define PENDING_TAG '$'        // "$" and maybe a tag: a dollar quote opening?
#define PENDING_AMPERSAND '&'  // "U&": a Unicode string or name, or a name
#define PENDING_DOT '.'        // "." and maybe the digits of a number
#define PENDING_COLON ':'      // ":" and maybe a psql variable or "::"

// A number as psql reads it: digits with a point and an exponent, where a
// trailing "e", "e+" or "e-" still belongs to the number; a parameter ($1)
// takes digits only. A name run straight into a number or parameter ("1x",
// "$1end", "1e5end", even "1e5$x") is trailing junk that belongs to it, so
// no keyword hides in it. An exponent without a sign is still a name as far
// as psql is concerned: "1e5$x" is "1" and the junk "e5$x", where "1e+5$x"
// is a number and then "$x".
enum {
    NUMBER_PARAMETER,
    NUMBER_WHOLE,
    NUMBER_POINT,
    NUMBER_FRACTION,
    NUMBER_E,
    NUMBER_E_SIGN,
    NUMBER_EXPONENT,
    NUMBER_SIGNED_EXPONENT,
    NUMBER_JUNK
};

static uint32_t HashTagByte(uint32_t hash, unsigned char byte)
{
    return (hash ^ byte) * 16777619u;
}

static int IsNameStart(unsigned char byte)
{
    return IsLetter(byte) || byte == '_' || byte >= 0x80;
}

// psql's white space, which it drops before a statement's first word.
static int IsSpace(unsigned char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f';
}

// Also the bytes of a psql variable's name.
static int IsTagByte(unsigned char byte)
{
    return IsNameStart(byte) || IsDigit(byte);
}

static void Deepen(int *depth)
{
    if (*depth < DEPTH_LIMIT)
        (*depth)++;
}

// psql tells a routine body by the statement's first words: CREATE
// FUNCTION, CREATE PROCEDURE, or the same with OR REPLACE.
static int InRoutineDefinition(const StatementLexer *lexer)
{
    const char *lead = lexer->leadWords;
    return lead[0] == 'c' &&
           (lead[1] == 'f' || lead[1] == 'p' || (lead[1] == 'o' && lead[2] == 'r' && (lead[3] == 'f' || lead[3] == 'p')));
}

// A whole word outside quotes, keyword or name: it may be one of the first
// words, or open or close a block of a routine body.
static void TakeName(StatementLexer *lexer)
{
    if (lexer->wordCount < 4) {
        int lead = WordIs(lexer, "create") || WordIs(lexer, "function") || WordIs(lexer, "procedure") ||
                   WordIs(lexer, "or") || WordIs(lexer, "replace");
        lexer->leadWords[lexer->wordCount++] = lead ? lexer->word[0] : 0;
    }
    if (!InRoutineDefinition(lexer) || lexer->parenDepth != 0)
        return;
    if (WordIs(lexer, "begin"))
        Deepen(&lexer->blockDepth);
    else if (WordIs(lexer, "case") && lexer->blockDepth >= 1)
        Deepen(&lexer->blockDepth);
    else if (WordIs(lexer, "end") && lexer->blockDepth > 0)
        lexer->blockDepth--;
}

static void ClearWord(StatementLexer *lexer)
{
    lexer->wordKind = WORD_NONE;
    lexer->wordLength = 0;
}

// Ends the current word at `byte`. Returns 1 when the word and the byte
// open a literal together (E'...', B'...', X'...', N'...') or may do so
// (U&), and so the byte is taken.
static int EndWord(StatementLexer *lexer, unsigned char byte)
{
    if (lexer->wordKind == WORD_NAME && lexer->wordLength == 1) {
        char letter = lexer->word[0];
        if (byte == '\'' && (letter == 'e' || letter == 'b' || letter == 'x' || letter == 'n')) {
            // Without standard strings N'...' takes escapes as '...' does.
            lexer->mode = letter == 'e' || (letter == 'n' && (lexer->reading & READING_BACKSLASHES))
                              ? LEX_ESCAPE_STRING
                              : LEX_SINGLE_QUOTE;
            ClearWord(lexer);
            return 1;
        }
        if (byte == '&' && letter == 'u') {
            lexer->pending = PENDING_AMPERSAND;
            return 1;
        }
    }
    if (lexer->wordKind == WORD_NAME)
        TakeName(lexer);
    ClearWord(lexer);
    return 0;
}

static void StartNumber(StatementLexer *lexer, int state)
{
    lexer->wordKind = WORD_NUMBER;
    lexer->numberState = state;
}

// Where psql sees a name after a number ("1" and "e5$x"), a "$" goes on
// with the junk.
static int RunsOnAsName(int state)
{
    return state == NUMBER_E || state == NUMBER_EXPONENT || state == NUMBER_JUNK;
}

// Returns 1 when the byte still belongs to the number.
static int ExtendsNumber(StatementLexer *lexer, unsigned char byte)
{
    int state = lexer->numberState;
    int next;

    if (IsDigit(byte)) {
        next = state == NUMBER_POINT    ? NUMBER_FRACTION
               : state == NUMBER_E      ? NUMBER_EXPONENT
               : state == NUMBER_E_SIGN ? NUMBER_SIGNED_EXPONENT
                                        : state;
    } else if (state == NUMBER_E_SIGN) {
        return 0;
    } else if (state == NUMBER_E && (byte == '+' || byte == '-')) {
        next = NUMBER_E_SIGN;
    } else if ((state == NUMBER_WHOLE || state == NUMBER_POINT || state == NUMBER_FRACTION) &&
               (byte == 'e' || byte == 'E')) {
        next = NUMBER_E;
    } else if (state == NUMBER_WHOLE && byte == '.') {
        next = NUMBER_POINT;
    } else if (state == NUMBER_POINT && byte == '.') {
        // "1..": the second point ends the number with it.
        lexer->wordKind = WORD_NONE;
        return 1;
    } else if (IsNameStart(byte) || (byte == '$' && RunsOnAsName(state))) {
        next = NUMBER_JUNK;
    } else {
        return 0;
    }
    lexer->numberState = next;
    return 1;
}

// A "$" outside a name was followed by tag bytes and then `byte`, which is
// not one. Only "$tag$" opens a dollar quote; "$" and digits are a
// parameter; otherwise the "$" stands alone and the tag bytes are a name
// of their own.
static int OpensDollarQuote(StatementLexer *lexer, unsigned char byte)
{
    if (byte == '$') {
        lexer->mode = LEX_DOLLAR_QUOTE;
        lexer->candidate = 0;
        ReportTagOpened(lexer, lexer->tagLength);
        return 1;
    }
    if (lexer->tagLength == 0 && IsDigit(byte)) {
        StartNumber(lexer, NUMBER_PARAMETER);
        return 1;
    }
    for (uint32_t i = 0; i < lexer->tagLength && i <= LEXER_WORD_KEPT; i++)
        ExtendWord(lexer, lexer->tag[i]);
    if (lexer->tagLength > 0)
        lexer->wordKind = WORD_NAME;
    return 0;
}

// Takes a byte after one that was pending. Returns 1 when it is used up.
static int ResolvePending(StatementLexer *lexer, unsigned char byte)
{
    int pending = lexer->pending;

    if (pending == PENDING_TAG && IsTagByte(byte) && !(lexer->tagLength == 0 && IsDigit(byte))) {
        if (lexer->tagLength < LEXER_TAG_KEPT)
            lexer->tag[lexer->tagLength] = byte;
        lexer->tagHash = HashTagByte(lexer->tagHash, byte);
        if (lexer->tagLength < UINT32_MAX)
            lexer->tagLength++;
        return 1;
    }
    lexer->pending = 0;
    switch (pending) {
    case PENDING_TAG:
        return OpensDollarQuote(lexer, byte);
    case PENDING_DASH:
        if (byte != '-') {
            MarkText(lexer, 1);
            return 0;
        }
        lexer->mode = LEX_LINE_COMMENT;
        return 1;
    case PENDING_SLASH:
        if (byte != '*') {
            MarkText(lexer, 1);
            return 0;
        }
        // psql drops the blanks and "--" comments before a statement's
        // first word, but sends a "/* */" comment there with the rest.
        MarkText(lexer, 1);
        lexer->mode = LEX_BLOCK_COMMENT;
        lexer->commentDepth = 1;
        return 1;
    case PENDING_DOT:
        if (!IsDigit(byte))
            return 0;
        StartNumber(lexer, NUMBER_FRACTION);
        return 1;
    // psql takes ":name" as a variable, which hides any keyword in it, and
    // "::" as a cast, after which a name is a name. The server knows no
    // variables.
    case PENDING_COLON:
        if (lexer->reading & READING_SERVER)
            return byte == ':';
        if (IsTagByte(byte))
            lexer->wordKind = WORD_VARIABLE;
        return byte == ':' || IsTagByte(byte);
    default:  // PENDING_AMPERSAND
        if (byte == '\'' || byte == '"') {
            lexer->mode = byte == '\'' ? LEX_SINGLE_QUOTE : LEX_DOUBLE_QUOTE;
            ClearWord(lexer);
            return 1;
        }
        TakeName(lexer);
        ClearWord(lexer);
        return 0;
    }
}

static int TakeCodeByte(StatementLexer *lexer, unsigned char byte)
{
    if (lexer->pending != 0 && ResolvePending(lexer, byte))
        return 0;
    if (lexer->wordKind == WORD_NUMBER) {
        if (ExtendsNumber(lexer, byte))
            return 0;
        ClearWord(lexer);
    }
    if (lexer->wordKind == WORD_VARIABLE) {
        if (IsTagByte(byte))
            return 0;
        ClearWord(lexer);
    }
    if (!IsSpace(byte) && byte != '-' && byte != '/')
        MarkText(lexer, 0);

    if (IsNameStart(byte) || IsDigit(byte) || byte == '$') {
        if (lexer->wordKind == WORD_NAME) {
            ExtendWord(lexer, byte);
        } else if (byte == '$') {
            lexer->pending = PENDING_TAG;
            lexer->tagLength = 0;
            lexer->tagHash = TAG_HASH_START;
        } else if (IsDigit(byte)) {
            StartNumber(lexer, NUMBER_WHOLE);
        } else {
            lexer->wordKind = WORD_NAME;
            lexer->wordLength = 0;
            ExtendWord(lexer, byte);
        }
        return 0;
    }
    if (EndWord(lexer, byte))
        return 0;

    if (OpensQuotedText(lexer, byte, "'\"")) {
        if (lexer->mode == LEX_SINGLE_QUOTE && (lexer->reading & READING_BACKSLASHES))
            lexer->mode = LEX_ESCAPE_STRING;
        return 0;
    }
    switch (byte) {
    case '-':
    case '/':
    case '.':
    case ':':
        lexer->pending = byte;
        return 0;
    case '(':
        Deepen(&lexer->parenDepth);
        return 0;
    case ')':
        if (lexer->parenDepth > 0)
            lexer->parenDepth--;
        return 0;
    case ';':
        return lexer->parenDepth == 0 && lexer->blockDepth == 0;
    default:
        return 0;
    }
}

// Comments nest: "/*" inside one opens another.
static void TakeCommentByte(StatementLexer *lexer, unsigned char byte)
{
    if (lexer->pending == PENDING_SLASH && byte == '*') {
        Deepen(&lexer->commentDepth);
        lexer->pending = 0;
    } else if (lexer->pending == PENDING_STAR && byte == '/') {
        lexer->pending = 0;
        if (--lexer->commentDepth == 0)
            lexer->mode = LEX_CODE;
    } else {
        lexer->pending = byte == '/' || byte == '*' ? byte : 0;
    }
}

// Inside E'...': a backslash escapes the next byte, and a doubled quote
// stays inside. Returns 0 when the string turns out to have ended before
// `byte`, which is then code.
static int StaysInEscapeString(StatementLexer *lexer, unsigned char byte)
{
    int pending = lexer->pending;
    lexer->pending = 0;
    if (pending == PENDING_BACKSLASH)
        return 1;
    if (pending == PENDING_QUOTE && byte != '\'') {
        lexer->mode = LEX_CODE;
        return 0;
    }
    if (pending != PENDING_QUOTE && (byte == '\\' || byte == '\''))
        lexer->pending = byte;
    return 1;
}

// Inside $tag$...$tag$, only the same tag between two "$" closes it; a "$"
// that does not close may open the closing tag itself.
static void TakeDollarQuoteByte(StatementLexer *lexer, unsigned char byte)
{
    if (byte == '$') {
        if (lexer->candidate && lexer->candidateLength == lexer->tagLength &&
            lexer->candidateHash == lexer->tagHash && lexer->candidateMatches) {
            lexer->mode = LEX_CODE;
            lexer->candidate = 0;
            ReportTagClosed(lexer, lexer->candidateLength);
            return;
        }
        lexer->candidate = 1;
        lexer->candidateLength = 0;
        lexer->candidateHash = TAG_HASH_START;
        lexer->candidateMatches = 1;
        return;
    }
    if (!lexer->candidate)
        return;
    if (!IsTagByte(byte) || (lexer->candidateLength == 0 && IsDigit(byte))) {
        lexer->candidate = 0;
        return;
    }
    if (lexer->candidateLength < LEXER_TAG_KEPT && lexer->tag[lexer->candidateLength] != byte)
        lexer->candidateMatches = 0;
    lexer->candidateHash = HashTagByte(lexer->candidateHash, byte);
    if (lexer->candidateLength < UINT32_MAX)
        lexer->candidateLength++;
}

int LexPostgresqlByte(StatementLexer *lexer, unsigned char byte)
{
    switch (lexer->mode) {
    case LEX_SINGLE_QUOTE:
        if (byte == '\'')
            lexer->mode = LEX_CODE;
        return 0;
    case LEX_DOUBLE_QUOTE:
        if (byte == '"')
            lexer->mode = LEX_CODE;
        return 0;
    case LEX_LINE_COMMENT:
        if (byte == '\n' || byte == '\r')
            lexer->mode = LEX_CODE;
        return 0;
    case LEX_BLOCK_COMMENT:
        TakeCommentByte(lexer, byte);
        return 0;
    case LEX_DOLLAR_QUOTE:
        TakeDollarQuoteByte(lexer, byte);
        return 0;
    case LEX_ESCAPE_STRING:
        if (StaysInEscapeString(lexer, byte))
            return 0;
        break;
    default:
        break;
    }
    return TakeCodeByte(lexer, byte);
}

int PostgresqlSettled(const StatementLexer *lexer)
{
    return lexer->mode == LEX_CODE || lexer->mode == LEX_LINE_COMMENT ||
           (lexer->mode == LEX_ESCAPE_STRING && lexer->pending == PENDING_QUOTE);
}
