#pragma once

#include <QStringList>

// The data every track item carries under Qt::UserRole, written by the drop
// and read by the export: display name at drop time, source path exactly as
// dropped, source channel from 0 in decimal.
using TrackItemData = QStringList;

enum TrackItemField { TrackItemName = 0, TrackItemPath = 1, TrackItemChannel = 2 };
