#include "app/sessionmakerwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QPointer>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/resource.h>

#include <cmath>
#include <functional>
#include <memory>

using namespace TestSupport;

namespace {

constexpr double kLsb = 1.0 / 8388608.0;

QProgressDialog *findProgressDialog()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<QProgressDialog *>(w))
            return dialog;
    }
    return nullptr;
}

// Calls f with the export's progress dialog every time the event loop turns.
class ProgressSpy : public QObject
{
public:
    explicit ProgressSpy(std::function<void(QProgressDialog *)> f)
        : f(std::move(f))
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (QProgressDialog *dialog = findProgressDialog())
                this->f(dialog);
        });
        timer.start(0);
    }

private:
    std::function<void(QProgressDialog *)> f;
    QTimer timer;
};

QStringList folderEntries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One window with its list, a folder for inputs and outputs, and a watcher
// answering the export's message boxes.
struct Session
{
    QTemporaryDir dir;
    SessionMakerWindow window;
    QListWidget *list = nullptr;
    MessageBoxWatcher watcher;

    Session() { list = window.findChild<QListWidget *>("waveList"); }

    QString input(const QString &name) const { return dir.filePath(name); }

    void add(const QString &name, const QString &path, int channel)
    {
        auto *item = new QListWidgetItem(name, list);
        item->setData(Qt::UserRole, QStringList{name, path, QString::number(channel)});
    }

    bool exportTo(const QString &target)
    {
        bool result = false;
        const bool invoked = QMetaObject::invokeMethod(&window, "writeSession", Qt::DirectConnection,
                                                       Q_RETURN_ARG(bool, result), Q_ARG(QString, target));
        return invoked && result;
    }
};

// Compares a track file, as the reference decoder reads it, with one channel
// of its source as FFmpeg decodes it, then expects zeros up to length.
void compareTrack(const QString &flacPath, const QString &source, int channel, qint64 length)
{
    QString message;
    QVERIFY2(flacTestPasses(flacPath, &message), qPrintable(flacPath + ": " + message));
    QCOMPARE(metaflacInfo(flacPath), (FlacInfo{48000, 1, 24, length}));

    int channels = 0;
    const QVector<float> expected = decodeToFloats(source, &channels);
    QVERIFY(channels > channel);
    const qint64 sourceFrames = expected.size() / channels;
    QVERIFY(sourceFrames <= length);
    const QVector<qint32> actual = readFlacWithFlacTool(flacPath);
    QCOMPARE(qint64(actual.size()), length);
    for (qint64 i = 0; i < length; ++i) {
        const double want = i < sourceFrames ? double(expected[int(i * channels + channel)]) : 0.0;
        const double got = actual[int(i)] * kLsb;
        const bool same = i < sourceFrames ? std::abs(got - want) <= 2 * kLsb : actual[int(i)] == 0;
        if (!same)
            QFAIL(qPrintable(QString("%1 frame %2: %3, expected %4").arg(flacPath).arg(i).arg(got).arg(want)));
    }
}

const char kWorkedExampleJson[] = R"({
    "complete": true,
    "ext": ".flac",
    "files": [
        "Band - Bass_ DI",
        "Drums overhead L",
        "Drums overhead R",
        "Band - Bass_ DI"
    ],
    "lengthSamples": 504000,
    "lengthSeconds": 10.5,
    "mapping": [
        "i.0",
        "i.1",
        "i.2",
        "i.3"
    ],
    "names": [
        "Band - Bass: DI",
        "Drums overhead L",
        "Drums overhead R",
        "Band - Bass: DI"
    ],
    "sampleRate": 48000
}
)";

const char kEmptySessionJson[] = R"({
    "complete": true,
    "ext": ".flac",
    "files": [
    ],
    "lengthSamples": 0,
    "lengthSeconds": 0,
    "mapping": [
    ],
    "names": [
    ],
    "sampleRate": 48000
}
)";

const QString kCancelledText = "The process was cancelled by user.\nIncomplete files are remaining in the session folder";
const QString kMetadataUnwritableText = "Unable to write:\n    .nelvorecsession\n\nIncompete files are left.";

} // namespace

