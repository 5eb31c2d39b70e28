#pragma once

#include <QString>

class QListWidget;
class QWidget;

// One run of the Export command: checks and creates the session folder, writes
// every track and the metadata file, drives the progress dialog and reports
// the outcome in a message box parented to the window.
class SessionExport
{
public:
    SessionExport(QWidget *window, QListWidget *waveList, QString sessionDirName);

    bool run();

private:
    QWidget *window;
    QListWidget *waveList;
    QString sessionDirName;
};
