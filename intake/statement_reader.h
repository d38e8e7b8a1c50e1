// Taking one SQL statement at a time off a client connection: a statement
// ends at a semicolon outside quotes, as the connection's dialect says.
#ifndef VARN_STATEMENT_READER_H
#define VARN_STATEMENT_READER_H

#include "platform.h"
#include "statement_lexer.h"

// How long the reader waits for a statement's first byte and for each later
// byte, in milliseconds.
#define STATEMENT_FIRST_WAIT_MS 90000u
#define STATEMENT_NEXT_WAIT_MS 30000u

// The framing of one connection: the dialect, set by the caller in
// lexer.dialect, and where the last statement read stands. When the buffer
// filled before the ending semicolon came, isCut is set and the lexer's
// state carries on into the dropped rest.
typedef struct StatementFraming {
    StatementLexer lexer;
    int isCut;
} StatementFraming;

// Reads the next statement into `buffer`, which holds `capacity` + 1 bytes,
// and NUL-terminates it. Returns its length (1 to capacity) with the ending
// semicolon kept, or -1 after writing the console lines that say why no
// statement came: a statement that the connection ended inside is logged
// first, as not executed, unless it is only blanks and line breaks. When
// `capacity` bytes arrive without an ending semicolon they are returned
// and `framing->isCut` is set; the rest of that statement is still on the
// connection.
int ReadStatement(NetSocket sock, char *buffer, int capacity, StatementFraming *framing);

// Reads and drops the rest of a cut statement, up to and with its ending
// semicolon. Returns 0, or -1 after writing why the connection must end.
int DropStatementRest(NetSocket sock, StatementFraming *framing);

// The same two with the waits given, so that tests need not wait minutes.
int ReadStatementWaiting(NetSocket sock, char *buffer, int capacity, StatementFraming *framing,
                         uint32_t firstWaitMs, uint32_t nextWaitMs);
int DropStatementRestWaiting(NetSocket sock, StatementFraming *framing, uint32_t nextWaitMs);

// The console line for a statement received: its text up to a first NUL.
void WriteQueryLine(const char *statement);

#endif
