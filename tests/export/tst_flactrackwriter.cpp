#include "export/flactrackwriter.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <cmath>
#include <random>
#include <vector>

using namespace TestSupport;

namespace {

std::vector<float> noise(int frames, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-0.9f, 0.9f);
    std::vector<float> samples(size_t(frames), 0.0f);
    for (float &s : samples)
        s = dist(gen);
    return samples;
}

QByteArray metaflacField(const QString &path, const QString &option)
{
    return runTool("metaflac", {option, path}).out.trimmed();
}

} // namespace

class TestFlacTrackWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!haveTool("flac") || !haveTool("metaflac"))
            QSKIP("the flac and metaflac tools are needed to check the files");
    }

    void writesMono48k24BitLevel1_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("chunk");
        QTest::newRow("no audio") << 0 << 4096;
        QTest::newRow("one frame") << 1 << 1;
        QTest::newRow("uneven chunks") << 100003 << 7777;
        QTest::newRow("large chunks") << 200000 << 65536;
    }

    void writesMono48k24BitLevel1()
    {
        QFETCH(int, frames);
        QFETCH(int, chunk);
        QTemporaryDir dir;
        const QString path = dir.filePath("track.flac");
        std::vector<float> samples = noise(frames, 7);
        if (frames > 10) {
            // Full scale and beyond must clip, not wrap.
            samples[0] = 1.0f;
            samples[1] = -1.0f;
            samples[2] = 1.5f;
            samples[3] = -1.5f;
        }

        FlacTrackWriter::CreateResult result = FlacTrackWriter::CreateResult::NoStream;
        auto writer = FlacTrackWriter::create(path, &result);
        QVERIFY(writer);
        QCOMPARE(result, FlacTrackWriter::CreateResult::Created);
        QVERIFY(QFileInfo::exists(path));
        for (int done = 0; done < frames; done += chunk)
            QVERIFY(writer->write(samples.data() + done, std::min(chunk, frames - done)));
        writer->flush();
        QVERIFY(writer->finish());
        QVERIFY(writer->finish()); // the same answer again

        // An empty stream leaves the total unset, which `flac -w` counts as a warning.
        if (frames == 0)
            QVERIFY(runTool("flac", {"-t", "-s", path}).ok());
        else
            QVERIFY(flacTestPasses(path));
        QCOMPARE(metaflacInfo(path), (FlacInfo{48000, 1, 24, qint64(frames)}));
        if (frames >= 1152)
            QCOMPARE(metaflacField(path, "--show-max-blocksize"), QByteArray("1152")); // level 1

        const QVector<qint32> decoded = readFlacWithFlacTool(path);
        QCOMPARE(decoded.size(), frames);
        constexpr double scale = 8388608.0;
        for (int i = 0; i < frames; ++i) {
            const double expected = std::clamp(double(samples[size_t(i)]), -1.0, 1.0) * scale;
            if (std::abs(decoded[i] - expected) > 1.0)
                QFAIL(qPrintable(QString("sample %1: %2, expected %3").arg(i).arg(decoded[i]).arg(expected)));
        }
    }

    void destroyingCompletesTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("track.flac");
        const std::vector<float> samples = noise(50000, 3);
        {
            FlacTrackWriter::CreateResult result;
            auto writer = FlacTrackWriter::create(path, &result);
            QVERIFY(writer);
            QVERIFY(writer->write(samples.data(), 50000));
        }
        QVERIFY(flacTestPasses(path));
        QCOMPARE(metaflacInfo(path).totalSamples, qint64(50000));
    }

    void refusesAPathThatCannotBeOpened_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::newRow("missing folder") << "missing/track.flac";
        QTest::newRow("name too long") << QString(300, QLatin1Char('x')) + ".flac";
    }

    void refusesAPathThatCannotBeOpened()
    {
        QFETCH(QString, relative);
        QTemporaryDir dir;
        const QString path = dir.filePath(relative);
        FlacTrackWriter::CreateResult result = FlacTrackWriter::CreateResult::Created;
        QVERIFY(!FlacTrackWriter::create(path, &result));
        QCOMPARE(result, FlacTrackWriter::CreateResult::NoStream);
        QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    }

    void handlesNonAsciiPaths()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QString::fromUtf8("Über – Bass 低音.flac"));
        FlacTrackWriter::CreateResult result;
        auto writer = FlacTrackWriter::create(path, &result);
        QVERIFY(writer);
        const std::vector<float> samples = noise(2000, 5);
        QVERIFY(writer->write(samples.data(), 2000));
        QVERIFY(writer->finish());
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(flacTestPasses(path));
    }

    // Audio that never reaches the disk must show as a failure, whether the
    // limit is hit while writing or only when the buffered rest and the final
    // header go out on completion.
    void reportsFailedWrites_data()
    {
        QTest::addColumn<int>("limitBytes");
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("writesMayPass");
        QTest::newRow("while writing") << 20000 << 400000 << false;
        QTest::newRow("only on completion") << 2000 << 3000 << true;
    }

    void reportsFailedWrites()
    {
        QFETCH(int, limitBytes);
        QFETCH(int, frames);
        QFETCH(bool, writesMayPass);
        QTemporaryDir dir;
        const QString path = dir.filePath("track.flac");
        const std::vector<float> samples = noise(frames, 11);
        bool allWritesPassed = true;
        bool finished = true;
        {
            FileSizeLimit limit{rlim_t(limitBytes)};
            QVERIFY(limit.active());
            FlacTrackWriter::CreateResult result;
            auto writer = FlacTrackWriter::create(path, &result);
            QVERIFY(writer);
            for (int done = 0; done < frames; done += 4096)
                allWritesPassed = writer->write(samples.data() + done, std::min(4096, frames - done)) && allWritesPassed;
            finished = writer->finish();
        }
        if (!writesMayPass)
            QVERIFY(!allWritesPassed);
        QVERIFY(!finished);
        QVERIFY(QFileInfo(path).size() <= limitBytes);
        QVERIFY(!flacTestPasses(path));
    }
};

QTEST_GUILESS_MAIN(TestFlacTrackWriter)
#include "tst_flactrackwriter.moc"
