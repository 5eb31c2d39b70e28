#pragma once

#include <QString>

#include <memory>

// One mono 48 kHz 24-bit FLAC track file. Keeps JUCE out of every header so
// its identifiers never meet Qt's keywords.
class FlacTrackWriter
{
public:
    enum class CreateResult { Created, NoStream, NoWriter };

    // Creates the file at path. On NoWriter the half-made file has been removed.
    static std::unique_ptr<FlacTrackWriter> create(const QString &path, CreateResult *result);

    ~FlacTrackWriter();

    // Appends frames; false once anything failed to reach the file.
    bool write(const float *samples, int frames);
    void flush();

    // Completes the file (as destruction would) and says whether every byte,
    // the final header included, reached it. Later calls return the same answer.
    bool finish();

private:
    struct Private;
    explicit FlacTrackWriter(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
