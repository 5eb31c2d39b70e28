#include "benchrun.h"

#include "benchinputs.h"
#include "exportchild.h"
#include "measuredprocess.h"
#include "referencework.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr double kTargetOursToFfmpeg = 0.9;
constexpr double kTargetOursToFloor = 1.15;
constexpr double kTargetMemoryGrowthMb = 20.0;
constexpr double kTargetLongestGapMs = 100.0;
// Resamplers may flush a few frames differently; a real fault loses far more.
constexpr double kLengthTolerance = 0.001;
constexpr qint64 kLengthSlackFrames = 64;

void say(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

double megabytes(long kb)
{
    return double(kb) / 1024.0;
}

struct ExportRun
{
    bool ok = false;
    ExportMeasurement measurement;
    long maxRssKb = 0;
    QString error;
};

class Bench
{
public:
    Bench(const BenchOptions &options, const QString &work)
        : options(options)
        , work(work)
        , log(QDir(work).filePath("runs.log"))
    {
    }

    bool measureSet(const QString &label, const QStringList &sources);
    bool measureMemory(const BenchInputs &inputs);
    int report();

private:
    struct SetFigures
    {
        QString label;
        int tracks = 0;
        double ours = std::numeric_limits<double>::max();
        double ffmpeg = std::numeric_limits<double>::max();
        double floor = std::numeric_limits<double>::max();
        double floorDecode = 0.0;
        double floorEncode = 0.0;
        double longestGapMs = 0.0;
        QString longestGapPlace;
        int eventPoints = 0;
    };
    struct MemoryFigure
    {
        QString label;
        long maxRssKb = 0;
        double longestGapMs = 0.0;
        QString longestGapPlace;
    };

    ExportRun runOurs(const QStringList &sources, const QString &sessionDir);
    bool checkOurOutput(const QString &sessionDir, const QString &ffmpegDir, int sourceCount);
    QString path(const QString &name) const { return QDir(work).filePath(name); }
    bool fail(const QString &message)
    {
        say("FAILED: " + message);
        return false;
    }

    BenchOptions options;
    QString work;
    QString log;
    QVector<SetFigures> sets;
    QVector<MemoryFigure> memory;
};

ExportRun Bench::runOurs(const QStringList &sources, const QString &sessionDir)
{
    ExportRun run;
    const QString result = path("export-result.txt");
    QFile::remove(result);
    const QStringList argv =
        QStringList{QCoreApplication::applicationFilePath(), "--export-child", sessionDir, result} + sources;
    const ProcessOutcome outcome = runMeasured(argv, log);
    run.maxRssKb = outcome.maxRssKb;
    if (!outcome.ok() || !readMeasurement(result, &run.measurement)) {
        run.error = "the export process did not complete\n" + logTail(log);
        return run;
    }
    if (!run.measurement.succeeded || run.measurement.boxTitles != QStringList{"Information"}) {
        run.error = QString("the export reported failure (message boxes: %1)\n%2")
                        .arg(run.measurement.boxTitles.join(", "), logTail(log));
        return run;
    }
    run.ok = true;
    return run;
}

// Our tracks must be intact FLAC of the same shape and length as the ffmpeg command's.
bool Bench::checkOurOutput(const QString &sessionDir, const QString &ffmpegDir, int sourceCount)
{
    const QDir session(sessionDir);
    if (!QFileInfo(session.filePath(".nelvorecsession")).isFile())
        return fail("no metadata file in " + sessionDir);
    const QStringList tracks = session.entryList({"*.flac"}, QDir::Files, QDir::Name);
    if (tracks.size() != sourceCount * kInputChannels)
        return fail(QString("%1 track files, expected %2").arg(tracks.size()).arg(sourceCount * kInputChannels));

    qint64 referenceLength = 0;
    for (int i = 0; i < sourceCount; ++i)
        referenceLength = std::max(
            referenceLength, TestSupport::metaflacInfo(referenceTrackPath(ffmpegDir, i, 0, ".flac")).totalSamples);
    const qint64 slack = std::max(kLengthSlackFrames, qint64(double(referenceLength) * kLengthTolerance));
    for (const QString &track : tracks) {
        const TestSupport::FlacInfo info = TestSupport::metaflacInfo(session.filePath(track));
        if (info.channels != 1 || info.sampleRate != 48000 || info.bitsPerSample != 24)
            return fail(QString("%1 is %2 ch / %3 Hz / %4 bit").arg(track).arg(info.channels).arg(info.sampleRate)
                            .arg(info.bitsPerSample));
        if (std::llabs(info.totalSamples - referenceLength) > slack)
            return fail(QString("%1 holds %2 frames, the ffmpeg command wrote %3")
                            .arg(track).arg(info.totalSamples).arg(referenceLength));
    }
    QString message;
    if (!TestSupport::flacTestPasses(session.filePath(tracks.first()), &message))
        return fail("flac -t rejects " + tracks.first() + ": " + message);
    return true;
}

bool Bench::measureSet(const QString &label, const QStringList &sources)
{
    SetFigures figures;
    figures.label = label;
    figures.tracks = int(sources.size()) * kInputChannels;
    say(QString("%1: %2 runs each of ours, the ffmpeg command and the floor").arg(label).arg(options.runs));
    for (int run = 0; run < options.runs; ++run) {
        const QString ffmpegDir = path("ffmpeg-out");
        const QString floorDir = path("floor-out");
        const QString sessionDir = path("session");
        QDir().mkpath(ffmpegDir);
        QDir().mkpath(floorDir);

        const ReferenceTiming ffmpeg = runFfmpegExport(sources, ffmpegDir, log);
        if (!ffmpeg.ok)
            return fail(ffmpeg.error);
        const ReferenceTiming floor = runFloor(sources, floorDir, log);
        if (!floor.ok)
            return fail(floor.error);
        QDir(floorDir).removeRecursively();

        const ExportRun ours = runOurs(sources, sessionDir);
        if (!ours.ok)
            return fail(ours.error);
        if (run == 0 && !checkOurOutput(sessionDir, ffmpegDir, int(sources.size())))
            return false;
        QDir(sessionDir).removeRecursively();
        QDir(ffmpegDir).removeRecursively();

        say(QString("  run %1: ours %2 s, ffmpeg %3 s, floor %4 s (decode %5 + flac %6), longest gap %7 ms %8")
                .arg(run + 1)
                .arg(ours.measurement.seconds, 0, 'f', 2)
                .arg(ffmpeg.seconds, 0, 'f', 2)
                .arg(floor.seconds, 0, 'f', 2)
                .arg(floor.decodeSeconds, 0, 'f', 2)
                .arg(floor.encodeSeconds, 0, 'f', 2)
                .arg(ours.measurement.longestGapMs, 0, 'f', 1)
                .arg(ours.measurement.longestGapPlace));
        figures.ours = std::min(figures.ours, ours.measurement.seconds);
        figures.ffmpeg = std::min(figures.ffmpeg, ffmpeg.seconds);
        if (floor.seconds < figures.floor) {
            figures.floor = floor.seconds;
            figures.floorDecode = floor.decodeSeconds;
            figures.floorEncode = floor.encodeSeconds;
        }
        if (ours.measurement.longestGapMs > figures.longestGapMs) {
            figures.longestGapMs = ours.measurement.longestGapMs;
            figures.longestGapPlace = ours.measurement.longestGapPlace;
        }
        figures.eventPoints = ours.measurement.eventPoints;
    }
    sets.append(figures);
    return true;
}

bool Bench::measureMemory(const BenchInputs &inputs)
{
    const QVector<QPair<QString, QStringList>> cases{
        {"empty export", {}},
        {QString("%1 min input").arg(options.memoryShortMinutes), {inputs.memoryShortFile}},
        {QString("%1 min input").arg(options.memoryLongMinutes), {inputs.memoryLongFile}},
    };
    say("peak memory: one export per case in a child process");
    for (const auto &memoryCase : cases) {
        const QString sessionDir = path("session");
        const ExportRun run = runOurs(memoryCase.second, sessionDir);
        QDir(sessionDir).removeRecursively();
        if (!run.ok)
            return fail(memoryCase.first + ": " + run.error);
        memory.append({memoryCase.first, run.maxRssKb, run.measurement.longestGapMs,
                       run.measurement.longestGapPlace});
    }
    return true;
}

QString verdict(bool met)
{
    return met ? "met" : "MISSED";
}

int Bench::report()
{
    int missed = 0;
    const auto check = [&missed](bool met) {
        missed += met ? 0 : 1;
        return verdict(met);
    };
    say("");
    say(QString("results (times: best of %1 runs; ours = the writeSession call)").arg(options.runs));
    double longestGap = 0.0;
    QString longestGapPlace;
    const auto noteGap = [&](double gapMs, const QString &place) {
        if (gapMs > longestGap) {
            longestGap = gapMs;
            longestGapPlace = place;
        }
    };
    for (const SetFigures &set : sets) {
        const double toFfmpeg = set.ours / set.ffmpeg;
        const double toFloor = set.ours / set.floor;
        say(QString("  %1 (%2 tracks): ours %3 s, ffmpeg %4 s, floor %5 s (decode+resample %6 s + flac -1 %7 s)")
                .arg(set.label).arg(set.tracks)
                .arg(set.ours, 0, 'f', 2).arg(set.ffmpeg, 0, 'f', 2).arg(set.floor, 0, 'f', 2)
                .arg(set.floorDecode, 0, 'f', 2).arg(set.floorEncode, 0, 'f', 2));
        say(QString("    ours/ffmpeg = %1 (target <= %2: %3)")
                .arg(toFfmpeg, 0, 'f', 3).arg(kTargetOursToFfmpeg).arg(check(toFfmpeg <= kTargetOursToFfmpeg)));
        say(QString("    ours/floor  = %1 (target <= %2: %3)")
                .arg(toFloor, 0, 'f', 3).arg(kTargetOursToFloor).arg(check(toFloor <= kTargetOursToFloor)));
        say(QString("    longest gap between event-processing points: %1 ms, %2 (%3 points in the last run)")
                .arg(set.longestGapMs, 0, 'f', 1).arg(set.longestGapPlace).arg(set.eventPoints));
        noteGap(set.longestGapMs, set.longestGapPlace);
    }
    if (!memory.isEmpty()) {
        const long base = memory.first().maxRssKb;
        say(QString("  peak memory (ru_maxrss of the export process):"));
        for (int i = 0; i < memory.size(); ++i) {
            const MemoryFigure &figure = memory[i];
            noteGap(figure.longestGapMs, figure.label + ", " + figure.longestGapPlace);
            if (i == 0) {
                say(QString("    %1: %2 MB").arg(figure.label).arg(megabytes(figure.maxRssKb), 0, 'f', 1));
                continue;
            }
            const double growth = megabytes(figure.maxRssKb - base);
            say(QString("    %1: %2 MB, %3 MB over the empty export (target <= %4 MB: %5)")
                    .arg(figure.label).arg(megabytes(figure.maxRssKb), 0, 'f', 1)
                    .arg(growth, 0, 'f', 1).arg(kTargetMemoryGrowthMb)
                    .arg(check(growth <= kTargetMemoryGrowthMb)));
        }
    }
    say(QString("  longest gap in any export: %1 ms, %2 (target <= %3 ms: %4)")
            .arg(longestGap, 0, 'f', 1).arg(longestGapPlace).arg(kTargetLongestGapMs)
            .arg(check(longestGap <= kTargetLongestGapMs)));
    say(missed == 0 ? "all targets met" : QString("%1 target(s) missed").arg(missed));
    return 0;
}

} // namespace

