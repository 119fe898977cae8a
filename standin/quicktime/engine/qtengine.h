// The portable movie engine: reads QuickTime and ISO base media files, decodes the in-house
// codecs, draws movies into caller-owned pixel buffers and extracts their sound.
//
// This header is the whole contract for the stand-in's routines; each routine is meant to be a
// thin adapter over one call here. Nothing throws across it: every call that can fail returns a
// QuickTime error code (Err). Times are integers in the named time scale. Every object may be used
// from several threads at once; a Movie is immutable after open, and the objects holding state
// (Renderer, SoundDecoder, Extractor) each guard it with their own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qte {

using Err = int32_t;
enum : Err {
  noErr = 0,
  paramErr = -50,
  fnfErr = -43,
  permErr = -54,
  memFullErr = -108,
  badImageDescription = -2001,
  cantFindHandler = -2003,
  invalidMedia = -2008,
  invalidTrack = -2009,
  invalidMovie = -2010,
  invalidTime = -2015,
  maxSizeToGrowTooSmall = -2027,
  noMovieFound = -2048,
  badDataRefIndex = -2050,
};

using OSType = uint32_t;
constexpr OSType fourcc(const char (&s)[5]) {
  return (OSType(uint8_t(s[0])) << 24) | (OSType(uint8_t(s[1])) << 16) |
         (OSType(uint8_t(s[2])) << 8) | OSType(uint8_t(s[3]));
}

// Random-access bytes. Implementations must be safe to read from several threads at once.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly n bytes at off; paramErr/invalidMedia when outside the source.
  virtual Err read(uint64_t off, void* dst, size_t n) const = 0;
};
// A file opened read-only (fnfErr when missing, permErr when not readable).
Err openFileSource(const std::string& path, std::shared_ptr<ByteSource>& out);
// A copy of a memory buffer (fuzzing, tests).
std::shared_ptr<ByteSource> memorySource(const uint8_t* data, size_t n);

struct Rect {  // QuickTime order
  int32_t top = 0, left = 0, bottom = 0, right = 0;
  int32_t width() const { return right - left; }
  int32_t height() const { return bottom - top; }
};

struct Edit {
  int64_t duration = 0;   // movie time scale
  int64_t mediaTime = 0;  // media time scale; -1 for an empty edit
  int32_t rate = 0x10000; // 16.16
};

enum class Kind { video, sound, other };

// One entry of 'stsd'. `stored` holds the entry exactly as in the file (from its size field on);
// extension atoms after the fixed fields are kept raw and found with extension().
struct SampleDescription {
  Kind kind = Kind::other;  // of its track: 'raw ' is video or sound by it
  OSType format = 0;
  uint16_t dataRefIndex = 0;
  std::vector<uint8_t> stored;
  struct Atom { OSType type; uint32_t offset, size; };  // payload range inside `stored`
  std::vector<Atom> atoms;  // top-level extension atoms (and the children of 'wave')

  // Video fields.
  uint16_t width = 0, height = 0, depth = 0;
  int16_t colorTableId = -1;
  // Palettized depths: the entry's colour table or the default of its depth, 256 words
  // 0xFFRRGGBB; empty for other depths.
  std::vector<uint32_t> palette;
  // Sound fields as stored (version 0/1/2), plus what they mean.
  uint16_t soundVersion = 0, channels = 0, sampleSize = 0;
  int16_t compressionId = 0;
  uint16_t packetSize = 0;
  double sampleRate = 0;  // from the 16.16 field, or the version-2 double
  uint32_t samplesPerPacket = 0, bytesPerPacket = 0, bytesPerFrame = 0, bytesPerSample = 0;
  uint32_t lpcmFlags = 0;          // version 2: kAudioFormatFlag* bits
  uint32_t constBitsPerChannel = 0;  // version 2
  bool littleEndian = false;       // 'enda' atom set, or lpcm flags say so

  // Payload of the first atom of that type, or nullptr (size 0).
  const uint8_t* extension(OSType type, uint32_t* size) const;
};

// Immutable description of one track, plus its sample table.
class SampleTable;
// Why the engine refused a movie, dropped a track or stopped taking a track's samples: data that
// break a rule (damaged), what the engine does not do (unsupported) or a file it cannot read at
// all, the rule, and the track.
struct Reason {
  enum Kind : uint8_t { none, damaged, unsupported, unreadable };
  Kind kind = none;
  const char* rule = "";  // static text
  uint32_t track = 0;     // its place among the movie's 'trak' atoms, from 1; 0: the movie's
  bool empty() const { return kind == none; }
  // "damaged: track 2: 'tkhd' is cut short", "the file cannot be found"; empty for none.
  std::string text() const;
};

