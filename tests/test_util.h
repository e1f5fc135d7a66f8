// Test helpers: package bytes written byte by byte, temporary files, captured log records.
#ifndef TESTS_TEST_UTIL_H_
#define TESTS_TEST_UTIL_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

using Lines = std::vector<std::string>;

inline std::string BE32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

struct IndexEntry {
  int32_t tag;
  uint32_t type, offset, count;
};

// Package bytes: Lead(), then sections; Preamble() alone starts a section to be damaged by hand.
struct PackageBuilder {
  std::string bytes;
  size_t start = 0;

  PackageBuilder& Lead() { return Bytes(std::string(96, '\xA5')); }
  PackageBuilder& Preamble(int32_t il, uint32_t dl) {
    Bytes(std::string("\x8E\xAD\xE8\x01\0\0\0\0", 8) + BE32(uint32_t(il)) + BE32(dl));
    start = bytes.size();
    return *this;
  }
  // Preamble, index and store, then the fill that pads index and store to a multiple of 8.
  PackageBuilder& Section(const std::vector<IndexEntry>& entries, const std::string& store) {
    Preamble(int32_t(entries.size()), uint32_t(store.size()));
    for (const IndexEntry& e : entries) {
      Bytes(BE32(uint32_t(e.tag)) + BE32(e.type) + BE32(e.offset) + BE32(e.count));
    }
    return Bytes(store).Bytes(std::string((8 - (bytes.size() - start) % 8) % 8, '\0'));
  }
  PackageBuilder& Bytes(const std::string& b) {
    bytes += b;
    return *this;
  }
};

// A file holding `bytes`, removed when this goes out of scope.
struct TempFile {
  std::string path = "/tmp/rpm_test_XXXXXX";
  explicit TempFile(const std::string& bytes) {
    const int fd = mkstemp(&path[0]);
    if (write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) path = "/nonexistent";
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
};

// What the code under test logged, as "FILE: MESSAGE" lines; tests clear it before acting.
Lines& Logs();

#endif  // TESTS_TEST_UTIL_H_
