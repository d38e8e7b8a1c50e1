// The statement reader: one receive per byte, quote parity tracking, the
// waiting-time and length bounds, and the console line for each way a read
// can end without a statement.
#include "statement_reader.h"

#include <stdio.h>

// A quote of one kind counts only outside text quoted with the other kind;
// a semicolon ends a statement only where both counts are even. Only the
// parity of a count matters, so it is kept as 0 or 1 and cannot overflow on
// however long a rest is dropped.
static void CountQuote(char byte, int *doubleQuotes, int *singleQuotes)
{
    if (byte == '"' && *singleQuotes % 2 == 0)
        *doubleQuotes ^= 1;
    else if (byte == '\'' && *doubleQuotes % 2 == 0)
        *singleQuotes ^= 1;
}

static int IsStatementEnd(char byte, int doubleQuotes, int singleQuotes)
{
    return byte == ';' && doubleQuotes % 2 == 0 && singleQuotes % 2 == 0;
}

// Writes why a receive brought no byte. `first` tells the wait for a
// statement's first byte from the wait inside one.
static void ReportReceiveEnd(NetSocket sock, int result, int first)
{
    if (result == 0)
        printf("Peer closed connection.\n");
    else if (result == NET_RECV_TIMEOUT && first)
        printf("recv(%u) initial timed out.\n", NetSocketNumber(sock));
    else if (result == NET_RECV_TIMEOUT)
        printf("recv(%u) next timed out\n", NetSocketNumber(sock));
    else if (first)
        printf("recv(%u) initial failed %s\n", NetSocketNumber(sock), NetLastErrorText());
    else
        printf("recv(%u) next failed %s\n", NetSocketNumber(sock), NetLastErrorText());
}

int ReadStatementWaiting(NetSocket sock, char *buffer, int capacity, StatementCut *cut, uint32_t firstWaitMs,
                         uint32_t nextWaitMs)
{
    int doubleQuotes = 0;
    int singleQuotes = 0;
    int length;
    int result;

    cut->isCut = 0;
    NetSetReceiveTimeout(sock, firstWaitMs);
    result = NetReceiveByte(sock, &buffer[0]);
    if (result != 1) {
        ReportReceiveEnd(sock, result, 1);
        return -1;
    }
    CountQuote(buffer[0], &doubleQuotes, &singleQuotes);
    NetSetReceiveTimeout(sock, nextWaitMs);

    for (length = 1;; length++) {
        if (IsStatementEnd(buffer[length - 1], doubleQuotes, singleQuotes))
            break;
        if (length >= capacity) {
            cut->isCut = 1;
            cut->doubleQuotes = doubleQuotes;
            cut->singleQuotes = singleQuotes;
            break;
        }
        result = NetReceiveByte(sock, &buffer[length]);
        if (result != 1) {
            ReportReceiveEnd(sock, result, 0);
            return -1;
        }
        CountQuote(buffer[length], &doubleQuotes, &singleQuotes);
    }
    buffer[length] = '\0';
    return length;
}

int DropStatementRestWaiting(NetSocket sock, const StatementCut *cut, uint32_t nextWaitMs)
{
    int doubleQuotes = cut->doubleQuotes;
    int singleQuotes = cut->singleQuotes;
    char byte;

    NetSetReceiveTimeout(sock, nextWaitMs);
    do {
        int result = NetReceiveByte(sock, &byte);
        if (result != 1) {
            ReportReceiveEnd(sock, result, 0);
            return -1;
        }
        CountQuote(byte, &doubleQuotes, &singleQuotes);
    } while (!IsStatementEnd(byte, doubleQuotes, singleQuotes));
    return 0;
}

int ReadStatement(NetSocket sock, char *buffer, int capacity, StatementCut *cut)
{
    return ReadStatementWaiting(sock, buffer, capacity, cut, STATEMENT_FIRST_WAIT_MS, STATEMENT_NEXT_WAIT_MS);
}

int DropStatementRest(NetSocket sock, const StatementCut *cut)
{
    return DropStatementRestWaiting(sock, cut, STATEMENT_NEXT_WAIT_MS);
}
