// The service under test as a child process, what /proc tells about it, and
// the loopback clients that load it.
#include "bench.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// The console line the service writes for each statement it takes:
// `Query: "` + the statement + `"` + a line break.
#define QUERY_LINE_BYTES (BENCH_STATEMENT_BYTES + 10)

// How many statements a pipelining client may be ahead of the service, and
// how long it rests when it is that far ahead. The lead covers several
// milliseconds of work even on the cheapest data source, so the service
// never waits for bytes, yet a slice ends soon after its time is up instead
// of draining a full socket buffer; the rest keeps the client from taking
// CPU time the service could use.
#define PIPELINE_LEAD 16
#define PIPELINE_REST_US 500

// Connections one client keeps in flight when each statement has its own.
#define CONNECTIONS_IN_FLIGHT 8

// When the latency watcher first looks for a row, as a share of the
// shortest latency seen so far, and the gap between later looks.
#define FIRST_LOOK_SHARE 0.8
#define LOOK_GAP_SHARE 0.05

// The gap between two reads of a SQLite file's header while watching it.
#define SQLITE_WATCH_GAP_US 25

// No single wait of the benchmark lasts longer than this.
#define LONGEST_WAIT_SECONDS 600

static int WriteText(const char *path, const char *text)
{
    FILE *file = fopen(path, "wb");
    if (file == NULL)
        return -1;
    fputs(text, file);
    return fclose(file) == 0 ? 0 : -1;
}

// A registry-export string value, with its two escapes.
static void AppendStringValue(char *settings, size_t size, const char *name, const char *value)
{
    size_t used = strlen(settings);
    used += (size_t)snprintf(settings + used, size - used, "\"%s\"=\"", name);
    for (; *value != '\0' && used + 3 < size; value++) {
        if (*value == '\\' || *value == '"')
            settings[used++] = '\\';
        settings[used++] = *value;
    }
    snprintf(settings + used, size - used, "\"\n");
}

