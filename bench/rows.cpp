// The measured rows: the service in a child process (this program run with
// --serve, or an earlier build's), loaded over loopback and timed by its
// console; its own session calls and a held connection in this process;
// the floors of its receives, its hand-over to a session and its console.
// The rows of many sessions, kept sessions, a server that never answers and
// a drain under load follow the memory runs.
#include "bench.h"

#include "db.h"
#include "loop.h"
#include "service.h"
#include "spool.h"

#include <arpa/inet.h>
#include <condition_variable>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <initializer_list>
#include <linux/tcp.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

// Statements the client keeps ahead of the service: the next one is always
// waiting when the service finishes one, and a slice still ends on time.
#define LEAD 16
#define CONSOLE_WAIT_SECONDS 60
// A crowd is made afresh at least this often, well inside the service's
// 90 s wait for a first byte; a dripping client sends a byte this often,
// well inside its 30 s wait for the next one.
#define CROWD_SECONDS 60.0
#define DRIP_SECONDS 0.25
#define CONNECT_BATCH 64
// The service tries its spool this long after an outage began. A spool is
// drained before a row that might still run then: the row's slice and this
// margin for its crowd and its last statements.
#define REPLAY_SECONDS 5.0
#define SLICE_MARGIN_SECONDS 0.5
// The service of a server that never answers (HANG_SESSIONS sessions): one
// client's statement hangs in its connect, and each of the others gets a
// session of its own, all within a Login Timeout that does not run out
// meanwhile. The hung connect is given this long to be under way before the
// others send.
#define HANG_LOGIN_SECONDS 120
#define HANG_SETTLE_MICROSECONDS 200000

// The service in a child process, its console on a pipe into this one.
// The counts are of the console lines read so far. A service of an outage
// also counts the statements it spooled and, in a drain, those it replayed.
typedef struct Service {
    pid_t pid;
    clockid_t cpuClock;
    int port;
    int outage;
    FILE *console;
    long listening;
    long incoming;
    long queries;
    long closes;
    long spooled;
    long replays;
    double lastQueryAt;
    double spooledFrom;  // of the first "Statement spooled" line since the last drain
    double replayAt;     // of a Replay line whose outcome is not known yet, else 0
    double drainFrom;    // of the first Replay line the database took
    double emptiedAt;    // of the "Spool empty." line
    Row *timing;
    // Where its spool's size is watched (a drain under load), else "": the
    // most its file took, at any console line, and the most statements that
    // a "Statement spooled" line said were waiting.
    char spoolPath[300];
    long spoolFileMost;
    long waitingMost;
} Service;

static double samples[ROW_FLOOR][MAX_SAMPLES];
static double hangSamples[MAX_SAMPLES];

// The services a data source's rows run on, started before its rows and
// stopped after them.
enum {
    SERVICE_PLAIN,
    SERVICE_POOLED,
    SERVICE_MANY,
    SERVICE_SPOOL_SET,
    SERVICE_OUTAGE,
    SERVICE_SESSIONS_4,
    SERVICE_SESSIONS_8,
    SERVICE_REUSE,
    SERVICE_FEW,
    SERVICE_REFERENCE,
    SERVICE_OBSERVED,
    SERVICES
};

typedef struct ServiceKind {
    int pooled;             // on the configuration with driver-manager pooling
    unsigned maxClients;    // 0: the settings leave it out
    const char *spool;      // the Spool File's name in the source's folder, or NULL
    int outage;             // on the source's outage data source
    unsigned sessions;      // Database Sessions; 0: left out
    int reuse;              // Reuse Sessions 1
    unsigned loginTimeout;  // 0: left out
    int hang;               // on the source's data source of a server that never answers
    int reference;          // the earlier build's service (--reference)
    int observed;           // Metrics File set, Log Format json
} ServiceKind;

static const ServiceKind serviceKinds[SERVICES] = {
    {0, 0, NULL, 0, 0, 0, 0, 0, 0, 0},
    {1, 0, NULL, 0, 0, 0, 0, 0, 0, 0},
    {0, MANY_CLIENTS, NULL, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, "spool-set", 0, 0, 0, 0, 0, 0, 0},
    {0, 0, "spool-outage", 1, 0, 0, 0, 0, 0, 0},
    {0, MANY_CLIENTS, NULL, 0, 4, 0, 0, 0, 0, 0},
    {0, MANY_CLIENTS, NULL, 0, 8, 0, 0, 0, 0, 0},
    {0, MANY_CLIENTS, NULL, 0, 0, 1, 0, 0, 0, 0},
    {0, FEW_CLIENTS, NULL, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, NULL, 0, 0, 0, 0, 0, 1, 0},
    {0, 0, NULL, 0, 0, 0, 0, 0, 0, 1},
};

// A row of a service loaded over loopback, with its statements over
// `connections` held connections in turn, or over one of their own each
// (0), and a crowd of other clients beside the load: `idle` connected ones
// that send nothing and, with `drip`, one that sends a byte of an
// unfinished statement every DRIP_SECONDS. The rows take turns in this
// order; a row on a service with settings of its own needs a ServiceKind.
// A row on the service of an outage is sent while its database is down, so
// that all of it is spooled, and comes first: the later rows fill most of
// the wait for the service's first try of its spool, and its drain, timed
// as ROW_REPLAY, comes before the first of them that might still run then.
typedef struct ServiceRow {
    int row;
    int service;
    int connections;
    int idle;
    int drip;
} ServiceRow;

static const ServiceRow serviceRows[] = {
    {ROW_SPOOLING, SERVICE_OUTAGE, 1, 0, 0},
    {ROW_ONE, SERVICE_PLAIN, 1, 0, 0},
    {ROW_EACH, SERVICE_PLAIN, 0, 0, 0},
    {ROW_POOLED, SERVICE_POOLED, 1, 0, 0},
    {ROW_ALONE, SERVICE_MANY, 1, 0, 0},
    {ROW_IDLE, SERVICE_MANY, 1, IDLE_CLIENTS, 0},
    {ROW_DRIP, SERVICE_MANY, 1, IDLE_CLIENTS, 1},
    {ROW_SPOOL_SET, SERVICE_SPOOL_SET, 1, 0, 0},
    {ROW_SESSIONS_1, SERVICE_MANY, LOAD_CLIENTS, 0, 0},
    {ROW_SESSIONS_4, SERVICE_SESSIONS_4, LOAD_CLIENTS, 0, 0},
    {ROW_SESSIONS_8, SERVICE_SESSIONS_8, LOAD_CLIENTS, 0, 0},
    {ROW_REUSE_ONE, SERVICE_REUSE, 1, 0, 0},
    {ROW_REUSE_MANY, SERVICE_REUSE, LOAD_CLIENTS, 0, 0},
    {ROW_FEW, SERVICE_FEW, 1, 0, 0},
    {ROW_REFERENCE, SERVICE_REFERENCE, 1, 0, 0},
    {ROW_OBSERVED, SERVICE_OBSERVED, 1, 0, 0},
};

