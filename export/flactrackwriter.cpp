// Placeholder until the export lands.
#include "export/flactrackwriter.h"
#include <juce_audio_formats/juce_audio_formats.h>
struct FlacTrackWriter::Private { std::unique_ptr<juce::AudioFormatWriter> writer; };
std::unique_ptr<FlacTrackWriter> FlacTrackWriter::create(const QString &, CreateResult *r) { *r = CreateResult::NoStream; return nullptr; }
FlacTrackWriter::FlacTrackWriter(std::unique_ptr<Private> p) : d(std::move(p)) {}
FlacTrackWriter::~FlacTrackWriter() = default;
bool FlacTrackWriter::write(const float *, int) { return false; }
void FlacTrackWriter::flush() {}
bool FlacTrackWriter::finish() { return false; }
