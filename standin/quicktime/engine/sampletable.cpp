// Builds and searches the compact sample table.
#include "sampletable.h"

#include <algorithm>

namespace qte {

namespace {
// Table entries in a full atom: version/flags then a count, each entry `entry` bytes. The
// count is checked against the payload so that no table is larger than the file.
bool tableHeader(Cursor& c, size_t entry, uint32_t* n) {
  c.u32();
  *n = c.u32();
  return !c.bad && uint64_t(*n) * entry <= c.left();
}
}  // namespace

Err SampleTable::build(const StblAtoms& a, uint64_t fileSize, uint32_t descCount, uint32_t packetFrames,
                       uint32_t packetBytes, std::unique_ptr<SampleTable>& out, const char** why) {
  auto fail = [why](const char* reason) {
    if (why) *why = reason;
    return Err(invalidMedia);
  };
  if (!a.haveStts || !a.haveStsc || !a.haveStsz || !a.haveStco)
    return fail("'stbl' lacks one of 'stts', 'stsc', 'stsz', 'stco'");
  std::unique_ptr<SampleTable> t(new (std::nothrow) SampleTable);
  if (!t) return memFullErr;
  t->packFrames_ = packetFrames;
  t->packBytes_ = packetBytes;

  // stts: runs with prefix sums; runs of zero samples are skipped.
  Cursor c = a.stts;
  uint32_t n = 0;
  if (!tableHeader(c, 8, &n)) return fail("'stts' holds fewer entries than its count");
  t->runFirst_.reserve(n + 1);
  t->runTime_.reserve(n + 1);
  t->runDur_.reserve(n);
  uint64_t samples = 0;
  int64_t time = 0;
  bool allOne = true;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t cnt = c.u32(), dur = c.u32();
    if (cnt == 0) continue;
    if (dur > 0x7fffffff) return fail("'stts' has a negative sample duration");
    t->runFirst_.push_back(samples);
    t->runTime_.push_back(time);
    t->runDur_.push_back(dur);
    allOne = allOne && dur == 1;
    samples += cnt;
    time += int64_t(cnt) * dur;
    if (samples > (uint64_t(1) << 40) || time > (int64_t(1) << 56)) return fail("'stts' counts too many samples");
  }
  t->runFirst_.push_back(samples);
  t->runTime_.push_back(time);
  t->totalTime_ = time;

