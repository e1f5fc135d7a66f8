// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Values and the reader: text values against a plain walk, package layout, every truncation,
// hostile sections, bounds, budgets and the tag table's rules.
#include "rpm_parser/rpm_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "rpm_parser/rpm_log.h"
#include "tests/test_util.h"

constexpr uint32_t kI8 = 2, kI16 = 3, kI32 = 4, kI64 = 5, kStr = 6, kArr = 8, kI18n = 9;

// Collects the pieces of a value's text; refuses the one numbered `refuse`.
struct Pieces final : RpmTextSink {
  explicit Pieces(int refuse_at = -1) : refuse(refuse_at) {}
  S text;
  int count = 0, refuse;
  bool Put(const char* piece, size_t size) override {
    return count++ != refuse && !text.append(piece, size).empty();
  }
};

// Strings, translations and arrays of every shape read as a plain walk does, under every budget:
// the last NUL before, inside and after the blocks that are counted at once, runs of empty
// strings, store left over, budgets that run out anywhere.
TEST(RpmValTest, DecodesAsAPlainWalkDoes) {
  std::mt19937 rng(7);  // the same cases on every run
  auto roll = [&rng](size_t n) { return uint32_t(rng() % n); };
  std::map<uint32_t, std::unique_ptr<RpmVal>> vals;  // one a type, parsed again and again
  std::vector<std::vector<uint8_t>> stores;          // as long as the values point into them
  for (int round = 0; round < 5000; ++round) {
    const uint32_t len = 1 + roll(roll(4) ? 300 : 1500);  // past a block or several
    S bytes(len, '\0');
    const uint32_t sparse = 1u << roll(7), type = roll(3) ? kArr : roll(2) ? kStr : kI18n;
    for (char& b : bytes) b = roll(sparse) ? char('a' + roll(3)) : '\0';
    const size_t nuls = size_t(std::count(bytes.begin(), bytes.end(), '\0'));
    const uint32_t count = roll(9) ? roll(nuls + 2) : ~0u, strings = type == kArr ? count : 1;
    RpmValBudget budget{roll(len), roll(2 * len), roll(len)};
    const size_t window = size_t(std::min<uint64_t>(bytes.size(), budget.scan));
    S text;
    size_t end = 0, n = 0;
    for (size_t nul; n < strings && (nul = bytes.find('\0', end)) < window; ++n, end = nul + 1)
      if (nul > end) text += (text.empty() ? "" : "\n") + bytes.substr(end, nul - end);
    // Refused when the strings are not all in the window, or keep more than is left.
    const bool found = n == strings,
               kept = found && text.size() <= std::min(budget.keep, budget.total);
    const RpmValBudget before = budget;
    auto& val = vals[type];
    if (!val) val = RpmValFactory::GetInstance()->Create(type);
    const S was = val->ToString();                                  // what a refusal leaves
    auto& store = stores.emplace_back(bytes.begin(), bytes.end());  // no byte to spare
    using Fit = RpmValFit;
    const Fit fit = kept ? Fit::kOk : found || window < len ? Fit::kOverBudget : Fit::kOutOfStore;
    ASSERT_EQ(val->Parse(store.data(), count, store.size(), &budget), fit);
    ASSERT_EQ(val->ToString(), kept ? text : was);
    ASSERT_TRUE(!kept || (val->StoreBytes() != nullptr) == !text.empty());  // points into the store
    // Until a copy of its own lets the store go; parsed again, it points into the new one.
    ASSERT_TRUE(!kept || round % 2 ||
                (val->Detach() && !val->StoreBytes() && val->ToString() == text));
    ASSERT_EQ(before.keep - budget.keep, kept ? text.size() : 0);
    ASSERT_EQ(before.total - budget.total, before.keep - budget.keep);
    ASSERT_EQ(before.scan - budget.scan, found ? end : window);
  }
}

