#include "app/sessionmakerwindow.h"
#include "app/ui_sessionmakerwindow.h"
#include "export/sessionexport.h"

// The export works on its own tables once it has read the list, so the window
// only hands over what it reads: the list and the chosen folder.
bool SessionMakerWindow::writeSession(QString sessionDirName)
{
    SessionExport exportJob(this, ui->waveList, sessionDirName);
    return exportJob.run();
}
