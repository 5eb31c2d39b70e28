// Faults while an export runs: a full disk, a vanished folder or source, the
// user's cancel at every stage. Each must end in its message, never in the
// success box over incomplete files, and must write nothing outside the session.
#include "app/sessionmakerwindow.h"
#include "export/sessionformat.h"
#include "export/trackitemdata.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <functional>
#include <system_error>
#include <thread>

#include <sys/resource.h>

using namespace TestSupport;

namespace {

constexpr int kLongSeconds = 30;
constexpr int kShortSeconds = 2;
constexpr qint64 kLongestFrames = qint64(kLongSeconds) * kOutputRate;
constexpr qint64 kExportTimeoutMs = 300000;
// Long enough that its conversion sees many progress refreshes.
constexpr int kClockSourceSeconds = 300;
constexpr int kFailingReadOffset = 1000000;
// Each sync as slow as on a tired card: the last stage takes seconds.
constexpr int kSlowSyncMs = 300;
const QString kCancelledText =
    QStringLiteral("The process was cancelled by user.\nIncomplete files are remaining in the session folder");
const QString kMetadataUnwritableText =
    QStringLiteral("Unable to write:\n    .nelvorecsession\n\nIncompete files are left.");
const QStringList kTrackNames{"Kick", "SnareL", "SnareR"};

// Every entry below dir with its kind, size and modification time.
QMap<QString, QString> snapshot(const QString &dir)
{
    QMap<QString, QString> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        entries.insert(QDir(dir).relativeFilePath(info.filePath()),
                       QString("%1 %2 %3")
                           .arg(info.isDir() ? "dir" : "file")
                           .arg(info.isDir() ? 0 : info.size())
                           .arg(info.lastModified().toMSecsSinceEpoch()));
    }
    return entries;
}

struct ExportRun
{
    bool result = false;
    QVector<ShownBox> boxes;
    QStringList problemsAtBox; // track files not complete when a box came up
    QStringList outsideChanges;
    bool faultInjected = false;
};

// The shim's settings for a fault that strikes once a read of source reaches
// kFailingReadOffset.
QMap<QString, QString> readFault(const QString &source, const QString &fault)
{
    return {{"NELVO_SHIM_READ_PATH", QFileInfo(source).canonicalFilePath()},
            {"NELVO_SHIM_READ_AFTER", QString::number(kFailingReadOffset)},
            {"NELVO_SHIM_READ_FAULT", fault}};
}

QStringList trackFiles(const QString &session)
{
    QStringList files;
    for (const QString &name : QDir(session).entryList({"*.flac"}, QDir::Files, QDir::Name))
        files << QDir(session).filePath(name);
    return files;
}

// Every entry of a session folder, hidden ones included.
QStringList sessionEntries(const QString &session)
{
    return QDir(session).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                   QDir::Name);
}

QStringList trackFileNames()
{
    QStringList names;
    for (const QString &name : kTrackNames)
        names << name + kTrackExtension;
    return names;
}

} // namespace

class ExportFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cancelAtStage_data();
    void cancelAtStage();
    void diskFull_data();
    void diskFull();
    void sessionFolderRemovedWhileConverting();
    void metadataUnwritable();
    void sourceDeletedAfterDrop();
    void sourceReplacedWithFewerChannels();
    void readFailsPartWay();
    void wallClockStepsBack();
    void tracksReachTheDiskFirst_data();
    void tracksReachTheDiskFirst();
    void closedWhileStoring();
    void noThreadToStoreOn();
    void cleanupTestCase();

private:
    struct Fixture
    {
        std::unique_ptr<SessionMakerWindow> window;
        QListWidget *list = nullptr;
        QString parent;
        QString session;
    };
    Fixture makeFixture(bool withItems = true);
    ExportRun runExport(Fixture &fx, const std::function<bool(QProgressDialog *)> &fault,
                        bool checkTracksAtBox = true, const std::function<void()> &atBox = {});
    ToolResult expectChildPasses(const QString &testFunction, const QMap<QString, QString> &shimSettings);
    void verifyCompleteSession(const Fixture &fx, const ExportRun &run);

    QTemporaryDir m_root;
    QString m_long;
    QString m_short;
    int m_fixtures = 0;
    int m_faults = 0;
    int m_exports = 0;
};

void ExportFaultsTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath("src"));
    m_long = m_root.filePath("src/long.wav");
    m_short = m_root.filePath("src/short.wav");
    QVERIFY(makeSine(m_long, kOutputRate, 1, kLongSeconds, 220.0, {"-c:a", "pcm_s16le"}));
    QVERIFY(makeSine(m_short, 44100, 2, kShortSeconds, 440.0, {"-c:a", "pcm_s16le"}));
}

ExportFaultsTest::Fixture ExportFaultsTest::makeFixture(bool withItems)
{
    Fixture fx;
    fx.window = std::make_unique<SessionMakerWindow>();
    fx.window->show();
    fx.list = fx.window->findChild<QListWidget *>("waveList");
    fx.parent = m_root.filePath(QString("out%1").arg(++m_fixtures));
    QDir().mkpath(fx.parent);
    // A bystander, so that the comparison after the export has something to keep.
    QFile keep(QDir(fx.parent).filePath("keep.txt"));
    if (keep.open(QIODevice::WriteOnly))
        keep.write("not part of any session\n");
    keep.close();
    fx.session = QDir(fx.parent).filePath("session");
    if (withItems && fx.list) {
        const QList<TrackItemData> items{{kTrackNames[0], m_long, "0"},
                                         {kTrackNames[1], m_short, "0"},
                                         {kTrackNames[2], m_short, "1"}};
        for (const TrackItemData &data : items) {
            auto *item = new QListWidgetItem(fx.list);
            item->setData(Qt::DisplayRole, data[TrackItemName]);
            item->setData(Qt::UserRole, data);
        }
    }
    return fx;
}

ExportRun ExportFaultsTest::runExport(Fixture &fx,
                                       const std::function<bool(QProgressDialog *)> &fault,
                                       bool checkTracksAtBox, const std::function<void()> &atBox)
{
    ExportRun run;
    const auto parentBefore = snapshot(fx.parent);
    const auto sourcesBefore = snapshot(m_root.filePath("src"));

    MessageBoxWatcher watcher;
    watcher.onShown = [&](QMessageBox *box) {
        if (atBox)
            atBox();
        if (!checkTracksAtBox)
            return;
        qint64 length = -1;
        if (box->windowTitle() == "Information") {
            QFile meta(QDir(fx.session).filePath(kMetadataFileName));
            if (!meta.open(QIODevice::ReadOnly))
                run.problemsAtBox << "success box without a metadata file";
            length = qint64(QJsonDocument::fromJson(meta.readAll()).object().value("lengthSamples").toDouble(-1));
        }
        for (const QString &track : trackFiles(fx.session)) {
            QString message;
            if (!flacComplete(track, &message))
                run.problemsAtBox << box->windowTitle() + ": " + track + " incomplete: " + message.trimmed();
            else if (length >= 0 && metaflacInfo(track).totalSamples != length)
                run.problemsAtBox << track + " does not hold lengthSamples frames";
        }
    };
    QTimer poller;
    poller.setInterval(0);
    QObject::connect(&poller, &QTimer::timeout, [&] {
        if (!fault || run.faultInjected)
            return;
        if (auto *dialog = fx.window->findChild<QProgressDialog *>())
            run.faultInjected = fault(dialog);
    });
    poller.start();
    {
        Watchdog dog(kExportTimeoutMs, "the export");
        QMetaObject::invokeMethod(fx.window.get(), "writeSession", Qt::DirectConnection,
                                  Q_RETURN_ARG(bool, run.result), Q_ARG(QString, fx.session));
    }
    poller.stop();
    ++m_exports;
    if (run.faultInjected)
        ++m_faults;
    run.boxes = watcher.boxes;

    auto parentAfter = snapshot(fx.parent);
    for (auto it = parentAfter.begin(); it != parentAfter.end();) {
        if (it.key() == "session" || it.key().startsWith("session/"))
            it = parentAfter.erase(it);
        else
            ++it;
    }
    if (parentAfter != parentBefore)
        run.outsideChanges << "the session's parent folder changed outside the session folder";
    if (snapshot(m_root.filePath("src")) != sourcesBefore)
        run.outsideChanges << "the source folder changed";
    return run;
}

