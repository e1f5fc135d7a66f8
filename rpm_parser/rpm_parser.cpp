// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Reads the lead and the header sections of a package; the payload after them is never decoded.
#include "rpm_parser/rpm_parser.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it harmlessly
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "rpm_parser/rpm_log.h"

// lead[96], then sections of: magic[8] il[4] dl[4] index[16 * il] store[dl] fill[(-nb) & 7],
// nb = 16 * il + dl; every integer big-endian.
namespace {

constexpr size_t kLeadSize = 96;
constexpr uint8_t kMagic[8] = {0x8E, 0xAD, 0xE8, 0x01, 0x00, 0x00, 0x00, 0x00};
constexpr uint64_t kEntrySize = 16;
// A stream of unknown length gets its section block in steps of at most this, so that what
// it claims is only allocated as its bytes arrive.
constexpr size_t kFirstChunk = size_t{64} << 10;

struct FileCloser {
  // Nothing was written to the stream, so a failed close loses nothing.
  // cppcheck-suppress doubleFree ; cppcheck 2.10 takes the cast to void for a second fclose
  void operator()(FILE* f) const { static_cast<void>(fclose(f)); }
};
struct IndexEntry {
  int32_t tag;
  uint32_t type;
  uint32_t offset;
  uint32_t count;
};

IndexEntry DecodeEntry(const uint8_t* p) {
  return {static_cast<int32_t>(LoadBE32(p)), LoadBE32(p + 4), LoadBE32(p + 8), LoadBE32(p + 12)};
}

// Blocks larger than a stream's first step are mappings of their own: freeing one gives its pages
// back at once, whatever the allocator's thresholds, and a stream's block, mapped from its first
// step on, grows by moving its pages, never by copying them.
constexpr size_t kMapMin = kFirstChunk;

// Maps in the pages of a block of `n` bytes that is about to be read into, when it is big enough
// to gain: one call instead of a page fault per page, and huge pages for the largest, but only
// on a block that won't grow, as the advice splits a mapping that mremap must then move whole.
// Only a hint; kernels that lack it ignore it. A/B with a logger listening, the 17 MB header
// takes 6.2 times as long without it, 4.5 times without the huge pages, where page faults are slow.
void PrefaultBlock(void* p, size_t n, bool whole) {
  constexpr size_t kPage = 4096;
  if (n < (size_t{16} << 10)) return;  // a few faults cost less than the call
  // The whole pages inside the block.
  void* pages = p;
  size_t size = n;
  if (std::align(kPage, kPage, pages, size) == nullptr) return;
  size -= size % kPage;
  if (whole && n >= (size_t{2} << 20)) madvise(pages, size, MADV_HUGEPAGE);
  madvise(pages, size, MADV_POPULATE_WRITE);
}

// Bytes from `pos` to the end of a regular file; -1 for anything else.
int64_t BytesLeft(FILE* fp, off_t pos) {
  const int fd = fileno(fp);
  struct stat st;
  if (pos < 0 || fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size > pos ? static_cast<int64_t>(st.st_size - pos) : 0;
}

}  // namespace

// The stream being read, and how many bytes it still holds when that is known (-1 if not).
struct RpmParser::Source {
  FILE* fp;
  int64_t left;
  bool out_of_memory = false;  // reading stopped for want of memory, not of a readable section
  int error = 0;               // the errno of a read that failed: no end of the file, a failure

  size_t ReadSome(void* buf, size_t n) {
    const size_t got = fread(buf, 1, n, fp);
    if (left >= 0) left -= static_cast<int64_t>(got);
    if (got < n && ferror(fp) && error == 0) error = errno;
    return got;
  }
  // True, with errno set back to it, when a read failed; false when a short read met the end.
  bool Failed() const {
    if (error != 0) errno = error;
    return error != 0;
  }
  bool Read(void* buf, size_t n) { return ReadSome(buf, n) == n; }

  // Passes over `n` bytes; true when the stream held them all.
  bool Skip(uint64_t n) {
    if (left >= 0) return static_cast<uint64_t>(left) >= n;
    char scrap[4096];
    for (size_t k = 0; n > 0; n -= k) {
      k = static_cast<size_t>(std::min<uint64_t>(n, sizeof scrap));
      if (!Read(scrap, k)) return false;
    }
    return true;
  }

