// The reader: package layout, truncation and damage, bounds, and the tag table's rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "rpm_parser/rpm_parser.h"
#include "tests/log_capture.h"
#include "tests/package_builder.h"

namespace {

using Formats = std::vector<std::string>;

constexpr uint32_t kInt8 = 2, kInt16 = 3, kInt32 = 4, kBin = 7;

// Loads `bytes` from a regular file, or through a memory stream whose length the reader can't
// know beforehand; both must read the same.
enum class Via { kFile, kStream };

bool LoadBytes(RpmParser* parser, const std::string& bytes, Via via) {
  CapturedLogs().clear();
  if (via == Via::kFile) {
    TempFile file(bytes);
    return parser->Load(file.path().c_str());
  }
  std::string copy = bytes;  // fmemopen wants a buffer of at least one byte
  FILE* fp = fmemopen(copy.empty() ? nullptr : &copy[0], copy.size(), "rb");
  if (fp == nullptr) return false;
  const bool ok = parser->Load(fp);
  fclose(fp);
  return ok;
}

std::string Tags(const RpmParser& parser) {
  std::string out;
  for (const auto& [tag, val] : parser.Tags()) {
    out += std::to_string(tag) + "=" + val->ToString() + ";";
  }
  return out;
}

class ReaderTest : public ::testing::TestWithParam<Via> {
 protected:
  bool Load(const std::string& bytes) { return LoadBytes(&parser_, bytes, GetParam()); }
  RpmParser parser_;
};

INSTANTIATE_TEST_SUITE_P(Both, ReaderTest, ::testing::Values(Via::kFile, Via::kStream),
                         [](const ::testing::TestParamInfo<Via>& param_info) {
                           return param_info.param == Via::kFile ? "File" : "Stream";
                         });

TEST_P(ReaderTest, ReadsASectionAndStopsAtTheEnd) {
  const std::string pkg =
      PackageBuilder().Lead().Section({{1000, kInt32, 0, 1}}, BE32(42)).Build();
  ASSERT_EQ(pkg.size(), 96u + 16 + 20 + 4);
  EXPECT_TRUE(Load(pkg));
  EXPECT_EQ(parser_.GetValue(1000), "42");
  EXPECT_EQ(parser_.GetValue(1001), "");
  EXPECT_EQ(CapturedFormats(), Formats{"read rpm magic info failed."});
  EXPECT_EQ(CapturedLogs().at(0).file, "rpm_parser/rpm_parser.cpp");
}

TEST_P(ReaderTest, KeepsTheEntriesOfASectionWhoseFillIsCutShort) {
  PackageBuilder b;
  b.Lead().Section({{1, kInt32, 0, 1}}, BE32(7)).Section({{2, kInt32, 0, 1}}, BE32(9));
  for (size_t cut = 0; cut <= 4; ++cut) {
    SCOPED_TRACE(cut);
    RpmParser parser;
    EXPECT_TRUE(LoadBytes(&parser, b.Build(b.Size() - cut), GetParam()));
    EXPECT_EQ(Tags(parser), "1=7;2=9;");
    EXPECT_EQ(CapturedFormats(),
              Formats{cut == 0 ? "read rpm magic info failed." : "read pad failed."});
  }
}

// Every length of a two-section package: which step gives up, and what was filed by then.
TEST_P(ReaderTest, EveryTruncationEndsAtTheRightStep) {
  PackageBuilder b;
  b.Lead().Section({{1, kInt32, 0, 1}}, BE32(7));       // nb 20, fill 4: ends at 96 + 40
  b.Section({{2, kInt16, 0, 1}, {3, kInt8, 2, 1}}, "\x12\x34\x56");  // nb 35, fill 5: ends at 192
  ASSERT_EQ(b.Size(), 192u);
  struct Step {
    size_t until;  // lengths below this end here
    const char* format;
    const char* tags;
  };
  const Step kSteps[] = {
      {96, "read rpm lead info failed, %m.", ""},
      {104, "read rpm magic info failed.", ""},
      {108, "read il failed.", ""},
      {112, "read dl failed.", ""},
      {132, "read nb failed.", ""},
      {136, "read pad failed.", "1=7;"},
      {144, "read rpm magic info failed.", "1=7;"},
      {148, "read il failed.", "1=7;"},
      {152, "read dl failed.", "1=7;"},
      {187, "read nb failed.", "1=7;"},
      {192, "read pad failed.", "1=7;2=4660;3=86;"},
      {193, "read rpm magic info failed.", "1=7;2=4660;3=86;"},
  };
  for (size_t len = 0; len <= b.Size(); ++len) {
    SCOPED_TRACE(len);
    const Step* step = kSteps;
    while (len >= step->until) ++step;
    RpmParser parser;
    EXPECT_EQ(LoadBytes(&parser, b.Build(len), GetParam()), len >= 96);
    EXPECT_EQ(Tags(parser), step->tags);
    ASSERT_FALSE(CapturedLogs().empty());
    EXPECT_EQ(CapturedLogs().back().format, step->format);
  }
}

TEST_P(ReaderTest, ReadsTheFillOfEveryLength) {
  for (uint32_t dl = 4; dl <= 12; ++dl) {
    SCOPED_TRACE(dl);
    RpmParser parser;
    std::string store = BE32(dl) + std::string(dl - 4, '\x11');
    EXPECT_TRUE(LoadBytes(&parser,
                          PackageBuilder()
                              .Lead()
                              .Section({{1, kInt32, 0, 1}}, store)
                              .Section({{2, kInt32, 0, 1}}, BE32(5))
                              .Build(),
                          GetParam()));
    EXPECT_EQ(Tags(parser), "1=" + std::to_string(dl) + ";2=5;");
  }
}

TEST_P(ReaderTest, EmptySectionsAreValidAndReadPast) {
  const std::string pkg = PackageBuilder()
                              .Lead()
                              .Preamble(0, 0)
                              .Preamble(0, 3)
                              .Bytes("abc")
                              .Fill()
                              .Section({{4, kInt32, 0, 1}}, BE32(44))
                              .Build();
  EXPECT_TRUE(Load(pkg));
  EXPECT_EQ(Tags(parser_), "4=44;");
  EXPECT_EQ(CapturedFormats(), Formats{"read rpm magic info failed."});
}

TEST_P(ReaderTest, RefusesSectionsThatCannotBeRead) {
  struct Case {
    const char* name;
    int32_t il;
    uint32_t dl;
    const char* format;
  };
  const Case kCases[] = {
      {"negative il", -1, 4, "invalid il."},
      {"lowest il", INT32_MIN, 0, "invalid il."},
      {"huge il", INT32_MAX, 0xFFFFFFFF, "read nb failed."},
      {"16 * il wraps 32 bits", 0x10000001, 4, "read nb failed."},
      {"huge dl", 1, 0xFFFFFFFF, "read nb failed."},
      {"store one byte longer than the file", 1, 5, "read nb failed."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    RpmParser parser;
    const std::string pkg = PackageBuilder()
                                .Lead()
                                .Section({{1, kInt32, 0, 1}}, BE32(1))
                                .Preamble(c.il, c.dl)
                                .Entry(2, kInt32, 0, 1)
                                .Bytes(BE32(2))
                                .Build();
    EXPECT_TRUE(LoadBytes(&parser, pkg, GetParam()));
    EXPECT_EQ(Tags(parser), "1=1;");
    EXPECT_EQ(CapturedFormats(), Formats{c.format});
  }
}

TEST_P(ReaderTest, RefusesBadMagicAndIgnoresTheLead) {
  const std::string good =
      PackageBuilder().Lead().Section({{1, kInt32, 0, 1}}, BE32(1)).Build();
  for (size_t at = 96; at < 104; ++at) {
    SCOPED_TRACE(at);
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    EXPECT_TRUE(Load(bad));
    EXPECT_EQ(Tags(parser_), "");
    EXPECT_EQ(CapturedFormats(), Formats{"rpm magic info failed."});
  }
  std::string lead_changed = good;
  for (size_t at = 0; at < 96; ++at) lead_changed[at] = static_cast<char>(at * 7);
  EXPECT_TRUE(Load(lead_changed));
  EXPECT_EQ(parser_.GetValue(1), "1");
}

TEST_P(ReaderTest, SkipsEntriesWithoutAClass) {
  const std::string pkg = PackageBuilder()
                              .Lead()
                              .Section({{1, 0, 0, 1},
                                        {2, 1, 0, 1},
                                        {3, kInt32, 0, 1},
                                        {4, kBin, 0, 4},
                                        {5, 10, 0, 1},
                                        {6, 0xFFFFFFFF, 0, 1}},
                                       BE32(3))
                              .Build();
  EXPECT_TRUE(Load(pkg));
  EXPECT_EQ(Tags(parser_), "3=3;");
  Formats want(5, "create RpmVal failed.");
  want.push_back("read rpm magic info failed.");
  EXPECT_EQ(CapturedFormats(), want);
}

TEST_P(ReaderTest, DecodesOnlyWhatLiesInsideTheStore) {
  // A store of 8 bytes; the earlier section gives every tag a value to keep.
  const std::string store = BE32(0x01020304) + BE32(0x05060708);
  std::vector<IndexEntry> before, entries;
  std::string before_store;
  for (int32_t tag = 1; tag <= 7; ++tag) {
    before.push_back({tag, kInt32, static_cast<uint32_t>(before_store.size()), 1});
    before_store += BE32(99);
  }
  entries = {{1, kInt32, 4, 1},           {2, kInt32, 5, 1},          {3, kInt32, 8, 1},
             {4, kInt32, 0xFFFFFFFF, 1},  {5, 5, 1, 1},               {6, kInt16, 6, 1},
             {7, kInt16, 7, 1}};
  const std::string pkg =
      PackageBuilder().Lead().Section(before, before_store).Section(entries, store).Build();
  EXPECT_TRUE(Load(pkg));
  EXPECT_EQ(Tags(parser_), "1=84281096;2=99;3=99;4=99;5=99;6=1800;7=99;");
  std::vector<std::string> messages;
  for (const LogLine& line : CapturedLogs()) messages.push_back(line.message);
  EXPECT_EQ(messages, (Formats{"tag 2 out of data store.", "tag 3 out of data store.",
                               "tag 4 out of data store.", "tag 5 out of data store.",
                               "tag 7 out of data store.", "read rpm magic info failed."}));
  EXPECT_EQ(CapturedLogs().at(0).format, "tag %d out of data store.");
}

TEST_P(ReaderTest, HoldsEachSectionToItsStoreSize) {
  // Entries that all share one integer: only the first is kept, within this section.
  std::vector<IndexEntry> entries;
  for (int32_t tag = 1; tag <= 1000; ++tag) entries.push_back({tag, kInt32, 0, 1});
  const std::string pkg = PackageBuilder()
                              .Lead()
                              .Section(entries, BE32(5))
                              .Section({{2, kInt32, 0, 1}}, BE32(6))
                              .Build();
  EXPECT_TRUE(Load(pkg));
  EXPECT_EQ(Tags(parser_), "1=5;2=6;");
  ASSERT_EQ(CapturedLogs().size(), 1000u);
  EXPECT_EQ(CapturedLogs().at(0).format, "tag %d over data budget.");
  EXPECT_EQ(CapturedLogs().at(0).message, "tag 2 over data budget.");
  EXPECT_EQ(CapturedLogs().at(998).message, "tag 1000 over data budget.");
}

TEST_P(ReaderTest, TextMustEndInsideTheStore) {
  constexpr uint32_t kString = 6, kArray = 8, kI18n = 9;
  const std::string store("abc\0de\0fg", 9);  // the store ends without a NUL
  const std::string pkg = PackageBuilder()
                              .Lead()
                              .Section({{1, kString, 0, 1},
                                        {2, kString, 4, 1},
                                        {3, kString, 7, 1},
                                        {4, kI18n, 8, 2},
                                        {5, kArray, 4, 1},
                                        {6, kArray, 0, 3},
                                        {7, kArray, 8, 0},
                                        {8, kArray, 9, 0}},
                                       store)
                              .Build();
  EXPECT_TRUE(Load(pkg));
  EXPECT_EQ(Tags(parser_), "1=abc;2=de;5=de;7=;");
  std::vector<std::string> messages;
  for (const LogLine& line : CapturedLogs()) messages.push_back(line.message);
  EXPECT_EQ(messages,
            (Formats{"tag 3 out of data store.", "tag 4 out of data store.",
                     "tag 6 out of data store.", "tag 8 out of data store.",
                     "read rpm magic info failed."}));
}

TEST_P(ReaderTest, SharedTextIsDecodedOnce) {
  // A thousand entries naming one 64 KiB string would copy 64 MiB: only the first is kept.
  constexpr uint32_t kString = 6, kArray = 8;
  std::vector<IndexEntry> strings, arrays;
  for (int32_t tag = 1; tag <= 1000; ++tag) strings.push_back({tag, kString, 0, 1});
  // A thousand arrays of the same thousand empty strings would walk a million bytes: the walk
  // is held to twice the store and one byte an entry.
  for (int32_t tag = 1001; tag <= 2000; ++tag) arrays.push_back({tag, kArray, 0, 1000});
  EXPECT_TRUE(Load(PackageBuilder()
                       .Lead()
                       .Section(strings, std::string(65536, 'x') + '\0')
                       .Section(arrays, std::string(1000, '\0'))
                       .Build()));
  EXPECT_EQ(Tags(parser_).size(), 65536 + std::string("1=;1001=;1002=;1003=;").size());
  EXPECT_EQ(parser_.GetValue(1), std::string(65536, 'x'));
  ASSERT_EQ(CapturedLogs().size(), 999u + 997 + 1);
  EXPECT_EQ(CapturedLogs().at(0).message, "tag 2 over data budget.");
  EXPECT_EQ(CapturedLogs().at(998).message, "tag 1000 over data budget.");
  EXPECT_EQ(CapturedLogs().at(999).message, "tag 1004 over data budget.");
}

TEST_P(ReaderTest, LaterEntriesWinWhenTheyMakeAValue) {
  const std::string pkg = PackageBuilder()
                              .Lead()
                              .Section({{1, kInt32, 0, 1}, {2, kInt32, 4, 1}, {3, kInt32, 8, 1}},
                                       BE32(10) + BE32(20) + BE32(30))
                              .Section({{1, kInt16, 0, 1},
                                        {1, kInt32, 2, 1},
                                        {2, kBin, 0, 1},
                                        {3, kInt32, 5, 1}},
                                       BE32(0x00070000) + BE32(0x00080000))
                              .Build();
  EXPECT_TRUE(Load(pkg));
  // 1: the main section's second entry; 2: BIN makes no value; 3: out of the store.
  EXPECT_EQ(Tags(parser_), "1=8;2=20;3=30;");
}

TEST(ReaderFileTest, ReportsFilesThatCannotBeRead) {
  struct Case {
    const char* path;
    const char* message;
  };
  const Case kCases[] = {
      {"/nonexistent/package.rpm", "Open rpm file fail!\n"},
      {"", "Open rpm file fail!\n"},
      {"/", "read rpm lead info failed, Is a directory."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    CapturedLogs().clear();
    RpmParser parser;
    EXPECT_FALSE(parser.Load(c.path));
    ASSERT_EQ(CapturedLogs().size(), 1u);
    EXPECT_EQ(CapturedLogs()[0].message, c.message);
  }
}

TEST(ReaderFileTest, ReadsTheSamplePackages) {
  struct Case {
    const char* file;
    int32_t tag;
    const char* want;
  };
  const Case kCases[] = {
      {"hello-2.1-3.noarch.rpm", 1000, "hello"},  // the main header wins over the signature's
      {"hello-2.1-3.noarch.rpm", 1001, "2.1"},
      {"hello-2.1-3.noarch.rpm", 1002, "3"},
      {"hello-2.1-3.noarch.rpm", 1003, "1"},
      {"hello-2.1-3.noarch.rpm", 1004, "Greets the world"},
      {"hello-2.1-3.noarch.rpm", 1005, "A tiny package that greets the world."},
      {"hello-2.1-3.noarch.rpm", 1006, "1704067200"},
      {"hello-2.1-3.noarch.rpm", 1009, "32"},
      {"hello-2.1-3.noarch.rpm", 1030, "-32275"},  // first file mode, 0x81ED as int16
      {"hello-2.1-3.noarch.rpm", 1036, ""},        // links: three empty strings
      {"hello-2.1-3.noarch.rpm", 1050, "3.0.4-1\n4.6.0-1\n4.0-1"},
      {"hello-2.1-3.noarch.rpm", 1082, "- Third release\n- Second release"},
      {"hello-2.1-3.noarch.rpm", 1117, "hello\nEMPTY\nREADME"},
      {"hello-2.1-3.noarch.rpm", 1118, "/usr/bin/\n/usr/share/doc/hello/"},
      {"hello-2.1-3.noarch.rpm", 1, ""},
      {"empty-meta-0.1-1.noarch.rpm", 1000, "empty-meta"},
      {"empty-meta-0.1-1.noarch.rpm", 1007, "build.example.org"},
      {"empty-meta-0.1-1.noarch.rpm", 1009, "0"},
      {"empty-meta-0.1-1.noarch.rpm", 1117, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.tag));
    CapturedLogs().clear();
    RpmParser parser;
    ASSERT_TRUE(parser.Load((std::string(RPM_TEST_DATA) + "/" + c.file).c_str()));
    EXPECT_EQ(parser.GetValue(c.tag), c.want);
    EXPECT_EQ(CapturedLogs().back().format, "rpm magic info failed.");
  }
}

}  // namespace
