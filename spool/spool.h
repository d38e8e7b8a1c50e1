// The spool: statements that could not reach the database, kept on disk in
// the order they came until the database takes them, so that an outage
// loses nothing.
#ifndef VARN_SPOOL_H
#define VARN_SPOOL_H

#include "platform.h"
#include "statement_reader.h"

#include <stdint.h>

// The longest statement a record holds.
#define SPOOL_TEXT_MAX STATEMENT_MAX
// A record: "VSR", its state ('W' waiting, 'D' done), the text's length
// (32 bits, little-endian), a CRC-32 of the length and the text, then the
// text. Only the state is ever written again, one byte, to mark the record
// done; a record whose checksum fails is never run.
#define SPOOL_HEADER_SIZE 12

// The one spool of the process: `file` is FILE_NONE when none is set.
// Records before `head` are taken (done, or run by this process); those
// before `marked` are durably done; `end` is where the next one goes. The
// bytes from `head` to `end` are those waiting, which "Spool Limit" bounds.
typedef struct Spool {
    FileHandle file;
    char path[128];
    int64_t limitBytes;
    int64_t head;
    int64_t end;
    int64_t headSize;  // of the record SpoolReadHead last read
    long waiting;
    int64_t marked;
    int syncOwed;  // a rename or an emptying is not yet known to be durable
    int64_t moveAt;  // the head before which no move to a fresh file is tried
    int linkSaid;    // a second name was found and said, and is not yet gone
} Spool;

extern Spool spool;

#define SPOOL_KEPT 0
#define SPOOL_FULL 1
#define SPOOL_NOT_KEPT (-1)

// Opens the spool at `path` and holds it for this process, finds the
// statements waiting in it, and sets aside every damaged record, writing a
// line for each. Only a regular file is taken, whose first bytes begin a
// record (a torn first record still does), or whose head is damaged: a
// whole record follows within a record's length of its start, or after
// nothing but zero bytes; `<path>.damaged`, when it is
// there, must be a regular file too. Returns 0; FILE_HELD when another
// process holds it; or -1 with the reason in FileErrorText ("not a spool
// file" for a file that is not one, which is left as it was).
int SpoolOpen(const char *path, int64_t limitBytes);

// 1 when a statement of `textLength` bytes would be kept now, 0 when it
// would not fit under the limit until more are taken.
int SpoolHasRoom(int textLength);

// Appends a statement (1 to SPOOL_TEXT_MAX bytes) and makes it durable
// before it returns: SPOOL_KEPT; SPOOL_FULL when SpoolHasRoom says no;
// SPOOL_NOT_KEPT when writing failed, in which case nothing of it is left
// to run and FileErrorText says why. What an earlier SpoolTakeHead could
// not make durable is tried again first.
int SpoolAppend(const char *text);

// The first waiting statement, into `text` (SPOOL_TEXT_MAX + 1 bytes).
// Damaged records on the way are set aside. Returns 1, 0 when none waits,
// or -1 when the file cannot be read.
int SpoolReadHead(char *text);

// Takes the statement SpoolReadHead read: it is never returned again, by
// this process or, once its done mark is durable, by any later one. When
// none is left the file is emptied; when the records taken are at least
// as many bytes as those waiting (and above a small floor), the waiting
// ones are moved to a fresh file that replaces it, so that the file stays
// within about twice the bytes waiting. Returns 0, or -1 with the reason
// in FileErrorText when a mark, the emptying or the move could not be
// made durable; the statement is taken all the same, and what failed is
// tried again by the next SpoolTakeHead or SpoolAppend, except a move that
// left the spool in its file, which is tried again once as many bytes again
// have been taken. A record on disk that was not taken is never moved or
// overwritten. A file with a second name is not moved at all (that name
// would keep the old file, and the records moved would run again from it):
// "Spool <path> has more than one link, not compacted." once, until the
// name is gone.
int SpoolTakeHead(void);

void SpoolClose(void);

#endif
