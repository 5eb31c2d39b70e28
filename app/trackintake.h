#pragma once

#include <QString>

// The item text for one channel of a file whose display name is name.
QString trackDisplayText(const QString &name, int channels, int channel);
