// The mysql and mariadb clients' rule with their default delimiter: a
// statement ends at a semicolon outside '...', "..." and `...` and outside
// comments. A backslash escapes the next byte inside '...' and "...";
// "#" and "-- " (the dashes followed by a blank) comment to the end of the
// line, and so does "--" with anything after it where it is the first text
// of a statement; "/*" comments to "*/". The text of "/*!...*/" counts as
// code, semicolons included, and so does "/*M!"; inside a comment "/*" is
// taken as a pair and "/*!" waits for a "*/" of its own, as the clients
// read them.
// The server reads some of this otherwise, which the screen's readings
// follow: "--" comments only before a blank or control byte, wherever it
// stands; "/*" never nests, but for one level in a comment of a later
// version; and the session's sql_mode may take the backslash's escapes
// away, or make "..." a name.
#include "statement_lexer.h"

#include <stddef.h>

enum {
    PENDING_NONE,
    PENDING_DASH,        // "-"
    PENDING_DASHES,      // "--", waiting for the blank that makes a comment
    PENDING_SLASH,       // "/"
    PENDING_OPENING,     // "/*", a comment unless "!" or "M!" follows
    PENDING_OPENING_M,   // "/*M"
    PENDING_STAR,        // "*", which "/" makes an end
    PENDING_BACKSLASH,   // inside a literal
    PENDING_BANG         // "/*!" or "/*M!", where a version may follow
};

// The server's comments: how deep a plain one and one of a later version
// may nest.
#define PLAIN_NEST 1
#define VERSIONED_NEST 2

static int IsBlank(unsigned char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r';
}

static int PendingFor(unsigned char byte)
{
    return byte == '*' ? PENDING_STAR : byte == '/' ? PENDING_SLASH : PENDING_NONE;
}

// Inside "/* ... */". Only a "*/" that no "/*!" inside claims ends it.
static void TakeCommentByte(StatementLexer *lexer, unsigned char byte)
{
    int pending = lexer->pending;
    lexer->pending = PENDING_NONE;
    if (pending == PENDING_STAR && byte == '/') {
        if (lexer->conditional)
            lexer->conditional = 0;
        else
            lexer->mode = LEX_CODE;
    } else if (pending == PENDING_SLASH && byte == '*') {
        lexer->pending = PENDING_OPENING;
    } else if (pending == PENDING_OPENING && byte == '!') {
        lexer->conditional = 1;
    } else {
        lexer->pending = PendingFor(byte);
    }
}

static void TakeServerCommentByte(StatementLexer *lexer, unsigned char byte)
{
    int pending = lexer->pending;
    lexer->pending = PENDING_NONE;
    if (pending == PENDING_STAR && byte == '/') {
        if (--lexer->commentDepth == 0)
            lexer->mode = LEX_CODE;
    } else if (pending == PENDING_SLASH && byte == '*' && lexer->commentDepth < lexer->commentNest) {
        lexer->commentDepth++;
    } else {
        lexer->pending = PendingFor(byte);
    }
}

static void OpenComment(StatementLexer *lexer, unsigned char byte, int nest)
{
    lexer->mode = LEX_BLOCK_COMMENT;
    lexer->commentDepth = 1;
    lexer->commentNest = nest;
    lexer->pending = PendingFor(byte);
}

// The server's "--": a comment before a space or control byte; a latin1
// connection also takes 0xA0 for a space, which no single reading tells.
static int ServerDashesEnd(StatementLexer *lexer, unsigned char byte)
{
    if (byte == 0xA0 && lexer->report != NULL)
        lexer->report->unreadable = 1;
    return byte <= ' ' || byte == 0x7F;
}

