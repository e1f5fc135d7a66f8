// Fuzz target: arbitrary bytes through the whole reading path, from the lead to the tag table,
// read once from a memory stream and once from a regular file. Both must file the same values.
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "rpm_parser/rpm_parser.h"

namespace {

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
  RpmParser from_stream;
  FILE* stream = fmemopen(&bytes[0], size, "rb");
  if (stream == nullptr) return 0;
  from_stream.Load(stream);
  fclose(stream);

  // A regular file lets the reader refuse oversized sections before allocating anything.
  static const int fd = memfd_create("header_fuzz", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
      lseek(fd, 0, SEEK_SET) != 0) {  // the offset is shared with the stream's duplicate
    return 0;
  }
  FILE* file = fdopen(dup(fd), "rb");
  if (file == nullptr) return 0;
  RpmParser from_file;
  from_file.Load(file);
  fclose(file);

  if (Render(from_stream) != Render(from_file)) __builtin_trap();
  return 0;
}
