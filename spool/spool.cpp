// The spool file: records appended and made durable one at a time, marked
// done in place once the database has taken them, and emptied when none is
// left waiting. Damaged records, found by their checksum, are copied to
// "<spool>.damaged" and never run.
#include "spool.h"

#include <stdio.h>
#include <string.h>

#define STATE_WAITING 'W'
#define STATE_DONE 'D'
#define RECORD_MAX (SPOOL_HEADER_SIZE + SPOOL_TEXT_MAX)
#define SCAN_CHUNK 65536

Spool spool = {FILE_NONE, "", 0, 0, 0, 0, 0};

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

// Where the first whole record after `from` starts, or the end.
static int64_t NextWholeRecord(int64_t from)
{
    static unsigned char chunk[SCAN_CHUNK];
    Record record;

    for (int64_t at = from; at < spool.end; at += SCAN_CHUNK - 2) {
        int got = FileRead(spool.file, at, chunk, SCAN_CHUNK);
        for (int i = 0; i + 3 <= got; i++)
            if (memcmp(chunk + i, "VSR", 3) == 0 && ReadRecord(at + i, &record, NULL) == 1)
                return at + i;
    }
    return spool.end;
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
// and counts those waiting; the first becomes the head. A spool with none
// waiting is emptied. Returns 0 or -1.
static int CountWaiting(int64_t from)
{
    Record record;

    spool.waiting = 0;
    spool.head = -1;
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
        if (record.state == STATE_WAITING) {
            spool.waiting++;
            if (spool.head < 0)
                spool.head = at;
        }
        at += record.size;
    }
    if (spool.waiting == 0 && spool.end > 0 && (FileTruncate(spool.file, 0) != 0 || FileSync(spool.file) != 0))
        return -1;
    if (spool.waiting == 0)
        spool.end = 0;
    if (spool.head < 0)
        spool.head = spool.end;
    return 0;
}

int SpoolOpen(const char *path, int64_t limitBytes)
{
    snprintf(spool.path, sizeof spool.path, "%s", path);
    spool.limitBytes = limitBytes;
    if (FileOpenHeld(path, &spool.file) != 0)
        return -1;
    spool.end = FileSize(spool.file);
    if (spool.end < 0 || CountWaiting(0) != 0) {
        SpoolClose();
        return -1;
    }
    return 0;
}

int SpoolAppend(const char *text)
{
    unsigned char record[RECORD_MAX];
    int size = BuildRecord(record, STATE_WAITING, text, (uint32_t)strlen(text));

    if (spool.end + size > spool.limitBytes)
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

int SpoolHasRoom(int textLength)
{
    return spool.end + SPOOL_HEADER_SIZE + textLength <= spool.limitBytes;
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
            spool.head += record.size;
        else if (CountWaiting(spool.head) != 0)
            return -1;
    }
    return 0;
}

int SpoolTakeHead(void)
{
    static const unsigned char done = STATE_DONE;
    Record record;
    int status = 0;

    if (FileWrite(spool.file, spool.head + 3, &done, 1) != 0 || FileSync(spool.file) != 0)
        status = -1;
    // Taken whatever the disk said: a statement that ran is not run again
    // by this process.
    spool.head += spool.headSize;
    spool.waiting--;
    while (spool.head < spool.end && ReadRecord(spool.head, &record, NULL) == 1 && record.state == STATE_DONE)
        spool.head += record.size;
    if (spool.waiting == 0) {
        if (FileTruncate(spool.file, 0) != 0 || FileSync(spool.file) != 0)
            status = -1;
        spool.head = spool.end = 0;
    }
    return status;
}

void SpoolClose(void)
{
    FileClose(spool.file);
    spool.file = FILE_NONE;
}
