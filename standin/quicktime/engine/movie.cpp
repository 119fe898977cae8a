// Opening a movie: top-level atoms, 'moov' and its tracks, movie fragments, raw AMR files.
#include <algorithm>
#include <cmath>

#include "description.h"
#include "sampletable.h"
#include "timemath.h"

namespace qte {

namespace {
// Raw AMR files (the storage format of RFC 4867): a magic line, then frames of 20 ms, each a
// header byte whose frame type gives the frame's size, header included.
struct RawAmr {
  const char* magic;
  size_t magicBytes;
  OSType format;
  uint32_t rate;
  uint8_t frameBytes[16];
};
const RawAmr kAmrNb = {"#!AMR\n", 6, fourcc("samr"), 8000,
                        {13, 14, 16, 18, 20, 21, 27, 32, 6, 1, 1, 1, 1, 1, 1, 1}};
// AMR-WB's nine speech modes (6.60 to 23.85 kbit/s) and SID; types 10 to 15 carry no data.
const RawAmr kAmrWb = {"#!AMR-WB\n", 9, fourcc("sawb"), 16000,
                        {18, 24, 33, 37, 41, 47, 51, 59, 61, 6, 1, 1, 1, 1, 1, 1}};
}  // namespace

class MovieParser {
 public:
  MovieParser(std::shared_ptr<ByteSource> src, Movie& m) : src_(std::move(src)), m_(m) {}
  Err run(Err* trackErr);
  const Reason& reason() const { return movieReason_.empty() ? trackReason_ : movieReason_; }

