#include "app/sessionmakerwindow.h"
#include "export/sessionformat.h"
#include "export/trackitemdata.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QListWidget>
#include <QMimeData>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <memory>

using TestSupport::DropResult;
using TestSupport::MessageBoxWatcher;

namespace {

struct Item
{
    QString text;
    TrackItemData data;
};

// Drags urls from another program onto window at pos (window coordinates) and
// lets go, with the events the platform layer sends to the native window: the
// enter, a move carrying the enter's answer, and the drop only if the move was
// accepted. Qt then finds the widget under pos and passes the events on.
DropResult platformDrop(QWidget *window, const QPoint &pos, const QList<QUrl> &urls)
{
    constexpr Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QMimeData mime;
    mime.setUrls(urls);
    QWindow *native = window->windowHandle();
    DropResult result;

    QDragEnterEvent enter(pos, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(native, &enter);
    result.enterAccepted = enter.isAccepted() && enter.dropAction() != Qt::IgnoreAction;
    result.enterAction = enter.dropAction();

    QDragMoveEvent move(pos, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    if (result.enterAccepted) {
        move.setDropAction(enter.dropAction());
        move.accept();
    }
    QApplication::sendEvent(native, &move);
    if (!move.isAccepted()) {
        QDragLeaveEvent leave;
        QApplication::sendEvent(native, &leave);
        return result;
    }

    QDropEvent drop(pos, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(native, &drop);
    result.dropDelivered = true;
    result.dropAccepted = drop.isAccepted();
    result.dropAction = drop.dropAction();
    return result;
}

} // namespace

class TestIntake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dragEnter_data();
    void dragEnter();
    void naturalOrder_data();
    void naturalOrder();
    void channelLabels_data();
    void channelLabels();
    void skippedSilently_data();
    void skippedSilently();
    void dropOverTheList_data();
    void dropOverTheList();
    void limitTakesFirstChannelsOnly();
    void limitKeepsEarlierAcceptance();
    void limitCountsRemainingItems();
    void limitSuppressesUnreadableReport();
    void unreadableOnlyAtLimitIsReported();
    void unreadableReportedOnceInOrder();
    void everyFileUnreadable();
    void sameFileTwice();
    void pathKeptAsDropped_data();
    void pathKeptAsDropped();

private:
    QString sine(const QString &name, int channels, const QStringList &extra = {});
    QString garbage(const QString &name);
    DropResult drop(const QList<QUrl> &urls);
    DropResult dropFiles(const QStringList &paths);
    QVector<Item> items() const;
    void fillTo(int count);
    void expectBoxes(int count);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SessionMakerWindow> m_window;
    std::unique_ptr<MessageBoxWatcher> m_watcher;
    QListWidget *m_list = nullptr;
    QVector<QWidget *> m_boxParents;
};

QString TestIntake::sine(const QString &name, int channels, const QStringList &extra)
{
    const QString path = m_dir->filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    if (!TestSupport::makeSine(path, 44100, channels, 0.1, 440.0, extra))
        qFatal("ffmpeg could not make %s", qPrintable(path));
    return path;
}

QString TestIntake::garbage(const QString &name)
{
    const QString path = m_dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(4096, '\x5a')) != 4096)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// The drop proposes no action, so that accepting it without choosing copy shows.
DropResult TestIntake::drop(const QList<QUrl> &urls)
{
    return TestSupport::dropUrls(m_window.get(), urls, Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, true);
}

DropResult TestIntake::dropFiles(const QStringList &paths)
{
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    return drop(urls);
}

QVector<Item> TestIntake::items() const
{
    QVector<Item> result;
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        result.append({item->data(Qt::DisplayRole).toString(), item->data(Qt::UserRole).toStringList()});
    }
    return result;
}

