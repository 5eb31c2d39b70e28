#pragma once

#include <QString>

// Has the kernel put everything written to path, a file or a folder, on the
// disk; false when it cannot be opened or the disk refuses.
bool syncToDisk(const QString &path);
