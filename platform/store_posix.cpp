// The settings store on POSIX systems: the service's registry key kept in a
// file of the Windows registry export format ("REGEDIT4" or version 5.00,
// ANSI/UTF-8 or UTF-16LE with a byte-order mark), so that a key exported on
// Windows can be copied over as it is. The file is read once, whole, into a
// table of the values in the service's section.
#include "platform.h"
#include "utf16.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

// A settings file is a few hundred bytes; anything far larger is not one.
#define STORE_FILE_MAX (1024 * 1024)
// Value lines in the service's section: a dozen settings, each given a few
// times at most.
#define STORE_VALUES_MAX 256
// The registry's value types that settings are.
#define TYPE_STRING 1
#define TYPE_EXPANDABLE 2
#define TYPE_DWORD 4

static const char serviceKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]";
static const char hexDigits[] = "0123456789abcdefABCDEF";

// A value line of the service's section, its name and bytes decoded in
// place in the file's text. A removal ("=-") has no bytes.
typedef struct StoreValue {
    const char *name;
    unsigned long type;
    const unsigned char *bytes;
    uint32_t size;
    int line;
} StoreValue;

static struct {
    char *text;  // the whole file as 8-bit text, cut into lines as it is read
    char *cursor;
    char *end;
    int line;  // the number of the line last cut off
    StoreValue values[STORE_VALUES_MAX];
    int count;
    char error[160];
} store;

// Notes why the store cannot be used; `line` is 0 where no line is to blame.
static int Refuse(int line, const char *format, ...)
{
    va_list arguments;
    int used = line > 0 ? snprintf(store.error, sizeof store.error, "line %d: ", line) : 0;
    va_start(arguments, format);
    vsnprintf(store.error + used, sizeof store.error - used, format, arguments);
    va_end(arguments);
    return STORE_UNREADABLE;
}

