#pragma once

#include <QString>
#include <QStringList>

// The export's work done by the reference tools on stereo sources, timed by wall clock.
struct ReferenceTiming
{
    bool ok = false;
    double seconds = 0.0;
    double decodeSeconds = 0.0;  // the floor's two parts
    double encodeSeconds = 0.0;
    QString error;
};

// The path a reference run gives channel c of source i.
QString referenceTrackPath(const QString &outDir, int source, int channel, const QString &suffix);

// The ffmpeg command decoding, resampling to 48000 Hz, splitting and writing
// 24-bit FLAC at compression level 1, one process per source, single-threaded.
ReferenceTiming runFfmpegExport(const QStringList &sources, const QString &outDir, const QString &logPath);

// The floor: decoding and resampling alone into 24-bit mono WAV per channel,
// plus `flac -1` on those files.
ReferenceTiming runFloor(const QStringList &sources, const QString &outDir, const QString &logPath);
