#include "app/sessionmakerwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QtEndian>
#include <QImageReader>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QResource>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QXmlStreamReader>

#include <memory>

namespace {

const QString kGreeting = QStringLiteral("Please drag audio files to this window");

// What a person sees in a menu or on a toolbar: separators as "-", other
// entries by their text.
QStringList entriesOf(const QList<QAction *> &actions, bool iconText)
{
    QStringList entries;
    for (const QAction *action : actions)
        entries << (action->isSeparator() ? QStringLiteral("-") : iconText ? action->iconText() : action->text());
    return entries;
}

QToolBar *onlyToolBar(const QMainWindow &window)
{
    const auto bars = window.findChildren<QToolBar *>();
    return bars.size() == 1 ? bars.first() : nullptr;
}

bool hasVisibleInk(const QImage &image)
{
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            opaque += qAlpha(image.pixel(x, y)) > 128;
    // Neither blank nor a solid square: some of the icon is drawn, some is not.
    return opaque > image.width() * image.height() / 10 && opaque < image.width() * image.height();
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstRun();
    void menus_data();
    void menus();
    void actions();
    void deleteShortcut_data();
    void deleteShortcut();
    void listSettings();
    void toolBar();
    void toolBarClick_data();
    void toolBarClick();
    void metaObject();
    void geometryRoundTrip();
    void quitClosesWindow();
    void resources_data();
    void resources();

private:
    QTemporaryDir m_settingsDir;
};

void MainWindowTest::initTestCase()
{
    TestSupport::setProgramIdentity();
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void MainWindowTest::init()
{
    QSettings settings;
    settings.clear();
    settings.sync();
}

void MainWindowTest::firstRun()
{
    SessionMakerWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Corlith Nelvo Rec.Session Maker"));
    QCOMPARE(window.size(), QSize(457, 321));
    QCOMPARE(window.statusBar()->currentMessage(), kGreeting);
    QVERIFY(window.acceptDrops());
    QVERIFY(!window.findChild<QToolBar *>(QStringLiteral("mainToolBar")));

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(457, 321));
    // Only the destructor stores the window's settings.
    QVERIFY(!QSettings().contains(QStringLiteral("geometry")));
    QVERIFY(!QSettings().contains(QStringLiteral("windowState")));
}

void MainWindowTest::menus_data()
{
    QTest::addColumn<QString>("menuName");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("file") << "menu_File" << "&File" << QStringList{"&Export...", "-", "&Quit"};
    QTest::newRow("waves") << "menuWaves" << "Waves" << QStringList{"&Delete"};
}

void MainWindowTest::menus()
{
    QFETCH(QString, menuName);
    QFETCH(QString, title);
    QFETCH(QStringList, entries);

    SessionMakerWindow window;
    auto *menu = window.findChild<QMenu *>(menuName);
    QVERIFY(menu);
    QCOMPARE(menu->title(), title);
    QCOMPARE(entriesOf(menu->actions(), false), entries);
    QCOMPARE(entriesOf(window.menuBar()->actions(), false), (QStringList{"&File", "Waves"}));
}

void MainWindowTest::actions()
{
    SessionMakerWindow window;
    auto *exportAction = window.findChild<QAction *>(QStringLiteral("action_Export_to_Nelvo_Rec_Session"));
    auto *quitAction = window.findChild<QAction *>(QStringLiteral("action_Quit"));
    auto *deleteAction = window.findChild<QAction *>(QStringLiteral("actionDelete"));
    QVERIFY(exportAction && quitAction && deleteAction);

    QCOMPARE(quitAction->menuRole(), QAction::QuitRole);
    QCOMPARE(deleteAction->shortcut(), QKeySequence(Qt::Key_Delete));
    QVERIFY(exportAction->shortcut().isEmpty());
    QVERIFY(quitAction->shortcut().isEmpty());

    // The window swaps the form's SVG icons for the PNG ones.
    const QSize probe(48, 48);
    QCOMPARE(exportAction->icon().pixmap(probe).toImage(),
             QIcon(QStringLiteral(":/res/export-arrow.png")).pixmap(probe).toImage());
    QCOMPARE(deleteAction->icon().pixmap(probe).toImage(),
             QIcon(QStringLiteral(":/res/delete-bin.png")).pixmap(probe).toImage());
    QVERIFY(exportAction->icon().pixmap(probe).toImage()
            != QIcon(QStringLiteral(":/res/export-arrow.svg")).pixmap(probe).toImage());
}

void MainWindowTest::deleteShortcut_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("remaining");

