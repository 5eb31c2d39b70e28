#include "export/exportresources.h"

#include "decoder/ffstream.h"

ExportResources::ExportResources() = default;

ExportResources::~ExportResources()
{
    releaseWriters();
    releaseSources();
}

int ExportResources::releaseWriters()
{
    int unfinished = -1;
    while (!trackWriters.empty()) {
        if (!trackWriters.back()->finish())
            unfinished = int(trackWriters.size()) - 1;
        trackWriters.pop_back();
    }
    return unfinished;
}

void ExportResources::releaseSources()
{
    while (!sourceStreams.empty())
        sourceStreams.pop_back();
}