 private:
  struct Trex {
    uint32_t id = 0, desc = 1, duration = 0, size = 0, flags = 0;
  };
  // A track between parsing and publishing: fragments still append to its table.
  struct Pending {
    TrackInfo info;
    std::unique_ptr<SampleTable> table;
    Trex defaults;
    bool fragmented = false;  // samples came from fragments
    bool closed = false;      // a fragment contradicted the file or itself: no more are taken
    uint32_t index = 0;       // the track's place among the 'trak' atoms, from 1
    bool based = false;       // the first fragment's decode time was seen
    int64_t late = 0;         // that time, when the media starts with it (an empty edit shows it)
  };
  Err parseMoov(const Cursor& moov, Err* trackErr);
  Err parseAmr(const RawAmr& kind, Err* trackErr);
  Err parseTrak(Cursor trak, Pending& out, uint32_t index);
  Err parseMdia(Cursor mdia, Pending& p, uint32_t index);
  void parseFragment(const Cursor& moof, uint64_t moofAt);
  void parseTraf(Cursor traf, uint64_t moofAt, uint64_t* nextData, std::vector<SampleTable::FragmentSample>& run);
  Err publish();
  Err movieError(Err e, Reason::Kind kind, const char* rule) {
    if (movieReason_.empty()) movieReason_ = Reason{kind, rule, 0};
    return e;
  }
  // The first dropped track's reason is the movie's.
  Err trackError(Err e, uint32_t index, Reason::Kind kind, const char* rule) {
    if (trackReason_.empty()) trackReason_ = Reason{kind, rule, index};
    return e;
  }
  // A track that keeps what it has but takes no more samples.
  static void close(Pending& p, Reason::Kind kind, const char* rule) {
    p.closed = true;
    if (p.info.closed.empty()) p.info.closed = Reason{kind, rule, p.index};
  }
  std::shared_ptr<ByteSource> src_;
  Movie& m_;
  Reason movieReason_, trackReason_;
  bool headerUsable_ = true;  // 'mvhd' gave a time scale: tkhd and edit durations count in it
  std::vector<Pending> pending_;
  std::vector<std::pair<uint64_t, uint64_t>> moofs_;  // file offset and size of each 'moof' atom
};

namespace {
// Finds the first child of type t; false when missing or when the atom list is damaged.
bool child(const Cursor& parent, OSType t, Cursor& out) {
  Cursor c = parent;
  c.pos = 0;
  Atom a;
  for (uint32_t guard = 0; guard < 100000 && nextAtom(c, a); ++guard) {
    if (a.type == t) { out = sub(c, a); return true; }
  }
  return false;
}

// The time scale and duration of a movie or media header ('mvhd', 'mdhd': the same layout).
void scaleAndDuration(Cursor& c, uint32_t* scale, int64_t* duration) {
  const bool v1 = (c.u32() >> 24) == 1;
  c.skip(v1 ? 16 : 8);  // creation and modification times
  *scale = c.u32();
  *duration = v1 ? int64_t(c.u64() & (~uint64_t(0) >> 8)) : int64_t(c.u32());
}

void addEdits(Cursor elst, TrackInfo& info) {
  uint32_t vf = elst.u32(), n = elst.u32();
  bool v1 = (vf >> 24) == 1;
  if (elst.bad || n > kMaxEdits || uint64_t(n) * (v1 ? 20 : 12) > elst.left()) return;
  for (uint32_t i = 0; i < n; ++i) {
    Edit e;
    e.duration = v1 ? int64_t(elst.u64() & (~uint64_t(0) >> 8)) : int64_t(elst.u32());
    e.mediaTime = v1 ? int64_t(elst.u64()) : int64_t(int32_t(elst.u32()));
    e.rate = int32_t(elst.u32());
    if (e.mediaTime < -1) e.mediaTime = -1;
    info.edits.push_back(e);
  }
}

// The movie time at which a track's media reaches `end` through its edits (the end of the last
// edit when the edits stop first).
int64_t movieTimeOfMediaEnd(const TrackInfo& info, int64_t end, uint32_t movieScale) {
  const uint32_t ms = info.mediaTimeScale;
  if (info.edits.empty()) return mulDivUp(end, movieScale, ms);
  int64_t start = 0;
  for (const Edit& e : info.edits) {
    if (e.mediaTime >= 0 && e.rate != 0) {
      if (e.mediaTime >= end) return start;
      const int64_t mediaEnd = e.mediaTime + mulDiv(e.duration, ms, movieScale);
      if (end < mediaEnd) return start + mulDivUp(end - e.mediaTime, movieScale, ms);
    }
    start += e.duration;
  }
  return start;
}

// A track's box: its size through the tkhd matrix. Rotations by quarter turns, mirrors and scales
// transform it; any other matrix places it by its translation alone. A matrix that cannot be
// inverted, or that shrinks a track of some size below a pixel, is taken for the identity
// (encoders write near-zero ones): the track is shown at its size.
void placeBox(TrackInfo& info, uint32_t w, uint32_t h) {
  info.width = int32_t(std::min<uint32_t>(w >> 16, 0x7fff));
  info.height = int32_t(std::min<uint32_t>(h >> 16, 0x7fff));
  int32_t* m = info.matrix;
  const double a = m[0] / 65536.0, b = m[1] / 65536.0, c = m[3] / 65536.0, d = m[4] / 65536.0;
  // The extent of the box the matrix makes of the track (x' = a x + c y, y' = b x + d y).
  const double across = std::fabs(a) * info.width + std::fabs(c) * info.height;
  const double down = std::fabs(b) * info.width + std::fabs(d) * info.height;
  const bool sized = info.width > 0 && info.height > 0;
  if (a * d - b * c == 0 || (sized && (across < 1 || down < 1))) {
    static const int32_t kIdentity[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    std::copy(kIdentity, kIdentity + 9, m);
  }
  info.transformed = m[2] == 0 && m[5] == 0 && ((m[1] == 0 && m[3] == 0 && m[0] != 0 && m[4] != 0) ||
                                                 (m[0] == 0 && m[4] == 0 && m[1] != 0 && m[3] != 0)) &&
                     !(m[0] == 0x10000 && m[4] == 0x10000);
  if (!info.transformed) {
    info.box.left = m[6] >> 16;
    info.box.top = m[7] >> 16;
    info.box.right = int32_t(std::min<int64_t>(int64_t(info.box.left) + info.width, 0x7fff));
    info.box.bottom = int32_t(std::min<int64_t>(int64_t(info.box.top) + info.height, 0x7fff));
    return;
  }
  double lo[2] = {1e18, 1e18}, hi[2] = {-1e18, -1e18};
  for (int corner = 0; corner < 4; ++corner) {
    const double x = (corner & 1) ? info.width : 0, y = (corner & 2) ? info.height : 0;
    const double p[2] = {(m[0] * x + m[3] * y + m[6]) / 65536.0, (m[1] * x + m[4] * y + m[7]) / 65536.0};
    for (int k = 0; k < 2; ++k) lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
  }
  auto clampTo = [](double v) { return int32_t(std::max(-32768.0, std::min(32767.0, std::floor(v + 0.5)))); };
  info.box.left = clampTo(lo[0]);
  info.box.top = clampTo(lo[1]);
  info.box.right = clampTo(hi[0]);
  info.box.bottom = clampTo(hi[1]);
}

// Whether a file's first eight bytes can begin a movie: a top-level atom's header, or zeros (a
// movie whose start was lost). A type that is not four printable characters, a size no atom
// has, or a size past the end of the file for a type that never stands at the top, is the
// start of another kind of file (an elementary stream, a transport stream, RIFF, text ...).
bool startsLikeAMovie(const uint8_t head[8], uint64_t fileSize) {
  static const uint8_t zeros[8] = {};
  if (std::memcmp(head, zeros, 8) == 0) return true;
  for (int i = 4; i < 8; ++i)
    if (head[i] < 0x20 || head[i] > 0x7e) return false;
  Cursor c(head, 8);
  const uint32_t size = c.u32();
  const OSType type = c.u32();
  if (size >= 2 && size < 8) return false;
  if (size <= 1 || size <= fileSize) return true;  // 0: to the end of the file; 1: a 64-bit size
  static const OSType kTopLevel[] = {fourcc("ftyp"), fourcc("moov"), fourcc("mdat"), fourcc("free"), fourcc("skip"),
                                     fourcc("wide"), fourcc("pnot"), fourcc("uuid"), fourcc("moof"), fourcc("mfra"),
                                     fourcc("styp"), fourcc("sidx"), fourcc("meta"), fourcc("pdin")};
  return std::find(std::begin(kTopLevel), std::end(kTopLevel), type) != std::end(kTopLevel);  // cut short
}
}  // namespace

Err MovieParser::parseMdia(Cursor mdia, Pending& p, uint32_t index) {
  TrackInfo& info = p.info;
  Cursor mdhd, hdlr, minf, stbl, stsd, dinf, dref;
  if (!child(mdia, fourcc("mdhd"), mdhd) || !child(mdia, fourcc("hdlr"), hdlr))
    return trackError(invalidTrack, index, Reason::damaged, "'mdia' lacks 'mdhd' or 'hdlr'");
  scaleAndDuration(mdhd, &info.mediaTimeScale, &info.mediaDuration);
  hdlr.skip(8);
  info.handler = hdlr.u32();
  if (mdhd.bad || hdlr.bad) return trackError(invalidTrack, index, Reason::damaged, "'mdhd' or 'hdlr' is cut short");
  if (info.handler == fourcc("vide") || info.handler == fourcc("flsh")) info.kind = Kind::video;
  if (info.handler == fourcc("soun")) info.kind = Kind::sound;

  if (!child(mdia, fourcc("minf"), minf) || !child(minf, fourcc("stbl"), stbl) ||
      !child(stbl, fourcc("stsd"), stsd))
    return trackError(invalidTrack, index, Reason::damaged, "no 'minf'/'stbl'/'stsd'");
  // Media kept in another file (a data reference without its self-reference flag).
  bool elsewhere = false;
  if (child(minf, fourcc("dinf"), dinf) && child(dinf, fourcc("dref"), dref)) {
    dref.skip(8);
    Atom a;
    elsewhere = nextAtom(dref, a) && a.size >= 4 && !(dref.p[a.body + 3] & 1);
  }
  stsd.u32();
  uint32_t n = stsd.u32();
  if (stsd.bad || n > kMaxDescriptions)
    return trackError(invalidTrack, index, Reason::damaged, "'stsd' count is cut short or too large");
  for (uint32_t i = 0; i < n; ++i) {
    size_t start = stsd.pos;
    uint32_t size = stsd.left() < 8 ? 0 : stsd.u32();
    if (size < 16 || size > stsd.n - start)
      return trackError(invalidTrack, index, Reason::damaged, "an 'stsd' entry's size runs outside 'stsd'");
    SampleDescription d;
    Err e = parseDescription(stsd.p + start, size, info.kind, d);
    if (e == memFullErr) return e;
    if (e) return trackError(invalidTrack, index, Reason::damaged, "an 'stsd' entry is too short for its kind");
    info.descriptions.push_back(std::move(d));
    stsd.pos = start + size;
  }
  if (info.descriptions.empty()) return trackError(invalidTrack, index, Reason::damaged, "'stsd' is empty");

  StblAtoms a;
  a.haveStts = child(stbl, fourcc("stts"), a.stts);
  a.haveCtts = child(stbl, fourcc("ctts"), a.ctts);
  a.haveStss = child(stbl, fourcc("stss"), a.stss);
  a.haveStsc = child(stbl, fourcc("stsc"), a.stsc);
  a.haveStsz = child(stbl, fourcc("stsz"), a.stsz);
  a.haveStco = child(stbl, fourcc("stco"), a.stco);
  if (!a.haveStco) {
    a.haveStco = child(stbl, fourcc("co64"), a.stco);
    a.co64 = true;
  }
  uint32_t pf = 0, pb = 0;
  if (info.kind == Kind::sound) soundPacking(info.descriptions[0], &pf, &pb);
  if (info.mediaTimeScale == 0 || elsewhere) {
    // Samples without times, or in a file the engine does not open: the track stays, with its
    // formats, and plays nothing, rather than costing the movie.
    info.mediaDuration = 0;
    info.duration = 0;
    if (elsewhere) close(p, Reason::unsupported, "its media is in another file");
    else close(p, Reason::damaged, "its media's time scale is 0");
    p.table = SampleTable::empty();
    return p.table ? noErr : memFullErr;
  }
  const char* why = "";
  Err e = SampleTable::build(a, src_->size(), uint32_t(info.descriptions.size()), pf, pb, p.table, &why);
  if (e == memFullErr) return e;
  return e ? trackError(invalidTrack, index, Reason::damaged, why) : noErr;
}

Err MovieParser::parseTrak(Cursor trak, Pending& p, uint32_t index) {
  p.index = index;
  TrackInfo& info = p.info;
  Cursor tkhd, mdia, edts, elst;
  if (!child(trak, fourcc("tkhd"), tkhd) || !child(trak, fourcc("mdia"), mdia))
    return trackError(invalidTrack, index, Reason::damaged, "'trak' lacks 'tkhd' or 'mdia'");
  uint32_t vf = tkhd.u32();
  info.enabled = (vf & 1) != 0;
  if ((vf >> 24) == 1) {
    tkhd.skip(16);
    info.id = tkhd.u32();
    tkhd.skip(4);
    info.duration = int64_t(tkhd.u64() & (~uint64_t(0) >> 8));
  } else {
    tkhd.skip(8);
    info.id = tkhd.u32();
    tkhd.skip(4);
    info.duration = tkhd.u32();
  }
  tkhd.skip(8);
  info.layer = int16_t(tkhd.u16());
  tkhd.skip(6);  // alternate group, volume, reserved
  for (int32_t& v : info.matrix) v = int32_t(tkhd.u32());
  uint32_t w = tkhd.u32(), h = tkhd.u32();
  if (tkhd.bad) return trackError(invalidTrack, index, Reason::damaged, "'tkhd' is cut short");
  placeBox(info, w, h);
  // Without a movie header the edits' durations count in a scale nobody knows.
  if (headerUsable_ && child(trak, fourcc("edts"), edts) && child(edts, fourcc("elst"), elst)) addEdits(elst, info);
  if (!headerUsable_) info.duration = 0;
  return parseMdia(mdia, p, index);
}

Err MovieParser::parseMoov(const Cursor& moov, Err* trackErr) {
  Cursor mvhd, probe;
  if (child(moov, fourcc("cmov"), probe))
    return movieError(invalidMovie, Reason::unsupported, "'cmov': the movie header is compressed");
  if (child(moov, fourcc("mvhd"), mvhd)) {
    scaleAndDuration(mvhd, &m_.timeScale_, &m_.duration_);
    headerUsable_ = !mvhd.bad && m_.timeScale_ != 0;
  } else {
    headerUsable_ = false;
  }
  if (!headerUsable_) {
    // The largest media time scale (or 600) counts the movie; its duration comes from the tracks.
    m_.timeScale_ = 600;
    m_.duration_ = 0;
    uint32_t largest = 0;
    Cursor c = moov, mdia, mdhd;
    Atom a;
    while (nextAtom(c, a)) {
      if (a.type != fourcc("trak") || !child(sub(c, a), fourcc("mdia"), mdia) || !child(mdia, fourcc("mdhd"), mdhd))
        continue;
      uint32_t scale = 0;
      int64_t duration = 0;
      scaleAndDuration(mdhd, &scale, &duration);
      if (!mdhd.bad) largest = std::max(largest, scale);
    }
    if (largest) m_.timeScale_ = largest;
  }

  Cursor c = moov;
  Atom a;
  uint32_t index = 0;
  while (nextAtom(c, a)) {
    if (a.type != fourcc("trak")) continue;
    ++index;
    Pending p;
    Err e = pending_.size() >= kMaxTracks
                ? trackError(invalidTrack, index, Reason::unsupported, "more tracks than the engine keeps")
                : parseTrak(sub(c, a), p, index);
    if (e == memFullErr) return e;
    if (e) {
      if (trackErr && !*trackErr) *trackErr = e;
      continue;
    }
    pending_.push_back(std::move(p));
  }
  if (c.bad && trackErr && !*trackErr) {  // a damaged atom list
    *trackErr = trackError(invalidTrack, index + 1, Reason::damaged, "an atom's size runs outside 'moov'");
  }

  // Fragment defaults: one 'trex' per track.
  Cursor mvex;
  if (child(moov, fourcc("mvex"), mvex)) {
    Cursor x = mvex;
    while (nextAtom(x, a)) {
      if (a.type != fourcc("trex")) continue;
      Cursor t = sub(x, a);
      t.u32();
      Trex d;
      d.id = t.u32();
      d.desc = t.u32();
      d.duration = t.u32();
      d.size = t.u32();
      d.flags = t.u32();
      if (t.bad) continue;
      for (Pending& p : pending_)
        if (p.info.id == d.id) p.defaults = d;
    }
  }
  return noErr;
}

// Sample flags: bit 16 marks a sample that is not a sync sample.
constexpr uint32_t kNonSync = 1u << 16;

void MovieParser::parseTraf(Cursor traf, uint64_t moofAt, uint64_t* nextData,
                            std::vector<SampleTable::FragmentSample>& run) {
  Cursor tfhd, tfdt;
  if (!child(traf, fourcc("tfhd"), tfhd)) return;
  const uint32_t flags = tfhd.u32() & 0xffffff;
  const uint32_t id = tfhd.u32();
  Pending* p = nullptr;
  for (Pending& q : pending_)
    if (q.info.id == id) p = &q;
  if (!p || p->closed || tfhd.bad) return;
  Trex d = p->defaults;
  uint64_t base = (flags & 0x20000) ? moofAt : *nextData;
  if (flags & 0x1) base = tfhd.u64();
  if (flags & 0x2) d.desc = tfhd.u32();
  if (flags & 0x8) d.duration = tfhd.u32();
  if (flags & 0x10) d.size = tfhd.u32();
  if (flags & 0x20) d.flags = tfhd.u32();
  if (tfhd.bad || d.desc == 0 || d.desc > p->info.descriptions.size()) {
    close(*p, Reason::damaged, "a fragment's 'tfhd' is cut short or names no sample description");
    return;
  }
  SampleTable& table = *p->table;
  if (child(traf, fourcc("tfdt"), tfdt)) {
    const bool v1 = (tfdt.u32() >> 24) == 1;
    // Decode times count from the first fragment's when the media starts with it.
    const uint64_t raw = v1 ? tfdt.u64() : tfdt.u32();
    const uint64_t t = raw - std::min<uint64_t>(raw, uint64_t(p->late));
    const int64_t at = table.totalTime();
    if (!tfdt.bad && t < (uint64_t(1) << 56)) {
      if (!p->based && table.count() == 0 && t > 0) {
        // The media starts late: what plays before it is nothing, as an empty edit says, and
        // the media's own time starts with its first sample.
        TrackInfo& info = p->info;
        const int64_t late = int64_t(t);
        p->late = late;
        if (info.edits.empty()) {
          info.edits.push_back(Edit{mulDivUp(late, m_.timeScale_, info.mediaTimeScale), -1, 0x10000});
          info.edits.push_back(Edit{0, 0, 0x10000});  // to the end of the media
        } else {
          for (Edit& e : info.edits)
            if (e.mediaTime >= 0) e.mediaTime = std::max<int64_t>(0, e.mediaTime - late);
        }
      } else if (int64_t(t) > at) {
        table.lengthenLast(int64_t(t) - at);  // a gap: the sample before it lasts until then
      }
      // A decode time before the end of the samples already there contradicts them: not trusted.
    }
  }
  p->based = true;
  uint64_t data = base;
  Atom a;
  Cursor c = traf;
  while (nextAtom(c, a)) {
    if (a.type != fourcc("trun")) continue;
    Cursor t = sub(c, a);
    const uint32_t tf = t.u32() & 0xffffff;
    uint32_t n = t.u32();
    if (tf & 0x1) data = base + uint64_t(int64_t(int32_t(t.u32())));
    uint32_t firstFlags = (tf & 0x4) ? t.u32() : d.flags;
    const size_t each = 4 * (((tf >> 8) & 1) + ((tf >> 9) & 1) + ((tf >> 10) & 1) + ((tf >> 11) & 1));
    if (t.bad || (each && uint64_t(n) * each > t.left())) {
      close(*p, Reason::damaged, "a fragment's 'trun' is cut short");
      return;
    }
    if (!each) {  // samples of the default size: no more than the file could hold
      const uint64_t most = d.size ? src_->size() / d.size + 1 : (1u << 16);
      n = uint32_t(std::min<uint64_t>({n, most, kMaxTableSamples}));
    }
    run.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      SampleTable::FragmentSample& s = run[i];
      s.duration = (tf & 0x100) ? t.u32() : d.duration;
      s.size = (tf & 0x200) ? t.u32() : d.size;
      uint32_t f = (tf & 0x400) ? t.u32() : (i == 0 ? firstFlags : d.flags);
      if (tf & 0x800) s.compositionOffset = int32_t(t.u32());  // signed in either version
      s.sync = !(f & kNonSync);
    }
    const size_t took = table.append(data, d.desc, run.data(), n, src_->size());
    p->fragmented = true;
    for (size_t i = 0; i < n; ++i) data += run[i].size;
    if (took < n) {
      // Later fragments would leave a hole.
      close(*p, Reason::damaged, "a fragment's samples run past the file or contradict its other samples");
      return;
    }
  }
  *nextData = data;
}

void MovieParser::parseFragment(const Cursor& moof, uint64_t moofAt) {
  std::vector<SampleTable::FragmentSample> run;
  uint64_t nextData = moofAt;  // the first track's data defaults to the fragment's start
  Cursor c = moof;
  Atom a;
  while (nextAtom(c, a))
    if (a.type == fourcc("traf")) parseTraf(sub(c, a), moofAt, &nextData, run);
}

Err MovieParser::publish() {
  bool changed = !headerUsable_;
  for (Pending& p : pending_) {
    TrackInfo& info = p.info;
    const SampleTable& t = *p.table;
    // Edits and the movie show a track's samples in presentation order: its media lasts until
    // the last of them stops being shown (past its decoding end where pictures are reordered).
    if (p.fragmented) {
      info.mediaDuration = t.totalTime();
      // An edit of no length at the end of a fragmented track's list runs to the end of its media.
      if (!info.edits.empty() && info.edits.back().duration == 0 && info.edits.back().mediaTime >= 0)
        info.edits.back().duration = std::max<int64_t>(
            0, mulDivUp(t.presentationEnd() - info.edits.back().mediaTime, m_.timeScale_, info.mediaTimeScale));
      info.duration = movieTimeOfMediaEnd(info, t.presentationEnd(), m_.timeScale_);
      changed = true;
    } else if (t.clipped() || !headerUsable_) {
      // A track cut short lasts as long as the samples it keeps.
      if (t.clipped()) info.mediaDuration = std::min(info.mediaDuration, t.totalTime());
      const int64_t end = movieTimeOfMediaEnd(info, t.presentationEnd(), m_.timeScale_);
      info.duration = headerUsable_ ? std::min(info.duration, end) : end;
      changed = true;
    }
  }
  if (changed) {
    // A movie cut short lasts as long as the longest of what its tracks keep: each frame and
    // sound sample inside the file plays at its own time, the others end early.
    int64_t longest = 0;
    for (const Pending& p : pending_) longest = std::max(longest, p.info.duration);
    m_.duration_ = longest;
  }
  for (Pending& p : pending_) {
    std::unique_ptr<Track> t(new (std::nothrow) Track(std::move(p.info), std::move(p.table), src_, m_.timeScale_));
    if (!t) return memFullErr;
    m_.tracks_.push_back(std::move(t));
  }
  pending_.clear();

  bool any = false;
  for (const auto& t : m_.tracks_) {
    const TrackInfo& i = t->info();
    if (i.kind != Kind::video || i.box.width() <= 0 || i.box.height() <= 0) continue;
    if (!any) {
      m_.box_ = i.box;
      any = true;
      continue;
    }
    m_.box_.left = std::min(m_.box_.left, i.box.left);
    m_.box_.top = std::min(m_.box_.top, i.box.top);
    m_.box_.right = std::max(m_.box_.right, i.box.right);
    m_.box_.bottom = std::max(m_.box_.bottom, i.box.bottom);
  }
  return noErr;
}

Err MovieParser::parseAmr(const RawAmr& kind, Err* trackErr) {
  // One sound track of 20 ms frames; the table is built as a stbl would hold it.
  const uint32_t frameSamples = kind.rate / 50;
  uint64_t size = src_->size();
  std::vector<uint32_t> offsets;
  uint64_t off = kind.magicBytes;
  uint8_t buf[4096];
  uint64_t bufAt = 0, bufLen = 0;
  while (off < size && offsets.size() < kMaxTableSamples) {
    if (off >= bufAt + bufLen) {
      bufAt = off;
      bufLen = std::min<uint64_t>(sizeof buf, size - off);
      if (src_->read(bufAt, buf, size_t(bufLen)))
        return movieError(invalidMovie, Reason::unreadable, "the file cannot be read");
    }
    uint8_t len = kind.frameBytes[(buf[off - bufAt] >> 3) & 15];
    if (off + len > size || off > 0xffffffffu) break;
    offsets.push_back(uint32_t(off));
    off += len;
  }
  std::vector<uint8_t> stbl;
  auto put32 = [&](uint32_t v) { for (int s = 24; s >= 0; s -= 8) stbl.push_back(uint8_t(v >> s)); };
  uint32_t n = uint32_t(offsets.size());
  size_t stts = 0;
  put32(0); put32(1); put32(n); put32(frameSamples);
  size_t stsc = stbl.size();
  put32(0); put32(1); put32(1); put32(1); put32(1);
  size_t stsz = stbl.size();
  put32(0); put32(0); put32(n);
  for (uint32_t i = 0; i < n; ++i) put32((i + 1 < n ? offsets[i + 1] : uint32_t(off)) - offsets[i]);
  size_t stco = stbl.size();
  put32(0); put32(n);
  for (uint32_t o : offsets) put32(o);
  StblAtoms a;
  a.stts = Cursor(stbl.data() + stts, stsc - stts);
  a.stsc = Cursor(stbl.data() + stsc, stsz - stsc);
  a.stsz = Cursor(stbl.data() + stsz, stco - stsz);
  a.stco = Cursor(stbl.data() + stco, stbl.size() - stco);
  a.haveStts = a.haveStsc = a.haveStsz = a.haveStco = true;

  TrackInfo info;
  info.id = 1;
  info.handler = fourcc("soun");
  info.kind = Kind::sound;
  info.mediaTimeScale = kind.rate;
  info.mediaDuration = int64_t(n) * frameSamples;
  info.duration = mulDiv(info.mediaDuration, m_.timeScale_, kind.rate);
  SampleDescription d;
  uint8_t e[36] = {0, 0, 0, 36, uint8_t(kind.format >> 24), uint8_t(kind.format >> 16), uint8_t(kind.format >> 8),
                   uint8_t(kind.format), 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                   0, 1, 0, 16, 0, 0, 0, 0, uint8_t(kind.rate >> 8), uint8_t(kind.rate), 0, 0};
  if (parseDescription(e, sizeof e, Kind::sound, d))
    return movieError(invalidMovie, Reason::unsupported, "raw AMR of this rate");
  info.descriptions.push_back(std::move(d));
  std::unique_ptr<SampleTable> table;
  if (SampleTable::build(a, size, 1, 0, 0, table)) {
    if (trackErr) *trackErr = trackError(invalidTrack, 1, Reason::damaged, "raw AMR frames do not make a table");
    return noErr;
  }
  m_.duration_ = info.duration;
  std::unique_ptr<Track> t(new (std::nothrow) Track(std::move(info), std::move(table), src_, m_.timeScale_));
  if (!t) return memFullErr;
  m_.tracks_.push_back(std::move(t));
  return noErr;
}

Err MovieParser::run(Err* trackErr) {
  uint64_t size = src_->size();
  uint8_t head[16] = {}, first[16] = {};
  if (src_->read(0, first, size_t(std::min<uint64_t>(size, sizeof first))))
    return movieError(invalidMovie, Reason::unreadable, "the file cannot be read");
  for (const RawAmr* kind : {&kAmrNb, &kAmrWb}) {
    if (size < kind->magicBytes || std::memcmp(first, kind->magic, kind->magicBytes) != 0) continue;
    m_.brand_ = fourcc("amr ");
    m_.timeScale_ = 600;
    return parseAmr(*kind, trackErr);
  }
  // Several channels interleave their frames in blocks, which no decoder here takes.
  if ((size >= 12 && std::memcmp(first, "#!AMR_MC1.0\n", 12) == 0) ||
      (size >= 15 && std::memcmp(first, "#!AMR-WB_MC1.0\n", 15) == 0))
    return movieError(invalidMovie, Reason::unsupported, "multi-channel raw AMR");
  // Top-level atoms straight from the file: 'ftyp', 'moov' and the fragments' 'moof' are read.
  uint64_t off = 0;
  uint64_t moovAt = 0, moovSize = 0;
  bool haveMoov = false;
  for (uint32_t guard = 0; off + 8 <= size && guard < 1000000; ++guard) {
    if (src_->read(off, head, 8)) break;
    uint64_t asz = Cursor(head, 8).u32();
    OSType type = Cursor(head + 4, 4).u32();
    uint64_t header = 8;
    if (asz == 1) {
      if (off + 16 > size || src_->read(off + 8, head + 8, 8)) break;
      asz = Cursor(head + 8, 8).u64();
      header = 16;
    } else if (asz == 0) {
      asz = size - off;
    }
    if (asz < header || asz > size - off) {
      if (type == fourcc("moov")) return movieError(invalidMovie, Reason::damaged, "'moov' runs past the end of the file");
      break;
    }
    if (type == fourcc("ftyp") && asz >= 12 && !m_.brand_) {
      uint8_t b[4];
      if (!src_->read(off + header, b, 4)) m_.brand_ = Cursor(b, 4).u32();
    }
    if (type == fourcc("moov") && !haveMoov) {
      haveMoov = true;
      moovAt = off + header;
      moovSize = asz - header;
    }
    if (type == fourcc("moof") && moofs_.size() < kMaxFragments) moofs_.push_back({off, asz});
    off += asz;
  }
  if (!haveMoov && size >= 8 && !startsLikeAMovie(first, size))
    return movieError(noMovieFound, Reason::unsupported, "not a QuickTime or MPEG-4 movie");
  if (!haveMoov) return movieError(noMovieFound, Reason::damaged, "no 'moov' atom");
  if (moovSize > kMaxMoovBytes) return movieError(invalidMovie, Reason::unsupported, "'moov' is larger than the engine reads");
  if (!m_.brand_) m_.brand_ = fourcc("qt  ");
  std::vector<uint8_t> buf;
  buf.resize(size_t(moovSize));
  if (src_->read(moovAt, buf.data(), buf.size())) return movieError(invalidMovie, Reason::damaged, "'moov' cannot be read");
  Err e = parseMoov(Cursor(buf.data(), buf.size()), trackErr);
  if (e) return e;
  for (const auto& f : moofs_) {
    // A fragment too large to read, or unreadable, ends the fragments: later ones would leave a
    // hole. The tracks take no more samples, and say why.
    Reason stop;
    Cursor whole;
    Atom a;
    if (f.second > kMaxMoofBytes) {
      stop = Reason{Reason::unsupported, "a fragment's 'moof' is larger than the engine reads", 0};
    } else {
      buf.resize(size_t(f.second));
      whole = Cursor(buf.data(), buf.size());
      if (src_->read(f.first, buf.data(), buf.size())) stop = Reason{Reason::unreadable, "a fragment cannot be read", 0};
      else if (!nextAtom(whole, a)) stop = Reason{Reason::damaged, "a fragment's 'moof' is cut short", 0};
    }
    if (!stop.empty()) {
      for (Pending& p : pending_)
        if (!p.closed) close(p, stop.kind, stop.rule);
      break;
    }
    parseFragment(sub(whole, a), f.first);
  }
  return publish();
}

std::string Reason::text() const {
  if (kind == none) return std::string();
  std::string s = kind == damaged ? "damaged: " : kind == unsupported ? "unsupported: " : "";
  if (track) s += "track " + std::to_string(track) + ": ";
  return s + rule;
}

Err Movie::open(std::shared_ptr<ByteSource> src, std::shared_ptr<Movie>& out, Err* trackErr,
                Reason* reason) {
  if (trackErr) *trackErr = noErr;
  if (reason) *reason = Reason();
  if (!src) return paramErr;
  try {
    std::shared_ptr<Movie> m(new Movie);
    m->src_ = src;
    MovieParser p(src, *m);
    Err dropped = noErr;
    Err e = p.run(&dropped);
    if (trackErr) *trackErr = dropped;
    if (reason && (e || dropped)) *reason = p.reason();
    if (e) return e;
    out = std::move(m);
    return noErr;
  } catch (const std::bad_alloc&) {
    if (reason) *reason = Reason();
    return memFullErr;
  }
}

Err Movie::openFile(const std::string& path, std::shared_ptr<Movie>& out, Err* trackErr,
                    Reason* reason) {
  std::shared_ptr<ByteSource> src;
  Err e = openFileSource(path, src);
  if (e && reason) *reason = Reason{Reason::unreadable, e == fnfErr ? "the file cannot be found" : "the file cannot be read", 0};
  return e ? e : open(std::move(src), out, trackErr, reason);
}

const Track* Movie::track(size_t index) const {
  return index < tracks_.size() ? tracks_[index].get() : nullptr;
}

}  // namespace qte
