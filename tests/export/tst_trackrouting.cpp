#include "export/trackrouting.h"
#include "export/vetname.h"

#include <QtTest>

using Items = QList<QStringList>;
using Indices = QVector<int>;

namespace {

// "channel>track" pairs, one group per file, files separated by " | ".
QString describeRoutes(const QVector<QVector<ChannelRoute>> &routes)
{
    QStringList files;
    for (const QVector<ChannelRoute> &file : routes) {
        QStringList pairs;
        for (const ChannelRoute &route : file)
            pairs << QStringLiteral("%1>%2").arg(route.channel).arg(route.track);
        files << pairs.join(QLatin1Char(' '));
    }
    return files.join(QStringLiteral(" | "));
}

// "path#channel" of each track, in track order.
QStringList describeTrackSources(const TrackTables &tables)
{
    QStringList sources;
    for (const QString &name : tables.trackNames) {
        const TrackSource source = tables.trackSourceByName.value(name);
        sources << QStringLiteral("%1#%2").arg(source.path).arg(source.channel);
    }
    return sources;
}

QString withUnits(const QString &before, const QVector<ushort> &units, const QString &after)
{
    QString text = before;
    for (ushort unit : units)
        text.append(QChar(unit));
    return text + after;
}

QVector<ushort> unitRange(ushort first, ushort last)
{
    QVector<ushort> units;
    for (int unit = first; unit <= last; ++unit)
        units << ushort(unit);
    return units;
}

// What must hold for the tables of any item list, whatever the names.
void verifyInvariants(const Items &items, const TrackTables &tables)
{
    const QString forbidden = QString::fromLatin1("/:*`\"'|<>?&\\\t\n\r%\x7f", 17);

    QCOMPARE(tables.itemNames.size(), items.size());
    QCOMPARE(tables.itemTrackNames.size(), items.size());
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(tables.itemNames.at(i), items.at(i).value(0));

    QCOMPARE(tables.fileIndexByPath.size(), tables.sourceFiles.size());
    QCOMPARE(tables.channelRoutes.size(), tables.sourceFiles.size());
    for (int file = 0; file < tables.sourceFiles.size(); ++file)
        QCOMPARE(tables.fileIndexByPath.value(tables.sourceFiles.at(file), -1), file);

    QCOMPARE(tables.trackFileIndex.size(), tables.trackNames.size());
    QCOMPARE(tables.trackSourceByName.size(), tables.trackNames.size());
    QVERIFY(tables.trackNames.size() <= items.size());

    QVector<int> routesPerTrack(tables.trackNames.size(), 0);
    for (int file = 0; file < tables.channelRoutes.size(); ++file) {
        QVERIFY2(!tables.channelRoutes.at(file).isEmpty(), qPrintable(tables.sourceFiles.at(file)));
        for (const ChannelRoute &route : tables.channelRoutes.at(file)) {
            QVERIFY(route.track >= 0 && route.track < tables.trackNames.size());
            ++routesPerTrack[route.track];
            QCOMPARE(tables.trackFileIndex.at(route.track), file);
            const TrackSource expected{tables.sourceFiles.at(file), route.channel};
            QVERIFY(tables.trackSourceByName.value(tables.trackNames.at(route.track)) == expected);
        }
    }
    QCOMPARE(routesPerTrack, QVector<int>(tables.trackNames.size(), 1));

    for (const QString &name : tables.itemTrackNames)
        QVERIFY2(tables.trackNames.contains(name), qPrintable(name));
    for (int track = 0; track < tables.trackNames.size(); ++track) {
        const QString &name = tables.trackNames.at(track);
        QVERIFY2(tables.itemTrackNames.contains(name), qPrintable(name));
        for (QChar unit : name)
            QVERIFY2(unit.unicode() >= 0x20 && !forbidden.contains(unit), qPrintable(name));
        // Distinct files even where the file system ignores letter case or
        // normalisation form, compared as the encoded names it receives.
        const auto onDisk = [](const QString &trackName) {
            return QString::fromUtf8(QFile::encodeName(trackName)).normalized(QString::NormalizationForm_D);
        };
        for (int other = track + 1; other < tables.trackNames.size(); ++other)
            QVERIFY2(QString::compare(onDisk(name), onDisk(tables.trackNames.at(other)), Qt::CaseInsensitive) != 0,
                     qPrintable(name + QLatin1Char('/') + tables.trackNames.at(other)));
    }
}

} // namespace

