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
  const bool edge = (flags & nextTimeEdgeOK) != 0;
  const bool syncOnly = (flags & nextTimeSyncSample) != 0 && (flags & nextTimeMediaSample) == 0;
  if (!syncOnly) return t.startNear(time, edge, rate < 0, false);
  uint64_t i = 0;
  if (rate >= 0) {
    if (time >= 0) {
      if (!t.indexAt(time, &i)) return -1;
      if (!(edge && t.timeOf(i) == time)) ++i;
    }
    i = t.syncAtOrAfter(i);
    return i < t.count() ? t.timeOf(i) : -1;
  }
  if (time < 0) return -1;
  int64_t probe = edge ? time : time - 1;
  if (probe >= t.totalTime()) probe = t.totalTime() - 1;
  if (probe < 0 || !t.indexAt(probe, &i)) return -1;
  return t.timeOf(t.syncAtOrBefore(i));
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

namespace {

// A stretch of a track's timeline: an edit, or for a track without edits the whole of it.
struct Span {
  int64_t start, end;  // in the caller's scale
  int64_t media;       // media time shown at `start`; -1 for an empty edit
  bool dwell;          // rate 0: the sample at `media` stays for the whole span
};

// Calls fn(span) in timeline order until it returns true. Without edits the media plays from 0
// until its last sample stops being shown.
template <class Fn>
void walkSpans(const TrackInfo& info, int64_t shownEnd, uint32_t movieScale, uint32_t scale, Fn&& fn) {
  if (info.edits.empty()) {
    fn(Span{0, mulDivUp(shownEnd, scale, info.mediaTimeScale), 0, false});
    return;
  }
  int64_t movieStart = 0;
  for (const Edit& e : info.edits) {
    const Span s{mulDiv(movieStart, scale, movieScale), mulDiv(movieStart + e.duration, scale, movieScale),
                 e.mediaTime < 0 ? -1 : e.mediaTime, e.rate == 0};
    movieStart += e.duration;
    if (fn(s)) return;
  }
}

}  // namespace

int64_t Track::nextTrackTime(int64_t movieTime, uint32_t flags, int32_t rate) const {
  return nextTrackTime(movieTime, flags, rate, movieScale_);
}

// Times are where something changes on the track's timeline: a sample starts being shown (in
// presentation order, through the edits; a sample is shown from the first time that maps onto
// its start), or with nextTimeTrackEdit an edit begins or ends, or the samples run out inside an
// edit.
int64_t Track::nextTrackTime(int64_t time, uint32_t flags, int32_t rate, uint32_t scale) const {
  const SampleTable& t = *table_;
  const uint32_t ms = info_.mediaTimeScale;
  if (t.count() == 0 || ms == 0 || scale == 0 || movieScale_ == 0) return -1;
  const bool edge = (flags & nextTimeEdgeOK) != 0;
  const bool samples = (flags & (nextTimeMediaSample | nextTimeSyncSample)) != 0;
  const bool syncOnly = (flags & nextTimeSyncSample) != 0 && (flags & nextTimeMediaSample) == 0;
  const bool edits = (flags & nextTimeTrackEdit) != 0;
  const bool backward = rate < 0;
  const int64_t shownEnd = t.presentationEnd();
  // A sample start near a media time, in presentation order (sync samples by decoding time).
  auto startNear = [&](int64_t m, bool atIt, bool back) {
    if (syncOnly) return nextMediaTime(m, flags | (atIt ? uint32_t(nextTimeEdgeOK) : 0u), back ? -0x10000 : 0x10000);
    return t.startNear(m, atIt, back, true);
  };
  auto shownAt = [&](int64_t m) {
    uint64_t index = 0;
    return m >= 0 && m < shownEnd && t.presentedAt(m, &index);
  };
  // The first time of a span at which the media shows a sample at or after media time r.
  auto timeOf = [&](const Span& s, int64_t r) { return s.start + std::max<int64_t>(0, mulDivUp(r - s.media, scale, ms)); };
  int64_t best = -1;
  auto consider = [&](int64_t v) {
    const bool ok = backward ? (v < time || (edge && v == time)) : (v > time || (edge && v == time));
    if (v >= 0 && ok && (best < 0 || (backward ? v > best : v < best))) best = v;
  };
  walkSpans(info_, shownEnd, movieScale_, scale, [&](const Span& s) {
    if (edits) {
      consider(s.start);
      consider(s.end);
      if (s.media >= 0 && !s.dwell) {
        const int64_t out = timeOf(s, shownEnd);
        if (out > s.start && out < s.end) consider(out);
      }
    }
    if (samples && s.media >= 0 && s.end > s.start) {
      if (backward) {
        const bool holds = edge ? (time >= s.start && time < s.end) : (time > s.start && time <= s.end);
        if (holds) {
          const int64_t m = s.dwell ? s.media : s.media + mulDiv(edge ? time - s.start : time - s.start - 1, ms, scale);
          const int64_t r = shownAt(m) ? startNear(m, true, true) : -1;
          if (r >= 0) consider(s.dwell ? s.start : timeOf(s, r));
        }
      } else if (time < s.start || (edge && time == s.start)) {
        if (shownAt(s.media)) {
          consider(s.start);
        } else if (!s.dwell) {
          const int64_t r = startNear(s.media, false, false);
          if (r >= 0 && timeOf(s, r) < s.end) consider(timeOf(s, r));
        }
      } else if (time < s.end && !s.dwell) {
        // The first start shown after `time` (at it with edge: shown from the unit before).
        const int64_t off = time - s.start;
        const int64_t r = startNear(s.media + mulDiv(edge ? off - 1 : off, ms, scale), false, false);
        if (r >= 0 && timeOf(s, r) < s.end) consider(timeOf(s, r));
      }
    }
    // Later spans begin at or after this one's end.
    return !backward && best >= 0 && best <= s.end;
  });
  return best;
}

}  // namespace qte
