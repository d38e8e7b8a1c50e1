// Taking one SQL statement at a time off a client connection: a statement
// ends at a semicolon outside quotes, as the connection's dialect says.
#ifndef VARN_STATEMENT_READER_H
#define VARN_STATEMENT_READER_H

#include "platform.h"
#include "proxy_header.h"
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

// The most bytes one receive takes off a connection, whose bytes are taken
// as they have arrived: about a kilobyte a client, so that a thousand
// clients connected cost about a megabyte more, not sixty-four, and a
// client whose statement waits has at most that taken past it.
#define RECEIVE_MAX 1024

// How many bytes a receive asks for: RECEIVE_MAX. Tests make it smaller to
// split statements across receives at every byte.
extern int statementReceiveSize;

// The framing of one connection: the dialect, where the statement being
// read stands, and until when the reader waits for its next byte. When the
// buffer filled before the ending semicolon came, isCut is set; the lexer's
// state then carries on into the rest of the statement, which DropStatement
// has the reader take and drop. receiveLimit, when not -1, is how many more
// bytes the reader may take off the connection at all. endedIncomplete is
// set when the connection ended inside a statement, which was logged as not
// executed. What a receive took and the reader has not framed yet waits in
// received[receivedAt, receivedEnd), taken off the connection already:
// receiveLimit does not count it.
typedef struct StatementFraming {
    StatementLexer lexer;
    int length;
    int isCut;
    int dropping;
    int64_t deadline;
    int64_t receiveLimit;
    int endedIncomplete;
    int receivedAt;
    int receivedEnd;
    char received[RECEIVE_MAX];
} StatementFraming;

// Readies the framing for a connection's first statement in `dialect`,
// waiting for its first byte from `now` (milliseconds, as the caller counts
// them); NextStatement for its next one.
void StartFraming(StatementFraming *framing, int dialect, int64_t now);
void NextStatement(StatementFraming *framing, int64_t now);

// Has the rest of a cut statement, up to and with its ending semicolon,
// taken and dropped as it arrives; the statement after it follows.
void DropStatement(StatementFraming *framing, int64_t now);

// Whether bytes taken off the connection wait to be framed: the caller
// frames them (ReadStatementBytes) without waiting for the connection.
int BytesReceived(const StatementFraming *framing);

// Takes the bytes received and then those waiting on `sock` into `buffer`
// (`capacity` + 1 bytes), never past the end of the statement; bytes past
// its end that one receive took stay received. In a dialect
// the blanks and comments before the statement's first word are dropped as
// they are read: `buffer` holds the statement from there, and only from
// there do its bytes count toward `capacity`. Returns READ_COMPLETE when the
// statement is whole and NUL-terminated, its ending semicolon kept (or when
// `capacity` bytes came without one: isCut is set, and the rest is still to
// be read); READ_WAITING when no more bytes wait; or READ_ENDED after writing the console lines that say why no
// statement came. A statement that the connection ended inside is logged
// first, as not executed, unless it holds nothing but blanks (and, in a
// dialect, comments).
int ReadStatementBytes(NetSocket sock, char *buffer, int capacity, StatementFraming *framing, int64_t now);

// Takes a PROXY header off `sock` through the framing's received bytes,
// never a byte past its end: what follows it in the same receive stays
// received, for ReadStatementBytes to frame as if no header had come.
// Returns PROXY_HEADER_MORE when no more bytes wait, or the header's
// result; a connection that ends or fails first, or that may be read no
// further (receiveLimit), is PROXY_HEADER_REFUSED. Writes nothing.
int ReadProxyHeader(NetSocket sock, ProxyHeader *header, StatementFraming *framing);

// Ends the read of a connection whose wait ran out: writes the lines, as
// ReadStatementBytes does for a connection that ends.
void EndStatementWait(NetSocket sock, char *buffer, StatementFraming *framing);

// Ends the read of a connection the service closes: writes the lines, as
// ReadStatementBytes does for a connection the peer closes.
void EndStatementRead(NetSocket sock, char *buffer, StatementFraming *framing);

// The console line for a statement received: its text up to a first NUL.
void WriteQueryLine(const char *statement);

#endif
