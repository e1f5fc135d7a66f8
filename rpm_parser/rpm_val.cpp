// Decoding of header values from a section's big-endian data store, and their text.
#include "rpm_parser/rpm_val.h"

#include <cinttypes>
#include <cstdio>
#include <new>

namespace {

enum TypeCode : uint32_t {
  kInt8 = 2,
  kInt16 = 3,
  kInt32 = 4,
  kInt64 = 5,
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
    default:  // NULL, CHAR, BIN and unknown codes hold nothing
      return nullptr;
  }
}
