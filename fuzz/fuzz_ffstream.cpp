// Arbitrary bytes as a dropped file: open, pump as the export does, destroy.
#include "decoder/ffstream.h"
#include "export/sessionformat.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <unistd.h>

namespace {

constexpr int kPumpCallLimit = 20000;
constexpr size_t kFillThreshold = 32767;

QString inputPath;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    av_log_set_level(AV_LOG_QUIET);
    initFFmpeg();
    inputPath = QDir::temp().filePath(QStringLiteral("nelvo-fuzz-%1.bin").arg(getpid()));
    std::atexit([] { QFile::remove(inputPath); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(QFile::encodeName(inputPath).constData(), "wb");
    if (!f)
        return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    if (!written)
        return 0;

    auto stream = std::make_unique<FFStream>(inputPath, kOutputRate);
    if (!stream->isUsable())
        return 0;
    const size_t nch = size_t(stream->channels > 0 ? stream->channels : 0);
    SampleBuffer buffer;
    int calls = 0;
    auto pumpOnce = [&] {
        const size_t before = buffer.size();
        const bool more = stream->pump(buffer);
        ++calls;
        const size_t added = buffer.size() - before;
        // Whole frames only: the export splits the buffer by the channel count.
        if (nch == 0 ? added != 0 : added % nch != 0)
            __builtin_trap();
        return more;
    };
    while (calls < kPumpCallLimit) {
        bool exhausted = false;
        while (buffer.size() <= kFillThreshold && calls < kPumpCallLimit) {
            if (!pumpOnce()) {
                pumpOnce();
                pumpOnce();
                exhausted = true;
                break;
            }
        }
        if (exhausted && buffer.empty())
            break;
        buffer.clear();
    }
    return 0;
}
