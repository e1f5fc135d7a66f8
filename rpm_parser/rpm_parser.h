// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Package reader: the lead and every header section of a package, decoded into a tag table.
#ifndef RPM_PARSER_RPM_PARSER_H_
#define RPM_PARSER_RPM_PARSER_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rpm_parser/rpm_val.h"

// Ceilings that bound what any file costs, whatever its size and kind, far above what real
// packages use: their headers hold a few hundred entries and a few megabytes at most.
struct RpmLimits {
  // The ceilings, with what a run may hold lowered to a quarter of the `ram` bytes it may use: on
  // a device without swap, more would take memory from everything else, or meet the OOM killer.
  static RpmLimits ForRam(uint64_t ram);
  // The same for the smaller of this machine's RAM, as sysinfo(2) gives it, and the memory
  // limits of the cgroup the process runs in and of those above it; the ceilings when neither
  // can be told.
  static RpmLimits ForMachine();
  // The least memory limit of the cgroups the process runs in and of those above them;
  // UINT64_MAX where none is set or can be read. `root` is the file system's, for tests.
  static uint64_t CgroupLimit(const std::string& root = "");

  // A section claiming more entries or a larger store is refused before anything is allocated.
  uint32_t max_il = 65535;
  uint32_t max_dl = uint32_t{256} << 20;
  // The values of a file keep at most the index and store bytes read plus this much, and never
  // more than max_keep, which still takes in a whole store at the ceiling; each value is
  // charged its bytes and kValueCost of bookkeeping.
  uint64_t keep_slack = uint64_t{8} << 20;
  uint64_t max_keep = uint64_t{320} << 20;
  // Text values point into their section's block, which then stays for the run, as long as the
  // blocks kept hold at most this much beyond what their values were charged; past it, the
  // values take copies of their text, within their charge, and the block goes.
  uint64_t max_unused = uint64_t{32} << 20;
  // Everything a run holds at once: blocks, values, the table and copies. A section or value
  // that would pass it ends the run as a shortage would, never the device's memory. The
  // ceilings above already keep a run under it.
  uint64_t max_memory = uint64_t{640} << 20;
};

class RpmParser {
 public:
  using TagTable = std::map<int32_t, std::unique_ptr<RpmVal>>;

  // What a value costs in memory besides its bytes: a table node, the value object and the
  // header of a copy of its text, with the allocator's rounding, on a 64-bit host.
  static constexpr uint64_t kValueCost = 160;
  // What a block kept costs besides its bytes and the zero after them: the allocator's header,
  // the rest of its last page when it is mapped on its own, and its place in the list of blocks.
  static constexpr uint64_t kBlockCost = 4096 + 32;
  // What a block of `nb` bytes costs, the zero after them included.
  static constexpr uint64_t BlockCharge(uint64_t nb) { return nb + 1 + kBlockCost; }

  explicit RpmParser(const RpmLimits& limits = RpmLimits()) : limits_(limits) {}
  RpmParser(const RpmParser&) = delete;
  RpmParser& operator=(const RpmParser&) = delete;

  // Reads the package at `path`. True when the file opened and its 96-byte lead was read,
  // whatever became of the header sections after it, unless memory ran short for one or a read
  // failed (an error, not the end of the file); false otherwise. The cause is logged. `opened`,
  // when given, is called once the file is open and everything else the run needs of it (its
  // length, a buffer) is had, before its first byte is read.
  bool Load(const char* path, void (*opened)() = nullptr);
  // The same from a stream positioned at the lead, which stays open for the caller.
  bool Load(FILE* fp);

  // The text of the tag's value; empty when the tag is absent.
  std::string GetValue(int32_t tag) const;
  // The same text handed to `out` piece by piece, never made whole; true when it took it all.
  bool WriteValue(int32_t tag, RpmTextSink* out) const;
  const TagTable& Tags() const { return tags_; }
  // What the values filed and the blocks kept for them were charged: at least the heap they hold,
  // and never more than the limit on memory.
  uint64_t Charged() const { return kept_ + unused_; }

 private:
  struct Source;
  // A section's block gives its `size` bytes back when it goes.
  struct BlockFree {
    size_t size;
    void operator()(uint8_t* p) const;
  };
  using Block = std::unique_ptr<uint8_t, BlockFree>;
  // Load from a stream that holds `left` more bytes (-1 when that is not known).
  bool LoadFrom(FILE* fp, int64_t left);
  // Reads one header section and files its values. False, after logging why, when the section
  // could not be taken whole; its values may still have been filed when only its fill is short.
  bool ReadHeader(Source* src);
  // Keeps the block of a section whose values point into it, unless that would pass the limit
  // on unused bytes kept; then those values are detached and the block goes. `charged` is what
  // the section's values were charged for their bytes, bookkeeping aside.
  void KeepBlock(Block ei, uint64_t il, uint64_t nb, uint64_t charged);

  const RpmLimits limits_;
  uint64_t read_ = 0;    // index and store bytes read so far
  uint64_t kept_ = 0;    // what the values filed so far were charged
  uint64_t unused_ = 0;  // what the blocks kept hold beyond their values' charges
  TagTable tags_;
  std::vector<Block> blocks_;  // sections' blocks that values point into
};

#endif  // RPM_PARSER_RPM_PARSER_H_
