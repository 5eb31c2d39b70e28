#include "app/sessionmakerwindow.h"
#include "export/trackitemdata.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <memory>

using TestSupport::EventCounter;
using TestSupport::MessageBoxWatcher;
using TestSupport::waitFor;

namespace {

const QString kExportAction = QStringLiteral("action_Export_to_Nelvo_Rec_Session");
const QString kDeleteAction = QStringLiteral("actionDelete");

int destroyedItems = 0;

class CountedItem : public QListWidgetItem
{
public:
    using QListWidgetItem::QListWidgetItem;
    ~CountedItem() override { ++destroyedItems; }
};

// Answers the next save dialog as a user would: types the name of chosenPath
// in its folder and accepts, or cancels when chosenPath is empty. Records what
// the dialog showed; a dialog that does not close is cancelled and marked stuck.
class SaveDialogAnswer : public QObject
{
public:
    explicit SaveDialogAnswer(const QString &chosenPath) : m_chosenPath(chosenPath)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start(10);
    }

    bool shown = false;
    bool stuck = false;
    QString title;
    QString directory;
    QString name;
    QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptOpen;

private:
    void poll()
    {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (shown) {
            if (m_answeredAt.elapsed() > kPatienceMs) {
                stuck = true;
                dialog->reject();
            } else if (m_answeredAt.elapsed() > (m_answers + 1) * kRetryMs) {
                // A busy machine may still be reading the folder and reset the name.
                ++m_answers;
                answer(dialog);
            }
            return;
        }
        shown = true;
        m_answeredAt.start();
        title = dialog->windowTitle();
        directory = dialog->directory().absolutePath();
        if (auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            name = nameEdit->text();
        acceptMode = dialog->acceptMode();
        answer(dialog);
    }

    void answer(QFileDialog *dialog)
    {
        if (m_chosenPath.isEmpty()) {
            dialog->reject();
            return;
        }
        auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!nameEdit) {
            stuck = true;
            dialog->reject();
            return;
        }
        const QFileInfo chosen(m_chosenPath);
        dialog->setDirectory(chosen.absolutePath());
        nameEdit->setText(chosen.fileName());
        static_cast<QDialog *>(dialog)->accept();
    }

    static constexpr int kPatienceMs = 10000;
    static constexpr int kRetryMs = 1000;
    int m_answers = 0;
    QString m_chosenPath;
    QTimer m_timer;
    QElapsedTimer m_answeredAt;
};

QListWidget *waveListOf(SessionMakerWindow &window)
{
    return window.findChild<QListWidget *>(QStringLiteral("waveList"));
}

void addTrack(QListWidget *list, const QString &text, const QString &path, int channel)
{
    auto *item = new CountedItem(list);
    item->setData(Qt::DisplayRole, text);
    item->setData(Qt::UserRole, TrackItemData{text, path, QString::number(channel)});
}

QStringList textsOf(const QListWidget *list)
{
    QStringList texts;
    for (int row = 0; row < list->count(); ++row)
        texts << list->item(row)->text();
    return texts;
}

// Runs the command the way a user reaches it: its toolbar button or its menu entry.
bool runCommand(SessionMakerWindow &window, const QString &actionName, const QString &route)
{
    auto *action = window.findChild<QAction *>(actionName);
    if (!action)
        return false;
    if (route == QLatin1String("toolbar")) {
        auto *bar = window.findChild<QToolBar *>();
        if (!bar)
            return false;
        for (QAction *barAction : bar->actions()) {
            if (barAction->iconText() == action->iconText()) {
                QTest::mouseClick(bar->widgetForAction(barAction), Qt::LeftButton);
                return true;
            }
        }
        return false;
    }
    for (QMenu *menu : window.menuBar()->findChildren<QMenu *>()) {
        if (!menu->actions().contains(action))
            continue;
        menu->popup(window.mapToGlobal(QPoint(20, 20)));
        if (!QTest::qWaitForWindowExposed(menu))
            return false;
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        return true;
    }
    return false;
}

} // namespace

class CommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void deleteSelected_data();
    void deleteSelected();
    void exportStartsInAFolderThatExists_data();
    void exportStartsInAFolderThatExists();
    void cancelledExport();
    void chosenExport_data();
    void chosenExport();
    void sameEffectFromToolbarAndMenu_data();
    void sameEffectFromToolbarAndMenu();

private:
    QString lastFolder() const;
    void setDesktop(const QString &path);

    QTemporaryDir m_home;
    QString m_config;
    QString m_desktop;
};

void CommandsTest::initTestCase()
{
    TestSupport::setProgramIdentity();
    QVERIFY(m_home.isValid());

    // A desktop folder of our own, named the way the user's folders are found.
    m_config = m_home.filePath(QStringLiteral("config"));
    m_desktop = m_home.filePath(QStringLiteral("Schreibtisch"));
    QVERIFY(QDir().mkpath(m_config) && QDir().mkpath(m_desktop));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
    setDesktop(m_desktop);
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), m_desktop);

    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_config);
}

