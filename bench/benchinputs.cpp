#include "benchinputs.h"

#include "measuredprocess.h"

#include <QDir>
#include <QVector>

namespace {

constexpr double kNoiseAmplitude = 0.3;
constexpr double kBaseToneHz = 110.0;
constexpr const char *kMp3Bitrate = "192k";

// Pink noise on the left, brown on the right, each mixed with a tone of its own,
// so that every file and channel gives the FLAC predictor real work.
QString signalGraph(int seed, double seconds)
{
    const QString d = QString::number(seconds, 'f', 3);
    const double leftTone = kBaseToneHz * (seed + 2);
    const double rightTone = leftTone * 1.5;
    return QString("anoisesrc=d=%1:c=pink:r=%2:a=%3:s=%4[n0];"
                   "anoisesrc=d=%1:c=brown:r=%2:a=%3:s=%5[n1];"
                   "sine=f=%6:r=%2:d=%1[s0];sine=f=%7:r=%2:d=%1[s1];"
                   "[n0][s0]amix=inputs=2[l];[n1][s1]amix=inputs=2[r];"
                   "[l][r]join=inputs=2:channel_layout=stereo[out]")
        .arg(d)
        .arg(kInputRate)
        .arg(kNoiseAmplitude)
        .arg(2 * seed + 1)
        .arg(2 * seed + 2)
        .arg(leftTone)
        .arg(rightTone);
}

QStringList ffmpegCommand(const QStringList &args, const QString &output)
{
    return QStringList{"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"} + args
           + QStringList{output};
}

QStringList generated(int seed, double seconds, const QStringList &codecArgs, const QString &output)
{
    return ffmpegCommand(QStringList{"-filter_complex", signalGraph(seed, seconds), "-map", "[out]", "-ar",
                                     QString::number(kInputRate)}
                             + codecArgs,
                         output);
}

// Loops and cuts an MP3 without re-encoding it: long inputs cost no encoding time.
QStringList loopedCopy(const QString &source, double seconds, const QString &output)
{
    return ffmpegCommand({"-stream_loop", "-1", "-i", source, "-t", QString::number(seconds, 'f', 3), "-c",
                          "copy"},
                         output);
}

bool runAll(const QVector<QStringList> &commands, const QString &logPath, QString *error)
{
    QVector<pid_t> pids;
    for (const QStringList &command : commands)
        pids.append(startProcess(command, logPath));
    bool ok = true;
    for (int i = 0; i < pids.size(); ++i) {
        if (!waitProcess(pids[i]).ok()) {
            ok = false;
            *error += QString("failed: %1\n").arg(commands[i].join(' '));
        }
    }
    if (!ok)
        *error += logTail(logPath);
    return ok;
}

} // namespace

bool makeBenchInputs(const InputPlan &plan, const QString &dir, BenchInputs *inputs, QString *error)
{
    const QDir folder(dir);
    const QString log = folder.filePath("inputs.log");
    const QStringList wavCodec{"-c:a", "pcm_s16le"};
    const QStringList mp3Codec{"-c:a", "libmp3lame", "-b:a", kMp3Bitrate};

    QVector<QStringList> commands;
    inputs->wavFiles.clear();
    for (int i = 0; i < kWavFileCount; ++i) {
        inputs->wavFiles << folder.filePath(QString("stem%1.wav").arg(i + 1));
        commands << generated(i, plan.wavSeconds, wavCodec, inputs->wavFiles.last());
    }
    inputs->mp3File = folder.filePath("long.mp3");
    commands << generated(kWavFileCount, plan.mp3Seconds, mp3Codec, inputs->mp3File);
    if (!runAll(commands, log, error))
        return false;

    inputs->memoryShortFile = folder.filePath("memory-short.mp3");
    inputs->memoryLongFile = folder.filePath("memory-long.mp3");
    return runAll({loopedCopy(inputs->mp3File, plan.memoryShortSeconds, inputs->memoryShortFile),
                   loopedCopy(inputs->mp3File, plan.memoryLongSeconds, inputs->memoryLongFile)},
                  log, error);
}