    QTest::newRow("delete") << int(Qt::Key_Delete) << 1;
    QTest::newRow("backspace") << int(Qt::Key_Backspace) << 3;
}

void MainWindowTest::deleteShortcut()
{
    QFETCH(int, key);
    QFETCH(int, remaining);

    SessionMakerWindow window;
    auto *list = window.findChild<QListWidget *>(QStringLiteral("waveList"));
    QVERIFY(list);
    for (const char *text : {"a", "b", "c"})
        new QListWidgetItem(QString::fromLatin1(text), list);
    list->item(0)->setSelected(true);
    list->item(2)->setSelected(true);

    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    list->setFocus();
    QTest::keyClick(list, Qt::Key(key));
    QCOMPARE(list->count(), remaining);
    if (remaining == 1)
        QCOMPARE(list->item(0)->text(), QStringLiteral("b"));
}

void MainWindowTest::listSettings()
{
    SessionMakerWindow window;
    auto *list = window.findChild<QListWidget *>(QStringLiteral("waveList"));
    QVERIFY(list);
    QCOMPARE(list->parentWidget(), window.centralWidget());
    QCOMPARE(list->dragDropMode(), QAbstractItemView::InternalMove);
    QCOMPARE(list->defaultDropAction(), Qt::MoveAction);
    QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    QVERIFY(list->alternatingRowColors());
    QVERIFY(list->uniformItemSizes());
    QCOMPARE(list->styleSheet(), QStringLiteral("QListWidget::item {\n    min-height:2em;\n}"));
    QVERIFY(!list->testAttribute(Qt::WA_MacShowFocusRect));
}

void MainWindowTest::toolBar()
{
    SessionMakerWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QToolBar *bar = onlyToolBar(window);
    QVERIFY(bar);
    QVERIFY(bar->isVisible());
    QVERIFY(!bar->objectName().isEmpty());
    QVERIFY(!bar->isFloatable());
    QVERIFY(!bar->isMovable());
    QCOMPARE(window.toolBarArea(bar), Qt::TopToolBarArea);
    QCOMPARE(entriesOf(bar->actions(), true), (QStringList{"Export", "-", "Delete"}));

    const QSize probe(24, 24);
    const QList<QAction *> barActions = bar->actions();
    QCOMPARE(barActions.at(0)->icon().pixmap(probe).toImage(),
             QIcon(QStringLiteral(":/res/export-arrow.png")).pixmap(probe).toImage());
    QCOMPARE(barActions.at(2)->icon().pixmap(probe).toImage(),
             QIcon(QStringLiteral(":/res/delete-bin.png")).pixmap(probe).toImage());

    auto *button = qobject_cast<QToolButton *>(bar->widgetForAction(barActions.at(2)));
    QVERIFY(button && button->isVisible());
    QVERIFY(button->toolButtonStyle() != Qt::ToolButtonIconOnly);
    QVERIFY(button->toolButtonStyle() != Qt::ToolButtonTextOnly);
    QVERIFY(bar->iconSize().height() >= 16 && bar->iconSize().height() <= 32);
}

void MainWindowTest::toolBarClick_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("actionName");

    QTest::newRow("export") << 0 << "action_Export_to_Nelvo_Rec_Session";
    QTest::newRow("delete") << 2 << "actionDelete";
}

void MainWindowTest::toolBarClick()
{
    QFETCH(int, position);
    QFETCH(QString, actionName);

    SessionMakerWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *action = window.findChild<QAction *>(actionName);
    QToolBar *bar = onlyToolBar(window);
    QVERIFY(action && bar);
    auto *button = qobject_cast<QToolButton *>(bar->widgetForAction(bar->actions().value(position)));
    QVERIFY(button);

    // Export opens its save dialog; leave it as a user who changed their mind.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer.start(20);

    QSignalSpy triggered(action, &QAction::triggered);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(triggered.count(), 1);
}

