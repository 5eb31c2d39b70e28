#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <chrono>
#include <csignal>
#include <cstring>

namespace TestSupport {

namespace {

constexpr char kUnderShim[] = "NELVO_UNDER_SHIM";
constexpr int kShimmedRunTimeoutMs = 600000;

ToolResult runProcess(const QString &program, const QStringList &args, const QProcessEnvironment &environment,
                      int timeoutMs)
{
    ToolResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, args);
    if (!process.waitForStarted(10000))
        return result;
    result.started = true;
    process.closeWriteChannel();
    // Read as we go: a large output would otherwise fill the pipe and stall the tool.
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        result.out += process.readAllStandardOutput();
        result.err += process.readAllStandardError();
        if (clock.elapsed() > timeoutMs) {
            process.kill();
            process.waitForFinished();
            result.exitCode = -1;
            return result;
        }
    }
    result.out += process.readAllStandardOutput();
    result.err += process.readAllStandardError();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

// The sanitizers' runtime, when this process has it: it must come first among
// the preloaded libraries.
QString sanitizerRuntime()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = maps.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const int path = line.indexOf('/');
        if (path >= 0 && line.contains("/libasan.so"))
            return QString::fromLocal8Bit(line.mid(path));
    }
    return {};
}

} // namespace

ToolResult runTool(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    return runProcess(program, args, environment, timeoutMs);
}

ToolResult rerunUnderShim(const QString &testFunction, const QMap<QString, QString> &shimSettings)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList preload{QStringLiteral(NELVO_FILEIO_SHIM)};
    const QString runtime = sanitizerRuntime();
    if (!runtime.isEmpty())
        preload.prepend(runtime);
    environment.insert(QStringLiteral("LD_PRELOAD"), preload.join(':'));
    environment.insert(QLatin1String(kUnderShim), QStringLiteral("1"));
    for (auto it = shimSettings.cbegin(); it != shimSettings.cend(); ++it)
        environment.insert(it.key(), it.value());
    return runProcess(QCoreApplication::applicationFilePath(), {testFunction}, environment, kShimmedRunTimeoutMs);
}

bool underShim()
{
    return qEnvironmentVariableIsSet(kUnderShim);
}

bool haveTool(const QString &program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

bool makeWithFfmpeg(const QString &path, const QStringList &args, QString *error)
{
    QStringList all{"-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
    all += args;
    all << path;
    const ToolResult r = runTool("ffmpeg", all);
    if (!r.ok() && error)
        *error = QString::fromLocal8Bit(r.err);
    return r.ok() && QFileInfo(path).isFile();
}

bool makeSine(const QString &path, int rate, int channels, double seconds, double freq,
              const QStringList &extraArgs)
{
    QStringList args;
    QString filter;
    for (int c = 0; c < channels; ++c) {
        args << "-f" << "lavfi" << "-i"
             << QString("sine=frequency=%1:sample_rate=%2:duration=%3")
                    .arg(freq * (c + 1)).arg(rate).arg(seconds, 0, 'f', 6);
        filter += QString("[%1:a]").arg(c);
    }
    // sine's amplitude is 1/8; keep it well inside full scale but clearly non-zero.
    filter += QString("amerge=inputs=%1,volume=4[out]").arg(channels);
    if (channels == 1)
        filter = "[0:a]volume=4[out]";
    args << "-filter_complex" << filter << "-map" << "[out]";
    args += extraArgs;
    return makeWithFfmpeg(path, args);
}

bool haveEncoder(const QString &encoder)
{
    const ToolResult r = runTool("ffmpeg", {"-hide_banner", "-encoders"});
    return r.ok() && r.out.contains(" " + encoder.toUtf8() + " ");
}

QVector<float> decodeToFloats(const QString &path, int *channels, int rate)
{
    const ToolResult probe = runTool("ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_entries",
                                                 "stream=channels", "-of", "csv=p=0", path});
    const int nch = probe.ok() ? probe.out.trimmed().toInt() : 0;
    if (channels)
        *channels = nch;
    QStringList args{"-hide_banner", "-loglevel", "error", "-nostdin", "-i", path, "-map", "0:a:0"};
    if (rate > 0)
        args << "-ar" << QString::number(rate);
    args << "-f" << "f32le" << "-acodec" << "pcm_f32le" << "-";
    const ToolResult r = runTool("ffmpeg", args);
    QVector<float> samples;
    if (!r.ok())
        return samples;
    samples.resize(r.out.size() / int(sizeof(float)));
    std::memcpy(samples.data(), r.out.constData(), size_t(samples.size()) * sizeof(float));
    return samples;
}

QVector<qint32> readFlacWithFlacTool(const QString &path)
{
    const FlacInfo info = metaflacInfo(path);
    const ToolResult r = runTool("flac", {"-d", "-s", "-c", "--force-raw-format", "--endian=little",
                                          "--sign=signed", path});
    QVector<qint32> samples;
    if (!r.ok() || info.bitsPerSample <= 0)
        return samples;
    const int bytes = (info.bitsPerSample + 7) / 8;
    const int count = r.out.size() / bytes;
    samples.resize(count);
    const auto *p = reinterpret_cast<const unsigned char *>(r.out.constData());
    for (int i = 0; i < count; ++i) {
        quint32 v = 0;
        for (int b = 0; b < bytes; ++b)
            v |= quint32(p[i * bytes + b]) << (8 * b);
        const int shift = 32 - 8 * bytes;
        samples[i] = qint32(v << shift) >> shift;
    }
    return samples;
}

bool flacTestPasses(const QString &path, QString *message)
{
    const ToolResult r = runTool("flac", {"-t", "-s", "-w", path});
    if (message)
        *message = QString::fromLocal8Bit(r.err);
    return r.ok();
}

FlacInfo metaflacInfo(const QString &path)
{
    FlacInfo info;
    const ToolResult r = runTool("metaflac", {"--show-sample-rate", "--show-channels", "--show-bps",
                                              "--show-total-samples", path});
    if (!r.ok())
        return info;
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    if (lines.size() != 4)
        return info;
    info.sampleRate = lines[0].trimmed().toInt();
    info.channels = lines[1].trimmed().toInt();
    info.bitsPerSample = lines[2].trimmed().toInt();
    info.totalSamples = lines[3].trimmed().toLongLong();
    return info;
}

MessageBoxWatcher::MessageBoxWatcher(QObject *parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &MessageBoxWatcher::poll);
    m_timer.start(10);
}

