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
// Records before `head` are done; `end` is where the next one goes.
typedef struct Spool {
    FileHandle file;
    char path[128];
    int64_t limitBytes;
    int64_t head;
    int64_t end;
    int64_t headSize;  // of the record SpoolReadHead last read
    long waiting;
} Spool;

extern Spool spool;

#define SPOOL_KEPT 0
#define SPOOL_FULL 1
#define SPOOL_NOT_KEPT (-1)

// Opens the spool at `path` and holds it for this process, finds the
// statements waiting in it, and sets aside every damaged record, writing a
// line for each. Returns 0, or -1 with the reason in FileErrorText.
int SpoolOpen(const char *path, int64_t limitBytes);

// Appends a statement (1 to SPOOL_TEXT_MAX bytes) and makes it durable
// before it returns: SPOOL_KEPT; SPOOL_FULL when it would take the file
// past its limit; SPOOL_NOT_KEPT when writing failed, in which case nothing
// of it is left to run and FileErrorText says why.
int SpoolAppend(const char *text);

// 1 when a statement of `textLength` bytes would fit under the limit now.
int SpoolHasRoom(int textLength);

// The first waiting statement, into `text` (SPOOL_TEXT_MAX + 1 bytes).
// Damaged records on the way are set aside. Returns 1, 0 when none waits,
// or -1 when the file cannot be read.
int SpoolReadHead(char *text);

// Marks the statement SpoolReadHead read done, durably, so that it is
// never run again; when none is left the file is emptied. Returns 0, or -1
// when that could not be made durable.
int SpoolTakeHead(void);

void SpoolClose(void);

#endif
