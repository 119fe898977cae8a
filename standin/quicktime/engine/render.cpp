// Drawing a movie's visual tracks into a caller's pixel buffer.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "pictures.h"
#include "trackpictures.h"
#include "videocodecs.h"

namespace qte {

namespace {
constexpr uint64_t kFarAhead = 60;  // samples past the last decoded one before a restart
constexpr uint32_t kMaxSampleBytes = 64u << 20;

// Where each pixel of a scaled picture takes its source from, along one axis: the first of the
// two source pixels it falls between and the second one's weight out of 256. Made when the sizes
// change, never per frame.
struct ScaleAxis {
  uint32_t from = 0, to = 0;
  std::vector<uint32_t> index;
  std::vector<uint16_t> weight;
  void make(uint32_t source, uint32_t target) {
    if (from == source && to == target) return;
    from = source, to = target;
    index.resize(target);
    weight.resize(target);
    for (uint32_t i = 0; i < target; ++i) {
      // Pixel centres map onto pixel centres.
      double x = (i + 0.5) * double(source) / double(target) - 0.5;
      if (x < 0) x = 0;
      uint32_t i0 = uint32_t(x);
      if (i0 >= source - 1) i0 = source - 1, x = i0;
      index[i] = i0;
      weight[i] = uint16_t(std::lround((x - i0) * 256));
    }
  }
};

struct TrackDraw {
  const Track* track = nullptr;
  bool decodable = false;      // by the engine's own codecs
  uint64_t last = UINT64_MAX;  // last decoded sample
  Frame frame;
  ScaleAxis across, down;      // a picture of another size than its track's box
  std::vector<uint8_t> sample;
  // Otherwise by the system's decoders, set up at the first frame asked for.
  bool picturesTried = false;
  std::unique_ptr<TrackPictures> pictures;
};
}  // namespace

struct Renderer::State {
  std::mutex mu;  // guards everything below
  std::shared_ptr<const Movie> movie;
  PixelBuffer buf;
  std::vector<TrackDraw> tracks;  // in drawing order (back to front)
  uint64_t decoded = 0;
};

uint64_t Renderer::samplesDecoded() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  uint64_t n = s_->decoded;
  for (const TrackDraw& d : s_->tracks)
    if (d.pictures) n += d.pictures->samplesDecoded();
  return n;
}

Renderer::Renderer(std::shared_ptr<const Movie> movie) : s_(new State) {
  s_->movie = std::move(movie);
  std::vector<size_t> order;
  for (size_t i = 0; i < s_->movie->trackCount(); ++i) {
    const Track* t = s_->movie->track(i);
    if (t->info().kind == Kind::video && t->info().enabled) order.push_back(i);
  }
  // Higher layers are behind; among equal layers later tracks are in front.
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return s_->movie->track(a)->info().layer > s_->movie->track(b)->info().layer;
  });
  for (size_t i : order) {
    TrackDraw d;
    d.track = s_->movie->track(i);
    const auto& ds = d.track->info().descriptions;
    d.decodable = !ds.empty() && d.track->maxSampleBytes() <= kMaxSampleBytes;
    for (const auto& desc : ds) d.decodable = d.decodable && canDecodeVideo(desc);
    s_->tracks.push_back(std::move(d));
  }
}

Renderer::~Renderer() = default;

Err Renderer::setBuffer(const PixelBuffer& buf) {
  if (!buf.bits || buf.width <= 0 || buf.height <= 0) return paramErr;
  const int bpp = int(buf.format) / 8;
  if ((buf.stride < 0 ? -buf.stride : buf.stride) < ptrdiff_t(buf.width) * bpp) return paramErr;
  std::lock_guard<std::mutex> lock(s_->mu);
  s_->buf = buf;
  return noErr;
}