struct TrackInfo {
  uint32_t id = 0;
  OSType handler = 0;       // 'vide', 'soun', 'flsh', ...
  Kind kind = Kind::other;  // visual tracks are 'vide' and anything with a video description
  bool enabled = true;
  int16_t layer = 0;
  int32_t matrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
  int32_t width = 0, height = 0;  // tkhd track size
  // The matrix turns by quarter turns, mirrors or scales: drawing transforms the frames. Other
  // matrices place the track by their translation alone.
  bool transformed = false;
  Rect box;                 // the track's size through its matrix, in movie coordinates
  int64_t duration = 0;     // movie time scale (tkhd)
  std::vector<Edit> edits;  // empty: media plays from movie time 0
  uint32_t mediaTimeScale = 0;
  int64_t mediaDuration = 0;
  std::vector<SampleDescription> descriptions;
  // Why the track has fewer samples than its atoms say: none, its media elsewhere or without a
  // time scale (unsupported, damaged), or a movie fragment it could not take (damaged).
  Reason closed;
};

// Where GetMediaSample's answer is: `count` consecutive samples starting at `first` (0-based),
// same chunk, same description, same duration, `bytes` bytes at `offset` of the file.
struct SampleRun {
  uint64_t first = 0, count = 0;
  int64_t time = 0, durationEach = 0;  // media time of the first sample; each one's duration
  uint32_t description = 0;            // 1-based
  bool sync = true;
  uint64_t offset = 0, bytes = 0;
};

enum : uint32_t {
  nextTimeMediaSample = 1 << 0,
  nextTimeTrackEdit = 1 << 2,
  nextTimeSyncSample = 1 << 3,
  nextTimeEdgeOK = 1 << 14,
};

class Track {
 public:
  const TrackInfo& info() const { return info_; }
  // GetMediaSampleDescription: 1-based; badDataRefIndex outside the track's descriptions.
  Err description(uint32_t index, const SampleDescription** out) const;
  // Media sample count in QuickTime's counting (sound: sample frames, or packets for VBR).
  uint64_t sampleCount() const;
  // GetMediaSample: the samples at media `time`, at most maxSamples (0: no limit) and maxBytes
  // (0: no limit). maxSizeToGrowTooSmall when not even one fits; invalidTime outside the media.
  Err locate(int64_t time, uint64_t maxSamples, uint64_t maxBytes, SampleRun& run) const;
  // Reads a located run into dst (run.bytes long).
  Err read(const SampleRun& run, void* dst) const;
  // The start of the next sample after `time` (at it with nextTimeEdgeOK), -1 when none;
  // backward with rate < 0: the last before it (at it with nextTimeEdgeOK). Media time by
  // decoding order; and for the track, movie time through the edits, where a sample counts from
  // the first time at which it is shown (presentation order), edits and empty edits show nothing
  // but their own samples, and nextTimeTrackEdit adds the times an edit begins or ends or runs
  // out of samples. The movie time may be counted in another scale than the movie's.
  int64_t nextMediaTime(int64_t time, uint32_t flags, int32_t rate = 0x10000) const;
  int64_t nextTrackTime(int64_t movieTime, uint32_t flags, int32_t rate = 0x10000) const;
  int64_t nextTrackTime(int64_t time, uint32_t flags, int32_t rate, uint32_t scale) const;
  // Movie time -> media time through the edit list; false in an empty edit or past the end.
  bool movieToMedia(int64_t movieTime, int64_t* mediaTime) const;
  // The same with the movie time counted in another time scale (e.g. a sound sample rate).
  bool movieToMedia(int64_t time, uint32_t scale, int64_t* mediaTime) const;
  // Sample index at a media time and the sync sample at or before it.
  bool sampleAt(int64_t mediaTime, uint64_t* index) const;
  uint64_t syncAtOrBefore(uint64_t index) const;
  uint64_t syncAtOrAfter(uint64_t index) const;  // sampleCount() when none
  // Display order: the sample shown at a media time (its decoding time plus its composition
  // offset), a sample's display time, and the earliest display time of the track.
  bool shownAt(int64_t mediaTime, uint64_t* index) const;
  int64_t displayTime(uint64_t index) const;
  int64_t earliestDisplayTime() const;
  Err sampleLocation(uint64_t index, uint64_t* offset, uint32_t* size, uint32_t* desc) const;
  int64_t sampleTime(uint64_t index) const;  // media time of a sample's start
  uint32_t maxSampleBytes() const;            // largest sample (or packet, for frame-counted sound)