  // Reads `nb` bytes into a new block with one zero byte after them, as long as its charge and
  // the `held` bytes stay within `limit`. Logs and returns null when they can't be had;
  // allocates nothing that the stream has been seen not to back.
  Block ReadBlock(uint64_t nb, uint64_t held, uint64_t limit) {
    if (left >= 0 && nb > static_cast<uint64_t>(left)) {
      RPM_LOG("read nb failed.");
      return nullptr;
    }
    // A regular file's block is taken and read at once; a stream's grows as its bytes arrive,
    // so that a length it only claims is never allocated, whatever the width of size_t. Each
    // step is charged its new size alone: mremap moves the pages, so no second copy is held.
    uint64_t cap = left >= 0 ? nb : std::min<uint64_t>(nb, kFirstChunk);
    Block ei;
    for (uint64_t got = 0;; got = cap, cap = std::min(nb, 2 * cap)) {
      if (held + BlockCharge(cap) > limit) {
        // A stream shows that it holds the section only by its bytes, so they are read and let
        // go: one cut short ends as a short file does, not as a shortage.
        if (!Skip(nb - got)) {
          Failed() ? RPM_LOG("read nb failed, %m.") : RPM_LOG("read nb failed.");
          return nullptr;
        }
        RPM_LOG("nb %llu over memory limit %llu, %llu held.", static_cast<unsigned long long>(nb),
                static_cast<unsigned long long>(limit), static_cast<unsigned long long>(held));
        out_of_memory = true;
        return nullptr;
      }
      void* grown = nullptr;
      const uint64_t bytes = cap + 1;
      if (bytes > SIZE_MAX) {
        errno = ENOMEM;
      } else if (bytes <= kMapMin) {  // taken in one step, as cap is then nb
        grown = malloc(static_cast<size_t>(bytes));
      } else {
        void* mapped =
            ei ? mremap(ei.get(), ei.get_deleter().size, static_cast<size_t>(bytes), MREMAP_MAYMOVE)
               : mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped != MAP_FAILED) grown = mapped;
      }
      if (grown == nullptr) {
        RPM_LOG("alloc ei failed, %m.");
        out_of_memory = true;
        return nullptr;
      }
      static_cast<void>(ei.release());  // mremap took it over
      ei = Block(static_cast<uint8_t*>(grown), {static_cast<size_t>(bytes)});
      PrefaultBlock(ei.get() + got, static_cast<size_t>(cap - got), got == 0 && cap == nb);
      if (!Read(ei.get() + got, static_cast<size_t>(cap - got))) {
        Failed() ? RPM_LOG("read nb failed, %m.") : RPM_LOG("read nb failed.");
        return nullptr;
      }
      if (cap == nb) break;
    }
    ei.get()[nb] = 0;
    return ei;
  }
};

void RpmParser::BlockFree::operator()(uint8_t* p) const {
  if (size > kMapMin) {
    munmap(p, size);
  } else {
    free(p);
  }
}

namespace {

// Up to `size - 1` bytes of a small file, with a NUL after them; false when it can't be read.
bool ReadSmallFile(const std::string& path, char* text, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, text, size - 1);
  close(fd);
  if (n < 0) return false;
  text[n] = '\0';
  return true;
}

// The least of the memory limits in the files `names` of the cgroup directory `dir` and of each
// directory above it up to `root`; UINT64_MAX where none is set ("max") or can be read.
uint64_t LeastLimit(const std::string& root, std::string dir,
                    std::initializer_list<const char*> names) {
  uint64_t least = UINT64_MAX;
  for (;;) {
    for (const char* name : names) {
      char text[32];
      if (!ReadSmallFile(dir + '/' + name, text, sizeof text)) continue;
      char* end = nullptr;
      errno = 0;
      const unsigned long long limit = strtoull(text, &end, 10);
      if (end != text && errno == 0) least = std::min<uint64_t>(least, limit);
    }
    if (dir.size() <= root.size()) return least;
    dir.resize(dir.rfind('/'));
  }
}

}  // namespace

// The limits as cgroup v2 (memory.max, and memory.high, past which the kernel reclaims and
// throttles) and v1 (memory.limit_in_bytes) set them, at their usual places, alone or side by
// side. A container whose own cgroup is mounted as the root finds its limit there, as the levels
// it can't see are passed over.
uint64_t RpmLimits::CgroupLimit(const std::string& root) {
  char list[4096];
  if (!ReadSmallFile(root + "/proc/self/cgroup", list, sizeof list)) return UINT64_MAX;
  const std::string mounts = root + "/sys/fs/cgroup";
  uint64_t least = UINT64_MAX;
  char* save = nullptr;
  // Lines of "ID:CONTROLLERS:PATH": v2's names no controllers, v1's memory one names "memory".
  for (char* line = strtok_r(list, "\n", &save); line != nullptr;
       line = strtok_r(nullptr, "\n", &save)) {
    char* controllers = strchr(line, ':');
    char* path = controllers == nullptr ? nullptr : strchr(++controllers, ':');
    if (path == nullptr) continue;
    *path++ = '\0';
    const std::string own = strcmp(path, "/") == 0 ? "" : path;
    if (*controllers == '\0') {
      for (const std::string& dir : {mounts, mounts + "/unified"}) {
        least = std::min(least, LeastLimit(dir, dir + own, {"memory.max", "memory.high"}));
      }
      continue;
    }
    char* save_name = nullptr;
    for (char* name = strtok_r(controllers, ",", &save_name); name != nullptr;
         name = strtok_r(nullptr, ",", &save_name)) {
      if (strcmp(name, "memory") != 0) continue;
      const std::string dir = mounts + "/memory";
      least = std::min(least, LeastLimit(dir, dir + own, {"memory.limit_in_bytes"}));
    }
  }
  return least;
}

