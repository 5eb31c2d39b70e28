// Placeholder until the form lands.
#include "app/ui_sessionmakerwindow.h"
#include <QListWidget>
#include <QMainWindow>
void Ui_SessionMakerWindow::setupUi(QMainWindow *w)
{
    waveList = new QListWidget(w);
    waveList->setObjectName("waveList");
    w->setCentralWidget(waveList);
}
void Ui_SessionMakerWindow::retranslateUi(QMainWindow *) {}