void MainWindowTest::metaObject()
{
    const QMetaObject &meta = SessionMakerWindow::staticMetaObject;
    QCOMPARE(meta.className(), "SessionMakerWindow");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 4);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());

    struct Expected
    {
        const char *signature;
        const char *returnType;
        QList<QByteArray> parameterNames;
        QMetaMethod::Access access;
    };
    const Expected expected[] = {
        {"postMessageBox(QString,QString)", "void", {"title", "msg"}, QMetaMethod::Public},
        {"writeSession(QString)", "bool", {"sessionDirName"}, QMetaMethod::Public},
        {"on_actionDelete_triggered()", "void", {}, QMetaMethod::Private},
        {"on_action_Export_to_Nelvo_Rec_Session_triggered()", "void", {}, QMetaMethod::Private},
    };
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.typeName(), expected[i].returnType);
        QCOMPARE(method.parameterNames(), expected[i].parameterNames);
        QCOMPARE(method.access(), expected[i].access);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
    }
}

void MainWindowTest::geometryRoundTrip()
{
    const QRect placed(60, 70, 620, 410);
    {
        SessionMakerWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.setGeometry(placed);
        QTRY_COMPARE(window.geometry(), placed);
    }
    QSettings settings;
    QVERIFY(!settings.value(QStringLiteral("geometry")).toByteArray().isEmpty());
    QVERIFY(!settings.value(QStringLiteral("windowState")).toByteArray().isEmpty());

    SessionMakerWindow again;
    QCOMPARE(again.size(), placed.size());
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.geometry(), placed);
    QVERIFY(onlyToolBar(again) && onlyToolBar(again)->isVisible());
    QCOMPARE(again.statusBar()->currentMessage(), kGreeting);
}

void MainWindowTest::quitClosesWindow()
{
    SessionMakerWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestSupport::EventCounter closes(QEvent::Close);
    window.installEventFilter(&closes);
    auto *quit = window.findChild<QAction *>(QStringLiteral("action_Quit"));
    QVERIFY(quit);
    quit->trigger();
    QVERIFY(!window.isVisible());
    QCOMPARE(closes.count, 1);
}

void MainWindowTest::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QString>("viewBox");

    QTest::newRow("wave.svg") << ":/res/wave.svg" << QByteArray("svg") << "0 0 32 32";
    QTest::newRow("export-arrow.svg") << ":/res/export-arrow.svg" << QByteArray("svg") << "0 0 16 16";
    QTest::newRow("delete-bin.svg") << ":/res/delete-bin.svg" << QByteArray("svg") << "0 0 16 16";
    QTest::newRow("wave.png") << ":/res/wave.png" << QByteArray("png") << QString();
    QTest::newRow("export-arrow.png") << ":/res/export-arrow.png" << QByteArray("png") << QString();
    QTest::newRow("delete-bin.png") << ":/res/delete-bin.png" << QByteArray("png") << QString();
}

void MainWindowTest::resources()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QString, viewBox);

    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    const QByteArray bytes = resource.uncompressedData();

    QImageReader reader(path);
    QCOMPARE(reader.format(), format);

    if (format == "png") {
        // IHDR: width, height, bit depth 8, colour type 6 (RGBA).
        QVERIFY(bytes.size() > 33);
        QVERIFY(bytes.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(bytes.mid(12, 4), QByteArray("IHDR"));
        const auto *header = reinterpret_cast<const uchar *>(bytes.constData()) + 16;
        QCOMPARE(qFromBigEndian<quint32>(header), 256u);
        QCOMPARE(qFromBigEndian<quint32>(header + 4), 256u);
        QCOMPARE(int(header[8]), 8);
        QCOMPARE(int(header[9]), 6);
    } else {
        QXmlStreamReader xml(bytes);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name().toString(), QStringLiteral("svg"));
        QCOMPARE(xml.attributes().value(QStringLiteral("viewBox")).toString(), viewBox);
    }

    for (const int side : {16, 24, 64}) {
        const QImage image = QIcon(path).pixmap(side, side).toImage();
        QCOMPARE(image.size(), QSize(side, side));
        QVERIFY2(hasVisibleInk(image), qPrintable(QStringLiteral("%1 at %2 px").arg(path).arg(side)));
    }
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
