// The clients being served: admission, each client's statements read as
// their bytes come, each client's own waits, and the turns in which their
// statements run. Serving one client at a time is the same loop with a
// limit of one.
#include "loop.h"
#include "counters.h"
#include "proxy.h"
#include "settings.h"

#include "spool.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

// How long a failed accept (out of descriptors, say) rests the listener,
// so that the loop does not spin on it.
#define ACCEPT_PAUSE_MS 100

ServiceLoop serviceLoop = {1, SQL_DIALECT_PLAIN, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, NET_INVALID_SOCKET,
                           NET_INVALID_SOCKET, STOP_NONE, 0, {0}, 0, 0, {}};

// With one session the clients' clock stands still while it runs a
// client's statement, so that one client's statement costs no other its
// wait; a replay never stops it. With more sessions the clock is real time.
static int ClockStopped(void)
{
    return serviceLoop.sessions == 1 && serviceLoop.jobsOut > 0 && !serviceLoop.replayOut;
}

static int64_t ServiceClock(void)
{
    return (ClockStopped() ? serviceLoop.busySince : ClockMs()) - serviceLoop.busyMs;
}

void SubmitStatement(const Job *job)
{
    if (serviceLoop.sessions == 1 && job->client >= 0)
        serviceLoop.busySince = ClockMs();
    serviceLoop.jobsOut++;
    SubmitJob(job);
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

void EndClient(Client *client)
{
    if (client->framing.endedIncomplete)
        serviceCounters.dropped[DROP_INCOMPLETE]++;
    NetCloseClient(client->sock);
    client->inUse = 0;
    serviceLoop.clientCount--;
}

// Names the client "address:port"; `dotted` gets the address alone.
static void NamePeer(Client *client, uint32_t address, uint16_t port, char dotted[16])
{
    NetFormatAddress(address, dotted);
    snprintf(client->peer, sizeof client->peer, "%s:%u", dotted, (unsigned)port);
}

void AdmitClient(NetSocket sock, uint32_t address, uint16_t port)
{
    char proxy[16];
    Client *client = TakeSlot();

    client->inUse = 1;
    client->waiting = 0;
    client->running = 0;
    client->sock = sock;
    // From the connection on: a PROXY header, when one comes first, counts
    // toward the first statement's wait.
    StartFraming(&client->framing, serviceLoop.dialect, ServiceClock());
    serviceLoop.clientCount++;
    client->readingHeader = IsFromProxy(address);
    if (client->readingHeader) {
        NamePeer(client, address, port, proxy);
        StartProxyHeader(&client->header);
    } else {
        AdmitPeer(client, address, port);
    }
}

void AdmitPeer(Client *client, uint32_t address, uint16_t port)
{
    char peer[16];

    NamePeer(client, address, port, peer);
    ConsoleSetClient(client->peer);
    ConsoleLine("Incoming connection from %s\n", peer);
    serviceCounters.clientsConnected++;
    if (IsPeerAdmitted(address)) {
        serviceCounters.clientsAdmitted++;
    } else {
        serviceCounters.clientsDenied++;
        ConsoleLine("Access denied\n");
        EndClient(client);
    }
    ConsoleSetClient("");
}

void ReadClient(Client *client, int64_t now)
{
    if (client->readingHeader && TakeProxyHeader(client) != 0)
        return;
    ConsoleSetClient(client->peer);
    switch (ReadStatementBytes(client->sock, client->statement, STATEMENT_MAX, &client->framing, now)) {
    case READ_COMPLETE:
        serviceCounters.statementsRead++;
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
    ConsoleSetClient("");
}

void NextTurn(Client *client)
{
    client->waiting = 0;
    if (client->framing.isCut)
        DropStatement(&client->framing, ServiceClock());
    else
        NextStatement(&client->framing, ServiceClock());
}

int DropIfNotWhole(Client *client)
{
    if (!client->framing.isCut && memchr(client->statement, '\0', (size_t)client->framing.length) == NULL)
        return 0;
    WriteQueryLine(client->statement);
    serviceCounters.dropped[client->framing.isCut ? DROP_TOO_LONG : DROP_NUL_BYTE]++;
    if (client->framing.isCut)
        ConsoleLine("Statement exceeds %d bytes, not executed.\n", STATEMENT_MAX);
    else
        ConsoleLine("Statement contains a NUL byte, not executed.\n");
    return 1;
}

// The statement whose turn it is: one that is not whole is logged and
// dropped, one that joins the spool is spooled, any other goes to a
// session. Returns 0 when it must wait for a session or for the spool.
static int TakeTurn(void)
{
    Client *client = &serviceLoop.clients[serviceLoop.turns[serviceLoop.turnHead]];
    const char *text = client->statement;
    Job job;

    ConsoleSetClient(client->peer);
    if (DropIfNotWhole(client)) {
        NextTurn(client);
    } else if (spool.file != FILE_NONE && (spool.waiting > 0 || serviceLoop.stopping != STOP_NONE)) {
        // While statements wait in the spool a new one joins them, without a
        // connect of its own, so that the database sees them in the order
        // they came; at a stop, it runs after the restart.
        if (SpoolClientStatement(text) != 0) {
            ConsoleSetClient("");
            return 0;
        }
        NextTurn(client);
    } else {
        if (serviceLoop.jobsOut >= serviceLoop.sessions ||
            (serviceLoop.stopping != STOP_NONE && ClockMs() >= serviceLoop.stopBound)) {
            ConsoleSetClient("");
            return 0;
        }
        client->running = 1;
        job.client = (int)(client - serviceLoop.clients);
        memcpy(job.peer, client->peer, sizeof job.peer);
        snprintf(job.text, sizeof job.text, "%s", text);
        SubmitStatement(&job);
    }
    ConsoleSetClient("");
    serviceLoop.turnHead = (serviceLoop.turnHead + 1) % MAX_CLIENTS_LIMIT;
    serviceLoop.turnCount--;
    return 1;
}

void TakeFinishedJobs(void)
{
    Job job;

    while (TakeFinishedJob(&job)) {
        CountJob(&job);
        if (job.client == JOB_KEPT_CLOSED)
            continue;
        serviceLoop.jobsOut--;
        if (serviceLoop.sessions == 1 && job.client >= 0)
            serviceLoop.busyMs += ClockMs() - serviceLoop.busySince;
        if (job.client < 0)
            serviceLoop.replayOut = 0;
        FinishJob(&job);
        if (job.client >= 0) {
            Client *client = &serviceLoop.clients[job.client];
            client->running = 0;
            NextTurn(client);
            // Its next statement is likely here already: one read, as a
            // turn would give it, without a wait for its socket first.
            ReadClient(client, ServiceClock());
        }
    }
}

int AcceptClient(void)
{
    uint32_t address = 0;
    uint16_t port = 0;
    NetSocket sock = NetAccept(serviceLoop.listener, &address, &port);

    if (sock == NET_INVALID_SOCKET) {
        serviceLoop.acceptAfter = ClockMs() + ACCEPT_PAUSE_MS;
        return 0;
    }
    AdmitClient(sock, address, port);
    return 1;
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
    ConsoleSetClient(client->peer);
    if (client->readingHeader)
        RefuseProxyHeader(client);
    else
        EndStatementWait(client->sock, client->statement, &client->framing);
    EndClient(client);
    ConsoleSetClient("");
}

void ServeOnce(void)
{
    static NetWaitEntry entries[NET_WAIT_MAX];
    static Client *owners[NET_WAIT_MAX];  // NULL for the listener and the wake-up
    NetSocket listener = serviceLoop.listener;
    int stopping;
    int64_t now;
    int64_t wait = -1;
    int count = 0;

    // The stop's first turn does not wait: nothing may be left to wake it.
    if (serviceLoop.stopping == STOP_NONE && StopRequested()) {
        BeginStop();
        wait = 0;
    }
    stopping = serviceLoop.stopping != STOP_NONE;
    now = ServiceClock();
    if (serviceLoop.wake != NET_INVALID_SOCKET) {
        entries[count].sock = serviceLoop.wake;
        owners[count++] = NULL;
    }
    if (listener != NET_INVALID_SOCKET && serviceLoop.clientCount < (int)serviceLoop.maxClients) {
        if (ClockMs() >= serviceLoop.acceptAfter) {
            entries[count].sock = listener;
            owners[count++] = NULL;
        } else {
            WaitAtMost(&wait, serviceLoop.acceptAfter - ClockMs());
        }
    }
    // A client whose statement waits for its turn or runs is not read
    // meanwhile, and its wait does not run. At a stop the others have all
    // their bytes here already and are read without a wait, as is one that
    // has bytes received and not framed.
    for (int slot = 0; slot < serviceLoop.slotsUsed; slot++) {
        Client *client = &serviceLoop.clients[slot];
        if (!client->inUse || client->waiting)
            continue;
        if (stopping) {
            wait = 0;
            continue;
        }
        entries[count].sock = client->sock;
        owners[count++] = client;
        if (BytesReceived(&client->framing))
            wait = 0;
        else if (!ClockStopped())
            WaitAtMost(&wait, client->framing.deadline - now);
    }
    if (stopping)
        WaitAtMost(&wait, serviceLoop.stopBound - ClockMs());
    else if (spool.waiting > 0 && !serviceLoop.replayOut)
        WaitAtMost(&wait, serviceLoop.replayAt - ClockMs());
    if (!stopping && (serviceSettings.metricsFile[0] != '\0' || serviceSettings.statsInterval > 0))
        WaitAtMost(&wait, ReportWhenDue(0));
    if (wait != 0 && !LoopGoesIdle())
        wait = 0;
    if (NetWait(entries, count, wait > 0x7FFFFFFF ? 0x7FFFFFFF : (int)wait) < 0) {
        // Never silent, and never a loop that spins on the failure.
        ConsoleLine("poll() failed %s\n", NetLastErrorText());
        memset(entries, 0, sizeof entries[0] * (size_t)count);
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_PAUSE_MS));
    }
    // The wake-up is the first entry whenever there is one; a session sets
    // it only after its job is in the finished queue, and only while the
    // loop may be blocked: jobs that finished while it was awake are taken
    // all the same.
    LoopWakesUp(serviceLoop.wake != NET_INVALID_SOCKET && entries[0].ready);
    // A stop asked for meanwhile begins in the next turn, before anything
    // more is accepted or read.
    if (!stopping && StopRequested())
        return;
    TakeFinishedJobs();
    // Bytes that wait are taken before any wait is judged, so that a client
    // whose bytes are in its socket is never cut off.
    now = ServiceClock();
    for (int i = 0; i < count; i++) {
        if (owners[i] == NULL) {
            if (entries[i].ready && entries[i].sock == listener && serviceLoop.stopping == STOP_NONE)
                AcceptClient();
        } else if (entries[i].ready || BytesReceived(&owners[i]->framing)) {
            ReadClient(owners[i], now);
        } else if (owners[i]->framing.deadline <= now && !ClockStopped()) {
            TimeOutClient(owners[i]);
        }
    }
    if (stopping)
        ReadAtStop();
    while (serviceLoop.turnCount > 0 && TakeTurn())
        continue;
    if (stopping) {
        AdvanceStop();
    } else {
        ReplayWhenDue();
        ReportWhenDue(0);
    }
}
