#include "measuredprocess.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

pid_t startProcess(const QStringList &argv, const QString &logPath)
{
    std::vector<QByteArray> storage;
    storage.reserve(size_t(argv.size()));
    for (const QString &arg : argv)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> args;
    for (QByteArray &arg : storage)
        args.push_back(arg.data());
    args.push_back(nullptr);

    const QByteArray log = logPath.toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

ProcessOutcome waitProcess(pid_t pid)
{
    ProcessOutcome outcome;
    if (pid <= 0)
        return outcome;
    outcome.started = true;
    int status = 0;
    rusage usage{};
    pid_t waited = -1;
    do {
        waited = wait4(pid, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid)
        return outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.maxRssKb = usage.ru_maxrss;
    return outcome;
}

ProcessOutcome runMeasured(const QStringList &argv, const QString &logPath)
{
    QElapsedTimer clock;
    clock.start();
    ProcessOutcome outcome = waitProcess(startProcess(argv, logPath));
    outcome.wallSeconds = double(clock.nsecsElapsed()) / 1e9;
    return outcome;
}

QString logTail(const QString &logPath, int lines)
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QStringList all = QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
    return all.mid(qMax(0, all.size() - lines)).join('\n');
}
