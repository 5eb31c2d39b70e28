// Hostile and damaged media: every input must end in bounded time as either a
// stream that yields whole, finite frames or a refused stream with its line.
#include "app/sessionmakerwindow.h"
#include "decoder/ffstream.h"
#include "export/sessionformat.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QUrl>

#include <cmath>
#include <functional>
#include <memory>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

using namespace TestSupport;

namespace {

constexpr qint64 kPumpCallLimit = 2000000;
constexpr size_t kFillThreshold = 32767;
constexpr int kInputTimeoutMs = 30000;
// The drop handler opens every file on the GUI thread: past this the window freezes noticeably.
constexpr qint64 kInputSlowMs = 8000;
constexpr qint64 kExportTimeoutMs = 180000;
constexpr double kSourceSeconds = 1.5;

enum class Expect { Usable, Refused, Either };

struct Input
{
    QString name;
    QString path;
    Expect expect = Expect::Either;
    bool namesLocalServer = false; // a playlist pointing at our listening socket
};

// What the child process found while opening and pumping one input.
struct PumpReport
{
    qint32 usable = 0;
    qint32 channels = 0;
    qint32 partialFrameCalls = 0;
    qint32 nonFinite = 0;
    qint32 ended = 0;
    qint32 leaks = 0;
    qint64 frames = 0;
    qint64 calls = 0;
};

struct IsolatedRun
{
    enum Kind { Finished, Crashed, TimedOut, NoReport };
    Kind kind = NoReport;
    int signal = 0;
    PumpReport report;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

// Pumps as the export does: fill while the buffer holds at most 32767 floats,
// after a false result two more calls, done once such a fill leaves nothing.
PumpReport pumpLikeTheExport(const QString &path)
{
    PumpReport r;
    auto stream = std::make_unique<FFStream>(path, kOutputRate);
    r.usable = stream->isUsable();
    r.channels = stream->channels;
    if (r.usable) {
        const int nch = stream->channels;
        SampleBuffer buffer;
        auto pumpOnce = [&] {
            const size_t before = buffer.size();
            const bool more = stream->pump(buffer);
            ++r.calls;
            const size_t added = buffer.size() - before;
            if (nch <= 0 ? added != 0 : added % size_t(nch) != 0)
                ++r.partialFrameCalls;
            return more;
        };
        while (r.calls < kPumpCallLimit) {
            bool exhausted = false;
            while (buffer.size() <= kFillThreshold && r.calls < kPumpCallLimit) {
                if (!pumpOnce()) {
                    pumpOnce();
                    pumpOnce();
                    exhausted = true;
                    break;
                }
            }
            if (exhausted && buffer.empty()) {
                r.ended = 1;
                break;
            }
            for (float v : buffer)
                if (!std::isfinite(v))
                    ++r.nonFinite;
            if (nch > 0)
                r.frames += qint64(buffer.size()) / nch;
            buffer.clear();
        }
    }
    stream.reset();
    if (__lsan_do_recoverable_leak_check)
        r.leaks = __lsan_do_recoverable_leak_check();
    return r;
}

// Runs work in a forked child so that a crash or a hang is one failed case,
// not the end of the suite; the child's stdout (the "player: " lines) is kept.
IsolatedRun runIsolated(const std::function<PumpReport()> &work, int timeoutMs)
{
    IsolatedRun run;
    QTemporaryFile outFile, errFile;
    if (!outFile.open() || !errFile.open())
        return run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    fflush(nullptr);
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(outFile.handle(), STDOUT_FILENO);
        dup2(errFile.handle(), STDERR_FILENO);
        av_log_set_level(AV_LOG_QUIET);
        const PumpReport r = work();
        fflush(stdout);
        if (write(fds[1], &r, sizeof r) != ssize_t(sizeof r))
            _exit(3);
        _exit(0);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return run;
    }
    int status = 0;
    bool exited = false;
    while (!exited) {
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            exited = true;
        } else if (clock.elapsed() > timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        } else {
            usleep(500);
        }
    }
    run.ms = clock.elapsed();
    PumpReport r;
    const bool gotReport = exited && read(fds[0], &r, sizeof r) == ssize_t(sizeof r);
    close(fds[0]);
    outFile.seek(0);
    errFile.seek(0);
    run.out = outFile.readAll();
    run.err = errFile.readAll().right(6000);
    if (!exited) {
        run.kind = IsolatedRun::TimedOut;
    } else if (WIFSIGNALED(status)) {
        run.kind = IsolatedRun::Crashed;
        run.signal = WTERMSIG(status);
    } else if (WEXITSTATUS(status) != 0 || !gotReport) {
        run.kind = IsolatedRun::Crashed;
    } else {
        run.kind = IsolatedRun::Finished;
        run.report = r;
    }
    return run;
}

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

