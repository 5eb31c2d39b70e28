#include "app/sessionmakerwindow.h"

#include <QApplication>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // Set before the application exists, so every settings object finds the same store.
    QCoreApplication::setOrganizationName(QStringLiteral("Corlith"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("corlith.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Nelvo Session Maker"));

    QApplication app(argc, argv);
    SessionMakerWindow window;
    window.show();
    const int result = app.exec();
    return result;
}
