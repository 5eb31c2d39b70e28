#pragma once

#include "export/flactrackwriter.h"

#include <memory>
#include <vector>

class FFStream;

// What one export has opened: a stream per source file and a writer per track,
// in the order opened. Released in the one order that leaves complete files:
// the writers, last track first, then the sources, last first.
class ExportResources
{
public:
    ExportResources();
    ~ExportResources();

    ExportResources(const ExportResources &) = delete;
    ExportResources &operator=(const ExportResources &) = delete;

    // Completes every track file; returns the lowest track index whose file did
    // not reach the disk in full, or -1.
    int releaseWriters();
    void releaseSources();

    std::vector<std::unique_ptr<FFStream>> sourceStreams;
    std::vector<std::unique_ptr<FlacTrackWriter>> trackWriters;
};
