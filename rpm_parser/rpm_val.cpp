// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Decoding of header values from a section's big-endian data store, and their text.
#include "rpm_parser/rpm_val.h"

#include <sys/auxv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

template <typename T>
T LoadBE(const uint8_t* p);
template <>
int8_t LoadBE<int8_t>(const uint8_t* p) {
  return static_cast<int8_t>(p[0]);  // C8 -> -56 whether plain char is signed or not
}
template <>
int16_t LoadBE<int16_t>(const uint8_t* p) {
  return static_cast<int16_t>(LoadBE16(p));
}
template <>
int32_t LoadBE<int32_t>(const uint8_t* p) {
  return static_cast<int32_t>(LoadBE32(p));
}
template <>
int64_t LoadBE<int64_t>(const uint8_t* p) {
  return static_cast<int64_t>(LoadBE64(p));
}

// Charges `n` kept bytes to the section and to the file when both have them; otherwise charges
// nothing.
bool Keep(RpmValBudget* budget, uint64_t n) {
  if (n > budget->keep || n > budget->total) return false;
  budget->keep -= n;
  budget->total -= n;
  return true;
}

// Finds the NUL that ends the string at `data`, looking no further than the `size` bytes left in
// the store nor than the scan budget allows, and charges what it examined. On kOk, `*len` is the
// string's length without its NUL.
RpmValFit FindNul(const uint8_t* data, size_t size, RpmValBudget* budget, size_t* len) {
  const uint64_t window = std::min(uint64_t{size}, budget->scan);
  const void* nul = memchr(data, 0, static_cast<size_t>(window));
  if (nul == nullptr) {
    budget->scan -= window;
    return window == size ? RpmValFit::kOutOfStore : RpmValFit::kOverBudget;
  }
  *len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
  budget->scan -= *len + 1;
  return RpmValFit::kOk;
}