quint32 le32(const QByteArray &b, int at)
{
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16
           | quint32(quint8(b[at + 3])) << 24;
}

void putLe16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v & 0xff);
    b[at + 1] = char(v >> 8);
}

void putLe32(QByteArray &b, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xff);
}

// Offset of a RIFF chunk's header ("fmt ", "data"), or -1.
int riffChunk(const QByteArray &wav, const char *id)
{
    int at = 12;
    while (at + 8 <= wav.size()) {
        if (wav.mid(at, 4) == id)
            return at;
        at += 8 + int(le32(wav, at + 4)) + (le32(wav, at + 4) & 1);
    }
    return -1;
}

// Seeded damage: count bytes xor-ed with a non-zero value, at places in [from, size).
QByteArray flipped(QByteArray bytes, quint32 seed, int count, int from)
{
    QRandomGenerator rng(seed);
    if (bytes.size() <= from)
        return bytes;
    for (int i = 0; i < count; ++i) {
        const int at = from + int(rng.bounded(quint32(bytes.size() - from)));
        bytes[at] = char(quint8(bytes[at]) ^ quint8(1 + rng.bounded(255u)));
    }
    return bytes;
}

QByteArray randomBytes(quint32 seed, int size)
{
    QRandomGenerator rng(seed);
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(rng.bounded(256u));
    return bytes;
}

QStringList openFailureLines(const QString &path)
{
    const QString p = QString::fromUtf8(path.toUtf8());
    QStringList lines;
    for (const char *form : {"couldn't open file %1", "couldn't open avstream %1",
                             "couldn't find stream information for %1", "couldn't find audio stream in %1",
                             "couldn't find audio codec for %1", "codec stream parameters not found for %1",
                             "couldn't open codec for %1", "unable to create software converter for %1"})
        lines << QStringLiteral("player: ") + QString::fromLatin1(form).arg(p);
    return lines;
}

} // namespace

class MalformedInputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openAndPump_data();
    void openAndPump();
    void dropOnWindow();
    void exportWhatOpened_data();
    void exportWhatOpened();
    void cleanupTestCase();

private:
    void addBase(const QString &name, const QString &file, const QStringList &args);
    void addDamaged(const QString &name, const QString &path);
    void addSpecials();
    QString put(const QString &name, const QByteArray &bytes, Expect expect = Expect::Either);
    QList<Input> finishedInputs(const std::function<bool(const Input &, const PumpReport &)> &pred) const;

    QTemporaryDir m_dir;
    QTcpServer m_server;
    QList<Input> m_inputs;
    QStringList m_missingEncoders;
    QHash<QString, IsolatedRun> m_runs;
    QHash<QString, QString> m_basePaths;
    int m_exportsRun = 0;
};

QString MalformedInputTest::put(const QString &name, const QByteArray &bytes, Expect expect)
{
    const QString path = m_dir.filePath("corpus/" + name);
    if (!writeBytes(path, bytes))
        return {};
    m_inputs.append({name, path, expect, false});
    return path;
}

void MalformedInputTest::addBase(const QString &name, const QString &file, const QStringList &args)
{
    const QString path = m_dir.filePath("corpus/" + file);
    QString error;
    if (!makeWithFfmpeg(path, args, &error)) {
        m_missingEncoders << name + ": " + error.trimmed();
        return;
    }
    m_inputs.append({file, path, Expect::Usable, false});
    m_basePaths.insert(name, path);
    addDamaged(name, path);
}

