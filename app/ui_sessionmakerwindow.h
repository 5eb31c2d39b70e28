#pragma once

class QAction;
class QListWidget;
class QMainWindow;
class QMenu;
class QMenuBar;
class QStatusBar;
class QToolBar;
class QVBoxLayout;
class QWidget;

// The main window's form, laid out in code as the designer would.
class Ui_SessionMakerWindow
{
public:
    QAction *action_Export_to_Nelvo_Rec_Session = nullptr;
    QAction *action_Quit = nullptr;
    QAction *actionDelete = nullptr;
    QWidget *centralWidget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QListWidget *waveList = nullptr;
    QMenuBar *menuBar = nullptr;
    QMenu *menu_File = nullptr;
    QMenu *menuWaves = nullptr;
    QToolBar *mainToolBar = nullptr;
    QStatusBar *statusBar = nullptr;

    void setupUi(QMainWindow *SessionMakerWindow);
    void retranslateUi(QMainWindow *SessionMakerWindow);
};
