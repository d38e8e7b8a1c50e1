// The settings store on POSIX systems: the service's registry key kept in a
// file of the Windows registry export format ("REGEDIT4" or version 5.00,
// ANSI/UTF-8 or UTF-16LE with a byte-order mark), so a key exported on
// Windows can be copied over as it is.
#include "platform.h"
#include "utf16.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

// A settings file is a few hundred bytes; anything far larger is not one.
#define STORE_FILE_MAX (1024 * 1024)
// The most of a value that is kept. A larger one is still found and its
// whole size reported, so that it reads as too large, never as absent.
#define STORE_VALUE_MAX 4096

static const char serviceKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC";

typedef struct StoreFile {
    char *text;       // whole file as 8-bit text, NUL-terminated
    int unicodeFile;  // version 5.00: hex(1), hex(2), hex(7) hold UTF-16
} StoreFile;

typedef struct StoreValue {
    unsigned char bytes[STORE_VALUE_MAX];
    uint32_t size;  // the whole value's size, which may exceed what is kept
} StoreValue;

static char storeError[160];

// Notes why the file cannot be used; `line` is 0 where no line is to blame.
static int Refuse(const char *reason, int line)
{
    if (line > 0)
        snprintf(storeError, sizeof storeError, "line %d: %s", line, reason);
    else
        snprintf(storeError, sizeof storeError, "%s", reason);
    return STORE_UNREADABLE;
}

// The 1-based line of `at` in `text`.
static int LineOf(const char *text, const char *at)
{
    int line = 1;
    for (; text < at; text++)
        line += *text == '\n';
    return line;
}

// Reads the file and turns UTF-16 into UTF-8 in *text. Returns STORE_OK;
// STORE_FAILED when there is no file or it is empty, which is no settings;
// or STORE_UNREADABLE.
static int ReadStoreText(const char *path, char **text)
{
    FILE *file = NULL;
    unsigned char *raw = NULL;
    size_t length = 0;
    size_t textLength = 0;
    int status = STORE_UNREADABLE;

    *text = NULL;
    file = fopen(path, "rb");
    if (file == NULL) {
        if (errno == ENOENT || errno == ENOTDIR)
            status = STORE_FAILED;
        else
            Refuse(strerror(errno), 0);
        goto done;
    }
    raw = (unsigned char *)malloc(STORE_FILE_MAX + 1);
    if (raw == NULL) {
        Refuse(strerror(ENOMEM), 0);
        goto done;
    }
    length = fread(raw, 1, STORE_FILE_MAX + 1, file);
    if (ferror(file)) {
        Refuse(strerror(errno), 0);
        goto done;
    }
    if (length > STORE_FILE_MAX) {
        Refuse("larger than 1048576 bytes", 0);
        goto done;
    }
    if (length == 0) {
        status = STORE_FAILED;
        goto done;
    }

    if (length >= 2 && raw[0] == 0xFF && raw[1] == 0xFE) {
        size_t units = (length - 2) / 2;
        if (length % 2 != 0) {
            Refuse("UTF-16 text cut inside a character", 0);
            goto done;
        }
        *text = (char *)malloc(units * 3 + 1);
        if (*text != NULL)
            textLength = ConvertUtf16ToUtf8(raw + 2, units, *text);
    } else {
        size_t skip = (length >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF) ? 3 : 0;
        *text = (char *)malloc(length - skip + 1);
        if (*text != NULL) {
            textLength = length - skip;
            memcpy(*text, raw + skip, textLength);
        }
    }
    if (*text == NULL) {
        Refuse(strerror(ENOMEM), 0);
        goto done;
    }
    (*text)[textLength] = '\0';
    // The text is handled as a C string, in which a NUL byte would hide the
    // rest of the file.
    if (strlen(*text) != textLength) {
        Refuse("a NUL byte", LineOf(*text, *text + strlen(*text)));
        goto done;
    }
    status = STORE_OK;

done:
    if (status != STORE_OK) {
        free(*text);
        *text = NULL;
    }
    free(raw);
    if (file != NULL)
        fclose(file);
    return status;
}

// Cuts the next line off *cursor, without its line ending and trailing
// blanks. Returns NULL at the end of the text.
static char *NextLine(char **cursor)
{
    char *line = *cursor;
    char *end;
    size_t length;

    if (line == NULL || *line == '\0')
        return NULL;
    end = strchr(line, '\n');
    if (end != NULL) {
        *end = '\0';
        *cursor = end + 1;
    } else {
        *cursor = line + strlen(line);
    }
    length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == ' ' || line[length - 1] == '\t'))
        line[--length] = '\0';
    return line;
}

