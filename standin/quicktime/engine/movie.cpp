// Opening a movie: top-level atoms, 'moov' and its tracks, raw AMR files.
#include <algorithm>

#include "description.h"
#include "sampletable.h"
#include "timemath.h"

namespace qte {

class MovieParser {
 public:
  MovieParser(std::shared_ptr<ByteSource> src, Movie& m) : src_(std::move(src)), m_(m) {}
  Err run(Err* trackErr);

 private:
  Err parseMoov(const Cursor& moov, Err* trackErr);
  Err parseTrak(Cursor trak, std::unique_ptr<Track>& out);
  Err parseMdia(Cursor mdia, TrackInfo& info, std::unique_ptr<SampleTable>& table);
  Err parseAmr(Err* trackErr);
  std::shared_ptr<ByteSource> src_;
  Movie& m_;
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
}  // namespace

Err MovieParser::parseMdia(Cursor mdia, TrackInfo& info, std::unique_ptr<SampleTable>& table) {
  Cursor mdhd, hdlr, minf, stbl, stsd;
  if (!child(mdia, fourcc("mdhd"), mdhd) || !child(mdia, fourcc("hdlr"), hdlr)) return invalidTrack;
  uint32_t vf = mdhd.u32();
  if ((vf >> 24) == 1) {
    mdhd.skip(16);
    info.mediaTimeScale = mdhd.u32();
    info.mediaDuration = int64_t(mdhd.u64() & (~uint64_t(0) >> 8));
  } else {
    mdhd.skip(8);
    info.mediaTimeScale = mdhd.u32();
    info.mediaDuration = mdhd.u32();
  }
  hdlr.skip(8);
  info.handler = hdlr.u32();
  if (mdhd.bad || hdlr.bad || info.mediaTimeScale == 0) return invalidTrack;
  if (info.handler == fourcc("vide") || info.handler == fourcc("flsh")) info.kind = Kind::video;
  if (info.handler == fourcc("soun")) info.kind = Kind::sound;

  if (!child(mdia, fourcc("minf"), minf) || !child(minf, fourcc("stbl"), stbl) ||
      !child(stbl, fourcc("stsd"), stsd))
    return invalidTrack;
  stsd.u32();
  uint32_t n = stsd.u32();
  if (stsd.bad || n > kMaxDescriptions) return invalidTrack;
  for (uint32_t i = 0; i < n; ++i) {
    if (stsd.left() < 8) return invalidTrack;
    size_t start = stsd.pos;
    uint32_t size = stsd.u32();
    if (size < 16 || size > stsd.n - start) return invalidTrack;
    SampleDescription d;
    Err e = parseDescription(stsd.p + start, size, info.kind, d);
    if (e) return e == badImageDescription ? invalidTrack : e;
    info.descriptions.push_back(std::move(d));
    stsd.pos = start + size;
  }
  if (info.descriptions.empty()) return invalidTrack;

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
  Err e = SampleTable::build(a, src_->size(), uint32_t(info.descriptions.size()), pf, pb, table);
  return e ? invalidTrack : noErr;
}

Err MovieParser::parseTrak(Cursor trak, std::unique_ptr<Track>& out) {
  TrackInfo info;
  Cursor tkhd, mdia, edts, elst;
  if (!child(trak, fourcc("tkhd"), tkhd) || !child(trak, fourcc("mdia"), mdia)) return invalidTrack;
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
  if (tkhd.bad) return invalidTrack;
  info.box.left = info.matrix[6] >> 16;
  info.box.top = info.matrix[7] >> 16;
  info.box.right = int32_t(std::min<int64_t>(int64_t(info.box.left) + (w >> 16), 0x7fff));
  info.box.bottom = int32_t(std::min<int64_t>(int64_t(info.box.top) + (h >> 16), 0x7fff));
  if (child(trak, fourcc("edts"), edts) && child(edts, fourcc("elst"), elst)) addEdits(elst, info);

  std::unique_ptr<SampleTable> table;
  Err e = parseMdia(mdia, info, table);
  if (e) return e;
  out.reset(new (std::nothrow) Track(std::move(info), std::move(table), src_, m_.timeScale_));
  return out ? noErr : memFullErr;
}

Err MovieParser::parseMoov(const Cursor& moov, Err* trackErr) {
  Cursor mvhd;
  if (!child(moov, fourcc("mvhd"), mvhd)) return invalidMovie;
  uint32_t vf = mvhd.u32();
  if ((vf >> 24) == 1) {
    mvhd.skip(16);
    m_.timeScale_ = mvhd.u32();
    m_.duration_ = int64_t(mvhd.u64() & (~uint64_t(0) >> 8));
  } else {
    mvhd.skip(8);
    m_.timeScale_ = mvhd.u32();
    m_.duration_ = mvhd.u32();
  }
  if (mvhd.bad || m_.timeScale_ == 0) return invalidMovie;

  Cursor c = moov;
  Atom a;
  bool first = true;
  while (nextAtom(c, a)) {
    if (a.type != fourcc("trak")) continue;
    std::unique_ptr<Track> t;
    Err e = m_.tracks_.size() >= kMaxTracks ? invalidTrack : parseTrak(sub(c, a), t);
    if (e) {
      if (first && trackErr) *trackErr = e;
      first = false;
      continue;
    }
    m_.tracks_.push_back(std::move(t));
  }
  if (c.bad && first && trackErr) *trackErr = invalidTrack;  // a damaged atom list

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

Err MovieParser::parseAmr(Err* trackErr) {
  // One sound track of 160-sample frames at 8000 Hz; the table is built as a stbl would hold it.
  static const uint8_t kFrameBytes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 1, 1, 1, 1, 1, 1, 1};
  uint64_t size = src_->size();
  std::vector<uint32_t> offsets;
  uint64_t off = 6;
  uint8_t buf[4096];
  uint64_t bufAt = 0, bufLen = 0;
  while (off < size && offsets.size() < kMaxTableSamples) {
    if (off >= bufAt + bufLen) {
      bufAt = off;
      bufLen = std::min<uint64_t>(sizeof buf, size - off);
      if (src_->read(bufAt, buf, size_t(bufLen))) return invalidMovie;
    }
    uint8_t len = kFrameBytes[(buf[off - bufAt] >> 3) & 15];
    if (off + len > size || off > 0xffffffffu) break;
    offsets.push_back(uint32_t(off));
    off += len;
  }
  std::vector<uint8_t> stbl;
  auto put32 = [&](uint32_t v) { for (int s = 24; s >= 0; s -= 8) stbl.push_back(uint8_t(v >> s)); };
  uint32_t n = uint32_t(offsets.size());
  size_t stts = 0;
  put32(0); put32(1); put32(n); put32(160);
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
  info.mediaTimeScale = 8000;
  info.mediaDuration = int64_t(n) * 160;
  info.duration = mulDiv(info.mediaDuration, m_.timeScale_, 8000);
  SampleDescription d;
  uint8_t e[36] = {0, 0, 0, 36, 's', 'a', 'm', 'r', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                   0, 1, 0, 16, 0, 0, 0, 0, 0x1f, 0x40, 0, 0};
  if (parseDescription(e, sizeof e, Kind::sound, d)) return invalidMovie;
  info.descriptions.push_back(std::move(d));
  std::unique_ptr<SampleTable> table;
  if (SampleTable::build(a, size, 1, 0, 0, table)) {
    if (trackErr) *trackErr = invalidTrack;
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
  uint8_t head[16] = {};
  if (size >= 6 && !src_->read(0, head, 6) && std::memcmp(head, "#!AMR\n", 6) == 0) {
    m_.brand_ = fourcc("amr ");
    m_.timeScale_ = 600;
    return parseAmr(trackErr);
  }
  // Top-level atoms straight from the file: only 'ftyp' and 'moov' are read.
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
      if (type == fourcc("moov")) return invalidMovie;  // truncated movie header
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
    off += asz;
  }
  if (!haveMoov) return noMovieFound;
  if (moovSize > kMaxMoovBytes) return invalidMovie;
  if (!m_.brand_) m_.brand_ = fourcc("qt  ");
  std::vector<uint8_t> moov;
  moov.resize(size_t(moovSize));
  if (src_->read(moovAt, moov.data(), moov.size())) return invalidMovie;
  return parseMoov(Cursor(moov.data(), moov.size()), trackErr);
}

Err Movie::open(std::shared_ptr<ByteSource> src, std::shared_ptr<Movie>& out, Err* trackErr) {
  if (trackErr) *trackErr = noErr;
  if (!src) return paramErr;
  try {
    std::shared_ptr<Movie> m(new Movie);
    m->src_ = src;
    MovieParser p(src, *m);
    Err e = p.run(trackErr);
    if (e) return e;
    out = std::move(m);
    return noErr;
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

Err Movie::openFile(const std::string& path, std::shared_ptr<Movie>& out, Err* trackErr) {
  std::shared_ptr<ByteSource> src;
  Err e = openFileSource(path, src);
  return e ? e : open(std::move(src), out, trackErr);
}

const Track* Movie::track(size_t index) const {
  return index < tracks_.size() ? tracks_[index].get() : nullptr;
}

}  // namespace qte