void MessageBoxWatcher::poll()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box || !box->isVisible() || box->property("nelvoTestSeen").toBool())
            continue;
        box->setProperty("nelvoTestSeen", true);
        ShownBox shown;
        shown.icon = box->icon();
        shown.title = box->windowTitle();
        shown.text = box->text();
        shown.buttons = box->standardButtons();
        shown.parentName = box->parentWidget() ? box->parentWidget()->objectName() : QString();
        boxes.append(shown);
        if (onShown)
            onShown(box);
        QPointer<QMessageBox> guard(box);
        if (guard) {
            if (QAbstractButton *ok = guard->button(QMessageBox::Ok))
                ok->click();
            else
                guard->reject();
        }
    }
}

bool waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!pred() && clock.elapsed() < timeoutMs)
        QTest::qWait(5);
    return pred();
}

bool flacComplete(const QString &path, QString *message)
{
    if (metaflacInfo(path).totalSamples != 0)
        return flacTestPasses(path, message);
    const ToolResult test = runTool("flac", {"-t", "-s", path});
    if (message)
        *message = QString::fromLocal8Bit(test.err);
    return test.ok() && readFlacWithFlacTool(path).isEmpty();
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    m_active = getrlimit(RLIMIT_FSIZE, &m_previous) == 0;
    rlimit lowered = m_previous;
    lowered.rlim_cur = bytes;
    m_active = m_active && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    if (m_active)
        setrlimit(RLIMIT_FSIZE, &m_previous);
    std::signal(SIGXFSZ, m_previousHandler);
}

Watchdog::Watchdog(qint64 ms, QByteArray what)
    : m_thread([this, ms, what] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_done.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_finished; }))
            qFatal("%s did not end within %lld ms", what.constData(), ms);
    })
{
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_all();
    m_thread.join();
}

DropResult dropUrls(QWidget *target, const QList<QUrl> &urls, Qt::DropActions offered, bool blankDropAction)
{
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = target->rect().center();
    DropResult result;

    QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    result.enterAccepted = enter.isAccepted();
    result.enterAction = enter.dropAction();
    if (!result.enterAccepted)
        return result;

    QDropEvent drop(at, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    if (blankDropAction)
        drop.setDropAction(Qt::IgnoreAction);
    QApplication::sendEvent(target, &drop);
    result.dropDelivered = true;
    result.dropAccepted = drop.isAccepted();
    result.dropAction = drop.dropAction();
    return result;
}

bool operator==(const FlacInfo &a, const FlacInfo &b)
{
    return a.sampleRate == b.sampleRate && a.channels == b.channels && a.bitsPerSample == b.bitsPerSample
           && a.totalSamples == b.totalSamples;
}

char *toString(const FlacInfo &info)
{
    return qstrdup(QString("%1 Hz, %2 channel(s), %3 bit, %4 frames")
                       .arg(info.sampleRate).arg(info.channels).arg(info.bitsPerSample).arg(info.totalSamples)
                       .toUtf8().constData());
}

EventCounter::EventCounter(QEvent::Type type, QObject *parent)
    : QObject(parent)
    , m_type(type)
{
}

bool EventCounter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == m_type)
        ++count;
    return QObject::eventFilter(watched, event);
}

void setProgramIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Corlith"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("corlith.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Nelvo Session Maker"));
}

} // namespace TestSupport
