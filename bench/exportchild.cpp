#include "exportchild.h"

#include "app/sessionmakerwindow.h"
#include "app/trackintake.h"
#include "decoder/ffstream.h"
#include "export/sessionformat.h"
#include "export/trackitemdata.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

// Presses Ok on every message box that is up, as the user would.
void answerMessageBoxes(QStringList *titles)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        titles->append(box->windowTitle());
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }
}

// What the export shows at the moment, to place a gap in its stages.
QString progressLabel(const QWidget &window)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->isVisible())
            return QString("message box %1").arg(box->windowTitle());
    }
    const auto dialogs = window.findChildren<QProgressDialog *>();
    for (const QProgressDialog *dialog : dialogs) {
        if (dialog->isVisible())
            return dialog->labelText();
    }
    return QStringLiteral("no progress dialog");
}

bool fillTrackList(QListWidget *waveList, const QStringList &sources)
{
    for (const QString &path : sources) {
        FFStream stream(path, kOutputRate);
        if (!stream.isUsable()) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
            return false;
        }
        for (int c = 0; c < stream.channels; ++c) {
            auto *item = new QListWidgetItem(trackDisplayText(stream.name, stream.channels, c), waveList);
            item->setData(Qt::UserRole,
                          TrackItemData{item->data(Qt::DisplayRole).toString(), path, QString::number(c)});
        }
    }
    return true;
}

} // namespace

bool writeMeasurement(const ExportMeasurement &measurement, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream out(&file);
    out << "succeeded=" << int(measurement.succeeded) << '\n'
        << "seconds=" << QString::number(measurement.seconds, 'f', 6) << '\n'
        << "longestGapMs=" << QString::number(measurement.longestGapMs, 'f', 3) << '\n'
        << "eventPoints=" << measurement.eventPoints << '\n'
        << "longestGapPlace=" << measurement.longestGapPlace << '\n'
        << "boxTitles=" << measurement.boxTitles.join('|') << '\n';
    return out.status() == QTextStream::Ok;
}

bool readMeasurement(const QString &path, ExportMeasurement *measurement)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    int fields = 0;
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QString key = line.section('=', 0, 0);
        const QString value = line.section('=', 1);
        ++fields;
        if (key == "succeeded")
            measurement->succeeded = value == "1";
        else if (key == "seconds")
            measurement->seconds = value.toDouble();
        else if (key == "longestGapMs")
            measurement->longestGapMs = value.toDouble();
        else if (key == "eventPoints")
            measurement->eventPoints = value.toInt();
        else if (key == "longestGapPlace")
            measurement->longestGapPlace = value;
        else if (key == "boxTitles")
            measurement->boxTitles = value.split('|', Qt::SkipEmptyParts);
        else
            --fields;
    }
    return fields == 6;
}

int runExportChild(const QString &sessionDir, const QString &resultPath, const QStringList &sources)
{
    SessionMakerWindow window;
    auto *waveList = window.findChild<QListWidget *>(QStringLiteral("waveList"));
    if (!waveList || !fillTrackList(waveList, sources))
        return 1;
    window.show();

    ExportMeasurement measurement;
    QElapsedTimer clock;
    qint64 lastPoint = 0;
    qint64 longestGap = 0;
    QString lastLabel;
    bool exporting = false;
    const auto notePoint = [&](qint64 now, const QString &label) {
        if (now - lastPoint > longestGap) {
            longestGap = now - lastPoint;
            measurement.longestGapPlace = QString("from \"%1\" to \"%2\"").arg(lastLabel, label);
        }
        lastPoint = now;
        lastLabel = label;
    };

    // A zero-interval timer fires only when its thread processes events, so the
    // spacing of its firings is the spacing of the export's event-processing points.
    QTimer ticker;
    ticker.setInterval(0);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!exporting)
            return;
        notePoint(clock.nsecsElapsed(), progressLabel(window));
        ++measurement.eventPoints;
        answerMessageBoxes(&measurement.boxTitles);
    });

    QTimer::singleShot(0, &window, [&] {
        ticker.start();
        exporting = true;
        lastLabel = QStringLiteral("start");
        clock.start();
        bool succeeded = false;
        QMetaObject::invokeMethod(&window, "writeSession", Qt::DirectConnection, Q_RETURN_ARG(bool, succeeded),
                                  Q_ARG(QString, sessionDir));
        const qint64 end = clock.nsecsElapsed();
        exporting = false;
        ticker.stop();
        notePoint(end, QStringLiteral("return"));
        measurement.succeeded = succeeded;
        measurement.seconds = double(end) / 1e9;
        measurement.longestGapMs = double(longestGap) / 1e6;
        QCoreApplication::quit();
    });
    QApplication::exec();
    return writeMeasurement(measurement, resultPath) ? 0 : 1;
}