void ExportFaultsTest::verifyCompleteSession(const Fixture &fx, const ExportRun &run)
{
    QVERIFY(run.result);
    const QStringList tracks = trackFiles(fx.session);
    QCOMPARE(tracks.size(), kTrackNames.size());
    for (const QString &track : tracks) {
        QVERIFY2(flacTestPasses(track), qPrintable(track));
        QCOMPARE(metaflacInfo(track), (FlacInfo{kOutputRate, 1, kTrackBitsPerSample, kLongestFrames}));
    }
}

void ExportFaultsTest::cancelAtStage_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("mayComplete");
    QTest::newRow("opening the sources") << "Processing input files" << false;
    QTest::newRow("creating the track files") << "Creating output files" << false;
    QTest::newRow("converting") << "Converting long.wav" << false;
    // Cancel is tested only at the padding's refreshes and never while the metadata is written.
    QTest::newRow("padding") << "Padding sound data" << true;
    QTest::newRow("writing metadata") << "Writing metadata" << true;
}

void ExportFaultsTest::cancelAtStage()
{
    QFETCH(QString, label);
    QFETCH(bool, mayComplete);
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    const ExportRun run = runExport(fx, [&](QProgressDialog *dialog) {
        if (dialog->labelText() != label)
            return false;
        const auto buttons = dialog->findChildren<QPushButton *>();
        if (buttons.isEmpty())
            return false;
        buttons.first()->click();
        return true;
    });
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    const ShownBox box = run.boxes[0];
    if (!mayComplete)
        QVERIFY(run.faultInjected);
    if (box.title == "Information") {
        QVERIFY2(mayComplete, "the export reported success after a cancel it had to act on");
        verifyCompleteSession(fx, run);
        return;
    }
    QCOMPARE(box.title, QString("Warning"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.text, kCancelledText);
    QVERIFY(!run.result);
    QVERIFY(!QFileInfo::exists(QDir(fx.session).filePath(kMetadataFileName)));
    const QStringList tracks = trackFiles(fx.session);
    QCOMPARE(tracks.size(), kTrackNames.size());
    for (const QString &track : tracks) {
        QString message;
        QVERIFY2(flacComplete(track, &message), qPrintable(track + ": " + message));
        QVERIFY(metaflacInfo(track).totalSamples <= kLongestFrames);
    }
}

void ExportFaultsTest::diskFull_data()
{
    QTest::addColumn<int>("limitBytes");
    QTest::addColumn<bool>("room");
    QTest::newRow("4 KiB") << 4096 << false;
    QTest::newRow("40 KiB") << 40000 << false;
    QTest::newRow("160 KiB") << 160000 << false;
    QTest::newRow("400 KiB") << 400000 << false;
    // Above the largest track (about 520 KB): the limit alone must not fail an export.
    QTest::newRow("4 MiB") << 4 * 1024 * 1024 << true;
}

void ExportFaultsTest::diskFull()
{
    QFETCH(int, limitBytes);
    QFETCH(bool, room);
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    ExportRun run;
    {
        FileSizeLimit limit{rlim_t(limitBytes)};
        QVERIFY(limit.active());
        // The writes fail from the start of the conversion on; the files stay cut short.
        run = runExport(fx, {}, room);
    }
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    const ShownBox box = run.boxes[0];
    if (room) {
        QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
        QCOMPARE(box.title, QString("Information"));
        verifyCompleteSession(fx, run);
        return;
    }
    ++m_faults;
    QVERIFY2(box.title != "Information", "an export whose tracks could not be written reported success");
    QCOMPARE(box.title, QString("Error"));
    QStringList expected;
    for (const QString &name : kTrackNames)
        expected << "Unable to write:\n    " + name;
    QVERIFY2(expected.contains(box.text), qPrintable(box.text));
    QVERIFY(!run.result);
}

void ExportFaultsTest::sessionFolderRemovedWhileConverting()
{
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    const ExportRun run = runExport(
        fx,
        [&](QProgressDialog *dialog) {
            if (!dialog->labelText().startsWith("Converting "))
                return false;
            return QDir(fx.session).removeRecursively();
        },
        false);
    QVERIFY(run.faultInjected);
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QVERIFY2(run.boxes[0].title != "Information", "the export reported success into a removed folder");
    QCOMPARE(run.boxes[0].title, QString("Error"));
    QVERIFY2(run.boxes[0].text.startsWith("Unable to write:\n    "), qPrintable(run.boxes[0].text));
    QVERIFY(!run.result);
}

void ExportFaultsTest::metadataUnwritable()
{
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    // A folder where the metadata file must go: opening it for writing fails.
    const ExportRun run = runExport(fx, [&](QProgressDialog *dialog) {
        return dialog->labelText() == "Padding sound data"
               && QDir(fx.session).mkdir(kMetadataFileName);
    });
    QVERIFY(run.faultInjected);
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QString("Error"));
    QCOMPARE(run.boxes[0].text, kMetadataUnwritableText);
    QVERIFY(!run.result);
    const QStringList tracks = trackFiles(fx.session);
    QCOMPARE(tracks.size(), kTrackNames.size());
    for (const QString &track : tracks)
        QCOMPARE(metaflacInfo(track).totalSamples, kLongestFrames);
}