  // stsz.
  c = a.stsz;
  c.u32();
  uint32_t constSize = c.u32(), szCount = c.u32();
  if (c.bad) return fail("'stsz' is cut short");
  bool frameMode = constSize != 0 && allOne && packetBytes != 0 && packetFrames != 0;
  if (constSize == 0) {
    if (uint64_t(szCount) * 4 > c.left() || szCount > kMaxTableSamples)
      return fail("'stsz' holds fewer sizes than its count, or too many");
    t->sizePrefix_.resize(size_t(szCount) + 1);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < szCount; ++i) {
      t->sizePrefix_[i] = sum;
      uint32_t s = c.u32();
      t->maxSize_ = std::max(t->maxSize_, s);
      sum += s;
    }
    t->sizePrefix_[szCount] = sum;
  } else {
    t->constSize_ = constSize;
    t->maxSize_ = constSize;
  }
  // A count that disagrees with stts: use the smaller.
  t->count_ = std::min<uint64_t>(samples, szCount);
  if (frameMode) {
    t->frameMode_ = true;
    t->packetFrames_ = packetFrames;
    t->packetBytes_ = packetBytes;
    t->maxSize_ = packetBytes;
  }

  // stco/co64 and stsc -> chunks with their first sample and description.
  c = a.stco;
  uint32_t chunks = 0;
  if (!tableHeader(c, a.co64 ? 8 : 4, &chunks)) return fail("'stco' holds fewer offsets than its count");
  t->chunkOffset_.resize(chunks);
  for (uint32_t i = 0; i < chunks; ++i) {
    t->chunkOffset_[i] = a.co64 ? c.u64() : c.u32();
  }
  t->chunkFirst_.resize(chunks);
  t->chunkDesc_.resize(chunks);
  c = a.stsc;
  uint32_t entries = 0;
  if (!tableHeader(c, 12, &entries)) return fail("'stsc' holds fewer entries than its count");
  uint64_t first = 0;
  uint32_t chunk = 0;  // next chunk to fill
  uint32_t prevPer = 0, prevDesc = 1;
  for (uint32_t e = 0; e <= entries && chunk < chunks; ++e) {
    uint32_t firstChunk = chunks + 1, per = 0, desc = 1;
    if (e < entries) {
      firstChunk = c.u32();
      per = c.u32();
      desc = c.u32();
      if (firstChunk == 0 || firstChunk <= chunk) return fail("'stsc' first chunks do not increase from 1");
      if (desc == 0 || desc > descCount) return fail("'stsc' names a sample description 'stsd' lacks");
    }
    // Chunks before this entry use the previous entry's count.
    for (; chunk + 1 < firstChunk && chunk < chunks; ++chunk) {
      if (e == 0) return fail("'stsc' does not start at chunk 1");
      t->chunkFirst_[chunk] = first;
      t->chunkDesc_[chunk] = prevDesc;
      first += prevPer;
      if (first > (uint64_t(1) << 40)) return fail("'stsc' counts too many samples");
    }
    prevPer = per;
    prevDesc = desc;
  }
  if (first < t->count_) t->count_ = first;  // chunks hold fewer samples than the tables say
  t->truncate(t->count_);
  // A file cut short keeps the samples before the first one whose data lie outside it.
  for (size_t k = 0; k < t->chunkFirst_.size(); ++k) {
    const uint64_t cf = t->chunkFirst_[k], n = t->chunkEnd(k) - cf;
    const uint64_t room = t->chunkOffset_[k] < fileSize ? fileSize - t->chunkOffset_[k] : 0;
    if (t->bytesOf(cf, n) <= room) continue;
    uint64_t lo = 0, hi = n;  // the most samples whose bytes fit
    while (lo < hi) {
      uint64_t mid = lo + (hi - lo + 1) / 2;
      if (t->bytesOf(cf, mid) <= room) lo = mid; else hi = mid - 1;
    }
    if (t->frameMode_) lo = lo / t->packetFrames_ * t->packetFrames_;  // whole packets
    t->truncate(cf + lo);
    t->clipped_ = true;
    break;
  }

  // ctts: composition offsets, signed whatever the version says (QuickTime stores them so).
  if (a.haveCtts) {
    c = a.ctts;
    uint32_t nc = 0;
    if (!tableHeader(c, 8, &nc)) return fail("'ctts' holds fewer entries than its count");
    uint64_t at = 0;
    for (uint32_t i = 0; i < nc && at < t->count_; ++i) {
      const uint32_t cnt = c.u32();
      const int32_t offset = int32_t(c.u32());
      if (cnt == 0) continue;
      t->addCompositionRun(at, offset);
      at += cnt;
    }
    // Samples the table leaves out show at their decoding time.
    if (!t->ctsFirst_.empty() && at < t->count_) t->addCompositionRun(at, 0);
  }

  // stss: absent means every sample is a sync sample.
  if (a.haveStss) {
    c = a.stss;
    uint32_t ns = 0;
    if (!tableHeader(c, 4, &ns)) return fail("'stss' holds fewer entries than its count");
    t->allSync_ = false;
    t->sync_.reserve(ns);
    for (uint32_t i = 0; i < ns; ++i) {
      uint32_t s = c.u32();
      if (s == 0 || s > t->count_) continue;
      if (!t->sync_.empty() && s - 1 <= t->sync_.back()) continue;  // keep it sorted
      t->sync_.push_back(s - 1);
    }
  }
  out = std::move(t);
  return noErr;
}

std::unique_ptr<SampleTable> SampleTable::empty() {
  std::unique_ptr<SampleTable> t(new (std::nothrow) SampleTable);
  if (t) {
    t->runFirst_.push_back(0);
    t->runTime_.push_back(0);
  }
  return t;
}

