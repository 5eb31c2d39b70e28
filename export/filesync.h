#pragma once

#include <QString>

// Has the kernel put everything written to path, a file or a folder, on the
// disk; false when it cannot be opened or the disk refuses.
bool syncToDisk(const QString &path);

// Gives a file in a folder another name there, in one step: a reader sees
// either name, never a copy on its way. False when the new name is taken.
bool renameInPlace(const QString &from, const QString &to);
