// Console lines, the same on every platform: each line is formatted whole
// and handed to standard output in one piece, under the stream's own lock,
// so that lines written by several threads never mix.
#include "platform.h"

#include <mutex>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Longer than any line the service writes: a Query line holds at most 1000
// bytes of statement.
#define CONSOLE_LINE_MAX 2048
#define CONSOLE_PREFIX_MAX 64

// Each thread has its own prefix: the loop writes for one client while a
// database session writes for another.
static thread_local char consolePrefix[CONSOLE_PREFIX_MAX];
static thread_local int consolePrefixLength;

// Under the lock a line is written whole or, once the console is closed,
// not at all: no line can follow the last.
static std::mutex consoleLock;
static int consoleClosed;

void ConsoleClose(void)
{
    std::lock_guard<std::mutex> hold(consoleLock);
    consoleClosed = 1;
}

void ConsoleSetPrefix(const char *prefix)
{
    snprintf(consolePrefix, sizeof consolePrefix, "%s", prefix);
    consolePrefixLength = (int)strlen(consolePrefix);
}

void ConsoleLine(const char *format, ...)
{
    char line[CONSOLE_LINE_MAX];
    va_list args;
    int length;

    memcpy(line, consolePrefix, (size_t)consolePrefixLength);
    va_start(args, format);
    length = consolePrefixLength + vsnprintf(line + consolePrefixLength, sizeof line - consolePrefixLength, format, args);
    va_end(args);
    // A line cut at the limit still ends as a line.
    if (length >= (int)sizeof line)
        line[sizeof line - 2] = '\n';
    std::lock_guard<std::mutex> hold(consoleLock);
    if (!consoleClosed)
        fputs(line, stdout);
}

void ConsoleText(const char *lead, const char *text, int length)
{
    int start = 0;

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
