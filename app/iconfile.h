#pragma once

#include <QIcon>
#include <QString>

// An icon from one file, at the default size, for the normal mode and off state.
inline QIcon iconFromFile(const QString &path)
{
    QIcon icon;
    icon.addFile(path, QSize(), QIcon::Normal, QIcon::Off);
    return icon;
}
