// The settings store on POSIX systems: the service's registry key kept in a
// file of the Windows registry export format ("REGEDIT4" or version 5.00,
// ANSI/UTF-8 or UTF-16LE with a byte-order mark), so a key exported on
// Windows can be copied over as it is.
#include "platform.h"
#include "utf16.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

// A settings file is a few hundred bytes; anything far larger is not one.
#define STORE_FILE_MAX (1024 * 1024)
// The largest value that can be read; the service's buffers are far smaller.
#define STORE_VALUE_MAX 4096

static const char serviceKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC";

typedef struct StoreFile {
    char *text;       // whole file as 8-bit text, NUL-terminated
    int unicodeFile;  // version 5.00: hex(1), hex(2), hex(7) hold UTF-16
} StoreFile;

typedef struct StoreValue {
    unsigned char bytes[STORE_VALUE_MAX];
    uint32_t size;
} StoreValue;

// Reads the file and turns UTF-16 into UTF-8. Returns NULL when the file
// cannot be read or is too large.
static char *ReadStoreText(const char *path)
{
    FILE *file = NULL;
    unsigned char *raw = NULL;
    char *text = NULL;
    size_t length = 0;
    size_t textLength = 0;

    file = fopen(path, "rb");
    if (file == NULL)
        goto done;
    raw = (unsigned char *)malloc(STORE_FILE_MAX + 1);
    if (raw == NULL)
        goto done;
    length = fread(raw, 1, STORE_FILE_MAX + 1, file);
    if (length > STORE_FILE_MAX || ferror(file))
        goto done;

    if (length >= 2 && raw[0] == 0xFF && raw[1] == 0xFE) {
        size_t units = (length - 2) / 2;
        text = (char *)malloc(units * 3 + 1);
        if (text != NULL)
            textLength = ConvertUtf16ToUtf8(raw + 2, units, text);
    } else {
        size_t skip = (length >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF) ? 3 : 0;
        text = (char *)malloc(length - skip + 1);
        if (text != NULL) {
            textLength = length - skip;
            memcpy(text, raw + skip, textLength);
        }
    }
    if (text != NULL) {
        // The text is handled as a C string; a stray NUL byte only breaks
        // its line instead of hiding the rest of the file.
        for (size_t i = 0; i < textLength; i++)
            if (text[i] == '\0')
                text[i] = '\n';
        text[textLength] = '\0';
    }

done:
    free(raw);
    if (file != NULL)
        fclose(file);
    return text;
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

// Reads a quoted text with the \\ and \" escapes into `out` (NUL-terminated,
// at most `capacity` bytes with the NUL). Returns the text after the
// closing quote, or NULL when there is none or it does not fit.
static char *ParseQuoted(char *text, char *out, size_t capacity)
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
        if (used + 1 >= capacity)
            return NULL;
        out[used++] = c;
        text++;
    }
    out[used] = '\0';
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
        if (value->size >= STORE_VALUE_MAX)
            return 0;
        value->bytes[value->size++] = (unsigned char)(HexDigit(data[0]) * 16 + HexDigit(data[1]));
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
        char *rest = ParseQuoted(data, (char *)value->bytes, STORE_VALUE_MAX);
        if (rest == NULL)
            return -1;
        value->size = (uint32_t)strlen((char *)value->bytes) + 1;
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
        // interface hands them out converted, so this does too.
        if (unicodeFile && (type == 1 || type == 2 || type == 7)) {
            unsigned char units[STORE_VALUE_MAX];
            size_t count = value->size / 2;
            char converted[STORE_VALUE_MAX * 3 / 2 + 3];
            size_t length;
            memcpy(units, value->bytes, count * 2);
            length = ConvertUtf16ToUtf8(units, count, converted);
            if (length > STORE_VALUE_MAX)
                return -1;
            memcpy(value->bytes, converted, length);
            value->size = (uint32_t)length;
        }
        return 1;
    }
    return -1;
}

// Finds the last definition of `name` in the service's key, as an import of
// the file into the registry would leave it. Returns 1 when the value is
// there, 0 otherwise.
static int FindValue(const StoreFile *store, const char *name, StoreValue *value)
{
    char *copy = strdup(store->text);
    char *cursor = copy;
    char *line;
    int inKey = 0;
    int found = 0;
    int first = 1;

    if (copy == NULL)
        return 0;
    while ((line = NextLine(&cursor)) != NULL) {
        char valueName[STORE_VALUE_MAX];
        char *rest;
        int parsed;

        if (first) {
            first = 0;
            continue;
        }
        line = SkipBlanks(line);
        if (*line == '[') {
            inKey = IsServiceKeyLine(line);
            continue;
        }
        if (!inKey || *line != '"')
            continue;
        rest = ParseQuoted(line, valueName, sizeof valueName);
        if (rest == NULL)
            continue;
        rest = SkipBlanks(rest);
        if (*rest != '=' || strcasecmp(valueName, name) != 0)
            continue;
        parsed = ParseValueData(rest + 1, &cursor, store->unicodeFile, value);
        if (parsed >= 0)
            found = parsed;
    }
    free(copy);
    return found;
}

int StoreOpenKey(const char *location, StoreKey *key)
{
    StoreFile *store;
    char *text;
    char *header;
    size_t headerLength;
    char *cursor;

    key->handle = NULL;
    text = ReadStoreText(location);
    if (text == NULL)
        return STORE_FAILED;

    header = text;
    headerLength = strcspn(header, "\r\n");
    store = (StoreFile *)calloc(1, sizeof *store);
    if (store == NULL) {
        free(text);
        return STORE_FAILED;
    }
    store->text = text;
    if (headerLength >= 8 && strncmp(header, "REGEDIT4", 8) == 0 &&
        strspn(header + 8, " \t") == headerLength - 8)
        store->unicodeFile = 0;
    else if (strncmp(header, "Windows Registry Editor Version 5.00", 36) == 0 &&
             strspn(header + 36, " \t") == headerLength - 36)
        store->unicodeFile = 1;
    else
        goto refused;

    // A file that never names the service's key is a key that is not there.
    cursor = strdup(text);
    if (cursor != NULL) {
        char *walk = cursor;
        char *line;
        int seen = 0;
        while (!seen && (line = NextLine(&walk)) != NULL)
            seen = IsServiceKeyLine(SkipBlanks(line));
        free(cursor);
        if (seen) {
            key->handle = store;
            return STORE_OK;
        }
    }

refused:
    free(store->text);
    free(store);
    return STORE_FAILED;
}

int StoreQueryValue(StoreKey *key, const char *name, void *buffer, uint32_t *size)
{
    static StoreValue value;

    if (key->handle == NULL || !FindValue((const StoreFile *)key->handle, name, &value))
        return STORE_FAILED;
    if (value.size > *size) {
        *size = value.size;
        return STORE_FAILED;
    }
    memcpy(buffer, value.bytes, value.size);
    *size = value.size;
    return STORE_OK;
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