// The tag table as "TAG=TEXT;" and the log, "#" between; "false" first when Load failed. Reads
// a regular file, and a stream of unknown length, which must read alike; `check` looks at each.
static S Load(const S& bytes, const RpmLimits& limits = {},
              const std::function<void(const RpmParser&)>& check = nullptr) {
  S results[2], copy = bytes;
  for (S& result : results) {
    FILE* fp = &result == results ? fopen(TempFile(bytes).path.c_str(), "rb")
                                  : fmemopen(&copy[0], copy.size(), "rb");
    RpmParser parser(limits);
    g_logs.clear();
    errno = ENOTTY;  // "%m" must not tell of an earlier error
    result = parser.Load(fp) ? "" : "false ";
    RpmLogClose();
    fclose(fp);
    if (check) check(parser);
    for (const auto& [tag, val] : parser.Tags())
      result += std::to_string(tag) + "=" + val->ToString() + ";";
    result += "#" + g_logs.substr(g_logs.empty() ? 0 : 1);
  }
  EXPECT_EQ(results[1], results[0]);
  return results[0];
}

// Every length of a package: which step gives up, and what was filed by then; then whole
// packages: what is filed and what is refused.
TEST(ReaderTest, FilesWhatFitsAndRefusesTheRest) {
  const S pkg = kLead + Section(E(1, kI32, 0, 1), BE32(1)), big(70000, 'x');  // nb 20, fill 4
  const std::pair<size_t, S> kSteps[] = {
      // lengths below the first end with the second
      {96, "false #read rpm lead info failed, No data available."},
      {104, "#read rpm magic info failed."},
      {108, "#read il failed."},
      {112, "#read dl failed."},
      {132, "#read nb failed."},
      {136, "1=1;#read pad failed."},
      {137, "1=1;#read rpm magic info failed."},
  };
  for (size_t len = 0, step = 0; len <= pkg.size(); ++len) {
    while (len >= kSteps[step].first) ++step;
    EXPECT_EQ(Load(pkg.substr(0, len)), kSteps[step].second) << len;
  }
  // Ceilings the tests can reach, {il, dl, slack, max keep}: at most `il` entries and `dl` bytes
  // of store a section; values keep the section bytes read plus `slack`, and `max keep` at most.
  // An INT8 (charged its byte and the bookkeeping) and an empty STRING (the bookkeeping only):
  // nb 34.
  const S int8_and_empty = kLead + Section(E(1, kI8, 0, 1) + E(2, kStr, 1, 1), S("\x05\0", 2));
  const uint64_t cost = RpmParser::kValueCost;
  struct Case {
    S bytes, want;
    RpmLimits limits = {};
  };
  const Case kCases[] = {
      {pkg + Preamble(-1, 4), "1=1;#invalid il."},
      {pkg + Preamble(65536, 0), "1=1;#il 65536 over limit 65535."},
      {pkg + Preamble(0, (256 << 20) + 1), "1=1;#dl 268435457 over limit 268435456."},
      // Values of the whole file are charged their bytes and their bookkeeping, against the
      // section bytes read so far and the slack; what one refused is given back.
      {int8_and_empty, "1=5;#tag 2 over data budget." + kEnd,
       RpmLimits{9, 9, 2 * cost - 34, ~0ull}},
      {int8_and_empty, "2=;#tag 1 over data budget." + kEnd, RpmLimits{9, 9, 999, cost}},
      // What a section leaves unused stays for the next, which adds its own bytes (nb 300).
      {int8_and_empty +
           Section(E(3, kStr, 0, 1) + E(4, kStr, 0, 1) + E(5, kStr, 0, 1), S(252, '\0')),
       "1=5;3=;4=;#tag 2 over data budget.|tag 5 over data budget." + kEnd,
       RpmLimits{9, 999, cost + 21 - 34, ~0ull}},
      {pkg + kMagic.substr(0, 7) + "\x01" + BE32(0) + BE32(0), "1=1;#rpm magic info failed."},
      {pkg + Section("", "") + Section("", "abc") + Section(E(2, kI32, 0, 1), BE32(2)),
       "1=1;2=2;#" + kEnd.substr(1)},
      // Integers of every width at any alignment, strings, bytes in no string; later entries and
      // sections win when they make a value inside the store.
      {pkg + Section(E(1, kI16, 1, 1) + E(2, kI32, 3, 2) + E(2, kI8, 0, 1) + E(3, kI64, 7, 1) +
                         E(4, kI18n, 15, 2) + E(5, kArr, 15, 2) + E(1, kI32, 21, 1) +
                         E(1, kArr, 24, 0) + E(1, 7, 0, 1),
                     S("\xC8\xFF\xFE\x12\x34\x56\x78\x01\x02\x03\x04\x05\x06\x07\x08", 15) +
                         S("abc\0de\0fg", 9)),
       "1=-2;2=-56;3=72623859790382856;4=abc;5=abc\nde;#tag 1 out of data store.|"
       "tag 1 out of data store.|create RpmVal failed.|read rpm magic info failed."},
      // Entries sharing bytes, on a string longer than a stream's first block: a section's values
      // keep at most its store, and search at most twice the store and a byte an entry; integers
      // search nothing.
      {kLead + Section(E(1, kStr, 0, 1) + E(2, kStr, 0, 1) + E(3, kStr, 0, 1) +
                           E(4, kI32, 70001, 1) + E(5, kI32, 70001, 1),
                       big + '\0' + BE32(5)),
       "1=" + big +
           ";4=5;#tag 2 over data budget.|tag 3 over data budget.|tag 5 over data budget." + kEnd},
      {kLead + Section(E(1, kArr, 0, 4) + E(2, kArr, 0, 4) + E(3, kArr, 0, 4) + E(4, kArr, 0, 1),
                       S(4, '\0')),
       "1=;2=;3=;#tag 4 over data budget." + kEnd},
      // An array is charged its text, line feeds included: two over one store don't fit it.
      {kLead + Section(E(1, kArr, 0, 100) + E(2, kArr, 0, 100), Repeat(S("a\0", 2), 100)),
       "1=" + Repeat("a\n", 99) + "a;#tag 2 over data budget." + kEnd},
      // What a run holds is a quarter of the RAM: a block, then values' bookkeeping, past it
      // end the run as a shortage. A stream's block grows to it, then its bytes are only counted,
      // so that one cut short ends as a file does.
      {kLead + Section(E(1, kStr, 0, 1), S(99999, 'x') + '\0'),
       "false #nb 100016 over memory limit 100000, 0 held.", RpmLimits::ForRam(400000)},
      {kLead + Preamble(1, 100000) + E(1, kStr, 0, 1) + S(99999, 'x'), "#read nb failed.",
       RpmLimits::ForRam(400000)},
      {kLead + Section(E(1, kI8, 0, 1) + E(2, kI8, 1, 1) + E(3, kI8, 2, 1), "\x01\x02\x03"),
       "false 1=1;2=2;#tag 3 over memory limit 4600, 4500 held.", RpmLimits::ForRam(18400)},
      {kLead + Section(E(1, kI8, 0, 1) + E(2, kI8, 1, 1) + E(3, kI8, 2, 1) + E(4, kI8, 3, 1),
                       "\x01\x02\x03\x04"),  // room for three values exactly
       "false 1=1;2=2;3=3;#tag 4 over memory limit 4677, 4677 held.", RpmLimits::ForRam(18708)},
  };
  for (const Case& c : kCases) EXPECT_EQ(Load(c.bytes, c.limits), c.want);
  EXPECT_EQ(RpmLimits::ForRam(uint64_t{3} << 30).max_memory, 640u << 20);  // the ceiling
  // The least limit of the process's cgroups and those above them, of v1 and of v2, wherever
  // each is mounted; levels that can't be seen are passed over.
  const std::pair<std::vector<std::pair<S, S>>, uint64_t> kCgroups[] = {
      {{{"proc/self/cgroup", "9:name=systemd:/\n3:cpu:/c\n4:pids,memory:/a/b\n0::/a\n"},
        {"sys/fs/cgroup/memory/c/memory.limit_in_bytes", "1000\n"},  // not the process's
        {"sys/fs/cgroup/memory/a/b/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/a/memory.limit_in_bytes", "67108864\n"},
        {"sys/fs/cgroup/unified/a/memory.max", "max\n"}},
       64 << 20},
      {{{"proc/self/cgroup", "0::/s/x\n"},
        {"sys/fs/cgroup/s/x/memory.max", "max\n"},
        {"sys/fs/cgroup/s/memory.high", "5000000\n"},
        {"sys/fs/cgroup/s/memory.max", "6000000"}},
       5000000},
      {{{"proc/self/cgroup", "0::/unseen\n"}, {"sys/fs/cgroup/memory.max", "7000000\n"}}, 7000000},
  };
  for (const auto& [files, want] : kCgroups) {
    S root = "/tmp/rpm_cgroup_XXXXXX";
    ASSERT_NE(mkdtemp(&root[0]), nullptr);
    for (const auto& [path, text] : files) {
      std::filesystem::create_directories(std::filesystem::path(root + '/' + path).parent_path());
      std::ofstream(root + '/' + path) << text;
    }
    EXPECT_EQ(RpmLimits::CgroupLimit(root), want) << files.size();
    std::filesystem::remove_all(root);
  }
  // Records name their source as placed in the checkout, whatever prefix map the build applied.
  EXPECT_STREQ(RpmLogFile("./rpm_parser/rpm.cpp"), "rpm_parser/rpm.cpp");
}

