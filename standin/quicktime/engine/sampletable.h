// A track's sample table in compact arrays built once at open: time-to-sample runs with prefix
// sums, chunks with their first sample, per-sample size prefix sums (or one constant size), sync
// samples and composition offsets. Every lookup is a binary search or O(1).
//
// Classic sound tracks (every duration 1, one constant size) are held in "frame mode": one
// sample is one sample frame, and a chunk's bytes are whole packets of `packetFrames` frames of
// `packetBytes` bytes each, as the sound description says; nothing per frame is stored.
#pragma once

#include <mutex>
#include <vector>

#include "atoms.h"

namespace qte {

struct StblAtoms {  // payloads (nullptr when absent)
  Cursor stts, ctts, stss, stsc, stsz, stco;
  bool co64 = false, haveStts = false, haveStss = false, haveStsc = false, haveStsz = false,
       haveStco = false, haveCtts = false;
};

class SampleTable {
 public:
  // packetFrames/packetBytes: for sound, the description's frames per packet and bytes per
  // packet (all channels); 0 when not a sound track or unknown.
  // A table whose data run past the end of the file keeps the samples before the first one
  // that does not lie inside it (clipped() tells). `why` names the rule a damaged table breaks.
  static Err build(const StblAtoms& a, uint64_t fileSize, uint32_t descCount, uint32_t packetFrames,
                   uint32_t packetBytes, std::unique_ptr<SampleTable>& out, const char** why = nullptr);

  // A table without samples, for a track that cannot be played (nullptr when memory is short).
  static std::unique_ptr<SampleTable> empty();

  // One sample of a movie fragment's run ('trun').
  struct FragmentSample {
    uint32_t duration = 0, size = 0;
    bool sync = true;
    int32_t compositionOffset = 0;
  };
  // Appends a fragment's run: n samples stored one after another from `offset`, as one chunk.
  // Takes the samples up to the first that lies outside the file, would pass the caps, or that
  // the table cannot hold as given (a sound packet whose size disagrees with its frames), and
  // returns how many it took. A sound table with known packing counts frames.
  size_t append(uint64_t offset, uint32_t desc, const FragmentSample* s, size_t n, uint64_t fileSize);
  // Lengthens the last sample so that the next one starts `extra` later (a fragment's decode
  // time past the end of the samples before it). False when the table cannot (frame mode).
  bool lengthenLast(int64_t extra);
  bool clipped() const { return clipped_; }

  uint64_t count() const { return count_; }
  int64_t totalTime() const { return totalTime_; }
  bool frameMode() const { return frameMode_; }
  uint32_t packetFrames() const { return packetFrames_; }
  uint32_t packetBytes() const { return packetBytes_; }

  // Time <-> index.
  bool indexAt(int64_t time, uint64_t* index) const;  // false outside [0, totalTime)
  int64_t timeOf(uint64_t index) const;
  int64_t durationOf(uint64_t index) const;
  uint64_t sameDurationEnd(uint64_t index) const;  // first index after index's stts run
  // Chunks.
  size_t chunkOf(uint64_t index) const;
  uint64_t chunkFirst(size_t chunk) const { return chunkFirst_[chunk]; }
  uint64_t chunkEnd(size_t chunk) const { return chunk + 1 < chunkFirst_.size() ? chunkFirst_[chunk + 1] : count_; }
  uint32_t chunkDescription(size_t chunk) const { return chunkDesc_[chunk]; }
  uint64_t offsetOf(uint64_t index) const;  // file offset
  uint64_t bytesOf(uint64_t first, uint64_t n) const;  // bytes of n samples from first (one chunk)
  uint32_t maxSampleBytes() const { return maxSize_; }
  // Composition ('ctts', a fragment's offsets): a sample shows from its decoding time plus its
  // offset. Presentation order is decoding order when no offsets are stored.
  bool hasCompositionOffsets() const { return !ctsFirst_.empty(); }
  int32_t compositionOffset(uint64_t index) const;
  int64_t presentationTime(uint64_t index) const { return timeOf(index) + compositionOffset(index); }
  int64_t earliestPresentation() const;  // of all samples; 0 without samples
  int64_t presentationEnd() const;       // the latest end of a sample shown; totalTime() without offsets
  // The sample shown at presentation time `time`: the one with the latest presentation time at
  // or before it, while `time` is before the presentation end of the samples. False outside.
  bool presentedAt(int64_t time, uint64_t* index) const;
  // Sample starts, by decoding time or by presentation time (`shown`): the first after `time`
  // (at it with `edge`), or `backward` the last before it (at it with `edge`); -1 when none.
  int64_t startNear(int64_t time, bool edge, bool backward, bool shown) const;
  // Sync samples.
  bool isSync(uint64_t index) const;
  uint64_t syncAtOrBefore(uint64_t index) const;
  uint64_t syncAtOrAfter(uint64_t index) const;  // count() when none

 private:
  void truncate(uint64_t count);  // keeps the first `count` samples
  void addRun(uint64_t count, uint32_t duration);
  bool clipped_ = false;
  uint32_t packFrames_ = 0, packBytes_ = 0;  // a sound description's packing, frame mode or not
  uint64_t count_ = 0;
  int64_t totalTime_ = 0;
  bool frameMode_ = false;
  uint32_t packetFrames_ = 1, packetBytes_ = 0;
  // stts runs: run r covers samples [runFirst_[r], runFirst_[r+1]) from time runTime_[r].
  std::vector<uint64_t> runFirst_;
  std::vector<int64_t> runTime_;
  std::vector<uint32_t> runDur_;
  // Chunks.
  std::vector<uint64_t> chunkOffset_, chunkFirst_;
  std::vector<uint32_t> chunkDesc_;
  // Sizes: constant, or prefix sums (sizePrefix_[i] = bytes of samples [0, i)).
  uint32_t constSize_ = 0;
  uint32_t maxSize_ = 0;
  std::vector<uint64_t> sizePrefix_;
  // Sync samples (0-based, sorted); empty with allSync_ when every sample is a sync sample.
  bool allSync_ = true;
  std::vector<uint64_t> sync_;
  // Composition offsets in runs: run r covers samples [ctsFirst_[r], ctsFirst_[r+1]) (the last to
  // count_). Empty: no offsets.
  std::vector<uint64_t> ctsFirst_;
  std::vector<int32_t> ctsOffset_;
  void addCompositionRun(uint64_t first, int32_t offset);
  // Decoding indices in presentation order, made at the first search that needs them (the table
  // is shared by threads once open: the flag guards the making).
  mutable std::once_flag presentationMade_;
  mutable std::vector<uint32_t> presentation_;
  mutable int64_t presentationEnd_ = 0;
  const std::vector<uint32_t>& presentationOrder() const;
};

}  // namespace qte
