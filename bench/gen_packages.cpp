// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Writes the synthetic packages the benchmark times: tiny.rpm, medium.rpm, bighdr.rpm and
// bigpayload.rpm, plus sizes.txt ("shape file_bytes main_header_bytes" per line) for run.sh.
// Usage: gen_packages DIR
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

enum Type : uint32_t {
  kInt8 = 2,
  kInt16 = 3,
  kInt32 = 4,
  kInt64 = 5,
  kString = 6,
  kBin = 7,
  kStringArray = 8,
  kI18n = 9,
};

void PutBE(std::string* out, uint64_t v, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out->push_back(static_cast<char>((v >> shift) & 0xFF));
  }
}

// Same bytes every run, so timings compare across machines and days.
struct Rng {
  uint64_t s;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::string Hex(size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string h(n, '0');
    for (char& c : h) c = kDigits[Next() & 15];
    return h;
  }
  std::string Words(size_t n) {
    static const char* const kWords[] = {"reader",  "header", "value",   "store",  "index",
                                         "section", "fixed",  "package", "entry",  "build",
                                         "string",  "update", "memory",  "faster", "check"};
    std::string t;
    while (t.size() < n) {
      if (!t.empty()) t += ' ';
      t += kWords[Next() % 15];
    }
    t.resize(n);
    return t;
  }
};

// One header section: entries are laid out in the store in the order added, each on its
// type's natural alignment, never sharing bytes.
class Section {
 public:
  void Ints(uint32_t tag, uint32_t type, const std::vector<int64_t>& v) {
    const int width = type == kInt8 ? 1 : type == kInt16 ? 2 : type == kInt32 ? 4 : 8;
    std::string d;
    for (int64_t x : v) PutBE(&d, static_cast<uint64_t>(x), width);
    Add(tag, type, static_cast<uint32_t>(v.size()), std::move(d), static_cast<size_t>(width));
  }
  void Int32(uint32_t tag, int64_t v) { Ints(tag, kInt32, {v}); }
  void Str(uint32_t tag, const std::string& s) { Add(tag, kString, 1, s + '\0', 1); }
  void Strings(uint32_t tag, uint32_t type, const std::vector<std::string>& v) {
    std::string d;
    for (const std::string& s : v) {
      d += s;
      d += '\0';
    }
    Add(tag, type, static_cast<uint32_t>(v.size()), std::move(d), 1);
  }
  void Bin(uint32_t tag, const std::string& bytes) {
    Add(tag, kBin, static_cast<uint32_t>(bytes.size()), bytes, 1);
  }
  size_t Count() const { return entries_.size(); }

  // magic, il, dl, index, store, then the fill to a multiple of 8.
  std::string Build() const {
    std::string index;
    std::string store;
    for (const Entry& e : entries_) {
      while (store.size() % e.align != 0) store.push_back('\0');
      PutBE(&index, e.tag, 4);
      PutBE(&index, e.type, 4);
      PutBE(&index, store.size(), 4);
      PutBE(&index, e.count, 4);
      store += e.data;
    }
    std::string out("\x8E\xAD\xE8\x01\0\0\0\0", 8);
    PutBE(&out, entries_.size(), 4);
    PutBE(&out, store.size(), 4);
    out += index;
    out += store;
    const size_t nb = index.size() + store.size();
    out.append((8 - nb % 8) % 8, '\0');
    return out;
  }

 private:
  struct Entry {
    uint32_t tag, type, count;
    std::string data;
    size_t align;
  };
  void Add(uint32_t tag, uint32_t type, uint32_t count, std::string data, size_t align) {
    entries_.push_back({tag, type, count, std::move(data), align});
  }
  std::vector<Entry> entries_;
};

std::string Lead(const std::string& name) {
  std::string l("\xED\xAB\xEE\xDB\x03\x00\x00\x00\x00\x01", 10);
  std::string n = name.substr(0, 65);
  n.resize(66, '\0');
  l += n;
  l += std::string("\x00\x01\x00\x05", 4);
  l.resize(96, '\0');
  return l;
}

std::string Signature(Rng* rng, uint64_t main_bytes, uint64_t payload_bytes) {
  Section s;
  s.Int32(1000, static_cast<int64_t>(main_bytes + payload_bytes));
  std::string digest;
  for (int i = 0; i < 16; ++i) digest.push_back(static_cast<char>(rng->Next() & 0xFF));
  s.Bin(1004, digest);
  s.Str(269, rng->Hex(40));
  s.Int32(1007, static_cast<int64_t>(payload_bytes));
  return s.Build();
}

