// Decoding of header values from a section's big-endian data store, and their text.
#include "rpm_parser/rpm_val.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

enum TypeCode : uint32_t {
  kInt8 = 2,
  kInt16 = 3,
  kInt32 = 4,
  kInt64 = 5,
  kString = 6,
  kStringArray = 8,
  kI18nString = 9,
};

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

// Charges `scan` examined and `keep` kept bytes when both are left; otherwise charges nothing.
bool Take(RpmValBudget* budget, uint64_t scan, uint64_t keep) {
  if (scan > budget->scan || keep > budget->keep) return false;
  budget->scan -= scan;
  budget->keep -= keep;
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

template <typename T>
std::string IntText(T value) {
  char text[32];
  const int n = sizeof(T) == 8 ? snprintf(text, sizeof text, "%lld", static_cast<long long>(value))
                               : snprintf(text, sizeof text, "%d", static_cast<int32_t>(value));
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

template <typename T>
RpmValFit RpmValInt<T>::Parse(const uint8_t* data, uint32_t /*count*/, size_t size,
                              RpmValBudget* budget) {
  if (data == nullptr) return RpmValFit::kOk;
  if (size < sizeof(T)) return RpmValFit::kOutOfStore;
  if (!Take(budget, sizeof(T), sizeof(T))) return RpmValFit::kOverBudget;
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
  if (data == nullptr) return RpmValFit::kOk;
  size_t len = 0;
  const RpmValFit fit = FindNul(data, size, budget, &len);
  if (fit != RpmValFit::kOk) return fit;
  if (len > budget->keep) return RpmValFit::kOverBudget;
  budget->keep -= len;
  value_.assign(reinterpret_cast<const char*>(data), len);
  return RpmValFit::kOk;
}

template class RpmValString<kString>;
template class RpmValString<kI18nString>;

RpmValFit RpmValArray::Parse(const uint8_t* data, uint32_t count, size_t size,
                             RpmValBudget* budget) {
  if (data == nullptr || count == 0) return RpmValFit::kOk;
  // First find where the strings end, so that nothing is copied for an array that does not fit
  // and the text is sized once. Every step takes a byte of the store and of the scan budget, so
  // a huge count costs no more than those.
  size_t end = 0;
  uint64_t kept = 0;
  size_t elements = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (end >= size) return RpmValFit::kOutOfStore;
    size_t len = 0;
    const RpmValFit fit = FindNul(data + end, size - end, budget, &len);
    if (fit != RpmValFit::kOk) return fit;
    kept += len;
    elements += len != 0;
    end += len + 1;
  }
  if (kept > budget->keep) return RpmValFit::kOverBudget;
  budget->keep -= kept;

  std::string text;
  text.reserve(static_cast<size_t>(kept) + (elements > 0 ? elements - 1 : 0));
  for (size_t pos = 0; pos < end;) {
    const size_t len = strlen(reinterpret_cast<const char*>(data + pos));  // ends before `end`
    if (len != 0) {
      if (!text.empty()) text += '\n';
      text.append(reinterpret_cast<const char*>(data + pos), len);
    }
    pos += len + 1;
  }
  text_ = std::move(text);
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
    case kInt8:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt8);
    case kInt16:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt16);
    case kInt32:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt32);
    case kInt64:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValInt64);
    case kString:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValStr);
    case kStringArray:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValArray);
    case kI18nString:
      return std::unique_ptr<RpmVal>(new (std::nothrow) RpmValI18n);
    default:  // NULL, CHAR, BIN and unknown codes hold nothing
      return nullptr;
  }
}