class TrackRoutingTest : public QObject
{
    Q_OBJECT

private slots:
    void vetName_data();
    void vetName();
    void workedExample();
    void routing_data();
    void routing();
    void reversalSwapsSuffix();
};

void TrackRoutingTest::vetName_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected");

    QTest::newRow("spaces around and inside") << "  Kick   In " << "Kick In";
    QTest::newRow("tab inside") << "Vox\t1" << "Vox 1";
    QTest::newRow("slash colon percent question") << "A/B: 50%?" << "A_B_ 50__";
    QTest::newRow("only set characters") << "???" << "___";
    QTest::newRow("U+0001 inside") << QStringLiteral("a\x01" "b") << "a_b";
    QTest::newRow("non-ASCII letter") << QStringLiteral("Über") << QStringLiteral("Über");
    QTest::newRow("full stop") << "." << ".";
    QTest::newRow("two full stops") << ".." << "..";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("only spaces") << "    " << "";
    QTest::newRow("only mixed whitespace") << QStringLiteral("\t\n\u00a0\u2028 ") << "";
    QTest::newRow("every printable set character")
        << QStringLiteral("x/:*`\"'|<>?&\\%\x7fy") << QString("x" + QString(14, '_') + "y");
    QTest::newRow("set characters at the ends stay") << "?x?" << "_x_";
    QTest::newRow("tab, line feed, carriage return become spaces") << "a\tb\nc\rd" << "a b c d";
    QTest::newRow("whitespace run") << " a \t\n\r b " << "a b";
    QTest::newRow("vertical tab and form feed") << QStringLiteral("a\x0b\x0c" "b") << "a b";
    QTest::newRow("U+0085 inside") << QStringLiteral("a\u0085b") << "a b";
    QTest::newRow("U+0085 at the ends") << QStringLiteral("\u0085a\u0085") << "a";
    QTest::newRow("U+00A0 inside") << QStringLiteral("a\u00a0b") << "a b";
    QTest::newRow("U+00A0 at the ends") << QStringLiteral("\u00a0a\u00a0") << "a";
    QTest::newRow("U+2028 line separator") << QStringLiteral("a\u2028b") << "a b";
    QTest::newRow("U+2029 paragraph separator") << QStringLiteral("a\u2029b") << "a b";
    QTest::newRow("U+3000 ideographic space") << QStringLiteral("a\u3000b") << "a b";
    QTest::newRow("U+0000 to U+0008") << withUnits("a", unitRange(0x00, 0x08), "b")
                                     << QString("a" + QString(9, '_') + "b");
    QTest::newRow("U+000E to U+001F") << withUnits("a", unitRange(0x0e, 0x1f), "b")
                                     << QString("a" + QString(18, '_') + "b");
    QTest::newRow("control unit at the end is not trimmed") << withUnits("a", {0x01}, "") << "a_";
    QTest::newRow("U+007F") << QStringLiteral("a\x7f" "b") << "a_b";
    QTest::newRow("U+0080 and U+009F pass") << withUnits("a", {0x80, 0x9f}, "b")
                                           << withUnits("a", {0x80, 0x9f}, "b");
    QTest::newRow("surrogate pair passes") << QStringLiteral("Gtr \U0001F3B8") << QStringLiteral("Gtr \U0001F3B8");
    QTest::newRow("lone surrogates pass") << withUnits("a", {0xd83c, 0xdfb8, 0xdc00}, "")
                                         << withUnits("a", {0xd83c, 0xdfb8, 0xdc00}, "");
}

void TrackRoutingTest::vetName()
{
    QFETCH(QString, argument);
    QFETCH(QString, expected);

    const QString vetted = ::vetName(argument);
    QCOMPARE(vetted, expected);
    QCOMPARE(::vetName(vetted), vetted);
}

