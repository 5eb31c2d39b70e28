#include "app/ui_sessionmakerwindow.h"

#include "app/iconfile.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QKeySequence>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWidget>

namespace {

constexpr int kInitialWidth = 457;
constexpr int kInitialHeight = 321;
constexpr int kMenuBarHeight = 23;
constexpr int kLayoutSpacing = 6;
constexpr int kDesignerMargin = 11;

} // namespace

void Ui_SessionMakerWindow::setupUi(QMainWindow *SessionMakerWindow)
{
    if (SessionMakerWindow->objectName().isEmpty())
        SessionMakerWindow->setObjectName(QString::fromUtf8("SessionMakerWindow"));
    SessionMakerWindow->resize(kInitialWidth, kInitialHeight);
    SessionMakerWindow->setUnifiedTitleAndToolBarOnMac(false);

    action_Export_to_Nelvo_Rec_Session = new QAction(SessionMakerWindow);
    action_Export_to_Nelvo_Rec_Session->setObjectName(
        QString::fromUtf8("action_Export_to_Nelvo_Rec_Session"));
    action_Export_to_Nelvo_Rec_Session->setIcon(iconFromFile(QString::fromUtf8(":/res/export-arrow.svg")));

    action_Quit = new QAction(SessionMakerWindow);
    action_Quit->setObjectName(QString::fromUtf8("action_Quit"));
    action_Quit->setMenuRole(QAction::QuitRole);

    actionDelete = new QAction(SessionMakerWindow);
    actionDelete->setObjectName(QString::fromUtf8("actionDelete"));
    actionDelete->setIcon(iconFromFile(QString::fromUtf8(":/res/delete-bin.svg")));

    centralWidget = new QWidget(SessionMakerWindow);
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));

    verticalLayout = new QVBoxLayout(centralWidget);
    verticalLayout->setSpacing(kLayoutSpacing);
    verticalLayout->setContentsMargins(kDesignerMargin, kDesignerMargin, kDesignerMargin, kDesignerMargin);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));
    verticalLayout->setContentsMargins(0, 0, 0, 0);

    waveList = new QListWidget(centralWidget);
    waveList->setObjectName(QString::fromUtf8("waveList"));
    waveList->setStyleSheet(QString::fromUtf8("QListWidget::item {\n    min-height:2em;\n}"));
    waveList->setDragDropMode(QAbstractItemView::InternalMove);
    waveList->setDefaultDropAction(Qt::MoveAction);
    waveList->setAlternatingRowColors(true);
    waveList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    waveList->setUniformItemSizes(true);

    verticalLayout->addWidget(waveList);

    SessionMakerWindow->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(SessionMakerWindow);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    menuBar->setGeometry(QRect(0, 0, kInitialWidth, kMenuBarHeight));
    menu_File = new QMenu(menuBar);
    menu_File->setObjectName(QString::fromUtf8("menu_File"));
    menuWaves = new QMenu(menuBar);
    menuWaves->setObjectName(QString::fromUtf8("menuWaves"));
    SessionMakerWindow->setMenuBar(menuBar);

    mainToolBar = new QToolBar(SessionMakerWindow);
    mainToolBar->setObjectName(QString::fromUtf8("mainToolBar"));
    mainToolBar->setFloatable(false);
    SessionMakerWindow->addToolBar(Qt::TopToolBarArea, mainToolBar);

    statusBar = new QStatusBar(SessionMakerWindow);
    statusBar->setObjectName(QString::fromUtf8("statusBar"));
    SessionMakerWindow->setStatusBar(statusBar);

    menuBar->addAction(menu_File->menuAction());
    menuBar->addAction(menuWaves->menuAction());
    menu_File->addAction(action_Export_to_Nelvo_Rec_Session);
    menu_File->addSeparator();
    menu_File->addAction(action_Quit);
    menuWaves->addAction(actionDelete);
    mainToolBar->addAction(action_Export_to_Nelvo_Rec_Session);
    mainToolBar->addSeparator();
    mainToolBar->addAction(actionDelete);

    retranslateUi(SessionMakerWindow);
    QObject::connect(action_Quit, SIGNAL(triggered()), SessionMakerWindow, SLOT(close()));

    QMetaObject::connectSlotsByName(SessionMakerWindow);
}

void Ui_SessionMakerWindow::retranslateUi(QMainWindow *SessionMakerWindow)
{
    SessionMakerWindow->setWindowTitle(
        QCoreApplication::translate("SessionMakerWindow", "Corlith Nelvo Rec.Session Maker", nullptr));
    action_Export_to_Nelvo_Rec_Session->setText(
        QCoreApplication::translate("SessionMakerWindow", "&Export...", nullptr));
    action_Quit->setText(QCoreApplication::translate("SessionMakerWindow", "&Quit", nullptr));
    actionDelete->setText(QCoreApplication::translate("SessionMakerWindow", "&Delete", nullptr));
    actionDelete->setShortcut(
        QKeySequence(QCoreApplication::translate("SessionMakerWindow", "Backspace", nullptr),
                     QKeySequence::NativeText));
    menu_File->setTitle(QCoreApplication::translate("SessionMakerWindow", "&File", nullptr));
    menuWaves->setTitle(QCoreApplication::translate("SessionMakerWindow", "Waves", nullptr));
    mainToolBar->setWindowTitle(QCoreApplication::translate("SessionMakerWindow", "Main Toolbar", nullptr));
}
