#include "export/trackrouting.h"

#include "export/trackitemdata.h"
#include "export/vetname.h"

namespace {

constexpr int kChannelBase = 10;
constexpr QChar kNameSuffix = QLatin1Char('_');

// A name as the file system receives it: encoded as UTF-8, where every lone
// surrogate becomes the same byte, and, on file systems that ignore the
// normalisation form, compared in one form.
QString fileSystemForm(const QString &name)
{
    return QString::fromUtf8(name.toUtf8()).normalized(QString::NormalizationForm_C);
}

// The track whose file a case- or normalisation-insensitive file system would
// not tell from the file of name. Track names stay pairwise different in this
// sense, so there is at most one.
int trackFoldingTo(const QStringList &trackNames, const QString &name)
{
    const QString form = fileSystemForm(name);
    for (int track = 0; track < trackNames.size(); ++track) {
        if (QString::compare(fileSystemForm(trackNames.at(track)), form, Qt::CaseInsensitive) == 0)
            return track;
    }
    return -1;
}

} // namespace

TrackTables routeTracks(const QList<QStringList> &items)
{
    TrackTables tables;

    for (const QStringList &item : items) {
        // value() keeps a malformed item with missing strings from being read past its end.
        const QString displayName = item.value(TrackItemName);
        const QString path = item.value(TrackItemPath);

        auto fileIndex = tables.fileIndexByPath.constFind(path);
        if (fileIndex == tables.fileIndexByPath.constEnd()) {
            fileIndex = tables.fileIndexByPath.insert(path, tables.sourceFiles.size());
            tables.sourceFiles.append(path);
            tables.channelRoutes.append(QVector<ChannelRoute>());
        }

        const TrackSource source{path, item.value(TrackItemChannel).toInt(nullptr, kChannelBase)};

        QString name = vetName(displayName);
        int track = trackFoldingTo(tables.trackNames, name);
        while (track >= 0 && tables.trackSourceByName.value(tables.trackNames.at(track)) != source) {
            name += kNameSuffix;
            track = trackFoldingTo(tables.trackNames, name);
        }

        if (track < 0) {
            tables.trackSourceByName.insert(name, source);
            tables.channelRoutes[*fileIndex].append({source.channel, int(tables.trackNames.size())});
            tables.trackNames.append(name);
            tables.trackFileIndex.append(*fileIndex);
        } else {
            name = tables.trackNames.at(track);
        }

        tables.itemTrackNames.append(name);
        tables.itemNames.append(displayName);
    }

    return tables;
}