void MalformedInputTest::addDamaged(const QString &name, const QString &path)
{
    const QByteArray bytes = readBytes(path);
    const QString ext = QFileInfo(path).suffix();
    const int n = bytes.size();
    QList<int> cuts{1, n - 1};
    for (int k = 1; k < 8; ++k)
        cuts << n * k / 8;
    for (int cut : cuts)
        put(QString("%1-cut%2.%3").arg(name).arg(cut).arg(ext), bytes.left(cut));
    for (int head : {44, 100, 1000})
        if (head < n)
            put(QString("%1-head%2.%3").arg(name).arg(head).arg(ext), bytes.left(head));
    quint32 seed = quint32(qHash(name));
    for (int count : {1, 4, 32, 256}) {
        put(QString("%1-flip%2.%3").arg(name).arg(count).arg(ext), flipped(bytes, ++seed, count, 0));
        // Past the headers, so that the decoder itself meets the damage.
        put(QString("%1-bodyflip%2.%3").arg(name).arg(count).arg(ext), flipped(bytes, ++seed, count, n / 10));
    }
}

void MalformedInputTest::addSpecials()
{
    put(QString::fromUtf8("leer ü.wav"), {}, Expect::Refused);
    put("notes.txt", "hello\nthis is not audio, only text\n", Expect::Refused);
    for (quint32 seed : {1u, 2u, 3u})
        put(QString("random%1.wav").arg(seed), randomBytes(seed, seed == 3 ? 1 << 20 : 4096 * int(seed)));

    const QByteArray wav = readBytes(m_basePaths.value("wav"));
    const int fmt = riffChunk(wav, "fmt ");
    const int data = riffChunk(wav, "data");
    if (fmt >= 0 && data >= 0) {
        for (quint16 channels : {quint16(0), quint16(1000), quint16(65535)}) {
            QByteArray patched = wav;
            putLe16(patched, fmt + 8 + 2, channels);
            put(QString("channels%1.wav").arg(channels), patched);
        }
        QByteArray hugeAlign = wav;
        putLe16(hugeAlign, fmt + 8 + 12, 0xffff);
        put("blockalign.wav", hugeAlign);
        for (quint32 size : {0x7ffffff0u, 0xffffffffu, quint32(wav.size() * 4), 10u, 3u, 0u}) {
            QByteArray lying = wav;
            putLe32(lying, data + 4, size);
            put(QString("datasize%1.wav").arg(size), lying);
        }
        QByteArray riffLie = wav;
        putLe32(riffLie, 4, 0xffffffffu);
        put("riffsize.wav", riffLie);
    }

    // Float samples that are no numbers: a decoder hands them on as they are.
    const QByteArray floats = readBytes(m_basePaths.value("f32wav"));
    const int floatData = riffChunk(floats, "data");
    if (floatData >= 0) {
        QByteArray nonFinite = floats;
        const quint32 patterns[] = {0x7fc00000u, 0x7f800000u, 0xff800000u, 0x7fffffffu};
        for (int i = 0; i < 64; ++i)
            putLe32(nonFinite, floatData + 8 + 4 * (1000 + 997 * i), patterns[i % 4]);
        put("nonfinite.wav", nonFinite);
        QByteArray resampled = nonFinite;
        putLe32(resampled, riffChunk(resampled, "fmt ") + 8 + 4, 44100);
        putLe32(resampled, riffChunk(resampled, "fmt ") + 8 + 8, 44100 * 8);
        put("nonfinite44100.wav", resampled);
    }

    // Found by the fuzz target: an AIFF cut inside its COMM chunk whose sample rate
    // reads as about 5e14 Hz, for 18 channels and a chunk size far past the end.
    put("fuzz-hugerate.aiff", QByteArray("FORM\x00\x00\x0f\xce" "AIFF" "COMM\x00\x00\x63\x00"
                                         "\x00\x12" "\x01\x00\x07\xd0" "\x00\x10" "\x40\x30\xfa\xfa\x96",
                                         33));

    const QString target = m_basePaths.value("wav");
    const QString url = QString("http://127.0.0.1:%1/").arg(m_server.serverPort());
    put("relative.ffconcat", "ffconcat version 1.0\nfile " + QFileInfo(target).fileName().toUtf8() + "\n");
    put("absolute.ffconcat", "ffconcat version 1.0\nfile '" + target.toUtf8() + "'\n");
    put("list.m3u", "#EXTM3U\n#EXTINF:1,tone\n" + target.toUtf8() + "\n");
    const QList<QPair<QString, QByteArray>> remote{
        {"remote.ffconcat", "ffconcat version 1.0\nfile '" + url.toUtf8() + "tone.wav'\n"},
        {"remote.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:10,\n"
                        + url.toUtf8() + "seg0.ts\n#EXT-X-ENDLIST\n"},
        {"variant.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=64000\n" + url.toUtf8() + "audio.m3u8\n"},
    };
    for (const auto &p : remote) {
        put(p.first, p.second);
        m_inputs.last().namesLocalServer = true;
    }
    put("session.sdp", "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=tone\nc=IN IP4 127.0.0.1\nt=0 0\n"
                       "m=audio 45123 RTP/AVP 10\na=rtpmap:10 L16/44100/2\n");
}

void MalformedInputTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath("corpus"));
    // FFmpeg's summaries of hundreds of damaged files would bury the test's own report.
    av_log_set_level(AV_LOG_QUIET);
    QVERIFY(m_server.listen(QHostAddress::LocalHost));
    const QString secs = QString::number(kSourceSeconds);
    auto sine = [&](int channels, int rate) {
        QStringList a;
        for (int c = 0; c < channels; ++c)
            a << "-f" << "lavfi" << "-i"
              << QString("sine=frequency=%1:sample_rate=%2:duration=%3").arg(330 * (c + 1)).arg(rate).arg(secs);
        if (channels == 2)
            a << "-filter_complex" << "[0:a][1:a]amerge=inputs=2[a]" << "-map" << "[a]";
        return a;
    };
    const QStringList video{"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=" + secs};
    addBase("wav", "tone.wav", sine(2, 44100) + QStringList{"-c:a", "pcm_s16le"});
    addBase("f32wav", "float.wav", sine(2, 48000) + QStringList{"-c:a", "pcm_f32le"});
    addBase("aiff", "tone.aiff", sine(1, 22050) + QStringList{"-c:a", "pcm_s16be"});
    addBase("flac", "tone.flac", sine(2, 48000) + QStringList{"-c:a", "flac"});
    addBase("mp3", "tone.mp3", sine(1, 44100) + QStringList{"-c:a", "libmp3lame", "-b:a", "64k"});
    addBase("ogg", "tone.ogg", sine(2, 44100) + QStringList{"-c:a", "libvorbis"});
    addBase("opus", "tone.opus", sine(1, 48000) + QStringList{"-c:a", "libopus", "-b:a", "32k"});
    addBase("m4a", "tone.m4a", sine(2, 44100) + QStringList{"-c:a", "aac", "-b:a", "96k"});
    addBase("mp4", "clip.mp4",
            video + sine(1, 44100) + QStringList{"-map", "0:v", "-map", "1:a", "-c:v", "mpeg4", "-c:a", "aac", "-shortest"});
    addBase("mkv", "clip.mkv",
            video + sine(1, 48000) + QStringList{"-map", "0:v", "-map", "1:a", "-c:v", "mpeg4", "-c:a", "libvorbis", "-shortest"});
    QVERIFY2(m_basePaths.contains("wav"), "ffmpeg could not make the basic WAV input");
    addSpecials();
    for (const QString &missing : qAsConst(m_missingEncoders))
        qWarning("format left out of the corpus: %s", qPrintable(missing));
}

void MalformedInputTest::openAndPump_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < m_inputs.size(); ++i)
        QTest::newRow(m_inputs[i].name.toUtf8().constData()) << i;
}

