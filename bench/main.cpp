#include "benchrun.h"
#include "exportchild.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

int childMain(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: %s --export-child SESSION_DIR RESULT_FILE [SOURCE...]\n", argv[0]);
        return 2;
    }
    return runExportChild(args[2], args[3], args.mid(4));
}

bool positiveNumber(const QString &text, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && *value > 0.0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The bench re-invokes itself to run each export in a process of its own.
    if (argc > 1 && std::strcmp(argv[1], "--export-child") == 0)
        return childMain(argc, argv);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Times the session export against the ffmpeg command and the decode+flac floor, "
        "and measures its peak memory and event-processing gaps.");
    parser.addHelpOption();
    const QCommandLineOption runs("runs", "Runs per measurement; the best counts.", "n", "3");
    const QCommandLineOption wav("wav-minutes", "Length of each of the eight WAV inputs.", "minutes", "5");
    const QCommandLineOption mp3("mp3-minutes", "Length of the MP3 input.", "minutes", "30");
    const QCommandLineOption shortInput("memory-short-minutes", "Short input of the memory figures.", "minutes",
                                        "1");
    const QCommandLineOption longInput("memory-long-minutes", "Long input of the memory figures.", "minutes", "60");
    const QCommandLineOption workDir("work-dir", "Folder for the temporary inputs and outputs.", "dir");
    const QCommandLineOption keep("keep", "Keep the inputs and logs.");
    const QCommandLineOption smoke("smoke", "Tiny inputs and one run: checks the harness, measures nothing.");
    parser.addOptions({runs, wav, mp3, shortInput, longInput, workDir, keep, smoke});
    parser.process(app);

    BenchOptions options;
    options.workDir = parser.value(workDir);
    options.keep = parser.isSet(keep);
    options.smoke = parser.isSet(smoke);
    bool runsOk = false;
    options.runs = parser.value(runs).toInt(&runsOk);
    if (!runsOk || options.runs < 1
        || !positiveNumber(parser.value(wav), &options.wavMinutes)
        || !positiveNumber(parser.value(mp3), &options.mp3Minutes)
        || !positiveNumber(parser.value(shortInput), &options.memoryShortMinutes)
        || !positiveNumber(parser.value(longInput), &options.memoryLongMinutes)) {
        std::fprintf(stderr, "the run count and the lengths must be positive numbers\n");
        return 2;
    }
    if (options.smoke) {
        options.runs = 1;
        options.wavMinutes = 0.05;
        options.mp3Minutes = 0.1;
        options.memoryShortMinutes = 0.05;
        options.memoryLongMinutes = 0.2;
    }
    return runBenchmark(options);
}
