// Values and the reader: decoding of every class, package layout, every truncation, hostile
// sections, bounds and the tag table's rules.
#include "rpm_parser/rpm_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "tests/test_util.h"

namespace {

using S = std::string;
constexpr uint32_t kInt8 = 2, kInt16 = 3, kInt32 = 4, kInt64 = 5, kStr = 6, kBin = 7, kArr = 8,
                   kI18n = 9;
constexpr uint64_t kAll = UINT64_MAX;
constexpr RpmValFit kOk = RpmValFit::kOk, kOut = RpmValFit::kOutOfStore,
                    kOver = RpmValFit::kOverBudget;

const struct ValueCase {
  uint32_t type;
  S store;
  uint32_t count;
  RpmValFit fit;
  S want;  // a refused value keeps its initial text
  RpmValBudget budget = {kAll, kAll};
} kValueCases[] = {
    {kInt8, "\xC8", 1, kOk, "-56"},  // signed, whatever the signedness of char
    {kInt16, "\xFF\xFE", 1, kOk, "-2"},
    {kInt16, "\x01", 1, kOut, "-1"},
    {kInt32, S("\0\0\x03\xE8", 4), 1, kOk, "1000"},
    {kInt32, S("\0\0\0\x01\0\0\0\x02", 8), 2, kOk, "1"},  // only the first element
    {kInt64, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE", 1, kOk, "-2"},
    {kInt64, S("\0\0\0\x01\0\0\x01\0", 8), 1, kOk, "4294967552"},
    {kInt64, S("\0\0\0\x01\0\0\x01\0", 8), 1, kOver, "-1", {7, kAll}},
    {kStr, S("ab\0cd\0", 6), 1, kOk, "ab"},
    {kStr, S("\0x\0", 3), 1, kOk, ""},
    {kStr, S("Gr\xC3\xBC\xFF\n \0", 8), 1, kOk, "Gr\xC3\xBC\xFF\n "},  // bytes as stored
    {kStr, "abc", 1, kOut, ""},
    {kStr, S("abcd\0", 5), 1, kOver, "", {3, kAll}},
    {kStr, S("abcd\0", 5), 1, kOver, "", {kAll, 4}},
    {kI18n, S("Hello\0Hallo\0", 12), 2, kOk, "Hello"},
    {kI18n, "Hello", 2, kOut, ""},
    {kArr, S("\0a\0\0bc\0\0", 8), 5, kOk, "a\nbc"},  // empty strings count, but are not kept
    {kArr, S("one\0two\0", 8), 1, kOk, "one"},
    {kArr, S("one\0", 4), 0, kOk, ""},
    {kArr, S("a\0b\0c", 5), 3, kOut, ""},
    {kArr, S(64, '\0'), 0xFFFFFFFF, kOut, ""},
    {kArr, S("ab\0cd\0", 6), 2, kOver, "", {3, kAll}},
    {kArr, S(64, '\0'), 10, kOver, "", {kAll, 9}},
};

TEST(RpmValTest, DecodesWhatFitsAndRefusesTheRest) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(::testing::PrintToString(c.store) + " type " + std::to_string(c.type));
    auto val = RpmValFactory::GetInstance()->Create(c.type);
    // Exactly the store on the heap, so that any read past it trips the address sanitizer.
    std::unique_ptr<uint8_t[]> store(new uint8_t[c.store.size()]);
    memcpy(store.get(), c.store.data(), c.store.size());
    RpmValBudget budget = c.budget;
    EXPECT_EQ(val->Parse(store.get(), c.count, c.store.size(), &budget), c.fit);
    EXPECT_EQ(val->ToString(), c.want);
    EXPECT_TRUE(c.fit == kOk || budget.keep == c.budget.keep);  // refused: nothing kept
    EXPECT_EQ(val->Parse(nullptr, 1, 8, &budget), kOk);         // no address: no change
    EXPECT_EQ(val->ToString(), c.want);
  }
  // Arrays long enough to be counted in blocks, with empty strings among them.
  S many, want;
  for (int i = 0; i < 40; ++i) many += S("ab\0\0cde\0", 8), want += S(i ? "\n" : "") + "ab\ncde";
  for (uint32_t count : {119u, 120u, 121u}) {
    auto val = RpmValFactory::GetInstance()->Create(kArr);
    RpmValBudget budget{kAll, kAll};
    EXPECT_EQ(
        val->Parse(reinterpret_cast<const uint8_t*>(many.data()), count, many.size(), &budget),
        count <= 120 ? kOk : kOut);
    EXPECT_EQ(val->ToString(), count == 120   ? want
                               : count == 119 ? want.substr(0, want.size() - 4)
                                              : "");
  }
  for (uint32_t type : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 0xFFFFFFFFu}) {
    const bool has_class = (type >= 2 && type <= 6) || type == 8 || type == 9;
    EXPECT_EQ(RpmValFactory::GetInstance()->Create(type) != nullptr, has_class) << type;
  }
}

