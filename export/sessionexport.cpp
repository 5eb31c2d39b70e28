#include "export/sessionexport.h"

#include "decoder/ffstream.h"
#include "export/exportresources.h"
#include "export/sessionformat.h"
#include "export/sessionmetadata.h"
#include "export/sessionstore.h"
#include "export/trackrouting.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <system_error>

namespace {

constexpr int kProgressDialogWidth = 600;
constexpr qint64 kProgressScale = 4096;
constexpr qint64 kRefreshIntervalMs = 50;
// Pump until a chunk holds more than this many floats.
constexpr size_t kChunkThresholdFloats = 32767;
constexpr int kPaddingFrames = 32768;
// How long the window may wait for the disk before it handles its events again.
constexpr std::chrono::milliseconds kDiskWaitSlice(10);

QString tr(const char *text)
{
    return QCoreApplication::translate("SessionMakerWindow", text);
}

// How an export ends before success; the frame turns it into one message box.
struct StageEnd
{
    enum Kind { None, SourceUnreadable, TrackUnwritable, Cancelled, MetadataUnwritable };
    Kind kind = None;
    QString subject; // the source path or track name the message names

    explicit operator bool() const { return kind != None; }
};

// Far beyond any real file, yet a sum of many stays within 64 bits.
constexpr qint64 kLongestCountedFrames = qint64(1) << 53;

// A duration the container does not state must not drag the progress scale
// negative, so it counts for nothing.
qint64 durationFrames(double seconds)
{
    const double frames = seconds * double(kOutputRate);
    if (!std::isfinite(frames) || frames <= 0.0)
        return 0;
    if (frames >= double(kLongestCountedFrames))
        return kLongestCountedFrames;
    return qint64(frames);
}

int progressUnits(qint64 frames)
{
    return int(std::min<qint64>(frames / kProgressScale, std::numeric_limits<int>::max()));
}

// The stages between the item loop and the metadata file, run on the tables
// the item loop built and on the objects they open.
class TrackConversion
{
public:
    TrackConversion(const TrackTables &tables, const QString &sessionDirName, QProgressDialog &progress,
                    ExportResources &resources)
        : tables(tables), sessionDir(sessionDirName), progress(progress), resources(resources)
    {
    }

    StageEnd openSources();
    StageEnd createTrackFiles();
    StageEnd convert();
    StageEnd pad();

    QString trackPath(int track) const;

    qint64 longestLength = 0;

private:
    bool refreshShowsCancel(qint64 frames);

