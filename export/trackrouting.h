#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// The source of a track: one channel of one file, compared exactly.
struct TrackSource
{
    QString path;
    int channel = 0;

    bool operator==(const TrackSource &other) const
    {
        return channel == other.channel && path == other.path;
    }
    bool operator!=(const TrackSource &other) const { return !(*this == other); }
};

// Which channel of a source file feeds which output track.
struct ChannelRoute
{
    int channel = 0;
    int track = 0;
};

// The tables an export is run from, built once from the list items.
struct TrackTables
{
    QStringList sourceFiles;
    QMap<QString, int> fileIndexByPath;
    QVector<QVector<ChannelRoute>> channelRoutes;
    QMap<QString, TrackSource> trackSourceByName;
    QStringList trackNames;
    QVector<int> trackFileIndex;
    QStringList itemNames;
    QStringList itemTrackNames;
};

// Turns the items' data (display name, source path, channel), in list order,
// into unique file-safe track names, merged duplicates and channel routes.
TrackTables routeTracks(const QList<QStringList> &items);
