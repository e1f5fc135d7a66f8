// Writes package files byte by byte for tests: a lead, header sections, any damage wanted.
#ifndef TESTS_PACKAGE_BUILDER_H_
#define TESTS_PACKAGE_BUILDER_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct IndexEntry {
  int32_t tag;
  uint32_t type;
  uint32_t offset;
  uint32_t count;
};

class PackageBuilder {
 public:
  PackageBuilder& Lead() { return Bytes(std::string(96, '\xA5')); }
  PackageBuilder& Magic() { return Bytes(std::string("\x8E\xAD\xE8\x01\0\0\0\0", 8)); }
  PackageBuilder& Preamble(int32_t il, uint32_t dl) {
    Magic().U32(static_cast<uint32_t>(il)).U32(dl);
    section_start_ = bytes_.size();
    return *this;
  }
  PackageBuilder& Entry(int32_t tag, uint32_t type, uint32_t offset, uint32_t count) {
    return U32(static_cast<uint32_t>(tag)).U32(type).U32(offset).U32(count);
  }
  // Pads what follows the last preamble to a multiple of 8, as the format wants.
  PackageBuilder& Fill() {
    return Bytes(std::string((8 - (bytes_.size() - section_start_) % 8) % 8, '\0'));
  }
  // A whole section: preamble, index, store and fill.
  PackageBuilder& Section(const std::vector<IndexEntry>& entries, const std::string& store) {
    Preamble(static_cast<int32_t>(entries.size()), static_cast<uint32_t>(store.size()));
    for (const IndexEntry& e : entries) Entry(e.tag, e.type, e.offset, e.count);
    return Bytes(store).Fill();
  }
  PackageBuilder& U32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<char>(v >> shift));
    return *this;
  }
  PackageBuilder& Bytes(const std::string& b) {
    bytes_ += b;
    return *this;
  }
  PackageBuilder& SetByte(size_t at, uint8_t b) {
    bytes_.at(at) = static_cast<char>(b);
    return *this;
  }
  size_t Size() const { return bytes_.size(); }
  // The bytes so far, cut to `keep` when that is shorter.
  std::string Build(size_t keep = std::string::npos) const { return bytes_.substr(0, keep); }

 private:
  std::string bytes_;
  size_t section_start_ = 0;
};

// A file holding `bytes`, removed when this goes out of scope.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char tmpl[] = "/tmp/rpm_test_XXXXXX";
    const int fd = mkstemp(tmpl);
    path_ = tmpl;
    if (fd >= 0) {
      if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) path_.clear();
      close(fd);
    }
  }
  ~TempFile() { unlink(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Big-endian bytes of an integer, for stores.
inline std::string BE32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

#endif  // TESTS_PACKAGE_BUILDER_H_
