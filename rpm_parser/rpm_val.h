// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Typed header values: the RpmVal interface, its classes, and the factory that picks a class
// by type code.
#ifndef RPM_PARSER_RPM_VAL_H_
#define RPM_PARSER_RPM_VAL_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// Big-endian loads from any alignment: the same result on every CPU, and no unaligned access.
inline uint16_t LoadBE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t LoadBE32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint64_t LoadBE64(const uint8_t* p) { return uint64_t{LoadBE32(p)} << 32 | LoadBE32(p + 4); }

// The header type codes that have a value class; the others (NULL 0, CHAR 1, BIN 7 and any
// unknown code) make no value.
enum RpmType : uint32_t {
  kTypeInt8 = 2,
  kTypeInt16 = 3,
  kTypeInt32 = 4,
  kTypeInt64 = 5,
  kTypeString = 6,
  kTypeStringArray = 8,
  kTypeI18nString = 9,
};

// What the values of one section may still use of its data store, and what the values of the
// whole file may still keep. Entries of a well-formed section never share bytes, so it never
// runs out; a hostile one cannot make decoding copy or scan more than a small multiple of the
// store, nor many tiny values multiply the file's size in memory.
struct RpmValBudget {
  uint64_t keep;   // bytes of text this section's values may still hold
  uint64_t scan;   // bytes text values may still search for NULs, empty strings included;
                   // integers read fixed bytes and are charged none
  uint64_t total;  // bytes the file's values may still keep, their bookkeeping included
};

enum class RpmValFit {
  kOk,          // decoded
  kOutOfStore,  // the value's bytes run past the end of the store
  kOverBudget,  // the budget ran out before the value's bytes did
};

// Takes a value's text piece by piece, in order.
class RpmTextSink {
 public:
  // False to stop the writing.
  virtual bool Put(const char* piece, size_t size) = 0;

 protected:
  ~RpmTextSink() = default;
};

class RpmVal {
 public:
  // Decodes the value at `data`, after which `size` bytes of the store remain, given the
  // entry's count. Reads nothing past data + size, charges what it examines and keeps to
  // `budget`, and leaves the value as it was unless it returns kOk. A text value points into
  // the store: it must outlive the value, or the value must be detached first.
  virtual RpmValFit Parse(const uint8_t* data, uint32_t count, size_t size,
                          RpmValBudget* budget) = 0;
  // The value as text, byte for byte.
  virtual std::string ToString() const = 0;
  // Hands ToString's bytes to `out` without making them whole; true when it took them all.
  virtual bool WriteText(RpmTextSink* out) const {
    const std::string text = ToString();
    return text.empty() || out->Put(text.data(), text.size());
  }
  // The store bytes the value points into; null when it points into none.
  virtual const uint8_t* StoreBytes() const { return nullptr; }
  // Copies the value's text into memory of its own, so that its store may go. False when memory
  // ran short; the value then still points into the store.
  virtual bool Detach() { return true; }
  virtual ~RpmVal() = default;
};

// Signed integers of 1, 2, 4 or 8 bytes; only the first element of an entry is held.
template <typename T>
class RpmValInt final : public RpmVal {
 public:
  RpmValFit Parse(const uint8_t* data, uint32_t count, size_t size, RpmValBudget* budget) override;
  std::string ToString() const override;

 private:
  T value_ = -1;
};

using RpmValInt8 = RpmValInt<int8_t>;
using RpmValInt16 = RpmValInt<int16_t>;
using RpmValInt32 = RpmValInt<int32_t>;
using RpmValInt64 = RpmValInt<int64_t>;

// Releases memory taken with malloc, which, unlike new, leaves a shortage to the caller.
struct RpmFreeDeleter {
  void operator()(void* p) const { free(p); }
};

// Text pointed at in a store, or held in memory of its own once detached.
class RpmText {
 public:
  // Points at `length` bytes, which are the text as they stand unless `raw`: then they are
  // strings one after the other, to be joined as an array's text is.
  void Point(const uint8_t* bytes, size_t length, bool raw);
  std::string ToString() const;
  bool WriteText(RpmTextSink* out) const;
  const uint8_t* StoreBytes() const { return own_ || length_ == 0 ? nullptr : bytes_; }
  bool Detach();

 private:
  // Writes the text's first `n` bytes to `dst`.
  void Copy(char* dst, size_t n) const;

  using Own = std::unique_ptr<char, RpmFreeDeleter>;

  const uint8_t* bytes_ = nullptr;
  size_t length_ = 0;
  bool raw_ = false;
  Own own_;
};

// The text classes' common part: the text, however it is held.
class RpmValText : public RpmVal {
 public:
  std::string ToString() const final { return text_.ToString(); }
  bool WriteText(RpmTextSink* out) const final { return text_.WriteText(out); }
  const uint8_t* StoreBytes() const final { return text_.StoreBytes(); }
  bool Detach() final { return text_.Detach(); }

 protected:
  RpmText text_;
};

// One string: STRING (type 6), or the first translation of an I18NSTRING (type 9). Bytes stay
// as stored, up to the NUL.
template <uint32_t kType>
class RpmValString final : public RpmValText {
 public:
  RpmValFit Parse(const uint8_t* data, uint32_t count, size_t size, RpmValBudget* budget) override;
};

using RpmValStr = RpmValString<kTypeString>;
using RpmValI18n = RpmValString<kTypeI18nString>;

// STRING_ARRAY (type 8): `count` strings one after the other. Empty ones are counted but leave
// nothing; the others are joined by "\n" into the text.
class RpmValArray final : public RpmValText {
 public:
  RpmValFit Parse(const uint8_t* data, uint32_t count, size_t size, RpmValBudget* budget) override;
};

// Makes values by header type code. One instance per process, made on first use and kept.
class RpmValFactory {
 public:
  // The factory; null only when it could not be allocated.
  static RpmValFactory* GetInstance();
  // A new value of the class for `type` in its initial state, or null for a code without one.
  std::unique_ptr<RpmVal> Create(uint32_t type) const;

 private:
  RpmValFactory() = default;
};

#endif  // RPM_PARSER_RPM_VAL_H_
