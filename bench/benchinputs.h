#pragma once

#include <QString>
#include <QStringList>

constexpr int kInputRate = 44100;
constexpr int kInputChannels = 2;
constexpr int kWavFileCount = 8;

struct InputPlan
{
    double wavSeconds = 0.0;
    double mp3Seconds = 0.0;
    double memoryShortSeconds = 0.0;
    double memoryLongSeconds = 0.0;
};

struct BenchInputs
{
    QStringList wavFiles;     // stereo 44.1 kHz 16-bit, each with content of its own
    QString mp3File;          // stereo 44.1 kHz
    QString memoryShortFile;  // stereo MP3 cut from the long one
    QString memoryLongFile;
};

// Makes every input with the ffmpeg command in dir (several at once).
bool makeBenchInputs(const InputPlan &plan, const QString &dir, BenchInputs *inputs, QString *error);
