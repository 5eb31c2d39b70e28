#pragma once

#include "export/sessionformat.h"

#include <QByteArray>
#include <QStringList>

#include <array>

// The input slot name of each list position.
extern const std::array<const char *, kTrackLimit> inputSlotNames;

// The bytes of the .nelvorecsession file for one finished export.
QByteArray sessionMetadata(const QStringList &itemNames, const QStringList &itemTrackNames,
                           qint64 longestLength);