void SampleTable::truncate(uint64_t count) {
  if (count > count_) return;
  count_ = count;
  while (!ctsFirst_.empty() && ctsFirst_.back() >= count_) {
    ctsFirst_.pop_back();
    ctsOffset_.pop_back();
  }
  size_t used = chunkFirst_.size();
  while (used > 0 && chunkFirst_[used - 1] >= count_) --used;
  chunkFirst_.resize(used);
  chunkOffset_.resize(used);
  chunkDesc_.resize(used);
  while (runFirst_.size() > 1 && runFirst_[runFirst_.size() - 2] >= count_) {
    runFirst_.pop_back();
    runTime_.pop_back();
    runDur_.pop_back();
  }
  size_t r = runDur_.size();
  totalTime_ = r ? runTime_[r - 1] + int64_t(count_ - runFirst_[r - 1]) * runDur_[r - 1] : 0;
  runFirst_.back() = count_;
  runTime_.back() = totalTime_;
  while (!sync_.empty() && sync_.back() >= count_) sync_.pop_back();
  if (!constSize_ && sizePrefix_.size() > count_ + 1) sizePrefix_.resize(size_t(count_) + 1);
}

void SampleTable::addRun(uint64_t count, uint32_t duration) {
  const size_t r = runDur_.size();
  if (r && runDur_[r - 1] == duration) {
    runFirst_.back() += count;
    runTime_.back() += int64_t(count) * duration;
  } else {
    runDur_.push_back(duration);
    runFirst_.push_back(runFirst_.back() + count);
    runTime_.push_back(runTime_.back() + int64_t(count) * duration);
  }
  count_ = runFirst_.back();
  totalTime_ = runTime_.back();
}

size_t SampleTable::append(uint64_t offset, uint32_t desc, const FragmentSample* s, size_t n,
                           uint64_t fileSize) {
  if (count_ == 0 && packFrames_ && packBytes_ && !frameMode_) {
    frameMode_ = true;  // an empty 'moov' table: its sound comes in fragments
    packetFrames_ = packFrames_;
    packetBytes_ = packBytes_;
    maxSize_ = packBytes_;
  }
  if (!frameMode_ && count_ == 0 && sizePrefix_.size() <= 1 && n) {
    // The first sample's size is taken for every one's until one differs; a size of 0 is no
    // constant size (0 says the sizes are listed), so the list starts at once.
    constSize_ = s[0].size;
    sizePrefix_.assign(constSize_ ? 0 : 1, 0);
  }
  const uint64_t first = count_;
  const uint64_t sampleCap = frameMode_ ? (uint64_t(1) << 40) : uint64_t(kMaxTableSamples);
  uint64_t at = offset;
  size_t taken = 0;
  for (; taken < n; ++taken) {
    const FragmentSample& f = s[taken];
    if (f.duration > 0x7fffffff || at > fileSize || f.size > fileSize - at) break;
    const uint64_t units = frameMode_ ? f.duration : 1;
    if (count_ + units > sampleCap || totalTime_ + int64_t(f.duration) > (int64_t(1) << 56)) break;
    if (frameMode_) {
      if (f.duration % packetFrames_ || uint64_t(f.duration / packetFrames_) * packetBytes_ != f.size) break;
      if (f.duration) addRun(f.duration, 1);
    } else {
      if (constSize_ && f.size != constSize_) {  // sizes differ from here on: keep each one
        sizePrefix_.resize(size_t(count_) + 1);
        for (uint64_t i = 0; i <= count_; ++i) sizePrefix_[size_t(i)] = i * constSize_;
        constSize_ = 0;
      }
      if (!constSize_) sizePrefix_.push_back(sizePrefix_.back() + f.size);
      if (!f.sync && allSync_) {
        sync_.resize(size_t(count_));
        for (uint64_t i = 0; i < count_; ++i) sync_[size_t(i)] = i;
        allSync_ = false;
      }
      if (!allSync_ && f.sync) sync_.push_back(count_);
      maxSize_ = std::max(maxSize_, f.size);
      if (f.compositionOffset || !ctsFirst_.empty()) addCompositionRun(count_, f.compositionOffset);
      addRun(1, f.duration);
    }
    at += f.size;
  }
  if (count_ > first) {
    chunkFirst_.push_back(first);
    chunkOffset_.push_back(offset);
    chunkDesc_.push_back(desc);
  }
  return taken;
}

