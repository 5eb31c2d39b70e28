#pragma once

#include <QString>

// Makes a display name safe to use as a file name (no separators, no control
// characters, no characters that common file systems or shells trip over).
QString vetName(QString name);
