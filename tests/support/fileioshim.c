// Preloaded into a test process (LD_PRELOAD) to show the program the disk
// faults no test machine has, and to witness what it asks of the disk. Set
// through the environment when the process starts:
//
//   NELVO_SHIM_READ_PATH   a file (as /proc/self/fd shows it); once a read of it
//   NELVO_SHIM_READ_AFTER  reaches this offset,
//   NELVO_SHIM_READ_FAULT  "eio": every read from there on fails with EIO, as
//                          on a dying disk or a pulled stick;
//                          "clockback": the wall clock steps back an hour.
//   NELVO_SHIM_SYNC_LOG    every fsync/fdatasync appends a line
//                          "<witness> <size> <path>" (size "-" for a folder),
//                          where witness is 1 when a file named
//                          NELVO_SHIM_SYNC_WITNESS stood beside the synced file
//                          (or in the synced folder) at that moment;
//   NELVO_SHIM_SYNC_FAIL_AT   the sync with this number (from 1, in the order
//                          the process asks for them) fails with EIO;
//   NELVO_SHIM_SYNC_DELAY_MS  every sync takes this much longer, as on a slow card.
//
// Read at each call instead, so that a test can set it part-way:
//
//   NELVO_SHIM_THREADS_REFUSED  when "1", no thread can be started (EAGAIN),
//                          as under a process limit.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static const long long kClockStepSeconds = 3600;

static ssize_t (*realRead)(int, void *, size_t);
static int (*realFsync)(int);
static int (*realFdatasync)(int);
static int (*realGettimeofday)(struct timeval *, void *);
static int (*realClockGettime)(clockid_t, struct timespec *);
static int (*realPthreadCreate)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

static const char *readPath;
static long long readAfter = -1;
static int failReads;
static int clockBack;
static int triggered;
static const char *syncLog;
static const char *syncWitness;
static long long syncFailAt = -1;
static long long syncDelayMs;
static long long syncsSeen;

// Looked up on first use: other libraries' constructors may call in before ours.
static void findReal(void)
{
    if (__atomic_load_n(&realRead, __ATOMIC_ACQUIRE))
        return;
    realFsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    realFdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    realGettimeofday = (int (*)(struct timeval *, void *))dlsym(RTLD_NEXT, "gettimeofday");
    realClockGettime = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    realPthreadCreate = (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(
        RTLD_NEXT, "pthread_create");
    __atomic_store_n(&realRead, (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read"), __ATOMIC_RELEASE);
}

__attribute__((constructor)) static void setUp(void)
{
    findReal();
    readPath = getenv("NELVO_SHIM_READ_PATH");
    const char *after = getenv("NELVO_SHIM_READ_AFTER");
    const char *fault = getenv("NELVO_SHIM_READ_FAULT");
    if (readPath && after && fault) {
        readAfter = atoll(after);
        failReads = strcmp(fault, "eio") == 0;
        clockBack = strcmp(fault, "clockback") == 0;
    }
    syncLog = getenv("NELVO_SHIM_SYNC_LOG");
    syncWitness = getenv("NELVO_SHIM_SYNC_WITNESS");
    const char *failAt = getenv("NELVO_SHIM_SYNC_FAIL_AT");
    if (failAt && *failAt)
        syncFailAt = atoll(failAt);
    const char *delay = getenv("NELVO_SHIM_SYNC_DELAY_MS");
    if (delay)
        syncDelayMs = atoll(delay);
}

static int pathOf(int fd, char *path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, size - 1);
    if (length < 0)
        return 0;
    path[length] = '\0';
    return 1;
}

static int isWatched(int fd)
{
    char path[4096];
    return readAfter >= 0 && pathOf(fd, path, sizeof path) && strcmp(path, readPath) == 0;
}

ssize_t read(int fd, void *buf, size_t count)
{
    findReal();
    if (!isWatched(fd))
        return realRead(fd, buf, count);
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at + (long long)count > readAfter)
        __atomic_store_n(&triggered, 1, __ATOMIC_SEQ_CST);
    if (failReads && at >= 0) {
        if (at >= readAfter) {
            errno = EIO;
            return -1;
        }
        if (at + (long long)count > readAfter)
            count = (size_t)(readAfter - at);
    }
    return realRead(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t size)
{
    (void)size;
    return read(fd, buf, count);
}

static int witnessed(const char *path)
{
    char beside[4096];
    struct stat info;
    if (!syncWitness)
        return 0;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        snprintf(beside, sizeof beside, "%s/%s", path, syncWitness);
    } else {
        const char *slash = strrchr(path, '/');
        const int folder = slash ? (int)(slash - path) : 0;
        snprintf(beside, sizeof beside, "%.*s/%s", folder, path, syncWitness);
    }
    return access(beside, F_OK) == 0;
}

static int loggedSync(int fd, int (*real)(int))
{
    const long long number = __atomic_add_fetch(&syncsSeen, 1, __ATOMIC_SEQ_CST);
    if (syncDelayMs > 0) {
        const struct timespec pause = {syncDelayMs / 1000, (syncDelayMs % 1000) * 1000000};
        nanosleep(&pause, NULL);
    }
    char path[4096];
    if (syncLog && pathOf(fd, path, sizeof path)) {
        struct stat info;
        char size[32] = "-";
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            snprintf(size, sizeof size, "%lld", (long long)info.st_size);
        char line[4200];
        const int length = snprintf(line, sizeof line, "%d %s %s\n", witnessed(path), size, path);
        const int log = open(syncLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (log >= 0) {
            if (write(log, line, (size_t)length) != length)
                perror("sync log");
            close(log);
        }
    }
    if (number == syncFailAt) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int fsync(int fd)
{
    findReal();
    return loggedSync(fd, realFsync);
}

int fdatasync(int fd)
{
    findReal();
    return loggedSync(fd, realFdatasync);
}

static long long clockShift(void)
{
    return clockBack && __atomic_load_n(&triggered, __ATOMIC_SEQ_CST) ? kClockStepSeconds : 0;
}

int gettimeofday(struct timeval *tv, void *tz)
{
    findReal();
    const int result = realGettimeofday(tv, tz);
    if (result == 0 && tv)
        tv->tv_sec -= clockShift();
    return result;
}

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    findReal();
    const int result = realClockGettime(clock, ts);
    if (result == 0 && ts && clock == CLOCK_REALTIME)
        ts->tv_sec -= clockShift();
    return result;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    findReal();
    const char *refused = getenv("NELVO_SHIM_THREADS_REFUSED");
    if (refused && strcmp(refused, "1") == 0)
        return EAGAIN;
    return realPthreadCreate(thread, attr, start, arg);
}