// Real files only: six-channel drops, then mono ones for the remainder.
void TestIntake::fillTo(int count)
{
    const QString six = sine("fill/six.wav", 6);
    const QString mono = sine("fill/mono.wav", 1);
    while (m_list->count() + 6 <= count)
        QVERIFY(dropFiles({six}).dropAccepted);
    while (m_list->count() < count)
        QVERIFY(dropFiles({mono}).dropAccepted);
    QCOMPARE(m_list->count(), count);
    expectBoxes(0);
}

// The message must be queued: no box may have been shown inside the handler,
// and one drop never shows more than one.
void TestIntake::expectBoxes(int count)
{
    QVERIFY2(m_watcher->boxes.isEmpty(), "a message box opened inside the drop handler");
    if (count > 0)
        QVERIFY(TestSupport::waitFor([&] { return m_watcher->boxes.size() >= count; }, 5000));
    QTest::qWait(150);
    QCOMPARE(m_watcher->boxes.size(), count);
    for (QWidget *parent : qAsConst(m_boxParents))
        QCOMPARE(parent, static_cast<QWidget *>(m_window.get()));
    for (const TestSupport::ShownBox &box : qAsConst(m_watcher->boxes)) {
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QStringLiteral("Warning"));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
}

void TestIntake::initTestCase()
{
    if (!TestSupport::haveTool("ffmpeg"))
        QSKIP("the ffmpeg command is needed to make the dropped files");
}

void TestIntake::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_window = std::make_unique<SessionMakerWindow>();
    m_window->show();
    m_list = m_window->findChild<QListWidget *>("waveList");
    QVERIFY(m_list);
    QCOMPARE(m_list->count(), 0);
    m_boxParents.clear();
    m_watcher = std::make_unique<MessageBoxWatcher>();
    m_watcher->onShown = [this](QMessageBox *box) { m_boxParents.append(box->parentWidget()); };
}

void TestIntake::cleanup()
{
    m_watcher.reset();
    m_window.reset();
    m_dir.reset();
}

void TestIntake::dragEnter_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("textOnly");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("no urls") << QList<QUrl>{} << true << false;
    QTest::newRow("remote only") << QList<QUrl>{QUrl("https://example.org/a.wav"), QUrl("ftp://example.org/b.wav")}
                                 << false << false;
    QTest::newRow("local file") << QList<QUrl>{QUrl::fromLocalFile("/no/such/file.wav")} << false << true;
    QTest::newRow("local folder") << QList<QUrl>{QUrl::fromLocalFile(QDir::tempPath())} << false << true;
    QTest::newRow("remote then local")
        << QList<QUrl>{QUrl("https://example.org/a.wav"), QUrl::fromLocalFile("/tmp/x.wav")} << false << true;
}

void TestIntake::dragEnter()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, textOnly);
    QFETCH(bool, accepted);

    QMimeData mime;
    if (textOnly)
        mime.setText("/tmp/a.wav");
    else
        mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.setDropAction(Qt::MoveAction);
    QApplication::sendEvent(m_window.get(), &enter);

    QCOMPARE(enter.isAccepted(), accepted);
    QCOMPARE(enter.dropAction(), accepted ? Qt::CopyAction : Qt::MoveAction);
    QCOMPARE(m_list->count(), 0);
    expectBoxes(0);
}

void TestIntake::naturalOrder_data()
{
    QTest::addColumn<QStringList>("dropOrder");
    QTest::newRow("ascending") << QStringList{"take 1.wav", "take 2.wav", "take 10.wav"};
    QTest::newRow("lexical") << QStringList{"take 1.wav", "take 10.wav", "take 2.wav"};
    QTest::newRow("descending") << QStringList{"take 10.wav", "take 2.wav", "take 1.wav"};
}

