#include "export/sessionmetadata.h"
#include "export/trackrouting.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// The slot names written out here rather than taken from the program's table.
const QStringList kSlots{"i.0",  "i.1",  "i.2",  "i.3",  "i.4",  "i.5",  "i.6",  "i.7",
                         "i.8",  "i.9",  "i.10", "i.11", "i.12", "i.13", "i.14", "i.15",
                         "i.16", "i.17", "i.18", "i.19", "l.0",  "l.1"};

QJsonObject parse(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        qWarning("not a JSON object: %s", qPrintable(error.errorString()));
    return document.object();
}

QStringList stringsOf(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &element : value.toArray())
        list << element.toString(QStringLiteral("<not a string>"));
    return list;
}

QStringList numbered(const QString &prefix, int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << prefix + QString::number(i);
    return list;
}

} // namespace

class SessionMetadataTest : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void emptyList();
    void mappingEnds_data();
    void mappingEnds();
    void escaping_data();
    void escaping();
    void lengths_data();
    void lengths();
    void unequalListsUseTheShorter();
};

void SessionMetadataTest::workedExample()
{
    const TrackTables tables = routeTracks({
        {"Band - Bass: DI", "/m/bass.wav", "0"},
        {"Drums overhead L", "/m/drums_overhead.wav", "0"},
        {"Drums overhead R", "/m/drums_overhead.wav", "1"},
        {"Band - Bass: DI", "/m/bass.wav", "0"},
    });

    const QByteArray bytes = sessionMetadata(tables.itemNames, tables.itemTrackNames, 504000);

    const QByteArray expected = "{\n"
                                "    \"complete\": true,\n"
                                "    \"ext\": \".flac\",\n"
                                "    \"files\": [\n"
                                "        \"Band - Bass_ DI\",\n"
                                "        \"Drums overhead L\",\n"
                                "        \"Drums overhead R\",\n"
                                "        \"Band - Bass_ DI\"\n"
                                "    ],\n"
                                "    \"lengthSamples\": 504000,\n"
                                "    \"lengthSeconds\": 10.5,\n"
                                "    \"mapping\": [\n"
                                "        \"i.0\",\n"
                                "        \"i.1\",\n"
                                "        \"i.2\",\n"
                                "        \"i.3\"\n"
                                "    ],\n"
                                "    \"names\": [\n"
                                "        \"Band - Bass: DI\",\n"
                                "        \"Drums overhead L\",\n"
                                "        \"Drums overhead R\",\n"
                                "        \"Band - Bass: DI\"\n"
                                "    ],\n"
                                "    \"sampleRate\": 48000\n"
                                "}\n";
    QCOMPARE(bytes, expected);

    const QJsonObject session = parse(bytes);
    QCOMPARE(session.keys(), QStringList({"complete", "ext", "files", "lengthSamples", "lengthSeconds",
                                          "mapping", "names", "sampleRate"}));
    QCOMPARE(session.value("complete").toBool(false), true);
    QCOMPARE(session.value("ext").toString(), QStringLiteral(".flac"));
    QCOMPARE(session.value("sampleRate").toInt(), 48000);
    QCOMPARE(session.value("lengthSamples").toVariant().toLongLong(), 504000);
    QCOMPARE(session.value("lengthSeconds").toDouble(), 10.5);
    QCOMPARE(stringsOf(session.value("names")), tables.itemNames);
    QCOMPARE(stringsOf(session.value("files")), tables.itemTrackNames);
    QCOMPARE(stringsOf(session.value("mapping")), kSlots.mid(0, 4));
}

void SessionMetadataTest::emptyList()
{
    const QByteArray expected = "{\n"
                                "    \"complete\": true,\n"
                                "    \"ext\": \".flac\",\n"
                                "    \"files\": [\n"
                                "    ],\n"
                                "    \"lengthSamples\": 0,\n"
                                "    \"lengthSeconds\": 0,\n"
                                "    \"mapping\": [\n"
                                "    ],\n"
                                "    \"names\": [\n"
                                "    ],\n"
                                "    \"sampleRate\": 48000\n"
                                "}\n";
    QCOMPARE(sessionMetadata({}, {}, 0), expected);
}

void SessionMetadataTest::mappingEnds_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<QStringList>("lastSlots");

    QTest::newRow("1 item") << 1 << QStringList{"i.0"};
    QTest::newRow("20 items") << 20 << QStringList{"i.18", "i.19"};
    QTest::newRow("21 items") << 21 << QStringList{"i.19", "l.0"};
    QTest::newRow("22 items") << 22 << QStringList{"l.0", "l.1"};
    // Cannot come from the list; the extra positions get no slot.
    QTest::newRow("23 items") << 23 << QStringList{"l.1", ""};
    QTest::newRow("30 items") << 30 << QStringList{"", ""};
}

