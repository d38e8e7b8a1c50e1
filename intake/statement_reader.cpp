// The statement reader: one receive per byte, the dialect's lexer deciding
// where a statement ends, the waiting-time and length bounds, and the
// console lines for each way a read can end without a statement.
#include "statement_reader.h"

#include <stdio.h>

void WriteQueryLine(const char *statement)
{
    ConsoleLine("Query: \"%s\"\n", statement);
}

// Writes why a receive brought no byte. `first` tells the wait for a
// statement's first byte from the wait inside one.
static void ReportReceiveEnd(NetSocket sock, int result, int first)
{
    if (result == 0)
        ConsoleLine("Peer closed connection.\n");
    else if (result == NET_RECV_TIMEOUT && first)
        ConsoleLine("recv(%u) initial timed out.\n", NetSocketNumber(sock));
    else if (result == NET_RECV_TIMEOUT)
        ConsoleLine("recv(%u) next timed out\n", NetSocketNumber(sock));
    else if (first)
        ConsoleLine("recv(%u) initial failed %s\n", NetSocketNumber(sock), NetLastErrorText());
    else
        ConsoleLine("recv(%u) next failed %s\n", NetSocketNumber(sock), NetLastErrorText());
}

int ReadStatementWaiting(NetSocket sock, char *buffer, int capacity, StatementFraming *framing,
                         uint32_t firstWaitMs, uint32_t nextWaitMs)
{
    StatementLexer *lexer = &framing->lexer;
    int length;
    int result;

    framing->isCut = 0;
    StartStatement(lexer);
    NetSetReceiveTimeout(sock, firstWaitMs);
    result = NetReceiveByte(sock, &buffer[0]);
    if (result != 1) {
        ReportReceiveEnd(sock, result, 1);
        return -1;
    }
    NetSetReceiveTimeout(sock, nextWaitMs);

    for (length = 1;; length++) {
        if (EndsStatement(lexer, (unsigned char)buffer[length - 1]))
            break;
        if (length >= capacity) {
            framing->isCut = 1;
            break;
        }
        result = NetReceiveByte(sock, &buffer[length]);
        if (result != 1) {
            // The line breaks (and, in a dialect, comments) after a
            // client's last statement are no statement.
            if (HasStatementText(lexer)) {
                buffer[length] = '\0';
                WriteQueryLine(buffer + StatementTextStart(lexer));
                ConsoleLine("Statement incomplete, not executed.\n");
            }
            ReportReceiveEnd(sock, result, 0);
            return -1;
        }
    }
    buffer[length] = '\0';
    return length;
}

int DropStatementRestWaiting(NetSocket sock, StatementFraming *framing, uint32_t nextWaitMs)
{
    char byte;

    NetSetReceiveTimeout(sock, nextWaitMs);
    do {
        int result = NetReceiveByte(sock, &byte);
        if (result != 1) {
            ReportReceiveEnd(sock, result, 0);
            return -1;
        }
    } while (!EndsStatement(&framing->lexer, (unsigned char)byte));
    return 0;
}

int ReadStatement(NetSocket sock, char *buffer, int capacity, StatementFraming *framing)
{
    return ReadStatementWaiting(sock, buffer, capacity, framing, STATEMENT_FIRST_WAIT_MS, STATEMENT_NEXT_WAIT_MS);
}

int DropStatementRest(NetSocket sock, StatementFraming *framing)
{
    return DropStatementRestWaiting(sock, framing, STATEMENT_NEXT_WAIT_MS);
}