struct Result {
  bool ok;
  S tags;  // "TAG=TEXT;" for every filed value
  Lines logs;
};

// Loads from a regular file, or from a memory stream whose length the reader can't know
// beforehand: both must read alike.
Result Load(const S& bytes, bool via_file) {
  if (const char* dir = getenv("RPM_DUMP_CORPUS")) {  // seeds for the fuzzer
    std::ofstream(S(dir) + "/seed_" + std::to_string(std::hash<S>()(bytes)), std::ios::binary)
        << bytes;
  }
  RpmParser parser;
  Logs().clear();
  Result r{false, "", {}};
  if (via_file) {
    r.ok = parser.Load(TempFile(bytes).path.c_str());
  } else {
    S copy = bytes + '\0';  // fmemopen wants a buffer of at least one byte
    FILE* fp = fmemopen(&copy[0], bytes.size(), "rb");
    r.ok = parser.Load(fp);
    fclose(fp);
  }
  for (const auto& [tag, val] : parser.Tags())
    r.tags += std::to_string(tag) + "=" + val->ToString() + ";";
  for (const S& line : Logs()) r.logs.push_back(line.substr(line.find(": ") + 2));
  EXPECT_TRUE(Logs().empty() || Logs()[0].rfind("rpm_parser/rpm_parser.cpp: ", 0) == 0);
  return r;
}

class ReaderTest : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(FileAndStream, ReaderTest, ::testing::Bool());

// Every length of a two-section package: which step gives up, and what was filed by then.
TEST_P(ReaderTest, EveryTruncationEndsAtTheRightStep) {
  const S pkg = PackageBuilder()
                    .Lead()
                    .Section({{1, kInt32, 0, 1}}, BE32(42))  // nb 20 + fill 4: ends at 136
                    .Section({{2, kInt16, 0, 1}, {3, kInt8, 2, 1}}, "\x12\x34\x56")  // 35 + 5
                    .bytes;
  const struct {
    size_t until;  // lengths below this end here
    const char *message, *tags;
  } kSteps[] = {
      {96, "read rpm lead info failed, Success.", ""},
      {104, "read rpm magic info failed.", ""},
      {108, "read il failed.", ""},
      {112, "read dl failed.", ""},
      {132, "read nb failed.", ""},
      {136, "read pad failed.", "1=42;"},
      {144, "read rpm magic info failed.", "1=42;"},
      {148, "read il failed.", "1=42;"},
      {152, "read dl failed.", "1=42;"},
      {187, "read nb failed.", "1=42;"},
      {192, "read pad failed.", "1=42;2=4660;3=86;"},
      {193, "read rpm magic info failed.", "1=42;2=4660;3=86;"},
  };
  ASSERT_EQ(pkg.size(), 192u);
  for (size_t len = 0; len <= pkg.size(); ++len) {
    auto step = std::begin(kSteps);
    while (len >= step->until) ++step;
    const Result r = Load(pkg.substr(0, len), GetParam());
    EXPECT_EQ(r.ok, len >= 96) << len;
    EXPECT_EQ(r.tags, step->tags) << len;
    EXPECT_EQ(r.logs, Lines{step->message}) << len;
  }
}

