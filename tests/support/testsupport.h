#pragma once

// Helpers shared by the test executables: real inputs made with the ffmpeg
// command, independent readers for the outputs, and a watcher that answers
// the program's modal message boxes the way a user would.

#include <QByteArray>
#include <QEvent>
#include <QMap>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <sys/resource.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class QWidget;

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
// The tool runs as installed, without what this process preloads.
ToolResult runTool(const QString &program, const QStringList &args, int timeoutMs = 120000);

// Runs one test function of this executable ("name" or "name:row") again in a
// child process, with the file I/O shim preloaded and set up by the given
// environment (names and meanings in fileioshim.c). In that child, underShim()
// is true and the test function does its work there.
ToolResult rerunUnderShim(const QString &testFunction, const QMap<QString, QString> &shimSettings);
bool underShim();

// True when the tool can be run at all (for a QSKIP with a reason otherwise).
bool haveTool(const QString &program);

// Writes bytes as the whole content of a new file; false if any did not arrive.
bool writeBytes(const QString &path, const QByteArray &bytes);

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

// Lowers this process's file-size limit while it lives, as a full disk looks
// to a writer: SIGXFSZ is ignored, so writes past the limit fail with EFBIG
// instead of ending the process. Both are restored on destruction.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool active() const { return m_active; }

private:
    rlimit m_previous{};
    bool m_active = false;
    void (*m_previousHandler)(int) = nullptr;
};

// Ends the process with qFatal when not destroyed within ms: a hang inside a
// call that runs its own loop leaves no event loop that could time it out.
class Watchdog
{
public:
    Watchdog(qint64 ms, QByteArray what);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// How a drag of URLs onto a widget went.
struct DropResult
{
    bool enterAccepted = false;
    Qt::DropAction enterAction = Qt::IgnoreAction;
    bool dropDelivered = false;
    bool dropAccepted = false;
    Qt::DropAction dropAction = Qt::IgnoreAction;
};

// Drags urls onto the middle of target and lets go, as Qt delivers a real
// drag: a QDragEnterEvent offering the given actions, then, only when target
// accepted it, a QDropEvent with the same offer. With blankDropAction the drop
// proposes no action, so that a target accepting it without choosing one
// shows as IgnoreAction.
DropResult dropUrls(QWidget *target, const QList<QUrl> &urls,
                    Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction,
                    bool blankDropAction = false);

// STREAMINFO compared as a whole, so that one QCOMPARE checks a track's format
// and length and prints both sides when they differ.
bool operator==(const FlacInfo &a, const FlacInfo &b);
inline bool operator!=(const FlacInfo &a, const FlacInfo &b) { return !(a == b); }
char *toString(const FlacInfo &info);

// Counts the events of one type delivered to the objects it is installed on
// as an event filter; lets them all through.
class EventCounter : public QObject
{
public:
    explicit EventCounter(QEvent::Type type, QObject *parent = nullptr);

    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QEvent::Type m_type;
};

// The organisation and application names the program's main() sets, so that
// settings are read and written under the program's own keys.
void setProgramIdentity();

} // namespace TestSupport
