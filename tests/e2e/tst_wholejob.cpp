#include "app/sessionmakerwindow.h"
#include "testsupport.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressDialog>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <functional>
#include <memory>

using namespace TestSupport;

namespace {

constexpr int kSessionRate = 48000;
constexpr int kSessionBits = 24;
constexpr double kFullScale24 = 8388608.0;
// The writer turns floats into 24-bit integers; rounding and truncation may
// each cost one step.
constexpr double kQuantisationTolerance = 2.0 / kFullScale24;
constexpr int kDialogGiveUpMs = 10000;
constexpr int kDialogRetryMs = 1000;
constexpr const char *kSessionName = "Song 7";

// After the drops, the move and the delete: one file per distinct track,
// the second "Kick in" merged into the first.
const QStringList kTrackFiles{"Band - Bass_ DI L.flac", "Band - Bass_ DI R.flac", "Kick in.flac",
                              "Room mics CH 1.flac",    "Room mics CH 3.flac",    "Room mics CH 4.flac",
                              "Room mics CH 5.flac",    "Room mics CH 6.flac",    "Vox.flac"};

QStringList fromJsonArray(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &element : value.toArray())
        list << element.toString();
    return list;
}

QStringList folderEntries(const QString &path)
{
    QStringList entries = QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    entries.sort();
    return entries;
}

QByteArray folderFingerprint(const QString &path)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString &entry : folderEntries(path)) {
        hash.addData(entry.toUtf8());
        QFile file(QDir(path).filePath(entry));
        if (file.open(QIODevice::ReadOnly))
            hash.addData(file.readAll());
    }
    return hash.result();
}

// What happened when the Export command's save dialog was up.
struct DialogVisit
{
    bool seen = false;
    bool stuck = false;
    QString title;
    QString startFolder;
};

// Runs the Export command and lets answer act on its modal save dialog as the
// user would. The dialog runs its own event loop, so it is reached from a timer.
DialogVisit runExportCommand(QAction *exportAction, const std::function<void(QFileDialog *)> &answer)
{
    DialogVisit visit;
    QElapsedTimer sinceAnswer;
    int answers = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        if (!visit.seen) {
            visit.seen = true;
            visit.title = dialog->windowTitle();
            visit.startFolder = dialog->directory().absolutePath();
            sinceAnswer.start();
            answer(dialog);
        } else if (sinceAnswer.elapsed() > kDialogGiveUpMs) {
            // Fail the test rather than hang it when the answer did not close the dialog.
            visit.stuck = true;
            dialog->reject();
        } else if (sinceAnswer.elapsed() > (answers + 1) * kDialogRetryMs) {
            // On a busy machine the dialog may still be reading its folder and reset
            // what was typed; a user would simply type it again.
            ++answers;
            answer(dialog);
        }
    });
    poll.start(20);
    exportAction->trigger();
    poll.stop();
    return visit;
}

bool sendDrop(QWidget *target, const QList<QUrl> &urls, bool *dropAccepted)
{
    const DropResult result = dropUrls(target, urls);
    if (!result.enterAccepted || result.enterAction != Qt::CopyAction)
        return false;
    *dropAccepted = result.dropAccepted && result.dropAction == Qt::CopyAction;
    return true;
}

} // namespace

// The whole job as a user does it: files dropped on the window, the list
// rearranged, the session exported through the save dialog, and the folder
// then read back with tools that share no code with the program.
class WholeJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void dropFilesOfSeveralFormats();
    void reorderAndDelete();
    void exportThroughTheSaveDialog();
    void sessionFolderHoldsOneFilePerDistinctTrack();
    void trackFiles_data();
    void trackFiles();
    void trackSamplesMatchTheirSourceChannel_data();
    void trackSamplesMatchTheirSourceChannel();
    void metadataDescribesTheList();
    void nextExportStartsInTheRememberedFolder();
    void secondExportToTheSameNameIsRefused();

