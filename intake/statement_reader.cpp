// The statement reader: bytes taken off a connection as many as have
// arrived, up to a kilobyte, the dialect's lexer deciding byte by byte
// where a statement ends, the waiting-time and length bounds, and the
// console lines for each way a read can end without a statement.
#include "statement_reader.h"

#include <string.h>

StatementWaits statementWaits = {90000, 30000};
int statementReceiveSize = RECEIVE_MAX;

void WriteQueryLine(const char *statement)
{
    ConsoleQuoted("query", "Query: ", statement);
}

void StartFraming(StatementFraming *framing, int dialect, int64_t now)
{
    framing->lexer.dialect = dialect;
    framing->lexer.reading = 0;
    framing->lexer.report = NULL;
    framing->receiveLimit = -1;
    framing->endedIncomplete = 0;
    framing->receivedAt = framing->receivedEnd = 0;
    NextStatement(framing, now);
}

void NextStatement(StatementFraming *framing, int64_t now)
{
    StartStatement(&framing->lexer);
    framing->length = 0;
    framing->isCut = 0;
    framing->dropping = 0;
    framing->deadline = now + statementWaits.firstMs;
}

void DropStatement(StatementFraming *framing, int64_t now)
{
    framing->dropping = 1;
    framing->deadline = now + statementWaits.nextMs;
}

// Whether the reader waits for a statement's first byte (not inside a
// statement, nor in the rest of a cut one).
static int AwaitsFirstByte(const StatementFraming *framing)
{
    return framing->length == 0 && !framing->dropping;
}

// Writes why a connection ended without a statement: `result` is what the
// last receive gave, or NET_RECV_EMPTY when the wait ran out. What was read
// of a statement is logged first, as not executed.
static void ReportEnd(NetSocket sock, char *buffer, StatementFraming *framing, int result)
{
    int first = AwaitsFirstByte(framing);

    framing->endedIncomplete = !framing->dropping && HasStatementText(&framing->lexer);
    if (framing->endedIncomplete) {
        buffer[framing->length] = '\0';
        WriteQueryLine(buffer);
        ConsoleLine("Statement incomplete, not executed.\n");
    }
    if (result == 0)
        ConsoleLine("Peer closed connection.\n");
    else if (result == NET_RECV_EMPTY && first)
        ConsoleLine("recv(%u) initial timed out.\n", NetSocketNumber(sock));
    else if (result == NET_RECV_EMPTY)
        ConsoleLine("recv(%u) next timed out\n", NetSocketNumber(sock));
    else if (first)
        ConsoleLine("recv(%u) initial failed %s\n", NetSocketNumber(sock), NetLastErrorText());
    else
        ConsoleLine("recv(%u) next failed %s\n", NetSocketNumber(sock), NetLastErrorText());
}

int BytesReceived(const StatementFraming *framing)
{
    return framing->receivedAt < framing->receivedEnd;
}

// Refills the received bytes from `sock`, within receiveLimit: the count
// taken, or what NetReceive answered.
static int Receive(NetSocket sock, StatementFraming *framing)
{
    int size = statementReceiveSize;
    int result;

    if (framing->receiveLimit == 0)
        return NET_RECV_EMPTY;
    if (framing->receiveLimit > 0 && framing->receiveLimit < size)
        size = (int)framing->receiveLimit;
    result = NetReceive(sock, framing->received, size);
    if (result > 0 && framing->receiveLimit > 0)
        framing->receiveLimit -= result;
    framing->receivedAt = 0;
    framing->receivedEnd = result > 0 ? result : 0;
    return result;
}

int ReadStatementBytes(NetSocket sock, char *buffer, int capacity, StatementFraming *framing, int64_t now)
{
    for (;;) {
        if (!BytesReceived(framing)) {
            int result = Receive(sock, framing);
            if (result == NET_RECV_EMPTY)
                return READ_WAITING;
            if (result <= 0) {
                ReportEnd(sock, buffer, framing, result);
                return READ_ENDED;
            }
        }
        char byte = framing->received[framing->receivedAt++];
        framing->deadline = now + statementWaits.nextMs;
        if (framing->dropping) {
            if (EndsStatement(&framing->lexer, (unsigned char)byte))
                NextStatement(framing, now);
            continue;
        }
        buffer[framing->length++] = byte;
        int ends = EndsStatement(&framing->lexer, (unsigned char)byte);
        int dropped = DropLeadingBytes(&framing->lexer);
        if (dropped > 0) {
            framing->length -= dropped;
            memmove(buffer, buffer + dropped, (size_t)framing->length);
        }
        if (ends || framing->length >= capacity) {
            framing->isCut = !ends;
            buffer[framing->length] = '\0';
            return READ_COMPLETE;
        }
    }
}

int ReadProxyHeader(NetSocket sock, ProxyHeader *header, StatementFraming *framing)
{
    int result = PROXY_HEADER_MORE;
    int taken;

    while (result == PROXY_HEADER_MORE) {
        if (!BytesReceived(framing)) {
            int got = framing->receiveLimit == 0 ? 0 : Receive(sock, framing);
            if (got == NET_RECV_EMPTY)
                return PROXY_HEADER_MORE;
            if (got <= 0)
                return PROXY_HEADER_REFUSED;
        }
        result = TakeProxyHeaderBytes(header, framing->received + framing->receivedAt,
                                      framing->receivedEnd - framing->receivedAt, &taken);
        framing->receivedAt += taken;
    }
    return result;
}

void EndStatementWait(NetSocket sock, char *buffer, StatementFraming *framing)
{
    ReportEnd(sock, buffer, framing, NET_RECV_EMPTY);
}

void EndStatementRead(NetSocket sock, char *buffer, StatementFraming *framing)
{
    ReportEnd(sock, buffer, framing, 0);
}
