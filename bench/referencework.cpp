#include "referencework.h"

#include "benchinputs.h"
#include "measuredprocess.h"

#include <QDir>

namespace {

// Resampling in float, as our decoder does, so both sides convert full 24-bit values.
QString splitGraph()
{
    return QString("[0:a]aresample=48000:osf=flt,channelsplit=channel_layout=stereo[c0][c1]");
}

QStringList decodeHead(const QString &source)
{
    return {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-threads", "1", "-i", source,
            "-filter_threads", "1", "-filter_complex", splitGraph(), "-map_metadata", "-1", "-fflags", "+bitexact"};
}

bool addRun(const QStringList &argv, const QString &logPath, double *seconds, ReferenceTiming *timing)
{
    const ProcessOutcome outcome = runMeasured(argv, logPath);
    *seconds += outcome.wallSeconds;
    if (!outcome.ok())
        timing->error = QString("failed: %1\n%2").arg(argv.join(' '), logTail(logPath));
    return outcome.ok();
}

} // namespace

QString referenceTrackPath(const QString &outDir, int source, int channel, const QString &suffix)
{
    return QDir(outDir).filePath(QString("s%1c%2%3").arg(source).arg(channel).arg(suffix));
}

ReferenceTiming runFfmpegExport(const QStringList &sources, const QString &outDir, const QString &logPath)
{
    ReferenceTiming timing;
    for (int i = 0; i < sources.size(); ++i) {
        QStringList argv = decodeHead(sources[i]);
        for (int c = 0; c < kInputChannels; ++c)
            argv << "-map" << QString("[c%1]").arg(c) << "-threads" << "1" << "-c:a" << "flac"
                 << "-compression_level" << "1" << "-sample_fmt" << "s32" << "-bits_per_raw_sample" << "24"
                 << referenceTrackPath(outDir, i, c, ".flac");
        if (!addRun(argv, logPath, &timing.seconds, &timing))
            return timing;
    }
    timing.ok = true;
    return timing;
}

ReferenceTiming runFloor(const QStringList &sources, const QString &outDir, const QString &logPath)
{
    ReferenceTiming timing;
    QStringList encode{"flac", "-1", "-s", "-f", "--"};
    for (int i = 0; i < sources.size(); ++i) {
        QStringList argv = decodeHead(sources[i]);
        for (int c = 0; c < kInputChannels; ++c) {
            encode << referenceTrackPath(outDir, i, c, ".wav");
            argv << "-map" << QString("[c%1]").arg(c) << "-c:a" << "pcm_s24le" << encode.last();
        }
        if (!addRun(argv, logPath, &timing.decodeSeconds, &timing))
            return timing;
    }
    if (!addRun(encode, logPath, &timing.encodeSeconds, &timing))
        return timing;
    timing.seconds = timing.decodeSeconds + timing.encodeSeconds;
    timing.ok = true;
    return timing;
}
