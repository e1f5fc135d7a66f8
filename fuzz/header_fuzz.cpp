// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary bytes through the whole reading path, from the lead to the tag table,
// read once from a memory stream and once from a regular file. Both must file the same values,
// and neither may hold more heap after loading than its values were charged, so that a charge
// below an allocation shows on small inputs too.
#include <malloc.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "rpm_parser/rpm_log.h"
#include "rpm_parser/rpm_parser.h"

#if defined(__SANITIZE_ADDRESS__)
#define RPM_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RPM_FUZZ_ASAN 1
#endif
#endif
#ifdef RPM_FUZZ_ASAN
#include <sanitizer/allocator_interface.h>
#endif

namespace {

constexpr uint64_t kSlack = 64 << 10;
// What the values hold, the allocator's rounding included, is within their charge, and nothing
// else stays on the heap. Freed blocks must count as free: without the sanitizers, glibc's
// per-thread cache is turned off (GLIBC_TUNABLES=glibc.malloc.tcache_count=0).
constexpr uint64_t kHeapSlack = 0;

// Heap bytes in use, the allocator's overhead included where it is known; 0 where the C library
// can't tell, which leaves the bound unchecked.
uint64_t HeapInUse() {
#if defined(RPM_FUZZ_ASAN)
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__) && __GLIBC_PREREQ(2, 33)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#elif defined(__GLIBC__)
  // Only mallinfo before glibc 2.33: its int fields wrap past 2 GiB, far above these inputs.
  const struct mallinfo info = mallinfo();
  return static_cast<unsigned>(info.uordblks) + static_cast<unsigned>(info.hblkhd);
#else
  return 0;
#endif
}

// Loads `fp`; traps when the values hold more heap than they were charged.
void LoadWithinBound(RpmParser* parser, FILE* fp) {
  static char buffer[BUFSIZ];  // not the heap's: the stream's first read would take some there
  setvbuf(fp, buffer, _IOFBF, sizeof buffer);
  const uint64_t before = HeapInUse();
  parser->Load(fp);
  RpmLogClose();  // each input gets the whole record allowance
  if (HeapInUse() > before + parser->Charged() + kHeapSlack) __builtin_trap();
}

// Every value filed, rendered, so that ToString runs on all of them.
std::string Render(const RpmParser& parser) {
  std::string out;
  for (const auto& [tag, val] : parser.Tags())
    out += std::to_string(tag) + '=' + val->ToString() + '\0';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  bytes.push_back('\0');  // fmemopen wants at least one byte of buffer
  const RpmLimits limits{65535, 256 << 20, kSlack, 256 << 20};
  // Made once, on the heap, at the first input: the factory, and the C library's messages for
  // "%m".
  static const bool warm = [] {
    ZQ_WriteLog(4, 3, 1, 0, "", 0, "%m");
    return RpmValFactory::GetInstance() != nullptr;
  }();
  if (!warm) return 0;
  RpmParser from_stream(limits);
  FILE* stream = fmemopen(&bytes[0], size, "rb");
  if (stream == nullptr) return 0;
  LoadWithinBound(&from_stream, stream);
  fclose(stream);

  // A regular file lets the reader refuse oversized sections before allocating anything.
  static const int fd = memfd_create("header_fuzz", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
      lseek(fd, 0, SEEK_SET) != 0) {  // the offset is shared with the stream's duplicate
    return 0;
  }
  FILE* file = fdopen(dup(fd), "rb");
  if (file == nullptr) return 0;
  RpmParser from_file(limits);
  LoadWithinBound(&from_file, file);
  fclose(file);

  if (Render(from_stream) != Render(from_file)) __builtin_trap();
  return 0;
}
