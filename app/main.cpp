#include "app/sessionmakerwindow.h"
#include <QApplication>
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SessionMakerWindow window;
    window.show();
    return app.exec();
}
