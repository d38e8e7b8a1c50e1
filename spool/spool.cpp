// The spool file: records appended and made durable one at a time, marked
// done in place once the database has taken them, moved to a fresh file
// once those done outweigh those waiting, and emptied when none is left
// waiting. Damaged records, found by their checksum, are copied to
// "<spool>.damaged" and never run.
#include "spool.h"

#include <stdio.h>
#include <string.h>

#define STATE_WAITING 'W'
#define STATE_DONE 'D'
#define RECORD_MAX (SPOOL_HEADER_SIZE + SPOOL_TEXT_MAX)
static_assert(RECORD_MAX >= SPOOL_HEADER_SIZE + STATEMENT_MAX, "a record holds the longest statement");
#define SCAN_CHUNK 65536
// Below this many bytes taken the file is not rewritten to reclaim them,
// so that a small spool is not copied at every turn.
#define RECLAIM_FLOOR 65536

Spool spool = {FILE_NONE, "", 0, 0, 0, 0, 0, 0, 0, 0, 0};

typedef struct Record {
    int state;
    int64_t size;
} Record;

// CRC-32 as zlib and Ethernet compute it.
static uint32_t Crc32(uint32_t crc, const unsigned char *bytes, size_t length)
{
    static uint32_t table[256];
    if (table[1] == 0)
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    crc = ~crc;
    for (size_t i = 0; i < length; i++)
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

static void PutLittle32(unsigned char *at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        at[i] = (unsigned char)(value >> (8 * i));
}

static uint32_t GetLittle32(const unsigned char *at)
{
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

// Lays out a record of `length` bytes of `text` (zeros when NULL) in
// `bytes`; returns its size. A statement never holds a NUL byte, and the
// length's high bytes are always 0, so no statement can hold a record that
// looks whole.
static int BuildRecord(unsigned char *bytes, int state, const char *text, uint32_t length)
{
    memcpy(bytes, "VSR", 3);
    bytes[3] = (unsigned char)state;
    PutLittle32(bytes + 4, length);
    if (text != NULL)
        memcpy(bytes + SPOOL_HEADER_SIZE, text, length);
    else
        memset(bytes + SPOOL_HEADER_SIZE, 0, length);
    PutLittle32(bytes + 8, Crc32(Crc32(0, bytes + 4, 4), bytes + SPOOL_HEADER_SIZE, length));
    return SPOOL_HEADER_SIZE + (int)length;
}

// Reads the record at `at` into *record, and its text into `text` unless
// NULL. Returns 1 when it is whole, its checksum good and its state known;
// 0 when it is damaged or cut short; -1 when the file cannot be read.
static int ReadRecord(int64_t at, Record *record, char *text)
{
    unsigned char bytes[RECORD_MAX];
    int got = FileRead(spool.file, at, bytes, (int)(spool.end - at < RECORD_MAX ? spool.end - at : RECORD_MAX));
    uint32_t length;

    if (got < 0)
        return -1;
    if (got < SPOOL_HEADER_SIZE || memcmp(bytes, "VSR", 3) != 0 ||
        (bytes[3] != STATE_WAITING && bytes[3] != STATE_DONE))
        return 0;
    length = GetLittle32(bytes + 4);
    if (length < 1 || length > SPOOL_TEXT_MAX || got < SPOOL_HEADER_SIZE + (int)length ||
        GetLittle32(bytes + 8) != Crc32(Crc32(0, bytes + 4, 4), bytes + SPOOL_HEADER_SIZE, length))
        return 0;
    record->state = bytes[3];
    record->size = SPOOL_HEADER_SIZE + length;
    if (text != NULL) {
        memcpy(text, bytes + SPOOL_HEADER_SIZE, length);
        text[length] = '\0';
    }
    return 1;
}

// Where the first whole record that starts from `from` on and before
// `until` starts, or the end.
static int64_t NextWholeRecordBefore(int64_t from, int64_t until)
{
    static unsigned char chunk[SCAN_CHUNK];
    Record record;

    for (int64_t at = from; at < until; at += SCAN_CHUNK - 2) {
        int got = FileRead(spool.file, at, chunk, SCAN_CHUNK);
        for (int i = 0; i + 3 <= got && at + i < until; i++)
            if (memcmp(chunk + i, "VSR", 3) == 0 && ReadRecord(at + i, &record, NULL) == 1)
                return at + i;
    }
    return spool.end;
}

static int64_t NextWholeRecord(int64_t from)
{
    return NextWholeRecordBefore(from, spool.end);
}

// Whether a file that does not begin as a record does is a spool whose
// head was damaged: cut (a whole record follows within a record's length)
// or zeroed (one follows nothing but zero bytes, as a file cut to nothing
// under the service and appended to after leaves it). Anything else is
// someone else's file, never to be written.
static int HasDamagedHead(void)
{
    static unsigned char chunk[SCAN_CHUNK];
    int64_t zeros = 0;

    for (int got = SCAN_CHUNK; zeros < spool.end && got == SCAN_CHUNK;) {
        got = FileRead(spool.file, zeros, chunk, SCAN_CHUNK);
        int i = 0;
        while (i < got && chunk[i] == 0)
            i++;
        zeros += i;
        if (i < got)
            break;
    }
    return NextWholeRecordBefore(0, zeros + RECORD_MAX) < spool.end;
}

// Copies the damaged bytes from `from` to `to` to "<spool>.damaged", then
// cuts them off the end of the file, or covers them with records that are
// done. Returns 0 or -1.
static int SetAside(int64_t from, int64_t to)
{
    static unsigned char chunk[SCAN_CHUNK];
    char damagedPath[sizeof spool.path + 8];
    unsigned char filler[RECORD_MAX];

    snprintf(damagedPath, sizeof damagedPath, "%s.damaged", spool.path);
    for (int64_t at = from; at < to; at += SCAN_CHUNK) {
        int size = (int)(to - at < SCAN_CHUNK ? to - at : SCAN_CHUNK);
        if (FileRead(spool.file, at, chunk, size) != size || FileAppendDurably(damagedPath, chunk, size) != 0)
            return -1;
    }
    if (to == spool.end) {
        if (FileTruncate(spool.file, from) != 0)
            return -1;
        spool.end = from;
        to = from;
    }
    // Fillers of at most RECORD_MAX bytes, none under a header and one byte.
    while (from < to) {
        int64_t left = to - from;
        int64_t size = left <= RECORD_MAX ? left : left - RECORD_MAX > SPOOL_HEADER_SIZE ? RECORD_MAX : left - SPOOL_HEADER_SIZE - 1;
        if (size <= SPOOL_HEADER_SIZE)
            break;
        BuildRecord(filler, STATE_DONE, NULL, (uint32_t)(size - SPOOL_HEADER_SIZE));
        if (FileWrite(spool.file, from, filler, (int)size) != 0)
            return -1;
        from += size;
    }
    if (FileSync(spool.file) != 0)
        return -1;
    ConsoleLine("Spool record damaged, set aside.\n");
    return 0;
}

// Walks the records from `from` to the end, setting damaged ones aside,
// and counts those waiting; the first becomes the head. Returns 0 or -1.
static int CountWaiting(int64_t from)
{
    Record record;
    int64_t first = -1;
    long waiting = 0;

    for (int64_t at = from; at < spool.end;) {
        int read = ReadRecord(at, &record, NULL);
        if (read < 0)
            return -1;
        if (read == 0) {
            int64_t next = NextWholeRecord(at + 1);
            if (SetAside(at, next) != 0)
                return -1;
            at = next;
            continue;
        }
        if (record.state == STATE_WAITING && waiting++ == 0)
            first = at;
        at += record.size;
    }
    spool.waiting = waiting;
    spool.head = first >= 0 ? first : spool.end;
    return 0;
}

// Moves the head past records already done. Those were durable before
// this process took anything after them, so the marks keep up with it.
static void SkipDone(void)
{
    Record record;

    while (spool.head < spool.end && ReadRecord(spool.head, &record, NULL) == 1 && record.state == STATE_DONE) {
        if (spool.marked == spool.head)
            spool.marked += record.size;
        spool.head += record.size;
    }
}

// Makes the done marks of every record taken durable. Each is written again
// whatever the page cache says, since a sync that failed may have dropped
// it. Returns 0 or -1.
static int MarkTaken(void)
{
    static const unsigned char done = STATE_DONE;
    Record record;

    for (int64_t at = spool.marked; at < spool.head;) {
        int read = ReadRecord(at, &record, NULL);
        if (read < 0 || (read == 1 && FileWrite(spool.file, at + 3, &done, 1) != 0))
            return -1;
        at = read == 1 ? at + record.size : NextWholeRecord(at + 1);
    }
    if (spool.marked < spool.head && FileSync(spool.file) != 0)
        return -1;
    spool.marked = spool.head;
    return 0;
}

// Cuts the file to nothing. Its records stay where they are, and are
// counted, unless the cut itself succeeded. Returns 0 or -1.
static int Empty(void)
{
    if (FileTruncate(spool.file, 0) != 0)
        return -1;
    spool.head = spool.end = spool.marked = spool.moveAt = 0;
    if (FileSync(spool.file) != 0) {
        spool.syncOwed = 1;
        return -1;
    }
    return 0;
}

// Does again what a failure left undone: a sync owed, the marks of records
// taken, and the emptying of a file with none waiting. Returns 0 or -1.
static int Settle(void)
{
    int status = 0;

    if (spool.syncOwed) {
        if (FileSync(spool.file) == 0 && FileSyncFolder(spool.path) == 0)
            spool.syncOwed = 0;
        else
            status = -1;
    }
    if (MarkTaken() != 0)
        status = -1;
    if (spool.waiting == 0 && spool.end > 0 && Empty() != 0)
        status = -1;
    return status;
}

// Moves the records from the head on to "<spool>.new", made durable and
// held before it takes the spool's name in one step, so that a crash at
// any point leaves either file whole under that name. Returns 0 or -1.
static int Reclaim(void)
{
    static unsigned char chunk[SCAN_CHUNK];
    char newPath[sizeof spool.path + 4];
    int64_t size = spool.end - spool.head;
    FileHandle fresh;
    int status;

    snprintf(newPath, sizeof newPath, "%s.new", spool.path);
    if (FileCreateHeld(newPath, &fresh) != 0)
        return -1;
    status = 0;
    for (int64_t at = 0; status == 0 && at < size; at += SCAN_CHUNK) {
        int part = (int)(size - at < SCAN_CHUNK ? size - at : SCAN_CHUNK);
        if (FileRead(spool.file, spool.head + at, chunk, part) != part || FileWrite(fresh, at, chunk, part) != 0)
            status = -1;
    }
    if (status == 0 && FileSync(fresh) == 0)
        status = FileReplaceHeld(&spool.file, spool.path, fresh, newPath);
    else
        status = -1;
    if (status != 0) {
        FileClose(fresh);
        FileRemove(newPath);
        return -1;
    }
    spool.head = spool.marked = 0;
    spool.end = size;
    // Until the name is durable the old file may come back: new records
    // are not kept meanwhile.
    if (FileSyncFolder(spool.path) != 0) {
        spool.syncOwed = 1;
        status = -1;
    }
    return status;
}

// Whether the spool has a name besides its own, which a move would leave on
// the old file; said once while it lasts.
static int HasSecondName(void)
{
    int second = FileLinkCount(spool.file) > 1;

    if (second && !spool.linkSaid)
        ConsoleLine("Spool %s has more than one link, not compacted.\n", spool.path);
    spool.linkSaid = second;
    return second;
}

// Whether a record of `size` bytes may be appended: the bytes waiting stay
// within the limit, and so do those taken (a floor aside), which they do
// by themselves while Reclaim works and which bounds the file when it
// does not.
static int Fits(int64_t size)
{
    int64_t waitingBytes = spool.waiting > 0 ? spool.end - spool.head : 0;
    int64_t taken = spool.end - waitingBytes;

    return waitingBytes + size <= spool.limitBytes && taken - RECLAIM_FLOOR <= spool.limitBytes;
}

int SpoolOpen(const char *path, int64_t limitBytes)
{
    char damagedPath[sizeof spool.path + 8];
    unsigned char first[3];
    int length;
    int status = -1;

    snprintf(spool.path, sizeof spool.path, "%s", path);
    snprintf(damagedPath, sizeof damagedPath, "%s.damaged", spool.path);
    spool.limitBytes = limitBytes;
    spool.head = spool.end = spool.marked = spool.headSize = spool.moveAt = 0;
    spool.waiting = 0;
    spool.syncOwed = spool.linkSaid = 0;
    if (FileCheckRegular(damagedPath) != 0)
        return -1;
    status = FileOpenHeld(path, &spool.file);
    if (status != 0)
        return status;
    status = -1;
    spool.end = FileSize(spool.file);
    length = spool.end < 3 ? (int)spool.end : 3;
    if (spool.end >= 0 && FileRead(spool.file, 0, first, length) == length) {
        // A file that does not begin as a record does, however torn, and
        // whose head is not merely damaged, is someone else's: it is left
        // as it is.
        if (memcmp(first, "VSR", (size_t)length) != 0 && !HasDamagedHead())
            FileSetErrorText("not a spool file");
        else if (CountWaiting(0) == 0 && (spool.waiting > 0 || spool.end == 0 || Empty() == 0))
            status = 0;
    }
    spool.marked = spool.head;
    if (status != 0)
        SpoolClose();
    return status;
}

int SpoolHasRoom(int textLength)
{
    return Fits(SPOOL_HEADER_SIZE + textLength);
}

int SpoolAppend(const char *text)
{
    unsigned char record[RECORD_MAX];
    int size = BuildRecord(record, STATE_WAITING, text, (uint32_t)strlen(text));

    // Records on disk stay where they are whatever comes of this, and the
    // new one goes after them; only a name not yet durable keeps it out.
    if (Settle() != 0 && spool.syncOwed)
        return SPOOL_NOT_KEPT;
    if (!Fits(size))
        return SPOOL_FULL;
    // A record that did not become durable whole is cut off again; should
    // even that fail, its checksum keeps any part of it from running.
    if (FileWrite(spool.file, spool.end, record, size) != 0 || FileSync(spool.file) != 0) {
        if (FileTruncate(spool.file, spool.end) == 0)
            FileSync(spool.file);
        return SPOOL_NOT_KEPT;
    }
    if (spool.waiting == 0)
        spool.head = spool.end;
    spool.end += size;
    spool.waiting++;
    return SPOOL_KEPT;
}

int SpoolReadHead(char *text)
{
    Record record;

    while (spool.waiting > 0 && spool.head < spool.end) {
        int read = ReadRecord(spool.head, &record, text);
        if (read < 0)
            return -1;
        if (read == 1 && record.state == STATE_WAITING) {
            spool.headSize = record.size;
            return 1;
        }
        if (read == 1)
            SkipDone();
        else if (CountWaiting(spool.head) != 0 || (spool.waiting == 0 && Settle() != 0))
            return -1;
    }
    return 0;
}

int SpoolTakeHead(void)
{
    int status;

    // Taken whatever the disk says: a statement that ran is not run again
    // by this process.
    spool.head += spool.headSize;
    spool.waiting--;
    SkipDone();
    status = Settle();
    // Marks that are not durable are not left behind in the old file. A
    // move that failed waits until as much again was taken, so that a file
    // system that cannot make it costs a line per doubling of the file.
    if (status == 0 && spool.waiting > 0 && spool.head >= RECLAIM_FLOOR && spool.head >= spool.end - spool.head &&
        spool.head >= spool.moveAt && !HasSecondName()) {
        status = Reclaim();
        spool.moveAt = 2 * spool.head;
    }
    return status;
}

void SpoolClose(void)
{
    FileClose(spool.file);
    spool.file = FILE_NONE;
}
