#pragma once

#include <QString>
#include <QStringList>

// What one export reports back from its child process.
struct ExportMeasurement
{
    bool succeeded = false;
    double seconds = 0.0;       // the writeSession call, start to return
    double longestGapMs = 0.0;  // longest stretch without event processing inside it
    QString longestGapPlace;    // the progress labels at its two ends
    int eventPoints = 0;        // times the export let the event loop run
    QStringList boxTitles;      // message boxes it showed, in order
};

bool writeMeasurement(const ExportMeasurement &measurement, const QString &path);
bool readMeasurement(const QString &path, ExportMeasurement *measurement);

// Child mode (needs a QApplication): fills a real main window's list the way a
// drop of sources would, runs writeSession into sessionDir from the event loop,
// answers its message boxes and writes what it measured to resultPath.
int runExportChild(const QString &sessionDir, const QString &resultPath, const QStringList &sources);