void ExportFaultsTest::sourceDeletedAfterDrop()
{
    const QString source = m_root.filePath("src/vanishing.wav");
    QVERIFY(QFile::copy(m_short, source));
    Fixture fx = makeFixture(false);
    QVERIFY(fx.list);
    dropUrls(fx.window.get(), {QUrl::fromLocalFile(source)}, Qt::CopyAction);
    QCOMPARE(fx.list->count(), 2);
    QVERIFY(QFile::remove(source));
    ++m_faults;

    const ExportRun run = runExport(fx, {});
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QString("Error"));
    QCOMPARE(run.boxes[0].text, "Unable to open:\n    " + QDir::toNativeSeparators(source));
    QVERIFY(!run.result);
    QVERIFY(QFileInfo(fx.session).isDir());
    QVERIFY(QDir(fx.session).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void ExportFaultsTest::sourceReplacedWithFewerChannels()
{
    // Dropped as stereo, then overwritten by a mono file: the export must not
    // read a channel the source no longer has.
    const QString source = m_root.filePath("src/swapped.wav");
    QVERIFY(QFile::copy(m_short, source));
    Fixture fx = makeFixture(false);
    QVERIFY(fx.list);
    dropUrls(fx.window.get(), {QUrl::fromLocalFile(source)}, Qt::CopyAction);
    QCOMPARE(fx.list->count(), 2);
    QVERIFY(makeSine(source, 44100, 1, kShortSeconds, 440.0, {"-c:a", "pcm_s16le"}));
    ++m_faults;

    const ExportRun run = runExport(fx, {});
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QVERIFY2(run.boxes[0].title != "Information", "a channel the source no longer has was exported");
    QCOMPARE(run.boxes[0].title, QString("Error"));
    QVERIFY2(run.boxes[0].text.startsWith("Unable to "), qPrintable(run.boxes[0].text));
    QVERIFY(!run.result);
}

// The faults below need the preloaded shim: each test function runs again in
// a child with it, where it does its work; here it reports the child's verdict.
ToolResult ExportFaultsTest::expectChildPasses(const QString &testFunction,
                                               const QMap<QString, QString> &shimSettings)
{
    const ToolResult child = rerunUnderShim(testFunction, shimSettings);
    [&] { QVERIFY2(child.ok(), qPrintable(QString::fromLocal8Bit(child.out.right(4000) + child.err.right(2000)))); }();
    return child;
}

void ExportFaultsTest::readFailsPartWay()
{
    if (!underShim()) {
        const ToolResult child = expectChildPasses("readFailsPartWay", readFault(m_long, "eio"));
        if (QTest::currentTestFailed())
            return;
        const QByteArray said = "player: couldn't read " + QFileInfo(m_long).canonicalFilePath().toUtf8()
                                + ": Input/output error\n";
        QVERIFY2(child.out.contains(said), "no line says why the source stopped");
        return;
    }
    // The parent's long source lies on the failing disk; its reads fail a third of the way in.
    m_long = qEnvironmentVariable("NELVO_SHIM_READ_PATH");
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    const ExportRun run = runExport(fx, {});
    QVERIFY2(run.outsideChanges.isEmpty(), qPrintable(run.outsideChanges.join('\n')));
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QVERIFY2(run.boxes[0].title != "Information", "a source cut short by a read error was reported complete");
    QCOMPARE(run.boxes[0].title, QString("Error"));
    QCOMPARE(run.boxes[0].text, "Unable to open:\n    " + QDir::toNativeSeparators(m_long));
    QVERIFY(!run.result);
    QVERIFY(!QFileInfo::exists(QDir(fx.session).filePath(kMetadataFileName)));
    QCOMPARE(trackFiles(fx.session).size(), kTrackNames.size());
}

void ExportFaultsTest::wallClockStepsBack()
{
    if (!underShim()) {
        const QString source = m_root.filePath("src/minutes.wav");
        QVERIFY(makeSine(source, kOutputRate, 1, kClockSourceSeconds, 220.0, {"-c:a", "pcm_s16le"}));
        expectChildPasses("wallClockStepsBack", readFault(source, "clockback"));
        return;
    }
    // The wall clock steps back an hour early in the conversion of the long source:
    // the progress refreshes, and with them Cancel, must go on regardless.
    m_long = qEnvironmentVariable("NELVO_SHIM_READ_PATH");
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    const QString converting = "Converting " + QFileInfo(m_long).fileName();
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    const ExportRun run = runExport(fx, [&](QProgressDialog *dialog) {
        if (dialog->labelText() != converting || QDateTime::currentMSecsSinceEpoch() > started)
            return false;
        dialog->cancel();
        return true;
    });
    QVERIFY2(run.faultInjected, "no progress refresh came after the wall clock stepped back");
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].text, kCancelledText);
    const qint64 kept = metaflacInfo(QDir(fx.session).filePath(kTrackNames[0] + ".flac")).totalSamples;
    QVERIFY2(kept > 0 && kept < qint64(kClockSourceSeconds) * kOutputRate, qPrintable(QString::number(kept)));
}