private:
    QString source(const QString &name) const { return QDir(sourceDir).filePath(name); }
    QString sessionPath() const { return QDir(sessionsDir).filePath(kSessionName); }
    QStringList listTexts() const;

    QTemporaryDir work;
    QString sourceDir;
    QString sessionsDir;
    QString compressedName;
    std::unique_ptr<MessageBoxWatcher> boxes;
    std::unique_ptr<SessionMakerWindow> window;
    QListWidget *waveList = nullptr;
    QAction *exportAction = nullptr;
    qint64 longestSourceFrames = 0;
};

QStringList WholeJob::listTexts() const
{
    QStringList texts;
    for (int i = 0; i < waveList->count(); ++i)
        texts << waveList->item(i)->text();
    return texts;
}

void WholeJob::initTestCase()
{
    if (!haveTool("ffmpeg") || !haveTool("ffprobe") || !haveTool("flac") || !haveTool("metaflac"))
        QSKIP("needs ffmpeg, ffprobe, flac and metaflac on the PATH");
    QVERIFY(work.isValid());
    sourceDir = QDir(work.path()).filePath("sources");
    sessionsDir = QDir(work.path()).filePath("sessions");
    QVERIFY(QDir().mkpath(QDir(sourceDir).filePath("folder")));
    QVERIFY(QDir().mkpath(sessionsDir));

    QVERIFY(makeSine(source("kick_in.wav"), 48000, 1, 1.5, 330.0, {"-c:a", "pcm_s24le"}));
    QVERIFY(makeSine(source("bass_di.flac"), 44100, 2, 2.0, 110.0,
                     {"-c:a", "flac", "-metadata", "artist=Band", "-metadata", "title=Bass: DI"}));

    // A true 5.1 layout, one distinct tone per channel so a wrong channel shows.
    QStringList surround;
    QString join;
    for (int c = 0; c < 6; ++c) {
        surround << "-f" << "lavfi" << "-i" << QString("sine=frequency=%1:sample_rate=48000:duration=2.5").arg(200 * (c + 1));
        join += QString("[%1:a]").arg(c);
    }
    surround << "-filter_complex" << join + "join=inputs=6:channel_layout=5.1,volume=4[out]" << "-map" << "[out]"
             << "-c:a" << "pcm_s24le";
    QString error;
    QVERIFY2(makeWithFfmpeg(source("room_mics.wav"), surround, &error), qPrintable(error));

    if (haveEncoder("libmp3lame")) {
        compressedName = "vox.mp3";
        QVERIFY(makeSine(source(compressedName), 48000, 1, 1.0, 550.0, {"-c:a", "libmp3lame"}));
    } else if (haveEncoder("libvorbis")) {
        compressedName = "vox.ogg";
        QVERIFY(makeSine(source(compressedName), 48000, 1, 1.0, 550.0, {"-c:a", "libvorbis"}));
    } else {
        compressedName = "vox.ogg";
        QVERIFY(makeSine(source(compressedName), 48000, 1, 1.0, 550.0, {"-c:a", "flac"}));
    }
    // Only ever reachable by searching the folder, which the program does not do.
    QVERIFY(makeSine(QDir(sourceDir).filePath("folder/nested.wav"), 48000, 1, 0.5));

    int channels = 0;
    longestSourceFrames = decodeToFloats(source("room_mics.wav"), &channels).size() / 6;
    QCOMPARE(channels, 6);
    QCOMPARE(longestSourceFrames, qint64(120000));

    QSettings().clear();
    boxes = std::make_unique<MessageBoxWatcher>();
    window = std::make_unique<SessionMakerWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    waveList = window->findChild<QListWidget *>("waveList");
    exportAction = window->findChild<QAction *>("action_Export_to_Nelvo_Rec_Session");
    QVERIFY(waveList);
    QVERIFY(exportAction);
}

void WholeJob::cleanupTestCase()
{
    window.reset();
    boxes.reset();
}

