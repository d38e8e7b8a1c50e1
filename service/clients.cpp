// The clients being served: admission, each client's statements read as
// their bytes come, each client's own waits, and the turns in which their
// statements run. Serving one client at a time is the same loop with a
// limit of one.
#include "service.h"

#include "spool.h"

#include <stdio.h>
#include <string.h>

// How long a failed accept (out of descriptors, say) rests the listener,
// so that the loop does not spin on it.
#define ACCEPT_PAUSE_MS 100

ServiceLoop serviceLoop = {1, SQL_DIALECT_PLAIN, 0, 0, -1, 0, 0, 0, {0}, 0, 0, {}};

// The clients' clock: time spent running statements does not count.
static int64_t ServiceClock(void)
{
    return ClockMs() - serviceLoop.busyMs;
}

static Client *TakeSlot(void)
{
    int slot = 0;
    while (slot < serviceLoop.slotsUsed && serviceLoop.clients[slot].inUse)
        slot++;
    if (slot == serviceLoop.slotsUsed)
        serviceLoop.slotsUsed++;
    return &serviceLoop.clients[slot];
}

static void EndClient(Client *client)
{
    NetCloseClient(client->sock);
    client->inUse = 0;
    serviceLoop.clientCount--;
}

void AdmitClient(NetSocket sock, uint32_t address, uint16_t port)
{
    char peer[16];
    Client *client = TakeSlot();

    NetFormatAddress(address, peer);
    client->prefix[0] = '\0';
    if (serviceLoop.maxClients > 1)
        snprintf(client->prefix, sizeof client->prefix, "[%s:%u] ", peer, (unsigned)port);
    ConsoleSetPrefix(client->prefix);
    ConsoleLine("Incoming connection from %s\n", peer);
    if (IsPeerAdmitted(address)) {
        client->inUse = 1;
        client->waiting = 0;
        client->sock = sock;
        StartFraming(&client->framing, serviceLoop.dialect, ServiceClock());
        serviceLoop.clientCount++;
    } else {
        ConsoleLine("Access denied\n");
        NetCloseClient(sock);
    }
    ConsoleSetPrefix("");
}

// Takes the bytes waiting from a client; a whole statement joins the turns.
static void ReadClient(Client *client, int64_t now)
{
    ConsoleSetPrefix(client->prefix);
    switch (ReadStatementBytes(client->sock, client->statement, STATEMENT_MAX, &client->framing, now)) {
    case READ_COMPLETE:
        client->waiting = 1;
        serviceLoop.turns[(serviceLoop.turnHead + serviceLoop.turnCount++) % MAX_CLIENTS_LIMIT] =
            (int)(client - serviceLoop.clients);
        break;
    case READ_ENDED:
        EndClient(client);
        break;
    default:
        break;
    }
    ConsoleSetPrefix("");
}

// A statement in its turn: logged, then run unless it is not whole.
static void HandleStatement(Client *client)
{
    const char *text = StatementText(client->statement, &client->framing);

    WriteQueryLine(text);
    if (client->framing.isCut)
        ConsoleLine("Statement exceeds %d bytes, not executed.\n", STATEMENT_MAX);
    else if (memchr(client->statement, '\0', (size_t)client->framing.length) != NULL)
        ConsoleLine("Statement contains a NUL byte, not executed.\n");
    else
        RunStatement(text);
}

// Runs the statement whose turn it is; its client then reads on.
static void RunTurn(void)
{
    int index = serviceLoop.turns[serviceLoop.turnHead];
    Client *client = &serviceLoop.clients[index];
    int64_t started = ClockMs();

    serviceLoop.turnHead = (serviceLoop.turnHead + 1) % MAX_CLIENTS_LIMIT;
    serviceLoop.turnCount--;
    serviceLoop.current = index;
    ConsoleSetPrefix(client->prefix);
    HandleStatement(client);
    ConsoleSetPrefix("");
    serviceLoop.current = -1;
    serviceLoop.busyMs += ClockMs() - started;

    client->waiting = 0;
    if (client->framing.isCut)
        DropStatement(&client->framing, ServiceClock());
    else
        NextStatement(&client->framing, ServiceClock());
}

static void AcceptClient(NetSocket listener)
{
    uint32_t address = 0;
    uint16_t port = 0;
    NetSocket sock = NetAccept(listener, &address, &port);

    if (sock == NET_INVALID_SOCKET)
        serviceLoop.acceptAfter = ClockMs() + ACCEPT_PAUSE_MS;
    else
        AdmitClient(sock, address, port);
}

// Keeps in *wait the sooner of it and `in` milliseconds from now; -1 in
// *wait is no limit yet.
static void WaitAtMost(int64_t *wait, int64_t in)
{
    if (in < 0)
        in = 0;
    if (*wait < 0 || in < *wait)
        *wait = in;
}

static void TimeOutClient(Client *client)
{
    ConsoleSetPrefix(client->prefix);
    EndStatementWait(client->sock, client->statement, &client->framing);
    EndClient(client);
    ConsoleSetPrefix("");
}

void ServeOnce(NetSocket listener)
{
    static NetWaitEntry entries[NET_WAIT_MAX];
    static Client *owners[NET_WAIT_MAX];  // NULL for the listener
    int64_t now = ServiceClock();
    int64_t wait = -1;
    int count = 0;

    if (listener != NET_INVALID_SOCKET && serviceLoop.clientCount < (int)serviceLoop.maxClients) {
        if (ClockMs() >= serviceLoop.acceptAfter) {
            entries[count].sock = listener;
            owners[count++] = NULL;
        } else {
            WaitAtMost(&wait, serviceLoop.acceptAfter - ClockMs());
        }
    }
    // A client whose statement waits for its turn is not read meanwhile.
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++) {
        Client *client = &serviceLoop.clients[slot];
        if (!client->inUse || client->waiting)
            continue;
        entries[count].sock = client->sock;
        owners[count++] = client;
        WaitAtMost(&wait, client->framing.deadline - now);
    }
    if (spool.waiting > 0)
        WaitAtMost(&wait, serviceLoop.replayAt - ClockMs());
    if (serviceLoop.turnCount > 0)
        WaitAtMost(&wait, 0);
    if (NetWait(entries, count, wait > 0x7FFFFFFF ? 0x7FFFFFFF : (int)wait) < 0)
        memset(entries, 0, sizeof entries[0] * (size_t)count);

    // Bytes that wait are taken before any wait is judged, so that a client
    // whose bytes are in its socket is never cut off.
    now = ServiceClock();
    for (int i = 0; i < count; i++) {
        if (owners[i] == NULL) {
            if (entries[i].ready)
                AcceptClient(listener);
        } else if (entries[i].ready) {
            ReadClient(owners[i], now);
        } else if (owners[i]->framing.deadline <= now) {
            TimeOutClient(owners[i]);
        }
    }
    if (serviceLoop.turnCount > 0)
        RunTurn();
    if (spool.waiting > 0 && ClockMs() >= serviceLoop.replayAt) {
        int64_t started = ClockMs();
        ReplaySpooled();
        serviceLoop.busyMs += ClockMs() - started;
    }
}
