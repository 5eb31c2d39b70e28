#pragma once

#include <QString>
#include <QStringList>

// The data every track item carries under Qt::UserRole: display name at drop
// time, source path exactly as dropped, source channel from 0 in decimal.
using TrackItemData = QStringList;

enum TrackItemField { TrackItemName = 0, TrackItemPath = 1, TrackItemChannel = 2 };

// The item text for one channel of a file whose display name is name.
QString trackDisplayText(const QString &name, int channels, int channel);