void CommandsTest::setDesktop(const QString &path)
{
    QFile dirs(m_config + QStringLiteral("/user-dirs.dirs"));
    QVERIFY(dirs.open(QIODevice::WriteOnly | QIODevice::Truncate));
    dirs.write(QStringLiteral("XDG_DESKTOP_DIR=\"%1\"\n").arg(path).toUtf8());
}

void CommandsTest::init()
{
    setDesktop(m_desktop);
    QSettings settings;
    settings.clear();
    settings.sync();
    destroyedItems = 0;
}

QString CommandsTest::lastFolder() const
{
    // Read the file itself: the command must have synchronised it to disk.
    QSettings stored(QSettings().fileName(), QSettings::IniFormat);
    return stored.value(QStringLiteral("lastFolder")).toString();
}

void CommandsTest::deleteSelected_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("selectedRows");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("none selected") << 3 << QList<int>{} << QStringList{"t0", "t1", "t2"};
    QTest::newRow("one") << 3 << QList<int>{1} << QStringList{"t0", "t2"};
    QTest::newRow("non-contiguous") << 6 << QList<int>{0, 2, 5} << QStringList{"t1", "t3", "t4"};
    QTest::newRow("all") << 4 << QList<int>{0, 1, 2, 3} << QStringList{};
    QTest::newRow("empty list") << 0 << QList<int>{} << QStringList{};
}

void CommandsTest::deleteSelected()
{
    QFETCH(int, count);
    QFETCH(QList<int>, selectedRows);
    QFETCH(QStringList, remaining);

    SessionMakerWindow window;
    QListWidget *list = waveListOf(window);
    QVERIFY(list);
    for (int i = 0; i < count; ++i)
        addTrack(list, QStringLiteral("t%1").arg(i), QStringLiteral("/music/t%1.wav").arg(i), 0);
    for (int row : selectedRows)
        list->item(row)->setSelected(true);
    const QString statusBefore = window.statusBar()->currentMessage();

    window.findChild<QAction *>(kDeleteAction)->trigger();

    QCOMPARE(textsOf(list), remaining);
    QCOMPARE(destroyedItems, selectedRows.size());
    for (int row = 0; row < list->count(); ++row) {
        const TrackItemData data = list->item(row)->data(Qt::UserRole).toStringList();
        QCOMPARE(data.value(TrackItemName), remaining.at(row));
        QCOMPARE(data.value(TrackItemPath), QStringLiteral("/music/%1.wav").arg(remaining.at(row)));
    }
    QCOMPARE(window.statusBar()->currentMessage(), statusBefore);
    QVERIFY(!QApplication::activeModalWidget());
}

void CommandsTest::exportStartsInAFolderThatExists_data()
{
    // Paths within the test's home; "" for no stored folder.
    QTest::addColumn<QString>("storedFolder");
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first export") << "" << "Schreibtisch" << "Schreibtisch";
    QTest::newRow("no desktop folder") << "" << "gone/Desktop" << "";
    QTest::newRow("last folder removed") << "old/sessions" << "Schreibtisch" << "Schreibtisch";
    QTest::newRow("last folder removed, no desktop") << "old/sessions" << "gone/Desktop" << "old";
}

// Given a folder that is gone, the dialog would type its name into the name
// field, and Return would make a session folder of it.
void CommandsTest::exportStartsInAFolderThatExists()
{
    QFETCH(QString, storedFolder);
    QFETCH(QString, desktop);
    QFETCH(QString, expected);
    QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral("old")));
    setDesktop(m_home.filePath(desktop));
    if (!storedFolder.isEmpty())
        QSettings().setValue(QStringLiteral("lastFolder"), m_home.filePath(storedFolder));

    SessionMakerWindow window;
    // The Export command's call of writeSession arrives as a queued call.
    EventCounter calls(QEvent::MetaCall);
    window.installEventFilter(&calls);
    SaveDialogAnswer answer{QString()};

    window.findChild<QAction *>(kExportAction)->trigger();

    QVERIFY(answer.shown);
    QVERIFY(!answer.stuck);
    QCOMPARE(answer.title, QStringLiteral("Target session name"));
    QCOMPARE(answer.acceptMode, QFileDialog::AcceptSave);
    QCOMPARE(answer.directory, QDir::cleanPath(m_home.filePath(expected)));
    QCOMPARE(answer.name, QString());
    QTest::qWait(50);
    QCOMPARE(calls.count, 0);
    QCOMPARE(QSettings().value(QStringLiteral("lastFolder")).toString(),
             storedFolder.isEmpty() ? QString() : m_home.filePath(storedFolder));
}