namespace {
Err decodeTo(TrackDraw& d, uint64_t index, uint64_t& decoded) {
  const Track& t = *d.track;
  uint64_t from = index;
  if (d.last == UINT64_MAX || index < d.last || index - d.last > kFarAhead) {
    from = t.syncAtOrBefore(index);
  } else {
    from = std::max(d.last + 1, t.syncAtOrBefore(index));
    if (from > index) return noErr;  // already there
  }
  for (uint64_t i = from; i <= index; ++i) {
    uint64_t off = 0;
    uint32_t size = 0, di = 0;
    Err e = t.sampleLocation(i, &off, &size, &di);
    if (e) return e;
    const SampleDescription& desc = t.info().descriptions[di - 1];
    uint32_t w = 0, h = 0;
    if (!videoGeometry(desc, &w, &h)) return badImageDescription;
    if (d.frame.width != w || d.frame.height != h) {  // first frame, or a new geometry
      d.frame.px.assign(size_t(w) * h, 0);
      d.frame.width = w;
      d.frame.height = h;
    }
    if (d.sample.size() < size) d.sample.resize(size);
    SampleRun run;
    run.offset = off;
    run.bytes = size;
    if ((e = t.read(run, d.sample.data()))) return e;
    d.last = UINT64_MAX;  // a failed decode leaves no trustworthy frame
    if ((e = decodeVideo(desc, d.sample.data(), size, d.frame))) return e;
    d.last = i;
    ++decoded;
  }
  return noErr;
}

inline uint32_t expand5(uint32_t v) { return (v << 3) | (v >> 2); }

// One frame pixel (5-5-5 or 0x00RRGGBB) stored in the buffer's format at o.
inline void putPixel(const Frame& f, uint32_t v, PixelFormat format, uint8_t* o) {
  uint32_t r, g, bl;
  if (f.rgb555) {
    if (format == PixelFormat::rgb555) {
      o[0] = uint8_t(v);
      o[1] = uint8_t(v >> 8);
      return;
    }
    r = expand5((v >> 10) & 31), g = expand5((v >> 5) & 31), bl = expand5(v & 31);
  } else {
    r = (v >> 16) & 255, g = (v >> 8) & 255, bl = v & 255;
  }
  switch (format) {
    case PixelFormat::rgb555: {
      uint32_t p = (r >> 3) << 10 | (g >> 3) << 5 | (bl >> 3);
      o[0] = uint8_t(p);
      o[1] = uint8_t(p >> 8);
      break;
    }
    case PixelFormat::bgr24:
      o[0] = uint8_t(bl), o[1] = uint8_t(g), o[2] = uint8_t(r);
      break;
    case PixelFormat::bgr0:
      o[0] = uint8_t(bl), o[1] = uint8_t(g), o[2] = uint8_t(r), o[3] = 0;
      break;
  }
}

void blit(const Frame& f, const PixelBuffer& b, int32_t x0, int32_t y0, int32_t w, int32_t h) {
  const int32_t xs = std::max(0, -x0), ys = std::max(0, -y0);
  const int32_t xe = std::min<int32_t>({w, int32_t(f.width), b.width - x0});
  const int32_t ye = std::min<int32_t>({h, int32_t(f.height), b.height - y0});
  for (int32_t y = ys; y < ye; ++y) {
    const uint32_t* s = f.px.data() + size_t(y) * f.width;
    uint8_t* o = b.bits + (y0 + y) * b.stride + ptrdiff_t(x0) * (int(b.format) / 8);
    if (!f.rgb555 && b.format == PixelFormat::bgr0 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
      // 0x00RRGGBB stored little-endian is B, G, R, 0: the pixel as it is, its top byte cleared.
      for (int32_t x = xs; x < xe; ++x) {
        const uint32_t v = s[x] & 0x00FFFFFFu;
        std::memcpy(o + ptrdiff_t(x) * 4, &v, 4);
      }
      continue;
    }
    for (int32_t x = xs; x < xe; ++x) putPixel(f, s[x], b.format, o + ptrdiff_t(x) * (int(b.format) / 8));
  }
}

// Draws a frame scaled to w x h at (x0, y0) of the buffer, bilinear: each pixel is the blend of
// the four frame pixels around its centre (an edge pixel repeats past the edge).
void blitScaled(const Frame& f, const PixelBuffer& b, int32_t x0, int32_t y0, int32_t w, int32_t h,
                ScaleAxis& across, ScaleAxis& down) {
  if (f.width == 0 || f.height == 0 || w <= 0 || h <= 0) return;
  across.make(f.width, uint32_t(w));
  down.make(f.height, uint32_t(h));
  const int32_t xs = std::max(0, -x0), ys = std::max(0, -y0);
  const int32_t xe = std::min(w, b.width - x0), ye = std::min(h, b.height - y0);
  const int bpp = int(b.format) / 8;
  const Frame rgb;  // what the blends are: 0x00RRGGBB
  // A frame pixel's channel at 8 bits.
  auto channel = [&f](uint32_t v, int shift) {
    if (!f.rgb555) return (v >> shift) & 255;
    return expand5((v >> (shift / 8 * 5)) & 31);
  };
  for (int32_t y = ys; y < ye; ++y) {
    const uint32_t r0 = down.index[size_t(y)], r1 = std::min(r0 + 1, f.height - 1), wy = down.weight[size_t(y)];
    const uint32_t* top = f.px.data() + size_t(r0) * f.width;
    const uint32_t* bottom = f.px.data() + size_t(r1) * f.width;
    uint8_t* o = b.bits + (y0 + y) * b.stride;
    for (int32_t x = xs; x < xe; ++x) {
      const uint32_t c0 = across.index[size_t(x)], c1 = std::min(c0 + 1, f.width - 1), wx = across.weight[size_t(x)];
      uint32_t v = 0;
      for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t t = channel(top[c0], shift) * (256 - wx) + channel(top[c1], shift) * wx;
        const uint32_t u = channel(bottom[c0], shift) * (256 - wx) + channel(bottom[c1], shift) * wx;
        v |= ((t * (256 - wy) + u * wy + 32768) >> 16) << shift;
      }
      putPixel(rgb, v, b.format, o + ptrdiff_t(x0 + x) * bpp);
    }
  }
}