void ExportFaultsTest::tracksReachTheDiskFirst_data()
{
    // Syncs 1 to 3 are the tracks', 4 the parent folder's, 5 the metadata file's
    // before it has its name, 6 and 7 the session folder's before and after.
    QTest::addColumn<int>("failingSync");
    QTest::addColumn<QString>("failureText");
    QTest::newRow("every sync succeeds") << 0 << QString();
    QTest::newRow("a track's sync fails") << 2 << "Unable to write:\n    SnareL";
    QTest::newRow("the parent folder's sync fails") << 4 << kMetadataUnwritableText;
    QTest::newRow("the metadata file's sync fails") << 5 << kMetadataUnwritableText;
    QTest::newRow("the folder's sync before the naming fails") << 6 << kMetadataUnwritableText;
    QTest::newRow("the folder's sync after the naming fails") << 7 << kMetadataUnwritableText;
}

void ExportFaultsTest::tracksReachTheDiskFirst()
{
    QFETCH(int, failingSync);
    QFETCH(QString, failureText);
    if (!underShim()) {
        const QString log = m_root.filePath(QString("sync%1.log").arg(++m_fixtures));
        expectChildPasses(QString("tracksReachTheDiskFirst:") + QTest::currentDataTag(),
                          {{"NELVO_SHIM_SYNC_LOG", log}, {"NELVO_SHIM_SYNC_WITNESS", kMetadataFileName},
                           {"NELVO_SHIM_SYNC_FAIL_AT", QString::number(failingSync)}});
        return;
    }
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    const QString parent = QFileInfo(fx.parent).canonicalFilePath();
    // Every sync in the session's parent folder up to the box, as
    // "<metadata file there> <size> <path>".
    QStringList syncs;
    const auto readSyncs = [&] {
        QFile log(qEnvironmentVariable("NELVO_SHIM_SYNC_LOG"));
        if (log.open(QIODevice::ReadOnly))
            syncs = QString::fromLocal8Bit(log.readAll()).split('\n', Qt::SkipEmptyParts).filter(parent);
    };
    const ExportRun run = runExport(fx, {}, true, readSyncs);
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    const QString session = QFileInfo(fx.session).canonicalFilePath();
    if (failingSync > 0) {
        QCOMPARE(run.boxes[0].title, QString("Error"));
        QCOMPARE(run.boxes[0].text, failureText);
        QVERIFY(!run.result);
        QVERIFY2(syncs.size() >= failingSync, "the failing sync was never asked for");
        // A session folder with a metadata file is a finished one: none may be left, nor a part of one.
        QCOMPARE(sessionEntries(fx.session), trackFileNames());
        return;
    }
    QCOMPARE(run.boxes[0].title, QString("Information"));
    verifyCompleteSession(fx, run);
    const QString metadata = QDir(session).filePath(kMetadataFileName);
    QCOMPARE(sessionEntries(fx.session), QStringList{kMetadataFileName} + trackFileNames());
    QCOMPARE(syncs.size(), 7);
    // Each track whole on the disk while no metadata file existed.
    QStringList tracks;
    for (const QString &track : trackFiles(fx.session))
        tracks << QString("0 %1 %2").arg(QFileInfo(track).size()).arg(QFileInfo(track).canonicalFilePath());
    QCOMPARE(syncs.mid(0, 3), tracks);
    QCOMPARE(syncs[3], "0 - " + parent);
    // Then the metadata, whole, under another name; then the folder, before and after the naming.
    const QStringList part = syncs[4].split(' ');
    QCOMPARE(part.mid(0, 2), (QStringList{"0", QString::number(QFileInfo(metadata).size())}));
    QCOMPARE(QFileInfo(part[2]).path(), session);
    QVERIFY(part[2] != metadata);
    QCOMPARE(syncs.mid(5), (QStringList{"0 - " + session, "1 - " + session}));
}