int runBenchmark(const BenchOptions &options)
{
    const QString base = options.workDir.isEmpty() ? QDir::tempPath() : options.workDir;
    QDir().mkpath(base);
    QTemporaryDir temp(QDir(base).filePath("nelvo-bench-XXXXXX"));
    if (!temp.isValid()) {
        say("FAILED: cannot make a work folder in " + base);
        return 1;
    }
    temp.setAutoRemove(!options.keep);
    if (options.keep)
        say("work folder (kept): " + temp.path());

    // The exports run headless and keep their settings away from the user's.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", QDir(temp.path()).filePath("config").toLocal8Bit());

    InputPlan plan;
    plan.wavSeconds = options.wavMinutes * 60.0;
    plan.mp3Seconds = options.mp3Minutes * 60.0;
    plan.memoryShortSeconds = options.memoryShortMinutes * 60.0;
    plan.memoryLongSeconds = options.memoryLongMinutes * 60.0;
    say(QString("making inputs: %1 stereo 44.1 kHz 16-bit WAV of %2 min, one stereo 44.1 kHz MP3 of %3 min, "
                "MP3 of %4 and %5 min for the memory figures")
            .arg(kWavFileCount).arg(options.wavMinutes).arg(options.mp3Minutes)
            .arg(options.memoryShortMinutes).arg(options.memoryLongMinutes));
    BenchInputs inputs;
    QString error;
    if (!makeBenchInputs(plan, temp.path(), &inputs, &error)) {
        say("FAILED: " + error);
        return 1;
    }

    Bench bench(options, temp.path());
    if (!bench.measureSet(QString("WAV set, %1 x %2 min").arg(kWavFileCount).arg(options.wavMinutes),
                          inputs.wavFiles)
        || !bench.measureSet(QString("MP3, %1 min").arg(options.mp3Minutes), {inputs.mp3File})
        || !bench.measureMemory(inputs))
        return 1;
    return bench.report();
}
