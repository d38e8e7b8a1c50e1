// SQLite's rule: a statement is complete at a semicolon token outside
// literals, quoted names and comments, unless it is still inside the body
// of a CREATE [TEMP] TRIGGER, which only "END ;" closes.
#include "statement_lexer.h"

// Where the statement stands, by the tokens seen so far. Blanks and
// comments change nothing.
enum {
    TRIGGER_NOTHING_YET,
    TRIGGER_NONE,         // not a trigger: the next semicolon ends it
    TRIGGER_EXPLAIN,      // EXPLAIN ..., which may still lead to CREATE
    TRIGGER_CREATE,       // CREATE [TEMP]
    TRIGGER_BODY,         // inside CREATE TRIGGER, before its last END
    TRIGGER_BODY_SEMI,    // a semicolon inside the body
    TRIGGER_BODY_END      // "; END": a semicolon now ends it
};

enum { TOKEN_OTHER, TOKEN_EXPLAIN, TOKEN_CREATE, TOKEN_TEMP, TOKEN_TRIGGER, TOKEN_END };

static int IsWordByte(unsigned char byte)
{
    return IsLetter(byte) || IsDigit(byte) || byte == '_' || byte == '$' || byte >= 0x80;
}

static int WordToken(const StatementLexer *lexer)
{
    if (WordIs(lexer, "explain"))
        return TOKEN_EXPLAIN;
    if (WordIs(lexer, "create"))
        return TOKEN_CREATE;
    if (WordIs(lexer, "temp") || WordIs(lexer, "temporary"))
        return TOKEN_TEMP;
    if (WordIs(lexer, "trigger"))
        return TOKEN_TRIGGER;
    if (WordIs(lexer, "end"))
        return TOKEN_END;
    return TOKEN_OTHER;
}

static void TakeToken(StatementLexer *lexer, int token)
{
    switch (lexer->triggerState) {
    case TRIGGER_NOTHING_YET:
        lexer->triggerState = token == TOKEN_EXPLAIN  ? TRIGGER_EXPLAIN
                              : token == TOKEN_CREATE ? TRIGGER_CREATE
                                                      : TRIGGER_NONE;
        break;
    case TRIGGER_EXPLAIN:
        if (token == TOKEN_CREATE)
            lexer->triggerState = TRIGGER_CREATE;
        else if (token != TOKEN_OTHER)
            lexer->triggerState = TRIGGER_NONE;
        break;
    case TRIGGER_CREATE:
        if (token == TOKEN_TRIGGER)
            lexer->triggerState = TRIGGER_BODY;
        else if (token != TOKEN_TEMP)
            lexer->triggerState = TRIGGER_NONE;
        break;
    case TRIGGER_BODY_SEMI:
        lexer->triggerState = token == TOKEN_END ? TRIGGER_BODY_END : TRIGGER_BODY;
        break;
    case TRIGGER_BODY_END:
        lexer->triggerState = TRIGGER_BODY;
        break;
    default:
        break;
    }
}

static int TakeSemicolon(StatementLexer *lexer)
{
    if (lexer->triggerState == TRIGGER_BODY || lexer->triggerState == TRIGGER_BODY_SEMI) {
        lexer->triggerState = TRIGGER_BODY_SEMI;
        return 0;
    }
    return 1;
}

// Returns 1 when the byte closes the literal, name or comment it is in.
static int ClosesEnclosure(StatementLexer *lexer, unsigned char byte)
{
    switch (lexer->mode) {
    case LEX_LINE_COMMENT:
        return byte == '\n';
    case LEX_BLOCK_COMMENT:
        if (lexer->pending == '*' && byte == '/')
            return 1;
        lexer->pending = byte == '*' ? '*' : 0;
        return 0;
    case LEX_SINGLE_QUOTE:
        return byte == '\'';
    case LEX_DOUBLE_QUOTE:
        return byte == '"';
    case LEX_BACKTICK:
        return byte == '`';
    default:
        return byte == ']';
    }
}

int LexSqliteByte(StatementLexer *lexer, unsigned char byte)
{
    if (lexer->mode != LEX_CODE) {
        if (ClosesEnclosure(lexer, byte)) {
            lexer->mode = LEX_CODE;
            lexer->pending = 0;
        }
        return 0;
    }

    // "-" and "/" start comments only with the byte after them.
    if (lexer->pending != 0) {
        unsigned char first = (unsigned char)lexer->pending;
        lexer->pending = 0;
        if (first == '-' && byte == '-') {
            lexer->mode = LEX_LINE_COMMENT;
            return 0;
        }
        if (first == '/' && byte == '*') {
            lexer->mode = LEX_BLOCK_COMMENT;
            return 0;
        }
        MarkText(lexer, 1);
        TakeToken(lexer, TOKEN_OTHER);
    }

    if (IsWordByte(byte)) {
        MarkText(lexer, 0);
        ExtendWord(lexer, byte);
        lexer->wordKind = WORD_NAME;
        return 0;
    }
    if (lexer->wordKind != WORD_NONE) {
        TakeToken(lexer, WordToken(lexer));
        lexer->wordKind = WORD_NONE;
        lexer->wordLength = 0;
    }

    switch (byte) {
    case ';':
        MarkText(lexer, 0);
        return TakeSemicolon(lexer);
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '\f':
        return 0;
    case '-':
    case '/':
        lexer->pending = byte;
        return 0;
    default:
        // Quoted text and every other byte are one more token.
        MarkText(lexer, 0);
        OpensQuotedText(lexer, byte, "'\"`[");
        TakeToken(lexer, TOKEN_OTHER);
        return 0;
    }
}