    const TrackTables &tables;
    QDir sessionDir;
    QProgressDialog &progress;
    ExportResources &resources;
    QVector<qint64> samplesWritten;
    qint64 expectedFrames = 0;
    qint64 framesConverted = 0;
    // Monotonic, so that a step of the wall clock neither stops the refreshes nor rushes them.
    QElapsedTimer refreshClock;
    qint64 lastRefresh = 0;
    SampleBuffer sampleBuffer;
    std::vector<float> channelBuffer;
};

StageEnd TrackConversion::openSources()
{
    for (int j = 0; j < tables.sourceFiles.size(); ++j) {
        QCoreApplication::processEvents();
        auto stream = std::make_unique<FFStream>(tables.sourceFiles.at(j), kOutputRate);
        bool readable = stream->isUsable();
        // The file may have changed since it was dropped; a channel it no
        // longer has would be read past the end of every chunk.
        for (const ChannelRoute &route : tables.channelRoutes.at(j)) {
            if (route.channel < 0 || route.channel >= stream->channels)
                readable = false;
        }
        if (!readable)
            return {StageEnd::SourceUnreadable, tables.sourceFiles.at(j)};
        resources.sourceStreams.push_back(std::move(stream));
    }
    return {};
}

StageEnd TrackConversion::createTrackFiles()
{
    expectedFrames = 0;
    for (int t = 0; t < tables.trackNames.size(); ++t) {
        QCoreApplication::processEvents();
        FlacTrackWriter::CreateResult result = FlacTrackWriter::CreateResult::NoStream;
        std::unique_ptr<FlacTrackWriter> writer = FlacTrackWriter::create(trackPath(t), &result);
        if (!writer)
            return {StageEnd::TrackUnwritable, tables.trackNames.at(t)};
        resources.trackWriters.push_back(std::move(writer));
        samplesWritten.append(0);
        expectedFrames += durationFrames(resources.sourceStreams.at(size_t(tables.trackFileIndex.at(t)))->duration);
    }
    return {};
}

QString TrackConversion::trackPath(int track) const
{
    return sessionDir.filePath(tables.trackNames.at(track) + QLatin1String(kTrackExtension));
}

StageEnd TrackConversion::convert()
{
    progress.setRange(0, progressUnits(expectedFrames));
    refreshClock.start();
    lastRefresh = 0;
    framesConverted = 0;
    longestLength = 0;
    sampleBuffer.reserve(2 * (kChunkThresholdFloats + 1));

    for (int j = 0; j < tables.sourceFiles.size(); ++j) {
        progress.setLabelText(tr("Converting %1").arg(QFileInfo(tables.sourceFiles.at(j)).fileName()));
        QCoreApplication::processEvents();
        FFStream &source = *resources.sourceStreams.at(size_t(j));
        const int nch = source.channels;
        const QVector<ChannelRoute> &routes = tables.channelRoutes.at(j);
        qint64 fileFrames = 0;

        for (;;) {
            while (sampleBuffer.size() <= kChunkThresholdFloats) {
                if (!source.pump(sampleBuffer)) {
                    // Any stop but the end of the file would leave its tracks cut short.
                    if (!source.endedCleanly())
                        return {StageEnd::SourceUnreadable, tables.sourceFiles.at(j)};
                    source.pump(sampleBuffer);
                    source.pump(sampleBuffer);
                    break;
                }
            }
            if (sampleBuffer.empty())
                break;

            const int frames = int(sampleBuffer.size() / size_t(nch));
            channelBuffer.resize(size_t(frames));
            for (const ChannelRoute &route : routes) {
                for (int i = 0; i < frames; ++i)
                    channelBuffer[size_t(i)] = sampleBuffer[size_t(route.channel) + size_t(i) * size_t(nch)];
                if (!resources.trackWriters.at(size_t(route.track))->write(channelBuffer.data(), frames))
                    return {StageEnd::TrackUnwritable, tables.trackNames.at(route.track)};
                samplesWritten[route.track] += frames;
                framesConverted += frames;
                if (refreshShowsCancel(framesConverted))
                    return {StageEnd::Cancelled, {}};
            }
            fileFrames += frames;
            sampleBuffer.clear();
        }
        longestLength = std::max(longestLength, fileFrames);
    }

    if (progress.wasCanceled())
        return {StageEnd::Cancelled, {}};
    return {};
}

StageEnd TrackConversion::pad()
{
    progress.setLabelText(tr("Padding sound data"));
    progress.setValue(0);
    progress.setRange(0, -1);
    QCoreApplication::processEvents();

    channelBuffer.assign(size_t(kPaddingFrames), 0.0f);
    for (int t = 0; t < int(resources.trackWriters.size()); ++t) {
        FlacTrackWriter &writer = *resources.trackWriters.at(size_t(t));
        qint64 remaining = longestLength - samplesWritten.at(t);
        while (remaining > 0) {
            const int frames = int(std::min<qint64>(remaining, kPaddingFrames));
            if (!writer.write(channelBuffer.data(), frames))
                return {StageEnd::TrackUnwritable, tables.trackNames.at(t)};
            if (refreshShowsCancel(framesConverted))
                return {StageEnd::Cancelled, {}};
            remaining -= frames;
        }
        writer.flush();
    }
    return {};
}

// The only place, besides the fixed points of the stages, where the user's
// input is let in during conversion and padding.
bool TrackConversion::refreshShowsCancel(qint64 frames)
{
    const qint64 now = refreshClock.elapsed();
    if (now - lastRefresh < kRefreshIntervalMs)
        return false;
    progress.setValue(progressUnits(frames));
    QCoreApplication::processEvents();
    const bool cancelled = progress.wasCanceled();
    lastRefresh = now;
    return cancelled;
}

// The folder the kernel will make the session folder in: trailing separators
// do not count, and a ".." after a link leads where the link points.
QString containingFolder(QString target)
{
    while (target.size() > 1 && (target.endsWith(QLatin1Char('/')) || target.endsWith(QDir::separator())))
        target.chop(1);
    // path() keeps "link/.." as given; absolutePath() would drop it as text.
    const QString resolved = QFileInfo(QFileInfo(target).path()).canonicalFilePath();
    return resolved.isEmpty() ? QFileInfo(target).absolutePath() : resolved;
}

// Waits for the disk on a thread of its own while the window goes on handling
// its events: a sync can take seconds on a slow card.
SessionStored whileHandlingEvents(const std::function<SessionStored()> &work)
{
    std::future<SessionStored> done;
    try {
        done = std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        // No thread to be had: the window waits for the disk instead.
        return work();
    }
    while (done.wait_for(kDiskWaitSlice) != std::future_status::ready)
        QCoreApplication::processEvents();
    return done.get();
}

// While the session is put on the disk, neither the window nor the progress
// dialog may close: the program would vanish, or end, before it could say
// whether the session was stored. A request to close the window is kept for
// when the user has read the outcome.
class CloseDeferral : public QObject
{
public:
    CloseDeferral(QWidget *window, QWidget *dialog) : window(window), dialog(dialog)
    {
        window->installEventFilter(this);
        dialog->installEventFilter(this);
    }
    ~CloseDeferral() override
    {
        window->removeEventFilter(this);
        dialog->removeEventFilter(this);
    }