RpmLimits RpmLimits::ForRam(uint64_t ram) {
  RpmLimits limits;
  limits.max_memory = std::min(limits.max_memory, ram / 4);
  return limits;
}

RpmLimits RpmLimits::ForMachine() {
  struct sysinfo info;
  const uint64_t ram = sysinfo(&info) == 0 ? uint64_t{info.totalram} * info.mem_unit : UINT64_MAX;
  return ForRam(std::min(ram, CgroupLimit()));
}

bool RpmParser::Load(const char* path, void (*opened)()) {
  char buffer[4096];  // outlives the stream
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  // Above the standard descriptors, which the caller may have left closed: nothing written to
  // those may reach the package.
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int low = fd;
    fd = fcntl(low, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(low);
  }
  std::unique_ptr<FILE, FileCloser> fp(fd >= 0 ? fdopen(fd, "rb") : nullptr);
  if (!fp) {
    if (fd >= 0) close(fd);
    RPM_LOG("Open rpm file fail!\n");
    return false;
  }
  // All the run learns of the file but its bytes is learnt before `opened`: its length, and a
  // buffer, which stdio would otherwise size by asking the file at the first read.
  static_cast<void>(setvbuf(fp.get(), buffer, _IOFBF, sizeof buffer));
  const int64_t left = BytesLeft(fp.get(), 0);
  if (opened != nullptr) opened();
  return LoadFrom(fp.get(), left);
}

bool RpmParser::Load(FILE* fp) { return LoadFrom(fp, BytesLeft(fp, ftello(fp))); }

bool RpmParser::LoadFrom(FILE* fp, int64_t left) {
  Source src{fp, left};
  uint8_t lead[kLeadSize];
  if (!src.Read(lead, sizeof lead)) {
    if (!src.Failed()) errno = ENODATA;  // no call failed: the file is shorter than a lead
    RPM_LOG("read rpm lead info failed, %m.");
    return false;
  }
  // Sections follow one another until one can't be read. A read cut short, the only kind that
  // sets the end-of-file indicator, always ends ReadHeader with false, so the indicator needs
  // no test of its own. A file that ends exactly after a section leaves it clear anyway, and
  // the last pass logs a failed magic read: that closing line is expected.
  while (ReadHeader(&src)) {
  }
  // A read that failed is no end of the file: what was read so far must not pass for the package.
  return !src.out_of_memory && src.error == 0;
}

