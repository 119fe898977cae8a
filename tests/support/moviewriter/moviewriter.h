// A small QuickTime movie writer for test files that ffmpeg cannot make: unusual handlers, boxes
// away from the origin, empty tracks, odd sound time scales, damaged tables, sample descriptions
// that change along a track. Portable C++.
// Movies are built in memory: ftyp, mdat with every chunk, then moov.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace moviewriter {

using Bytes = std::vector<uint8_t>;

struct Chunk {
  Bytes data;
  uint32_t samples = 1;
  uint32_t description = 1;  // the stsd entry its samples use, from 1
};

struct Track {
  std::string handler = "vide";  // four characters
  uint32_t timeScale = 600;
  Bytes description;  // the first stsd entry (see videoDescription / soundDescription)
  std::vector<Bytes> moreDescriptions;  // entries 2, 3, ... for chunks that name them
  std::vector<std::pair<uint32_t, uint32_t>> stts;  // (count, duration)
  std::vector<std::pair<uint32_t, int32_t>> ctts;   // (count, composition offset); empty: none
  uint32_t constantSize = 0;   // stsz sample size; 0: `sizes` lists each sample
  std::vector<uint32_t> sizes;
  std::vector<Chunk> chunks;
  std::vector<uint32_t> sync;  // 1-based; empty: no stss (all sync)
  int32_t x = 0, y = 0;        // tkhd matrix translation
  std::vector<int32_t> matrix; // all nine tkhd matrix values instead (16.16, the last 2.30)
  uint32_t width = 0, height = 0;
  int16_t layer = 0;
  bool enabled = true;
  std::vector<std::pair<int64_t, int64_t>> edits;  // (duration, media time)
  bool damageStsc = false;     // writes a sample-to-chunk table that references chunk 0
};

struct Movie {
  uint32_t timeScale = 600;
  uint32_t duration = 0;  // 0: the longest track
  std::vector<Track> tracks;
};

Bytes videoDescription(const char* format, uint16_t width, uint16_t height, uint16_t depth);
Bytes soundDescription(const char* format, uint16_t channels, uint16_t bits, uint32_t rate);
// Version 1 adds samples per packet, bytes per packet, bytes per frame and bytes per sample.
Bytes soundDescriptionV1(const char* format, uint16_t channels, uint32_t rate, int16_t compressionId,
                         uint32_t framesPerPacket, uint32_t bytesPerPacket, uint32_t bytesPerFrame);
// 'mp4a' with an 'esds' carrying the AudioSpecificConfig (MPEG-4 audio, as .mp4 files hold it).
Bytes aacDescription(uint16_t channels, uint32_t rate, const Bytes& audioSpecificConfig);
// The raw packets of an ADTS stream (7-byte headers, no checksum: ffmpeg's), up to any damage.
std::vector<Bytes> adtsPackets(const Bytes& adts);
// Version 2 ('lpcm'): a double sample rate, bits per channel and the format flags.
Bytes soundDescriptionV2(uint32_t channels, double rate, uint32_t bits, uint32_t flags);
// An H.264 track from an Annex B stream of one slice per picture: each picture one sample
// (length-prefixed, its parameter sets and SEI with it), the pictures with an IDR slice sync
// samples, each `duration` long; 'avcC' holds the SPS and PPS of `header` (Annex B too).
Track h264Track(const Bytes& annexB, const Bytes& header, uint16_t width, uint16_t height,
                uint32_t timeScale, uint32_t duration);
Bytes write(const Movie& m);
bool save(const std::string& path, const Bytes& b);

}  // namespace moviewriter
