#pragma once

#include <QFile>
#include <QString>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

// Registers FFmpeg's components once per process.
void initFFmpeg();

// Interleaved 32-bit float frames, appended to by FFStream::pump.
using SampleBuffer = std::vector<float>;

// One open, decodable audio file, read only through our own I/O callbacks
// and converted to interleaved float at the requested rate.
class FFStream
{
public:
    static constexpr int kIoBufferSize = 262144;
    static constexpr int kOutBufferFloats = 131072;

    FFStream(const QString &path, int sampleRate);
    ~FFStream();

    FFStream(const FFStream &) = delete;
    FFStream &operator=(const FFStream &) = delete;

    // The validity test every user applies before touching the stream.
    bool isUsable() const { return valid && file.isOpen() && ioContext; }

    bool pump(SampleBuffer &buffer);
    // Whether the last pump call returned false because the input ended and
    // everything decoded has been delivered; false after a stop on errors.
    bool endedCleanly() const { return cleanEnd; }
    int appendData(SampleBuffer &buffer, const float *data, int frames);
    bool flushSwr(SampleBuffer &buffer);
    double getPos() const;
    void clearFifo();
    void clearOverrun();
    void emptySwr();
    void iseek(double seconds);
    void seek(double seconds);
    void rewind();

    static int io_read(void *opaque, unsigned char *buf, int size);
    static int64_t io_seek(void *opaque, int64_t offset, int whence);
    int64_t readf(unsigned char *buf, int size);
    int64_t seekf(long long offset, int whence);

    QFile file;
    AVIOContext *ioContext = nullptr;
    AVFormatContext *formatContext = nullptr;
    const AVCodec *codec = nullptr;
    AVCodecContext *codecContext = nullptr;
    SwrContext *swrContext = nullptr;
    int streamIndex = -1;
    AVFrame *frame = nullptr;
    int readErrorCount = 0;
    int channels = 0;
    QString name;
    int fifoPos = 0;
    int fifoCount = 0;
    double duration = -1.0;
    double position = 0.0;
    double sampleRate = 0.0;
    double sampleStep = 0.0;
    bool valid = false;
    bool active = true;
    float outBuffer[kOutBufferFloats];

private:
    enum class Received { AllFrames, DecodingError, ResamplingError };

    int room() const;
    Received receiveFrames(SampleBuffer &buffer, double *time, bool *decoded);
    bool convertFrame(SampleBuffer &buffer, int *frames);
    bool followRateChange(SampleBuffer &buffer, int *frames);
    bool softReadError();
    bool finishInput(SampleBuffer &buffer);
    int drainResampler(SampleBuffer &buffer);
    void clearNonFinite(int frames);
    void printInvalidFrame() const;

    // Reused for every read so that pump allocates no packet per call.
    AVPacket *packet = nullptr;
    // What the resampler was set up to take: frames of another format are refused,
    // another rate is followed.
    AVSampleFormat swrInputFormat = AV_SAMPLE_FMT_NONE;
    int swrInputRate = 0;
    // Set once the decoder has been sent the end of input; cleared by a seek.
    bool decoderDrained = false;
    // Set by the first read of the file that fails: what follows it is lost,
    // so the input can no longer end cleanly.
    bool readFailed = false;
    // How far the current run of failed packet reads has got in the input;
    // -1 after a successful read.
    int64_t failedReadsReached = -1;
    bool cleanEnd = false;
};
