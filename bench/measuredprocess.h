#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

// A child process as the benchmark sees it: how it ended, how long it took and
// the most memory it held (ru_maxrss of that one child, from wait4).
struct ProcessOutcome
{
    bool started = false;
    int exitCode = -1;
    double wallSeconds = 0.0;
    long maxRssKb = 0;
    bool ok() const { return started && exitCode == 0; }
};

// Starts argv (argv[0] looked up in PATH) with stdin from /dev/null and both
// output streams appended to logPath. Returns -1 if it cannot be started.
pid_t startProcess(const QStringList &argv, const QString &logPath);

// Waits for a process started above; wallSeconds is left to the caller.
ProcessOutcome waitProcess(pid_t pid);

// Starts, waits and times one process.
ProcessOutcome runMeasured(const QStringList &argv, const QString &logPath);

// The last lines of a log, for a failure message.
QString logTail(const QString &logPath, int lines = 12);