// Draws a frame through a track matrix that turns, mirrors or scales it: each pixel of the
// track's box takes the frame pixel whose area holds its centre.
void blitTransformed(const Frame& f, const PixelBuffer& b, const TrackInfo& info, const Rect& mbox) {
  const int32_t* m = info.matrix;
  const double a = m[0] / 65536.0, bb = m[1] / 65536.0, c = m[3] / 65536.0, d = m[4] / 65536.0;
  const double tx = m[6] / 65536.0, ty = m[7] / 65536.0, det = a * d - bb * c;
  if (det == 0) return;
  const double ia = d / det, ic = -c / det, ib = -bb / det, id = a / det;  // the inverse
  const int32_t w = std::min<int32_t>(info.width, int32_t(f.width));
  const int32_t h = std::min<int32_t>(info.height, int32_t(f.height));
  const Rect& box = info.box;
  const int32_t x0 = std::max(box.left, mbox.left), x1 = std::min(box.right, mbox.left + b.width);
  const int32_t y0 = std::max(box.top, mbox.top), y1 = std::min(box.bottom, mbox.top + b.height);
  const int bpp = int(b.format) / 8;
  for (int32_t Y = y0; Y < y1; ++Y) {
    uint8_t* o = b.bits + (Y - mbox.top) * b.stride;
    const double dy = Y + 0.5 - ty;
    for (int32_t X = x0; X < x1; ++X) {
      const double dx = X + 0.5 - tx;
      const double sx = std::floor(ia * dx + ic * dy), sy = std::floor(ib * dx + id * dy);
      if (sx < 0 || sy < 0 || sx >= w || sy >= h) continue;
      putPixel(f, f.px[size_t(sy) * f.width + size_t(sx)], b.format, o + ptrdiff_t(X - mbox.left) * bpp);
    }
  }
}

