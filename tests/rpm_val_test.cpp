// Decoding and rendering of each value class, and the factory's choice of class.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
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
    {"string", 6, std::string("abc\0", 4), 1, "abc"},
    {"string ends at its NUL", 6, std::string("ab\0cd\0", 6), 1, "ab"},
    {"empty string", 6, std::string("\0x\0", 3), 1, ""},
    {"string bytes kept as stored", 6, std::string("Gr\xC3\xBC\xFF\x01\n \0", 9), 1,
     "Gr\xC3\xBC\xFF\x01\n "},
    {"string ignores count", 6, std::string("abc\0", 4), 0, "abc"},
    {"i18n keeps the first translation", 9, std::string("Hello\0Hallo\0", 12), 2, "Hello"},
    {"array joined by line feeds", 8, std::string("a\0bc\0d\0", 7), 3, "a\nbc\nd"},
    {"array drops empty strings", 8, std::string("a\0\0d\0", 5), 3, "a\nd"},
    {"array of empty strings", 8, std::string("\0\0\0", 3), 3, ""},
    {"array leading and trailing empties", 8, std::string("\0a\0\0", 4), 3, "a"},
    {"array of one", 8, std::string("one\0two\0", 8), 1, "one"},
    {"array of none", 8, std::string("one\0", 4), 0, ""},
    {"array stops after count", 8, std::string("a\0b\0c", 5), 2, "a\nb"},
    {"array bytes kept as stored", 8, std::string("\xE9t\xE9\0\x80\0", 6), 2, "\xE9t\xE9\n\x80"},
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

// Text that does not end inside the store, or that needs more than the budget, is refused
// whole: the value keeps its earlier state, and nothing past the store is read.
TEST(RpmValTest, RefusesTextThatDoesNotFit) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string store;
    uint32_t count;
    RpmValBudget budget;
    RpmValFit fit;
  };
  const Case kCases[] = {
      {"string without NUL", 6, "abc", 1, kNoLimit, RpmValFit::kOutOfStore},
      {"i18n without NUL", 9, "abc", 2, kNoLimit, RpmValFit::kOutOfStore},
      {"array missing its last NUL", 8, std::string("a\0b\0c", 5), 3, kNoLimit,
       RpmValFit::kOutOfStore},
      {"array count beyond the store", 8, std::string("a\0b\0", 4), 3, kNoLimit,
       RpmValFit::kOutOfStore},
      {"array of huge count", 8, std::string(64, '\0'), 0xFFFFFFFF, kNoLimit,
       RpmValFit::kOutOfStore},
      {"string longer than the budget", 6, std::string("abcd\0", 5), 1, {3, 100},
       RpmValFit::kOverBudget},
      {"string past the scan budget", 6, std::string("abcd\0", 5), 1, {100, 4},
       RpmValFit::kOverBudget},
      {"array longer than the budget", 8, std::string("ab\0cd\0", 6), 2, {3, 100},
       RpmValFit::kOverBudget},
      {"array of empties past the scan budget", 8, std::string(64, '\0'), 10, {100, 9},
       RpmValFit::kOverBudget},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto val = RpmValFactory::GetInstance()->Create(c.type);
    RpmValBudget seed = kNoLimit;
    const uint8_t before[] = {'o', 'l', 'd', 0};
    ASSERT_EQ(val->Parse(before, 1, sizeof before, &seed), RpmValFit::kOk);
    // Heap copy of exactly the store, so that a read past it trips the address sanitizer.
    std::unique_ptr<uint8_t[]> store(new uint8_t[c.store.size()]);
    memcpy(store.get(), c.store.data(), c.store.size());
    RpmValBudget budget = c.budget;
    EXPECT_EQ(val->Parse(store.get(), c.count, c.store.size(), &budget), c.fit);
    EXPECT_EQ(val->ToString(), "old");
    EXPECT_EQ(budget.keep, c.budget.keep);  // nothing kept
  }
}

TEST(RpmValTest, TextChargesWhatItExaminesAndKeeps) {
  struct Case {
    uint32_t type;
    std::string store;
    uint32_t count;
    uint64_t scanned, kept;
  };
  const Case kCases[] = {
      {6, std::string("abc\0zz", 6), 1, 4, 3},
      {9, std::string("abc\0de\0", 7), 2, 4, 3},
      {8, std::string("ab\0\0c\0zz", 9), 3, 6, 3},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.store);
    auto val = RpmValFactory::GetInstance()->Create(c.type);
    RpmValBudget budget{100, 100};
    ASSERT_EQ(val->Parse(reinterpret_cast<const uint8_t*>(c.store.data()), c.count,
                         c.store.size(), &budget),
              RpmValFit::kOk);
    EXPECT_EQ(100 - budget.scan, c.scanned);
    EXPECT_EQ(100 - budget.keep, c.kept);
  }
}

TEST(RpmValFactoryTest, MakesValuesOnlyForCodesWithAClass) {
  RpmValFactory* factory = RpmValFactory::GetInstance();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(RpmValFactory::GetInstance(), factory);
  for (uint32_t type : {2u, 3u, 4u, 5u, 6u, 8u, 9u}) {
    EXPECT_NE(factory->Create(type), nullptr) << type;
    EXPECT_EQ(factory->Create(type)->ToString(), type <= 5 ? "-1" : "") << type;
  }
  for (uint32_t type : {0u, 1u, 7u, 10u, 11u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(factory->Create(type), nullptr) << type;
  }
}

}  // namespace