void CommandsTest::cancelledExport()
{
    QTemporaryDir earlier;
    QVERIFY(earlier.isValid());
    {
        QSettings settings;
        settings.setValue(QStringLiteral("lastFolder"), earlier.path());
    }

    SessionMakerWindow window;
    addTrack(waveListOf(window), QStringLiteral("a"), earlier.filePath(QStringLiteral("a.wav")), 0);
    EventCounter calls(QEvent::MetaCall);
    window.installEventFilter(&calls);
    MessageBoxWatcher boxes;
    SaveDialogAnswer answer{QString()};

    window.findChild<QAction *>(kExportAction)->trigger();

    QVERIFY(answer.shown);
    QVERIFY(!answer.stuck);
    QCOMPARE(answer.directory, earlier.path());
    QTest::qWait(100);
    QCOMPARE(calls.count, 0);
    QVERIFY(boxes.boxes.isEmpty());
    QCOMPARE(lastFolder(), earlier.path());
    QVERIFY(QDir(earlier.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void CommandsTest::chosenExport_data()
{
    QTest::addColumn<bool>("withTrack");
    QTest::newRow("one track") << true;
    QTest::newRow("empty list") << false;
}

void CommandsTest::chosenExport()
{
    QFETCH(bool, withTrack);

    QTemporaryDir target;
    QVERIFY(target.isValid());
    const QString folder = target.filePath(QStringLiteral("sessions"));
    QVERIFY(QDir().mkpath(folder));
    const QString chosen = folder + QStringLiteral("/Gig 2024");

    SessionMakerWindow window;
    if (withTrack) {
        const QString source = target.filePath(QStringLiteral("kick.wav"));
        QVERIFY(TestSupport::makeSine(source, 48000, 1, 0.25));
        addTrack(waveListOf(window), QStringLiteral("kick"), source, 0);
    }
    EventCounter calls(QEvent::MetaCall);
    window.installEventFilter(&calls);
    MessageBoxWatcher boxes;
    auto answer = std::make_unique<SaveDialogAnswer>(chosen);

    window.findChild<QAction *>(kExportAction)->trigger();

    QVERIFY(answer->shown);
    QVERIFY(!answer->stuck);
    QCOMPARE(answer->directory, m_desktop);
    QCOMPARE(lastFolder(), folder);
    // The export is queued: it has not run by the time the command returns.
    QCOMPARE(calls.count, 0);
    QVERIFY(waitFor([&] { return calls.count == 1; }));
    QCOMPARE(lastFolder(), folder);

    // The queued call has run the export to its end, box included.
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes.first().title, QStringLiteral("Information"));
    QVERIFY(QFileInfo(chosen + QStringLiteral("/.nelvorecsession")).isFile());
    QCOMPARE(QFileInfo(chosen + QStringLiteral("/kick.flac")).isFile(), withTrack);

    answer = std::make_unique<SaveDialogAnswer>(QString());
    window.findChild<QAction *>(kExportAction)->trigger();
    QVERIFY(answer->shown);
    QVERIFY(!answer->stuck);
    QCOMPARE(answer->directory, folder);
    QCOMPARE(lastFolder(), folder);
}

void CommandsTest::sameEffectFromToolbarAndMenu_data()
{
    QTest::addColumn<QString>("route");
    QTest::newRow("toolbar") << "toolbar";
    QTest::newRow("menu") << "menu";
}

void CommandsTest::sameEffectFromToolbarAndMenu()
{
    QFETCH(QString, route);

    QTemporaryDir target;
    QVERIFY(target.isValid());
    SessionMakerWindow window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QListWidget *list = waveListOf(window);
    for (int i = 0; i < 4; ++i)
        addTrack(list, QStringLiteral("t%1").arg(i), QStringLiteral("/music/t%1.wav").arg(i), 0);
    list->item(1)->setSelected(true);
    list->item(3)->setSelected(true);

    QVERIFY(runCommand(window, kDeleteAction, route));
    QTRY_COMPARE(textsOf(list), (QStringList{"t0", "t2"}));
    QCOMPARE(destroyedItems, 2);

    EventCounter calls(QEvent::MetaCall);
    window.installEventFilter(&calls);
    MessageBoxWatcher boxes;
    const QString chosen = target.filePath(QStringLiteral("take"));
    SaveDialogAnswer answer(chosen);
    QVERIFY(runCommand(window, kExportAction, route));
    QVERIFY(waitFor([&] { return answer.shown; }));
    QVERIFY(!answer.stuck);
    QCOMPARE(answer.title, QStringLiteral("Target session name"));
    QVERIFY(waitFor([&] { return calls.count == 1; }));
    QCOMPARE(lastFolder(), target.path());
}

QTEST_MAIN(CommandsTest)
#include "tst_commands.moc"
