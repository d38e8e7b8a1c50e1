// Taking one SQL statement at a time off a client connection: a statement
// ends at a semicolon outside quotes, as the connection's dialect says.
#ifndef VARN_STATEMENT_READER_H
#define VARN_STATEMENT_READER_H

#include "platform.h"
#include "statement_lexer.h"

// The longest statement that is run, in bytes: every buffer that holds a
// statement's text (the client's, a spool record's) is sized from it.
#define STATEMENT_MAX 1000

// How long a connection may keep the reader waiting for a statement's first
// byte and for each later byte, in milliseconds: 90 s and 30 s. Tests
// shorten them.
typedef struct StatementWaits {
    int64_t firstMs;
    int64_t nextMs;
} StatementWaits;

extern StatementWaits statementWaits;

// Results of ReadStatementBytes.
#define READ_COMPLETE 1
#define READ_WAITING 0
#define READ_ENDED (-1)

// The framing of one connection: the dialect, where the statement being
// read stands, and until when the reader waits for its next byte. When the
// buffer filled before the ending semicolon came, isCut is set; the lexer's
// state then carries on into the rest of the statement, which DropStatement
// has the reader take and drop. receiveLimit, when not -1, is how many more
// bytes the reader may take off the connection at all. endedIncomplete is
// set when the connection ended inside a statement, which was logged as not
// executed.
typedef struct StatementFraming {
    StatementLexer lexer;
    int length;
    int isCut;
    int dropping;
    int64_t deadline;
    int64_t receiveLimit;
    int endedIncomplete;
} StatementFraming;

// Readies the framing for the connection's next statement in `dialect`,
// waiting for its first byte from `now` (milliseconds, as the caller counts
// them).
void StartFraming(StatementFraming *framing, int dialect, int64_t now);
void NextStatement(StatementFraming *framing, int64_t now);

// Has the rest of a cut statement, up to and with its ending semicolon,
// taken and dropped as it arrives; the statement after it follows.
void DropStatement(StatementFraming *framing, int64_t now);

// Takes the bytes waiting on `sock`, one receive call each, into `buffer`
// (`capacity` + 1 bytes), never past the end of the statement. In a dialect
// the blanks and comments before the statement's first word are dropped as
// they are read: `buffer` holds the statement from there, and only from
// there do its bytes count toward `capacity`. Returns READ_COMPLETE when the
// statement is whole and NUL-terminated, its ending semicolon kept (or when
// `capacity` bytes came without one: isCut is set, and the rest is still on
// the connection); READ_WAITING when no more bytes
// wait; or READ_ENDED after writing the console lines that say why no
// statement came. A statement that the connection ended inside is logged
// first, as not executed, unless it holds nothing but blanks (and, in a
// dialect, comments).
int ReadStatementBytes(NetSocket sock, char *buffer, int capacity, StatementFraming *framing, int64_t now);

// Ends the read of a connection whose wait ran out: writes the lines, as
// ReadStatementBytes does for a connection that ends.
void EndStatementWait(NetSocket sock, char *buffer, StatementFraming *framing);

// Ends the read of a connection the service closes: writes the lines, as
// ReadStatementBytes does for a connection the peer closes.
void EndStatementRead(NetSocket sock, char *buffer, StatementFraming *framing);

// The console line for a statement received: its text up to a first NUL.
void WriteQueryLine(const char *statement);

#endif