void TrackRoutingTest::workedExample()
{
    const QString spaces = QStringLiteral("   ");
    const Items items = {
        {"Drums L", "/a/drums.wav", "0"},  {"Drums R", "/a/drums.wav", "1"},
        {"Drums L", "/b/drums.aiff", "0"}, {"Drums L", "/a/drums.wav", "0"},
        {"Drums L", "/b/drums.aiff", "0"}, {"???", "/a/q.wav", "0"},
        {"***", "/a/r.wav", "0"},          {spaces, "/a/e.wav", "0"},
    };

    const TrackTables tables = routeTracks(items);

    QCOMPARE(tables.sourceFiles,
             QStringList({"/a/drums.wav", "/b/drums.aiff", "/a/q.wav", "/a/r.wav", "/a/e.wav"}));
    const QMap<QString, int> fileIndexByPath{
        {"/a/drums.wav", 0}, {"/b/drums.aiff", 1}, {"/a/q.wav", 2}, {"/a/r.wav", 3}, {"/a/e.wav", 4}};
    QCOMPARE(tables.fileIndexByPath, fileIndexByPath);
    QCOMPARE(describeRoutes(tables.channelRoutes), QStringLiteral("0>0 1>1 | 0>2 | 0>3 | 0>4 | 0>5"));
    QCOMPARE(tables.trackNames, QStringList({"Drums L", "Drums R", "Drums L_", "___", "____", ""}));
    QCOMPARE(tables.trackFileIndex, Indices({0, 0, 1, 2, 3, 4}));
    QCOMPARE(describeTrackSources(tables),
             QStringList({"/a/drums.wav#0", "/a/drums.wav#1", "/b/drums.aiff#0", "/a/q.wav#0",
                          "/a/r.wav#0", "/a/e.wav#0"}));
    QCOMPARE(tables.itemNames, QStringList({"Drums L", "Drums R", "Drums L", "Drums L", "Drums L",
                                            "???", "***", spaces}));
    QCOMPARE(tables.itemTrackNames, QStringList({"Drums L", "Drums R", "Drums L_", "Drums L",
                                                 "Drums L_", "___", "____", ""}));
    verifyInvariants(items, tables);

    // Nothing carries over from one run to the next.
    const TrackTables again = routeTracks(items);
    QCOMPARE(again.trackNames, tables.trackNames);
    QCOMPARE(again.itemTrackNames, tables.itemTrackNames);
}