// The crowd beside a load; one at a time.
static int crowd[MAX_CLIENTS_LIMIT];
static int crowdCount;
static int dripFd = -1;
static double dripAt;
// The database server of the data source being measured, 0 when unknown.
static int serverPid;

static double ReadClock(clockid_t clock)
{
    struct timespec now = {0, 0};
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

// CPU time of the database server: its process (all its threads), the
// children it has reaped and those alive now (PostgreSQL's backends, one per
// connection). Clock ticks, so a slice's figure is good to a few of them.
static double ServerCpuSeconds(void)
{
    char path[300];
    char text[1024];
    long ticks = 0;
    DIR *proc = serverPid > 0 ? opendir("/proc") : NULL;
    struct dirent *entry;

    while (proc != NULL && (entry = readdir(proc)) != NULL) {
        if (!isdigit((unsigned char)entry->d_name[0]))
            continue;
        snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        FILE *file = fopen(path, "r");
        size_t length = file != NULL ? fread(text, 1, sizeof text - 1, file) : 0;
        if (file != NULL)
            fclose(file);
        text[length] = '\0';
        // The fields after the command, which may hold anything, in brackets.
        const char *rest = strrchr(text, ')');
        int ppid = 0;
        long utime = 0, stime = 0, cutime = 0, cstime = 0;
        if (rest == NULL || sscanf(rest + 2, "%*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld %ld %ld", &ppid,
                                   &utime, &stime, &cutime, &cstime) != 5)
            continue;
        if (atoi(entry->d_name) == serverPid)
            ticks += utime + stime + cutime + cstime;
        else if (ppid == serverPid)
            ticks += utime + stime;
    }
    if (proc != NULL)
        closedir(proc);
    return (double)ticks / (double)sysconf(_SC_CLK_TCK);
}

// Time all CPUs of the machine together have been idle.
static double IdleCpuSeconds(void)
{
    double idle = 0;
    FILE *file = fopen("/proc/stat", "r");

    if (file == NULL || fscanf(file, "cpu %*u %*u %*u %lf", &idle) != 1)
        idle = 0;
    if (file != NULL)
        fclose(file);
    return idle / (double)sysconf(_SC_CLK_TCK);
}

// Data segments that process `pid` (0: this one) has sent on the TCP
// connections it holds now, read through copies of its descriptors. The
// service never writes to a client, so on its side these are the requests
// its kept connection made of the server; on this one's, those of the
// connection held in process.
static long SegmentsOut(int pid)
{
    char path[64];
    // By the system calls: glibc 2.36 declares their wrappers for C only.
    int process = pid > 0 ? (int)syscall(SYS_pidfd_open, pid, 0) : -1;
    DIR *fds = NULL;
    struct dirent *entry;
    long total = 0;

    snprintf(path, sizeof path, "/proc/%d/fd", pid > 0 ? pid : (int)getpid());
    if (pid <= 0 || process >= 0)
        fds = opendir(path);
    while (fds != NULL && (entry = readdir(fds)) != NULL) {
        struct tcp_info info = {};
        socklen_t length = sizeof info;
        if (!isdigit((unsigned char)entry->d_name[0]))
            continue;
        int fd = pid > 0 ? (int)syscall(SYS_pidfd_getfd, process, atoi(entry->d_name), 0) : atoi(entry->d_name);
        if (fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0)
            total += info.tcpi_data_segs_out;
        if (pid > 0 && fd >= 0)
            close(fd);
    }
    if (fds != NULL)
        closedir(fds);
    if (process >= 0)
        close(process);
    return total;
}

// A Replay line not followed by a failed connect was a statement the
// database took: its sample runs to the next Replay or "Spool empty." line.
static void TakeReplay(Service *service, double now)
{
    if (service->replayAt > 0) {
        if (service->replays++ == 0)
            service->drainFrom = service->replayAt;
        if (service->timing != NULL)
            AddSample(service->timing, (now - service->replayAt) * 1e3);
    }
    service->replayAt = 0;
}

static void FormatInsert(char text[STATEMENT_BYTES + 1], int runId, long seq)
{
    int length = snprintf(text, STATEMENT_BYTES + 1, "INSERT INTO varn_bench_rows(run_id, seq, note) VALUES(%d, %ld, '",
                          runId, seq);
    while (length < STATEMENT_BYTES - 3)
        text[length++] = 'x';
    memcpy(text + length, "');", 4);
}

// With `port` 0 a socket listening on a free loopback port, which goes to
// `port`; else a connection to it, with TCP_NODELAY, as a statement goes out
// when it is written, not when the one before is acknowledged.
static int OpenLoopback(int *port)
{
    struct sockaddr_in address = {};
    socklen_t length = sizeof address;
    int noDelay = 1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)*port);
    if (fd >= 0 && (*port == 0 ? bind(fd, (struct sockaddr *)&address, length) != 0 || listen(fd, 1) != 0 ||
                                     getsockname(fd, (struct sockaddr *)&address, &length) != 0
                               : connect(fd, (struct sockaddr *)&address, length) != 0 ||
                                     setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0)) {
        close(fd);
        fd = -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// The service writes its Query line once it has read a statement whole:
// with the next one waiting, as soon as it has finished the one before, so
// the gap between two Query lines is one statement's whole time in the
// service. Returns -1 when it ended, fell silent or the run was interrupted.
// The start of the plain line a JSON line stands for, as far as the
// service rows tell lines apart; "" for the others.
static const char *PlainOfJson(const char *line)
{
    static const char *const events[][2] = {{"\"event\":\"query\"", "Query: "},
                                            {"\"event\":\"peer_closed_connection\"", "Peer closed connection.\n"},
                                            {"\"event\":\"incoming_connection_from\"", "Incoming connection"},
                                            {"\"event\":\"listening_on_tcp_port\"", "Listening on TCP port"}};

    for (size_t i = 0; i < sizeof events / sizeof events[0]; i++)
        if (strstr(line, events[i][0]) != NULL)
            return events[i][1];
    return "";
}

static int ReadConsoleLine(Service *service)
{
    char line[2048];

    alarm(CONSOLE_WAIT_SECONDS);
    char *got = fgets(line, sizeof line, service->console);
    alarm(0);
    if (got == NULL) {
        Complain("the service ended, or wrote nothing for %d s", CONSOLE_WAIT_SECONDS);
        return -1;
    }
    double now = ReadClock(CLOCK_MONOTONIC);
    struct stat file;
    if (service->spoolPath[0] != '\0' && stat(service->spoolPath, &file) == 0 && file.st_size > service->spoolFileMost)
        service->spoolFileMost = (long)file.st_size;
    // With Max Clients above 1, a line about a client begins "[address:port] ".
    const char *text = line[0] == '[' ? strstr(line, "] ") : NULL;
    text = text != NULL ? text + 2 : line;
    if (line[0] == '{')
        text = PlainOfJson(line);
    if (strncmp(text, "Query: ", 7) == 0) {
        if (service->timing != NULL && service->lastQueryAt > 0)
            AddSample(service->timing, (now - service->lastQueryAt) * 1e3);
        service->lastQueryAt = now;
        service->queries++;
    } else if (strcmp(text, "Peer closed connection.\n") == 0) {
        service->closes++;
    } else if (strncmp(text, "Incoming connection", 19) == 0) {
        service->incoming++;
    } else if (strncmp(text, "Listening on TCP port", 21) == 0) {
        service->listening = 1;
    } else if (service->outage && strncmp(text, "Statement spooled, ", 19) == 0) {
        if (service->spooled++ == 0)
            service->spooledFrom = now;
        if (atol(text + 19) > service->waitingMost)
            service->waitingMost = atol(text + 19);
    } else if (service->outage && strncmp(text, "Replay: ", 8) == 0) {
        TakeReplay(service, now);
        service->replayAt = now;
    } else if (service->outage && strcmp(text, "Spool empty.\n") == 0) {
        TakeReplay(service, now);
        service->emptiedAt = now;
    } else if (service->outage &&
               (strncmp(text, "SQLConnect Failed.", 18) == 0 || strcmp(text, "ERROR: Connecting\n") == 0)) {
        // The database is down: the replay before, if any, did not run.
        service->replayAt = 0;
    } else if (strncmp(text, "Halvorin", 8) != 0 && strncmp(text, "Allowed host", 12) != 0 &&
               strncmp(text, "Max clients", 11) != 0 && strncmp(text, "Database sessions", 17) != 0 &&
               strcmp(text, "Reusing sessions\n") != 0 &&
               !(service->outage && strncmp(text, "Spool ", 6) == 0 && strstr(text, " holds ") != NULL)) {
        Complain("the service: %s", line);
    }
    return 0;
}

static void StopService(Service *service)
{
    if (service->pid > 0 && kill(service->pid, SIGTERM) == 0)
        waitpid(service->pid, NULL, 0);
    if (service->console != NULL)
        fclose(service->console);
    memset(service, 0, sizeof *service);
}

static void SpoolPath(const Source *source, const ServiceKind *kind, char path[300])
{
    snprintf(path, 300, "%s/%s", source->dir, kind->spool);
}

static int StartService(const char *odbcDir, const Source *source, const ServiceKind *kind, Service *service)
{
    char settingsPath[600];
    char spoolPath[300];
    int ends[2];
    FILE *file;

    memset(service, 0, sizeof *service);
    service->outage = kind->outage;
    close(OpenLoopback(&service->port));
    // Unescaped: the benchmark's data sources, accounts and folders hold no
    // quotes or backslashes.
    snprintf(settingsPath, sizeof settingsPath, "%s/settings.reg", odbcDir);
    if (service->port == 0 || (file = fopen(settingsPath, "w")) == NULL)
        return -1;
    fprintf(file,
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]\n\"Data Source\"=\"%s\"\n"
            "\"User Name\"=\"%s\"\n\"Password\"=\"%s\"\n\"TCP Port\"=dword:%08x\n\"Allow IP\"=\"127.0.0.1\"\n",
            kind->outage ? source->outageDataSource : kind->hang ? source->hangDataSource : source->dataSource,
            source->userName, source->password, (unsigned)service->port);
    if (kind->maxClients > 0)
        fprintf(file, "\"Max Clients\"=dword:%08x\n", kind->maxClients);
    if (kind->sessions > 0)
        fprintf(file, "\"Database Sessions\"=dword:%08x\n", kind->sessions);
    if (kind->reuse)
        fprintf(file, "\"Reuse Sessions\"=dword:00000001\n");
    if (kind->loginTimeout > 0)
        fprintf(file, "\"Login Timeout\"=dword:%08x\n", kind->loginTimeout);
    if (kind->observed)
        fprintf(file, "\"Metrics File\"=\"%s/varn.prom\"\n\"Log Format\"=\"json\"\n", source->dir);
    if (kind->spool != NULL) {
        SpoolPath(source, kind, spoolPath);
        fprintf(file, "\"Spool File\"=\"%s\"\n", spoolPath);
    }
    if (fclose(file) != 0 || pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    service->pid = fork();
    if (service->pid == 0) {
        // The service ends with this program, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(ends[1], 1);
        setenv("ODBCSYSINI", odbcDir, 1);
        execl(kind->reference ? referenceProgram : "/proc/self/exe", "varn-bench", "--serve", settingsPath,
              (char *)NULL);
        _exit(127);
    }
    close(ends[1]);
    if (service->pid < 0 || (service->console = fdopen(ends[0], "r")) == NULL)
        close(ends[0]);
    while (service->console != NULL && !service->listening && ReadConsoleLine(service) == 0) {
    }
    // The CPU clock of all the service's threads, to the nanosecond.
    if (service->listening && clock_getcpuclockid(service->pid, &service->cpuClock) == 0)
        return 0;
    StopService(service);
    return -1;
}

static long ReadResidentKiB(const Service *service)
{
    char line[256];
    long kib = -1;
    FILE *file;

    snprintf(line, sizeof line, "/proc/%d/status", (int)service->pid);
    file = fopen(line, "r");
    while (file != NULL && fgets(line, sizeof line, file) != NULL && sscanf(line, "VmRSS: %ld kB", &kib) != 1) {
    }
    if (file != NULL)
        fclose(file);
    return kib;
}

// Sends `count` statements, or as many as `seconds` allow, over
// `connections` connections (at most SPREAD_CLIENTS) in turn, or with
// `connections` 0 each over one of its own, closed right after it is sent;
// returns once all have run.
static int LoadService(Service *service, int runId, int connections, double seconds, long count, Row *row)
{
    static int fds[SPREAD_CLIENTS];
    char text[STATEMENT_BYTES + 1];
    long queries = service->queries;
    long closes = service->closes;
    long sent = 0;
    long opened = 0;
    int status = 0;
    // Only a server's connections can be kept.
    long segments = serverPid > 0 ? SegmentsOut(service->pid) : 0;
    double serverStarted = ServerCpuSeconds();
    double idleStarted = IdleCpuSeconds();
    double cpuStarted = ReadClock(service->cpuClock);
    double started = ReadClock(CLOCK_MONOTONIC);
    double now = started;

    service->timing = row;
    service->lastQueryAt = 0;
    while (status == 0 && !interrupted && sent < count && now - started < seconds) {
        int k = connections > 0 ? (int)(sent % connections) : 0;
        if (dripFd >= 0 && now >= dripAt) {
            dripAt = now + DRIP_SECONDS;
            status = send(dripFd, "x", 1, MSG_NOSIGNAL) == 1 ? 0 : -1;
        } else if (sent - (service->queries - queries) >= LEAD) {
            status = ReadConsoleLine(service);
        } else {
            if ((connections == 0 || sent < connections) && (fds[k] = OpenLoopback(&service->port)) >= 0)
                opened++;
            FormatInsert(text, runId, row->statements + sent++);
            if (fds[k] < 0 || send(fds[k], text, STATEMENT_BYTES, MSG_NOSIGNAL) != STATEMENT_BYTES)
                status = -1;
            if (connections == 0 && fds[k] >= 0)
                close(fds[k]);
        }
        now = ReadClock(CLOCK_MONOTONIC);
    }
    for (long k = 0; k < connections && k < sent; k++)
        if (fds[k] >= 0)
            close(fds[k]);
    // All has run once the service has seen every connection close.
    while (status == 0 && service->closes - closes < opened)
        status = ReadConsoleLine(service);
    service->timing = NULL;
    row->statements += sent;
    row->seconds += ReadClock(CLOCK_MONOTONIC) - started;
    row->cpuSeconds += ReadClock(service->cpuClock) - cpuStarted;
    row->serverCpuSeconds += ServerCpuSeconds() - serverStarted;
    row->idleCpuSeconds += IdleCpuSeconds() - idleStarted;
    if (serverPid > 0)
        row->segmentsOut += SegmentsOut(service->pid) - segments;
    return status;
}

// Adds `idle` clients to the crowd and, with `drip`, one that has sent an
// INSERT up to inside its quoted text; returns once the service has
// admitted them all. Never more than CONNECT_BATCH wait to be admitted, so
// that the listener's backlog never fills.
static int OpenCrowd(Service *service, int idle, int drip, int runId, const Row *row)
{
    char text[STATEMENT_BYTES + 1];
    long incoming = service->incoming;
    int opened = 0;
    int status = 0;

    while (status == 0 && opened < idle) {
        if (opened - (service->incoming - incoming) >= CONNECT_BATCH)
            status = ReadConsoleLine(service);
        else if ((crowd[crowdCount] = OpenLoopback(&service->port)) < 0) {
            Complain("no connection for client %d: %s", crowdCount + 1, strerror(errno));
            status = -1;
        } else {
            crowdCount++;
            opened++;
        }
    }
    if (status == 0 && drip) {
        // Numbered below zero, apart from the load's own.
        FormatInsert(text, runId, -1 - row->sideStatements);
        long length = strchr(text, '\'') + 1 - text;
        dripFd = OpenLoopback(&service->port);
        dripAt = ReadClock(CLOCK_MONOTONIC) + DRIP_SECONDS;
        status = dripFd >= 0 && send(dripFd, text, (size_t)length, MSG_NOSIGNAL) == length ? 0 : -1;
        opened++;
    }
    while (status == 0 && service->incoming - incoming < opened)
        status = ReadConsoleLine(service);
    return status;
}

// Closes the crowd, the dripping client once its statement is whole (the
// statement then runs); returns once the service has seen every close.
static int CloseCrowd(Service *service, Row *row)
{
    long closes = service->closes;
    int count = crowdCount;
    int status = 0;

    if (dripFd >= 0) {
        status = send(dripFd, "');", 3, MSG_NOSIGNAL) == 3 ? 0 : -1;
        close(dripFd);
        dripFd = -1;
        row->sideStatements++;
        count++;
    }
    while (crowdCount > 0)
        close(crowd[--crowdCount]);
    while (status == 0 && service->closes - closes < count)
        status = ReadConsoleLine(service);
    return status;
}

// A slice of a service row, its crowd made afresh every CROWD_SECONDS.
static int RunServiceRow(Service *service, const ServiceRow *plan, double seconds, Row *row)
{
    long forever = 1L << 40;
    int status = 0;

    for (double left = seconds; status == 0 && !interrupted && left > 0; left -= CROWD_SECONDS) {
        status = OpenCrowd(service, plan->idle, plan->drip, plan->row, row);
        if (status == 0)
            status = LoadService(service, plan->row, plan->connections, left < CROWD_SECONDS ? left : CROWD_SECONDS,
                                 forever, row);
        if (CloseCrowd(service, row) != 0)
            status = -1;
    }
    return status;
}

// Unless what is to come within `ahead` seconds is over before the service
// tries its spool, brings the outage's database back and times the drain,
// from the first Replay line the database took to "Spool empty."; then
// takes the database down again. A try that came while it was down failed,
// and the next comes REPLAY_SECONDS later.
static int DrainSpool(const Source *source, Service *service, double ahead, Row *row)
{
    char link[300];
    double cpuStarted = ReadClock(service->cpuClock);
    int status = 0;

    if (service->spooled == 0 || ReadClock(CLOCK_MONOTONIC) + ahead < service->spooledFrom + REPLAY_SECONDS)
        return 0;
    snprintf(link, sizeof link, "%s/outage", source->dir);
    service->timing = row;
    service->replays = 0;
    service->emptiedAt = 0;
    if (symlink(".", link) != 0) {
        Complain("cannot make %s: %s", link, strerror(errno));
        status = -1;
    }
    while (status == 0 && service->emptiedAt == 0)
        status = ReadConsoleLine(service);
    service->timing = NULL;
    row->statements += service->replays;
    row->seconds += service->replays > 0 ? service->emptiedAt - service->drainFrom : 0;
    row->cpuSeconds += ReadClock(service->cpuClock) - cpuStarted;
    service->spooled = 0;
    if (unlink(link) != 0 && status == 0)
        status = -1;
    return status;
}

// The bench's own session, as one of the service's.
static DbSession benchSession;

// Through the service's own session calls, which write a failure to
// standard output as the service's console would.
static int RunSql(const Source *source, const char *sql, char *text, int size)
{
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    int status = -1;

    if (DbConnect(&benchSession, source->userName, source->password, source->dataSource) != 0) {
        Complain("%s: cannot connect to %s, as standard output says", source->label, source->dataSource);
        return -1;
    }
    if (SQL_SUCCEEDED(SQLAllocStmt(benchSession.hdbc, &hstmt)) &&
        !OdbcFailed(SQLExecDirect(hstmt, (SQLCHAR *)sql, SQL_NTS)) &&
        (text == NULL ||
         (SQL_SUCCEEDED(SQLFetch(hstmt)) && SQL_SUCCEEDED(SQLGetData(hstmt, 1, SQL_C_CHAR, text, size, NULL)))))
        status = 0;
    if (hstmt != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    if (DbDisconnect(&benchSession) != 0 || status != 0) {
        Complain("%s: failed: %s", source->label, sql);
        status = -1;
    }
    return status;
}

// How a row in process runs its statements: a session each, or on a held
// connection, bare or reset before each as a kept session of the service's.
enum { IN_SESSION, IN_HELD, IN_HELD_RESET };

// A sample is one statement's whole cost: a session from connect to
// disconnect, as the service pays for it, or on a held connection (made
// outside the timing, as a client pays for it once) the statement's handle,
// and with IN_HELD_RESET the service's reset before it (its time into
// reset[0], its CPU time into reset[1]).
// A row whose database has no complete reset runs nothing in IN_HELD_RESET,
// as the service keeps no connection to it.
static int RunInProcess(const Source *source, int runId, int mode, double seconds, Row *row, double reset[2])
{
    char text[STATEMENT_BYTES + 1];
    int held = mode != IN_SESSION;
    int status = 0;

    if (held && DbConnect(&benchSession, source->userName, source->password, source->dataSource) != 0)
        return -1;
    benchSession.resetKind = mode == IN_HELD_RESET ? DbResetKind(&benchSession) : DB_RESET_NONE;
    if (mode == IN_HELD_RESET && benchSession.resetKind != DB_RESET_COMPLETE)
        return DbDisconnect(&benchSession) != 0 ? -1 : 0;
    long segments = held ? SegmentsOut(0) : 0;
    double serverStarted = ServerCpuSeconds();
    double started = ReadClock(CLOCK_MONOTONIC);
    double cpuStarted = ReadClock(CLOCK_PROCESS_CPUTIME_ID);
    double now = started;
    while (status == 0 && !interrupted && now - started < seconds) {
        double begun = now;
        FormatInsert(text, runId, row->statements++);
        if (!held && DbConnect(&benchSession, source->userName, source->password, source->dataSource) != 0)
            return -1;
        if (mode == IN_HELD_RESET) {
            double cpuBegun = ReadClock(CLOCK_PROCESS_CPUTIME_ID);
            status = DbReset(&benchSession);
            reset[0] += ReadClock(CLOCK_MONOTONIC) - begun;
            reset[1] += ReadClock(CLOCK_PROCESS_CPUTIME_ID) - cpuBegun;
        }
        if (status == 0)
            status = OdbcFailed(DbExecute(&benchSession, text)) ? -1 : 0;
        if (!held && DbDisconnect(&benchSession) != 0)
            status = -1;
        now = ReadClock(CLOCK_MONOTONIC);
        AddSample(row, (now - begun) * 1e3);
    }
    row->seconds += now - started;
    row->cpuSeconds += ReadClock(CLOCK_PROCESS_CPUTIME_ID) - cpuStarted;
    row->serverCpuSeconds += ServerCpuSeconds() - serverStarted;
    if (held)
        row->segmentsOut += SegmentsOut(0) - segments;
    return held && DbDisconnect(&benchSession) != 0 ? -1 : status;
}

// A statement read off a loopback TCP connection `size` bytes per receive
// call, its bytes already there: with 1, the least the service's one-byte
// reads can cost; with the whole statement, the most its receives cost
// where it takes bytes as they have arrived (about ten statements a call).
static int ReadFloor(double seconds, int size, Row *row)
{
    char text[STATEMENT_BYTES + 1];
    char bytes[STATEMENT_BYTES];
    int port = 0;
    int listener = OpenLoopback(&port);
    int writer = listener >= 0 ? OpenLoopback(&port) : -1;
    int reader = writer >= 0 ? accept(listener, NULL, NULL) : -1;
    int status = reader >= 0 ? 0 : -1;
    double now = ReadClock(CLOCK_MONOTONIC);
    double started = now;

    FormatInsert(text, 0, 0);
    while (status == 0 && !interrupted && now - started < seconds) {
        status = send(writer, text, STATEMENT_BYTES, MSG_NOSIGNAL) == STATEMENT_BYTES ? 0 : -1;
        double begun = ReadClock(CLOCK_MONOTONIC);
        double cpuBegun = ReadClock(CLOCK_PROCESS_CPUTIME_ID);
        for (int at = 0; at < STATEMENT_BYTES && status == 0;) {
            ssize_t got = recv(reader, bytes, (size_t)size, 0);
            status = got > 0 ? 0 : -1;
            at += got > 0 ? (int)got : 0;
        }
        now = ReadClock(CLOCK_MONOTONIC);
        row->cpuSeconds += ReadClock(CLOCK_PROCESS_CPUTIME_ID) - cpuBegun;
        row->seconds += now - begun;
        row->statements++;
    }
    for (int fd : {listener, writer, reader})
        close(fd);
    return status;
}

// What the serving loop and a session's thread share to hand a statement
// over and back with one session: a job count under a lock, a condition
// variable the thread waits on, and a pipe the loop polls.
typedef struct HandOver {
    std::mutex lock;
    std::condition_variable arrived;
    int jobs;
    int ending;
    int wake[2];
} HandOver;

// The session's side: takes each job and writes a byte for it.
static void RunHandOverThread(HandOver *h)
{
    char byte = 1;
    std::unique_lock<std::mutex> hold(h->lock);

    while (!h->ending) {
        if (h->jobs == 0) {
            h->arrived.wait(hold);
            continue;
        }
        h->jobs--;
        hold.unlock();
        if (write(h->wake[1], &byte, 1) != 1)
            return;
        hold.lock();
    }
}

// The loop's side, as the service makes it with one session, and nothing
// else: it puts a job under the lock and wakes the thread, then waits in
// poll until the thread, done, writes its byte, which it reads. Two thread
// wake-ups per statement; the CPU time is that of both threads.
static int HandOverFloor(double seconds, Row *row)
{
    static HandOver h;
    char byte;
    int status = pipe2(h.wake, O_CLOEXEC) == 0 ? 0 : -1;

    if (status != 0)
        return -1;
    h.jobs = h.ending = 0;
    std::thread session(RunHandOverThread, &h);
    struct pollfd watched = {h.wake[0], POLLIN, 0};
    double started = ReadClock(CLOCK_MONOTONIC);
    double cpuStarted = ReadClock(CLOCK_PROCESS_CPUTIME_ID);
    double now = started;
    while (status == 0 && !interrupted && now - started < seconds) {
        {
            std::lock_guard<std::mutex> hold(h.lock);
            h.jobs++;
        }
        h.arrived.notify_one();
        status = poll(&watched, 1, 1000) == 1 && read(h.wake[0], &byte, 1) == 1 ? 0 : -1;
        row->statements++;
        now = ReadClock(CLOCK_MONOTONIC);
    }
    row->cpuSeconds += ReadClock(CLOCK_PROCESS_CPUTIME_ID) - cpuStarted;
    row->seconds += now - started;
    {
        std::lock_guard<std::mutex> hold(h.lock);
        h.ending = 1;
    }
    h.arrived.notify_one();
    session.join();
    close(h.wake[0]);
    close(h.wake[1]);
    return status;
}

// A line the size of a Query line written to a pipe, as the service writes
// its console for each statement; the pipe is drained apart from the timing.
static int ConsoleFloor(double seconds, Row *row)
{
    char line[STATEMENT_BYTES + 11];
    char drained[4096];
    int ends[2] = {-1, -1};
    int status = pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0 ? 0 : -1;
    double now = ReadClock(CLOCK_MONOTONIC);
    double started = now;

    memset(line, 'x', sizeof line);
    line[sizeof line - 1] = '\n';
    while (status == 0 && !interrupted && now - started < seconds) {
        double begun = ReadClock(CLOCK_MONOTONIC);
        double cpuBegun = ReadClock(CLOCK_PROCESS_CPUTIME_ID);
        status = write(ends[1], line, sizeof line) == (ssize_t)sizeof line ? 0 : -1;
        now = ReadClock(CLOCK_MONOTONIC);
        row->cpuSeconds += ReadClock(CLOCK_PROCESS_CPUTIME_ID) - cpuBegun;
        row->seconds += now - begun;
        row->statements++;
        while (status == 0 && read(ends[0], drained, sizeof drained) > 0)
            continue;
    }
    for (int fd : ends)
        if (fd >= 0)
            close(fd);
    return status;
}

// Memory on services of their own, the first reading counting from their
// start. Without Max Clients: statements on one connection, then on a
// second one. With the largest Max Clients: one client connected, after
// statements have loaded the drivers and before any other client came (the
// service's client slots take memory as they are first used), then
// MEMORY_CLIENTS; then statements spread over SPREAD_CLIENTS connections.
static int MeasureMemory(const Source *source, const char *plainDir, long statements, Results *r)
{
    static const ServiceKind manyKind = {0, MAX_CLIENTS_LIMIT, NULL, 0, 0, 0, 0, 0, 0, 0};
    Row *row = &r->rows[ROW_MEMORY];
    Row *many = &r->rows[ROW_MEMORY_MANY];
    Service service = {};
    long rest = statements - MEMORY_FIRST_STATEMENTS;
    int status = -1;

    if (StartService(plainDir, source, &serviceKinds[SERVICE_PLAIN], &service) == 0 &&
        LoadService(&service, ROW_MEMORY, 1, 1e9, MEMORY_FIRST_STATEMENTS, row) == 0 &&
        (r->rssFirstKiB = ReadResidentKiB(&service)) > 0 && LoadService(&service, ROW_MEMORY, 1, 1e9, rest, row) == 0 &&
        (r->rssLastKiB = ReadResidentKiB(&service)) > 0)
        status = 0;
    StopService(&service);
    if (status == 0 &&
        (StartService(plainDir, source, &manyKind, &service) != 0 ||
         LoadService(&service, ROW_MEMORY_MANY, 1, 1e9, MEMORY_FIRST_STATEMENTS, many) != 0 ||
         OpenCrowd(&service, 1, 0, ROW_MEMORY_MANY, many) != 0 ||
         (r->rssOneClientKiB = ReadResidentKiB(&service)) <= 0 ||
         OpenCrowd(&service, MEMORY_CLIENTS - 1, 0, ROW_MEMORY_MANY, many) != 0 ||
         (r->rssClientsKiB = ReadResidentKiB(&service)) <= 0 || CloseCrowd(&service, many) != 0 ||
         LoadService(&service, ROW_MEMORY_MANY, SPREAD_CLIENTS, 1e9, MEMORY_FIRST_STATEMENTS, many) != 0 ||
         (r->rssSpreadFirstKiB = ReadResidentKiB(&service)) <= 0 ||
         LoadService(&service, ROW_MEMORY_MANY, SPREAD_CLIENTS, 1e9, rest, many) != 0 ||
         (r->rssSpreadLastKiB = ReadResidentKiB(&service)) <= 0))
        status = -1;
    if (CloseCrowd(&service, many) != 0)
        status = -1;
    StopService(&service);
    return status;
}

// Memory of the service of an outage, its database down all the while, so
// that it spools every statement: after MEMORY_FIRST_STATEMENTS and after
// the rest. Then the spool, opened here with the service's own code once the
// service has ended, must hold every statement whole, and nothing else.
static int MeasureSpoolMemory(const Source *source, const char *plainDir, long statements, Results *r)
{
    const ServiceKind *kind = &serviceKinds[SERVICE_OUTAGE];
    Row *row = &r->rows[ROW_MEMORY_SPOOL];
    Service service = {};
    char path[300];
    int status = -1;

    if (StartService(plainDir, source, kind, &service) == 0 &&
        LoadService(&service, ROW_MEMORY_SPOOL, 1, 1e9, MEMORY_FIRST_STATEMENTS, row) == 0 &&
        (r->rssSpoolFirstKiB = ReadResidentKiB(&service)) > 0 &&
        LoadService(&service, ROW_MEMORY_SPOOL, 1, 1e9, statements - MEMORY_FIRST_STATEMENTS, row) == 0 &&
        (r->rssSpoolLastKiB = ReadResidentKiB(&service)) > 0)
        status = 0;
    StopService(&service);
    SpoolPath(source, kind, path);
    if (status == 0 && SpoolOpen(path, INT64_MAX) == 0) {
        r->spoolRecords = spool.waiting;
        r->spoolBytes = spool.end;
        SpoolClose();
    } else {
        status = -1;
    }
    // Its statements never reach the database; the file is large and on tmpfs.
    unlink(path);
    return status;
}

int OpenBlackhole(void)
{
    struct sockaddr_in address = {};
    socklen_t length = sizeof address;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Never accepted: the filler takes the one place, and neither is closed.
    if (listener < 0 || filler < 0 || bind(listener, (struct sockaddr *)&address, length) != 0 ||
        listen(listener, 0) != 0 || getsockname(listener, (struct sockaddr *)&address, &length) != 0 ||
        connect(filler, (struct sockaddr *)&address, length) != 0) {
        close(listener);
        close(filler);
        return 0;
    }
    return ntohs(address.sin_port);
}

// A slice of the time a statement waits while another client's connect
// hangs: a service of the source's data source that never answers, with
// HANG_SESSIONS sessions. The first client's statement hangs in its
// connect; then each other client sends one, timed from its last byte sent
// to its Query line, which its session writes when it takes the statement.
// That session hangs in turn, so a service serves one slice. Nothing runs.
static int MeasureHang(const Source *source, const char *plainDir, Row *row)
{
    static const ServiceKind kind = {0, 2 * HANG_SESSIONS, NULL, 0, HANG_SESSIONS, 0, HANG_LOGIN_SECONDS, 1, 0, 0};
    char text[STATEMENT_BYTES + 1];
    int fds[HANG_SESSIONS];
    int opened = 0;
    Service service = {};
    int status = StartService(plainDir, source, &kind, &service);

    while (status == 0 && !interrupted && opened < HANG_SESSIONS) {
        long queries = service.queries;
        FormatInsert(text, ROW_HANG, opened);
        fds[opened] = OpenLoopback(&service.port);
        // Taken before the send, which may lose this process its CPU until
        // after the service has read the statement.
        double sent = ReadClock(CLOCK_MONOTONIC);
        if (fds[opened++] < 0 || send(fds[opened - 1], text, STATEMENT_BYTES, MSG_NOSIGNAL) != STATEMENT_BYTES)
            status = -1;
        while (status == 0 && service.queries == queries)
            status = ReadConsoleLine(&service);
        if (status == 0 && opened == 1)
            usleep(HANG_SETTLE_MICROSECONDS);
        else if (status == 0)
            AddSample(row, (service.lastQueryAt - sent) * 1e3);
    }
    for (int i = 0; i < opened; i++)
        close(fds[i]);
    StopService(&service);
    return status;
}

// A client that sends at a steady rate on a socket that never blocks.
typedef struct Pacer {
    int fd;
    double origin;
    double rate;
    long firstSeq;
    long sent;  // whole statements
    int partial;  // bytes of the next one sent
    char text[STATEMENT_BYTES + 1];
} Pacer;

// Sends what is due at `rate` statements a second since `origin`, as far as
// the socket takes it without waiting; a statement cut short is finished
// first, whatever the rate. TCP slows the client down while the service
// does not read it.
static int SendPaced(Pacer *pacer)
{
    double due = (ReadClock(CLOCK_MONOTONIC) - pacer->origin) * pacer->rate;

    while (pacer->partial > 0 || (double)pacer->sent < due) {
        if (pacer->partial == 0)
            FormatInsert(pacer->text, ROW_DRAIN, pacer->firstSeq + pacer->sent);
        ssize_t n = send(pacer->fd, pacer->text + pacer->partial, (size_t)(STATEMENT_BYTES - pacer->partial),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        pacer->partial += (int)n;
        if (pacer->partial == STATEMENT_BYTES) {
            pacer->partial = 0;
            pacer->sent++;
        }
    }
    return 0;
}

// A drain while a client keeps sending: `backlog` statements are spooled on
// a service of their own with the database down; the service is stopped,
// the database brought back, and a service on the same spool started, which
// tries the spool at once. From the first Replay line on, a client sends at
// DRAIN_LOAD of the replay rate (row 10) until "Spool empty.", then finishes
// what it had begun; every statement it sent runs, after the spool's or on
// its own once the spool is empty. The spool's file is watched throughout.
static int MeasureDrain(const Source *source, const char *plainDir, long backlog, Results *r)
{
    static const ServiceKind kind = {0, 0, "spool-drain", 1, 0, 0, 0, 0, 0, 0};
    Row *row = &r->rows[ROW_DRAIN];
    Row filling = {};
    Service service = {};
    Pacer pacer = {};
    char link[300];
    long spoolFileMost = 0;
    int status = -1;

    r->drainBacklog = backlog;
    if (!(r->rows[ROW_REPLAY].seconds > 0))
        return -1;
    r->drainReplayRate = (double)r->rows[ROW_REPLAY].statements / r->rows[ROW_REPLAY].seconds;
    pacer.rate = r->drainOffered = DRAIN_LOAD * r->drainReplayRate;
    pacer.firstSeq = backlog;
    pacer.fd = -1;
    snprintf(link, sizeof link, "%s/outage", source->dir);
    if (StartService(plainDir, source, &kind, &service) == 0) {
        SpoolPath(source, &kind, service.spoolPath);
        if (LoadService(&service, ROW_DRAIN, 1, 1e9, backlog, &filling) == 0 && service.spooled == backlog)
            status = 0;
    }
    r->waitingBytesMost = service.waitingMost * (SPOOL_HEADER_SIZE + STATEMENT_BYTES);
    spoolFileMost = service.spoolFileMost;
    StopService(&service);
    if (status == 0 && (symlink(".", link) != 0 || StartService(plainDir, source, &kind, &service) != 0))
        status = -1;
    SpoolPath(source, &kind, service.spoolPath);
    double cpuStarted = ReadClock(service.cpuClock);
    if (status == 0 && ((pacer.fd = OpenLoopback(&service.port)) < 0 || fcntl(pacer.fd, F_SETFL, O_NONBLOCK) != 0))
        status = -1;
    while (status == 0 && !interrupted && service.emptiedAt == 0) {
        if (pacer.origin == 0 && (service.replayAt > 0 || service.replays > 0))
            pacer.origin = ReadClock(CLOCK_MONOTONIC);
        if (pacer.origin > 0)
            status = SendPaced(&pacer);
        if (status == 0)
            status = ReadConsoleLine(&service);
    }
    row->cpuSeconds = ReadClock(service.cpuClock) - cpuStarted;
    row->seconds = service.replays > 0 ? service.emptiedAt - service.drainFrom : 0;
    r->drainReplays = service.replays;
    r->drainJoined = service.spooled;
    pacer.rate = 0;
    while (status == 0 && pacer.partial > 0 && (status = SendPaced(&pacer)) == 0 && pacer.partial > 0)
        status = ReadConsoleLine(&service);
    if (pacer.fd >= 0)
        close(pacer.fd);
    while (status == 0 && service.closes < 1)
        status = ReadConsoleLine(&service);
    r->spoolFileMost = service.spoolFileMost > spoolFileMost ? service.spoolFileMost : spoolFileMost;
    if (service.waitingMost * (SPOOL_HEADER_SIZE + STATEMENT_BYTES) > r->waitingBytesMost)
        r->waitingBytesMost = service.waitingMost * (SPOOL_HEADER_SIZE + STATEMENT_BYTES);
    row->statements = backlog + pacer.sent;
    StopService(&service);
    if (unlink(link) != 0)
        status = -1;
    return status;
}

int MeasureSource(const Source *source, const char *plainDir, const char *pooledDir, double slice, int rounds,
                  long memoryStatements, long backlog, Results *r)
{
    Row *rows = r->rows;
    Service services[SERVICES] = {};
    Service *outage = &services[SERVICE_OUTAGE];
    long statements = 0;
    char text[32] = "";
    int status = -1;

    memset(r, 0, sizeof *r);
    for (int i = 0; i < ROW_FLOOR; i++)
        rows[i].samples = samples[i];
    rows[ROW_HANG].samples = hangSamples;
    serverPid = source->serverPid;
    fprintf(stderr, "varn-bench: %s: all rows in turn%s\n", source->label,
            memoryStatements ? ", then memory, with one client, with many and with a spool" : "");
    if (RunSql(source, "DROP TABLE IF EXISTS varn_bench_rows", NULL, 0) != 0 ||
        RunSql(source,
               "CREATE TABLE varn_bench_rows(run_id INTEGER, seq INTEGER, note VARCHAR(1000), "
               "PRIMARY KEY(run_id, seq))",
               NULL, 0) != 0)
        return -1;
    // The services that the source's rows run on.
    for (const ServiceRow &plan : serviceRows)
        if (HasRow(source, plan.row) && services[plan.service].pid == 0 &&
            StartService(serviceKinds[plan.service].pooled ? pooledDir : plainDir, source,
                         &serviceKinds[plan.service], &services[plan.service]) != 0)
            goto done;
    // A slice of every row per round, so that all rows meet the same
    // conditions (a disk whose flushes drift, other work on the machine).
    // This process holds no connection meanwhile, as the service holds none.
    for (int round = 0; round < rounds; round++) {
        if (RunInProcess(source, ROW_SESSION, IN_SESSION, slice, &rows[ROW_SESSION], NULL) != 0 ||
            RunInProcess(source, ROW_HELD, IN_HELD, slice, &rows[ROW_HELD], NULL) != 0 ||
            (HasRow(source, ROW_HELD_RESET) &&
             RunInProcess(source, ROW_HELD_RESET, IN_HELD_RESET, slice, &rows[ROW_HELD_RESET], r->reset) != 0))
            goto done;
        for (const ServiceRow &plan : serviceRows)
            if (HasRow(source, plan.row) &&
                (DrainSpool(source, outage, slice + SLICE_MARGIN_SECONDS, &rows[ROW_REPLAY]) != 0 ||
                 RunServiceRow(&services[plan.service], &plan, slice, &rows[plan.row]) != 0))
                goto done;
        if (DrainSpool(source, outage, slice + SLICE_MARGIN_SECONDS, &rows[ROW_REPLAY]) != 0 ||
            ReadFloor(slice, 1, &rows[ROW_FLOOR]) != 0 || ReadFloor(slice / 4, STATEMENT_BYTES, &rows[ROW_FLOOR_WHOLE]) != 0 ||
            HandOverFloor(slice / 4, &rows[ROW_FLOOR_HANDOVER]) != 0 || ConsoleFloor(slice / 4, &rows[ROW_FLOOR_CONSOLE]) != 0 ||
            DrainSpool(source, outage, REPLAY_SECONDS, &rows[ROW_REPLAY]) != 0)
            goto done;
    }
    for (Service &service : services)
        StopService(&service);
    for (int round = 0; round < rounds && HasRow(source, ROW_HANG); round++)
        if (MeasureHang(source, plainDir, &rows[ROW_HANG]) != 0)
            goto done;
    // After the rounds, which measured the replay rate it is loaded at, and
    // before the memory run whose database must stay down.
    if (backlog > 0 && HasRow(source, ROW_DRAIN) && MeasureDrain(source, plainDir, backlog, r) != 0)
        goto done;
    if (memoryStatements > 0 && (MeasureMemory(source, plainDir, memoryStatements, r) != 0 ||
                                 MeasureSpoolMemory(source, plainDir, memoryStatements, r) != 0))
        goto done;
    // The spooled statements arrive as their replays; the spool's memory
    // run sends none to the database.
    for (int i = 0; i < ROWS; i++) {
        if ((i < ROW_FLOOR || i > ROW_FLOOR_CONSOLE) && i != ROW_SPOOLING && i != ROW_MEMORY_SPOOL)
            statements += rows[i].statements + rows[i].sideStatements;
        FinishRow(&rows[i]);
    }
    // The row of every INSERT that ran must be there: a rate over statements
    // that failed would flatter whoever failed fastest.
    if (RunSql(source, "SELECT COUNT(*) FROM varn_bench_rows", text, sizeof text) == 0 && atol(text) == statements)
        status = 0;
    else
        Complain("%s: %ld statements ran, %s rows arrived", source->label, statements, text);
done:
    for (Service &service : services)
        StopService(&service);
    return status;
}