void WholeJob::dropFilesOfSeveralFormats()
{
    // Given out of order and mixed with a folder and a remote URL, as a file
    // manager may hand them over.
    const QList<QUrl> firstDrop{
        QUrl::fromLocalFile(source("room_mics.wav")), QUrl("https://example.invalid/remote.wav"),
        QUrl::fromLocalFile(source(compressedName)), QUrl::fromLocalFile(source("folder")),
        QUrl::fromLocalFile(source("kick_in.wav")), QUrl::fromLocalFile(source("bass_di.flac")),
    };
    bool accepted = false;
    QVERIFY2(sendDrop(window.get(), firstDrop, &accepted), "the window refused the drag");
    QVERIFY(accepted);

    // The same mono file once more, in a drop of its own.
    QVERIFY(sendDrop(window.get(), {QUrl::fromLocalFile(source("kick_in.wav"))}, &accepted));
    QVERIFY(accepted);
    QTest::qWait(100);
    QCOMPARE(boxes->boxes.size(), 0);

    // Something that is no audio at all, beside a folder: nothing is added and
    // the user is told which file could not be read.
    const QString notes = source("notes.txt");
    QFile text(notes);
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a sound\n");
    text.close();
    QVERIFY(sendDrop(window.get(), {QUrl::fromLocalFile(source("folder")), QUrl::fromLocalFile(notes)}, &accepted));
    QVERIFY2(!accepted, "a drop that added nothing was accepted");
    QVERIFY(waitFor([this] { return !boxes->boxes.isEmpty(); }));
    QCOMPARE(boxes->boxes.size(), 1);
    QCOMPARE(boxes->boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(boxes->boxes.first().title, QString("Warning"));
    QCOMPARE(boxes->boxes.first().text, "Cannot read media:\n" + QDir::toNativeSeparators(notes));

    struct Expected
    {
        QString text;
        QString file;
        int channel;
    };
    const QVector<Expected> expected{
        {"Band - Bass: DI L", "bass_di.flac", 0}, {"Band - Bass: DI R", "bass_di.flac", 1},
        {"Kick in", "kick_in.wav", 0},          {"Room mics CH 1", "room_mics.wav", 0},
        {"Room mics CH 2", "room_mics.wav", 1}, {"Room mics CH 3", "room_mics.wav", 2},
        {"Room mics CH 4", "room_mics.wav", 3}, {"Room mics CH 5", "room_mics.wav", 4},
        {"Room mics CH 6", "room_mics.wav", 5}, {"Vox", compressedName, 0},
        {"Kick in", "kick_in.wav", 0},
    };
    QCOMPARE(waveList->count(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QListWidgetItem *item = waveList->item(i);
        QCOMPARE(item->text(), expected[i].text);
        const QStringList data{expected[i].text, source(expected[i].file), QString::number(expected[i].channel)};
        QCOMPARE(item->data(Qt::UserRole).toStringList(), data);
    }
}

void WholeJob::reorderAndDelete()
{
    QCOMPARE(waveList->count(), 11);
    // What the list's own internal drag does to its model: "Vox" from the
    // bottom of the first drop to the top.
    QVERIFY2(waveList->model()->moveRows(QModelIndex(), 9, 1, QModelIndex(), 0), "the list refused the move");
    QCOMPARE(waveList->item(0)->text(), QString("Vox"));

    // The warning box of the last drop took the focus; a window manager hands
    // it back when the box closes, the offscreen platform does not.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QListWidgetItem *doomed = waveList->item(5);
    QCOMPARE(doomed->text(), QString("Room mics CH 2"));
    waveList->scrollToItem(doomed);
    QTest::mouseClick(waveList->viewport(), Qt::LeftButton, Qt::NoModifier,
                      waveList->visualItemRect(doomed).center());
    QCOMPARE(waveList->selectedItems(), QList<QListWidgetItem *>{doomed});
    waveList->setFocus();
    QTest::keyClick(waveList, Qt::Key_Delete);

    const QStringList expected{"Vox",           "Band - Bass: DI L", "Band - Bass: DI R", "Kick in",
                               "Room mics CH 1", "Room mics CH 3",   "Room mics CH 4",    "Room mics CH 5",
                               "Room mics CH 6", "Kick in"};
    QCOMPARE(listTexts(), expected);
}

void WholeJob::exportThroughTheSaveDialog()
{
    QCOMPARE(waveList->count(), 10);
    const int boxesBefore = boxes->boxes.size();
    const DialogVisit visit = runExportCommand(exportAction, [this](QFileDialog *dialog) {
        dialog->setDirectory(sessionsDir);
        auto *nameEdit = dialog->findChild<QLineEdit *>("fileNameEdit");
        if (!nameEdit) {
            dialog->reject();
            return;
        }
        nameEdit->clear();
        QTest::keyClicks(nameEdit, kSessionName);
        // Accept as the Save button does: a Return key can be taken by the name
        // completer's popup while the folder is still being read on a busy machine.
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QVERIFY2(visit.seen, "the Export command showed no save dialog");
    QVERIFY2(!visit.stuck, "the save dialog did not take the typed name");
    QCOMPARE(visit.title, QString("Target session name"));

    // The export itself is a queued call; it ends once its result box is answered.
    QVERIFY(waitFor([&] { return boxes->boxes.size() > boxesBefore; }, 60000));
    QCOMPARE(boxes->boxes.size(), boxesBefore + 1);
    const ShownBox &box = boxes->boxes.last();
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, QString("Information"));
    QCOMPARE(box.text, "The following session was created:\n    " + QDir::toNativeSeparators(sessionPath()));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parentName, QString("SessionMakerWindow"));

    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *progress = qobject_cast<QProgressDialog *>(w))
            QVERIFY2(!progress->isVisible(), "the progress dialog outlived the export");
    }
    QCOMPARE(QSettings().value("lastFolder").toString(), sessionsDir);
    QCOMPARE(listTexts().size(), 10);
}