void TrackRoutingTest::routing_data()
{
    QTest::addColumn<Items>("items");
    QTest::addColumn<QStringList>("sourceFiles");
    QTest::addColumn<QString>("routes");
    QTest::addColumn<QStringList>("trackNames");
    QTest::addColumn<QStringList>("trackSources");
    QTest::addColumn<QStringList>("itemTrackNames");

    QTest::newRow("empty list") << Items{} << QStringList{} << QString() << QStringList{}
                                << QStringList{} << QStringList{};

    QTest::newRow("same file dropped twice merges")
        << Items{{"Pad L", "/s/pad.wav", "0"}, {"Pad R", "/s/pad.wav", "1"},
                 {"Pad L", "/s/pad.wav", "0"}, {"Pad R", "/s/pad.wav", "1"}}
        << QStringList{"/s/pad.wav"} << "0>0 1>1" << QStringList{"Pad L", "Pad R"}
        << QStringList{"/s/pad.wav#0", "/s/pad.wav#1"}
        << QStringList{"Pad L", "Pad R", "Pad L", "Pad R"};

    QTest::newRow("three sources with one name")
        << Items{{"Kick", "/a.wav", "0"}, {"Kick", "/b.wav", "0"}, {"Kick", "/c.wav", "0"}}
        << QStringList{"/a.wav", "/b.wav", "/c.wav"} << "0>0 | 0>1 | 0>2"
        << QStringList{"Kick", "Kick_", "Kick__"} << QStringList{"/a.wav#0", "/b.wav#0", "/c.wav#0"}
        << QStringList{"Kick", "Kick_", "Kick__"};

    QTest::newRow("set characters only: ___ then ____")
        << Items{{"???", "/q.wav", "0"}, {"***", "/r.wav", "0"}} << QStringList{"/q.wav", "/r.wav"}
        << "0>0 | 0>1" << QStringList{"___", "____"} << QStringList{"/q.wav#0", "/r.wav#0"}
        << QStringList{"___", "____"};

    QTest::newRow("empty names give '' then '_'")
        << Items{{"", "/x.wav", "0"}, {"  \t ", "/y.wav", "0"}} << QStringList{"/x.wav", "/y.wav"}
        << "0>0 | 0>1" << QStringList{"", "_"} << QStringList{"/x.wav#0", "/y.wav#0"}
        << QStringList{"", "_"};

    QTest::newRow("full stops stay") << Items{{".", "/d1.wav", "0"}, {"..", "/d2.wav", "0"}}
                                     << QStringList{"/d1.wav", "/d2.wav"} << "0>0 | 0>1"
                                     << QStringList{".", ".."}
                                     << QStringList{"/d1.wav#0", "/d2.wav#0"}
                                     << QStringList{".", ".."};

    QTest::newRow("third source named Drums_ gets Drums__")
        << Items{{"Drums", "/a.wav", "0"}, {"Drums", "/b.wav", "0"}, {"Drums_", "/c.wav", "0"}}
        << QStringList{"/a.wav", "/b.wav", "/c.wav"} << "0>0 | 0>1 | 0>2"
        << QStringList{"Drums", "Drums_", "Drums__"}
        << QStringList{"/a.wav#0", "/b.wav#0", "/c.wav#0"}
        << QStringList{"Drums", "Drums_", "Drums__"};

    QTest::newRow("one name on two channels of a file")
        << Items{{"Mix", "/m.wav", "0"}, {"Mix", "/m.wav", "1"}} << QStringList{"/m.wav"} << "0>0 1>1"
        << QStringList{"Mix", "Mix_"} << QStringList{"/m.wav#0", "/m.wav#1"}
        << QStringList{"Mix", "Mix_"};

    QTest::newRow("one source under two names makes two tracks")
        << Items{{"Lead", "/v.wav", "0"}, {"Vocal", "/v.wav", "0"}} << QStringList{"/v.wav"}
        << "0>0 0>1" << QStringList{"Lead", "Vocal"} << QStringList{"/v.wav#0", "/v.wav#0"}
        << QStringList{"Lead", "Vocal"};

    QTest::newRow("names differing in whitespace vet together and merge")
        << Items{{"Kick  In", "/k.wav", "0"}, {" Kick\tIn ", "/k.wav", "0"}} << QStringList{"/k.wav"}
        << "0>0" << QStringList{"Kick In"} << QStringList{"/k.wav#0"}
        << QStringList{"Kick In", "Kick In"};

    QTest::newRow("path differing in case is another source")
        << Items{{"Bass", "/a/Bass.wav", "0"}, {"Bass", "/a/bass.wav", "0"}}
        << QStringList{"/a/Bass.wav", "/a/bass.wav"} << "0>0 | 0>1" << QStringList{"Bass", "Bass_"}
        << QStringList{"/a/Bass.wav#0", "/a/bass.wav#0"} << QStringList{"Bass", "Bass_"};

    QTest::newRow("case-only clash of two sources")
        << Items{{"Kick", "/a.wav", "0"}, {"kick", "/b.wav", "0"}} << QStringList{"/a.wav", "/b.wav"}
        << "0>0 | 0>1" << QStringList{"Kick", "kick_"} << QStringList{"/a.wav#0", "/b.wav#0"}
        << QStringList{"Kick", "kick_"};

    QTest::newRow("case-only clash beyond ASCII")
        << Items{{QStringLiteral("Über"), "/a.wav", "0"}, {QStringLiteral("über"), "/b.wav", "0"}}
        << QStringList{"/a.wav", "/b.wav"} << "0>0 | 0>1"
        << QStringList{QStringLiteral("Über"), QStringLiteral("über_")}
        << QStringList{"/a.wav#0", "/b.wav#0"}
        << QStringList{QStringLiteral("Über"), QStringLiteral("über_")};

    QTest::newRow("case-only variant of one source merges")
        << Items{{"Snare", "/s.wav", "0"}, {"SNARE", "/s.wav", "0"}, {"snare", "/s.wav", "0"}}
        << QStringList{"/s.wav"} << "0>0" << QStringList{"Snare"} << QStringList{"/s.wav#0"}
        << QStringList{"Snare", "Snare", "Snare"};

    QTest::newRow("case-only clash walks the chain to its own track")
        << Items{{"Tom", "/a.wav", "0"}, {"tom", "/b.wav", "0"}, {"TOM", "/b.wav", "0"},
                 {"TOM_", "/b.wav", "0"}, {"TOM", "/c.wav", "0"}}
        << QStringList{"/a.wav", "/b.wav", "/c.wav"} << "0>0 | 0>1 | 0>2"
        << QStringList{"Tom", "tom_", "TOM__"} << QStringList{"/a.wav#0", "/b.wav#0", "/c.wav#0"}
        << QStringList{"Tom", "tom_", "tom_", "tom_", "TOM__"};

    QTest::newRow("case-only clash with a suffixed name")
        << Items{{"Hat", "/a.wav", "0"}, {"Hat", "/b.wav", "0"}, {"hat_", "/c.wav", "0"}}
        << QStringList{"/a.wav", "/b.wav", "/c.wav"} << "0>0 | 0>1 | 0>2"
        << QStringList{"Hat", "Hat_", "hat__"} << QStringList{"/a.wav#0", "/b.wav#0", "/c.wav#0"}
        << QStringList{"Hat", "Hat_", "hat__"};

    const QString composed = QStringLiteral("Caf\u00e9");
    const QString decomposed = QStringLiteral("Cafe\u0301");
    QTest::newRow("normalisation-only clash of two sources")
        << Items{{composed, "/a.wav", "0"}, {decomposed, "/b.wav", "0"}} << QStringList{"/a.wav", "/b.wav"}
        << "0>0 | 0>1" << QStringList{composed, decomposed + "_"} << QStringList{"/a.wav#0", "/b.wav#0"}
        << QStringList{composed, decomposed + "_"};

    QTest::newRow("normalisation and case variant of one source merges")
        << Items{{decomposed, "/a.wav", "0"}, {QStringLiteral("CAF\u00c9"), "/a.wav", "0"}}
        << QStringList{"/a.wav"} << "0>0" << QStringList{decomposed} << QStringList{"/a.wav#0"}
        << QStringList{decomposed, decomposed};

    const QString highHalf = withUnits("Gtr ", {0xd83c}, "");
    const QString lowHalf = withUnits("Gtr ", {0xdfb8}, "");
    QTest::newRow("lone surrogates encoded alike are one file name")
        << Items{{highHalf, "/a.wav", "0"}, {lowHalf, "/b.wav", "0"}} << QStringList{"/a.wav", "/b.wav"}
        << "0>0 | 0>1" << QStringList{highHalf, lowHalf + "_"} << QStringList{"/a.wav#0", "/b.wav#0"}
        << QStringList{highHalf, lowHalf + "_"};

    QTest::newRow("malformed items read missing strings as empty")
        << Items{{}, {"Solo"}, {"Solo", "/s.wav"}, {"Solo", "/s.wav", "zz"}, {"Solo", "/s.wav", "1"},
                 {"Solo", "/s.wav", "99999999999"}}
        << QStringList{"", "/s.wav"} << "0>0 0>1 | 0>2 1>3" << QStringList{"", "Solo", "Solo_", "Solo__"}
        << QStringList{"#0", "#0", "/s.wav#0", "/s.wav#1"}
        << QStringList{"", "Solo", "Solo_", "Solo_", "Solo__", "Solo_"};
}

