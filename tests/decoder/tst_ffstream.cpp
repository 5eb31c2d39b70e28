#include "decoder/ffstream.h"
#include "testsupport.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

using namespace TestSupport;

namespace {

constexpr int kRate = 48000;
constexpr int kCallLimit = 200000;

// Everything the code under test prints to standard output while fn runs.
QByteArray captureStdout(const std::function<void()> &fn)
{
    QTemporaryFile sink;
    if (!sink.open())
        return "<no capture file>";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(sink.handle(), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    sink.seek(0);
    return sink.readAll();
}

std::unique_ptr<FFStream> openStream(const QString &path, QByteArray *printed = nullptr)
{
    std::unique_ptr<FFStream> stream;
    const QByteArray out = captureStdout([&] { stream = std::make_unique<FFStream>(path, kRate); });
    if (printed)
        *printed = out;
    return stream;
}

struct PumpRun
{
    SampleBuffer samples;
    int calls = 0;
    int emptyTrueCalls = 0;
    bool wholeFramesOnly = true;
    bool positionNeverDecreased = true;
    bool endedWithFalse = false;
};

// Pumps to the first false result, checking the promises every call makes.
PumpRun pumpToEnd(FFStream &stream)
{
    PumpRun run;
    double lastPosition = stream.getPos();
    while (run.calls < kCallLimit) {
        const size_t before = run.samples.size();
        const bool more = stream.pump(run.samples);
        ++run.calls;
        const size_t added = run.samples.size() - before;
        if (stream.channels < 1 || added % size_t(stream.channels) != 0)
            run.wholeFramesOnly = false;
        if (stream.getPos() < lastPosition)
            run.positionNeverDecreased = false;
        lastPosition = stream.getPos();
        if (!more) {
            run.endedWithFalse = true;
            break;
        }
        if (added == 0)
            ++run.emptyTrueCalls;
    }
    return run;
}

qint64 frameCount(const PumpRun &run, int channels)
{
    return channels > 0 ? qint64(run.samples.size()) / channels : -1;
}

int zeroCrossings(const SampleBuffer &samples, int channels, int channel)
{
    int crossings = 0;
    for (size_t i = size_t(channel) + size_t(channels); i < samples.size(); i += size_t(channels)) {
        if ((samples[i - size_t(channels)] < 0.0f) != (samples[i] < 0.0f))
            ++crossings;
    }
    return crossings;
}

// Listens on a local port and notes whether anyone connects; a connection is closed
// at once, so that a client reading from it fails instead of waiting.
class ConnectionWitness
{
public:
    ConnectionWitness()
    {
        socketFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (socketFd < 0 || bind(socketFd, reinterpret_cast<sockaddr *>(&address), length) != 0
            || listen(socketFd, 4) != 0
            || getsockname(socketFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        watcher = std::thread([this] {
            while (!stopping) {
                pollfd waiting{socketFd, POLLIN, 0};
                if (poll(&waiting, 1, 20) > 0) {
                    const int client = accept(socketFd, nullptr, nullptr);
                    if (client >= 0) {
                        connected = true;
                        close(client);
                    }
                }
            }
        });
    }
    ~ConnectionWitness()
    {
        stopping = true;
        if (watcher.joinable())
            watcher.join();
        if (socketFd >= 0)
            close(socketFd);
    }
    ConnectionWitness(const ConnectionWitness &) = delete;
    ConnectionWitness &operator=(const ConnectionWitness &) = delete;

    int port = 0;
    std::atomic<bool> connected{false};

private:
    int socketFd = -1;
    std::atomic<bool> stopping{false};
    std::thread watcher;
};

qint16 rampSample(int frame, int channel)
{
    return qint16((frame * (channel + 1) * 97) % 20000 - 10000);
}

// A plain PCM WAV (format tag 1, so no channel mask) of 16-bit ramps, one per channel.
bool writePlainWav(const QString &path, int channels, int frames)
{
    QByteArray data;
    QDataStream samples(&data, QIODevice::WriteOnly);
    samples.setByteOrder(QDataStream::LittleEndian);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c)
            samples << rampSample(i, c);
    }
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + data.size());
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(channels) << quint32(kRate) << quint32(kRate * channels * 2)
        << quint16(channels * 2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(data.size());
    wav += data;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(wav) == wav.size();
}

QString missingEncoder(const QStringList &args)
{
    const int at = args.indexOf("-c:a");
    if (at >= 0 && at + 1 < args.size() && !haveEncoder(args.at(at + 1)))
        return args.at(at + 1);
    return {};
}

} // namespace

class TestFFStream : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        if (!haveTool("ffmpeg") || !haveTool("ffprobe"))
            QSKIP("ffmpeg and ffprobe are needed to make the test inputs");
        initFFmpeg();
        initFFmpeg();
    }

    void decodesFormats_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QStringList>("encodeArgs");
        QTest::addColumn<int>("tolerance"); // frames; 0 means exactly rate-converted length

        QTest::newRow("wav 48k mono") << "mono48.wav" << 48000 << 1 << QStringList{} << 0;
        QTest::newRow("wav 48k stereo") << "stereo48.wav" << 48000 << 2 << QStringList{} << 0;
        QTest::newRow("wav 48k 5.1") << "surround48.wav" << 48000 << 6 << QStringList{} << 0;
        QTest::newRow("wav 48k 24 bit") << "s24.wav" << 48000 << 2 << QStringList{"-c:a", "pcm_s24le"} << 0;
        QTest::newRow("wav 44.1k stereo") << "stereo44.wav" << 44100 << 2 << QStringList{} << 4;
        QTest::newRow("wav 44.1k 5.1") << "surround44.wav" << 44100 << 6 << QStringList{} << 4;
        QTest::newRow("flac 48k") << "take.flac" << 48000 << 2 << QStringList{"-c:a", "flac"} << 0;
        QTest::newRow("mp3") << "take.mp3" << 44100 << 2 << QStringList{"-c:a", "libmp3lame"} << 2400;
        QTest::newRow("ogg vorbis") << "take.ogg" << 48000 << 2 << QStringList{"-c:a", "libvorbis"} << 1200;
        QTest::newRow("opus in ogg") << "take.opus" << 48000 << 2 << QStringList{"-c:a", "libopus"} << 1200;
        QTest::newRow("wma") << "take.wma" << 44100 << 2 << QStringList{"-c:a", "wmav2"} << 2400;
        QTest::newRow("aac in m4a") << "take.m4a" << 48000 << 2 << QStringList{"-c:a", "aac"} << 2400;
    }

    void decodesFormats()
    {
        QFETCH(QString, fileName);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(QStringList, encodeArgs);
        QFETCH(int, tolerance);

        const QString missing = missingEncoder(encodeArgs);
        if (!missing.isEmpty())
            QSKIP(qPrintable("the installed FFmpeg has no " + missing + " encoder"));
        const double seconds = 1.5;
        const QString file = path(fileName);
        QVERIFY(makeSine(file, rate, channels, seconds, 440.0, encodeArgs));

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        QCOMPARE(stream->channels, channels);
        QVERIFY(std::abs(stream->duration - seconds) < 0.1);

        const PumpRun run = pumpToEnd(*stream);
        QVERIFY(run.endedWithFalse);
        QVERIFY(run.wholeFramesOnly);
        QVERIFY(run.positionNeverDecreased);
        const qint64 expected = qint64(std::llround(seconds * kRate));
        if (tolerance == 0)
            QCOMPARE(frameCount(run, channels), expected);
        else
            QVERIFY2(std::abs(frameCount(run, channels) - expected) <= tolerance,
                     qPrintable(QString::number(frameCount(run, channels))));
        QVERIFY(std::abs(stream->getPos() - seconds) < 0.1);

        // FFmpeg's own tool, which drains decoder and resampler, gets the same audio.
        int referenceChannels = 0;
        const QVector<float> reference = decodeToFloats(file, &referenceChannels, kRate);
        QCOMPARE(referenceChannels, channels);
        QVERIFY2(std::abs(frameCount(run, channels) - reference.size() / channels) <= 2,
                 qPrintable(QString("%1 frames, ffmpeg gives %2")
                                .arg(frameCount(run, channels)).arg(reference.size() / channels)));
        const SampleBuffer referenceSamples(reference.begin(), reference.end());
        for (int c = 0; c < channels; ++c) {
            // Channel c carries 440 * (c + 1) Hz; a swapped or dropped channel changes its count.
            const int crossings = zeroCrossings(run.samples, channels, c);
            QVERIFY2(std::abs(crossings - zeroCrossings(referenceSamples, channels, c)) <= 2,
                     qPrintable(QString("channel %1").arg(c)));
            if (tolerance == 0)
                QVERIFY(std::abs(crossings - 2.0 * 440.0 * (c + 1) * seconds) <= 2);
        }

        // The end is final: later calls neither succeed nor append.
        SampleBuffer after;
        for (int i = 0; i < 3; ++i)
            QVERIFY(!stream->pump(after));
        QVERIFY(after.empty());
        QVERIFY(!stream->active);
    }

    void channelCounts_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("encoder"); // empty: a plain WAV written here
        QTest::addColumn<int>("expected");

        QTest::newRow("six unnamed channels") << "plain6.wav" << "" << 6;
        // No default layout exists for these counts; a multitrack recorder's file
        // without a channel mask must still give every channel.
        QTest::newRow("nine unnamed channels") << "plain9.wav" << "" << 9;
        QTest::newRow("twenty-two unnamed channels") << "plain22.wav" << "" << 22;
        QTest::newRow("ac3 5.1 follows the stereo request") << "surround.ac3" << "ac3" << 2;
        QTest::newRow("e-ac3 5.1 follows the stereo request") << "surround.eac3" << "eac3" << 2;
    }

    void channelCounts()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, encoder);
        QFETCH(int, expected);

        const QString file = path(fileName);
        const int frames = 4800;
        if (encoder.isEmpty()) {
            QVERIFY(writePlainWav(file, expected, frames));
        } else {
            if (!haveEncoder(encoder))
                QSKIP(qPrintable("the installed FFmpeg has no " + encoder + " encoder"));
            QVERIFY(makeSine(file, kRate, 6, 1.0, 440.0, {"-c:a", encoder}));
        }

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        QCOMPARE(stream->channels, expected);
        const PumpRun run = pumpToEnd(*stream);
        QVERIFY(run.endedWithFalse);
        QVERIFY(run.wholeFramesOnly);
        if (!encoder.isEmpty()) {
            QVERIFY2(std::abs(frameCount(run, expected) - kRate) <= 2 * 1536,
                     qPrintable(QString::number(frameCount(run, expected))));
            return;
        }
        // Every channel stays where it was.
        QCOMPARE(frameCount(run, expected), qint64(frames));
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < expected; ++c) {
                if (run.samples[size_t(i * expected + c)] != rampSample(i, c) / 32768.0f)
                    QFAIL(qPrintable(QString("frame %1 channel %2 differs").arg(i).arg(c)));
            }
        }
    }

    void samplesEqualSource_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::newRow("16 bit") << "pcm_s16le";
        QTest::newRow("24 bit") << "pcm_s24le";
        QTest::newRow("float") << "pcm_f32le";
    }

    void samplesEqualSource()
    {
        QFETCH(QString, codec);
        const QString file = path("exact-" + codec + ".wav");
        QVERIFY(makeSine(file, kRate, 2, 0.8, 1000.0, {"-c:a", codec}));
        int refChannels = 0;
        const QVector<float> reference = decodeToFloats(file, &refChannels);
        QCOMPARE(refChannels, 2);

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        // What the buffer already holds stays in front.
        PumpRun run;
        run.samples = {7.0f, -7.0f};
        while (stream->pump(run.samples)) {
        }
        QCOMPARE(int(run.samples.size()), reference.size() + 2);
        QCOMPARE(run.samples[0], 7.0f);
        QCOMPARE(run.samples[1], -7.0f);
        for (int i = 0; i < reference.size(); ++i) {
            if (std::abs(run.samples[size_t(i) + 2] - reference[i]) > 1e-7f)
                QFAIL(qPrintable(QString("sample %1 differs").arg(i)));
        }
    }

    void resamplerOutputComesAtTheEnd()
    {
        const QString file = path("drain44.wav");
        QVERIFY(makeSine(file, 44100, 1, 1.0, 1000.0));
        auto stream = openStream(file);
        QVERIFY(stream->isUsable());

        struct Call
        {
            bool more;
            size_t appended;
            double position;
        };
        QVector<Call> calls;
        SampleBuffer samples;
        const QByteArray printed = captureStdout([&] {
            for (int i = 0; i < kCallLimit; ++i) {
                const size_t before = samples.size();
                const bool more = stream->pump(samples);
                calls.append({more, samples.size() - before, stream->getPos()});
                if (!more)
                    break;
            }
        });
        QVERIFY(printed.isEmpty());
        QVERIFY(calls.size() >= 3);
        // The resampler's held-back tail came with the last true call, which moved no position.
        const Call &drain = calls[calls.size() - 2];
        const Call &beforeDrain = calls[calls.size() - 3];
        QVERIFY(drain.more);
        QVERIFY(drain.appended > 0);
        QCOMPARE(drain.position, beforeDrain.position);
        QVERIFY(!calls.last().more);
        QCOMPARE(calls.last().appended, size_t(0));
        QVERIFY2(std::abs(qint64(samples.size()) - 48000) <= 4, qPrintable(QString::number(samples.size())));
        QVERIFY(std::abs(zeroCrossings(samples, 1, 0) - 2000) <= 2);
    }

    void manyChannelsWithLargeFrames()
    {
        // 8 channels leave room for 16384 frames; FLAC blocks of 65535 cannot fit in one go.
        const QString file = path("wide.flac");
        QVERIFY(makeSine(file, kRate, 8, 3.0, 100.0, {"-c:a", "flac", "-frame_size", "65535"}));
        int refChannels = 0;
        const QVector<float> reference = decodeToFloats(file, &refChannels);
        QCOMPARE(refChannels, 8);

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        QCOMPARE(stream->channels, 8);
        const PumpRun run = pumpToEnd(*stream);
        QVERIFY(run.wholeFramesOnly);
        QCOMPARE(frameCount(run, 8), qint64(3 * kRate));
        QCOMPARE(int(run.samples.size()), reference.size());
        for (int i = 0; i < reference.size(); ++i) {
            if (std::abs(run.samples[size_t(i)] - reference[i]) > 1e-6f)
                QFAIL(qPrintable(QString("sample %1 differs").arg(i)));
        }
    }

    void audioAfterOtherStreams_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("needs");

        const QString sine = QString("sine=frequency=440:sample_rate=%1:duration=2").arg(kRate);
        QTest::newRow("video first, mkv")
            << "video-first.mkv"
            << QStringList{"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=2", "-f", "lavfi",
                           "-i", sine, "-map", "0:v", "-map", "1:a", "-c:v", "ffv1", "-c:a", "pcm_s16le"}
            << "ffv1";
        QTest::newRow("cover art, mp3")
            << "cover.mp3"
            << QStringList{"-i", "COVER", "-f", "lavfi", "-i", sine, "-map", "0:v", "-map", "1:a", "-c:v",
                           "copy", "-disposition:v", "attached_pic", "-c:a", "libmp3lame", "-id3v2_version", "3"}
            << "libmp3lame";
    }

    void audioAfterOtherStreams()
    {
        QFETCH(QString, fileName);
        QFETCH(QStringList, args);
        QFETCH(QString, needs);
        if (!haveEncoder(needs))
            QSKIP(qPrintable("the installed FFmpeg has no " + needs + " encoder"));
        const QString file = path(fileName);
        const QString cover = path("cover.png");
        QVERIFY(makeWithFfmpeg(cover, {"-f", "lavfi", "-i", "testsrc=size=64x64", "-frames:v", "1"}));
        args.replaceInStrings(QRegularExpression("^COVER$"), cover);
        QString error;
        QVERIFY2(makeWithFfmpeg(file, args, &error), qPrintable(error));

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        QCOMPARE(stream->channels, 1);

        // The other stream's packets come first and give true with nothing appended.
        SampleBuffer samples;
        int emptyBeforeAudio = 0;
        while (samples.empty() && stream->pump(samples))
            emptyBeforeAudio += samples.empty() ? 1 : 0;
        QVERIFY(emptyBeforeAudio >= 1);

        PumpRun run = pumpToEnd(*stream);
        QVERIFY(run.endedWithFalse);
        const qint64 frames = qint64(samples.size() + run.samples.size());
        QVERIFY2(std::abs(frames - 2 * kRate) <= 2400, qPrintable(QString::number(frames)));
    }

    void displayName_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("artist"); // "-" for no tag
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("expected");

        QTest::newRow("artist and title") << "my_take_01.wav" << "Foo" << "Bar" << "Foo - Bar";
        QTest::newRow("artist only") << "my_take_01.wav" << "Foo" << "-" << "Foo - My take 01";
        QTest::newRow("title only") << "my_take_01.wav" << "-" << "Bar" << "Bar";
        QTest::newRow("no tags") << "drum_loop.final.wav" << "-" << "-" << "Drum loop.final";
        QTest::newRow("blank artist") << "my_take_01.wav" << "   " << "-" << "My take 01";
        QTest::newRow("blank title") << "my_take_01.wav" << "Foo" << "  " << "Foo - My take 01";
        QTest::newRow("trailing blank in artist") << "x.wav" << "Foo " << "Bar" << "Foo  - Bar";
        QTest::newRow("underscores kept in tags") << "x.wav" << "a_b" << "c_d" << "a_b - c_d";
        QTest::newRow("dot file with artist") << ".wav" << "Foo" << "-" << "Foo -";
        QTest::newRow("underscore file with artist") << "_.wav" << "Foo" << "-" << "Foo -";
        QTest::newRow("underscore file alone") << "_.wav" << "-" << "-" << "";
        QTest::newRow("only first letter changes") << "__ünder_THE_sea__.wav" << "-" << "-" << "Ünder THE sea";
        QTest::newRow("utf-8 tags") << "x.wav" << "Jürgen" << "Café" << "Jürgen - Café";
    }

    void displayName()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        QFETCH(QString, expected);

        QTemporaryDir own;
        const QString file = own.filePath(fileName);
        QStringList args{"-f", "lavfi", "-i", "sine=duration=0.2"};
        if (artist != "-")
            args << "-metadata" << "artist=" + artist;
        if (title != "-")
            args << "-metadata" << "title=" + title;
        QVERIFY(makeWithFfmpeg(file, args));

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        QCOMPARE(stream->name, expected);
    }

    void failureLines_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("ioContextKept");

        QTest::newRow("missing file") << "missing" << "player: couldn't open file %1\n" << false;
        QTest::newRow("text file") << "text" << "player: couldn't open avstream %1\n" << false;
        QTest::newRow("empty file") << "empty" << "player: couldn't open avstream %1\n" << false;
        QTest::newRow("video without sound") << "video" << "player: couldn't find audio stream in %1\n" << true;
        QTest::newRow("wav without channels")
            << "nochannels" << "player: couldn't find audio stream in %1\n" << true;
    }

    void failureLines()
    {
        QFETCH(QString, kind);
        QFETCH(QString, line);
        QFETCH(bool, ioContextKept);

        QTemporaryDir own;
        QString file = own.filePath("ünusable " + kind);
        if (kind == "text") {
            QVERIFY(writeBytes(file, "These are the liner notes, not audio.\nSecond line.\n"));
        } else if (kind == "empty") {
            QVERIFY(writeBytes(file, {}));
        } else if (kind == "video") {
            file += ".mp4";
            if (!haveEncoder("mpeg4"))
                QSKIP("the installed FFmpeg has no mpeg4 encoder");
            QVERIFY(makeWithFfmpeg(file, {"-f", "lavfi", "-i", "testsrc=size=160x120:duration=1", "-c:v",
                                          "mpeg4"}));
        } else if (kind == "nochannels") {
            file += ".wav";
            QVERIFY(makeSine(file, kRate, 1, 0.2));
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.seek(22)); // the channel count of the fmt chunk
            QCOMPARE(f.write(QByteArray(2, '\0')), qint64(2));
        }

        QByteArray printed;
        auto stream = openStream(file, &printed);
        QVERIFY(!stream->isUsable());
        QVERIFY(!stream->valid);
        QCOMPARE(QString::fromUtf8(printed), line.arg(file));
        QCOMPARE(stream->ioContext != nullptr, ioContextKept);

        SampleBuffer samples;
        QVERIFY(!stream->pump(samples));
        QVERIFY(samples.empty());
        QVERIFY(!stream->active);
        stream->rewind();
        stream->seek(1.0);
        QVERIFY(!stream->flushSwr(samples));
    }

    void truncatedFiles_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QStringList>("encodeArgs");
        QTest::addColumn<double>("keep");

        QTest::newRow("wav cut in its data") << "cut.wav" << QStringList{} << 0.5;
        QTest::newRow("flac cut in a frame") << "cut.flac" << QStringList{"-c:a", "flac"} << 0.5;
        QTest::newRow("mp3 cut in a frame") << "cut.mp3" << QStringList{"-c:a", "libmp3lame"} << 0.5;
        QTest::newRow("wav cut in its header") << "header.wav" << QStringList{} << 0.0;
    }

    void truncatedFiles()
    {
        QFETCH(QString, fileName);
        QFETCH(QStringList, encodeArgs);
        QFETCH(double, keep);

        const QString missing = missingEncoder(encodeArgs);
        if (!missing.isEmpty())
            QSKIP(qPrintable("the installed FFmpeg has no " + missing + " encoder"));
        const QString file = path(fileName);
        QVERIFY(makeSine(file, kRate, 2, 2.0, 440.0, encodeArgs));
        QFile f(file);
        const qint64 size = f.size();
        QVERIFY(f.resize(keep > 0.0 ? qint64(size * keep) + 7 : 30));

        QByteArray printed;
        auto stream = openStream(file, &printed);
        if (keep == 0.0) {
            QVERIFY(!stream->isUsable());
            QVERIFY(printed.startsWith("player: couldn't "));
            return;
        }
        QVERIFY(stream->isUsable());
        PumpRun run;
        printed = captureStdout([&] { run = pumpToEnd(*stream); });
        QVERIFY(run.endedWithFalse);
        QVERIFY(run.wholeFramesOnly);
        // At least what FFmpeg's own tool gets out of what is left, and not more than is left.
        const qint64 frames = frameCount(run, 2);
        const qint64 reference = decodeToFloats(file).size() / 2;
        QVERIFY2(reference > 0 && frames >= reference && frames < kRate * 1.2,
                 qPrintable(QString("%1 frames, ffmpeg gives %2").arg(frames).arg(reference)));
        const QList<QByteArray> lines = printed.split('\n');
        for (const QByteArray &l : lines)
            QVERIFY2(l.isEmpty() || l == "player: invalid frame found in " + file.toUtf8(), l.constData());
    }

    void corruptPacketKeepsGoing()
    {
        const QString file = path("damaged.flac");
        QVERIFY(makeSine(file, kRate, 1, 4.0, 440.0, {"-c:a", "flac", "-frame_size", "4608"}));
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        const qint64 middle = f.size() / 2;
        QVERIFY(f.seek(middle));
        QByteArray noise(600, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 73 + 41) & 0x7f);
        f.write(noise);
        f.close();

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        PumpRun run;
        const QByteArray printed = captureStdout([&] { run = pumpToEnd(*stream); });
        QVERIFY(run.endedWithFalse);
        QVERIFY(stream->isUsable());
        const QByteArray expectedLine = "player: invalid frame found in " + file.toUtf8() + "\n";
        QVERIFY2(printed.startsWith(expectedLine), printed.constData());
        QCOMPARE(printed.size() % expectedLine.size(), 0);
        // Decoding went on after the damage: most of the four seconds came out.
        QVERIFY2(frameCount(run, 1) > 3 * kRate, qPrintable(QString::number(frameCount(run, 1))));
    }

    void nestedInputsAreRefused_data()
    {
        QTest::addColumn<QString>("otherName");
        QTest::addColumn<QString>("listName");
        QTest::addColumn<QString>("listText");
        QTest::addColumn<QStringList>("probeArgs");

        QTest::newRow("concat list")
            << "other.wav" << "list.ffconcat" << "ffconcat version 1.0\nfile other.wav\nfile other.wav\n"
            << QStringList{"-safe", "1"};
        // FFmpeg knows a DASH manifest by its content alone, so only the refusal keeps it out.
        const QString manifest =
            "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
            "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\" mediaPresentationDuration=\"PT2S\" "
            "minBufferTime=\"PT1S\">\n<Period><AdaptationSet mimeType=\"audio/mp4\">"
            "<Representation id=\"a\" bandwidth=\"128000\" codecs=\"mp4a.40.2\" audioSamplingRate=\"48000\">"
            "<BaseURL>%1</BaseURL></Representation></AdaptationSet></Period></MPD>\n";
        QTest::newRow("dash manifest") << "other.m4a" << "list.mpd" << manifest.arg("other.m4a") << QStringList{};
        QTest::newRow("dash manifest over http")
            << "other.m4a" << "remote.mpd" << manifest.arg("http://127.0.0.1:PORT/other.m4a") << QStringList{};
    }

    void nestedInputsAreRefused()
    {
        QFETCH(QString, otherName);
        QFETCH(QString, listName);
        QFETCH(QString, listText);
        QFETCH(QStringList, probeArgs);

        QTemporaryDir own;
        ConnectionWitness witness;
        QVERIFY(witness.port > 0);
        listText.replace("PORT", QString::number(witness.port));
        QVERIFY(makeSine(own.filePath(otherName), kRate, 2, 2.0, 440.0));
        const QString list = own.filePath(listName);
        QVERIFY(writeBytes(list, listText.toUtf8()));
        // Nested names resolve against the working folder, where the other file is.
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(own.path()));
        if (!listText.contains("http")) {
            // The list is real: FFmpeg left to itself reads the other file through it.
            const ToolResult control = runTool("ffmpeg", QStringList{"-v", "error", "-nostdin"} + probeArgs
                                                             + QStringList{"-i", listName, "-f", "null", "-"});
            if (!control.ok()) {
                QDir::setCurrent(previous);
                QSKIP("the installed FFmpeg does not read this kind of list");
            }
        }

        auto stream = openStream(list);
        SampleBuffer samples;
        if (stream->isUsable()) {
            for (int i = 0; i < kCallLimit && stream->pump(samples); ++i) {
            }
        }
        QDir::setCurrent(previous);
        QVERIFY2(samples.empty(), qPrintable(QString("%1 floats came through the list").arg(samples.size())));
        QVERIFY2(!witness.connected, "the list reached out to the network");
    }

    void ioCallbacks()
    {
        const QString file = path("io.wav");
        QVERIFY(makeSine(file, kRate, 1, 0.5));
        const qint64 size = QFileInfo(file).size();
        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        FFStream *s = stream.get();

        QCOMPARE(FFStream::io_seek(s, 100, SEEK_SET), qint64(100));
        QCOMPARE(FFStream::io_seek(s, 0, AVSEEK_SIZE), size);
        QCOMPARE(s->file.pos(), qint64(100));
        QCOMPARE(FFStream::io_seek(s, 23, 7), qint64(100));
        QCOMPARE(FFStream::io_seek(s, 10, SEEK_CUR), qint64(110));
        QCOMPARE(FFStream::io_seek(s, -10, SEEK_END), size - 10);
        QCOMPARE(FFStream::io_seek(s, -5, SEEK_SET), size - 10); // refused seeks leave the position
        QCOMPARE(FFStream::io_seek(nullptr, 0, AVSEEK_SIZE), qint64(0));

        unsigned char bytes[64];
        QCOMPARE(FFStream::io_read(s, bytes, 64), 10);
        QCOMPARE(FFStream::io_read(s, bytes, 64), AVERROR_EOF);
        QCOMPARE(s->readf(bytes, 64), qint64(AVERROR_EOF));
        QCOMPARE(FFStream::io_read(nullptr, bytes, 64), AVERROR_EOF);
        s->seekf(0, SEEK_SET);
        QCOMPARE(s->readf(bytes, 4), qint64(4));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(bytes), 4), QByteArray("RIFF"));

        s->file.close();
        QCOMPARE(FFStream::io_read(s, bytes, 64), AVERROR_EOF);
        QCOMPARE(FFStream::io_seek(s, 0, AVSEEK_SIZE), qint64(0));
        QVERIFY(!s->isUsable());
        SampleBuffer samples;
        QVERIFY(!s->pump(samples));
        QVERIFY(samples.empty());
    }

    void rewindAndSeek_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("48 kHz") << 48000;
        QTest::newRow("44.1 kHz, resampled") << 44100;
    }

    void rewindAndSeek()
    {
        QFETCH(int, rate);
        const QString file = path(QString("again%1.wav").arg(rate));
        QVERIFY(makeSine(file, rate, 2, 2.0, 300.0));
        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        const bool resampled = rate != kRate;

        const PumpRun first = pumpToEnd(*stream);
        QVERIFY(std::abs(frameCount(first, 2) - 2 * kRate) <= (resampled ? 4 : 0));

        // After the end, and from the middle: the same audio again, sample for sample.
        stream->rewind();
        const PumpRun second = pumpToEnd(*stream);
        QVERIFY(second.samples == first.samples);
        stream->rewind();
        SampleBuffer partial;
        for (int i = 0; i < 10; ++i)
            QVERIFY(stream->pump(partial));
        QVERIFY(!partial.empty());
        stream->rewind();
        const PumpRun fromMiddle = pumpToEnd(*stream);
        QVERIFY(fromMiddle.samples == first.samples);

        // From the middle: the second half, which ends like the whole.
        stream->seek(1.0);
        const PumpRun tail = pumpToEnd(*stream);
        const qint64 tailFrames = frameCount(tail, 2);
        QVERIFY2(std::abs(tailFrames - kRate) < 4800, qPrintable(QString::number(tailFrames)));
        const size_t compared = std::min(tail.samples.size(), size_t(kRate));
        for (size_t i = 1; i <= compared; ++i) {
            const float difference = std::abs(tail.samples[tail.samples.size() - i] - first.samples[first.samples.size() - i]);
            if (difference > (resampled ? 2e-3f : 0.0f))
                QFAIL(qPrintable(QString("sample %1 from the end differs by %2").arg(i).arg(difference)));
        }

        stream->iseek(0.0);
        const PumpRun third = pumpToEnd(*stream);
        QVERIFY(third.samples == first.samples);
    }

    void softReadErrors()
    {
        if (!haveEncoder("libvorbis"))
            QSKIP("the installed FFmpeg has no libvorbis encoder");
        const QString clean = path("clean.ogg");
        QVERIFY(makeSine(clean, kRate, 1, 4.0, 1000.0, {"-c:a", "libvorbis"}));
        QByteArray bytes;
        {
            QFile f(clean);
            QVERIFY(f.open(QIODevice::ReadOnly));
            bytes = f.readAll();
        }
        // Zeros between two pages: each read scans some 64 KiB of them for a page start and
        // fails short of the end of the file, about 130 times in a row, each further on.
        const int page = bytes.indexOf("OggS", bytes.size() / 2);
        QVERIFY(page > 0);
        bytes.insert(page, QByteArray(130 * 65536, '\0'));
        const QString gapped = path("gapped.ogg");
        QVERIFY(writeBytes(gapped, bytes));

        auto reference = openStream(clean);
        QVERIFY(reference->isUsable());
        const PumpRun whole = pumpToEnd(*reference);

        auto stream = openStream(gapped);
        QVERIFY(stream->isUsable());
        SampleBuffer samples;
        bool failedReads = false;
        int calls = 0;
        const QByteArray printed = captureStdout([&] {
            while (calls < kCallLimit && stream->pump(samples)) {
                ++calls;
                failedReads = failedReads || stream->readErrorCount > 0;
            }
        });
        QVERIFY(printed.isEmpty());
        QVERIFY(calls < kCallLimit);
        QVERIFY2(failedReads, "the gap made no read fail");
        // Each failed read got further into the gap, so none of them ended the stream:
        // its first false result is the clean end, after the whole tone.
        QVERIFY(stream->endedCleanly());
        QCOMPARE(samples.size(), whole.samples.size());
    }

    void rateChangeMidway()
    {
        if (!haveEncoder("libmp3lame"))
            QSKIP("the installed FFmpeg has no libmp3lame encoder");
        QByteArray joined;
        for (int rate : {44100, 22050}) {
            const QString part = path(QString("part%1.mp3").arg(rate));
            QVERIFY(makeSine(part, rate, 1, 1.0, 1000.0, {"-c:a", "libmp3lame"}));
            QFile f(part);
            QVERIFY(f.open(QIODevice::ReadOnly));
            joined += f.readAll();
        }
        const QString file = path("joined.mp3");
        QVERIFY(writeBytes(file, joined));

        auto stream = openStream(file);
        QVERIFY(stream->isUsable());
        PumpRun run;
        captureStdout([&] { run = pumpToEnd(*stream); });
        QVERIFY(run.endedWithFalse);
        const qint64 frames = frameCount(run, 1);
        const qint64 reference = decodeToFloats(file, nullptr, kRate).size();
        QVERIFY2(std::abs(frames - reference) <= 1200 && std::abs(frames - 2 * kRate) <= 4800,
                 qPrintable(QString("%1 frames, ffmpeg gives %2").arg(frames).arg(reference)));
        // The tone keeps its pitch on both sides of the change: 1000 Hz, 2 crossings a millisecond.
        for (double start : {0.2, 1.3}) {
            const auto from = run.samples.begin() + qint64(start * kRate);
            const SampleBuffer window(from, from + qint64(0.5 * kRate));
            const int crossings = zeroCrossings(window, 1, 0);
            QVERIFY2(std::abs(crossings - 1000) <= 10, qPrintable(QString("%1 crossings at %2 s").arg(crossings).arg(start)));
        }
    }
};

QTEST_GUILESS_MAIN(TestFFStream)
#include "tst_ffstream.moc"
