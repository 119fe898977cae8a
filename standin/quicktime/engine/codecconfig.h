// Codec configurations of the formats the operating system decodes for the runtime: H.264
// ('avcC' and its samples), MPEG-4 audio ('esds', AudioSpecificConfig), MPEG audio frame
// headers, and the colour a track's pictures are in ('colr', the H.264 VUI).
//
// Every parser reads only the bytes it is given and refuses what it cannot trust: invalidMedia
// for damaged bytes, cantFindHandler for well-formed data it does not support, paramErr for a
// null argument. On failure `why` names the structure and the rule that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qtengine.h"

namespace qte {

// What a 'colr' atom or an H.264 VUI says about the pictures; the numbers are the code points
// of ISO/IEC 23091-2 (1 BT.709, 5/6 BT.601, 2 unspecified ...).
struct ColourInfo {
  bool described = false;  // primaries, transfer and matrix below are stated
  uint16_t primaries = 2, transfer = 2, matrix = 2;
  bool rangeKnown = false;  // nclx and a VUI with video_signal_type say it; nclc does not
  bool fullRange = false;
};

struct AvcConfig {
  uint8_t profile = 0, compatibility = 0, level = 0;
  uint8_t nalLengthSize = 0;           // 1, 2 or 4
  uint32_t spsCount = 0, ppsCount = 0;
  std::vector<uint8_t> annexB;         // every SPS then every PPS, each behind 00 00 00 01
  bool hasHighTail = false;            // the High-profile fields below were stored
  uint8_t chromaFormat = 1, bitDepthLuma = 8, bitDepthChroma = 8;
  // From the first SPS (0 when there is none, as 'avc3' entries may have).
  uint32_t width = 0, height = 0;      // displayed, after frame cropping
  uint32_t codedWidth = 0, codedHeight = 0;  // whole macroblocks
  ColourInfo vui;
  const char* why = nullptr;
};

// Parses the payload of an 'avcC' atom.
Err parseAvcConfig(const uint8_t* data, size_t size, AvcConfig* out);

// An H.264 sequence parameter set (NAL header included, emulation prevention in) rewritten to
// say that its pictures are BT.601 in limited range, of square pixels: the VUI's
// video_signal_type is replaced and its aspect ratio dropped, or a VUI holding only the signal
// type is added; every other bit is kept. For a decoder that would otherwise convert pictures of
// another colour or shape itself (Wine's refuses pictures of non-square pixels): its pictures
// then are the stream's own, to be converted and scaled as the original and the track say.
// invalidMedia for an SPS that cannot be parsed.
Err avcSpsAsSquareBt601(const uint8_t* nal, size_t n, std::vector<uint8_t>& out);

struct HevcConfig {
  uint8_t nalLengthSize = 0;           // 1, 2 or 4
  uint32_t vpsCount = 0, spsCount = 0, ppsCount = 0;
  std::vector<uint8_t> annexB;         // every parameter set and SEI of the arrays, in their order,
                                       // each behind 00 00 00 01 ('hev1' may carry none)
  const char* why = nullptr;
};

// Parses the payload of an 'hvcC' atom (HEVC): its fixed fields and its arrays of NAL units.
Err parseHevcConfig(const uint8_t* data, size_t size, HevcConfig* out);

// Rewrites one length-prefixed access unit (H.264 or HEVC) with start codes into `out`, which
// grows only when too small (keep it between samples); *outBytes is the length written. A NAL length that runs
// past the sample, or a length field cut short, refuses the whole sample (invalidMedia). Empty
// NAL units are dropped.
Err avcSampleToAnnexB(const uint8_t* in, size_t n, uint32_t nalLengthSize, std::vector<uint8_t>& out,
                      size_t* outBytes);
// The VUI colour of a sequence parameter set carried in a sample of length-prefixed NAL units
// (ahead of its first slice): true with *vui when one says its range or colour. Cameras repeat
// their parameter sets with each key frame and may say the colour only there.
bool avcSampleColour(const uint8_t* sample, size_t n, uint32_t nalLengthSize, ColourInfo* vui);

enum : uint8_t {
  kObjectTypeAac = 0x40,           // MPEG-4 audio: the AudioSpecificConfig says which
  kObjectTypeMpeg2AacMain = 0x66,  // MPEG-2 AAC main, LC (0x67), SSR (0x68)
  kObjectTypeMpeg2AacSsr = 0x68,
  kObjectTypeMpeg2Audio = 0x69,    // MPEG-2 (part 3) layers I-III
  kObjectTypeMpeg1Audio = 0x6B,
};

struct EsDescriptor {
  uint16_t esId = 0;
  bool hasDependsOn = false, hasOcr = false;
  uint16_t dependsOnEsId = 0, ocrEsId = 0;
  uint8_t objectType = 0;  // objectTypeIndication
  uint8_t streamType = 0;  // 5 = audio
  uint32_t bufferSize = 0, maxBitrate = 0, avgBitrate = 0;
  std::vector<uint8_t> specificInfo;  // DecoderSpecificInfo (AudioSpecificConfig for AAC)
  bool isAac() const {
    return objectType == kObjectTypeAac || (objectType >= kObjectTypeMpeg2AacMain && objectType <= kObjectTypeMpeg2AacSsr);
  }
  bool isMpegAudio() const { return objectType == kObjectTypeMpeg1Audio || objectType == kObjectTypeMpeg2Audio; }
  const char* why = nullptr;
};

// Parses the payload of an 'esds' atom, its version and flags included; without `withInfo` the
// DecoderSpecificInfo is checked but not copied (nothing is allocated).
Err parseEsds(const uint8_t* data, size_t size, EsDescriptor* out, bool withInfo = true);

// kAudioChannelLabel_* values, as Extractor::channelLabels() reports them.
enum : uint32_t {
  kLabelLeft = 1, kLabelRight = 2, kLabelCenter = 3, kLabelLfe = 4, kLabelLeftSurround = 5,
  kLabelRightSurround = 6, kLabelLeftCenter = 7, kLabelRightCenter = 8, kLabelCenterSurround = 9,
  kLabelLeftSurroundDirect = 10, kLabelRightSurroundDirect = 11, kLabelVerticalHeightLeft = 13,
  kLabelVerticalHeightRight = 15, kLabelMono = 42,
};

// The speaker of a label as a WAVE channel mask names it (its SPEAKER_* bit: surround is the
// back pair, surround direct the side pair, as in 5.1 and 7.1), 0 for labels without one.
// Decoders deliver channels in the order of these bits.
uint32_t speakerOf(uint32_t label);

struct AacConfig {
  uint32_t objectType = 0;          // of the core: 2 for AAC-LC, also under SBR/PS
  uint32_t sampleRate = 0;          // of the core
  uint32_t outputRate = 0;          // what a decoder delivers: doubled by SBR when signalled
  uint32_t channelConfig = 0;       // 0: a program config element says
  uint32_t channels = 0;            // 0: unknown
  uint32_t frameLength = 0;         // core samples per frame (960 or 1024); 0 outside GA types
  bool sbr = false, ps = false;     // explicitly signalled (implicit SBR is found by decoding)
  std::vector<uint32_t> labels;     // the channels' speakers; empty when unknown
  const char* why = nullptr;
};

// Parses an AudioSpecificConfig (the DecoderSpecificInfo of an AAC 'esds').
Err parseAudioSpecificConfig(const uint8_t* data, size_t size, AacConfig* out);

struct MpegAudioHeader {
  uint32_t version = 0;   // 10 for MPEG-1, 20 for MPEG-2, 25 for MPEG-2.5
  uint32_t layer = 0;     // 1, 2, 3
  uint32_t sampleRate = 0, channels = 0, bitrate = 0;  // bitrate in bit/s; 0 for free format
  uint32_t samplesPerFrame = 0;
  uint32_t frameBytes = 0;  // header included; 0 for free format (found from the next sync)
  const char* why = nullptr;
};

// Parses the 4-byte MPEG audio frame header at data[0].
Err parseMpegAudioHeader(const uint8_t* data, size_t size, MpegAudioHeader* out);

// What the configuration of one of the other sound codecs says its decoder delivers.
struct SoundConfig {
  uint32_t sampleRate = 0, channels = 0;
  uint32_t bits = 0;              // of the stream's samples; 0 for codecs of no fixed precision
  uint32_t framesPerPacket = 0;   // 0: the configuration does not say
  std::vector<uint32_t> labels;   // the channels' speakers (any order); 0 for a speaker a mask lacks
  std::vector<uint8_t> config;    // what the decoder library takes as its configuration
  const char* why = nullptr;
};

// Opus: the payload of a 'dOps' atom; `config` is the OpusHead the library wants, its pre-skip
// 0 (a movie's edit list trims it).
Err parseOpusConfig(const uint8_t* data, size_t size, SoundConfig* out);
// FLAC: the payload of a 'dfLa' atom (version, flags, metadata blocks); `config` is its
// STREAMINFO block.
Err parseFlacConfig(const uint8_t* data, size_t size, SoundConfig* out);
// Apple Lossless: the payload of an 'alac' atom (version, flags, the 24-byte configuration);
// `config` is the whole 36-byte atom.
Err parseAlacConfig(const uint8_t* data, size_t size, SoundConfig* out);
// AC-3: the payload of a 'dac3' atom, or a frame from its sync word on.
Err parseAc3Config(const uint8_t* data, size_t size, SoundConfig* out);
Err parseAc3Frame(const uint8_t* data, size_t size, SoundConfig* out);
// E-AC-3: the payload of a 'dec3' atom; its first independent stream with its dependent ones.
Err parseEac3Config(const uint8_t* data, size_t size, SoundConfig* out);

// Parses the payload of a 'colr' atom: 'nclx' (ISO) or 'nclc' (QuickTime). ICC profiles are
// cantFindHandler.
Err parseColr(const uint8_t* data, size_t size, ColourInfo* out);
// The colour of a VP9 entry's 'vpcC' payload (version 1: the stream's codes and range).
Err parseVpcc(const uint8_t* data, size_t size, ColourInfo* out);

enum class YuvMatrix { bt601, bt709, bt2020 };
// How a picture's values are coded: SDR (BT.709/BT.601 gamma), or HDR (PQ, HLG), which the
// conversion to RGB tone-maps to SDR BT.709.
enum class YuvTransfer { sdr, pq, hlg };
enum class YuvPrimaries { bt709, bt601, bt2020 };
struct YuvColour {
  YuvMatrix matrix = YuvMatrix::bt601;
  bool fullRange = false;
  YuvTransfer transfer = YuvTransfer::sdr;
  YuvPrimaries primaries = YuvPrimaries::bt709;
};

// The conversion a track's pictures want: the matrix from 'colr' if it names one, else from the
// VUI, else BT.601 below 720 lines and BT.709 from 720 up; the range from 'nclx', else the VUI,
// else limited; the transfer and the primaries from 'colr', else the VUI, else SDR and the
// matrix's own primaries. Either source may be null.
YuvColour chooseColour(const ColourInfo* colr, const ColourInfo* vui, uint32_t height);

}  // namespace qte