void TrackRoutingTest::routing()
{
    QFETCH(Items, items);
    QFETCH(QStringList, sourceFiles);
    QFETCH(QString, routes);
    QFETCH(QStringList, trackNames);
    QFETCH(QStringList, trackSources);
    QFETCH(QStringList, itemTrackNames);

    const TrackTables tables = routeTracks(items);

    QCOMPARE(tables.sourceFiles, sourceFiles);
    QCOMPARE(describeRoutes(tables.channelRoutes), routes);
    QCOMPARE(tables.trackNames, trackNames);
    QCOMPARE(describeTrackSources(tables), trackSources);
    QCOMPARE(tables.itemTrackNames, itemTrackNames);
    verifyInvariants(items, tables);
}

void TrackRoutingTest::reversalSwapsSuffix()
{
    const QStringList first{"Keys", "/one.wav", "0"};
    const QStringList second{"Keys", "/two.wav", "0"};

    const TrackTables forward = routeTracks({first, second});
    const TrackTables reversed = routeTracks({second, first});

    QCOMPARE(forward.trackNames, QStringList({"Keys", "Keys_"}));
    QCOMPARE(reversed.trackNames, QStringList({"Keys", "Keys_"}));
    QCOMPARE(forward.trackSourceByName.value("Keys").path, QStringLiteral("/one.wav"));
    QCOMPARE(forward.trackSourceByName.value("Keys_").path, QStringLiteral("/two.wav"));
    QCOMPARE(reversed.trackSourceByName.value("Keys").path, QStringLiteral("/two.wav"));
    QCOMPARE(reversed.trackSourceByName.value("Keys_").path, QStringLiteral("/one.wav"));
}

QTEST_GUILESS_MAIN(TrackRoutingTest)
#include "tst_trackrouting.moc"