void WholeJob::sessionFolderHoldsOneFilePerDistinctTrack()
{
    QStringList expected = kTrackFiles;
    expected << ".nelvorecsession";
    expected.sort();
    QCOMPARE(folderEntries(sessionPath()), expected);
    QCOMPARE(folderEntries(sessionsDir), QStringList{kSessionName});
}

void WholeJob::trackFiles_data()
{
    QTest::addColumn<QString>("track");
    for (const QString &entry : kTrackFiles)
        QTest::newRow(qPrintable(entry)) << entry;
}

void WholeJob::trackFiles()
{
    QFETCH(QString, track);
    const QString path = QDir(sessionPath()).filePath(track);
    QString message;
    QVERIFY2(flacTestPasses(path, &message), qPrintable(message));
    QCOMPARE(metaflacInfo(path), (FlacInfo{kSessionRate, 1, kSessionBits, longestSourceFrames}));
}

void WholeJob::trackSamplesMatchTheirSourceChannel_data()
{
    QTest::addColumn<QString>("track");
    QTest::addColumn<QString>("sourceFile");
    QTest::addColumn<int>("channel");
    QTest::newRow("longest source, third of six channels") << "Room mics CH 3.flac" << "room_mics.wav" << 2;
    QTest::newRow("longest source, last of six channels") << "Room mics CH 6.flac" << "room_mics.wav" << 5;
    QTest::newRow("shorter mono source, padded") << "Kick in.flac" << "kick_in.wav" << 0;
}

void WholeJob::trackSamplesMatchTheirSourceChannel()
{
    QFETCH(QString, track);
    QFETCH(QString, sourceFile);
    QFETCH(int, channel);
    int channels = 0;
    const QVector<float> original = decodeToFloats(source(sourceFile), &channels);
    QVERIFY(channels > channel);
    const qint64 sourceFrames = original.size() / channels;
    const QVector<qint32> written = readFlacWithFlacTool(QDir(sessionPath()).filePath(track));
    QCOMPARE(qint64(written.size()), longestSourceFrames);
    QVERIFY(sourceFrames <= longestSourceFrames);

    double loudest = 0.0;
    for (qint64 i = 0; i < sourceFrames; ++i) {
        const double expected = original[int(i * channels + channel)];
        const double got = written[int(i)] / kFullScale24;
        loudest = std::max(loudest, std::fabs(expected));
        if (std::fabs(got - expected) > kQuantisationTolerance)
            QFAIL(qPrintable(QString("frame %1: %2 written, %3 in the source").arg(i).arg(got).arg(expected)));
    }
    QVERIFY2(loudest > 0.25, "the source channel is too quiet to tell channels apart");
    for (qint64 i = sourceFrames; i < longestSourceFrames; ++i) {
        if (written[int(i)] != 0)
            QFAIL(qPrintable(QString("padding frame %1 is %2, not silence").arg(i).arg(written[int(i)])));
    }
}

