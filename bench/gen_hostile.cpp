// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Writes crafted files that pass every check a section gets and still try to make the reader
// spend memory, time or log records out of proportion to their size; bench/hostile.sh runs the
// tool on them. Usage: gen_hostile DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kInt8 = 2, kString = 6, kStringArray = 8, kBin = 7;
constexpr uint32_t kSections = 100, kEntries = 65535;

void PutBE32(std::string* out, uint64_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(v >> shift));
}

std::string Preamble(uint64_t il, uint64_t dl) {
  std::string out("\x8E\xAD\xE8\x01\0\0\0\0", 8);
  PutBE32(&out, il);
  PutBE32(&out, dl);
  return out;
}

// A section of kEntries entries of `type`; entry i gets tag first_tag + i and offset
// i * stride, in a store of `dl` bytes of `fill`.
std::string Section(uint32_t first_tag, uint32_t type, uint32_t stride, uint32_t dl, char fill) {
  std::string out = Preamble(kEntries, dl);
  for (uint32_t i = 0; i < kEntries; ++i) {
    PutBE32(&out, first_tag + i);
    PutBE32(&out, type);
    PutBE32(&out, uint64_t{i} * stride);
    PutBE32(&out, 1);
  }
  out.append(dl, fill);
  out.append((8 - (16 * uint64_t{kEntries} + dl) % 8) % 8, '\0');
  return out;
}

// Bytes, each piece followed by a hole of the size given.
using Pieces = std::vector<std::pair<std::string, uint64_t>>;

bool Write(const fs::path& path, const Pieces& pieces) {
  uint64_t size = 0;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& [bytes, hole] : pieces) {
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      out.seekp(static_cast<std::streamoff>(hole), std::ios::cur);
      size += bytes.size() + hole;
    }
    if (!out.flush()) return false;
  }
  fs::resize_file(path, size);  // a hole at the end too
  std::printf("%-14s %12llu bytes\n", path.filename().c_str(),
              static_cast<unsigned long long>(size));
  return true;
}

bool Write(const fs::path& path, const std::string& head, uint64_t size) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    if (!out.flush()) return false;
  }
  if (size > head.size()) fs::resize_file(path, size);  // the rest is a hole
  std::printf("%-14s %12llu bytes\n", path.filename().c_str(),
              static_cast<unsigned long long>(size > head.size() ? size : head.size()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: gen_hostile DIR\n";
    return 2;
  }
  const fs::path dir(argv[1]);
  fs::create_directories(dir);
  const std::string lead(96, '\0');
  const uint64_t kMiB = uint64_t{1} << 20;

  std::string shared = lead, bin = lead, own = lead;
  for (uint32_t s = 0; s < kSections; ++s) {
    const uint32_t first_tag = 1 + s * kEntries;  // distinct across the whole file
    shared += Section(first_tag, kInt8, 0, 1, '\x2a');
    bin += Section(first_tag, kBin, 0, 1, '\x2a');
    own += Section(first_tag, kInt8, 1, kEntries, '\x2a');
  }
  // One section whose store is a hole: a claim the file backs with zeros only.
  std::string sparse = lead + Preamble(1, 1536 * kMiB);
  PutBE32(&sparse, 1000), PutBE32(&sparse, kString), PutBE32(&sparse, 0), PutBE32(&sparse, 1);
  // A store just under the ceiling, one string filling it, then a second section of the same.
  std::string big_string;
  for (uint32_t s = 0; s < 2; ++s) {
    const uint64_t dl = 256 * kMiB - 8;
    big_string += Preamble(1, dl);
    PutBE32(&big_string, 1000 + s), PutBE32(&big_string, kString), PutBE32(&big_string, 0),
        PutBE32(&big_string, 1);
    big_string.append(dl - 1, 'x');
    big_string.append(1, '\0');
    big_string.append((8 - (16 + dl) % 8) % 8, '\0');
  }
  // Two arrays over one store at the ceiling: all empty strings but for the "a" at its end, and
  // then "a" and its NUL again and again; three sections of the first kind, for a pipe.
  const uint64_t dl = 256 * kMiB;
  auto two_arrays = [&](uint64_t count) {
    std::string out = Preamble(2, dl);
    for (const uint32_t tag : {1000u, 1001u}) {
      PutBE32(&out, tag), PutBE32(&out, kStringArray), PutBE32(&out, 0), PutBE32(&out, count);
    }
    return out;
  };
  const Pieces empty_arrays = {{lead + two_arrays(dl - 1), dl - 1}, {"a", 0}};
  Pieces empty_arrays3 = {{lead, 0}};
  for (int s = 0; s < 3; ++s) {
    empty_arrays3.push_back({two_arrays(dl - 1), dl - 1});
    empty_arrays3.push_back({"a", 0});
  }
  std::string short_strings = lead + two_arrays(dl / 2);
  for (uint64_t i = 0; i < dl / 2; ++i) short_strings.append("a", 2);
  const bool ok = Write(dir / "empty_arrays.rpm", empty_arrays) &&
                  Write(dir / "empty_arrays3.rpm", empty_arrays3) &&
                  Write(dir / "short_strings.rpm", short_strings, 0) &&
                  Write(dir / "shared_int8.rpm", shared, 0) && Write(dir / "bin.rpm", bin, 0) &&
                  Write(dir / "own_int8.rpm", own, 0) &&
                  Write(dir / "sparse.rpm", sparse, sparse.size() + 1536 * kMiB) &&
                  Write(dir / "big_string.rpm", lead + big_string, 0);
  return ok ? 0 : 1;
}
