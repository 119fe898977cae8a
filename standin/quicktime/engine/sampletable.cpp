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
                       uint32_t packetBytes, std::unique_ptr<SampleTable>& out) {
  if (!a.haveStts || !a.haveStsc || !a.haveStsz || !a.haveStco) return invalidMedia;
  std::unique_ptr<SampleTable> t(new (std::nothrow) SampleTable);
  if (!t) return memFullErr;

  // stts: runs with prefix sums; runs of zero samples are skipped.
  Cursor c = a.stts;
  uint32_t n = 0;
  if (!tableHeader(c, 8, &n)) return invalidMedia;
  t->runFirst_.reserve(n + 1);
  t->runTime_.reserve(n + 1);
  t->runDur_.reserve(n);
  uint64_t samples = 0;
  int64_t time = 0;
  bool allOne = true;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t cnt = c.u32(), dur = c.u32();
    if (cnt == 0) continue;
    if (dur > 0x7fffffff) return invalidMedia;  // negative durations
    t->runFirst_.push_back(samples);
    t->runTime_.push_back(time);
    t->runDur_.push_back(dur);
    allOne = allOne && dur == 1;
    samples += cnt;
    time += int64_t(cnt) * dur;
    if (samples > (uint64_t(1) << 40) || time > (int64_t(1) << 56)) return invalidMedia;
  }
  t->runFirst_.push_back(samples);
  t->runTime_.push_back(time);
  t->totalTime_ = time;

  // stsz.
  c = a.stsz;
  c.u32();
  uint32_t constSize = c.u32(), szCount = c.u32();
  if (c.bad) return invalidMedia;
  bool frameMode = constSize != 0 && allOne && packetBytes != 0 && packetFrames != 0;
  if (constSize == 0) {
    if (uint64_t(szCount) * 4 > c.left() || szCount > kMaxTableSamples) return invalidMedia;
    t->sizePrefix_.resize(size_t(szCount) + 1);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < szCount; ++i) {
      t->sizePrefix_[i] = sum;
      uint32_t s = c.u32();
      t->maxSize_ = std::max(t->maxSize_, s);
      sum += s;
    }
    t->sizePrefix_[szCount] = sum;
    if (sum > fileSize) return invalidMedia;
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
  if (!tableHeader(c, a.co64 ? 8 : 4, &chunks)) return invalidMedia;
  t->chunkOffset_.resize(chunks);
  for (uint32_t i = 0; i < chunks; ++i) {
    uint64_t off = a.co64 ? c.u64() : c.u32();
    if (off > fileSize) return invalidMedia;
    t->chunkOffset_[i] = off;
  }
  t->chunkFirst_.resize(chunks);
  t->chunkDesc_.resize(chunks);
  c = a.stsc;
  uint32_t entries = 0;
  if (!tableHeader(c, 12, &entries)) return invalidMedia;
  uint64_t first = 0;
  uint32_t chunk = 0;  // next chunk to fill
  uint32_t prevPer = 0, prevDesc = 1;
  for (uint32_t e = 0; e <= entries && chunk < chunks; ++e) {
    uint32_t firstChunk = chunks + 1, per = 0, desc = 1;
    if (e < entries) {
      firstChunk = c.u32();
      per = c.u32();
      desc = c.u32();
      if (firstChunk == 0 || firstChunk <= chunk) return invalidMedia;  // not increasing
      if (desc == 0 || desc > descCount) return invalidMedia;
    }
    // Chunks before this entry use the previous entry's count.
    for (; chunk + 1 < firstChunk && chunk < chunks; ++chunk) {
      if (e == 0) return invalidMedia;  // first entry must start at chunk 1
      t->chunkFirst_[chunk] = first;
      t->chunkDesc_[chunk] = prevDesc;
      first += prevPer;
      if (first > (uint64_t(1) << 40)) return invalidMedia;
    }
    prevPer = per;
    prevDesc = desc;
  }
  if (first < t->count_) t->count_ = first;  // chunks hold fewer samples than the tables say
  // Drop trailing chunks that start past the last sample.
  size_t used = t->chunkFirst_.size();
  while (used > 0 && t->chunkFirst_[used - 1] >= t->count_) --used;
  t->chunkFirst_.resize(used);
  t->chunkOffset_.resize(used);
  t->chunkDesc_.resize(used);
  if (t->count_ < samples) {  // trim stts runs to the samples that exist
    while (t->runFirst_.size() > 1 && t->runFirst_[t->runFirst_.size() - 2] >= t->count_) {
      t->runFirst_.pop_back();
      t->runTime_.pop_back();
      t->runDur_.pop_back();
    }
    size_t r = t->runDur_.size();
    int64_t end = r ? t->runTime_[r - 1] + int64_t(t->count_ - t->runFirst_[r - 1]) * t->runDur_[r - 1] : 0;
    t->runFirst_.back() = t->count_;
    t->runTime_.back() = end;
    t->totalTime_ = end;
  }
  // Every chunk's data must lie inside the file.
  for (size_t k = 0; k < used; ++k) {
    uint64_t b = t->bytesOf(t->chunkFirst_[k], t->chunkEnd(k) - t->chunkFirst_[k]);
    if (b > fileSize || t->chunkOffset_[k] > fileSize - b) return invalidMedia;
  }

  // stss: absent means every sample is a sync sample.
  if (a.haveStss) {
    c = a.stss;
    uint32_t ns = 0;
    if (!tableHeader(c, 4, &ns)) return invalidMedia;
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

}  // namespace qte