// Where there is a vector unit, array bytes are looked at 16 at a time in plain vector code
// rather than string by string with memchr: A/B with a logger listening, the 17 MB header takes
// 1.19 times as long without it. 32-bit ARM builds, which can't count on NEON, carry that code
// compiled for NEON and run it where the processor has it (under qemu-arm, the medium package
// takes 1.19 instructions a header byte under the floor with it, 0.29 over it without);
// elsewhere memchr finds the NULs, as the C library's own picks a vector version.
#if defined(__SSE2__) || defined(__ARM_NEON)
#define RPM_VECTORS 1
#define RPM_VECTOR_CODE
bool HaveVectors() { return true; }
#elif defined(__arm__) && defined(__linux__)
#define RPM_VECTORS 1
#define RPM_VECTOR_CODE __attribute__((target("fpu=neon")))
bool HaveVectors() {
  static int neon = -1;  // not known yet
  if (neon < 0) neon = (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
  return neon != 0;
}
#else
bool HaveVectors() { return false; }
#endif

#ifdef RPM_VECTORS
// The small helpers go into their callers, which are compiled for the vector unit.
#define RPM_VECTOR_HELPER inline __attribute__((always_inline)) RPM_VECTOR_CODE
using Vec = uint8_t __attribute__((vector_size(16)));
constexpr size_t kVec = sizeof(Vec);

RPM_VECTOR_HELPER Vec LoadVec(const void* p) {
  Vec v;
  memcpy(&v, p, kVec);  // no alignment asked for
  return v;
}
// 0xFF in each lane that holds a NUL, 0 in the others.
RPM_VECTOR_HELPER Vec NulMask(Vec v) { return reinterpret_cast<Vec>(v == 0); }
// The lanes' sum, when it is below 256 and no lane is over 127.
RPM_VECTOR_HELPER unsigned SumLanes(Vec v) {
  uint64_t half[2];
  memcpy(half, &v, sizeof half);
  return static_cast<unsigned>(((half[0] + half[1]) * 0x0101010101010101ULL) >> 56);
}

constexpr size_t kBlock = 15 * kVec;  // a lane counts at most 15: a block's sum fits a byte

// Counts the NULs from `p` a block at a time, as long as the `*count`-th lies beyond the block,
// and returns where it stopped, with `*count` lowered by the NULs passed. Each block looks one
// byte back for a NUL right after a NUL, the end of an empty string, and adds those to
// `*empties`, so `p` must not be the first byte.
RPM_VECTOR_CODE const uint8_t* CountBlocks(const uint8_t* p, const uint8_t* limit, uint32_t* count,
                                           uint32_t* empties) {
  for (; static_cast<size_t>(limit - p) >= kBlock; p += kBlock) {
    Vec nuls = {};
    Vec pairs = {};
    for (size_t i = 0; i < kBlock; i += kVec) {
      const Vec v = LoadVec(p + i);
      nuls -= NulMask(v);  // 0xFF is -1
      pairs -= NulMask(v | LoadVec(p + i - 1));
    }
    const unsigned n = SumLanes(nuls);
    if (n >= *count) break;
    *count -= n;
    *empties += SumLanes(pairs);
  }
  return p;
}

#endif

// Bytes up to and including the `count`-th NUL from `data`, looking at no more than `window`
// bytes; 0 when it is not there. Adds the empty strings among those to `*empties`.
size_t FindNthNul(const uint8_t* data, size_t window, uint32_t count, uint32_t* empties) {
  const uint8_t* const limit = data + window;
  const uint8_t* p = data;
#ifdef RPM_VECTORS
  // The first byte goes alone, as the blocks look one byte back.
  if (HaveVectors() && window > kBlock) {
    p = data + 1;
    if (data[0] == 0) {
      ++*empties;
      if (--count == 0) return 1;
    }
    p = CountBlocks(p, limit, &count, empties);
  }
#endif
  // The rest one string at a time; after the blocks, the first may have begun before them.
  for (; count > 0; --count) {
    const auto* nul = static_cast<const uint8_t*>(memchr(p, 0, static_cast<size_t>(limit - p)));
    if (nul == nullptr) return 0;
    if (nul == p && (p == data || p[-1] == 0)) ++*empties;
    p = nul + 1;
  }
  return static_cast<size_t>(p - data);
}

// Writes the next `n` bytes of an array's text to `dst`, from the stored strings at `*src`, and
// moves `*src` past the bytes used. A NUL ends a string and becomes the line feed before the
// next, but one that ends an empty string (first, or right after a NUL) leaves nothing;
// `*after_nul` carries that from one piece to the next and starts true.
void JoinStrings(char* dst, size_t n, const char** src, bool* after_nul) {
  const char* s = *src;
  bool after = *after_nul;
  for (size_t i = 0; i < n; ++s) {
    if (*s != 0) {
      dst[i++] = *s;
      after = false;
    } else if (!after) {
      dst[i++] = '\n';
      after = true;
    }
  }
  *src = s;
  *after_nul = after;
}

template <typename T>
std::string IntText(T value) {
  char text[32];
  const int n = sizeof(T) == 8 ? snprintf(text, sizeof text, "%lld", static_cast<long long>(value))
                               : snprintf(text, sizeof text, "%d", static_cast<int32_t>(value));
  return std::string(text, static_cast<size_t>(n));  // an integer always fits
}

}  // namespace

void RpmText::Point(const uint8_t* bytes, size_t length, bool raw) {
  own_.reset();
  bytes_ = bytes;
  length_ = length;
  raw_ = raw;
}

void RpmText::Copy(char* dst, size_t n) const {
  if (raw_) {
    const char* src = reinterpret_cast<const char*>(bytes_);
    bool after_nul = true;
    JoinStrings(dst, n, &src, &after_nul);
  } else {
    memcpy(dst, bytes_, n);
  }
}

std::string RpmText::ToString() const {
  std::string text(length_, '\0');
  if (length_ > 0) Copy(&text[0], length_);
  return text;
}