static int FreeLoopbackPort(void)
{
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    int port = 0;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

static long FileSize(const char *path)
{
    struct stat info;
    if (stat(path, &info) != 0)
        return -1;
    return (long)info.st_size;
}

static int LogHolds(const char *path, const char *text)
{
    char buffer[4096];
    size_t got;
    FILE *file = fopen(path, "rb");
    if (file == NULL)
        return 0;
    got = fread(buffer, 1, sizeof buffer - 1, file);
    fclose(file);
    buffer[got] = '\0';
    return strstr(buffer, text) != NULL;
}

int StartServiceProcess(const BenchEnvironment *env, const char *odbcDir, const BenchSource *source,
                        ServiceProcess *service)
{
    static int serviceNumber;
    char settingsPath[BENCH_PATH_SIZE];
    char settings[2048];
    char odbcIni[BENCH_PATH_SIZE];
    double deadline;

    memset(service, 0, sizeof *service);
    service->pid = -1;
    char name[32];

    snprintf(name, sizeof name, "service-%d", ++serviceNumber);
    if (JoinPath(service->dir, sizeof service->dir, env->consoleDir, name) != 0 || mkdir(service->dir, 0700) != 0)
        return -1;
    JoinPath(settingsPath, sizeof settingsPath, service->dir, "settings.reg");
    JoinPath(service->logPath, sizeof service->logPath, service->dir, "console.log");
    JoinPath(odbcIni, sizeof odbcIni, odbcDir, "odbc.ini");
    service->port = FreeLoopbackPort();
    if (service->port == 0)
        return -1;

    snprintf(settings, sizeof settings, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]\n");
    AppendStringValue(settings, sizeof settings, "Data Source", source->dataSource);
    AppendStringValue(settings, sizeof settings, "User Name", source->userName);
    AppendStringValue(settings, sizeof settings, "Password", source->password);
    snprintf(settings + strlen(settings), sizeof settings - strlen(settings),
             "\"TCP Port\"=dword:%08x\n\"Allow IP\"=\"127.0.0.1\"\n", (unsigned)service->port);
    if (WriteText(settingsPath, settings) != 0)
        return -1;

    service->pid = fork();
    if (service->pid == 0) {
        int log = open(service->logPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int none = open("/dev/null", O_RDONLY);
        if (log < 0 || none < 0)
            _exit(127);
        dup2(none, 0);
        dup2(log, 1);
        dup2(log, 2);
        setenv("ODBCSYSINI", odbcDir, 1);
        setenv("ODBCINI", odbcIni, 1);
        execl(env->serviceProgram, env->serviceProgram, settingsPath, (char *)NULL);
        _exit(127);
    }
    if (service->pid < 0)
        return -1;

    deadline = NowSeconds() + 10;
    while (NowSeconds() < deadline) {
        int status;
        if (LogHolds(service->logPath, "Listening on TCP port"))
            return 0;
        if (waitpid(service->pid, &status, WNOHANG) == service->pid) {
            service->pid = -1;
            break;
        }
        SleepMicroseconds(10000);
    }
    fprintf(stderr, "varn-bench: the service did not start listening; its console (%s):\n", service->logPath);
    {
        char line[512];
        FILE *file = fopen(service->logPath, "r");
        while (file != NULL && fgets(line, sizeof line, file) != NULL)
            fprintf(stderr, "  %s", line);
        if (file != NULL)
            fclose(file);
    }
    StopServiceProcess(service);
    return -1;
}

void StopServiceProcess(ServiceProcess *service)
{
    int status;
    double deadline;

    if (service->pid <= 0)
        return;
    kill(service->pid, SIGTERM);
    deadline = NowSeconds() + 5;
    while (waitpid(service->pid, &status, WNOHANG) == 0) {
        if (NowSeconds() >= deadline) {
            kill(service->pid, SIGKILL);
            waitpid(service->pid, &status, 0);
            break;
        }
        SleepMicroseconds(10000);
    }
    service->pid = -1;
}

// The run time the scheduler has counted for each of the service's
// threads, in nanoseconds: far finer than the clock ticks of /proc/PID/stat.
double ServiceCpuSeconds(const ServiceProcess *service)
{
    char path[64];
    char taskPath[BENCH_PATH_SIZE];
    unsigned long long total = 0;
    struct dirent *entry;
    DIR *tasks;

    snprintf(path, sizeof path, "/proc/%d/task", (int)service->pid);
    tasks = opendir(path);
    if (tasks == NULL)
        return -1;
    while ((entry = readdir(tasks)) != NULL) {
        unsigned long long runtime;
        FILE *file;
        if (entry->d_name[0] == '.')
            continue;
        snprintf(taskPath, sizeof taskPath, "%s/%s/schedstat", path, entry->d_name);
        file = fopen(taskPath, "r");
        if (file == NULL)
            continue;
        if (fscanf(file, "%llu", &runtime) == 1)
            total += runtime;
        fclose(file);
    }
    closedir(tasks);
    return (double)total * 1e-9;
}

long ServiceResidentKiB(const ServiceProcess *service)
{
    char path[64];
    char line[256];
    long kib = -1;
    FILE *file;

    snprintf(path, sizeof path, "/proc/%d/status", (int)service->pid);
    file = fopen(path, "r");
    if (file == NULL)
        return -1;
    while (fgets(line, sizeof line, file) != NULL)
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    fclose(file);
    return kib;
}

int ConnectLoopback(int port)
{
    struct sockaddr_in server;
    int noDelay = 1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons((uint16_t)port);
    if (connect(fd, (struct sockaddr *)&server, sizeof server) != 0) {
        close(fd);
        return -1;
    }
    // A statement goes out the moment it is written, not when an earlier
    // segment is acknowledged.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return fd;
}

static int SendBytes(int fd, const char *bytes, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        sent += (size_t)n;
    }
    return 0;
}

// Waits until the service closes its end. The service sends nothing, so
// any byte is a fault too.
static int WaitForServiceClose(int fd)
{
    struct pollfd wait = {fd, POLLIN, 0};
    char byte;
    int ready = poll(&wait, 1, LONGEST_WAIT_SECONDS * 1000);
    if (ready == 0)
        fprintf(stderr, "varn-bench: the service did not close the connection in %d s\n", LONGEST_WAIT_SECONDS);
    else if (ready < 0 && !benchInterrupted)
        fprintf(stderr, "varn-bench: waiting for the service failed: %s\n", strerror(errno));
    if (ready <= 0)
        return -1;
    return recv(fd, &byte, 1, 0) == 0 ? 0 : -1;
}

// Statements the service has taken so far on this phase, from the length of
// its console: each one added exactly one line of QUERY_LINE_BYTES.
static long StatementsTaken(const ServiceProcess *service, long logSizeAtStart)
{
    long size = FileSize(service->logPath);
    if (size < logSizeAtStart)
        return 0;
    return (size - logSizeAtStart) / QUERY_LINE_BYTES;
}

int SendOnOneConnection(int port, int runId, long firstSeq, long count, double *elapsed)
{
    // FormatInsert ends each statement with a NUL, which the next one
    // overwrites; the last one's needs the extra byte.
    char chunk[BENCH_STATEMENT_BYTES * 50 + 1];
    double started = NowSeconds();
    int fd = ConnectLoopback(port);
    long seq = firstSeq;

    if (fd < 0)
        return -1;
    while (!benchInterrupted && seq < firstSeq + count) {
        int inChunk = 0;
        while (inChunk < 50 && seq < firstSeq + count)
            FormatInsert(chunk + BENCH_STATEMENT_BYTES * inChunk++, runId, seq++);
        if (SendBytes(fd, chunk, (size_t)inChunk * BENCH_STATEMENT_BYTES) != 0) {
            close(fd);
            return -1;
        }
    }
    shutdown(fd, SHUT_WR);
    if (WaitForServiceClose(fd) != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    *elapsed = NowSeconds() - started;
    return 0;
}

int MeasureOneConnection(const ServiceProcess *service, int runId, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    long logStart = FileSize(service->logPath);
    double cpuStarted = ServiceCpuSeconds(service);
    double started = NowSeconds();
    int fd = ConnectLoopback(service->port);
    long sent = 0;

    if (fd < 0 || logStart < 0 || cpuStarted < 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    while (!benchInterrupted && NowSeconds() - started < seconds) {
        if (sent - StatementsTaken(service, logStart) >= PIPELINE_LEAD) {
            SleepMicroseconds(PIPELINE_REST_US);
            continue;
        }
        FormatInsert(statement, runId, result->statements + sent);
        if (SendBytes(fd, statement, BENCH_STATEMENT_BYTES) != 0) {
            close(fd);
            return -1;
        }
        sent++;
    }
    shutdown(fd, SHUT_WR);
    if (WaitForServiceClose(fd) != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    result->ran = 1;
    result->statements += sent;
    result->seconds += NowSeconds() - started;
    result->cpuSeconds += ServiceCpuSeconds(service) - cpuStarted;
    return 0;
}

int MeasureSuccessiveConnections(const ServiceProcess *service, int runId, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    int inFlight[CONNECTIONS_IN_FLIGHT];
    int oldest = 0;
    int open = 0;
    long sent = 0;
    double cpuStarted = ServiceCpuSeconds(service);
    double started = NowSeconds();
    int status = cpuStarted < 0 ? -1 : 0;

    while (status == 0 && !benchInterrupted && NowSeconds() - started < seconds) {
        int fd;
        if (open == CONNECTIONS_IN_FLIGHT) {
            status = WaitForServiceClose(inFlight[oldest]);
            close(inFlight[oldest]);
            oldest = (oldest + 1) % CONNECTIONS_IN_FLIGHT;
            open--;
            continue;
        }
        fd = ConnectLoopback(service->port);
        if (fd < 0) {
            status = -1;
            break;
        }
        FormatInsert(statement, runId, result->statements + sent);
        if (SendBytes(fd, statement, BENCH_STATEMENT_BYTES) != 0) {
            close(fd);
            status = -1;
            break;
        }
        shutdown(fd, SHUT_WR);
        inFlight[(oldest + open) % CONNECTIONS_IN_FLIGHT] = fd;
        open++;
        sent++;
    }
    for (; open > 0; open--) {
        if (status == 0)
            status = WaitForServiceClose(inFlight[oldest]);
        close(inFlight[oldest]);
        oldest = (oldest + 1) % CONNECTIONS_IN_FLIGHT;
    }
    if (status != 0)
        return -1;
    result->ran = 1;
    result->statements += sent;
    result->seconds += NowSeconds() - started;
    result->cpuSeconds += ServiceCpuSeconds(service) - cpuStarted;
    return 0;
}

// SQLite bumps the change counter in its file header (4 bytes, big-endian,
// at offset 24) with every transaction it commits in rollback-journal mode.
// Reading it takes no lock, so watching it does not hold the writer up the
// way a polling SELECT would: a SELECT that meets the writer's lock makes
// the driver's busy handler sleep, on the writer's side as on the reader's.
static long SqliteChangeCounter(int fd)
{
    unsigned char bytes[4];
    if (pread(fd, bytes, sizeof bytes, 24) != (ssize_t)sizeof bytes)
        return -1;
    return ((long)bytes[0] << 24) | ((long)bytes[1] << 16) | ((long)bytes[2] << 8) | (long)bytes[3];
}

// True while some other process holds one of SQLite's locks on the file
// (the byte range from its pending byte on).
static int SqliteFileLocked(int fd)
{
    struct flock probe;
    memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0x40000000;
    probe.l_len = 512 + 2;
    if (fcntl(fd, F_GETLK, &probe) != 0)
        return 1;
    return probe.l_type != F_UNLCK;
}

// Whether a SELECT is worth trying yet: in rollback-journal mode once a
// commit has moved the counter and the writer has let go of the file; in
// WAL mode, where readers never block the writer and the counter stays,
// always.
static int SqliteWorthLooking(int fd, const char *walPath, long counterBefore)
{
    if (access(walPath, F_OK) == 0)
        return 1;
    return SqliteChangeCounter(fd) != counterBefore && !SqliteFileLocked(fd);
}

// True while the service sits idle: blocked reading the first byte of a
// statement (the one-byte receive is the service's own; database drivers
// read more at a time) or waiting for the next client. /proc shows the
// system call a blocked process is in, with its arguments.
static int IsServiceIdle(const ServiceProcess *service)
{
    char path[64];
    char line[256];
    long number;
    unsigned long arguments[3];
    FILE *file;
    int idle = 0;

    snprintf(path, sizeof path, "/proc/%d/syscall", (int)service->pid);
    file = fopen(path, "r");
    if (file == NULL)
        return 0;
    if (fgets(line, sizeof line, file) != NULL &&
        sscanf(line, "%ld %lx %lx %lx", &number, &arguments[0], &arguments[1], &arguments[2]) == 4) {
#ifdef SYS_accept
        if (number == SYS_accept)
            idle = 1;
#endif
        if (number == SYS_accept4 || (number == SYS_recvfrom && arguments[2] == 1))
            idle = 1;
    }
    fclose(file);
    return idle;
}

// Waits until the service has finished with the statement before (its
// disconnect and release), so that each latency sample is one statement's
// own and not partly the wait behind the one before.
static int WaitForServiceIdle(const ServiceProcess *service)
{
    double deadline = NowSeconds() + 30;
    while (!IsServiceIdle(service)) {
        if (NowSeconds() > deadline) {
            fprintf(stderr, "varn-bench: the service did not come back to reading within 30 s\n");
            return -1;
        }
        SleepMicroseconds(20);
    }
    return 0;
}

int MeasureVisibleLatency(const BenchEnvironment *env, const ServiceProcess *service, const BenchSource *source,
                          HelperLink *link, int runId, int perConnection, double seconds, PhaseResult *result)
{
    char statement[BENCH_STATEMENT_BYTES + 1];
    char walPath[BENCH_PATH_SIZE + 8];
    int sqliteFile = -1;
    int fd = -1;
    int previous = -1;
    long seq = result->statements;
    double started = NowSeconds();
    int status = 0;

    if (source->kind == BENCH_KIND_SQLITE) {
        snprintf(walPath, sizeof walPath, "%s-wal", source->sqlitePath);
        sqliteFile = open(source->sqlitePath, O_RDONLY);
        if (sqliteFile < 0) {
            fprintf(stderr, "varn-bench: cannot open %s: %s\n", source->sqlitePath, strerror(errno));
            return -1;
        }
    }
    while (status == 0 && !benchInterrupted && result->sampleCount < result->sampleCapacity &&
           NowSeconds() - started < seconds) {
        long counterBefore = sqliteFile >= 0 ? SqliteChangeCounter(sqliteFile) : 0;
        long looksBefore = result->looks;
        double shortest = result->shortestSeconds;
        double sentAt;
        double deadline;
        double latency;
        int gapUs;
        int visible = 0;

        if (WaitForServiceIdle(service) != 0) {
            status = -1;
            break;
        }
        if (fd < 0) {
            fd = ConnectLoopback(service->port);
            if (fd < 0) {
                status = -1;
                break;
            }
        }
        FormatInsert(statement, runId, seq);
        if (SendBytes(fd, statement, BENCH_STATEMENT_BYTES) != 0) {
            status = -1;
            break;
        }
        sentAt = NowSeconds();
        if (perConnection) {
            shutdown(fd, SHUT_WR);
            if (previous >= 0)
                close(previous);
            previous = -1;
        }

        // On a server, looking costs the database (and, on two cores, the
        // service) CPU time, so the first look waits for most of the
        // shortest latency seen so far, and later looks come at a gap of a
        // small share of it. A row found at the very first look may have
        // been visible a little earlier; those are counted, and the wait
        // shrinks after each. The SQLite file watch costs next to nothing
        // and starts at once.
        if (sqliteFile >= 0) {
            gapUs = SQLITE_WATCH_GAP_US;
        } else {
            if (shortest > 0)
                SleepMicroseconds((int)(shortest * 1e6 * FIRST_LOOK_SHARE));
            gapUs = (int)(shortest * 1e6 * LOOK_GAP_SHARE);
            if (gapUs < env->pollGapUs)
                gapUs = env->pollGapUs;
        }
        deadline = sentAt + 30;
        while (!visible) {
            if (sqliteFile < 0 || SqliteWorthLooking(sqliteFile, walPath, counterBefore)) {
                double lookStarted = NowSeconds();
                visible = IsRowVisible(link, runId, seq);
                result->lookSeconds += NowSeconds() - lookStarted;
                result->looks++;
                if (visible < 0) {
                    status = -1;
                    break;
                }
                if (visible)
                    break;
            }
            if (NowSeconds() > deadline) {
                fprintf(stderr, "varn-bench: row %ld did not become visible within 30 s\n", seq);
                status = -1;
                break;
            }
            SleepMicroseconds(gapUs);
        }
        if (status != 0)
            break;
        latency = NowSeconds() - sentAt;
        if (sqliteFile < 0 && result->looks - looksBefore == 1 && shortest > 0) {
            result->firstLookHits++;
            result->shortestSeconds = shortest * 0.9;
        } else if (shortest == 0 || latency < shortest) {
            result->shortestSeconds = latency;
        }
        AddSample(result, latency * 1e3);
        seq++;
        if (perConnection) {
            // Closed once the next statement is on its way, or below: the
            // half-close already told the service that nothing follows.
            previous = fd;
            fd = -1;
        }
    }
    // The service finishes the last statement's session before the next
    // slice starts timing.
    if (previous >= 0) {
        if (status == 0)
            status = WaitForServiceClose(previous);
        close(previous);
    }
    if (fd >= 0) {
        shutdown(fd, SHUT_WR);
        if (status == 0)
            status = WaitForServiceClose(fd);
        close(fd);
    }
    if (sqliteFile >= 0)
        close(sqliteFile);
    result->ran = 1;
    result->statements = seq;
    result->seconds += NowSeconds() - started;
    return status;
}

int SendStatements(int port, const char *const *statements, int count)
{
    int fd = ConnectLoopback(port);
    int status = 0;

    if (fd < 0)
        return -1;
    for (int i = 0; i < count && status == 0; i++)
        status = SendBytes(fd, statements[i], strlen(statements[i]));
    shutdown(fd, SHUT_WR);
    if (status == 0)
        status = WaitForServiceClose(fd);
    close(fd);
    return status;
}
