#pragma once

#include <QString>

struct BenchOptions
{
    int runs = 3;
    double wavMinutes = 5.0;
    double mp3Minutes = 30.0;
    double memoryShortMinutes = 1.0;
    double memoryLongMinutes = 60.0;
    QString workDir;     // where the temporary folder goes; the system's temp folder if empty
    bool keep = false;   // leave inputs and logs behind
    bool smoke = false;  // tiny inputs, one run: proves the harness works, measures nothing
};

// Makes the inputs, times our export against the ffmpeg command and the
// decode+flac floor, measures peak memory and event gaps, and prints the figures.
// Returns 0 when every run completed and its output checked out.
int runBenchmark(const BenchOptions &options);