bool RpmText::WriteText(RpmTextSink* out) const {
  if (!raw_) return length_ == 0 || out->Put(reinterpret_cast<const char*>(bytes_), length_);
  // An array's text is made a piece at a time, whatever its length, in a buffer of the one thread
  // rather than a frame that a small stack could not hold.
  static char piece[64 << 10];
  const char* src = reinterpret_cast<const char*>(bytes_);
  bool after_nul = true;
  for (size_t done = 0; done < length_;) {
    const size_t n = std::min(sizeof piece, length_ - done);
    JoinStrings(piece, n, &src, &after_nul);
    if (!out->Put(piece, n)) return false;
    done += n;
  }
  return true;
}

bool RpmText::Detach() {
  // malloc, not new: a shortage is the caller's to handle, never the new handler's to end the run.
  Own copy(static_cast<char*>(malloc(length_ + 1)));
  if (!copy) return false;
  Copy(copy.get(), length_);
  own_ = std::move(copy);
  bytes_ = reinterpret_cast<const uint8_t*>(own_.get());
  raw_ = false;
  return true;
}

template <typename T>
RpmValFit RpmValInt<T>::Parse(const uint8_t* data, uint32_t /*count*/, size_t size,
                              RpmValBudget* budget) {
  if (size < sizeof(T)) return RpmValFit::kOutOfStore;
  // Fixed-width bytes are read, not searched: they cost the keep budget only.
  if (!Keep(budget, sizeof(T))) return RpmValFit::kOverBudget;
  value_ = LoadBE<T>(data);
  return RpmValFit::kOk;
}

template <typename T>
std::string RpmValInt<T>::ToString() const {
  return IntText(value_);
}

template class RpmValInt<int8_t>;
template class RpmValInt<int16_t>;
template class RpmValInt<int32_t>;
template class RpmValInt<int64_t>;

template <uint32_t kType>
RpmValFit RpmValString<kType>::Parse(const uint8_t* data, uint32_t /*count*/, size_t size,
                                     RpmValBudget* budget) {
  size_t len = 0;
  const RpmValFit fit = FindNul(data, size, budget, &len);
  if (fit != RpmValFit::kOk) return fit;
  if (!Keep(budget, len)) return RpmValFit::kOverBudget;
  text_.Point(data, len, false);
  return RpmValFit::kOk;
}

template class RpmValString<kTypeString>;
template class RpmValString<kTypeI18nString>;

RpmValFit RpmValArray::Parse(const uint8_t* data, uint32_t count, size_t size,
                             RpmValBudget* budget) {
  // A huge count costs no more than the bytes the store and the scan budget hold.
  const size_t window = static_cast<size_t>(std::min(uint64_t{size}, budget->scan));
  uint32_t empties = 0;
  const size_t end = count > 0 ? FindNthNul(data, window, count, &empties) : 0;
  if (end == 0 && count > 0) {
    budget->scan -= window;
    return window == size ? RpmValFit::kOutOfStore : RpmValFit::kOverBudget;
  }
  budget->scan -= end;
  // The text is what is charged, as it is what a copy would take: the non-empty strings and a
  // line feed between each two.
  const uint32_t elements = count - empties;
  const size_t length = elements == 0 ? 0 : end - count + elements - 1;
  if (!Keep(budget, length)) return RpmValFit::kOverBudget;
  text_.Point(data, length, true);
  return RpmValFit::kOk;
}

RpmValFactory* RpmValFactory::GetInstance() {
  // Never released: values made by it live until the process ends.
  static RpmValFactory* instance = nullptr;
  if (instance == nullptr) instance = new (std::nothrow) RpmValFactory;
  return instance;
}

std::unique_ptr<RpmVal> RpmValFactory::Create(uint32_t type) const {
  switch (type) {
    case kTypeInt8:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt8);
    case kTypeInt16:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt16);
    case kTypeInt32:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt32);
    case kTypeInt64:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt64);
    case kTypeString:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValStr);
    case kTypeStringArray:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValArray);
    case kTypeI18nString:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValI18n);
    default:  // NULL, CHAR, BIN and unknown codes hold nothing
      return nullptr;
  }
}