void MalformedInputTest::openAndPump()
{
    QFETCH(int, index);
    const Input &input = m_inputs[index];
    const QString path = input.path;
    const IsolatedRun run = runIsolated([path] { return pumpLikeTheExport(path); }, kInputTimeoutMs);
    m_runs.insert(input.name, run);
    const QByteArray detail = "\n--- stdout:\n" + run.out.right(2000) + "\n--- stderr:\n" + run.err;

    if (input.namesLocalServer) {
        const bool connected = m_server.waitForNewConnection(100);
        while (m_server.hasPendingConnections())
            delete m_server.nextPendingConnection();
        QVERIFY2(!connected, "opening a dropped playlist made a network connection");
    }
    QVERIFY2(run.kind != IsolatedRun::TimedOut,
             qPrintable(QString("did not end within %1 ms").arg(kInputTimeoutMs) + detail));
    QVERIFY2(run.kind != IsolatedRun::Crashed,
             qPrintable(QString("crashed (signal %1)").arg(run.signal) + detail));
    QVERIFY2(run.kind == IsolatedRun::Finished, "the child gave no report");
    const PumpReport &r = run.report;
    QVERIFY2(r.leaks == 0, qPrintable("leak reported" + detail));
    QVERIFY2(run.ms < kInputSlowMs, qPrintable(QString("took %1 ms").arg(run.ms)));

    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    const QString invalidFrame = "player: invalid frame found in " + QString::fromUtf8(path.toUtf8());
    if (r.usable) {
        QVERIFY2(input.expect != Expect::Refused, "a stream was opened on data that is no media");
        QVERIFY2(r.ended, qPrintable(QString("no end after %1 pump calls").arg(r.calls)));
        QCOMPARE(r.partialFrameCalls, 0);
        QCOMPARE(r.nonFinite, 0);
        QVERIFY(r.channels > 0 || r.frames == 0);
        for (const QString &line : lines)
            QCOMPARE(line, invalidFrame);
        if (input.expect == Expect::Usable) {
            const double expected = kSourceSeconds * kOutputRate;
            QVERIFY2(std::abs(double(r.frames) - expected) < expected * 0.08,
                     qPrintable(QString("%1 frames, expected about %2").arg(r.frames).arg(expected)));
        }
    } else {
        QVERIFY2(input.expect != Expect::Usable, qPrintable("an intact file was refused" + detail));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(openFailureLines(path).contains(lines[0]), qPrintable(lines[0]));
        if (input.expect == Expect::Refused)
            QVERIFY2(lines[0].startsWith("player: couldn't open avstream "), qPrintable(lines[0]));
    }
}

QList<Input> MalformedInputTest::finishedInputs(
    const std::function<bool(const Input &, const PumpReport &)> &pred) const
{
    QList<Input> chosen;
    for (const Input &input : m_inputs) {
        const auto it = m_runs.constFind(input.name);
        if (it != m_runs.constEnd() && it->kind == IsolatedRun::Finished && !input.namesLocalServer
            && !input.name.endsWith(".sdp") && pred(input, it->report))
            chosen << input;
    }
    return chosen;
}

void MalformedInputTest::dropOnWindow()
{
    if (m_runs.isEmpty())
        QSKIP("openAndPump did not run");
    // Every readable base format plus damaged files that opened, up to the list's limit,
    // and every damaged file that was refused.
    int channels = 0;
    QList<Input> readable = finishedInputs([&](const Input &input, const PumpReport &r) {
        if (!r.usable || r.channels < 1 || channels + r.channels > kTrackLimit)
            return false;
        if (input.expect != Expect::Usable && !input.name.contains("cut") && !input.name.contains("datasize"))
            return false;
        channels += r.channels;
        return true;
    });
    const QList<Input> refused = finishedInputs([](const Input &, const PumpReport &r) { return !r.usable; });
    QVERIFY(!readable.isEmpty());
    QVERIFY(!refused.isEmpty());

    QList<QUrl> urls;
    QSet<QString> expectedUnreadable;
    for (const Input &input : readable)
        urls << QUrl::fromLocalFile(input.path);
    for (const Input &input : refused) {
        urls << QUrl::fromLocalFile(input.path);
        expectedUnreadable.insert(QDir::toNativeSeparators(input.path));
    }

    SessionMakerWindow window;
    window.show();
    auto *list = window.findChild<QListWidget *>("waveList");
    QVERIFY(list);
    MessageBoxWatcher watcher;
    {
        Watchdog dog(kExportTimeoutMs, "the drop of the damaged files");
        QVERIFY(dropUrls(&window, urls, Qt::CopyAction).dropAccepted);
    }
    QVERIFY(waitFor([&] { return !watcher.boxes.isEmpty(); }));
    QTest::qWait(100);
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].title, QString("Warning"));
    const QString prefix = "Cannot read media:\n";
    QVERIFY(watcher.boxes[0].text.startsWith(prefix));
    const QStringList shown = watcher.boxes[0].text.mid(prefix.size()).split('\n');
    QCOMPARE(QSet<QString>(shown.begin(), shown.end()), expectedUnreadable);
    QCOMPARE(shown.size(), expectedUnreadable.size());
    QCOMPARE(list->count(), channels);
}

