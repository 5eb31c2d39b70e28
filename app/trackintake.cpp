// Placeholder until the intake lands.
#include "app/sessionmakerwindow.h"
#include "app/trackitemdata.h"
#include <QDragEnterEvent>
#include <QDropEvent>
QString trackDisplayText(const QString &name, int, int) { return name; }
void SessionMakerWindow::dragEnterEvent(QDragEnterEvent *) {}
void SessionMakerWindow::dropEvent(QDropEvent *) {}
void SessionMakerWindow::postMessageBox(QString, QString) {}