void TestIntake::naturalOrder()
{
    QFETCH(QStringList, dropOrder);
    const QString pre = sine("before.wav", 1);
    QVERIFY(dropFiles({pre}).dropAccepted);

    QStringList paths;
    for (const QString &name : dropOrder)
        paths.append(sine(name, 1));
    const DropResult result = dropFiles(paths);
    QVERIFY(result.dropAccepted);

    const QVector<Item> list = items();
    QCOMPARE(list.size(), 4);
    QCOMPARE(list[0].text, QStringLiteral("Before"));
    QCOMPARE(list[1].data, (TrackItemData{"Take 1", m_dir->filePath("take 1.wav"), "0"}));
    QCOMPARE(list[2].data, (TrackItemData{"Take 2", m_dir->filePath("take 2.wav"), "0"}));
    QCOMPARE(list[3].data, (TrackItemData{"Take 10", m_dir->filePath("take 10.wav"), "0"}));
    expectBoxes(0);
}

void TestIntake::channelLabels_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("mono") << "drums.wav" << 1 << QStringList{} << QStringList{"Drums"};
    QTest::newRow("stereo") << "drums.wav" << 2 << QStringList{} << QStringList{"Drums L", "Drums R"};
    QTest::newRow("six channels") << "band_room.wav" << 6 << QStringList{}
                                  << QStringList{"Band room CH 1", "Band room CH 2", "Band room CH 3",
                                                 "Band room CH 4", "Band room CH 5", "Band room CH 6"};
    QTest::newRow("empty name mono") << "_.wav" << 1 << QStringList{} << QStringList{""};
    QTest::newRow("empty name stereo") << "_.wav" << 2 << QStringList{} << QStringList{" L", " R"};
    QTest::newRow("tagged stereo") << "x.flac" << 2
                                   << QStringList{"-metadata", "artist=The Band", "-metadata", "title=Song"}
                                   << QStringList{"The Band - Song L", "The Band - Song R"};
}

void TestIntake::channelLabels()
{
    QFETCH(QString, fileName);
    QFETCH(int, channels);
    QFETCH(QStringList, extra);
    QFETCH(QStringList, texts);

    const QString path = sine(fileName, channels, extra);
    const DropResult result = dropFiles({path});
    QVERIFY(result.dropAccepted);
    QCOMPARE(result.dropAction, Qt::CopyAction);

    QCOMPARE(m_list->count(), texts.size());
    for (int c = 0; c < texts.size(); ++c) {
        QListWidgetItem *item = m_list->item(c);
        QCOMPARE(item->type(), int(QListWidgetItem::Type));
        QCOMPARE(item->text(), texts[c]);
        QCOMPARE(item->data(Qt::UserRole).toStringList(), (TrackItemData{texts[c], path, QString::number(c)}));
        QVERIFY(!item->icon().isNull());
        QCOMPARE(item->icon().cacheKey(), m_list->item(0)->icon().cacheKey());
        QVERIFY(!(item->flags() & Qt::ItemIsEditable));
        QVERIFY(item->flags() & Qt::ItemIsSelectable);
    }
    expectBoxes(0);
}

void TestIntake::skippedSilently_data()
{
    QTest::addColumn<bool>("withAudio");
    QTest::newRow("folders, remote and missing only") << false;
    QTest::newRow("mixed with one audio file") << true;
}

void TestIntake::skippedSilently()
{
    QFETCH(bool, withAudio);
    const QString folder = m_dir->filePath("folder");
    QVERIFY(QDir().mkpath(folder));
    sine("folder/inside.wav", 1);

    QList<QUrl> urls{QUrl("https://example.org/remote.wav"), QUrl::fromLocalFile(folder),
                     QUrl::fromLocalFile(m_dir->filePath("missing.wav"))};
    QString audio;
    if (withAudio) {
        audio = sine("song.wav", 1);
        urls.insert(1, QUrl::fromLocalFile(audio));
    }
    const DropResult result = drop(urls);

    QVERIFY(result.enterAccepted);
    QCOMPARE(result.dropAccepted, withAudio);
    if (withAudio) {
        QCOMPARE(m_list->count(), 1);
        QCOMPARE(items()[0].data, (TrackItemData{"Song", audio, "0"}));
    } else {
        QCOMPARE(m_list->count(), 0);
    }
    expectBoxes(0);
}