void BaseTags(Section* h, Rng* rng, const std::string& name) {
  h->Str(1000, name);
  h->Str(1001, "1.4.2");
  h->Str(1002, "3");
  h->Strings(1004, kI18n, {"Synthetic package for timing the reader", "Paquet de mesure"});
  h->Strings(1005, kI18n, {rng->Words(2500), rng->Words(300)});
  h->Int32(1006, 1700000000);
  h->Int32(1009, 123456);
  h->Str(1014, "MIT");
  h->Strings(1016, kI18n, {"Applications/System"});
  h->Str(1020, "https://example.org/" + name);
  h->Str(1021, "linux");
  h->Str(1022, "noarch");
}

// Fillers of every value type, and one BIN, so the tiny header looks like a real small one.
void Fillers(Section* h, Rng* rng, size_t n) {
  static const uint32_t kTypes[] = {kInt8, kInt16, kInt32, kInt64, kString, kStringArray, kI18n};
  for (size_t i = 0; i < n; ++i) {
    const uint32_t tag = 5000 + static_cast<uint32_t>(i);
    const uint32_t type = kTypes[i % 7];
    const size_t count = 1 + rng->Next() % 4;
    if (type <= kInt64) {
      std::vector<int64_t> v;
      for (size_t k = 0; k < count; ++k) v.push_back(static_cast<int64_t>(rng->Next() % 200) - 100);
      h->Ints(tag, type, v);
    } else if (type == kString) {
      h->Str(tag, rng->Words(static_cast<size_t>(60 + rng->Next() % 120)));
    } else {
      std::vector<std::string> v;
      for (size_t k = 0; k < count; ++k)
        v.push_back(rng->Words(static_cast<size_t>(30 + rng->Next() % 90)));
      h->Strings(tag, type, v);
    }
  }
  h->Bin(1012, rng->Hex(64));
}

std::string Payload(Rng* rng, size_t n) {
  std::string p("\x1F\x8B\x08\x00", 4);  // anything but the section magic
  while (p.size() < n) p.push_back(static_cast<char>(rng->Next() & 0xFF));
  return p;
}

struct Written {
  uint64_t file_bytes, sig_bytes, main_bytes;
  size_t entries;
};

Written Write(const fs::path& path, const std::string& name, const Section& main,
              const std::string& payload, uint64_t payload_bytes) {
  Rng rng{0x5EED5EED};
  const std::string hdr = main.Build();
  const std::string sig = Signature(&rng, hdr.size(), payload_bytes);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string lead = Lead(name + "-1.4.2-3");
    out.write(lead.data(), static_cast<std::streamsize>(lead.size()));
    out.write(sig.data(), static_cast<std::streamsize>(sig.size()));
    out.write(hdr.data(), static_cast<std::streamsize>(hdr.size()));
    out.write(payload.data(), static_cast<std::streamsize>(payload.size()));
    if (!out.flush()) {
      std::cerr << "gen_packages: cannot write " << path << "\n";
      std::exit(1);
    }
  }
  const uint64_t total = 96 + sig.size() + hdr.size() + payload_bytes;
  // Extends the file without writing: the rest of the payload is a hole, never on disk.
  if (payload_bytes > payload.size()) fs::resize_file(path, total);
  return {total, sig.size(), hdr.size(), main.Count() + 4};
}

Section Tiny(Rng* rng) {
  Section h;
  BaseTags(&h, rng, "bench-tiny");
  Fillers(&h, rng, 33);
  return h;
}