  Track(TrackInfo info, std::unique_ptr<SampleTable> table, std::shared_ptr<ByteSource> src,
        uint32_t movieTimeScale);
  ~Track();

 private:
  TrackInfo info_;
  std::unique_ptr<SampleTable> table_;
  std::shared_ptr<ByteSource> src_;
  uint32_t movieScale_;
};

class Movie {
 public:
  // noMovieFound without 'moov'; invalidMovie for a 'moov' that cannot be read. A missing or
  // damaged movie header, or a time scale of 0, gives the largest media time scale (or 600) and
  // the tracks' durations; a media time scale of 0, or media in another file, leaves that track
  // without samples. A damaged track is dropped: the movie is returned and `trackErr` tells the
  // first dropped track's error. A track whose data run past the end of the file keeps the
  // samples inside it and lasts as long as they do; such a movie lasts as long as its longest
  // track. Movie fragments ('moof') append to their tracks' tables. `reason` says why the movie
  // was refused or the first track dropped (a track closed early says it in its info).
  static Err open(std::shared_ptr<ByteSource> src, std::shared_ptr<Movie>& out, Err* trackErr,
                  Reason* reason = nullptr);
  static Err openFile(const std::string& path, std::shared_ptr<Movie>& out, Err* trackErr,
                      Reason* reason = nullptr);

  uint32_t timeScale() const { return timeScale_; }
  int64_t duration() const { return duration_; }
  Rect box() const { return box_; }  // union of the visual tracks' boxes
  size_t trackCount() const { return tracks_.size(); }
  const Track* track(size_t index) const;  // 0-based; nullptr outside
  OSType brand() const { return brand_; }   // 'qt  ', 'isom', ... or 'amr ' for raw AMR

 private:
  friend class MovieParser;
  uint32_t timeScale_ = 600;
  int64_t duration_ = 0;
  Rect box_;
  OSType brand_ = 0;
  std::vector<std::unique_ptr<Track>> tracks_;
  std::shared_ptr<ByteSource> src_;
};

// ---- Drawing -------------------------------------------------------------------------------

enum class PixelFormat { rgb555 = 16, bgr24 = 24, bgr0 = 32 };

struct PixelBuffer {  // caller-owned; top row first
  uint8_t* bits = nullptr;
  int32_t width = 0, height = 0;
  ptrdiff_t stride = 0;  // bytes from one row to the next
  PixelFormat format = PixelFormat::bgr24;
};

// True for the video formats the engine decodes ('raw ' and 'rle ' at 16, 24, 32 bits).
bool canDecodeVideo(const SampleDescription& d);

// Draws a movie's enabled visual tracks into a buffer. The buffer's origin is the movie box's
// top-left. Keeps each track's last decoded frame, so moving forward decodes only the new
// samples; a jump back or far ahead restarts from the preceding sync sample. Buffers are
// allocated by setBuffer/at the first frame of a track, never per frame. One mutex guards it.
class Renderer {
 public:
  explicit Renderer(std::shared_ptr<const Movie> movie);
  ~Renderer();
  Err setBuffer(const PixelBuffer& buf);
  // Draws at movie time (or a time in another scale). Tracks that cannot be decoded leave their
  // area as it was.
  Err draw(int64_t movieTime);
  Err draw(int64_t time, uint32_t scale);
  uint64_t samplesDecoded() const;  // over the renderer's life, all tracks

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// ---- Sound ---------------------------------------------------------------------------------

// Linear PCM layout (the parts of an AudioStreamBasicDescription the engine uses).
struct AudioFormat {
  double sampleRate = 44100;
  uint32_t channels = 2;
  uint32_t bits = 16;       // 8..32 for integers, 32 or 64 for float
  bool isFloat = false;
  bool isSigned = true;     // integers; 8-bit unsigned is offset binary
  bool bigEndian = false;
  bool interleaved = true;  // false: one buffer per channel
  bool operator==(const AudioFormat& o) const;
  uint32_t bytesPerSample() const { return bits / 8; }
  uint32_t bytesPerFrame() const { return interleaved ? bits / 8 * channels : bits / 8; }
  bool valid() const;
};

// The PCM a sound description decodes to, its real sample width (0 if unknown) and whether the
// engine decodes it. AAC and MPEG audio give what the system's decoders deliver (32-bit float,
// 16-bit integers) at the configuration's rate and channels; cantFindHandler for formats it
// refuses (AMR, ...) or an unusable configuration.
Err decodedFormat(const SampleDescription& d, AudioFormat* out, uint32_t* realBits);

// Decodes one sound track's samples into PCM (decodedFormat(), interleaved), from any frame.
// Compressed sound goes through the process's decoderFactory(), whose decoder is made at the
// first decode (cantFindHandler from decode() where the system has none).
class SoundDecoder {
 public:
  static Err create(const Track& track, std::unique_ptr<SoundDecoder>& out);
  ~SoundDecoder();
  const AudioFormat& format() const;
  // Channel labels (kAudioChannelLabel_*) of the decoded order when the codec says them.
  const std::vector<uint32_t>& labels() const;
  uint64_t totalFrames() const;  // in the media time scale's frames (sound: 1 per tick)
  // Decodes up to `frames` frames from media frame `at` into dst; *got is less at the end.
  Err decode(uint64_t at, uint32_t frames, void* dst, uint32_t* got);