// Text values point into their section's block, which stays while they do, as long as the blocks
// kept hold at most the limit beyond their values' charges; past it they take copies and the
// block goes. A freed block this big goes back to the kernel, so a value still pointing into one
// would fault. An array's text is written in pieces, empty strings across them, as ToString's.
TEST(ReaderTest, KeepsTheBlocksValuesPointIntoOrCopiesThem) {
  const S a(100000, 'a'), b(100000, 'b'), joined = a + '\n' + b;
  const S pkg = kLead + Section(E(1, kStr, 0, 1) + E(2, kArr, 0, 4) + E(3, kArr, 100001, 2) +
                                    E(4, kStr, 600000, 1),
                                a + '\0' + '\0' + b + '\0' + '\0' + S(300000, '\x07'));
  // Charged its text bytes and three values' bookkeeping; the block holds more.
  const uint64_t nb = 64 + 500004, text = 400001, values = 3 * RpmParser::kValueCost,
                 unused = RpmParser::BlockCharge(nb) - text, peak = text + values + unused + text;
  // Kept within the limit on unused bytes, copied past it, and kept after all where the copies
  // would not fit beside the block in memory.
  RpmLimits limits;
  for (const auto& [max_unused, max_memory] :
       {std::pair{unused, peak}, {unused - 1, peak}, {unused - 1, peak - 1}}) {
    std::tie(limits.max_unused, limits.max_memory) = std::tie(max_unused, max_memory);
    // Charged what it holds: the block it keeps, or the copies.
    const bool kept = max_unused == unused || max_memory < peak;
    const auto check = [&](const RpmParser& parser) {
      EXPECT_EQ(parser.Charged(), text + values + (kept ? unused : 0));
      Pieces out, refusing(kept ? 3 : 0);  // the last piece refused
      EXPECT_TRUE(parser.WriteValue(2, &out) && !parser.WriteValue(2, &refusing));
      EXPECT_TRUE(out.text == joined && refusing.text == joined.substr(0, 65536 * (kept ? 3 : 0)));
      EXPECT_EQ(out.count, kept ? 4 : 1);  // made a piece at a time, or copied whole
    };
    EXPECT_TRUE(Load(pkg, limits, check) ==
                "1=" + a + ";2=" + joined + ";3=" + b + ";#tag 4 out of data store." + kEnd);
  }
}