// Shaped like a real package of 1,021 files and 200 changelog entries: per-file arrays of
// every kind, owners that repeat, languages and link targets that are all empty.
Section Medium(Rng* rng) {
  Section h;
  BaseTags(&h, rng, "bench-medium");
  const size_t kFiles = 1021, kDirs = 50;
  std::vector<std::string> base, dirs, digests, owners(kFiles, "root"), none(kFiles);
  std::vector<int64_t> dirindex, sizes, modes, mtimes, flags, inodes;
  for (size_t d = 0; d < kDirs; ++d)
    dirs.push_back("/usr/share/bench/dir" + std::to_string(d) + "/");
  for (size_t i = 0; i < kFiles; ++i) {
    base.push_back("file-" + std::to_string(i) + "-" + rng->Hex(8) + ".dat");
    dirindex.push_back(static_cast<int64_t>(i % kDirs));
    sizes.push_back(static_cast<int64_t>(rng->Next() % 100000));
    modes.push_back(0100644);  // -32348 as INT16: the sign must survive
    digests.push_back(rng->Hex(64));
    mtimes.push_back(1700000000 - static_cast<int64_t>(rng->Next() % 1000000));
    flags.push_back(i % 7 == 0 ? 1 : 0);
    inodes.push_back(static_cast<int64_t>(i + 1));
  }
  h.Strings(1117, kStringArray, base);
  h.Ints(1116, kInt32, dirindex);
  h.Strings(1118, kStringArray, dirs);
  h.Ints(1028, kInt32, sizes);
  h.Ints(1030, kInt16, modes);
  h.Strings(1035, kStringArray, digests);
  h.Ints(1034, kInt32, mtimes);
  h.Ints(1037, kInt32, flags);
  h.Ints(1096, kInt32, inodes);
  h.Strings(1039, kStringArray, owners);
  h.Strings(1040, kStringArray, owners);
  h.Strings(1036, kStringArray, none);
  h.Strings(1097, kStringArray, none);
  std::vector<std::string> dep_names, dep_versions;
  std::vector<int64_t> dep_flags;
  for (size_t i = 0; i < 60; ++i) {
    dep_names.push_back("libbench" + std::to_string(i) + ".so.1()(64bit)");
    dep_versions.push_back(i % 3 == 0 ? "1.2." + std::to_string(i) : "");  // empties are common
    dep_flags.push_back(i % 3 == 0 ? 12 : 0);
  }
  h.Strings(1049, kStringArray, dep_names);
  h.Strings(1050, kStringArray, dep_versions);
  h.Ints(1048, kInt32, dep_flags);
  std::vector<std::string> cl_names, cl_texts;
  std::vector<int64_t> cl_times;
  for (size_t i = 0; i < 200; ++i) {
    cl_times.push_back(1700000000 - static_cast<int64_t>(i) * 86400);
    cl_names.push_back("Bench Developer <dev@example.org> - 1." + std::to_string(200 - i));
    cl_texts.push_back("- " + rng->Words(222));
  }
  h.Ints(1080, kInt32, cl_times);
  h.Strings(1081, kStringArray, cl_names);
  h.Strings(1082, kStringArray, cl_texts);
  return h;
}

Section BigHeader(Rng* rng) {
  Section h;
  BaseTags(&h, rng, "bench-bighdr");
  // 28 characters and a NUL: 6 * 100,000 * 29 bytes, about 17 MB of store.
  static const uint32_t kTags[] = {1117, 1118, 1035, 1047, 1049, 1081};
  for (uint32_t tag : kTags) {
    std::vector<std::string> v;
    v.reserve(100000);
    for (size_t i = 0; i < 100000; ++i) {
      char s[32];
      std::snprintf(s, sizeof s, "/t%u/%08zu/%s", tag, i, rng->Hex(12).c_str());
      v.emplace_back(s);
    }
    h.Strings(tag, kStringArray, v);
  }
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: gen_packages DIR\n";
    return 2;
  }
  const fs::path dir(argv[1]);
  fs::create_directories(dir);
  Rng rng{0x9E3779B97F4A7C15ULL};
  const std::string small_payload = Payload(&rng, 4096);
  const uint64_t kGiB = uint64_t{1} << 30;

  // bigpayload carries the very header of tiny, so the two differ only in what follows it.
  const Section tiny = Tiny(&rng);
  struct Shape {
    std::string name, package;
    Section main;
    uint64_t payload_bytes;
  };
  const Shape shapes[] = {
      {"tiny", "bench-tiny", tiny, small_payload.size()},
      {"medium", "bench-medium", Medium(&rng), small_payload.size()},
      {"bighdr", "bench-bighdr", BigHeader(&rng), small_payload.size()},
      {"bigpayload", "bench-tiny", tiny, kGiB},
  };

  std::ofstream sizes(dir / "sizes.txt", std::ios::trunc);
  for (const Shape& s : shapes) {
    const Written w =
        Write(dir / (s.name + ".rpm"), s.package, s.main, small_payload, s.payload_bytes);
    std::printf(
        "%-10s %11llu bytes: %zu entries, signature %llu B, main header %llu B, payload %llu B\n",
        s.name.c_str(), static_cast<unsigned long long>(w.file_bytes), w.entries,
        static_cast<unsigned long long>(w.sig_bytes), static_cast<unsigned long long>(w.main_bytes),
        static_cast<unsigned long long>(s.payload_bytes));
    sizes << s.name << ' ' << w.file_bytes << ' ' << w.main_bytes << '\n';
  }
  return sizes.flush() ? 0 : 1;
}