class TestSessionExport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!haveTool("ffmpeg") || !haveTool("flac") || !haveTool("metaflac"))
            QSKIP("ffmpeg, flac and metaflac are needed to make inputs and check outputs");
    }

    void workedExample()
    {
        Session s;
        const QString bass = s.input("bass.wav");
        const QString drums = s.input("drums_overhead.wav");
        QVERIFY(makeSine(bass, 48000, 1, 10.5, 220.0, {"-metadata", "artist=Band", "-metadata", "title=Bass: DI"}));
        QVERIFY(makeSine(drums, 48000, 2, 9.0, 330.0));
        s.add("Band - Bass: DI", bass, 0);
        s.add("Drums overhead L", drums, 0);
        s.add("Drums overhead R", drums, 1);
        s.add("Band - Bass: DI", bass, 0);

        const QString target = s.dir.filePath("Song 7");
        const QStringList tracks{"Band - Bass_ DI.flac", "Drums overhead L.flac", "Drums overhead R.flac"};
        bool completeWhenReported = false;
        s.watcher.onShown = [&](QMessageBox *) {
            completeWhenReported = QFileInfo::exists(QDir(target).filePath(".nelvorecsession"));
            for (const QString &track : tracks)
                completeWhenReported = completeWhenReported && flacTestPasses(QDir(target).filePath(track));
        };
        QStringList labels;
        int convertingMaximum = -2;
        ProgressSpy spy([&](QProgressDialog *dialog) {
            if (labels.isEmpty() || labels.last() != dialog->labelText())
                labels << dialog->labelText();
            if (dialog->labelText().startsWith("Converting"))
                convertingMaximum = dialog->maximum();
        });

        QVERIFY(s.exportTo(target));

        QCOMPARE(s.watcher.boxes.size(), 1);
        const ShownBox box = s.watcher.boxes.first();
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.title, QString("Information"));
        QCOMPARE(box.text, "The following session was created:\n    " + QDir::toNativeSeparators(target));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.parentName, QString("SessionMakerWindow"));
        QVERIFY2(completeWhenReported, "the success box came before every file was complete");

        QCOMPARE(labels, (QStringList{"Processing input files", "Creating output files", "Converting bass.wav",
                                      "Converting drums_overhead.wav", "Padding sound data", "Writing metadata"}));
        QCOMPARE(convertingMaximum, (504000 + 2 * 432000) / 4096);
        QVERIFY(!findProgressDialog());

        QCOMPARE(folderEntries(target), QStringList{".nelvorecsession"} + tracks);
        QCOMPARE(readAll(QDir(target).filePath(".nelvorecsession")), QByteArray(kWorkedExampleJson));
        compareTrack(QDir(target).filePath(tracks[0]), bass, 0, 504000);
        compareTrack(QDir(target).filePath(tracks[1]), drums, 0, 504000);
        compareTrack(QDir(target).filePath(tracks[2]), drums, 1, 504000);
    }

    void tracksCarryTheirSourceChannels_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QStringList>("extraArgs");
        QTest::newRow("mono wav") << "mono.wav" << 1 << QStringList();
        QTest::newRow("stereo flac") << "stereo.flac" << 2 << QStringList();
        QTest::newRow("5.1 wav") << "surround.wav" << 6 << QStringList{"-channel_layout", "5.1"};
        QTest::newRow("24-bit wav") << "deep.wav" << 2 << QStringList{"-c:a", "pcm_s24le"};
    }

    void tracksCarryTheirSourceChannels()
    {
        QFETCH(QString, fileName);
        QFETCH(int, channels);
        QFETCH(QStringList, extraArgs);
        Session s;
        const QString source = s.input(fileName);
        QVERIFY(makeSine(source, 48000, channels, 2.5, 110.0, extraArgs));
        for (int c = 0; c < channels; ++c)
            s.add(QString("Ch %1").arg(c + 1), source, c);
        const QString target = s.dir.filePath("out");
        QVERIFY(s.exportTo(target));
        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().title, QString("Information"));
        QCOMPARE(folderEntries(target).size(), channels + 1);
        for (int c = 0; c < channels; ++c)
            compareTrack(QDir(target).filePath(QString("Ch %1.flac").arg(c + 1)), source, c, 120000);
    }

    // Sources are "file|channels|seconds" (0 seconds: a file without frames),
    // items "name|file|channel"; every track must hold its source channel,
    // then zeros up to the longest source.
    void sourceLengthsAndSharing_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<qint64>("length");
        QTest::newRow("one channel under two names")
            << QStringList{"a.wav|2|1"} << QStringList{"Lead|a.wav|0", "Vocal|a.wav|0", "Other|a.wav|1"}
            << qint64(48000);
        QTest::newRow("padded by 3 x 32768 + 100 frames")
            << QStringList{"long.wav|1|3", "short.wav|1|0.949917"} << QStringList{"Short|short.wav|0", "Long|long.wav|0"}
            << qint64(144000);
        QTest::newRow("source without frames beside a sounding one")
            << QStringList{"tone.wav|1|1", "empty.wav|2|0"}
            << QStringList{"Empty L|empty.wav|0", "Tone|tone.wav|0", "Empty R|empty.wav|1"} << qint64(48000);
        QTest::newRow("only sources without frames")
            << QStringList{"empty.wav|2|0"} << QStringList{"Empty L|empty.wav|0", "Empty R|empty.wav|1"} << qint64(0);
    }

    void sourceLengthsAndSharing()
    {
        QFETCH(QStringList, sources);
        QFETCH(QStringList, items);
        QFETCH(qint64, length);
        Session s;
        for (const QString &source : sources) {
            const QStringList parts = source.split('|');
            const QString path = s.input(parts[0]);
            const int channels = parts[1].toInt();
            const double seconds = parts[2].toDouble();
            if (seconds > 0) {
                QVERIFY(makeSine(path, 48000, channels, seconds, 150.0));
            } else {
                QVERIFY(makeWithFfmpeg(path, {"-f", "lavfi", "-i",
                                              QString("anullsrc=r=48000:cl=%1").arg(channels == 2 ? "stereo" : "mono"),
                                              "-t", "0"}));
            }
        }
        QStringList expectedEntries{".nelvorecsession"};
        for (const QString &item : items) {
            const QStringList parts = item.split('|');
            s.add(parts[0], s.input(parts[1]), parts[2].toInt());
            expectedEntries << parts[0] + ".flac";
        }
        const QString target = s.dir.filePath("out");

        QVERIFY(s.exportTo(target));

        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().title, QString("Information"));
        expectedEntries.sort();
        QCOMPARE(folderEntries(target), expectedEntries);
        const QJsonObject session =
            QJsonDocument::fromJson(readAll(QDir(target).filePath(".nelvorecsession"))).object();
        QCOMPARE(session.value("lengthSamples").toVariant().toLongLong(), length);
        for (const QString &item : items) {
            const QStringList parts = item.split('|');
            const QString track = QDir(target).filePath(parts[0] + ".flac");
            if (length > 0) {
                compareTrack(track, s.input(parts[1]), parts[2].toInt(), length);
            } else {
                QString message;
                QVERIFY2(flacComplete(track, &message), qPrintable(message));
                QCOMPARE(metaflacInfo(track), (FlacInfo{48000, 1, 24, 0}));
            }
            if (QTest::currentTestFailed())
                return;
        }
    }

    void resamplesTo48k()
    {
        Session s;
        const QString source = s.input("cd.wav");
        constexpr double kFreq = 441.0;
        QVERIFY(makeSine(source, 44100, 1, 3.0, kFreq));
        s.add("CD", source, 0);
        const QString target = s.dir.filePath("out");
        QVERIFY(s.exportTo(target));
        const QString track = QDir(target).filePath("CD.flac");
        QVERIFY(flacTestPasses(track));
        const FlacInfo info = metaflacInfo(track);
        QCOMPARE(info.sampleRate, 48000);
        QVERIFY2(std::abs(info.totalSamples - 144000) <= 100, qPrintable(QString::number(info.totalSamples)));

        // The pitch must survive: a 441 Hz sine crosses zero 882 times a second.
        const QVector<qint32> samples = readFlacWithFlacTool(track);
        int crossings = 0;
        double peak = 0;
        for (int i = 1; i < samples.size(); ++i) {
            crossings += (samples[i - 1] < 0) != (samples[i] < 0);
            peak = std::max(peak, std::abs(samples[i] * kLsb));
        }
        QVERIFY2(std::abs(crossings - 3 * 2 * kFreq) <= 4, qPrintable(QString::number(crossings)));
        QVERIFY2(std::abs(peak - 0.5) < 0.02, qPrintable(QString::number(peak)));
    }

    void emptyListWritesOnlyMetadata()
    {
        Session s;
        const QString target = s.dir.filePath("empty");
        QStringList labels;
        ProgressSpy spy([&](QProgressDialog *dialog) {
            if (labels.isEmpty() || labels.last() != dialog->labelText())
                labels << dialog->labelText();
        });
        QVERIFY(s.exportTo(target));
        QCOMPARE(folderEntries(target), QStringList{".nelvorecsession"});
        QCOMPARE(readAll(QDir(target).filePath(".nelvorecsession")), QByteArray(kEmptySessionJson));
        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().text,
                 "The following session was created:\n    " + QDir::toNativeSeparators(target));
        QVERIFY(!labels.join('|').contains("Converting"));
        QVERIFY(labels.contains("Padding sound data"));
        QCOMPARE(labels.last(), QString("Writing metadata"));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("text");
        const QString exists = "The output folder already exists. Please delete it first before re-exporting.";
        const QString nested = "Cannot create a session folder inside another session folder.";
        QTest::newRow("target is a file") << "file:out" << "out" << exists;
        QTest::newRow("target is a folder") << "folder:out" << "out" << exists;
        QTest::newRow("parent is a session") << "file:.nelvorecsession" << "out" << nested;
        QTest::newRow("parent holds such a folder") << "folder:.nelvorecsession" << "out" << nested;
        QTest::newRow("parent is a session, target ends in a separator") << "file:.nelvorecsession" << "out/" << nested;
        QTest::newRow("parent missing") << "" << "missing/out" << "Unable to create session folder.";
    }

    void refusals()
    {
        QFETCH(QString, setup);
        QFETCH(QString, target);
        QFETCH(QString, text);
        Session s;
        const QString source = s.input("tone.wav");
        QVERIFY(makeSine(source, 48000, 1, 0.5));
        s.add("Tone", source, 0);
        const QString setupPath = s.dir.filePath(setup.section(':', 1));
        if (setup.startsWith("file:")) {
            QFile file(setupPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (setup.startsWith("folder:")) {
            QVERIFY(QDir().mkdir(setupPath));
        }
        const QStringList before = folderEntries(s.dir.path());
        bool dialogSeen = false;
        ProgressSpy spy([&](QProgressDialog *) { dialogSeen = true; });

        QVERIFY(!s.exportTo(s.dir.filePath(target)));

        QCOMPARE(s.watcher.boxes.size(), 1);
        const ShownBox box = s.watcher.boxes.first();
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QString("Error"));
        QCOMPARE(box.text, text);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.parentName, QString("SessionMakerWindow"));
        QVERIFY(!dialogSeen);
        QCOMPARE(folderEntries(s.dir.path()), before);
        if (setup.startsWith("folder:"))
            QVERIFY(folderEntries(setupPath).isEmpty());
        QVERIFY(!QFileInfo::exists(s.dir.filePath("missing")));
    }

    // "link/.." leads where the link points, for the kernel as for the user's
    // file manager; the session's files must land in the folder actually made,
    // and the session-folder check must look where that folder is made.
    void pathThroughALinkAndBack_data()
    {
        QTest::addColumn<bool>("markerBesideRealTarget");
        QTest::newRow("exports into the folder made") << false;
        QTest::newRow("refused beside a session file") << true;
    }

    void pathThroughALinkAndBack()
    {
        QFETCH(bool, markerBesideRealTarget);
        Session s;
        const QString source = s.input("tone.wav");
        QVERIFY(makeSine(source, 48000, 1, 0.5));
        s.add("Tone", source, 0);
        QVERIFY(QDir().mkpath(s.dir.filePath("real/deep")));
        QVERIFY(QFile::link(s.dir.filePath("real/deep"), s.dir.filePath("link")));
        if (markerBesideRealTarget) {
            QFile marker(s.dir.filePath("real/.nelvorecsession"));
            QVERIFY(marker.open(QIODevice::WriteOnly));
        }

        const bool exported = s.exportTo(s.dir.filePath("link/../Song"));

        QCOMPARE(s.watcher.boxes.size(), 1);
        QVERIFY(!QFileInfo::exists(s.dir.filePath("Song")));
        if (markerBesideRealTarget) {
            QVERIFY(!exported);
            QCOMPARE(s.watcher.boxes.first().text,
                     QString("Cannot create a session folder inside another session folder."));
            QVERIFY(!QFileInfo::exists(s.dir.filePath("real/Song")));
        } else {
            QVERIFY(exported);
            QCOMPARE(s.watcher.boxes.first().title, QString("Information"));
            QCOMPARE(folderEntries(s.dir.filePath("real/Song")), QStringList({".nelvorecsession", "Tone.flac"}));
            QVERIFY(flacTestPasses(s.dir.filePath("real/Song/Tone.flac")));
        }
    }

    void unreadableSources_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::newRow("deleted") << "deleted";
        QTest::newRow("replaced by text") << "text";
        QTest::newRow("second of two deleted") << "second";
        QTest::newRow("now mono, channel 1 routed") << "mono";
    }

    void unreadableSources()
    {
        QFETCH(QString, breakage);
        Session s;
        const QString first = s.input("first take.wav");
        const QString second = s.input("second.wav");
        QVERIFY(makeSine(first, 48000, 2, 1.0));
        QVERIFY(makeSine(second, 48000, 1, 1.0));
        s.add("First L", first, 0);
        s.add("First R", first, 1);
        s.add("Second", second, 0);
        QString broken = first;
        if (breakage == "deleted") {
            QVERIFY(QFile::remove(first));
        } else if (breakage == "text") {
            QFile file(first);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("this is no longer audio\n");
        } else if (breakage == "second") {
            broken = second;
            QVERIFY(QFile::remove(second));
        } else {
            QVERIFY(QFile::remove(first));
            QVERIFY(makeSine(first, 48000, 1, 1.0));
        }
        const QString target = s.dir.filePath("out");

        QVERIFY(!s.exportTo(target));

        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().title, QString("Error"));
        QCOMPARE(s.watcher.boxes.first().text, "Unable to open:\n    " + QDir::toNativeSeparators(broken));
        QVERIFY(QFileInfo(target).isDir());
        QVERIFY(folderEntries(target).isEmpty());
        QVERIFY(!findProgressDialog());
    }

    void cancelDuringConversion()
    {
        Session s;
        const QString source = s.input("long.flac");
        QVERIFY(makeSine(source, 48000, 2, 120.0));
        s.add("Long L", source, 0);
        s.add("Long R", source, 1);
        const QString target = s.dir.filePath("out");
        bool cancelled = false;
        ProgressSpy spy([&](QProgressDialog *dialog) {
            if (!cancelled && dialog->labelText().startsWith("Converting")) {
                cancelled = true;
                dialog->cancel();
            }
        });

        QVERIFY(!s.exportTo(target));

        QVERIFY(cancelled);
        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().icon, QMessageBox::Warning);
        QCOMPARE(s.watcher.boxes.first().title, QString("Warning"));
        QCOMPARE(s.watcher.boxes.first().text, kCancelledText);
        QCOMPARE(folderEntries(target), (QStringList{"Long L.flac", "Long R.flac"}));
        for (const QString &track : folderEntries(target)) {
            const QString path = QDir(target).filePath(track);
            QString message;
            QVERIFY2(flacTestPasses(path, &message), qPrintable(message));
            const qint64 written = metaflacInfo(path).totalSamples;
            QVERIFY2(written > 0 && written < 120 * 48000, qPrintable(QString::number(written)));
        }
    }

    void secondExportRunsInsideTheFirst_data()
    {
        QTest::addColumn<QString>("secondTarget");
        QTest::newRow("beside the first session") << "second";
        // The first folder has no metadata file yet, but it is a session folder all the same.
        QTest::newRow("inside the first session") << "first/second";
    }

    // An Export delivered by a running export's event processing runs to its
    // end right there, with its own dialog, folder and box, before the first
    // one goes on.
    void secondExportRunsInsideTheFirst()
    {
        QFETCH(QString, secondTarget);
        const bool nested = secondTarget.startsWith("first/");
        Session s;
        const QString source = s.input("long.wav");
        QVERIFY(makeSine(source, 48000, 2, 20.0, 200.0));
        s.add("Long L", source, 0);
        s.add("Long R", source, 1);
        const QString first = s.dir.filePath("first");
        const QString second = s.dir.filePath(secondTarget);
        const QString firstMetadata = QDir(first).filePath(".nelvorecsession");
        QStringList metadataWhenShown;
        s.watcher.onShown = [&](QMessageBox *) {
            metadataWhenShown << (QFileInfo::exists(firstMetadata) ? "first done" : "first running");
        };
        bool queued = false;
        int dialogsWhileSecondRan = 0;
        ProgressSpy spy([&](QProgressDialog *dialog) {
            if (!queued && dialog->labelText().startsWith("Converting")) {
                queued = QMetaObject::invokeMethod(&s.window, "writeSession", Qt::QueuedConnection,
                                                   Q_ARG(QString, second));
            }
            int dialogs = 0;
            for (QWidget *w : QApplication::topLevelWidgets())
                dialogs += qobject_cast<QProgressDialog *>(w) != nullptr;
            dialogsWhileSecondRan = std::max(dialogsWhileSecondRan, dialogs);
        });

        QVERIFY(s.exportTo(first));

        QVERIFY(queued);
        QCOMPARE(s.watcher.boxes.size(), 2);
        QCOMPARE(s.watcher.boxes[1].text, "The following session was created:\n    " + QDir::toNativeSeparators(first));
        QCOMPARE(metadataWhenShown, (QStringList{"first running", "first done"}));
        if (nested) {
            QCOMPARE(s.watcher.boxes[0].text, QString("Cannot create a session folder inside another session folder."));
            QCOMPARE(folderEntries(first), (QStringList{".nelvorecsession", "Long L.flac", "Long R.flac"}));
            return;
        }
        QCOMPARE(dialogsWhileSecondRan, 2);
        QCOMPARE(s.watcher.boxes[0].text, "The following session was created:\n    " + QDir::toNativeSeparators(second));
        for (const QString &target : {first, second}) {
            QCOMPARE(folderEntries(target), (QStringList{".nelvorecsession", "Long L.flac", "Long R.flac"}));
            compareTrack(QDir(target).filePath("Long L.flac"), source, 0, 20 * 48000);
            compareTrack(QDir(target).filePath("Long R.flac"), source, 1, 20 * 48000);
        }
        QCOMPARE(readAll(QDir(first).filePath(".nelvorecsession")), readAll(QDir(second).filePath(".nelvorecsession")));
    }

    void nameTooLongForTheFileSystem()
    {
        Session s;
        const QString source = s.input("tone.wav");
        QVERIFY(makeSine(source, 48000, 2, 0.5));
        const QString longName(300, QLatin1Char('n'));
        s.add("Fine", source, 0);
        s.add(longName, source, 1);
        const QString target = s.dir.filePath("out");
        QVERIFY(!s.exportTo(target));
        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().title, QString("Error"));
        QCOMPARE(s.watcher.boxes.first().text, "Unable to write:\n    " + longName);
        // The track made before it is left, complete and empty.
        QCOMPARE(folderEntries(target), QStringList{"Fine.flac"});
        QVERIFY(runTool("flac", {"-t", "-s", QDir(target).filePath("Fine.flac")}).ok());
        QCOMPARE(metaflacInfo(QDir(target).filePath("Fine.flac")).totalSamples, qint64(0));
    }

    void failedWritesAreReported_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<int>("limitBytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("while converting") << 10.0 << 60000 << "Unable to write:\n    Tone";
        QTest::newRow("when the track is completed") << 0.05 << 200 << "Unable to write:\n    Tone";
        QTest::newRow("metadata file") << 0.0 << 10 << kMetadataUnwritableText;
    }

    void failedWritesAreReported()
    {
        QFETCH(double, seconds);
        QFETCH(int, limitBytes);
        QFETCH(QString, text);
        Session s;
        if (seconds > 0) {
            const QString source = s.input("tone.wav");
            QVERIFY(makeSine(source, 48000, 1, seconds));
            s.add("Tone", source, 0);
        }
        const QString target = s.dir.filePath("out");
        bool result = true;
        {
            FileSizeLimit limit{rlim_t(limitBytes)};
            QVERIFY(limit.active());
            result = s.exportTo(target);
        }
        QVERIFY(!result);
        QCOMPARE(s.watcher.boxes.size(), 1);
        QCOMPARE(s.watcher.boxes.first().icon, QMessageBox::Warning);
        QCOMPARE(s.watcher.boxes.first().title, QString("Error"));
        QCOMPARE(s.watcher.boxes.first().text, text);
        if (seconds > 0)
            QVERIFY(!QFileInfo::exists(QDir(target).filePath(".nelvorecsession")));
    }

    void namesDifferingOnlyInCaseGetTheirOwnFiles()
    {
        Session s;
        const QString a = s.input("a.wav");
        const QString b = s.input("b.wav");
        QVERIFY(makeSine(a, 48000, 1, 1.0, 300.0));
        QVERIFY(makeSine(b, 48000, 1, 1.0, 700.0));
        s.add("Kick", a, 0);
        s.add("kick", b, 0);
        const QString target = s.dir.filePath("out");
        QVERIFY(s.exportTo(target));

        const QJsonArray files = QJsonDocument::fromJson(readAll(QDir(target).filePath(".nelvorecsession")))
                                     .object()
                                     .value("files")
                                     .toArray();
        QCOMPARE(files.size(), 2);
        const QString first = files[0].toString();
        const QString second = files[1].toString();
        QCOMPARE(first, QString("Kick"));
        QVERIFY(first.compare(second, Qt::CaseInsensitive) != 0);
        QCOMPARE(folderEntries(target).size(), 3);
        compareTrack(QDir(target).filePath(first + ".flac"), a, 0, 48000);
        compareTrack(QDir(target).filePath(second + ".flac"), b, 0, 48000);
    }

    void itemsRemovedBeforeTheyAreRead()
    {
        Session s;
        const QString source = s.input("tone.wav");
        QVERIFY(makeSine(source, 48000, 2, 0.5));
        const QString other = s.input("other.wav");
        QVERIFY(makeSine(other, 48000, 1, 0.5));
        s.add("Tone L", source, 0);
        s.add("Tone R", source, 1);
        s.add("Other", other, 0);
        // Runs at the export's first event processing, after it counted three items.
        QTimer::singleShot(0, s.list, [&] {
            delete s.list->takeItem(2);
            delete s.list->takeItem(1);
        });
        const QString target = s.dir.filePath("out");
        QVERIFY(s.exportTo(target));
        QCOMPARE(s.list->count(), 1);

        const QJsonObject session =
            QJsonDocument::fromJson(readAll(QDir(target).filePath(".nelvorecsession"))).object();
        QCOMPARE(session.value("names").toArray(), QJsonArray{"Tone L"});
        QCOMPARE(session.value("files").toArray(), QJsonArray{"Tone L"});
        QCOMPARE(session.value("mapping").toArray(), QJsonArray{"i.0"});
        QCOMPARE(folderEntries(target), (QStringList{".nelvorecsession", "Tone L.flac"}));
    }

    void sourceWithoutStatedDuration()
    {
        Session s;
        // Matroska written to a pipe cannot go back to state its duration.
        const QString source = s.input("nodur.mka");
        const ToolResult made = runTool("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi",
                                                   "-i", "sine=frequency=440:sample_rate=48000:duration=1",
                                                   "-c:a", "flac", "-f", "matroska", "pipe:1"});
        QVERIFY(made.ok());
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(made.out), qint64(made.out.size()));
        file.close();
        const ToolResult probe = runTool("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of",
                                                     "csv=p=0", source});
        QCOMPARE(probe.out.trimmed(), QByteArray("N/A"));
        s.add("Tone", source, 0);
        int maximum = -2;
        ProgressSpy spy([&](QProgressDialog *dialog) {
            if (dialog->labelText().startsWith("Converting"))
                maximum = dialog->maximum();
        });
        const QString target = s.dir.filePath("out");
        QVERIFY(s.exportTo(target));
        // Unknown length counts as none: the range stays 0 to 0 instead of some wrapped quotient.
        QCOMPARE(maximum, 0);
        compareTrack(QDir(target).filePath("Tone.flac"), source, 0, 48000);
    }
};

QTEST_MAIN(TestSessionExport)
#include "tst_sessionexport.moc"
