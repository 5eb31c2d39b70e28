#pragma once

#include <QByteArray>
#include <QStringList>

// What putting a finished session on the disk came to.
struct SessionStored
{
    enum Kind { Stored, TrackNotStored, MetadataNotStored };
    Kind kind = Stored;
    int track = -1; // the index into trackPaths of a track that did not reach the disk
};

// Puts the finished session on the disk: every track, then the metadata file
// under its name, so that the disk never holds a metadata file over tracks that
// are not there, nor a part of one. On failure no metadata file is left.
// Touches no widget, so that it can run beside the event loop.
SessionStored storeSession(const QStringList &trackPaths, const QString &sessionDir, const QByteArray &metadata);
