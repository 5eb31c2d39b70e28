#include "export/flactrackwriter.h"

#include "export/sessionformat.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>

namespace {

constexpr size_t kOutputBufferBytes = 32768;

// The FLAC writer ignores what its stream reports when it rewrites the header
// and flushes on completion, and FileOutputStream drops the result of writing
// out its buffer on flush and seek. This stream sees every one of those calls
// and remembers any failure, so a track that did not reach the disk in full
// is never taken for a finished one.
class RecordingOutputStream : public juce::OutputStream
{
public:
    RecordingOutputStream(std::unique_ptr<juce::FileOutputStream> target, bool &failed)
        : target(std::move(target)), failed(failed)
    {
    }

    juce::File file() const { return target->getFile(); }

    ~RecordingOutputStream() override
    {
        const juce::File written = target->getFile();
        // Writes out the buffer and closes the file; it keeps no error of its own.
        target.reset();
        if (written.getSize() < furthestPosition)
            failed = true;
    }

    // The file stream's own flush also syncs the file to the disk, on the main
    // thread: a pause of up to a few hundred milliseconds per track. The buffer
    // goes out when the file is closed, the size check above tells whether it
    // arrived, and the export syncs the finished files beside the event loop.
    void flush() override { noteStatus(); }

    bool setPosition(juce::int64 newPosition) override
    {
        const bool ok = target->setPosition(newPosition);
        if (!ok)
            failed = true;
        noteStatus();
        return ok;
    }

    juce::int64 getPosition() override { return target->getPosition(); }

    bool write(const void *data, size_t numBytes) override
    {
        const bool ok = target->write(data, numBytes);
        if (!ok)
            failed = true;
        furthestPosition = std::max(furthestPosition, target->getPosition());
        noteStatus();
        return ok;
    }

private:
    void noteStatus()
    {
        if (target->getStatus().failed())
            failed = true;
    }

    std::unique_ptr<juce::FileOutputStream> target;
    bool &failed;
    juce::int64 furthestPosition = 0;
};

} // namespace

struct FlacTrackWriter::Private
{
    // Declared before the writer, which owns the stream that refers to it.
    bool streamFailed = false;
    bool writeFailed = false;
    std::unique_ptr<juce::AudioFormatWriter> writer;
};

std::unique_ptr<FlacTrackWriter> FlacTrackWriter::create(const QString &path, CreateResult *result)
{
    const juce::File file(juce::String::fromUTF8(path.toUtf8().constData(), -1));
    std::unique_ptr<juce::FileOutputStream> fileStream = file.createOutputStream(kOutputBufferBytes);
    if (!fileStream) {
        *result = CreateResult::NoStream;
        return nullptr;
    }

    auto d = std::make_unique<Private>();
    auto stream = std::make_unique<RecordingOutputStream>(std::move(fileStream), d->streamFailed);
    juce::FlacAudioFormat format;
    juce::AudioFormatWriter *writer = format.createWriterFor(
        stream.get(), double(kOutputRate), 1, kTrackBitsPerSample, juce::StringPairArray(true),
        kFlacQualityOptionIndex);
    if (!writer) {
        const juce::File halfMade = stream->file();
        stream.reset();
        halfMade.deleteFile();
        *result = CreateResult::NoWriter;
        return nullptr;
    }
    stream.release(); // the writer owns it now
    d->writer.reset(writer);
    *result = CreateResult::Created;
    return std::unique_ptr<FlacTrackWriter>(new FlacTrackWriter(std::move(d)));
}

FlacTrackWriter::FlacTrackWriter(std::unique_ptr<Private> d)
    : d(std::move(d))
{
}

FlacTrackWriter::~FlacTrackWriter()
{
    finish();
}

bool FlacTrackWriter::write(const float *samples, int frames)
{
    if (!d->writer)
        return false;
    const float *channels[] = {samples};
    if (!d->writer->writeFromFloatArrays(channels, 1, frames))
        d->writeFailed = true;
    return !d->writeFailed && !d->streamFailed;
}

void FlacTrackWriter::flush()
{
    if (d->writer)
        d->writer->flush();
}

bool FlacTrackWriter::finish()
{
    // Destroying the writer completes the FLAC stream and closes the file.
    d->writer.reset();
    return !d->writeFailed && !d->streamFailed;
}
