#pragma once

// What every session shares: the decoder's output rate, the track list's limit
// and the shape of the files an export writes.
constexpr int kOutputRate = 48000;
constexpr int kTrackLimit = 22;
constexpr int kTrackBitsPerSample = 24;
constexpr int kFlacQualityOptionIndex = 1;
constexpr const char *kMetadataFileName = ".nelvorecsession";
constexpr const char *kTrackExtension = ".flac";
