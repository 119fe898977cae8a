// Track queries: sample runs for GetMediaSample, interesting times, edit-list mapping.
#include <algorithm>

#include "sampletable.h"
#include "timemath.h"

namespace qte {

Track::Track(TrackInfo info, std::unique_ptr<SampleTable> table, std::shared_ptr<ByteSource> src,
             uint32_t movieTimeScale)
    : info_(std::move(info)), table_(std::move(table)), src_(std::move(src)), movieScale_(movieTimeScale) {}
Track::~Track() = default;

Err Track::description(uint32_t index, const SampleDescription** out) const {
  if (index == 0 || index > info_.descriptions.size()) return badDataRefIndex;
  *out = &info_.descriptions[index - 1];
  return noErr;
}

uint64_t Track::sampleCount() const { return table_->count(); }

Err Track::locate(int64_t time, uint64_t maxSamples, uint64_t maxBytes, SampleRun& run) const {
  const SampleTable& t = *table_;
  uint64_t first = 0;
  if (!t.indexAt(time, &first)) return invalidTime;
  size_t k = t.chunkOf(first);
  uint64_t cf = t.chunkFirst(k);
  uint64_t pf = t.frameMode() ? t.packetFrames() : 1;
  first = cf + (first - cf) / pf * pf;  // whole packets
  uint64_t end = std::min(t.chunkEnd(k), t.sameDurationEnd(first));
  uint64_t n = end - first;
  if (maxSamples && n > maxSamples) n = std::max<uint64_t>(pf, maxSamples / pf * pf);
  if (n > end - first) n = end - first;
  if (maxBytes) {
    if (t.frameMode()) {
      uint64_t packets = maxBytes / t.packetBytes();
      if (packets == 0) return maxSizeToGrowTooSmall;
      n = std::min(n, packets * pf);
    } else {
      if (t.bytesOf(first, 1) > maxBytes) return maxSizeToGrowTooSmall;
      uint64_t lo = 1, hi = n;  // largest count that fits
      while (lo < hi) {
        uint64_t mid = lo + (hi - lo + 1) / 2;
        if (t.bytesOf(first, mid) <= maxBytes) lo = mid; else hi = mid - 1;
      }
      n = lo;
    }
  }
  run.first = first;
  run.count = n;
  run.time = t.timeOf(first);
  run.durationEach = t.durationOf(first);
  run.description = t.chunkDescription(k);
  run.sync = t.isSync(first);
  run.offset = t.offsetOf(first);
  run.bytes = t.bytesOf(first, n);
  return noErr;
}

Err Track::read(const SampleRun& run, void* dst) const {
  if (run.bytes > SIZE_MAX) return memFullErr;
  return src_->read(run.offset, dst, size_t(run.bytes));
}

int64_t Track::sampleTime(uint64_t index) const { return table_->timeOf(index); }
uint32_t Track::maxSampleBytes() const { return table_->maxSampleBytes(); }

bool Track::sampleAt(int64_t mediaTime, uint64_t* index) const { return table_->indexAt(mediaTime, index); }
bool Track::shownAt(int64_t mediaTime, uint64_t* index) const { return table_->presentedAt(mediaTime, index); }
int64_t Track::displayTime(uint64_t index) const { return table_->presentationTime(index); }
int64_t Track::earliestDisplayTime() const { return table_->earliestPresentation(); }
uint64_t Track::syncAtOrBefore(uint64_t index) const { return table_->syncAtOrBefore(index); }
uint64_t Track::syncAtOrAfter(uint64_t index) const { return table_->syncAtOrAfter(index); }

Err Track::sampleLocation(uint64_t index, uint64_t* offset, uint32_t* size, uint32_t* desc) const {
  const SampleTable& t = *table_;
  if (index >= t.count()) return invalidTime;
  *offset = t.offsetOf(index);
  *size = uint32_t(t.bytesOf(index, 1));
  *desc = t.chunkDescription(t.chunkOf(index));
  return noErr;
}

int64_t Track::nextMediaTime(int64_t time, uint32_t flags, int32_t rate) const {
  const SampleTable& t = *table_;
  if (t.count() == 0) return -1;
  bool edge = (flags & nextTimeEdgeOK) != 0;
  bool syncOnly = (flags & nextTimeSyncSample) != 0 && (flags & nextTimeMediaSample) == 0;
  if (rate >= 0) {
    uint64_t i = 0;
    if (time < 0) {
      i = 0;
    } else {
      if (!t.indexAt(time, &i)) return -1;
      if (!(edge && t.timeOf(i) == time)) ++i;
    }
    if (syncOnly) i = t.syncAtOrAfter(i);
    return i < t.count() ? t.timeOf(i) : -1;
  }
  // Backward: the start of the sample before time (or at it with edge).
  if (time < 0) return -1;
  int64_t probe = edge ? time : time - 1;
  if (probe >= t.totalTime()) probe = t.totalTime() - 1;
  uint64_t i = 0;
  if (probe < 0 || !t.indexAt(probe, &i)) return -1;
  if (syncOnly) i = t.syncAtOrBefore(i);
  return t.timeOf(i);
}

bool Track::movieToMedia(int64_t movieTime, int64_t* mediaTime) const {
  return movieToMedia(movieTime, movieScale_, mediaTime);
}

bool Track::movieToMedia(int64_t time, uint32_t scale, int64_t* mediaTime) const {
  if (time < 0 || scale == 0) return false;
  if (info_.edits.empty()) {
    int64_t m = mulDiv(time, info_.mediaTimeScale, scale);
    if (m >= table_->presentationEnd()) return false;
    *mediaTime = m;
    return true;
  }
  int64_t start = 0;  // in `scale`
  int64_t movieStart = 0;
  for (const Edit& e : info_.edits) {
    int64_t end = mulDiv(movieStart + e.duration, scale, movieScale_);
    if (time < end) {
      if (e.mediaTime < 0) return false;
      int64_t m = e.mediaTime;
      if (e.rate != 0) m += mulDiv(time - start, info_.mediaTimeScale, scale);
      *mediaTime = m;
      return m < table_->presentationEnd();
    }
    movieStart += e.duration;
    start = end;
  }
  return false;
}

int64_t Track::nextTrackTime(int64_t movieTime, uint32_t flags, int32_t rate) const {
  const uint32_t ms = info_.mediaTimeScale, vs = movieScale_;
  if (table_->count() == 0) return -1;  // an edit may begin, but no sample does
  if (info_.edits.empty()) {
    int64_t m = rate >= 0 ? mulDivUp(movieTime, ms, vs) : mulDiv(movieTime, ms, vs);
    bool exact = mulDiv(m, vs, ms) == movieTime && mulDivUp(movieTime, ms, vs) == mulDiv(movieTime, ms, vs);
    // A time between two media units: the sample starting at the rounded time counts.
    int64_t r = nextMediaTime(m, exact ? flags : (flags | nextTimeEdgeOK), rate);
    return r < 0 ? -1 : mulDivUp(r, vs, ms);
  }
  if (rate < 0) {  // backward within the edit holding the time; an edit starting mid-sample clamps
    int64_t start = 0;
    const bool edge = (flags & nextTimeEdgeOK) != 0;
    for (const Edit& e : info_.edits) {
      const int64_t end = start + e.duration;
      const bool holds = edge ? (movieTime >= start && movieTime < end) : (movieTime > start && movieTime <= end);
      if (holds && e.mediaTime >= 0 && e.rate != 0) {
        const int64_t off = movieTime - start;
        const int64_t m = e.mediaTime + mulDiv(off, ms, vs);
        const bool exact = mulDivUp(off, ms, vs) == mulDiv(off, ms, vs);
        int64_t r = nextMediaTime(m, exact ? flags : (flags | nextTimeEdgeOK), rate);
        if (r < 0) return -1;
        if (r < e.mediaTime) r = e.mediaTime;
        return start + mulDivUp(r - e.mediaTime, vs, ms);
      }
      start = end;
    }
    return -1;
  }
  int64_t start = 0;
  for (const Edit& e : info_.edits) {
    int64_t end = start + e.duration;
    if (end > movieTime && e.mediaTime >= 0 && e.duration > 0) {
      if (movieTime < start) return start;  // the next edit begins with a sample
      int64_t off = movieTime - start;
      int64_t m = e.mediaTime + mulDivUp(off, ms, vs);
      bool exact = mulDiv(mulDivUp(off, ms, vs), vs, ms) == off;
      int64_t r = nextMediaTime(m, exact ? flags : (flags | nextTimeEdgeOK), rate);
      if (r >= 0) {
        int64_t t = start + mulDivUp(r - e.mediaTime, vs, ms);
        if (t < end) return t;
      }
    }
    start = end;
  }
  return -1;
}

}  // namespace qte