bool SampleTable::lengthenLast(int64_t extra) {
  const size_t r = runDur_.size();
  if (frameMode_ || !r || count_ == 0 || extra <= 0 || runDur_[r - 1] + uint64_t(extra) > 0x7fffffff)
    return false;
  const uint32_t d = uint32_t(runDur_[r - 1] + extra);
  if (runFirst_[r - 1] + 1 == count_) {
    runDur_[r - 1] = d;
  } else {  // the last sample becomes a run of its own
    runFirst_.back() = count_ - 1;
    runTime_.back() = totalTime_ - runDur_[r - 1];
    runDur_.push_back(d);
    runFirst_.push_back(count_);
    runTime_.push_back(totalTime_);
  }
  runTime_.back() += extra;
  totalTime_ = runTime_.back();
  return true;
}

bool SampleTable::indexAt(int64_t time, uint64_t* index) const {
  if (time < 0 || time >= totalTime_ || count_ == 0) return false;
  // Last run starting at or before time.
  size_t r = size_t(std::upper_bound(runTime_.begin(), runTime_.end() - 1, time) - runTime_.begin()) - 1;
  while (r + 1 < runDur_.size() && runDur_[r] == 0) ++r;  // zero-length runs
  uint32_t d = runDur_[r];
  uint64_t i = runFirst_[r] + (d ? uint64_t(time - runTime_[r]) / d : 0);
  if (i >= count_) i = count_ - 1;
  *index = i;
  return true;
}

static size_t runOf(const std::vector<uint64_t>& first, uint64_t index) {
  return size_t(std::upper_bound(first.begin(), first.end() - 1, index) - first.begin()) - 1;
}

int64_t SampleTable::timeOf(uint64_t index) const {
  if (index >= count_) return totalTime_;
  size_t r = runOf(runFirst_, index);
  return runTime_[r] + int64_t(index - runFirst_[r]) * runDur_[r];
}

int64_t SampleTable::durationOf(uint64_t index) const {
  if (index >= count_) return 0;
  return runDur_[runOf(runFirst_, index)];
}

uint64_t SampleTable::sameDurationEnd(uint64_t index) const {
  if (index >= count_) return count_;
  return std::min(count_, runFirst_[runOf(runFirst_, index) + 1]);
}

size_t SampleTable::chunkOf(uint64_t index) const {
  return size_t(std::upper_bound(chunkFirst_.begin(), chunkFirst_.end(), index) - chunkFirst_.begin()) - 1;
}

uint64_t SampleTable::bytesOf(uint64_t first, uint64_t n) const {
  if (n == 0) return 0;
  if (frameMode_) return (n + packetFrames_ - 1) / packetFrames_ * packetBytes_;
  if (constSize_) return n * constSize_;
  return sizePrefix_[first + n] - sizePrefix_[first];
}

uint64_t SampleTable::offsetOf(uint64_t index) const {
  size_t k = chunkOf(index);
  uint64_t f = chunkFirst_[k];
  if (frameMode_) return chunkOffset_[k] + (index - f) / packetFrames_ * packetBytes_;
  return chunkOffset_[k] + bytesOf(f, index - f);
}

bool SampleTable::isSync(uint64_t index) const {
  return allSync_ || std::binary_search(sync_.begin(), sync_.end(), index);
}

uint64_t SampleTable::syncAtOrBefore(uint64_t index) const {
  if (allSync_) return index;
  auto it = std::upper_bound(sync_.begin(), sync_.end(), index);
  return it == sync_.begin() ? 0 : *(it - 1);
}

uint64_t SampleTable::syncAtOrAfter(uint64_t index) const {
  if (index >= count_) return count_;
  if (allSync_) return index;
  auto it = std::lower_bound(sync_.begin(), sync_.end(), index);
  return it == sync_.end() ? count_ : *it;
}

void SampleTable::addCompositionRun(uint64_t first, int32_t offset) {
  if (!ctsOffset_.empty() && ctsOffset_.back() == offset) return;
  if (ctsFirst_.empty() && first > 0) {  // samples before the first offset show as decoded
    ctsFirst_.push_back(0);
    ctsOffset_.push_back(0);
  }
  if (!ctsFirst_.empty() && ctsFirst_.back() == first) {
    ctsOffset_.back() = offset;
    return;
  }
  ctsFirst_.push_back(first);
  ctsOffset_.push_back(offset);
}

int32_t SampleTable::compositionOffset(uint64_t index) const {
  if (ctsFirst_.empty() || index >= count_) return 0;
  const size_t r = size_t(std::upper_bound(ctsFirst_.begin(), ctsFirst_.end(), index) - ctsFirst_.begin()) - 1;
  return ctsOffset_[r];
}

