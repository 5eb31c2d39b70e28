#include "decoder/ffstream.h"

#include <QFileInfo>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kSoftReadErrorLimit = 99;
constexpr double kMicrosecondsPerSecond = 1000000.0;
// Well above any real recording (DSD1024 decodes at 5.6448 MHz); a damaged header
// claiming more would have the resampler build filters for seconds on end.
constexpr int kMaxInputSampleRate = 6144000;

void printLine(const char *format, const QByteArray &path)
{
    std::printf(format, path.constData());
    std::fflush(stdout);
}

// Playlists and concat lists name other files or URLs; we read only the file we were given.
int refuseNestedOpen(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

bool usableTag(const AVDictionaryEntry *entry)
{
    return entry && entry->value && entry->value[0] != '\0'
        && !QString::fromUtf8(entry->value).trimmed().isEmpty();
}

QString displayName(AVDictionary *metadata, const QString &path)
{
    const AVDictionaryEntry *artist = av_dict_get(metadata, "artist", nullptr, 0);
    const AVDictionaryEntry *title = av_dict_get(metadata, "title", nullptr, 0);
    QString name;
    if (usableTag(artist))
        name = QString::fromUtf8(artist->value);
    if (!name.isEmpty())
        name += QStringLiteral(" - ");
    if (usableTag(title)) {
        name += QString::fromUtf8(title->value);
    } else {
        const QString base = QFileInfo(path).completeBaseName().replace('_', ' ').trimmed();
        name += base.left(1).toUpper() + base.mid(1);
    }
    return name.trimmed();
}

// The decoder's layout when it names its channels; otherwise the container's when it
// agrees on the count, else FFmpeg's default for the count the decoder delivers.
// Counts without a named default keep their channels in order, unnamed, which the
// resampler passes through as they are.
void settleChannelLayout(AVCodecContext *context, const AVCodecParameters *parameters)
{
    if (context->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
        return;
    const int count = context->ch_layout.nb_channels > 0 ? context->ch_layout.nb_channels
                                                         : parameters->ch_layout.nb_channels;
    AVChannelLayout layout{};
    if (parameters->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC
        && parameters->ch_layout.nb_channels == count)
        av_channel_layout_copy(&layout, &parameters->ch_layout);
    else
        av_channel_layout_default(&layout, count);
    av_channel_layout_uninit(&context->ch_layout);
    context->ch_layout = layout;
}

// AV_TIME_BASE units, truncated toward zero; times beyond the 64-bit range are held at its ends.
int64_t seekTimestamp(double seconds)
{
    const double timestamp = std::trunc(seconds * AV_TIME_BASE);
    if (std::isnan(timestamp))
        return 0;
    if (timestamp <= double(INT64_MIN))
        return INT64_MIN;
    if (timestamp >= double(INT64_MAX))
        return INT64_MAX;
    return int64_t(timestamp);
}

bool acceptableInputRate(int rate)
{
    return rate >= 1 && rate <= kMaxInputSampleRate;
}

} // namespace

void initFFmpeg()
{
    static bool initialised = false;
    if (initialised)
        return;
    avformat_network_init();
    initialised = true;
}

FFStream::FFStream(const QString &path, int rate)
    : file(path), sampleRate(rate), sampleStep(1.0 / rate)
{
    const QByteArray utf8Path = path.toUtf8();

    if (!file.open(QIODevice::ReadOnly)) {
        printLine("player: couldn't open file %s\n", utf8Path);
        return;
    }

    auto *ioBuffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    if (!ioBuffer)
        return;
    ioContext = avio_alloc_context(ioBuffer, kIoBufferSize, 0, this, &FFStream::io_read, nullptr,
                                   &FFStream::io_seek);
    if (!ioContext) {
        av_free(ioBuffer);
        return;
    }

    formatContext = avformat_alloc_context();
    if (formatContext) {
        formatContext->pb = ioContext;
        formatContext->flags |= AVFMT_FLAG_CUSTOM_IO;
        formatContext->io_open = refuseNestedOpen;
        // Demuxers that open nested inputs with a context of their own inherit this list.
        av_opt_set(formatContext, "protocol_whitelist", "", 0);
    }
    if (!formatContext || avformat_open_input(&formatContext, "", nullptr, nullptr) != 0) {
        // FFmpeg may have replaced the buffer since we allocated it.
        av_freep(&ioContext->buffer);
        avio_context_free(&ioContext);
        printLine("player: couldn't open avstream %s\n", utf8Path);
        return;
    }

    if (avformat_find_stream_info(formatContext, nullptr) < 0) {
        printLine("player: couldn't find stream information for %s\n", utf8Path);
        return;
    }
    av_dump_format(formatContext, 0, utf8Path.constData(), 0);

    name = displayName(formatContext->metadata, path);
    duration = formatContext->duration / kMicrosecondsPerSecond;

    streamIndex = av_find_best_stream(formatContext, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (streamIndex < 0) {
        printLine("player: couldn't find audio stream in %s\n", utf8Path);
        return;
    }
    if (!codec) {
        printLine("player: couldn't find audio codec for %s\n", utf8Path);
        return;
    }
    const AVStream *stream = unsigned(streamIndex) < formatContext->nb_streams
        ? formatContext->streams[streamIndex] : nullptr;
    if (!stream || !stream->codecpar) {
        printLine("player: codec stream parameters not found for %s\n", utf8Path);
        return;
    }

    codecContext = avcodec_alloc_context3(codec);
    if (!codecContext || avcodec_parameters_to_context(codecContext, stream->codecpar) < 0) {
        printLine("player: couldn't open codec for %s\n", utf8Path);
        return;
    }
    codecContext->request_sample_fmt = AV_SAMPLE_FMT_FLT;
    // Only decoders that can downmix have this option; the others keep their channels.
    av_opt_set(codecContext, "downmix", "stereo", AV_OPT_SEARCH_CHILDREN);
    if (avcodec_open2(codecContext, codec, nullptr) < 0) {
        printLine("player: couldn't open codec for %s\n", utf8Path);
        return;
    }

    settleChannelLayout(codecContext, stream->codecpar);
    channels = codecContext->ch_layout.nb_channels;
    if (channels < 1) {
        // Nothing to divide the output area by: a stream without channels carries no audio.
        printLine("player: couldn't find audio stream in %s\n", utf8Path);
        return;
    }

    swrInputFormat = codecContext->sample_fmt;
    swrInputRate = codecContext->sample_rate;
    if (!acceptableInputRate(codecContext->sample_rate)
        || swr_alloc_set_opts2(&swrContext, &codecContext->ch_layout, AV_SAMPLE_FMT_FLT, int(sampleRate),
                            &codecContext->ch_layout, codecContext->sample_fmt,
                            codecContext->sample_rate, 0, nullptr) < 0
        || !swrContext || swr_init(swrContext) != 0) {
        printLine("player: unable to create software converter for %s\n", utf8Path);
        return;
    }

    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (!frame || !packet)
        return;
    valid = true;
}

FFStream::~FFStream()
{
    swr_free(&swrContext);
    avcodec_free_context(&codecContext);
    // Close the demuxer before its I/O context loses the buffer it may still touch.
    if (formatContext)
        avformat_close_input(&formatContext);
    if (ioContext) {
        // FFmpeg may have replaced the buffer since we allocated it.
        av_freep(&ioContext->buffer);
        avio_context_free(&ioContext);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (file.isOpen())
        file.close();
}

int FFStream::room() const
{
    return channels > 0 ? kOutBufferFloats / channels : 0;
}

void FFStream::printInvalidFrame() const
{
    printLine("player: invalid frame found in %s\n", file.fileName().toUtf8());
}

bool FFStream::pump(SampleBuffer &buffer)
{
    cleanEnd = false;
    if (!isUsable()) {
        active = false;
        return false;
    }

    const int read = av_read_frame(formatContext, packet);
    if (read < 0) {
        if (readFailed) {
            // Not the end of the file: the rest of it could not be read.
            active = false;
            return false;
        }
        if (read != AVERROR_EOF && !avio_feof(formatContext->pb))
            return softReadError();
        return finishInput(buffer);
    }
    readErrorCount = 0;
    failedReadsReached = -1;

    if (packet->stream_index != streamIndex || packet->size < 1) {
        av_packet_unref(packet);
        active = true;
        return true;
    }

    const AVRational timeBase = formatContext->streams[streamIndex]->time_base;
    double time = timeBase.den != 0 ? double(timeBase.num) * double(packet->dts) / timeBase.den : 0.0;
    bool decoded = false;

    int sent = avcodec_send_packet(codecContext, packet);
    Received received = Received::AllFrames;
    if (sent == AVERROR(EAGAIN)) {
        // The decoder holds output it has not handed over yet; take it, then offer the packet once more.
        received = receiveFrames(buffer, &time, &decoded);
        if (received == Received::AllFrames)
            sent = avcodec_send_packet(codecContext, packet);
    }
    av_packet_unref(packet);
    if (received == Received::AllFrames) {
        if (sent < 0) {
            printInvalidFrame();
            received = Received::DecodingError;
        } else {
            received = receiveFrames(buffer, &time, &decoded);
        }
    }

    if (received == Received::ResamplingError) {
        active = false;
        return false;
    }
    if (received == Received::AllFrames && decoded)
        position = time;
    active = true;
    return true;
}

// Takes every frame the decoder has ready and converts it.
FFStream::Received FFStream::receiveFrames(SampleBuffer &buffer, double *time, bool *decoded)
{
    for (;;) {
        const int got = avcodec_receive_frame(codecContext, frame);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
            return Received::AllFrames;
        // A frame whose shape changed would make the resampler read past its planes.
        if (got < 0 || frame->format != swrInputFormat || frame->ch_layout.nb_channels != channels
            || !acceptableInputRate(frame->sample_rate)) {
            av_frame_unref(frame);
            printInvalidFrame();
            return Received::DecodingError;
        }
        int frames = 0;
        const bool converted = (frame->sample_rate == swrInputRate || followRateChange(buffer, &frames))
            && convertFrame(buffer, &frames);
        av_frame_unref(frame);
        if (!converted)
            return Received::ResamplingError;
        if (time)
            *time += frames * sampleStep;
        if (decoded)
            *decoded = true;
    }
}

// Adds the frames it appends to *frames.
bool FFStream::convertFrame(SampleBuffer &buffer, int *frames)
{
    auto *out = reinterpret_cast<uint8_t *>(outBuffer);
    const auto **in = const_cast<const uint8_t **>(frame->extended_data);
    int n = swr_convert(swrContext, &out, room(), in, frame->nb_samples);
    while (n > 0) {
        clearNonFinite(n);
        *frames += appendData(buffer, outBuffer, n);
        // A full output area means the resampler kept input back; take the rest now.
        if (n < room())
            return true;
        n = swr_convert(swrContext, &out, room(), in, 0);
    }
    return n == 0;
}

// Streams may change their rate midway (joined MP3 files, for one). What the resampler
// holds from the old rate comes out first; then it takes the new rate from scratch.
bool FFStream::followRateChange(SampleBuffer &buffer, int *frames)
{
    auto *out = reinterpret_cast<uint8_t *>(outBuffer);
    int n = 0;
    while ((n = swr_convert(swrContext, &out, room(), nullptr, 0)) > 0) {
        clearNonFinite(n);
        *frames += appendData(buffer, outBuffer, n);
    }
    if (n < 0 || av_opt_set_int(swrContext, "in_sample_rate", frame->sample_rate, 0) < 0 || swr_init(swrContext) < 0)
        return false;
    swrInputRate = frame->sample_rate;
    return true;
}

// A damaged stretch that the demuxer reads through fails one read after
// another, each further on; only failures that get no further count toward
// the limit, so such a stretch never ends the stream early.
bool FFStream::softReadError()
{
    // A demuxer may seek past the end without reading: that is no way forward.
    const int64_t reached = std::min<int64_t>(avio_tell(formatContext->pb), file.size());
    if (failedReadsReached >= 0 && reached > failedReadsReached) {
        failedReadsReached = reached;
        readErrorCount = 0;
        return true;
    }
    failedReadsReached = std::max(failedReadsReached, reached);
    const bool retry = readErrorCount < kSoftReadErrorLimit;
    if (readErrorCount < INT_MAX)
        ++readErrorCount;
    return retry;
}

bool FFStream::finishInput(SampleBuffer &buffer)
{
    if (!decoderDrained && codecContext) {
        // What the decoder still holds comes before what the resampler holds.
        decoderDrained = true;
        const size_t before = buffer.size();
        if (avcodec_send_packet(codecContext, nullptr) >= 0
            && receiveFrames(buffer, nullptr, nullptr) == Received::ResamplingError) {
            active = false;
            return false;
        }
        if (buffer.size() > before) {
            active = true;
            return true;
        }
    }
    const int drained = drainResampler(buffer);
    active = drained > 0;
    cleanEnd = drained == 0;
    return active;
}

// One drain of the resampler into the buffer: the frames appended, or a
// negative error.
int FFStream::drainResampler(SampleBuffer &buffer)
{
    if (!swrContext)
        return 0;
    auto *out = reinterpret_cast<uint8_t *>(outBuffer);
    const int n = swr_convert(swrContext, &out, room(), nullptr, 0);
    if (n < 1)
        return n;
    clearNonFinite(n);
    return appendData(buffer, outBuffer, n);
}

// A damaged float stream can carry NaN or infinite samples, which the FLAC
// writer cannot represent; they become silence.
void FFStream::clearNonFinite(int frames)
{
    const int count = frames * channels;
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(outBuffer[i]))
            outBuffer[i] = 0.0f;
    }
}

int FFStream::appendData(SampleBuffer &buffer, const float *data, int frames)
{
    const size_t count = size_t(frames) * size_t(channels);
    buffer.insert(buffer.end(), data, data + count);
    return frames;
}

bool FFStream::flushSwr(SampleBuffer &buffer)
{
    return drainResampler(buffer) > 0;
}

double FFStream::getPos() const
{
    return position;
}

void FFStream::clearFifo()
{
    fifoPos = 0;
    fifoCount = 0;
}

void FFStream::clearOverrun()
{
    clearFifo();
}

void FFStream::emptySwr()
{
    if (!swrContext)
        return;
    auto *out = reinterpret_cast<uint8_t *>(outBuffer);
    swr_convert(swrContext, &out, room(), nullptr, 0);
    // A drained resampler keeps its filter history and would smear it over, and shift,
    // whatever comes next; it starts afresh instead.
    swr_init(swrContext);
}

void FFStream::iseek(double seconds)
{
    if (!isUsable())
        return;
    // A decoder that was sent the end of input accepts no packets until it is reset,
    // and a resampler that was drained would shift what follows.
    if (decoderDrained) {
        avcodec_flush_buffers(codecContext);
        swr_init(swrContext);
        decoderDrained = false;
    }
    av_seek_frame(formatContext, -1, seekTimestamp(seconds), 0);
}

void FFStream::seek(double seconds)
{
    emptySwr();
    clearFifo();
    if (!isUsable())
        return;
    // Like the resampler's pending output, what the decoder holds belongs before the seek.
    avcodec_flush_buffers(codecContext);
    decoderDrained = false;
    av_seek_frame(formatContext, -1, seekTimestamp(seconds), 0);
}

void FFStream::rewind()
{
    seek(0.0);
}

int FFStream::io_read(void *opaque, unsigned char *buf, int size)
{
    auto *self = static_cast<FFStream *>(opaque);
    return self ? int(self->readf(buf, size)) : AVERROR_EOF;
}

int64_t FFStream::io_seek(void *opaque, int64_t offset, int whence)
{
    auto *self = static_cast<FFStream *>(opaque);
    return self ? self->seekf(offset, whence) : 0;
}

int64_t FFStream::readf(unsigned char *buf, int size)
{
    if (!file.isOpen())
        return AVERROR_EOF;
    const qint64 count = file.read(reinterpret_cast<char *>(buf), size);
    if (count < 0) {
        // A failing disk or a vanished share: the file goes on, we just cannot read it.
        const int error = AVERROR(EIO);
        if (!readFailed) {
            char reason[AV_ERROR_MAX_STRING_SIZE] = {};
            av_strerror(error, reason, sizeof reason);
            std::printf("player: couldn't read %s: %s\n", file.fileName().toUtf8().constData(), reason);
            std::fflush(stdout);
        }
        readFailed = true;
        return error;
    }
    return count > 0 ? count : AVERROR_EOF;
}

int64_t FFStream::seekf(long long offset, int whence)
{
    if (!file.isOpen())
        return 0;
    switch (whence) {
    case SEEK_SET:
        file.seek(offset);
        return file.pos();
    case SEEK_CUR:
        file.seek(offset + file.pos());
        return file.pos();
    case SEEK_END:
        file.seek(offset + file.size());
        return file.pos();
    case AVSEEK_SIZE:
        return file.size();
    default:
        return file.pos();
    }
}