void ExportFaultsTest::closedWhileStoring()
{
    if (!underShim()) {
        expectChildPasses("closedWhileStoring", {{"NELVO_SHIM_SYNC_DELAY_MS", QString::number(kSlowSyncMs)}});
        return;
    }
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    bool cancelEnabled = true;
    bool stillShown = false;
    bool shownAtBox = false;
    // The user tries every way out while the disk is slow: Cancel, Escape, the
    // dialog's close, Quit and the window's close.
    const ExportRun run = runExport(
        fx,
        [&](QProgressDialog *dialog) {
            if (dialog->labelText() != "Writing metadata")
                return false;
            auto *cancel = dialog->findChild<QPushButton *>();
            cancelEnabled = cancel && cancel->isEnabled();
            if (cancel)
                cancel->click();
            QTest::keyClick(dialog, Qt::Key_Escape);
            dialog->close();
            if (auto *quit = fx.window->findChild<QAction *>("action_Quit"))
                quit->trigger();
            fx.window->close();
            stillShown = fx.window->isVisible() && dialog->isVisible() && !dialog->wasCanceled();
            return true;
        },
        true, [&] { shownAtBox = fx.window->isVisible(); });
    QVERIFY2(run.faultInjected, "the stage handled no events while it waited for the disk");
    QVERIFY2(!cancelEnabled, "Cancel could be pressed in a stage that cannot be cancelled");
    QVERIFY2(stillShown, "the window or the progress dialog went away while the session was stored");
    QVERIFY2(shownAtBox, "the outcome came after the window had gone");
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QString("Information"));
    verifyCompleteSession(fx, run);
    QVERIFY(QFileInfo::exists(QDir(fx.session).filePath(kMetadataFileName)));
    // Once the user has read the outcome, the window closes as asked, and with it the program.
    QVERIFY2(!fx.window->isVisible(), "the close asked for while the session was stored was dropped");
}

void ExportFaultsTest::noThreadToStoreOn()
{
    if (!underShim()) {
        expectChildPasses("noThreadToStoreOn", {});
        return;
    }
    Fixture fx = makeFixture();
    QVERIFY(fx.list);
    bool refused = false;
    const ExportRun run = runExport(fx, [&](QProgressDialog *dialog) {
        if (dialog->labelText() != "Padding sound data")
            return false;
        qputenv("NELVO_SHIM_THREADS_REFUSED", "1");
        try {
            std::thread([] {}).join();
        } catch (const std::system_error &) {
            refused = true;
        }
        return true;
    });
    qunsetenv("NELVO_SHIM_THREADS_REFUSED");
    QVERIFY2(refused, "threads could still be started");
    QVERIFY2(run.problemsAtBox.isEmpty(), qPrintable(run.problemsAtBox.join('\n')));
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QString("Information"));
    verifyCompleteSession(fx, run);
    QCOMPARE(sessionEntries(fx.session), QStringList{kMetadataFileName} + trackFileNames());
}

void ExportFaultsTest::cleanupTestCase()
{
    qInfo("exports run: %d, faults injected: %d", m_exports, m_faults);
}

QTEST_MAIN(ExportFaultsTest)
#include "tst_exportfaults.moc"
