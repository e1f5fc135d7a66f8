// Decoding and rendering of each value class, and the factory's choice of class.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "rpm_parser/rpm_val.h"

namespace {

constexpr RpmValBudget kNoLimit{UINT64_MAX, UINT64_MAX};

struct ValueCase {
  const char* name;
  uint32_t type;
  std::string store;
  uint32_t count;
  std::string want;
};

const ValueCase kValueCases[] = {
    {"int8 is signed", 2, "\xC8", 1, "-56"},
    {"int8 top", 2, "\x7F", 1, "127"},
    {"int8 bottom", 2, "\x80", 1, "-128"},
    {"int16 is signed", 3, "\xFF\xFE", 1, "-2"},
    {"int16 all ones", 3, "\xFF\xFF", 1, "-1"},
    {"int16 is big-endian", 3, std::string("\x01\x00", 2), 1, "256"},
    {"int32 is big-endian", 4, std::string("\0\0\x03\xE8", 4), 1, "1000"},
    {"int32 all ones", 4, "\xFF\xFF\xFF\xFF", 1, "-1"},
    {"int32 bottom", 4, std::string("\x80\0\0\0", 4), 1, "-2147483648"},
    {"int32 keeps the first of several", 4, std::string("\0\0\0\x01\0\0\0\x02\0\0\0\x03", 12), 3,
     "1"},
    {"int32 ignores count 0", 4, std::string("\0\0\0\x07", 4), 0, "7"},
    {"int64 is signed", 5, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE", 1, "-2"},
    {"int64 is big-endian", 5, std::string("\0\0\0\0\0\0\x01\0", 8), 1, "256"},
    {"int64 high word", 5, std::string("\0\0\0\x01\0\0\0\0", 8), 1, "4294967296"},
    {"int64 bottom", 5, std::string("\x80\0\0\0\0\0\0\0", 8), 1, "-9223372036854775808"},
};

TEST(RpmValTest, DecodesAndRenders) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(c.name);
    auto val = RpmValFactory::GetInstance()->Create(c.type);
    ASSERT_NE(val, nullptr);
    RpmValBudget budget = kNoLimit;
    // The store is copied so that reading past its end shows up under the address sanitizer.
    const std::string store = c.store;
    EXPECT_EQ(val->Parse(reinterpret_cast<const uint8_t*>(store.data()), c.count, store.size(),
                         &budget),
              RpmValFit::kOk);
    EXPECT_EQ(val->ToString(), c.want);
  }
}

TEST(RpmValTest, IntegersStartAtMinusOneAndKeepItWhenRefused) {
  const uint8_t bytes[8] = {0, 0, 0, 0, 0, 0, 0, 5};
  for (uint32_t type : {2u, 3u, 4u, 5u}) {
    SCOPED_TRACE(type);
    const size_t width = size_t{1} << (type - 2);
    auto val = RpmValFactory::GetInstance()->Create(type);
    EXPECT_EQ(val->ToString(), "-1");

    RpmValBudget budget = kNoLimit;
    EXPECT_EQ(val->Parse(nullptr, 1, 8, &budget), RpmValFit::kOk);
    EXPECT_EQ(val->ToString(), "-1");
    // One byte short of the width: nothing is read past the store.
    EXPECT_EQ(val->Parse(bytes + 8 - (width - 1), 1, width - 1, &budget), RpmValFit::kOutOfStore);
    EXPECT_EQ(val->ToString(), "-1");

    RpmValBudget tight{width - 1, UINT64_MAX};
    EXPECT_EQ(val->Parse(bytes + 8 - width, 1, width, &tight), RpmValFit::kOverBudget);
    EXPECT_EQ(val->ToString(), "-1");
    EXPECT_EQ(tight.keep, width - 1);  // a refused value takes nothing

    RpmValBudget exact{width, width};
    EXPECT_EQ(val->Parse(bytes + 8 - width, 1, width, &exact), RpmValFit::kOk);
    EXPECT_EQ(val->ToString(), "5");
    EXPECT_EQ(exact.keep, 0u);
    EXPECT_EQ(exact.scan, 0u);
  }
}

TEST(RpmValFactoryTest, MakesValuesOnlyForCodesWithAClass) {
  RpmValFactory* factory = RpmValFactory::GetInstance();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(RpmValFactory::GetInstance(), factory);
  for (uint32_t type : {2u, 3u, 4u, 5u}) EXPECT_NE(factory->Create(type), nullptr) << type;
  for (uint32_t type : {0u, 1u, 6u, 7u, 8u, 9u, 10u, 11u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(factory->Create(type), nullptr) << type;
  }
}

}  // namespace
