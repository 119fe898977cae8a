// The operating system's decoders, as the engine sees them. The engine does the container work:
// which samples, in which order, with which configuration; a decoder gets one access unit or
// packet at a time and gives back pictures in display order or PCM. The runtime's Windows side
// implements the factory with Media Foundation transforms, DMOs and WIC; natively a checking
// decoder stands in, which only validates what it is given (the fuzzer and the sanitizer tests
// reach every configuration parser and the decode-order logic through it).
//
// A decoder is used by one thread at a time (the engine object that owns it holds its lock);
// decoders of different tracks run at once. Nothing here allocates per frame or per packet once
// a decoder is made.
#pragma once

#include <memory>
#include <vector>

#include "codecconfig.h"
#include "codecs.h"
#include "picturepool.h"
#include "yuv.h"

namespace qte {

// What a video track's description says a decoder needs.
struct VideoCodec {
  CodecId id = CodecId::unknown;
  OSType format = 0;                // the description's: 'avc1', 'avc3', 'hvc1', 'jpeg', ...
  uint32_t width = 0, height = 0;   // the pictures' displayed size (H.264: after the SPS's crop)
  uint32_t nalLengthSize = 0;       // H.264, HEVC: the samples' NAL length prefix (1, 2, 4)
  std::vector<uint8_t> header;      // H.264, HEVC: the parameter sets in Annex B form;
                                    // MPEG-4 part 2: its decoder configuration
  std::vector<uint8_t> config;      // what the decoder library takes as its configuration
                                    // (its extradata) for codecs without a header
  uint16_t depth = 0;               // the description's bits per pixel (the classic codecs')
  std::vector<uint32_t> palette;    // the entry's colours for 8-bit pictures (kCodecEntryPalette)
  YuvColour colour;                 // how its YUV pictures become RGB
};

// The codec a video description asks for, configured: cantFindHandler for one the engine draws
// itself (canDecodeVideo) or does not know, invalidMedia with `why` for a configuration that
// cannot be trusted.
Err videoCodecOf(const SampleDescription& d, VideoCodec* out, const char** why = nullptr);

// Pictures that are not planar YUV, as decoders deliver them: packed rows (the channels in the
// order named, 16-bit ones in the byte order named), 8-bit palette indices, grey, or planar
// G, B, R (planes 0, 1, 2). Alpha is ignored: movies are drawn opaque.
enum class RgbLayout : uint8_t {
  bgr24, rgb24, bgra, rgba, argb, abgr,
  rgb555le, rgb555be, rgb565le, rgb565be,
  pal8,                 // plane 0: indices; `palette`: 256 words 0xAARRGGBB
  gray8, gray16le, gray16be, ya8, ya16be,
  rgb48le, rgb48be, rgba64le, rgba64be,
  monoWhite, monoBlack,  // a bit per pixel, the first in the high bit; 1 is black / white
  gbrp, gbrp16le,        // planar; 16-bit words of `depth` bits
};

// A decoded picture: YUV of any depth and subsampling, or RGB in one of the layouts above (what
// WIC gives for JPEG, what PNG and the classic QuickTime codecs decode to).
struct Picture {
  bool packed = false;
  YuvPicture yuv;                   // !packed
  RgbLayout rgb = RgbLayout::bgr24; // packed
  const uint8_t* planes[3] = {};    // packed: rows top first
  ptrdiff_t strides[3] = {};
  const uint32_t* palette = nullptr;
  uint8_t depth = 8;                // gbrp16le: bits per sample
  int32_t width = 0, height = 0;    // packed: the picture's size
  int64_t time = 0;                 // the time tag of the sample it shows
  // A decoder that converts its pictures to another colour than the stream's says which.
  bool ownColour = false;
  YuvColour colour;
  // The planes stay valid while a copy of the picture holds them, after its decoder too.
  PictureHold hold;
};

class VideoDecoder {
 public:
  virtual ~VideoDecoder() = default;
  // One access unit with its time tag (never negative; tags increase in display order). H.264
  // comes in Annex B form, the codec's header in front of the first unit after creation. An
  // error refuses that unit only: the stream goes on with the next.
  virtual Err send(const uint8_t* data, size_t size, int64_t time) = 0;
  // The next picture in display order when one is ready (*got), holding its planes (a
  // PicturePool's slot): the engine draws one while it decodes the next ones ahead, and may let
  // the decoder go before the picture.
  virtual Err receive(Picture* out, bool* got) = 0;
  // No more input: what the decoder still holds comes out through receive().
  virtual Err drain() = 0;
  // Back to where a new decoder starts (what it holds is dropped; the pictures it gave stay
  // valid), to take a sync sample with the codec's header next, even after drain(): false when
  // it cannot, and the engine makes a new one (which costs threads and memory each time).
  virtual bool restart() { return false; }
};

// What a sound track's description says a decoder needs.
struct AudioCodec {
  CodecId id = CodecId::unknown;
  OSType format = 0;                // the description's: 'mp4a', '.mp3', 'ms\0\x55', ...
  uint32_t layer = 0;               // MPEG audio: 1, 2 or 3 (0 while unknown)
  const char* library = nullptr;    // the decoder library's decoder when not the table's
  uint32_t blockAlign = 0;          // bytes per packet, for the codecs of fixed packets
  uint32_t bitsPerSample = 0;       // as the entry says, for the codecs that read it
  uint32_t sourceBits = 0;          // the precision of the stream's samples; 0: the output's
  uint32_t sampleRate = 0;          // of the decoded sound (AAC with SBR: its output rate)
  uint32_t channels = 0;
  uint32_t framesPerPacket = 0;     // decoded frames per packet (AAC-LC 1024, MP3 1152, ...)
  // Channel labels (kLabel*) in the decoded order: decoders deliver channels by speaker position
  // (L R C LFE Ls Rs ..., the order of a WAVE channel mask), whatever the stream's order.
  std::vector<uint32_t> labels;
  std::vector<uint8_t> config;      // AAC: the AudioSpecificConfig
  // What the decoder delivers: interleaved 32-bit float for AAC, 16-bit integers for MPEG audio.
  AudioFormat output;
};

// The codec a sound description asks for. Rate, channels and layout come from the configuration
// (AAC: the 'esds', also inside 'wave'; MPEG audio and AC-3 without a 'dac3': the first packet's
// frame header when given; 'dOps', 'dfLa', 'alac', 'dac3', 'dec3'), not from the sample entry,
// and labels are in the speakers' order. cantFindHandler for formats the engine does not
// configure.
Err audioCodecOf(const SampleDescription& d, const uint8_t* firstPacket, size_t firstPacketBytes,
                 AudioCodec* out, const char** why = nullptr);
// The sound formats a decoder plays (AAC, MPEG audio ...), configured or not: not the engine's.
bool decoderDecodesSound(const SampleDescription& d);
// The atom that configures a sound codec's decoder ('esds', 'dOps', 'dfLa' ...); 0 for none.
OSType soundConfigurationAtom(CodecId id);

class AudioDecoder {
 public:
  virtual ~AudioDecoder() = default;
  // One compressed packet. An error refuses that packet only (its sound is silence).
  virtual Err send(const uint8_t* packet, size_t size) = 0;
  // Up to `capacity` decoded frames in codec.output's format; *frames = 0 when it needs input.
  virtual Err receive(void* out, uint32_t capacity, uint32_t* frames) = 0;
  // No more input: what the decoder still holds comes out through receive().
  virtual Err drain() = 0;
};

class DecoderFactory {
 public:
  virtual ~DecoderFactory() = default;
  // cantFindHandler when it has no decoder for the codec.
  virtual Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) = 0;
  virtual Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) = 0;
};

// Decoders from several sources tried in order: the first factory that makes a decoder for a
// codec wins; when none does, the first error other than cantFindHandler is the answer (a
// source that took the codec and failed), else cantFindHandler. Its factories must outlive it.
class DecoderChain final : public DecoderFactory {
 public:
  explicit DecoderChain(std::vector<DecoderFactory*> factories) : factories_(std::move(factories)) {}
  Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) override;
  Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) override;

 private:
  std::vector<DecoderFactory*> factories_;
};

// The process's decoders (a chain, for the runtime: its library's, then the system's): the
// runtime installs them when it loads; null (the default) leaves every compressed track
// undecoded. The factory must outlive every engine object.
void setDecoderFactory(DecoderFactory* factory);
DecoderFactory* decoderFactory();

// The checking decoders: they validate their input (H.264 start codes and NAL units, packets
// that are not empty) and deliver grey pictures in display order after a reorder delay, and
// silence, in the codec's formats.
DecoderFactory* checkingDecoderFactory();

}  // namespace qte
