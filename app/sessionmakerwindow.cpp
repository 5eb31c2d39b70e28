// Placeholder until the window lands.
#include "app/sessionmakerwindow.h"
#include "app/ui_sessionmakerwindow.h"
#include "decoder/ffstream.h"
SessionMakerWindow::SessionMakerWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui_SessionMakerWindow)
{
    initFFmpeg();
    ui->setupUi(this);
    setAcceptDrops(true);
}
SessionMakerWindow::~SessionMakerWindow() { delete ui; }
void SessionMakerWindow::on_actionDelete_triggered() {}
void SessionMakerWindow::on_action_Export_to_Nelvo_Rec_Session_triggered() {}
