// The orderly stop: nothing more is accepted or read than what has reached
// this host; what was read runs, or with a spool is kept there for the
// restart; running statements finish with their lines; the sessions close
// their connections; and a stop that takes longer than "Stop Timeout" says
// what became of each statement it could not wait for.
#include "loop.h"
#include "counters.h"
#include "settings.h"

#include "platform.h"
#include "spool.h"

void BeginStop(void)
{
    ConsoleLine("Stopping\n");
    if (serviceLoop.listener != NET_INVALID_SOCKET) {
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

// At "Stop Timeout": every statement that has not reached the database is
// taken back from the sessions and, with those waiting for their turn,
// kept or said to be lost; every one that may have is said to be of
// unknown outcome (a replay's is taken from the spool, never to run
// again); and every client is closed.
static void GiveUpWaiting(void)
{
    static Job unsent[MAX_DATABASE_SESSIONS];
    int queued;
    int count = TakeBackUnsentJobs(unsent, &queued);

    for (int i = 0; i < count; i++) {
        serviceLoop.jobsOut--;
        if (unsent[i].client < 0) {
            // Still the spool's first: it runs after the restart.
            serviceLoop.replayOut = 0;
            continue;
        }
        serviceLoop.clients[unsent[i].client].running = 0;
        LeaveUnrun(&serviceLoop.clients[unsent[i].client], unsent[i].text, i < queued);
    }
    for (; serviceLoop.turnCount > 0; serviceLoop.turnCount--) {
        Client *client = &serviceLoop.clients[serviceLoop.turns[serviceLoop.turnHead]];
        LeaveUnrun(client, client->statement, 1);
        serviceLoop.turnHead = (serviceLoop.turnHead + 1) % MAX_CLIENTS_LIMIT;
    }
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++) {
        Client *client = &serviceLoop.clients[slot];
        if (!client->inUse)
            continue;
        if (client->running) {
            serviceCounters.statementsUnknown++;
            ConsoleSetClient(client->peer);
            ConsoleLine("Statement outcome unknown, not retried.\n");
        }
        CloseAtStop(client);
    }
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
    serviceLoop.stopping = STOP_DONE;
}