void MalformedInputTest::exportWhatOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("truncated") << "cut";
    QTest::newRow("damaged headers") << "flip";
    QTest::newRow("damaged payload") << "bodyflip";
    QTest::newRow("patched wav") << ".wav";
}

void MalformedInputTest::exportWhatOpened()
{
    QFETCH(QString, kind);
    if (m_runs.isEmpty())
        QSKIP("openAndPump did not run");
    int channels = 0;
    const QList<Input> chosen = finishedInputs([&](const Input &input, const PumpReport &r) {
        const bool ofKind = kind == ".wav" ? input.expect == Expect::Either && input.name.endsWith(kind)
                                                 && !input.name.contains('-')
                                           : input.name.contains("-" + kind);
        if (!ofKind || !r.usable || r.channels < 1 || channels + r.channels > kTrackLimit)
            return false;
        channels += r.channels;
        return true;
    });
    if (chosen.isEmpty())
        QSKIP("none of these inputs opened");

    SessionMakerWindow window;
    window.show();
    auto *list = window.findChild<QListWidget *>("waveList");
    QVERIFY(list);
    QList<QUrl> urls;
    for (const Input &input : chosen)
        urls << QUrl::fromLocalFile(input.path);
    dropUrls(&window, urls, Qt::CopyAction);
    QCOMPARE(list->count(), channels);

    const QString session = m_dir.filePath(QString("export%1").arg(++m_exportsRun));
    MessageBoxWatcher watcher;
    QStringList problems;
    watcher.onShown = [&](QMessageBox *box) {
        if (box->windowTitle() != "Information")
            return;
        // The success box may only come up once every track is complete.
        QFile meta(QDir(session).filePath(kMetadataFileName));
        if (!meta.open(QIODevice::ReadOnly)) {
            problems << "success without a metadata file";
            return;
        }
        const QJsonObject json = QJsonDocument::fromJson(meta.readAll()).object();
        const qint64 length = qint64(json.value("lengthSamples").toDouble(-1));
        for (const QJsonValue &file : json.value("files").toArray()) {
            const QString track = QDir(session).filePath(file.toString() + kTrackExtension);
            QString message;
            if (!flacComplete(track, &message))
                problems << track + ": " + message;
            else if (metaflacInfo(track).totalSamples != length)
                problems << track + ": length differs from lengthSamples";
        }
    };
    bool result = false;
    {
        Watchdog dog(kExportTimeoutMs, "the export of damaged inputs");
        QVERIFY(QMetaObject::invokeMethod(&window, "writeSession", Qt::DirectConnection,
                                          Q_RETURN_ARG(bool, result), Q_ARG(QString, session)));
    }
    QCOMPARE(watcher.boxes.size(), 1);
    const ShownBox box = watcher.boxes[0];
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    if (box.title == "Information") {
        QVERIFY(result);
    } else {
        QCOMPARE(box.title, QString("Error"));
        QVERIFY2(box.text.startsWith("Unable to"), qPrintable(box.text));
        QVERIFY(!result);
    }
}

void MalformedInputTest::cleanupTestCase()
{
    int usable = 0, refused = 0, failed = 0;
    QString slowest;
    qint64 slowestMs = -1;
    for (auto it = m_runs.constBegin(); it != m_runs.constEnd(); ++it) {
        const IsolatedRun &run = it.value();
        if (run.ms > slowestMs) {
            slowestMs = run.ms;
            slowest = it.key();
        }
        if (run.kind != IsolatedRun::Finished)
            ++failed;
        else if (run.report.usable)
            ++usable;
        else
            ++refused;
    }
    qInfo("inputs tried: %d (opened %d, refused %d, crashed or hung %d); exports run: %d; slowest: %s, %lld ms",
          int(m_runs.size()), usable, refused, failed, m_exportsRun, qPrintable(slowest), slowestMs);
}

QTEST_MAIN(MalformedInputTest)
#include "tst_malformedinput.moc"