void TestIntake::limitTakesFirstChannelsOnly()
{
    fillTo(kTrackLimit - 1);
    const QString stereo = sine("last.wav", 2);
    const DropResult result = dropFiles({stereo});

    QVERIFY(!result.dropAccepted);
    QCOMPARE(m_list->count(), kTrackLimit);
    QCOMPARE(items().last().data, (TrackItemData{"Last L", stereo, "0"}));
    expectBoxes(1);
    QCOMPARE(m_watcher->boxes[0].text, QStringLiteral("Cannot add more than 22 tracks"));
}

// The list takes only moves of its own items; files dragged over it must
// still reach the window, which is where a user lets go of them.
void TestIntake::dropOverTheList_data()
{
    QTest::addColumn<bool>("local");
    QTest::newRow("local file") << true;
    QTest::newRow("remote only") << false;
}

void TestIntake::dropOverTheList()
{
    QFETCH(bool, local);
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    const QString path = sine("over list.wav", 2);
    const QUrl url = local ? QUrl::fromLocalFile(path) : QUrl(QStringLiteral("https://example.org/over.wav"));
    QWidget *viewport = m_list->viewport();
    const QPoint pos = viewport->mapTo(m_window.get(), viewport->rect().center());
    QCOMPARE(m_window->childAt(pos), viewport);

    const DropResult result = platformDrop(m_window.get(), pos, {url});

    QCOMPARE(result.enterAccepted, local);
    QCOMPARE(result.dropDelivered, local);
    QCOMPARE(result.dropAccepted, local);
    if (local) {
        QCOMPARE(result.dropAction, Qt::CopyAction);
        QCOMPARE(m_list->count(), 2);
        QCOMPARE(items()[0].data, (TrackItemData{"Over list L", path, "0"}));
        QCOMPARE(items()[1].data, (TrackItemData{"Over list R", path, "1"}));
    } else {
        QCOMPARE(m_list->count(), 0);
    }
    expectBoxes(0);
}

// A file completed earlier in the same drop keeps the drop accepted when the
// limit ends it in the middle of the next file.
void TestIntake::limitKeepsEarlierAcceptance()
{
    fillTo(kTrackLimit - 2);
    const QString mono = sine("a.wav", 1);
    const QString stereo = sine("b.wav", 2);
    const DropResult result = dropFiles({stereo, mono});

    QVERIFY(result.dropAccepted);
    QCOMPARE(result.dropAction, Qt::CopyAction);
    QCOMPARE(m_list->count(), kTrackLimit);
    QCOMPARE(items()[kTrackLimit - 2].data, (TrackItemData{"A", mono, "0"}));
    QCOMPARE(items()[kTrackLimit - 1].data, (TrackItemData{"B L", stereo, "0"}));
    expectBoxes(1);
    QCOMPARE(m_watcher->boxes[0].text, QStringLiteral("Cannot add more than 22 tracks"));
}

void TestIntake::limitCountsRemainingItems()
{
    fillTo(kTrackLimit);
    m_list->item(0)->setSelected(true);
    m_list->item(kTrackLimit - 1)->setSelected(true);
    auto *deleteAction = m_window->findChild<QAction *>(QStringLiteral("actionDelete"));
    QVERIFY(deleteAction);
    deleteAction->trigger();
    QCOMPARE(m_list->count(), kTrackLimit - 2);

    const QString stereo = sine("again.wav", 2);
    const DropResult result = dropFiles({stereo});

    QVERIFY(result.dropAccepted);
    QCOMPARE(m_list->count(), kTrackLimit);
    QCOMPARE(items().last().data, (TrackItemData{"Again R", stereo, "1"}));
    expectBoxes(0);
}