// A track's frame into its box: through its matrix, or scaled to the box when the frame is of
// another size (non-square pixels: a 320x240 picture in a track 427 wide), as it is otherwise.
void drawFrame(TrackDraw& d, const PixelBuffer& b, const TrackInfo& info, const Rect& mbox) {
  const Rect& box = info.box;
  if (info.transformed)
    blitTransformed(d.frame, b, info, mbox);
  else if (int32_t(d.frame.width) != box.width() || int32_t(d.frame.height) != box.height())
    blitScaled(d.frame, b, box.left - mbox.left, box.top - mbox.top, box.width(), box.height(), d.across, d.down);
  else
    blit(d.frame, b, box.left - mbox.left, box.top - mbox.top, box.width(), box.height());
}

// A decoded picture into the frame (0x00RRGGBB words are B,G,R,0 bytes), for the ways of
// drawing that read frames: track matrices, scaling and packed pictures.
Err pictureToFrame(const Picture& p, const VideoCodec& codec, Frame& f) {
  // Cropped to the displayed size the codec gives (a picture may be padded).
  const int32_t pw = p.packed ? p.width : p.yuv.width, ph = p.packed ? p.height : p.yuv.height;
  const int32_t w = std::min<int32_t>(pw, int32_t(codec.width ? codec.width : pw));
  const int32_t h = std::min<int32_t>(ph, int32_t(codec.height ? codec.height : ph));
  if (p.packed) return packedToFrame(p, w, h, f);
  if (w <= 0 || h <= 0) return paramErr;
  if (f.width != uint32_t(w) || f.height != uint32_t(h) || f.rgb555) {
    f.px.assign(size_t(w) * h, 0);
    f.width = uint32_t(w);
    f.height = uint32_t(h);
    f.rgb555 = false;
  }
  const PixelBuffer frame{reinterpret_cast<uint8_t*>(f.px.data()), w, h, ptrdiff_t(w) * 4, PixelFormat::bgr0};
  return yuvToRgb(p.yuv, p.ownColour ? p.colour : codec.colour, w, h, frame, 0, 0);
}
}  // namespace

Err Renderer::draw(int64_t movieTime) { return draw(movieTime, s_->movie->timeScale()); }

Err Renderer::draw(int64_t time, uint32_t scale) {
  State& s = *s_;
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.buf.bits) return paramErr;
  const Rect mbox = s.movie->box();
  Err result = noErr;
  try {
    for (TrackDraw& d : s.tracks) {
      const TrackInfo& info = d.track->info();
      int64_t media = 0;
      if (!d.track->movieToMedia(time, scale, &media)) continue;
      if (!d.decodable) {
        if (!d.picturesTried) {
          d.picturesTried = true;
          TrackPictures::create(*d.track, d.pictures);
        }
        if (!d.pictures) continue;  // no decoder: its area stays as it was
        Picture p;
        bool got = false;
        const VideoCodec* codec = nullptr;
        Err e = d.pictures->pictureAt(media, &p, &got, &codec);
        if (e && !result) result = e;
        if (!got) continue;
        // The next picture is decoded while this one is drawn and delivered (both stay valid).
        d.pictures->decodeAhead();
        const Rect& box = info.box;
        // The picture's displayed size (a 640x360 stream decodes to 640x368).
        const int32_t pw = codec->width ? int32_t(codec->width) : p.packed ? p.width : p.yuv.width;
        const int32_t ph = codec->height ? int32_t(codec->height) : p.packed ? p.height : p.yuv.height;
        const bool scaled = !info.transformed && (pw != box.width() || ph != box.height());
        if (!info.transformed && !scaled && !p.packed) {
          // Straight from the decoder's picture into the buffer.
          e = yuvToRgb(p.yuv, p.ownColour ? p.colour : codec->colour, pw, ph, s.buf, box.left - mbox.left,
                       box.top - mbox.top);
        } else if (!(e = pictureToFrame(p, *codec, d.frame))) {
          drawFrame(d, s.buf, info, mbox);
        }
        if (e && !result) result = e;
        continue;
      }
      uint64_t index = 0;
      if (!d.track->shownAt(media, &index)) continue;
      Err e = decodeTo(d, index, s.decoded);
      if (e) {
        if (!result) result = e;
        continue;
      }
      drawFrame(d, s.buf, info, mbox);
    }
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  return result;
}

}  // namespace qte
