#include "export/sessionmetadata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>

const std::array<const char *, kTrackLimit> inputSlotNames = {
    "i.0",  "i.1",  "i.2",  "i.3",  "i.4",  "i.5",  "i.6",  "i.7",  "i.8",  "i.9",  "i.10",
    "i.11", "i.12", "i.13", "i.14", "i.15", "i.16", "i.17", "i.18", "i.19", "l.0",  "l.1",
};

QByteArray sessionMetadata(const QStringList &itemNames, const QStringList &itemTrackNames,
                           qint64 longestLength)
{
    QJsonObject session;
    QJsonArray names;
    QJsonArray mapping;
    QJsonArray files;

    session[QStringLiteral("ext")] = QString::fromLatin1(kTrackExtension);
    session[QStringLiteral("sampleRate")] = kOutputRate;
    session[QStringLiteral("complete")] = true;

    const int itemCount = std::min(itemNames.size(), itemTrackNames.size());
    for (int i = 0; i < itemCount; ++i) {
        names.append(itemNames.at(i));
        // The list never holds more items than there are slots; should one get
        // through, it is given no slot rather than a read past the table.
        mapping.append(i < int(inputSlotNames.size()) ? QString::fromLatin1(inputSlotNames[i]) : QString());
        files.append(itemTrackNames.at(i));
    }

    session[QStringLiteral("names")] = names;
    session[QStringLiteral("mapping")] = mapping;
    session[QStringLiteral("files")] = files;
    session[QStringLiteral("lengthSamples")] = longestLength;
    session[QStringLiteral("lengthSeconds")] = double(longestLength) / double(kOutputRate);

    return QJsonDocument(session).toJson();
}
