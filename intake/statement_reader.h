// Taking one SQL statement at a time off a client connection: a statement
// ends at a semicolon outside single- and double-quoted text.
#ifndef VARN_STATEMENT_READER_H
#define VARN_STATEMENT_READER_H

#include "platform.h"

// How long the reader waits for a statement's first byte and for each later
// byte, in milliseconds.
#define STATEMENT_FIRST_WAIT_MS 90000u
#define STATEMENT_NEXT_WAIT_MS 30000u

// Where a statement stands when the buffer filled before its ending
// semicolon came: the quote counts carry on into the dropped rest.
typedef struct StatementCut {
    int isCut;
    int doubleQuotes;
    int singleQuotes;
} StatementCut;

// Reads the next statement into `buffer`, which holds `capacity` + 1 bytes,
// and NUL-terminates it. Returns its length (1 to capacity) with the ending
// semicolon kept, or -1 after writing the console line that says why no
// statement came. When `capacity` bytes arrive without an ending semicolon
// they are returned and `cut->isCut` is set; the rest of that statement is
// still on the connection.
int ReadStatement(NetSocket sock, char *buffer, int capacity, StatementCut *cut);

// Reads and drops the rest of a cut statement, up to and with its ending
// semicolon. Returns 0, or -1 after writing why the connection must end.
int DropStatementRest(NetSocket sock, const StatementCut *cut);

// The same two with the waits given, so that tests need not wait minutes.
int ReadStatementWaiting(NetSocket sock, char *buffer, int capacity, StatementCut *cut, uint32_t firstWaitMs,
                         uint32_t nextWaitMs);
int DropStatementRestWaiting(NetSocket sock, const StatementCut *cut, uint32_t nextWaitMs);

#endif
