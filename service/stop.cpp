// The orderly stop: nothing more is accepted or read than what has reached
// this host, the connections waiting in the listen backlog included; what
// was read runs, or with a spool is kept there for the restart; running
// statements finish with their lines; the sessions close their
// connections; and a stop that takes longer than "Stop Timeout" says what
// became of each statement it could not wait for.
#include "loop.h"
#include "counters.h"
#include "settings.h"

#include "platform.h"
#include "spool.h"

void BeginStop(void)
{
    ConsoleLine("Stopping\n");
    // Connections the host has completed and queued are taken before the
    // listener closes, which would reset them unread: each is admitted or
    // denied as ever and read as a client at a stop, whatever "Max
    // Clients" says, as far as there are slots.
    if (serviceLoop.listener != NET_INVALID_SOCKET) {
        while (serviceLoop.clientCount < MAX_CLIENTS_LIMIT && AcceptClient())
            continue;
        NetCloseClient(serviceLoop.listener);
        serviceLoop.listener = NET_INVALID_SOCKET;
    }
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++)
        if (serviceLoop.clients[slot].inUse)
            serviceLoop.clients[slot].framing.receiveLimit = NetBytesWaiting(serviceLoop.clients[slot].sock);
    serviceLoop.stopBound = ClockMs() + (int64_t)serviceSettings.stopTimeout * 1000;
    serviceLoop.stopping = STOP_DRAINING;
    StopKeepingSessions();
}

// Closes a client as its peer closing would: a statement it was still
// sending is logged as not executed; one that waits or runs has its own
// lines already.
static void CloseAtStop(Client *client)
{
    ConsoleSetClient(client->peer);
    if (client->waiting)
        NextStatement(&client->framing, 0);
    EndStatementRead(client->sock, client->statement, &client->framing);
    EndClient(client);
    ConsoleSetClient("");
}

void ReadAtStop(void)
{
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++) {
        Client *client = &serviceLoop.clients[slot];
        if (!client->inUse || client->waiting)
            continue;
        ReadClient(client, ClockMs());
        if (client->inUse && !client->waiting)
            CloseAtStop(client);
    }
}

// A client's statement the stop cannot wait for: kept in the spool when
// there is one, else said to be lost. `announce` writes its Query line,
// which a session that took it has written already.
static void LeaveUnrun(Client *client, const char *text, int announce)
{
    ConsoleSetClient(client->peer);
    if (announce)
        WriteQueryLine(text);
    if (spool.file != FILE_NONE) {
        SpoolStatement(text);
    } else {
        serviceCounters.dropped[DROP_STOPPING]++;
        ConsoleLine("Service stopping, statement not executed.\n");
    }
    ConsoleSetClient("");
}

// What a client the stop can no longer wait for holds past the statement it
// ran or waited with: each whole statement in its buffer, and in what had
// reached the host when the stop began, is kept or said to be lost as that
// one was; what is left of one not whole is logged as when the peer closes.
static void LeaveBuffered(Client *client)
{
    int64_t now = ClockMs();
    int read;

    do {
        NextTurn(client);
        ConsoleSetClient(client->peer);
        read = ReadStatementBytes(client->sock, client->statement, STATEMENT_MAX, &client->framing, now);
        if (read == READ_COMPLETE) {
            serviceCounters.statementsRead++;
            client->waiting = 1;
            if (!DropIfNotWhole(client))
                LeaveUnrun(client, client->statement, 1);
        }
        ConsoleSetClient("");
    } while (read == READ_COMPLETE);
    if (read == READ_ENDED)
        EndClient(client);
}

// At "Stop Timeout": what finished meanwhile is taken as usual; every
// statement that has not reached the database is taken back from the
// sessions and, with those waiting for their turn and whole ones in their
// clients' buffers, kept or said to be lost; every one that may have is
// said to be of unknown outcome (a replay's is taken from the spool, never
// to run again); and every client is closed.
static void GiveUpWaiting(void)
{
    static Job unsent[MAX_DATABASE_SESSIONS];
    static int held[MAX_CLIENTS_LIMIT];
    int queued;
    int count;
    int heldCount = 0;

    TakeFinishedJobs();
    count = TakeBackUnsentJobs(unsent, &queued);
    for (int i = 0; i < count; i++) {
        serviceLoop.jobsOut--;
        if (unsent[i].client < 0) {
            // Still the spool's first: it runs after the restart.
            serviceLoop.replayOut = 0;
            continue;
        }
        serviceLoop.clients[unsent[i].client].running = 0;
        LeaveUnrun(&serviceLoop.clients[unsent[i].client], unsent[i].text, i < queued);
        held[heldCount++] = unsent[i].client;
    }
    for (; serviceLoop.turnCount > 0; serviceLoop.turnCount--) {
        Client *client = &serviceLoop.clients[serviceLoop.turns[serviceLoop.turnHead]];
        if (!DropIfNotWhole(client))
            LeaveUnrun(client, client->statement, 1);
        serviceLoop.turnHead = (serviceLoop.turnHead + 1) % MAX_CLIENTS_LIMIT;
        held[heldCount++] = (int)(client - serviceLoop.clients);
    }
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++) {
        Client *client = &serviceLoop.clients[slot];
        if (!client->inUse || !client->running)
            continue;
        serviceCounters.statementsUnknown++;
        ConsoleSetClient(client->peer);
        ConsoleLine("Statement outcome unknown, not retried.\n");
        ConsoleSetClient("");
        held[heldCount++] = slot;
    }
    for (int i = 0; i < heldCount; i++)
        if (serviceLoop.clients[held[i]].inUse)
            LeaveBuffered(&serviceLoop.clients[held[i]]);
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++)
        if (serviceLoop.clients[slot].inUse)
            CloseAtStop(&serviceLoop.clients[slot]);
    if (serviceLoop.replayOut) {
        serviceCounters.statementsUnknown++;
        ConsoleLine("Statement outcome unknown, not retried.\n");
        if (SpoolTakeHead() != 0)
            ConsoleLine("Spool cannot be written: %s\n", FileErrorText());
    }
}

void AdvanceStop(void)
{
    if (serviceLoop.stopping == STOP_DRAINING && serviceLoop.clientCount == 0 && serviceLoop.turnCount == 0 &&
        serviceLoop.jobsOut == 0)
        serviceLoop.stopping = STOP_ENDING;
    if (serviceLoop.stopping == STOP_ENDING && EndSessions() == serviceLoop.sessions) {
        // Every connection is closed.
    } else if (ClockMs() >= serviceLoop.stopBound) {
        if (serviceLoop.stopping == STOP_DRAINING)
            GiveUpWaiting();
    } else {
        return;
    }
    ReportWhenDue(1);
    ConsoleLine("Stopped.\n");
    ConsoleClose();
    // A session still in the driver would run under the libraries'
    // clean-up at exit.
    if (!SessionsLeaveDriver())
        ProcessEndsAtOnce();
    serviceLoop.stopping = STOP_DONE;
}