// Takes a byte after one that was pending in code. Returns 1 when it is
// used up.
static int ResolvePending(StatementLexer *lexer, unsigned char byte)
{
    int pending = lexer->pending;
    lexer->pending = PENDING_NONE;
    switch (pending) {
    case PENDING_DASH:
        if (byte != '-')
            return 0;
        if (HasStatementText(lexer) || (lexer->reading & READING_SERVER))
            lexer->pending = PENDING_DASHES;
        else
            lexer->mode = LEX_LINE_COMMENT;
        return 1;
    case PENDING_DASHES:
        if ((lexer->reading & READING_SERVER) ? ServerDashesEnd(lexer, byte) : IsBlank(byte)) {
            lexer->mode = byte == '\n' ? LEX_CODE : LEX_LINE_COMMENT;
            return 1;
        }
        // "---": the last two dashes may still open a comment.
        if (byte == '-') {
            lexer->pending = PENDING_DASHES;
            return 1;
        }
        return 0;
    case PENDING_SLASH:
        if (byte != '*')
            return 0;
        lexer->pending = PENDING_OPENING;
        return 1;
    case PENDING_STAR:
        if (byte != '/')
            return 0;
        lexer->conditional = 0;
        return 1;
    case PENDING_OPENING:
        if (byte == 'M') {
            lexer->pending = PENDING_OPENING_M;
        } else if (byte == '!' && (lexer->reading & READING_SKIP_VERSIONED)) {
            lexer->pending = PENDING_BANG;
        } else if (byte == '!') {
            MarkText(lexer, 2);
            lexer->conditional = 1;
        } else {
            OpenComment(lexer, byte, PLAIN_NEST);
        }
        return 1;
    case PENDING_OPENING_M:
        if (byte == '!' && (lexer->reading & READING_SKIP_VERSIONED)) {
            lexer->pending = PENDING_BANG;
        } else if (byte == '!') {
            MarkText(lexer, 3);
        } else {
            OpenComment(lexer, byte, PLAIN_NEST);
        }
        return 1;
    default:  // PENDING_BANG
        if (IsDigit(byte)) {
            OpenComment(lexer, byte, VERSIONED_NEST);
            return 1;
        }
        lexer->conditional = 1;
        return 0;
    }
}

int LexMysqlByte(StatementLexer *lexer, unsigned char byte)
{
    switch (lexer->mode) {
    case LEX_SINGLE_QUOTE:
    case LEX_DOUBLE_QUOTE:
        if (lexer->pending == PENDING_BACKSLASH)
            lexer->pending = PENDING_NONE;
        else if (byte == '\\' && !(lexer->reading & READING_NO_BACKSLASHES) &&
                 !(lexer->mode == LEX_DOUBLE_QUOTE && (lexer->reading & READING_ANSI_QUOTES)))
            lexer->pending = PENDING_BACKSLASH;
        else if (byte == (lexer->mode == LEX_SINGLE_QUOTE ? '\'' : '"'))
            lexer->mode = LEX_CODE;
        return 0;
    case LEX_BACKTICK:
        if (byte == '`')
            lexer->mode = LEX_CODE;
        return 0;
    case LEX_LINE_COMMENT:
        if (byte == '\n')
            lexer->mode = LEX_CODE;
        return 0;
    case LEX_BLOCK_COMMENT:
        if (lexer->reading & READING_SERVER)
            TakeServerCommentByte(lexer, byte);
        else
            TakeCommentByte(lexer, byte);
        return 0;
    default:
        break;
    }

    if (lexer->pending != PENDING_NONE) {
        if (ResolvePending(lexer, byte))
            return 0;
        MarkText(lexer, 1);
    }
    if (!IsBlank(byte) && byte != '-' && byte != '/' && byte != '#')
        MarkText(lexer, 0);
    if (OpensQuotedText(lexer, byte, "'\"`"))
        return 0;
    switch (byte) {
    case '#':
        lexer->mode = LEX_LINE_COMMENT;
        return 0;
    case '-':
        lexer->pending = PENDING_DASH;
        return 0;
    case '/':
        lexer->pending = PENDING_SLASH;
        return 0;
    case '*':
        if (lexer->conditional)
            lexer->pending = PENDING_STAR;
        return 0;
    case ';':
        return 1;
    default:
        return 0;
    }
}

int MysqlSettled(const StatementLexer *lexer)
{
    int pending = lexer->pending;
    return lexer->mode == LEX_LINE_COMMENT ||
           (lexer->mode == LEX_CODE && !lexer->conditional && pending != PENDING_OPENING &&
            pending != PENDING_OPENING_M && pending != PENDING_BANG);
}
