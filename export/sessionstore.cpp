#include "export/sessionstore.h"

#include "export/filesync.h"
#include "export/sessionformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Where the metadata is written before it takes its name; neither a reader of
// sessions nor the export's own check takes it for a metadata file.
constexpr const char *kMetadataPartName = ".metadata.part";

// Writes the bytes in full or says it did not.
bool writeWhole(QFile &file, const QByteArray &bytes)
{
    const bool written = file.write(bytes.constData(), bytes.size()) == bytes.size();
    const bool flushed = file.flush();
    file.close();
    return written && flushed && file.error() == QFileDevice::NoError;
}

// Writes, syncs and names the metadata file. *left is the path of what this
// call has put in the folder so far, for the caller to take back on failure.
bool publishMetadata(const QString &sessionDir, const QByteArray &metadata, QString *left)
{
    const QDir dir(sessionDir);
    const QString part = dir.filePath(QLatin1String(kMetadataPartName));
    const QString named = dir.filePath(QLatin1String(kMetadataFileName));
    QFile file(part);
    // A file of that name that someone else put there is not ours to replace or remove.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    *left = part;
    // The tracks' entries reach the disk with the whole metadata file's, before it takes its name.
    if (!writeWhole(file, metadata) || !syncToDisk(part) || !syncToDisk(sessionDir) || !renameInPlace(part, named))
        return false;
    *left = named;
    return syncToDisk(sessionDir);
}

} // namespace

SessionStored storeSession(const QStringList &trackPaths, const QString &sessionDir, const QByteArray &metadata)
{
    for (int t = 0; t < trackPaths.size(); ++t) {
        if (!syncToDisk(trackPaths.at(t)))
            return {SessionStored::TrackNotStored, t};
    }
    // The entry for the session folder itself, made in its parent when the export began.
    if (!syncToDisk(QFileInfo(sessionDir).absolutePath()))
        return {SessionStored::MetadataNotStored};
    QString left;
    if (publishMetadata(sessionDir, metadata, &left))
        return {};
    // A session folder with a metadata file is a finished session; this one is not.
    if (!left.isEmpty() && QFile::remove(left))
        syncToDisk(sessionDir);
    return {SessionStored::MetadataNotStored};
}