bool RpmParser::ReadHeader(Source* src) {
  const RpmValFactory* factory = RpmValFactory::GetInstance();
  if (factory == nullptr) {
    RPM_LOG("get rpm factory failed.");
    src->out_of_memory = true;
    return false;
  }
  // Magic, il and dl in one read; how far it got tells which of them was cut short.
  uint8_t preamble[sizeof kMagic + 8];
  const size_t got = src->ReadSome(preamble, sizeof preamble);
  if (src->Failed()) {
    RPM_LOG("read preamble failed, %m.");
    return false;
  }
  if (got < sizeof kMagic) {
    RPM_LOG("read rpm magic info failed.");
    return false;
  }
  // Also where an ordinary package ends: the bytes after its main header are the payload.
  if (memcmp(preamble, kMagic, sizeof kMagic) != 0) {
    RPM_LOG("rpm magic info failed.");
    return false;
  }
  if (got < sizeof kMagic + 4) {
    RPM_LOG("read il failed.");
    return false;
  }
  if (got < sizeof preamble) {
    RPM_LOG("read dl failed.");
    return false;
  }
  const int32_t il = static_cast<int32_t>(LoadBE32(preamble + sizeof kMagic));
  const uint32_t dl = LoadBE32(preamble + sizeof kMagic + 4);
  if (il < 0) {
    RPM_LOG("invalid il.");
    return false;
  }
  if (static_cast<uint32_t>(il) > limits_.max_il) {
    RPM_LOG("il %d over limit %u.", il, limits_.max_il);
    return false;
  }
  if (dl > limits_.max_dl) {
    RPM_LOG("dl %u over limit %u.", dl, limits_.max_dl);
    return false;
  }
  const uint64_t index_size = kEntrySize * static_cast<uint64_t>(il);
  const uint64_t nb = index_size + dl;
  Block ei = src->ReadBlock(nb, Charged(), limits_.max_memory);
  if (!ei) return false;
  read_ += nb;

  // The fill is only padding: a short one (a file ending right after the store) ends the
  // reading, but the section's entries are still good.
  uint8_t fill[8];
  const size_t fill_size = static_cast<size_t>((8 - nb % 8) % 8);
  const bool fill_read = src->Read(fill, fill_size);
  if (!fill_read) src->Failed() ? RPM_LOG("read pad failed, %m.") : RPM_LOG("read pad failed.");

  const uint8_t* store = ei.get() + index_size;
  bool points_in = false;  // a value filed points into the block
  // kept_ never passes the allowance it was charged against, which only grows.
  const uint64_t allowance = std::min(limits_.keep_slack + read_, limits_.max_keep) - kept_;
  RpmValBudget budget{dl, 2 * uint64_t{dl} + static_cast<uint64_t>(il), allowance};
  // What the section's values may still take of memory: their bookkeeping, as their text lies
  // in the block, and KeepBlock copies it out only where the copies fit beside the block.
  uint64_t room = limits_.max_memory - Charged() - BlockCharge(nb);
  for (int32_t i = 0; i < il && !src->out_of_memory; ++i) {
    const IndexEntry entry = DecodeEntry(ei.get() + kEntrySize * static_cast<uint64_t>(i));
    std::unique_ptr<RpmVal> val = factory->Create(entry.type);
    if (!val) {
      RPM_LOG("create RpmVal failed.");
      continue;
    }
    RpmValFit fit = entry.offset < dl ? RpmValFit::kOverBudget : RpmValFit::kOutOfStore;
    if (entry.offset < dl && budget.total >= kValueCost) {
      budget.total -= kValueCost;  // given back unless the value is filed
      fit = val->Parse(store + entry.offset, entry.count, dl - entry.offset, &budget);
      if (fit != RpmValFit::kOk) budget.total += kValueCost;
    }
    switch (fit) {
      case RpmValFit::kOk:
        if (room < kValueCost) {
          RPM_LOG("tag %d over memory limit %llu, %llu held.", entry.tag,
                  static_cast<unsigned long long>(limits_.max_memory),
                  static_cast<unsigned long long>(limits_.max_memory - room));
          src->out_of_memory = true;
          break;
        }
        room -= kValueCost;
        points_in = points_in || val->StoreBytes() != nullptr;
        tags_.insert_or_assign(entry.tag, std::move(val));  // a displaced value goes at once
        break;
      case RpmValFit::kOutOfStore:
        RPM_LOG("tag %d out of data store.", entry.tag);
        break;
      case RpmValFit::kOverBudget:
        RPM_LOG("tag %d over data budget.", entry.tag);
        break;
    }
  }
  kept_ += allowance - budget.total;
  // What the section's values were charged for their bytes is what they took of its store.
  if (points_in) KeepBlock(std::move(ei), static_cast<uint64_t>(il), nb, dl - budget.keep);
  return fill_read && !src->out_of_memory;
}

void RpmParser::KeepBlock(Block ei, uint64_t il, uint64_t nb, uint64_t charged) {
  // A section's values are charged at most its store's bytes, so never the whole block.
  const uint64_t unused = BlockCharge(nb) - charged;
  // The copies, already charged, are made while the block is still held: both must fit.
  if (unused_ + unused > limits_.max_unused && Charged() + BlockCharge(nb) <= limits_.max_memory) {
    // Each entry's tag finds its value, if that is still the one the entry made.
    const auto begin = reinterpret_cast<uintptr_t>(ei.get());
    bool detached = true;
    for (uint64_t i = 0; i < il && detached; ++i) {
      const auto it = tags_.find(DecodeEntry(ei.get() + kEntrySize * i).tag);
      if (it == tags_.end()) continue;
      const auto bytes = reinterpret_cast<uintptr_t>(it->second->StoreBytes());
      if (bytes >= begin && bytes - begin < nb) detached = it->second->Detach();
    }
    // Short of memory for the copies, the block is kept after all: it is already held.
    if (detached) return;
  }
  blocks_.push_back(std::move(ei));
  unused_ += unused;
}

std::string RpmParser::GetValue(int32_t tag) const {
  const auto it = tags_.find(tag);
  return it == tags_.end() ? std::string() : it->second->ToString();
}

bool RpmParser::WriteValue(int32_t tag, RpmTextSink* out) const {
  const auto it = tags_.find(tag);
  return it == tags_.end() || it->second->WriteText(out);
}