// After one good section: sections that must be refused, and empty ones read past.
TEST_P(ReaderTest, RefusesSectionsThatCannotBeRead) {
  const struct {
    S after;
    const char *tags, *message;
  } kCases[] = {
      {PackageBuilder().Preamble(-1, 4).bytes, "1=1;", "invalid il."},
      {PackageBuilder().Preamble(INT32_MIN, 0).bytes, "1=1;", "invalid il."},
      {PackageBuilder().Preamble(INT32_MAX, 0xFFFFFFFF).bytes, "1=1;", "read nb failed."},
      {PackageBuilder().Preamble(0x10000001, 4).bytes, "1=1;", "read nb failed."},  // 16 il wraps
      {PackageBuilder().Preamble(0, 9).Bytes("12345678").bytes, "1=1;", "read nb failed."},
      {S("\x8E\xAD\xE8\x01\0\0\0\x01", 8) + BE32(0) + BE32(0), "1=1;", "rpm magic info failed."},
      {PackageBuilder()
           .Section({}, "")
           .Section({}, "abc")
           .Section({{2, kInt32, 0, 1}}, BE32(2))
           .bytes,
       "1=1;2=2;", "read rpm magic info failed."},
  };
  const S first = PackageBuilder().Lead().Section({{1, kInt32, 0, 1}}, BE32(1)).bytes;
  for (const auto& c : kCases) {
    const Result r = Load(first + c.after, GetParam());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.tags, c.tags) << c.message;
    EXPECT_EQ(r.logs, Lines{c.message});
  }
}

// A second section's entries over a first's: classes, bounds, and which value wins.
TEST_P(ReaderTest, FilesEntriesThatMakeAValueInsideTheStore) {
  std::vector<IndexEntry> first;
  for (int32_t tag = 1; tag <= 8; ++tag) first.push_back({tag, kInt32, uint32_t(tag - 1) * 4, 1});
  S first_store;
  for (uint32_t v = 100; v <= 800; v += 100) first_store += BE32(v);
  const S store(
      "\x00\x07\x00\x00\x00\x08"
      "abc\0de\0fg",
      15);  // no NUL at the end
  const Result r = Load(PackageBuilder()
                            .Lead()
                            .Section(first, first_store)
                            .Section({{1, kInt16, 0, 1},
                                      {1, kInt32, 2, 1},
                                      {2, kBin, 0, 1},
                                      {3, kInt32, 12, 1},
                                      {4, kInt32, 15, 1},
                                      {5, kStr, 6, 1},
                                      {6, kStr, 13, 1},
                                      {7, kArr, 10, 1},
                                      {8, kArr, 6, 3},
                                      {9, 0, 0, 1},
                                      {10, 1, 0, 1},
                                      {11, 10, 0, 1}},
                                     store)
                            .bytes,
                        GetParam());
  // 1: the later entry wins; 2: no class, the earlier value stays; 3, 4, 6, 8: out of the store.
  EXPECT_EQ(r.tags, "1=8;2=200;3=300;4=400;5=abc;6=600;7=de;8=800;");
  EXPECT_EQ(
      r.logs,
      (Lines{"create RpmVal failed.", "tag 3 out of data store.", "tag 4 out of data store.",
             "tag 6 out of data store.", "tag 8 out of data store.", "create RpmVal failed.",
             "create RpmVal failed.", "create RpmVal failed.", "read rpm magic info failed."}));
}

// Entries that share bytes could make a small file copy or walk without end: each section's
// values keep at most its store, and walk at most twice the store and a byte an entry.
TEST_P(ReaderTest, HoldsEachSectionToItsStore) {
  std::vector<IndexEntry> strings, arrays;
  for (int32_t tag = 1; tag <= 1000; ++tag) strings.push_back({tag, kStr, 0, 1});
  for (int32_t tag = 1001; tag <= 2000; ++tag) arrays.push_back({tag, kArr, 0, 1000});
  const Result r = Load(PackageBuilder()
                            .Lead()
                            .Section(strings, S(65536, 'x') + '\0')
                            .Section(arrays, S(1000, '\0'))
                            .bytes,
                        GetParam());
  EXPECT_EQ(r.tags, "1=" + S(65536, 'x') + ";1001=;1002=;1003=;");
  ASSERT_EQ(r.logs.size(), 999u + 997 + 1);
  EXPECT_EQ(r.logs[0], "tag 2 over data budget.");
  EXPECT_EQ(r.logs[999], "tag 1004 over data budget.");
}

}  // namespace