    bool windowCloseAsked = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Close)
            return false;
        if (watched == window)
            windowCloseAsked = true;
        // A close event arrives accepted; only an ignored one keeps the widget open.
        event->ignore();
        return true;
    }

private:
    QWidget *window;
    QWidget *dialog;
};

// The folders this program's exports are still writing. To an export started
// meanwhile they are session folders already, though their metadata file has
// not been written yet.
QSet<QString> &foldersBeingWritten()
{
    static QSet<QString> folders;
    return folders;
}

class FolderBeingWritten
{
public:
    explicit FolderBeingWritten(QString path) : path(std::move(path)) { foldersBeingWritten().insert(this->path); }
    ~FolderBeingWritten() { foldersBeingWritten().remove(path); }
    FolderBeingWritten(const FolderBeingWritten &) = delete;
    FolderBeingWritten &operator=(const FolderBeingWritten &) = delete;

private:
    QString path;
};

} // namespace

SessionExport::SessionExport(QWidget *window, QListWidget *waveList, QString sessionDirName)
    : window(window), waveList(waveList), sessionDirName(std::move(sessionDirName))
{
}

bool SessionExport::run()
{
    const auto refuse = [this](const char *text) {
        QMessageBox::warning(window, tr("Error"), tr(text), QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    };
    if (QFileInfo::exists(sessionDirName))
        return refuse("The output folder already exists. Please delete it first before re-exporting.");
    // Without its trailing separator a path's parent would be the target itself.
    const QString parent = containingFolder(sessionDirName);
    if (QFileInfo::exists(QDir(parent).filePath(QLatin1String(kMetadataFileName)))
        || foldersBeingWritten().contains(parent))
        return refuse("Cannot create a session folder inside another session folder.");
    if (!QDir().mkdir(sessionDirName))
        return refuse("Unable to create session folder.");
    // The files go into the folder just made, wherever a ".." after a link in the
    // given path would lead a purely textual join.
    QString createdDir = QFileInfo(sessionDirName).canonicalFilePath();
    if (createdDir.isEmpty())
        createdDir = sessionDirName;
    const FolderBeingWritten beingWritten(createdDir);

    const int itemCount = waveList->count();

    // Declared before the dialog so that the dialog goes first should anything unwind.
    ExportResources resources;
    QProgressDialog progress(tr("Processing input files"), tr("Cancel"), 0, -1, window);
    progress.setMinimumWidth(kProgressDialogWidth);
    progress.show();
    QCoreApplication::processEvents();

    // Items removed while events ran are simply not exported.
    const int presentCount = std::min(itemCount, waveList->count());
    QList<QStringList> items;
    items.reserve(presentCount);
    for (int i = 0; i < presentCount; ++i)
        items.append(waveList->item(i)->data(Qt::UserRole).toStringList());
    const TrackTables tables = routeTracks(items);

    TrackConversion conversion(tables, createdDir, progress, resources);
    StageEnd end = conversion.openSources();
    if (!end) {
        progress.setLabelText(tr("Creating output files"));
        end = conversion.createTrackFiles();
    }
    if (!end)
        end = conversion.convert();
    if (!end)
        end = conversion.pad();
    bool closeAsked = false;
    if (!end) {
        progress.setLabelText(tr("Writing metadata"));
        // Every track file is complete, and known to be, before the metadata
        // file declares the session complete.
        const int unfinished = resources.releaseWriters();
        resources.releaseSources();
        if (unfinished >= 0) {
            end = {StageEnd::TrackUnwritable, tables.trackNames.at(unfinished)};
        } else {
            QStringList trackPaths;
            for (int t = 0; t < tables.trackNames.size(); ++t)
                trackPaths.append(conversion.trackPath(t));
            const QByteArray metadata =
                sessionMetadata(tables.itemNames, tables.itemTrackNames, conversion.longestLength);
            // What is half on the disk cannot be taken back: this stage runs to its end.
            if (auto *cancel = progress.findChild<QPushButton *>())
                cancel->setEnabled(false);
            QObject::disconnect(&progress, SIGNAL(canceled()), &progress, SLOT(cancel()));
            const CloseDeferral deferral(window, &progress);
            const SessionStored stored =
                whileHandlingEvents([&] { return storeSession(trackPaths, createdDir, metadata); });
            closeAsked = deferral.windowCloseAsked;
            if (stored.kind == SessionStored::TrackNotStored)
                end = {StageEnd::TrackUnwritable, tables.trackNames.at(stored.track)};
            else if (stored.kind == SessionStored::MetadataNotStored)
                end = {StageEnd::MetadataUnwritable, {}};
        }
    }

    if (!end) {
        progress.hide();
        progress.close();
        QMessageBox::information(
            window, tr("Information"),
            tr("The following session was created:\n    %1").arg(QDir::toNativeSeparators(sessionDirName)),
            QMessageBox::Ok, QMessageBox::NoButton);
        if (closeAsked)
            window->close();
        return true;
    }

    if (end.kind == StageEnd::Cancelled) {
        for (const auto &writer : resources.trackWriters)
            writer->flush();
    }
    progress.close();
    // Whatever the outcome, the files are complete before the user hears of it.
    resources.releaseWriters();
    resources.releaseSources();

    QString title = tr("Error");
    QString text;
    switch (end.kind) {
    case StageEnd::SourceUnreadable:
        text = tr("Unable to open:\n    %1").arg(QDir::toNativeSeparators(end.subject));
        break;
    case StageEnd::TrackUnwritable:
        text = tr("Unable to write:\n    %1").arg(QDir::toNativeSeparators(end.subject));
        break;
    case StageEnd::MetadataUnwritable:
        text = tr("Unable to write:\n    .nelvorecsession\n\nIncompete files are left.");
        break;
    case StageEnd::Cancelled:
        title = tr("Warning");
        text = tr("The process was cancelled by user.\nIncomplete files are remaining in the session folder");
        break;
    case StageEnd::None:
        break;
    }
    QMessageBox::warning(window, title, text, QMessageBox::Ok, QMessageBox::NoButton);
    if (closeAsked)
        window->close();
    return false;
}
