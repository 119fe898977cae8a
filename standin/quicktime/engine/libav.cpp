// The decoder library's video and sound decoders behind the engine's interfaces.
#include "libav.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace qte {

namespace {

constexpr unsigned kMaxThreads = 16;
constexpr size_t kFirstPacketBytes = 256 << 10;

bool LibavUsable(const LibavFunctions& f) {
#define QTE_LIBAV_PRESENT(name) \
  if (!f.name) return false;
  QTE_LIBAV_FUNCTIONS(QTE_LIBAV_PRESENT)
#undef QTE_LIBAV_PRESENT
  // The headers' major versions, and no older than them: the fields this code reads are there
  // (a minor version only adds).
  const unsigned codec = f.avcodec_version(), util = f.avutil_version();
  return codec >> 16 == LIBAVCODEC_VERSION_MAJOR && codec >= LIBAVCODEC_VERSION_INT &&
         util >> 16 == LIBAVUTIL_VERSION_MAJOR && util >= LIBAVUTIL_VERSION_INT;
}

// One decoder context with the packet it sends from and a pool for the packets' bytes (the
// library keeps its own reference to each, so that a pool buffer is only reused once it let go).
class Context {
 public:
  explicit Context(const LibavFunctions& f) : f_(f) {}
  ~Context() {
    if (packet_) f_.av_packet_free(&packet_);
    if (ctx_) f_.avcodec_free_context(&ctx_);
    if (pool_) f_.av_buffer_pool_uninit(&pool_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // The context of the codec's decoder with its configuration; cantFindHandler without one.
  Err make(const char* name, const std::vector<uint8_t>& config, bool threads,
           void (*setUp)(AVCodecContext*, const void*), const void* codec) {
    const AVCodec* c = name ? f_.avcodec_find_decoder_by_name(name) : nullptr;
    if (!c) return cantFindHandler;
    if (!(ctx_ = f_.avcodec_alloc_context3(c)) || !(packet_ = f_.av_packet_alloc())) return memFullErr;
    if (!config.empty()) {
      if (config.size() > (1u << 24)) return invalidMedia;
      ctx_->extradata = static_cast<uint8_t*>(f_.av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!ctx_->extradata) return memFullErr;
      std::memcpy(ctx_->extradata, config.data(), config.size());
      ctx_->extradata_size = int(config.size());
    }
    if (threads) {
      ctx_->thread_count = int(std::min(kMaxThreads, std::max(1u, std::thread::hardware_concurrency())));
      ctx_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    setUp(ctx_, codec);
    return f_.avcodec_open2(ctx_, c, nullptr) < 0 ? invalidMedia : noErr;
  }

  // Sends the bytes (copied into a pool buffer with the library's padding); EAGAIN-held when
  // the decoder wants its output read first: held() says so, resend() tries again.
  Err send(const uint8_t* data, size_t size, int64_t time, int flags = 0) {
    if (held_ || size == 0 || size > (1u << 30)) return paramErr;
    if (!pool_ || poolBytes_ < size + AV_INPUT_BUFFER_PADDING_SIZE) {
      // A larger sample: a pool of larger buffers (the old one goes once its buffers return).
      if (pool_) f_.av_buffer_pool_uninit(&pool_);
      poolBytes_ = std::max(std::max(kFirstPacketBytes, poolBytes_ * 2), size + AV_INPUT_BUFFER_PADDING_SIZE);
      if (!(pool_ = f_.av_buffer_pool_init(poolBytes_, nullptr))) return memFullErr;
    }
    AVBufferRef* buf = f_.av_buffer_pool_get(pool_);
    if (!buf) return memFullErr;
    std::memcpy(buf->data, data, size);
    std::memset(buf->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->buf = buf;
    packet_->data = buf->data;
    packet_->size = int(size);
    packet_->pts = time;
    packet_->dts = AV_NOPTS_VALUE;
    packet_->flags = flags;
    return resend();
  }
  Err resend() {
    const int r = f_.avcodec_send_packet(ctx_, packet_);
    held_ = r == AVERROR(EAGAIN);
    if (held_) return noErr;
    f_.av_packet_unref(packet_);
    return r < 0 ? invalidMedia : noErr;
  }
  bool held() const { return held_; }
  // No more input (once a held packet went): what the decoder holds comes out.
  Err flush() {
    if (held_ || flushed_) return noErr;
    flushed_ = true;
    const int r = f_.avcodec_send_packet(ctx_, nullptr);
    return r < 0 && r != AVERROR_EOF ? invalidMedia : noErr;
  }
  bool flushWanted = false;
  // Forgets the packets and frames it holds, and the end of the stream.
  void restart() {
    f_.avcodec_flush_buffers(ctx_);
    if (held_) f_.av_packet_unref(packet_);
    held_ = flushed_ = flushWanted = false;
  }

  // The next frame into `frame`: 1 with one, 0 when it needs input or has ended. A held
  // packet goes in, and the flush after it, as soon as the decoder takes them.
  int receive(AVFrame* frame) {
    for (int tries = 0; tries < 64; ++tries) {
      const int r = f_.avcodec_receive_frame(ctx_, frame);
      if (r == 0) return 1;
      if (r == AVERROR_EOF) return 0;
      if (r != AVERROR(EAGAIN)) continue;  // a picture or packet it could not decode: lost
      if (held_) {
        resend();
        if (!held_) continue;
        return 0;
      }
      if (flushWanted && !flushed_) {
        flush();
        continue;
      }
      return 0;
    }
    return 0;
  }

  const LibavFunctions& f_;
  AVCodecContext* ctx_ = nullptr;

 private:
  AVPacket* packet_ = nullptr;
  AVBufferPool* pool_ = nullptr;
  size_t poolBytes_ = 0;
  bool held_ = false;
  bool flushed_ = false;
};

// Planar YUV formats: depth, chroma shifts, full range (the JPEG variants).
struct YuvFormat {
  AVPixelFormat format;
  uint8_t depth, shiftX, shiftY;
  bool full, nv12, msb;
};
constexpr YuvFormat kYuvFormats[] = {
    {AV_PIX_FMT_YUV420P, 8, 1, 1, false, false, false},    {AV_PIX_FMT_YUVJ420P, 8, 1, 1, true, false, false},
    {AV_PIX_FMT_YUV422P, 8, 1, 0, false, false, false},    {AV_PIX_FMT_YUVJ422P, 8, 1, 0, true, false, false},
    {AV_PIX_FMT_YUV444P, 8, 0, 0, false, false, false},    {AV_PIX_FMT_YUVJ444P, 8, 0, 0, true, false, false},
    {AV_PIX_FMT_YUV440P, 8, 0, 1, false, false, false},    {AV_PIX_FMT_YUVJ440P, 8, 0, 1, true, false, false},
    {AV_PIX_FMT_YUV411P, 8, 2, 0, false, false, false},    {AV_PIX_FMT_YUVJ411P, 8, 2, 0, true, false, false},
    {AV_PIX_FMT_YUV410P, 8, 2, 2, false, false, false},    {AV_PIX_FMT_YUVA420P, 8, 1, 1, false, false, false},
    {AV_PIX_FMT_YUVA422P, 8, 1, 0, false, false, false},   {AV_PIX_FMT_YUVA444P, 8, 0, 0, false, false, false},
    {AV_PIX_FMT_YUV420P9LE, 9, 1, 1, false, false, false}, {AV_PIX_FMT_YUV420P10LE, 10, 1, 1, false, false, false},
    {AV_PIX_FMT_YUV420P12LE, 12, 1, 1, false, false, false}, {AV_PIX_FMT_YUV422P10LE, 10, 1, 0, false, false, false},
    {AV_PIX_FMT_YUV422P12LE, 12, 1, 0, false, false, false}, {AV_PIX_FMT_YUV444P10LE, 10, 0, 0, false, false, false},
    {AV_PIX_FMT_YUV444P12LE, 12, 0, 0, false, false, false}, {AV_PIX_FMT_YUVA422P10LE, 10, 1, 0, false, false, false},
    {AV_PIX_FMT_YUVA444P10LE, 10, 0, 0, false, false, false}, {AV_PIX_FMT_YUVA444P12LE, 12, 0, 0, false, false, false},
    {AV_PIX_FMT_YUV420P16LE, 16, 1, 1, false, false, false}, {AV_PIX_FMT_YUV444P16LE, 16, 0, 0, false, false, false},
    {AV_PIX_FMT_NV12, 8, 1, 1, false, true, false},         {AV_PIX_FMT_P010LE, 10, 1, 1, false, true, true},
    {AV_PIX_FMT_P016LE, 16, 1, 1, false, true, true},
};

struct RgbFormat {
  AVPixelFormat format;
  RgbLayout layout;
  uint8_t depth;
};
constexpr RgbFormat kRgbFormats[] = {
    {AV_PIX_FMT_BGR24, RgbLayout::bgr24, 8},       {AV_PIX_FMT_RGB24, RgbLayout::rgb24, 8},
    {AV_PIX_FMT_BGRA, RgbLayout::bgra, 8},         {AV_PIX_FMT_BGR0, RgbLayout::bgra, 8},
    {AV_PIX_FMT_RGBA, RgbLayout::rgba, 8},         {AV_PIX_FMT_RGB0, RgbLayout::rgba, 8},
    {AV_PIX_FMT_ARGB, RgbLayout::argb, 8},         {AV_PIX_FMT_0RGB, RgbLayout::argb, 8},
    {AV_PIX_FMT_ABGR, RgbLayout::abgr, 8},         {AV_PIX_FMT_0BGR, RgbLayout::abgr, 8},
    {AV_PIX_FMT_RGB555LE, RgbLayout::rgb555le, 8}, {AV_PIX_FMT_RGB555BE, RgbLayout::rgb555be, 8},
    {AV_PIX_FMT_RGB565LE, RgbLayout::rgb565le, 8}, {AV_PIX_FMT_RGB565BE, RgbLayout::rgb565be, 8},
    {AV_PIX_FMT_PAL8, RgbLayout::pal8, 8},         {AV_PIX_FMT_GRAY8, RgbLayout::gray8, 8},
    {AV_PIX_FMT_GRAY16LE, RgbLayout::gray16le, 16}, {AV_PIX_FMT_GRAY16BE, RgbLayout::gray16be, 16},
    {AV_PIX_FMT_YA8, RgbLayout::ya8, 8},           {AV_PIX_FMT_YA16BE, RgbLayout::ya16be, 16},
    {AV_PIX_FMT_RGB48LE, RgbLayout::rgb48le, 16},  {AV_PIX_FMT_RGB48BE, RgbLayout::rgb48be, 16},
    {AV_PIX_FMT_RGBA64LE, RgbLayout::rgba64le, 16}, {AV_PIX_FMT_RGBA64BE, RgbLayout::rgba64be, 16},
    {AV_PIX_FMT_MONOWHITE, RgbLayout::monoWhite, 1}, {AV_PIX_FMT_MONOBLACK, RgbLayout::monoBlack, 1},
    {AV_PIX_FMT_GBRP, RgbLayout::gbrp, 8},         {AV_PIX_FMT_GBRAP, RgbLayout::gbrp, 8},
    {AV_PIX_FMT_GBRP10LE, RgbLayout::gbrp16le, 10}, {AV_PIX_FMT_GBRP12LE, RgbLayout::gbrp16le, 12},
    {AV_PIX_FMT_GBRAP10LE, RgbLayout::gbrp16le, 10}, {AV_PIX_FMT_GBRAP12LE, RgbLayout::gbrp16le, 12},
    {AV_PIX_FMT_GBRP16LE, RgbLayout::gbrp16le, 16},
};

// The frame as the engine's picture, shown in `colour` unless the picture says otherwise; false
// for a pixel format the engine does not draw.
bool pictureOf(const AVFrame* f, bool jpeg, const YuvColour& colour, Picture* out) {
  *out = Picture();
  out->time = f->pts == AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
  for (const YuvFormat& y : kYuvFormats) {
    if (f->format != y.format) continue;
    YuvPicture& p = out->yuv;
    p.layout = y.nv12 ? YuvLayout::nv12 : YuvLayout::planar;
    p.y = f->data[0], p.u = f->data[1], p.v = y.nv12 ? nullptr : f->data[2];
    p.yStride = f->linesize[0], p.uStride = f->linesize[1], p.vStride = y.nv12 ? 0 : f->linesize[2];
    p.width = f->width, p.height = f->height;
    p.bitDepth = y.depth, p.chromaShiftX = y.shiftX, p.chromaShiftY = y.shiftY, p.msbAligned = y.msb;
    if (jpeg) {
      // JPEG's pictures are full-range BT.601 whatever the movie says.
      out->ownColour = true;
      out->colour.matrix = YuvMatrix::bt601;
      out->colour.fullRange = true;
    } else if (y.full || f->color_range == AVCOL_RANGE_JPEG) {
      // The stream says full range where the entry may not ('nclc' cannot).
      out->ownColour = true;
      out->colour = colour;
      out->colour.fullRange = true;
    }
    return true;
  }
  for (const RgbFormat& r : kRgbFormats) {
    if (f->format != r.format) continue;
    out->packed = true;
    out->rgb = r.layout;
    out->depth = r.depth;
    out->width = f->width, out->height = f->height;
    for (int i = 0; i < 3; ++i) out->planes[i] = f->data[i], out->strides[i] = f->linesize[i];
    if (r.layout == RgbLayout::pal8) out->palette = reinterpret_cast<const uint32_t*>(f->data[1]);
    return true;
  }
  return false;
}

class LibavVideoDecoder final : public VideoDecoder {
 public:
  explicit LibavVideoDecoder(const LibavFunctions& f) : c_(f) {}
  ~LibavVideoDecoder() override {
    if (next_) c_.f_.av_frame_free(&next_);
  }

  Err start(const VideoCodec& codec) {
    if (!(next_ = c_.f_.av_frame_alloc())) return memFullErr;
    const LibavFunctions& f = c_.f_;
    pool_.reserve<FrameSlot>(PicturePool::kUsualSlots, [&] { return makeSlot(f); });
    jpeg_ = codec.id == CodecId::jpeg || codec.id == CodecId::mjpegB;
    colour_ = codec.colour;
    palette_ = codec.palette;
    return c_.make(codecInfo(codec.id).library, codec.config, true, &setUp, &codec);
  }

  Err send(const uint8_t* data, size_t size, int64_t time) override {
    if (!data || time < 0 || c_.flushWanted) return paramErr;
    // Decoding starts at sync samples, so every unit is one as far as the decoders can tell:
    // PNG takes a unit that is not for a difference from the picture before.
    return c_.send(data, size, time, AV_PKT_FLAG_KEY);
  }

  Err receive(Picture* out, bool* got) override {
    *got = false;
    while (c_.receive(next_)) {
      // The frame moves into a slot of the pool (its planes are the library's, by reference).
      const LibavFunctions& f = c_.f_;
      FrameSlot* slot = pool_.takeOrMake<FrameSlot>([&] { return makeSlot(f); });
      if (!slot) {
        f.av_frame_unref(next_);
        return memFullErr;
      }
      f.av_frame_move_ref(slot->frame, next_);
      if (!pictureOf(slot->frame, jpeg_, colour_, out)) {
        pool_->giveBack(slot);
        continue;  // a pixel format the engine cannot draw: lost
      }
      // The entry's colours, which these decoders only get from a packet's side data; copied, as
      // the picture may outlive the decoder.
      if (out->packed && out->rgb == RgbLayout::pal8 && palette_.size() == 256) {
        std::memcpy(slot->palette, palette_.data(), sizeof slot->palette);
        out->palette = slot->palette;
      }
      out->hold = PicturePool::hold(slot);
      *got = true;
      return noErr;
    }
    return noErr;
  }

  Err drain() override {
    c_.flushWanted = true;
    return c_.flush();
  }

  bool restart() override {
    c_.restart();
    return true;
  }

 private:
  static void setUp(AVCodecContext* ctx, const void* p) {
    const VideoCodec& codec = *static_cast<const VideoCodec*>(p);
    ctx->width = int(codec.width);
    ctx->height = int(codec.height);
    ctx->bits_per_coded_sample = codec.depth;
    // The entry's code in the library's byte order: ProRes takes its profile and depth from it.
    const OSType f = codec.format;
    ctx->codec_tag = (f >> 24) | (f >> 8 & 0xFF00) | (f << 8 & 0xFF0000) | (f << 24);
  }
  // A decoded frame held by reference while its picture is out.
  struct FrameSlot final : PictureSlot {
    explicit FrameSlot(const LibavFunctions& functions) : f(functions), frame(f.av_frame_alloc()) {}
    ~FrameSlot() override {
      if (frame) f.av_frame_free(&frame);
    }
    void released() noexcept override { f.av_frame_unref(frame); }
    const LibavFunctions& f;
    AVFrame* frame;
    uint32_t palette[256];
  };
  static std::unique_ptr<FrameSlot> makeSlot(const LibavFunctions& f) {
    std::unique_ptr<FrameSlot> made(new FrameSlot(f));
    if (!made->frame) made.reset();
    return made;
  }
  Context c_;
  PicturePool::Owner pool_;  // after c_: its slots may outlive the decoder, not the functions
  AVFrame* next_ = nullptr;
  bool jpeg_ = false;
  YuvColour colour_;
  std::vector<uint32_t> palette_;
};

bool planar(int format) {
  switch (format) {
    case AV_SAMPLE_FMT_U8P: case AV_SAMPLE_FMT_S16P: case AV_SAMPLE_FMT_S32P: case AV_SAMPLE_FMT_FLTP:
    case AV_SAMPLE_FMT_DBLP: case AV_SAMPLE_FMT_S64P: return true;
    default: return false;
  }
}

// Samples of any of the library's sample formats as floats.
float sampleAt(const AVFrame* f, int channel, int index, int channels) {
  const bool planar = qte::planar(f->format);
  const int plane = planar ? channel : 0;
  const int i = planar ? index : index * channels + channel;
  const uint8_t* d = f->extended_data[plane];
  switch (f->format) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P: return (int(d[i]) - 128) / 128.0f;
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P: return reinterpret_cast<const int16_t*>(d)[i] / 32768.0f;
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S32P: return float(reinterpret_cast<const int32_t*>(d)[i] / 2147483648.0);
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP: return reinterpret_cast<const float*>(d)[i];
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_DBLP: return float(reinterpret_cast<const double*>(d)[i]);
    default: return 0;
  }
}

class LibavAudioDecoder final : public AudioDecoder {
 public:
  explicit LibavAudioDecoder(const LibavFunctions& f) : c_(f) {}
  ~LibavAudioDecoder() override {
    if (frame_) c_.f_.av_frame_free(&frame_);
  }

  Err start(const AudioCodec& codec) {
    channels_ = codec.channels;
    if (channels_ == 0 || channels_ > 32 || !(frame_ = c_.f_.av_frame_alloc())) return paramErr;
    return c_.make(codec.library ? codec.library : codecInfo(codec.id).library, codec.config, false, &setUp, &codec);
  }

  Err send(const uint8_t* packet, size_t size) override {
    if (!packet || c_.flushWanted) return paramErr;
    return c_.send(packet, size, 0);
  }

  Err receive(void* out, uint32_t capacity, uint32_t* frames) override {
    *frames = 0;
    float* o = static_cast<float*>(out);
    while (*frames < capacity) {
      if (at_ >= frame_->nb_samples) {
        c_.f_.av_frame_unref(frame_);
        at_ = 0;
        if (*frames || !c_.receive(frame_)) break;  // a call gives one frame's sound at most
        continue;
      }
      // The decoded channels in their order; any the codec did not announce are left out,
      // any missing are silent.
      const int have = std::min<int>(frame_->ch_layout.nb_channels, int(channels_));
      const uint32_t n = std::min<uint32_t>(capacity - *frames, uint32_t(frame_->nb_samples - at_));
      for (uint32_t k = 0; k < n; ++k) {
        float* row = o + size_t(*frames + k) * channels_;
        for (int ch = 0; ch < int(channels_); ++ch)
          row[ch] = ch < have ? sampleAt(frame_, ch, at_ + int(k), frame_->ch_layout.nb_channels) : 0.0f;
      }
      *frames += n;
      at_ += int(n);
    }
    return noErr;
  }

  Err drain() override {
    c_.flushWanted = true;
    return c_.flush();
  }

 private:
  static void setUp(AVCodecContext* ctx, const void* p) {
    const AudioCodec& codec = *static_cast<const AudioCodec*>(p);
    // What the entry says, for the decoders that read no configuration of their own.
    ctx->sample_rate = int(codec.sampleRate);
    ctx->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    ctx->ch_layout.nb_channels = int(codec.channels);
    ctx->block_align = int(codec.blockAlign);
    ctx->bits_per_coded_sample = int(codec.bitsPerSample);
  }
  Context c_;
  AVFrame* frame_ = nullptr;
  int at_ = 0;  // samples of frame_ already given
  uint32_t channels_ = 0;
};

class LibavFactory final : public DecoderFactory {
 public:
  explicit LibavFactory(const LibavFunctions& f) : f_(f) { f_.av_log_set_level(AV_LOG_QUIET); }
  Err createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) override {
    if (codecInfo(codec.id).kind != Kind::video || !codecInfo(codec.id).library) return cantFindHandler;
    try {
      std::unique_ptr<LibavVideoDecoder> d(new LibavVideoDecoder(f_));
      if (Err e = d->start(codec)) return e;
      out = std::move(d);
      return noErr;
    } catch (const std::bad_alloc&) {
      return memFullErr;
    }
  }
  Err createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) override {
    if (codecInfo(codec.id).kind != Kind::sound || !codecInfo(codec.id).library) return cantFindHandler;
    // Interleaved float is what these decoders deliver.
    if (!codec.output.isFloat || codec.output.bits != 32 || !codec.output.interleaved) return cantFindHandler;
    try {
      std::unique_ptr<LibavAudioDecoder> d(new LibavAudioDecoder(f_));
      if (Err e = d->start(codec)) return e;
      out = std::move(d);
      return noErr;
    } catch (const std::bad_alloc&) {
      return memFullErr;
    }
  }

 private:
  const LibavFunctions& f_;
};

}  // namespace

bool LibavFunctions::usable() const { return LibavUsable(*this); }

#ifdef QTE_LINKED_LIBAV
const LibavFunctions* linkedLibav() {
  static const LibavFunctions linked = [] {
    LibavFunctions f;
#define QTE_LIBAV_LINKED(name) f.name = &::name;
    QTE_LIBAV_FUNCTIONS(QTE_LIBAV_LINKED)
#undef QTE_LIBAV_LINKED
    return f;
  }();
  return &linked;
}
#else
const LibavFunctions* linkedLibav() { return nullptr; }
#endif

std::unique_ptr<DecoderFactory> makeLibavFactory(const LibavFunctions& functions) {
  if (!functions.usable()) return nullptr;
  return std::unique_ptr<DecoderFactory>(new (std::nothrow) LibavFactory(functions));
}

}  // namespace qte
