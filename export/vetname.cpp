#include "export/vetname.h"

namespace {

// Characters that separate paths, upset shells or are refused by common file
// systems; built once and kept for the life of the application.
const QString &forbiddenCharacters()
{
    static const QString characters = QString::fromLatin1("/:*`\"'|<>?&\\\t\n\r%\x7f", 17);
    return characters;
}

constexpr ushort kFirstPrintable = 0x20;
constexpr QChar kReplacement = QLatin1Char('_');

} // namespace

QString vetName(QString name)
{
    name = name.trimmed().simplified();
    if (name.isEmpty())
        return name;

    const QString &forbidden = forbiddenCharacters();
    for (QChar &unit : name) {
        if (unit.unicode() < kFirstPrintable || forbidden.contains(unit))
            unit = kReplacement;
    }
    return name;
}
