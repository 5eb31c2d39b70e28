#pragma once

// Helpers shared by the test executables: real inputs made with the ffmpeg
// command, independent readers for the outputs, and a watcher that answers
// the program's modal message boxes the way a user would.

#include <QByteArray>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <functional>

namespace TestSupport {

struct ToolResult
{
    bool started = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool ok() const { return started && exitCode == 0; }
};

// Runs a program to its end (killed after timeoutMs) and captures its output.
ToolResult runTool(const QString &program, const QStringList &args, int timeoutMs = 120000);

// True when the tool can be run at all (for a QSKIP with a reason otherwise).
bool haveTool(const QString &program);

// Makes a file with the ffmpeg command: `ffmpeg -y <args> <path>`; returns false
// (with ffmpeg's message in *error) when ffmpeg refused.
bool makeWithFfmpeg(const QString &path, const QStringList &args, QString *error = nullptr);

// A sine of freq Hz (amplitude 0.5) per channel, channel c at freq * (c + 1),
// as a file whose container and codec follow from its suffix or extraArgs.
bool makeSine(const QString &path, int rate, int channels, double seconds,
              double freq = 440.0, const QStringList &extraArgs = {});

// Whether the installed FFmpeg can encode with the named encoder.
bool haveEncoder(const QString &encoder);

// Interleaved float samples of a file, as FFmpeg decodes it (optionally resampled).
QVector<float> decodeToFloats(const QString &path, int *channels = nullptr, int rate = 0);

// The samples of a FLAC file as read by the reference `flac` decoder,
// signed integers of the file's own bit depth, interleaved.
QVector<qint32> readFlacWithFlacTool(const QString &path);

// `flac -t`: the file is a complete, intact FLAC stream whose MD5 matches.
bool flacTestPasses(const QString &path, QString *message = nullptr);

struct FlacInfo
{
    int sampleRate = 0;
    int channels = 0;
    int bitsPerSample = 0;
    qint64 totalSamples = -1;
};

// STREAMINFO as `metaflac` reports it.
FlacInfo metaflacInfo(const QString &path);

// A message box the program showed, as the user saw it.
struct ShownBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QString parentName; // object name of the box's parent window
};

// Watches for modal message boxes, records them and presses Ok. onShown runs
// while the box is still up, before it is answered.
class MessageBoxWatcher : public QObject
{
    Q_OBJECT

public:
    explicit MessageBoxWatcher(QObject *parent = nullptr);

    QVector<ShownBox> boxes;
    std::function<void(QMessageBox *)> onShown;

private:
    void poll();
    QTimer m_timer;
};

// Processes events until pred holds or timeoutMs passes; returns pred().
bool waitFor(const std::function<bool()> &pred, int timeoutMs = 10000);

// A finished FLAC file, also when it holds no audio: FLAC records zero frames
// as "length unknown", which `flac -t -w` refuses; such a file must decode to
// nothing, where an unfinished one still holds frames.
bool flacComplete(const QString &path, QString *message = nullptr);

} // namespace TestSupport
