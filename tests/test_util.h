// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Test helpers: package bytes built by hand, files that hold them, and the captured log.
#ifndef TESTS_TEST_UTIL_H_
#define TESTS_TEST_UTIL_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

using S = std::string;

inline S BE32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// One index entry.
inline S E(int32_t tag, uint32_t type, uint32_t offset, uint32_t count) {
  return BE32(uint32_t(tag)) + BE32(type) + BE32(offset) + BE32(count);
}

const S kLead(96, '\xA5');                      // never examined
const S kEnd = "|read rpm magic info failed.";  // where a package without payload ends

inline S Repeat(const S& s, int n) { return n > 0 ? s + Repeat(s, n - 1) : S(); }

// A section's magic, il and dl, for sections damaged or cut short by hand.
const S kMagic("\x8E\xAD\xE8\x01\0\0\0\0", 8);
inline S Preamble(int32_t il, uint32_t dl) { return kMagic + BE32(uint32_t(il)) + BE32(dl); }

// A whole section: preamble, index, store, and the fill that pads index and store to 8 bytes.
inline S Section(const S& index, const S& store) {
  return Preamble(int32_t(index.size() / 16), uint32_t(store.size())) + index + store +
         S(-(index.size() + store.size()) % 8, '\0');
}

// A file holding `bytes`, removed when this goes out of scope.
struct TempFile {
  S path = "/tmp/rpm_test_XXXXXX";
  explicit TempFile(const S& bytes) {
    close(mkstemp(&path[0]));
    std::ofstream(path, std::ios::binary) << bytes;
  }
  ~TempFile() { unlink(path.c_str()); }
};

// What the code under test logged: "|MESSAGE" for each record. Tests clear it before acting.
extern S g_logs;

#endif  // TESTS_TEST_UTIL_H_
