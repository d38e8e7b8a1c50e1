// Console lines, the same on every platform: each line is formatted whole
// and handed to standard output in one piece, under one lock, so that lines
// written by several threads never mix. A line is plain text, as it always
// was, or with "Log Format" json one JSON object whose strings are escaped
// so that no text of a client's can start a line or forge one.
#include "platform.h"

#include <mutex>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Longer than any plain line the service writes: a Query line holds at most
// 1000 bytes of statement. A JSON line escapes each such byte in up to six.
#define CONSOLE_LINE_MAX 2048
#define CONSOLE_JSON_MAX 8192
#define CONSOLE_CLIENT_MAX 48
#define CONSOLE_EVENT_MAX 64

// Each thread has its own client: the loop writes for one client while a
// database session writes for another.
static thread_local char consoleClient[CONSOLE_CLIENT_MAX];
static int consoleShowsClients;
static int consoleJson;

// Under the lock a line is written whole or, once the console is closed,
// not at all: no line can follow the last.
static std::mutex consoleLock;
static int consoleClosed;

void ConsoleClose(void)
{
    std::lock_guard<std::mutex> hold(consoleLock);
    consoleClosed = 1;
}

void ConsoleSetForm(int showClients, int json)
{
    consoleShowsClients = showClients;
    consoleJson = json;
}

int ConsoleIsJson(void)
{
    return consoleJson;
}

void ConsoleSetClient(const char *client)
{
    snprintf(consoleClient, sizeof consoleClient, "%s", client);
}

static void Put(const char *line)
{
    std::lock_guard<std::mutex> hold(consoleLock);
    if (!consoleClosed)
        fputs(line, stdout);
}

// A growing JSON line in a caller's buffer; once full, it takes nothing
// more and is never written.
typedef struct JsonLine {
    char *text;
    int size;
    int length;
} JsonLine;

static void AddRaw(JsonLine *line, const char *bytes, int count)
{
    if (line->length + count >= line->size) {
        line->length = line->size;
        return;
    }
    memcpy(line->text + line->length, bytes, (size_t)count);
    line->length += count;
}

// How many bytes of a well-formed UTF-8 sequence start at `bytes` (at most
// `left`): 1 to 4, or 0 when the byte there begins none (overlong forms,
// surrogates and code points past U+10FFFF are not well-formed).
static int Utf8Length(const unsigned char *bytes, int left)
{
    unsigned char lead = bytes[0];
    int count = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (count == 0 || count > left)
        return 0;
    for (int i = 1; i < count; i++)
        if ((bytes[i] & 0xC0) != 0x80)
            return 0;
    if ((lead == 0xE0 && bytes[1] < 0xA0) || (lead == 0xED && bytes[1] > 0x9F) || (lead == 0xF0 && bytes[1] < 0x90) ||
        (lead == 0xF4 && bytes[1] > 0x8F))
        return 0;
    return count;
}

// Adds `length` bytes as a JSON string. Quotes, backslashes, control bytes
// and DEL are escaped; a byte that is no part of well-formed UTF-8 becomes
// the lone surrogate \udcXX, as Python's "surrogateescape" decodes it, so
// that the exact bytes can be had back.
static void AddString(JsonLine *line, const char *text, int length)
{
    const unsigned char *bytes = (const unsigned char *)text;
    char escape[8];

    AddRaw(line, "\"", 1);
    for (int at = 0; at < length;) {
        unsigned char byte = bytes[at];
        int count = Utf8Length(bytes + at, length - at);
        if (count > 1) {
            AddRaw(line, text + at, count);
            at += count;
            continue;
        }
        if (count == 0)
            snprintf(escape, sizeof escape, "\\udc%02x", byte);
        else if (byte == '"' || byte == '\\')
            snprintf(escape, sizeof escape, "\\%c", byte);
        else if (byte == '\n')
            snprintf(escape, sizeof escape, "\\n");
        else if (byte == '\r')
            snprintf(escape, sizeof escape, "\\r");
        else if (byte == '\t')
            snprintf(escape, sizeof escape, "\\t");
        else if (byte < 0x20 || byte == 0x7F)
            snprintf(escape, sizeof escape, "\\u%04x", byte);
        else
            snprintf(escape, sizeof escape, "%c", byte);
        AddRaw(line, escape, (int)strlen(escape));
        at++;
    }
    AddRaw(line, "\"", 1);
}