void TestIntake::limitSuppressesUnreadableReport()
{
    fillTo(kTrackLimit);
    garbage("a1.wav");
    garbage("a2.wav");
    const QString readable = sine("b.wav", 1);
    const DropResult result = dropFiles({readable, m_dir->filePath("a2.wav"), m_dir->filePath("a1.wav")});

    QVERIFY(!result.dropAccepted);
    QCOMPARE(m_list->count(), kTrackLimit);
    expectBoxes(1);
    QCOMPARE(m_watcher->boxes[0].text, QStringLiteral("Cannot add more than 22 tracks"));
}

void TestIntake::unreadableOnlyAtLimitIsReported()
{
    fillTo(kTrackLimit);
    const QString bad = garbage("bad.wav");
    const DropResult result = dropFiles({bad});

    QVERIFY(!result.dropAccepted);
    QCOMPARE(m_list->count(), kTrackLimit);
    expectBoxes(1);
    QCOMPARE(m_watcher->boxes[0].text, "Cannot read media:\n" + QDir::toNativeSeparators(bad));
}

void TestIntake::unreadableReportedOnceInOrder()
{
    const QString bad10 = garbage("bad 10.wav");
    const QString bad9 = garbage("bad 9.wav");
    const QString good = sine("good.wav", 2);
    const DropResult result = dropFiles({bad10, good, bad9});

    QVERIFY(result.dropAccepted);
    QCOMPARE(result.dropAction, Qt::CopyAction);
    QCOMPARE(m_list->count(), 2);
    QCOMPARE(items()[1].data, (TrackItemData{"Good R", good, "1"}));
    expectBoxes(1);
    QCOMPARE(m_watcher->boxes[0].text,
             "Cannot read media:\n" + QDir::toNativeSeparators(bad9) + "\n" + QDir::toNativeSeparators(bad10));
}

void TestIntake::everyFileUnreadable()
{
    const QString empty = m_dir->filePath("empty.wav");
    QFile file(empty);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString bad = garbage("noise.mp3");
    const DropResult result = dropFiles({bad, empty});

    QVERIFY(result.dropDelivered);
    QVERIFY(!result.dropAccepted);
    QCOMPARE(m_list->count(), 0);
    expectBoxes(1);
    QCOMPARE(m_watcher->boxes[0].text,
             "Cannot read media:\n" + QDir::toNativeSeparators(empty) + "\n" + QDir::toNativeSeparators(bad));
}

void TestIntake::sameFileTwice()
{
    const QString path = sine("twice.wav", 2);
    QVERIFY(dropFiles({path}).dropAccepted);
    QVERIFY(dropFiles({path}).dropAccepted);

    const QVector<Item> list = items();
    QCOMPARE(list.size(), 4);
    QCOMPARE(list[0].data, (TrackItemData{"Twice L", path, "0"}));
    QCOMPARE(list[1].data, (TrackItemData{"Twice R", path, "1"}));
    QCOMPARE(list[2].data, list[0].data);
    QCOMPARE(list[3].data, list[1].data);
    expectBoxes(0);
}

void TestIntake::pathKeptAsDropped_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("dot segments") << "dots";
    QTest::newRow("symbolic link") << "link";
}

void TestIntake::pathKeptAsDropped()
{
    QFETCH(QString, kind);
    const QString target = sine("real/source.wav", 1);
    QString dropped;
    if (kind == "dots") {
        QVERIFY(QDir().mkpath(m_dir->filePath("other")));
        dropped = m_dir->path() + "/other/../real//source.wav";
    } else {
        dropped = m_dir->filePath("alias.wav");
        QVERIFY(QFile::link(target, dropped));
    }
    const QUrl url = QUrl::fromLocalFile(dropped);
    QVERIFY(dropFiles({dropped}).dropAccepted);

    QCOMPARE(m_list->count(), 1);
    const TrackItemData data = items()[0].data;
    QCOMPARE(data.size(), 3);
    QCOMPARE(data[TrackItemPath], url.toLocalFile());
    QVERIFY(data[TrackItemPath] != QFileInfo(target).canonicalFilePath());
    expectBoxes(0);
}

QTEST_MAIN(TestIntake)
#include "tst_intake.moc"