const std::vector<uint32_t>& SampleTable::presentationOrder() const {
  std::call_once(presentationMade_, [this] {
    presentationEnd_ = totalTime_;
    // Where a duration run and an offset run both hold, the latest end is that of the last
    // sample: one step per run of either list.
    size_t r = 0, k = 0;
    for (uint64_t i = 0; i < count_ && !ctsFirst_.empty() && r + 1 < runFirst_.size();) {
      const uint64_t durationEnd = runFirst_[r + 1];
      const uint64_t offsetEnd = k + 1 < ctsFirst_.size() ? ctsFirst_[k + 1] : count_;
      const uint64_t b = std::min({durationEnd, offsetEnd, count_});
      if (b > i)
        presentationEnd_ = std::max(presentationEnd_, runTime_[r] + int64_t(b - runFirst_[r]) * runDur_[r] + ctsOffset_[k]);
      i = std::max(i, b);
      if (i >= durationEnd) ++r;
      if (i >= offsetEnd && k + 1 < ctsFirst_.size()) ++k;
    }
    if (ctsFirst_.empty() || count_ > kMaxTableSamples) return;
    try {
      presentation_.resize(size_t(count_));
      for (uint32_t i = 0; i < count_; ++i) presentation_[i] = i;
      std::stable_sort(presentation_.begin(), presentation_.end(), [this](uint32_t a, uint32_t b) {
        return presentationTime(a) < presentationTime(b);
      });
    } catch (const std::bad_alloc&) {
      presentation_.clear();  // searched in decoding order instead
    }
  });
  return presentation_;
}

int64_t SampleTable::presentationEnd() const {
  presentationOrder();
  return presentationEnd_;
}

int64_t SampleTable::earliestPresentation() const {
  if (count_ == 0) return 0;
  const std::vector<uint32_t>& order = presentationOrder();
  return order.empty() ? presentationTime(0) : presentationTime(order.front());
}

bool SampleTable::presentedAt(int64_t time, uint64_t* index) const {
  const std::vector<uint32_t>& order = presentationOrder();
  if (order.empty()) {
    if (ctsFirst_.empty()) return indexAt(time, index);
    // Offsets, but no room for the order: each sample shows from its own presentation time.
    if (!indexAt(time - compositionOffset(0), index)) return false;
    return true;
  }
  // The last sample in presentation order that starts at or before time.
  auto it = std::upper_bound(order.begin(), order.end(), time,
                             [this](int64_t t, uint32_t i) { return t < presentationTime(i); });
  if (it == order.begin()) return false;
  const uint32_t i = *(it - 1);
  if (it == order.end() && time >= presentationTime(i) + durationOf(i)) return false;
  *index = i;
  return true;
}

int64_t SampleTable::startNear(int64_t time, bool edge, bool backward, bool shown) const {
  if (count_ == 0) return -1;
  const std::vector<uint32_t>* order = shown ? &presentationOrder() : nullptr;
  if (!order || order->empty()) {
    // Decoding order; offsets without room for the order shift it by the first one.
    const int64_t shift = shown ? compositionOffset(0) : 0;
    time -= shift;
    uint64_t i = 0;
    if (backward) {
      int64_t probe = edge ? time : time - 1;
      if (probe >= totalTime_) probe = totalTime_ - 1;
      if (probe < 0 || !indexAt(probe, &i)) return -1;
      return timeOf(i) + shift;
    }
    if (time >= 0) {
      if (!indexAt(time, &i)) return -1;
      if (!(edge && timeOf(i) == time)) ++i;
    }
    return i < count_ ? timeOf(i) + shift : -1;
  }
  auto before = [this](int64_t t, uint32_t i) { return t < presentationTime(i); };
  auto after = [this](uint32_t i, int64_t t) { return presentationTime(i) < t; };
  if (backward) {
    auto it = edge ? std::upper_bound(order->begin(), order->end(), time, before)
                   : std::lower_bound(order->begin(), order->end(), time, after);
    return it == order->begin() ? -1 : presentationTime(*(it - 1));
  }
  auto it = edge ? std::lower_bound(order->begin(), order->end(), time, after)
                 : std::upper_bound(order->begin(), order->end(), time, before);
  return it == order->end() ? -1 : presentationTime(*it);
}

}  // namespace qte
