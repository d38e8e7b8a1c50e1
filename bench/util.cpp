// Clocks, precise short sleeps, percentiles and path joining for the
// benchmark.
#include "bench.h"

#include <algorithm>
#include <errno.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>

volatile sig_atomic_t benchInterrupted;

double NowSeconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

void SleepMicroseconds(int microseconds)
{
    // The default timer slack of 50 us would add that much to every short
    // sleep, coarsening the latency figures; 1 us keeps sleeps as asked.
    static int slackSet;
    struct timespec wait;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slackSet = 1;
    }
    wait.tv_sec = microseconds / 1000000;
    wait.tv_nsec = (long)(microseconds % 1000000) * 1000L;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

double ThreadCpuSeconds(void)
{
    struct timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return (double)used.tv_sec + (double)used.tv_nsec * 1e-9;
}

double ProcessCpuSeconds(void)
{
    struct timespec used;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return (double)used.tv_sec + (double)used.tv_nsec * 1e-9;
}

// Nearest-rank percentiles: the smallest sample at or above the given share
// of all samples.
void Percentiles(double *samples, long count, double *p50, double *p99)
{
    long rank50;
    long rank99;

    if (count <= 0) {
        *p50 = 0;
        *p99 = 0;
        return;
    }
    std::sort(samples, samples + count);
    rank50 = (count * 50 + 99) / 100;
    rank99 = (count * 99 + 99) / 100;
    *p50 = samples[rank50 - 1];
    *p99 = samples[rank99 - 1];
}

void AddSample(PhaseResult *result, double milliseconds)
{
    if (result->samples != NULL && result->sampleCount < result->sampleCapacity)
        result->samples[result->sampleCount++] = milliseconds;
}

void FinishPhase(PhaseResult *result)
{
    result->rate = result->seconds > 0 ? (double)result->statements / result->seconds : 0;
    result->cpuUsPerStatement =
        result->statements > 0 ? result->cpuSeconds * 1e6 / (double)result->statements : 0;
    result->pollsPerStatement = result->statements > 0 ? (double)result->looks / (double)result->statements : 0;
    result->pollUs = result->looks > 0 ? result->lookSeconds * 1e6 / (double)result->looks : 0;
    if (result->samples != NULL)
        Percentiles(result->samples, result->sampleCount, &result->p50Ms, &result->p99Ms);
}

int JoinPath(char *path, size_t size, const char *dir, const char *name)
{
    size_t dirLength = strlen(dir);
    size_t nameLength = strlen(name);
    if (dirLength + 1 + nameLength + 1 > size) {
        path[0] = '\0';
        return -1;
    }
    memcpy(path, dir, dirLength);
    path[dirLength] = '/';
    memcpy(path + dirLength + 1, name, nameLength + 1);
    return 0;
}
