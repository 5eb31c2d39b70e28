#include "app/trackintake.h"

#include "app/sessionmakerwindow.h"
#include "app/ui_sessionmakerwindow.h"
#include "decoder/ffstream.h"
#include "export/sessionformat.h"
#include "export/trackitemdata.h"

#include <QCollator>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QListWidget>
#include <QListWidgetItem>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace {

// Qt's collator compares plain code units in the C locale and ignores the
// numeric mode there, which would put "take 10" before "take 2".
QCollator naturalPathCollator()
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    return collator;
}

// Local regular files only, each path exactly as the URL gives it.
QStringList droppedFiles(const QMimeData *mime)
{
    QStringList files;
    if (!mime)
        return files;
    const QList<QUrl> urls = mime->urls();
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (QFileInfo(path).isFile())
            files.append(path);
    }
    return files;
}

} // namespace

QString trackDisplayText(const QString &name, int channels, int channel)
{
    if (channels == 1)
        return name;
    if (channels == 2) {
        const QString side = channel == 0 ? QStringLiteral("L") : QStringLiteral("R");
        return name + QCoreApplication::translate("SessionMakerWindow", " %1").arg(side);
    }
    return name + QCoreApplication::translate("SessionMakerWindow", " CH %1").arg(channel + 1);
}

void SessionMakerWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *mime = event->mimeData();
    if (!mime || !mime->hasUrls())
        return;
    const QList<QUrl> urls = mime->urls();
    for (const QUrl &url : urls) {
        if (url.isLocalFile()) {
            event->setDropAction(Qt::CopyAction);
            event->accept();
            return;
        }
    }
}

void SessionMakerWindow::dropEvent(QDropEvent *event)
{
    QStringList candidates = droppedFiles(event->mimeData());
    const QCollator collator = naturalPathCollator();
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&collator](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });

    QStringList unreadable;
    for (const QString &path : qAsConst(candidates)) {
        // The stream carries a large sample buffer, too big for the stack.
        const auto stream = std::make_unique<FFStream>(path, kOutputRate);
        if (!stream->isUsable()) {
            unreadable.append(QDir::toNativeSeparators(path));
            continue;
        }
        const QString name = stream->name;
        const int channels = stream->channels;
        for (int channel = 0; channel < channels; ++channel) {
            if (ui->waveList->count() >= kTrackLimit) {
                QMetaObject::invokeMethod(this, "postMessageBox", Qt::QueuedConnection,
                                          Q_ARG(QString, tr("Warning")),
                                          Q_ARG(QString, QStringLiteral("Cannot add more than 22 tracks")));
                return;
            }
            auto *item = new QListWidgetItem(ui->waveList);
            item->setData(Qt::DecorationRole, waveIcon);
            item->setData(Qt::DisplayRole, trackDisplayText(name, channels, channel));
            item->setData(Qt::UserRole,
                          TrackItemData{item->data(Qt::DisplayRole).toString(), path, QString::number(channel)});
        }
        if (!event->isAccepted()) {
            event->setDropAction(Qt::CopyAction);
            event->accept();
        }
    }

    if (!unreadable.isEmpty()) {
        QMetaObject::invokeMethod(this, "postMessageBox", Qt::QueuedConnection, Q_ARG(QString, tr("Warning")),
                                  Q_ARG(QString, QStringLiteral("Cannot read media:\n") + unreadable.join('\n')));
    }
}

void SessionMakerWindow::postMessageBox(QString title, QString msg)
{
    QMessageBox::warning(this, title, msg, QMessageBox::Ok, QMessageBox::NoButton);
}
