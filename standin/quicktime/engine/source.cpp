// Byte sources: a read-only file shared by every reader of a movie, and a memory copy.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "qtengine.h"

namespace qte {
namespace {

// One FILE with a mutex around seek+read: the portable equivalent of pread.
class FileSource final : public ByteSource {
 public:
  FileSource(std::FILE* f, uint64_t size) : f_(f), size_(size) {}
  ~FileSource() override { std::fclose(f_); }
  uint64_t size() const override { return size_; }
  Err read(uint64_t off, void* dst, size_t n) const override {
    if (off > size_ || n > size_ - off) return invalidMedia;
    if (n == 0) return noErr;
    std::lock_guard<std::mutex> lock(mu_);
    if (!seek(off)) return invalidMedia;
    return std::fread(dst, 1, n, f_) == n ? noErr : invalidMedia;
  }

 private:
  bool seek(uint64_t off) const {
#if defined(_WIN32)
    return _fseeki64(f_, int64_t(off), SEEK_SET) == 0;
#else
    return fseeko(f_, off_t(off), SEEK_SET) == 0;
#endif
  }
  std::FILE* f_;
  uint64_t size_;
  mutable std::mutex mu_;  // guards the FILE position
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> d) : d_(std::move(d)) {}
  uint64_t size() const override { return d_.size(); }
  Err read(uint64_t off, void* dst, size_t n) const override {
    if (off > d_.size() || n > d_.size() - off) return invalidMedia;
    if (n) std::memcpy(dst, d_.data() + off, n);
    return noErr;
  }

 private:
  std::vector<uint8_t> d_;
};

}  // namespace

Err openFileSource(const std::string& path, std::shared_ptr<ByteSource>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return errno == EACCES ? permErr : fnfErr;
  int64_t size = -1;
#if defined(_WIN32)
  if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
#else
  if (fseeko(f, 0, SEEK_END) == 0) size = int64_t(ftello(f));
#endif
  if (size < 0) {
    std::fclose(f);
    return fnfErr;
  }
  FileSource* s = new (std::nothrow) FileSource(f, uint64_t(size));
  if (!s) {
    std::fclose(f);
    return memFullErr;
  }
  out.reset(s);
  return noErr;
}

std::shared_ptr<ByteSource> memorySource(const uint8_t* data, size_t n) {
  return std::make_shared<MemorySource>(std::vector<uint8_t>(data, data + n));
}

}  // namespace qte
