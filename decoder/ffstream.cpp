// Placeholder until the decoder lands.
#include "decoder/ffstream.h"
void initFFmpeg() {}
FFStream::FFStream(const QString &path, int rate) : file(path), sampleRate(rate), sampleStep(1.0 / rate) {}
FFStream::~FFStream() {}
bool FFStream::pump(SampleBuffer &) { active = false; return false; }
int FFStream::appendData(SampleBuffer &, const float *, int frames) { return frames; }
bool FFStream::flushSwr(SampleBuffer &) { return false; }
double FFStream::getPos() const { return position; }
void FFStream::clearFifo() {}
void FFStream::clearOverrun() {}
void FFStream::emptySwr() {}
void FFStream::iseek(double) {}
void FFStream::seek(double) {}
void FFStream::rewind() {}
int FFStream::io_read(void *, unsigned char *, int) { return AVERROR_EOF; }
int64_t FFStream::io_seek(void *, int64_t, int) { return 0; }
int64_t FFStream::readf(unsigned char *, int) { return AVERROR_EOF; }
int64_t FFStream::seekf(long long, int) { return 0; }