// Reads the file whole into store.text, UTF-16 turned into UTF-8. A path
// where nothing is, or an empty file, is no store.
static int ReadWholeFile(const char *path)
{
    struct stat info;
    size_t length = 0;
    ssize_t got = 0;
    char *converted;
    // Not waiting in open: a FIFO without a writer would hold start-up.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);

    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? STORE_ABSENT : Refuse(0, "%s", strerror(errno));
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        Refuse(0, "not a regular file");
    else if ((store.text = (char *)malloc(STORE_FILE_MAX + 1)) == NULL)
        Refuse(0, "%s", strerror(ENOMEM));
    while (store.text != NULL && length <= STORE_FILE_MAX &&
           (got = read(fd, store.text + length, STORE_FILE_MAX + 1 - length)) > 0)
        length += (size_t)got;
    if (got < 0)
        Refuse(0, "%s", strerror(errno));
    close(fd);
    if (store.text == NULL || got < 0)
        return STORE_UNREADABLE;
    if (length > STORE_FILE_MAX)
        return Refuse(0, "larger than %d bytes", STORE_FILE_MAX);
    store.cursor = store.text + (length >= 3 && memcmp(store.text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0);
    store.end = store.text + length;
    *store.end = '\0';
    if (length < 2 || memcmp(store.text, "\xFF\xFE", 2) != 0)
        return length > 0 ? STORE_PRESENT : STORE_ABSENT;
    if (length % 2 != 0)
        return Refuse(0, "UTF-16 text cut inside a character");
    if ((converted = (char *)malloc((length - 2) / 2 * 3 + 1)) == NULL)
        return Refuse(0, "%s", strerror(ENOMEM));
    store.end = converted + ConvertUtf16ToUtf8((unsigned char *)store.text + 2, (length - 2) / 2, converted);
    *store.end = '\0';
    free(store.text);
    store.text = store.cursor = converted;
    return STORE_PRESENT;
}

// Cuts the next line off the text, without its end (CR, LF or CR LF) and
// trailing blanks. NULL after the last line, and at a NUL byte, which
// leaves the cursor before the end.
static char *NextLine(void)
{
    char *line = store.cursor;
    size_t length;

    if (line >= store.end)
        return NULL;
    length = strcspn(line, "\r\n");
    if (line[length] == '\0' && line + length < store.end)
        return NULL;
    store.cursor = line + length + (line[length] == '\r' && line[length + 1] == '\n' ? 2 : 1);
    store.line++;
    while (length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\t'))
        length--;
    line[length] = '\0';
    return line;
}

static char *SkipBlanks(char *text)
{
    return text + strspn(text, " \t");
}

// Decodes the quoted text at `text` with its escapes (\\ and \") in place,
// NUL-terminated where it began, its length in *length. Returns what
// follows the closing quote, or NULL when there is none.
static char *Unquote(char *text, uint32_t *length)
{
    char *in = text + 1;
    char *out = text;

    if (*text != '"')
        return NULL;
    for (; *in != '"'; in++, out++) {
        if (*in == '\0')
            return NULL;
        if (*in == '\\' && (in[1] == '\\' || in[1] == '"'))
            in++;
        *out = *in;
    }
    *out = '\0';
    *length = (uint32_t)(out - text);
    return in + 1;
}

// Reads 1 to 8 hex digits at `text` into *number. Returns what follows
// them, or NULL when there are none or more.
static char *HexNumber(char *text, unsigned long *number)
{
    size_t digits = strspn(text, hexDigits);
    *number = strtoul(text, NULL, 16);
    return digits > 0 && digits <= 8 ? text + digits : NULL;
}

// Decodes comma-separated hex bytes in place, following a "\" at a line's
// end onto the next line. Returns 1 when they are well formed.
static int DecodeHex(char *data, unsigned char *out, uint32_t *size)
{
    for (*size = 0;;) {
        data = SkipBlanks(data);
        if (strcmp(data, "\\") == 0 && (data = NextLine()) != NULL)
            continue;
        if (data == NULL || *data == '\0')
            return data != NULL;
        if (strspn(data, hexDigits) < 2)
            return 0;
        char pair[3] = {data[0], data[1], '\0'};
        out[(*size)++] = (unsigned char)strtoul(pair, NULL, 16);
        data = SkipBlanks(data + 2);
        if (*data == ',')
            data++;
        else if (*data != '\0' && strcmp(data, "\\") != 0)
            return 0;
    }
}

// Decodes what follows a value's "=": "-" (a removal), a quoted string,
// dword: and 1 to 8 hex digits, or hex: or hex(type): bytes. Text types of
// a version 5.00 file hold UTF-16, which is turned into UTF-8 in place, as
// the registry's 8-bit interface hands it out. Returns 1 when understood.
static int DecodeData(char *data, int unicodeFile, StoreValue *value)
{
    unsigned char *out = (unsigned char *)data;
    unsigned char *units;
    unsigned long number;

    value->bytes = out;
    if (strcmp(data, "-") == 0) {
        value->bytes = NULL;
        return 1;
    }
    if (*data == '"') {
        char *rest = Unquote(data, &value->size);
        value->type = TYPE_STRING;
        value->size++;
        return rest != NULL && *SkipBlanks(rest) == '\0';
    }
    if (strncasecmp(data, "dword:", 6) == 0) {
        char *rest = HexNumber(data + 6, &number);
        for (int i = 0; i < 4; i++)
            out[i] = (unsigned char)(number >> (8 * i));
        value->type = TYPE_DWORD;
        value->size = 4;
        return rest != NULL && *SkipBlanks(rest) == '\0';
    }
    if (strncasecmp(data, "hex", 3) != 0)
        return 0;
    data += 3;
    value->type = 3;  // binary
    if (*data == '(' && ((data = HexNumber(data + 1, &value->type)) == NULL || *data++ != ')'))
        return 0;
    if (*data != ':' || !DecodeHex(data + 1, out, &value->size))
        return 0;
    // The bytes took at least three times their count of text, which holds
    // the UTF-8 of their units.
    if (unicodeFile && (value->type == TYPE_STRING || value->type == TYPE_EXPANDABLE)) {
        if ((units = (unsigned char *)malloc(value->size + 1)) == NULL)
            return 0;
        memcpy(units, out, value->size);
        value->size = (uint32_t)ConvertUtf16ToUtf8(units, value->size / 2, (char *)out);
        free(units);
    }
    return 1;
}

// Takes a line of the service's section that is neither blank nor a
// comment into the table.
static int TakeValue(char *line, int unicodeFile)
{
    StoreValue value = {"", 0, NULL, 0, store.line};
    uint32_t length;
    // "@" names the key's unnamed value, which no setting is.
    char *rest = *line == '@' ? line + 1 : Unquote(line, &length);

    if (*line != '@')
        value.name = line;
    if (rest == NULL || *(rest = SkipBlanks(rest)) != '=')
        return Refuse(value.line, "not a value");
    if (!DecodeData(SkipBlanks(rest + 1), unicodeFile, &value))
        return Refuse(value.line, "a value that cannot be read");
    if (store.count == STORE_VALUES_MAX)
        return Refuse(value.line, "more than %d values", STORE_VALUES_MAX);
    store.values[store.count++] = value;
    return STORE_PRESENT;
}

// Checks the header and every section line, and takes every line of the
// service's section into the table; lines of other sections are not looked
// at. A file that never names the service's key is no store.
static int ReadTable(void)
{
    char *line = NextLine();
    int unicodeFile = line != NULL && strcmp(line, "Windows Registry Editor Version 5.00") == 0;
    int inKey = 0;
    int keySeen = 0;

    if (line == NULL || (!unicodeFile && strcmp(line, "REGEDIT4") != 0))
        return Refuse(0, "its first line is neither REGEDIT4 nor Windows Registry Editor Version 5.00");
    while ((line = NextLine()) != NULL) {
        line = SkipBlanks(line);
        if (*line == '[') {
            char *close = strchr(line, ']');
            if (close == NULL || close[1] != '\0')
                return Refuse(store.line, close == NULL ? "a section line without its ]" : "text after a section's ]");
            inKey = strcasecmp(line, serviceKey) == 0;
            keySeen = keySeen || inKey;
        } else if (inKey && *line != '\0' && *line != ';' && TakeValue(line, unicodeFile) != STORE_PRESENT) {
            return STORE_UNREADABLE;
        }
    }
    // The text is handled as C strings, in which a NUL byte would hide the rest.
    if (store.cursor < store.end)
        return Refuse(store.line + 1, "a NUL byte");
    return keySeen ? STORE_PRESENT : STORE_ABSENT;
}

int StoreOpen(const char *location)
{
    int status;

    StoreClose();
    status = ReadWholeFile(location);
    if (status == STORE_PRESENT)
        status = ReadTable();
    if (status != STORE_PRESENT)
        StoreClose();
    return status;
}

// The last definition of `name`, as an import of the file into the registry
// would leave it, or NULL when there is none or it was removed.
static const StoreValue *FindValue(const char *name)
{
    for (int i = store.count - 1; i >= 0; i--)
        if (strcasecmp(store.values[i].name, name) == 0)
            return store.values[i].bytes != NULL ? &store.values[i] : NULL;
    return NULL;
}

int StoreReadText(const char *name, char *text, int capacity)
{
    const StoreValue *value = FindValue(name);
    size_t length;

    if (value == NULL)
        return STORE_ABSENT;
    if (value->type != TYPE_STRING && value->type != TYPE_EXPANDABLE)
        return Refuse(value->line, "\"%s\" is not a string", name);
    // A stored string need not carry its terminator.
    length = strnlen((const char *)value->bytes, value->size);
    if (length >= (size_t)capacity)
        return Refuse(value->line, "\"%s\" is longer than %d bytes", name, capacity - 1);
    memcpy(text, value->bytes, length);
    text[length] = '\0';
    return STORE_PRESENT;
}

int StoreReadDword(const char *name, uint32_t *number)
{
    const StoreValue *value = FindValue(name);

    if (value == NULL)
        return STORE_ABSENT;
    if (value->type != TYPE_DWORD || value->size != 4)
        return Refuse(value->line, "\"%s\" is not a dword", name);
    *number = value->bytes[0] | value->bytes[1] << 8 | value->bytes[2] << 16 | (uint32_t)value->bytes[3] << 24;
    return STORE_PRESENT;
}

const char *StoreErrorText(void)
{
    return store.error;
}

const char *StoreFilePath(const char *location)
{
    return location;
}

void StoreClose(void)
{
    free(store.text);
    store.text = NULL;
    store.count = 0;
    store.line = 0;
}