static void AddField(JsonLine *line, const char *name, const char *value, int length)
{
    AddRaw(line, ",", 1);
    AddString(line, name, (int)strlen(name));
    AddRaw(line, ":", 1);
    AddString(line, value, length);
}

// The event a plain line's format names: its words up to a colon,
// conversions and punctuation left out, lower-cased and joined by "_"
// ("Incoming connection from %s" is incoming_connection_from, "Spool %s
// cannot be opened: %s" spool_cannot_be_opened), so that it stays what the
// line says.
static void EventOf(const char *format, char event[CONSOLE_EVENT_MAX])
{
    int length = 0;
    int word = 0;

    for (const char *c = format; *c != '\0' && *c != ':' && length < CONSOLE_EVENT_MAX - 2; c++) {
        if (*c == '%') {
            c++;
            while (*c != '\0' && strchr("0123456789.*-l", *c) != NULL)
                c++;
            if (*c == '\0')
                break;
            word = 0;
        } else if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9')) {
            if (!word && length > 0)
                event[length++] = '_';
            event[length++] = (char)(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
            word = 1;
        } else {
            word = 0;
        }
    }
    event[length] = '\0';
}

// Writes a JSON line: the time, the client, the event and the fields, which
// come in name and value pairs, each value of its given length.
static void PutJson(const char *event, const ConsoleField *fields, int count)
{
    char text[CONSOLE_JSON_MAX];
    char time[32];
    JsonLine line = {text, (int)sizeof text, 0};

    ClockUtcText(time);
    AddRaw(&line, "{\"time\":", 8);
    AddString(&line, time, (int)strlen(time));
    if (consoleClient[0] != '\0')
        AddField(&line, "client", consoleClient, (int)strlen(consoleClient));
    AddField(&line, "event", event, (int)strlen(event));
    for (int i = 0; i < count; i++)
        AddField(&line, fields[i].name, fields[i].value, fields[i].length);
    AddRaw(&line, "}\n", 2);
    if (line.length < line.size) {
        text[line.length] = '\0';
        Put(text);
    }
}

static void PutPlain(const char *format, va_list args)
{
    char line[CONSOLE_LINE_MAX];
    int length = 0;

    if (consoleShowsClients && consoleClient[0] != '\0')
        length = snprintf(line, sizeof line, "[%s] ", consoleClient);
    length += vsnprintf(line + length, sizeof line - (size_t)length, format, args);
    // A line cut at the limit still ends as a line.
    if (length >= (int)sizeof line)
        line[sizeof line - 2] = '\n';
    Put(line);
}

void ConsoleLine(const char *format, ...)
{
    va_list args;

    va_start(args, format);
    if (consoleJson) {
        char message[CONSOLE_LINE_MAX];
        char event[CONSOLE_EVENT_MAX];
        int length = vsnprintf(message, sizeof message, format, args);
        if (length >= (int)sizeof message)
            length = (int)sizeof message - 1;
        // The line feed ends the plain line; the JSON line has its own.
        if (length > 0 && message[length - 1] == '\n')
            length--;
        ConsoleField field = {"message", message, length};
        EventOf(format, event);
        PutJson(event, &field, 1);
    } else {
        PutPlain(format, args);
    }
    va_end(args);
}

void ConsoleQuoted(const char *event, const char *lead, const char *text)
{
    if (consoleJson) {
        ConsoleField field = {"text", text, (int)strlen(text)};
        PutJson(event, &field, 1);
    } else {
        ConsoleLine("%s\"%s\"\n", lead, text);
    }
}

void ConsoleText(const char *event, const char *lead, const char *text, int length, const ConsoleField *fields,
                 int count)
{
    int start = 0;

    if (consoleJson) {
        ConsoleField all[8];
        int used = 0;
        for (; used < count && used < 7; used++)
            all[used] = fields[used];
        all[used++] = {"message", text, length};
        PutJson(event, all, used);
        return;
    }
    for (int at = 0; at <= length; at++) {
        if (at < length && text[at] != '\n')
            continue;
        // A line break that ends the text opens no line of its own.
        if (at == length && start == length && start > 0)
            break;
        ConsoleLine("%s%.*s\n", start == 0 ? lead : "  ", at - start, text + start);
        start = at + 1;
    }
}
