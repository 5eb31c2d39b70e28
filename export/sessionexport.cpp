// Placeholder until the export lands.
#include "export/sessionexport.h"
SessionExport::SessionExport(QWidget *w, QListWidget *l, QString d) : window(w), waveList(l), sessionDirName(std::move(d)) {}
bool SessionExport::run() { return false; }