 private:
  SoundDecoder();
  struct State;
  std::unique_ptr<State> s_;
};

// What an adaptive codec carries from one packet to the next (ima4 keeps its full-precision
// predictor while a packet header agrees with it). Reset (valid = false) after a seek.
struct CodecState {
  bool valid = false;
  int32_t predictor[32] = {}, index[32] = {};
};

// Decodes whole packets of raw codec bytes of `d` into PCM of decodedFormat(d) (the sound
// converter uses it for caller-fed buffers). `state` may be null for independent packets.
Err decodePackets(const SampleDescription& d, const uint8_t* in, size_t inBytes, void* out,
                  size_t outCap, uint32_t* framesOut, size_t* bytesUsed, CodecState* state = nullptr);

// Converts between linear PCM formats: integer and float 8..32 bits (and 64-bit float input),
// either endianness, interleaved or not, channel mapping by layout (mono fans out to the front
// pair, wider sources fold down by averaging into the narrower layout's channels), and
// sample-rate conversion by linear interpolation between neighbouring input frames. Integer to
// integer of the same rate and channels is exact (narrowing truncates, as ffmpeg does); anything
// computed rounds to nearest and clips. State (the last input frame and the phase) carries over
// between calls so that a stream converts seamlessly in pieces.
class Converter {
 public:
  Err setFormats(const AudioFormat& in, const AudioFormat& out);
  void reset();
  // Converts inFrames frames; in/out are arrays of planes (one for interleaved). Returns the
  // frames used and made; stops when the output is full.
  Err convert(const void* const* in, uint32_t inFrames, void* const* out, uint32_t outCap,
              uint32_t* inUsed, uint32_t* outMade);
  const AudioFormat& input() const { return in_; }
  const AudioFormat& output() const { return out_; }

 private:
  AudioFormat in_, out_;
  double phase_ = 0;    // position of the next output frame after prev_, in input frames
  bool havePrev_ = false;
  bool exact_ = false;   // integer to integer, same channels and rate: shifts only
  bool identity_ = false;  // channels map one to one
  bool resample_ = false;
  // Straight runs of one format to another with the same result as the general loops, chosen
  // by setFormats: the common ones of every extraction and sound conversion.
  enum class Kernel { none, copy, swap16, s16ToF32, f32ToS16, f32ToS32 };
  Kernel kernel_ = Kernel::none;
  double step_ = 1;      // input frames per output frame
  double prev_[32] = {};
  float mix_[32 * 32] = {};  // out x in weights
};

// Mixes the enabled sound tracks of a movie into one stream over the movie's duration (silence
// where none plays; tracks the engine cannot decode are silent too). Defaults: 32-bit float, non-interleaved, the highest source rate; channels
// as described at allChannelsDiscrete. One mutex guards it.
class Extractor {
 public:
  static Err create(std::shared_ptr<const Movie> movie, std::unique_ptr<Extractor>& out);
  ~Extractor();
  // 'disc': sum of the sources' channels in track order instead of the widest source's layout.
  Err setAllChannelsDiscrete(bool on);
  AudioFormat format() const;               // 'asbd' get
  Err setFormat(const AudioFormat& f);      // 'asbd' set; paramErr below 1 kHz
  uint32_t maxSampleSize() const;           // 'mssz'
  // 'clay': AudioChannelLayout tags per channel (kAudioChannelLabel_*), output order.
  std::vector<uint32_t> channelLabels() const;
  Err setTime(int64_t time, uint32_t scale);  // 'time'; negative clamps to 0
  int64_t positionFrames() const;
  // Fills up to `frames` frames into the planes (format() layout). *done is set with the last.
  Err fill(void* const* planes, uint32_t frames, uint32_t* got, bool* done);

 private:
  Extractor();
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace qte