void SessionMetadataTest::mappingEnds()
{
    QFETCH(int, items);
    QFETCH(QStringList, lastSlots);

    const QStringList names = numbered(QStringLiteral("Track "), items);
    const QStringList files = numbered(QStringLiteral("File "), items);
    const QJsonObject session = parse(sessionMetadata(names, files, 48000));

    const QStringList mapping = stringsOf(session.value("mapping"));
    QCOMPARE(mapping.size(), items);
    QCOMPARE(mapping.mid(items - lastSlots.size()), lastSlots);
    QCOMPARE(mapping.mid(0, kSlots.size()), kSlots.mid(0, items));
    for (int i = kSlots.size(); i < items; ++i)
        QCOMPARE(mapping.at(i), QString());
    QCOMPARE(stringsOf(session.value("names")), names);
    QCOMPARE(stringsOf(session.value("files")), files);
}

void SessionMetadataTest::escaping_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("written");

    QTest::newRow("quotation mark") << QStringLiteral("Say \"Hi\"") << QByteArray("\"Say \\\"Hi\\\"\"");
    QTest::newRow("reverse solidus") << QStringLiteral("L\\R") << QByteArray("\"L\\\\R\"");
    QTest::newRow("tab and U+0001")
        << QStringLiteral("a\tb\x01" "c") << QByteArray("\"a\\tb\\u0001c\"");
    QTest::newRow("leading and trailing spaces kept") << QStringLiteral("  Pad  ") << QByteArray("\"  Pad  \"");
    QTest::newRow("non-ASCII as UTF-8")
        << QStringLiteral("Über Gitarre \U0001F3B8") << QByteArray("\"\xc3\x9c" "ber Gitarre \xf0\x9f\x8e\xb8\"");
    QTest::newRow("CJK as UTF-8") << QStringLiteral("\u592a\u9f13") << QByteArray("\"\xe5\xa4\xaa\xe9\xbc\x93\"");
}

void SessionMetadataTest::escaping()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, written);

    const TrackTables tables = routeTracks({{name, "/x/take.wav", "0"}});
    const QByteArray bytes = sessionMetadata(tables.itemNames, tables.itemTrackNames, 0);

    const QByteArray namesMember = "    \"names\": [\n        " + written + "\n    ],\n";
    QVERIFY2(bytes.contains(namesMember), bytes.constData());

    const QJsonObject session = parse(bytes);
    QCOMPARE(stringsOf(session.value("names")), QStringList{name});
    QCOMPARE(stringsOf(session.value("files")), tables.itemTrackNames);
}

void SessionMetadataTest::lengths_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<double>("seconds");

    QTest::newRow("zero") << qint64(0) << 0.0;
    QTest::newRow("one frame") << qint64(1) << 1.0 / 48000.0;
    QTest::newRow("one second") << qint64(48000) << 1.0;
    QTest::newRow("10.5 seconds") << qint64(504000) << 10.5;
    QTest::newRow("three hours") << qint64(518400000) << 10800.0;
}

void SessionMetadataTest::lengths()
{
    QFETCH(qint64, length);
    QFETCH(double, seconds);

    const QByteArray bytes = sessionMetadata({"A"}, {"A"}, length);
    QVERIFY2(bytes.contains("    \"lengthSamples\": " + QByteArray::number(length) + ",\n"), bytes.constData());

    const QJsonObject session = parse(bytes);
    QCOMPARE(session.value("lengthSamples").toVariant().toLongLong(), length);
    QCOMPARE(session.value("lengthSeconds").toDouble(-1), seconds);
}

void SessionMetadataTest::unequalListsUseTheShorter()
{
    const QJsonObject longerNames = parse(sessionMetadata({"A", "B", "C"}, {"A", "B"}, 0));
    QCOMPARE(stringsOf(longerNames.value("names")), QStringList({"A", "B"}));
    QCOMPARE(stringsOf(longerNames.value("files")), QStringList({"A", "B"}));
    QCOMPARE(stringsOf(longerNames.value("mapping")), QStringList({"i.0", "i.1"}));

    const QJsonObject longerFiles = parse(sessionMetadata({"A"}, {"A", "B"}, 0));
    QCOMPARE(stringsOf(longerFiles.value("names")), QStringList({"A"}));
    QCOMPARE(stringsOf(longerFiles.value("files")), QStringList({"A"}));
    QCOMPARE(stringsOf(longerFiles.value("mapping")), QStringList({"i.0"}));
}

QTEST_GUILESS_MAIN(SessionMetadataTest)
#include "tst_sessionmetadata.moc"
