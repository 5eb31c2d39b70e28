#include "app/sessionmakerwindow.h"

#include "app/iconfile.h"
#include "app/ui_sessionmakerwindow.h"
#include "decoder/ffstream.h"
#include "platform/nativetoolbar.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QListWidget>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolBar>
#include <QWindow>

namespace {

constexpr int kStateVersion = 0;

// The closest folder above path that exists, or nothing.
QString nearestExistingAncestor(const QString &path)
{
    if (path.isEmpty() || QDir::isRelativePath(path))
        return {};
    QString folder = QDir::cleanPath(path);
    for (;;) {
        const QString parent = QFileInfo(folder).path();
        if (parent == folder)
            return {};
        if (QFileInfo(parent).isDir())
            return parent;
        folder = parent;
    }
}

// A folder the save dialog can open in. Given one that is gone, the dialog
// would type its name into the name field, and Return would make a session
// folder of that name.
QString exportStartFolder(const QSettings &settings)
{
    const QStringList wanted{settings.value(QStringLiteral("lastFolder")).toString(),
                             QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)};
    for (const QString &folder : wanted) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return folder;
    }
    for (const QString &folder : wanted) {
        const QString ancestor = nearestExistingAncestor(folder);
        if (!ancestor.isEmpty())
            return ancestor;
    }
    return QDir::homePath();
}

} // namespace

SessionMakerWindow::SessionMakerWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_SessionMakerWindow)
{
    // The first drop must be able to open files at once.
    initFFmpeg();
    waveIcon.addFile(QStringLiteral(":/res/wave.svg"), QSize(), QIcon::Normal, QIcon::Off);

    ui->setupUi(this);

    ui->action_Export_to_Nelvo_Rec_Session->setIcon(iconFromFile(QStringLiteral(":/res/export-arrow.png")));
    ui->actionDelete->setIcon(iconFromFile(QStringLiteral(":/res/delete-bin.png")));
    ui->actionDelete->setShortcut(QKeySequence(tr("Delete"), QKeySequence::NativeText));

    setAcceptDrops(true);
    ui->waveList->setAttribute(Qt::WA_MacShowFocusRect, false);

    auto *toolBar = new NativeToolBar(this);
    const auto formActions = ui->mainToolBar->actions();
    for (QAction *action : formActions) {
        if (action->isSeparator()) {
            toolBar->addSeparator();
        } else {
            NativeToolBarItem *item = toolBar->addItem(action->icon(), action->iconText());
            connect(item, SIGNAL(activated()), action, SLOT(trigger()));
        }
    }
    delete ui->mainToolBar;
    ui->mainToolBar = nullptr;

    // attachToWindow needs the native window to exist already.
    window()->winId();
    toolBar->attachToWindow(window()->windowHandle());

    QSettings settings;
    restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
    restoreState(settings.value(QStringLiteral("windowState")).toByteArray(), kStateVersion);

    statusBar()->showMessage(tr("Please drag audio files to this window"), 0);
}

SessionMakerWindow::~SessionMakerWindow()
{
    QSettings settings;
    settings.setValue(QStringLiteral("geometry"), saveGeometry());
    settings.setValue(QStringLiteral("windowState"), saveState(kStateVersion));
    settings.sync();
    delete ui;
}

void SessionMakerWindow::on_actionDelete_triggered()
{
    qDeleteAll(ui->waveList->selectedItems());
}

void SessionMakerWindow::on_action_Export_to_Nelvo_Rec_Session_triggered()
{
    QSettings settings;
    const QString caption = tr("Target session name");
    const QString path = QFileDialog::getSaveFileName(this, caption, exportStartFolder(settings), QString());
    if (path.isEmpty())
        return;

    settings.setValue(QStringLiteral("lastFolder"), QFileInfo(path).dir().absolutePath());
    // Stored before the export starts, so the folder is remembered even if it fails.
    settings.sync();

    QMetaObject::invokeMethod(this, "writeSession", Qt::QueuedConnection, Q_ARG(QString, path));
}