static char *SkipBlanks(char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    return text;
}

// True for the section line "[HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin\VARN ODBC]",
// in any case, as registry key names compare.
static int IsServiceKeyLine(const char *line)
{
    size_t length = strlen(line);
    return length == sizeof serviceKey + 1 && line[0] == '[' && line[length - 1] == ']' &&
           strncasecmp(line + 1, serviceKey, sizeof serviceKey - 1) == 0;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a quoted text with the \\ and \" escapes into `out`, keeping at most
// `capacity` - 1 bytes and a NUL. *length becomes the whole text's length.
// Returns the text after the closing quote, or NULL when there is none.
static char *ParseQuoted(char *text, char *out, size_t capacity, size_t *length)
{
    size_t used = 0;

    if (*text != '"')
        return NULL;
    text++;
    while (*text != '"') {
        char c = *text;
        if (c == '\0')
            return NULL;
        if (c == '\\' && (text[1] == '\\' || text[1] == '"')) {
            c = text[1];
            text++;
        }
        if (used + 1 < capacity)
            out[used] = c;
        used++;
        text++;
    }
    out[used < capacity ? used : capacity - 1] = '\0';
    *length = used;
    return text + 1;
}

// Parses the comma-separated bytes of a hex value, following "\" line
// continuations. Returns 1 when the value is well formed.
static int ParseHexBytes(char *data, char **cursor, StoreValue *value)
{
    value->size = 0;
    for (;;) {
        data = SkipBlanks(data);
        if (*data == '\0')
            return 1;
        if (*data == '\\' && data[1] == '\0') {
            data = NextLine(cursor);
            if (data == NULL)
                return 0;
            continue;
        }
        if (HexDigit(data[0]) < 0 || HexDigit(data[1]) < 0)
            return 0;
        if (value->size < STORE_VALUE_MAX)
            value->bytes[value->size] = (unsigned char)(HexDigit(data[0]) * 16 + HexDigit(data[1]));
        if (value->size < UINT32_MAX)
            value->size++;
        data = SkipBlanks(data + 2);
        if (*data == ',')
            data++;
        else if (*data != '\0' && !(*data == '\\' && data[1] == '\0'))
            return 0;
    }
}

// Decodes the text after "=" of a value line. Returns 1 for a value, 0 for a
// deletion ("-") and -1 for data that is not understood.
static int ParseValueData(char *data, char **cursor, int unicodeFile, StoreValue *value)
{
    data = SkipBlanks(data);
    if (strcmp(data, "-") == 0)
        return 0;

    if (*data == '"') {
        size_t length;
        char *rest = ParseQuoted(data, (char *)value->bytes, STORE_VALUE_MAX, &length);
        if (rest == NULL || *SkipBlanks(rest) != '\0')
            return -1;
        value->size = length < UINT32_MAX ? (uint32_t)length + 1 : UINT32_MAX;
        return 1;
    }

    if (strncasecmp(data, "dword:", 6) == 0) {
        unsigned long number = 0;
        int digits = 0;
        for (data += 6; HexDigit(*data) >= 0 && digits < 8; data++, digits++)
            number = number * 16 + (unsigned long)HexDigit(*data);
        if (digits == 0 || *SkipBlanks(data) != '\0')
            return -1;
        value->bytes[0] = (unsigned char)(number & 0xFF);
        value->bytes[1] = (unsigned char)((number >> 8) & 0xFF);
        value->bytes[2] = (unsigned char)((number >> 16) & 0xFF);
        value->bytes[3] = (unsigned char)((number >> 24) & 0xFF);
        value->size = 4;
        return 1;
    }

    if (strncasecmp(data, "hex", 3) == 0) {
        unsigned long type = 3;
        data += 3;
        if (*data == '(') {
            char *end;
            type = strtoul(data + 1, &end, 16);
            if (end == data + 1 || *end != ')')
                return -1;
            data = end + 1;
        }
        if (*data != ':')
            return -1;
        if (!ParseHexBytes(data + 1, cursor, value))
            return -1;
        // Version 5.00 files keep text types in UTF-16; the 8-bit registry
        // interface hands them out converted, so this does too. A value too
        // large to keep stays too large.
        if (unicodeFile && (type == 1 || type == 2 || type == 7) && value->size <= STORE_VALUE_MAX) {
            unsigned char units[STORE_VALUE_MAX];
            size_t count = value->size / 2;
            char converted[STORE_VALUE_MAX * 3 / 2 + 3];
            size_t length;
            memcpy(units, value->bytes, count * 2);
            length = ConvertUtf16ToUtf8(units, count, converted);
            memcpy(value->bytes, converted, length < STORE_VALUE_MAX ? length : STORE_VALUE_MAX);
            value->size = (uint32_t)length;
        }
        return 1;
    }
    return -1;
}

// Walks the service's key, checking that each of its lines is a comment, a
// value or a section line; at the first that is not, returns -1 with the
// reason in storeError. With `name`, finds the last definition of that
// value, as an import of the file into the registry would leave it, and
// returns 1 when the value is there; without, returns 1 when the file names
// the key at all. Otherwise returns 0.
static int ScanKey(const StoreFile *store, const char *name, StoreValue *value)
{
    static StoreValue other;
    char *copy = strdup(store->text);
    char *cursor = copy;
    char *line;
    int inKey = 0;
    int found = 0;
    int first = 1;

    if (copy == NULL) {
        Refuse(strerror(ENOMEM), 0);
        return -1;
    }
    while (found >= 0 && (line = NextLine(&cursor)) != NULL) {
        char valueName[STORE_VALUE_MAX];
        size_t nameLength;
        char *start = line;
        char *rest;
        int parsed;
        int wanted;

        if (first) {
            first = 0;
            continue;
        }
        line = SkipBlanks(line);
        if (*line == '[') {
            inKey = IsServiceKeyLine(line);
            if (inKey && name == NULL)
                found = 1;
            continue;
        }
        if (!inKey || *line == '\0' || *line == ';')
            continue;
        // "@" names the key's unnamed value, which the service has no use for.
        if (*line == '@') {
            rest = SkipBlanks(line + 1);
            nameLength = sizeof valueName;
        } else {
            rest = ParseQuoted(line, valueName, sizeof valueName, &nameLength);
            rest = rest != NULL ? SkipBlanks(rest) : NULL;
        }
        if (rest == NULL || *rest != '=') {
            Refuse("not a value", LineOf(store->text, store->text + (start - copy)));
            found = -1;
            continue;
        }
        wanted = name != NULL && nameLength < sizeof valueName && strcasecmp(valueName, name) == 0;
        parsed = ParseValueData(rest + 1, &cursor, store->unicodeFile, wanted ? value : &other);
        if (parsed < 0) {
            Refuse("a value that cannot be read", LineOf(store->text, store->text + (start - copy)));
            found = -1;
        } else if (wanted) {
            found = parsed;
        }
    }
    free(copy);
    return found;
}

int StoreOpenKey(const char *location, StoreKey *key)
{
    StoreFile *store;
    char *text;
    size_t headerLength;
    int status;

    key->handle = NULL;
    status = ReadStoreText(location, &text);
    if (status != STORE_OK)
        return status;

    store = (StoreFile *)calloc(1, sizeof *store);
    if (store == NULL) {
        free(text);
        return Refuse(strerror(ENOMEM), 0);
    }
    store->text = text;
    headerLength = strcspn(text, "\r\n");
    if (headerLength >= 8 && strncmp(text, "REGEDIT4", 8) == 0 && strspn(text + 8, " \t") == headerLength - 8) {
        store->unicodeFile = 0;
    } else if (strncmp(text, "Windows Registry Editor Version 5.00", 36) == 0 &&
               strspn(text + 36, " \t") == headerLength - 36) {
        store->unicodeFile = 1;
    } else {
        status = Refuse("its first line is neither REGEDIT4 nor Windows Registry Editor Version 5.00", 0);
        goto refused;
    }

    // Every line of the key is checked here, once. A file that never names
    // the key is a key that is not there.
    switch (ScanKey(store, NULL, NULL)) {
    case 1:
        key->handle = store;
        return STORE_OK;
    case 0:
        status = STORE_FAILED;
        break;
    default:
        status = STORE_UNREADABLE;
        break;
    }

refused:
    free(store->text);
    free(store);
    return status;
}

int StoreQueryValue(StoreKey *key, const char *name, void *buffer, uint32_t *size)
{
    static StoreValue value;

    if (key->handle == NULL || ScanKey((const StoreFile *)key->handle, name, &value) != 1)
        return STORE_FAILED;
    if (value.size > *size || value.size > STORE_VALUE_MAX) {
        *size = value.size;
        return STORE_FAILED;
    }
    memcpy(buffer, value.bytes, value.size);
    *size = value.size;
    return STORE_OK;
}

const char *StoreErrorText(void)
{
    return storeError;
}

void StoreCloseKey(StoreKey *key)
{
    StoreFile *store = (StoreFile *)key->handle;
    if (store != NULL) {
        free(store->text);
        free(store);
    }
    key->handle = NULL;
}