void WholeJob::metadataDescribesTheList()
{
    QFile file(QDir(sessionPath()).filePath(".nelvorecsession"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    QVERIFY2(parseError.error == QJsonParseError::NoError, qPrintable(parseError.errorString()));
    QVERIFY(document.isObject());
    const QJsonObject session = document.object();

    const QStringList keys{"complete", "ext", "files", "lengthSamples", "lengthSeconds", "mapping", "names", "sampleRate"};
    QCOMPARE(session.keys(), keys);
    int previous = -1;
    for (const QString &key : keys) {
        const int at = text.indexOf("\"" + key.toUtf8() + "\":");
        QVERIFY2(at > previous, qPrintable(key + " is out of order in the file"));
        previous = at;
    }

    QCOMPARE(session["complete"], QJsonValue(true));
    QCOMPARE(session["ext"], QJsonValue(".flac"));
    QCOMPARE(session["sampleRate"].toDouble(), double(kSessionRate));
    QCOMPARE(qint64(session["lengthSamples"].toDouble()), longestSourceFrames);
    QCOMPARE(session["lengthSeconds"].toDouble(), double(longestSourceFrames) / kSessionRate);

    const QStringList names{"Vox",           "Band - Bass: DI L", "Band - Bass: DI R", "Kick in",
                            "Room mics CH 1", "Room mics CH 3",   "Room mics CH 4",    "Room mics CH 5",
                            "Room mics CH 6", "Kick in"};
    QStringList files = names;
    files.replaceInStrings(":", "_");
    QStringList mapping;
    for (int i = 0; i < names.size(); ++i)
        mapping << QString("i.%1").arg(i);
    QCOMPARE(fromJsonArray(session["names"]), names);
    QCOMPARE(fromJsonArray(session["files"]), files);
    QCOMPARE(fromJsonArray(session["mapping"]), mapping);

    QStringList trackFiles;
    for (const QString &name : files) {
        if (!trackFiles.contains(name + ".flac"))
            trackFiles << name + ".flac";
    }
    QStringList onDisk = folderEntries(sessionPath());
    onDisk.removeOne(".nelvorecsession");
    trackFiles.sort();
    QCOMPARE(onDisk, trackFiles);
}

void WholeJob::nextExportStartsInTheRememberedFolder()
{
    const int boxesBefore = boxes->boxes.size();
    const DialogVisit visit = runExportCommand(exportAction, [](QFileDialog *dialog) { dialog->reject(); });
    QVERIFY(visit.seen);
    QCOMPARE(visit.startFolder, sessionsDir);
    QTest::qWait(100);
    QCOMPARE(boxes->boxes.size(), boxesBefore);
    QCOMPARE(QSettings().value("lastFolder").toString(), sessionsDir);
    QCOMPARE(folderEntries(sessionsDir), QStringList{kSessionName});
}

void WholeJob::secondExportToTheSameNameIsRefused()
{
    // The toolkit's own save dialog steps into an existing folder instead of
    // returning it, so the name reaches the export the way a native dialog's
    // confirmed choice would: through the call the Export command makes.
    const QByteArray before = folderFingerprint(sessionPath());
    const int boxesBefore = boxes->boxes.size();
    bool result = true;
    QVERIFY(QMetaObject::invokeMethod(window.get(), "writeSession", Qt::DirectConnection,
                                      Q_RETURN_ARG(bool, result), Q_ARG(QString, sessionPath())));
    QVERIFY(!result);
    QCOMPARE(boxes->boxes.size(), boxesBefore + 1);
    const ShownBox &box = boxes->boxes.last();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.title, QString("Error"));
    QCOMPARE(box.text, QString("The output folder already exists. Please delete it first before re-exporting."));
    QCOMPARE(folderFingerprint(sessionPath()), before);
}

int main(int argc, char *argv[])
{
    // Run by hand, outside ctest, the test must still keep away from the user's settings.
    QTemporaryDir privateConfig;
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        qputenv("XDG_CONFIG_HOME", privateConfig.path().toLocal8Bit());
    setProgramIdentity();
    QApplication app(argc, argv);
    WholeJob test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wholejob.moc"
