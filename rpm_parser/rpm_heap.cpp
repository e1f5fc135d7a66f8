// The tool's operator new and delete. A run makes two or three small objects per header entry
// (a table node, a value, often its text) and frees few of them before it exits, so small
// blocks are cut from large chunks and freed ones kept for reuse by size; the C library's
// allocator, which does more bookkeeping for each, is left the large blocks. Chunks are never
// given back: the process ends first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Every block starts after a header that says where it came from: 0 for malloc, otherwise its
// size class. The header keeps the payload as aligned as malloc's.
constexpr size_t kAlign = alignof(std::max_align_t);
constexpr size_t kHeader = kAlign;
constexpr size_t kClasses = 16;  // blocks of 1 to kClasses * kAlign bytes come from chunks
constexpr size_t kChunk = size_t{64} << 10;
static_assert(sizeof(size_t) <= kHeader, "a header holds a size class");

struct FreeBlock {
  FreeBlock* next;
};

// The first chunk is static: a run that needs no more takes none of its small blocks from
// malloc, and its untouched pages cost nothing.
alignas(std::max_align_t) char g_first[kChunk];

struct Heap {
  char* next = g_first;  // free space of the newest chunk
  char* end = g_first + kChunk;
  FreeBlock* free[kClasses + 1] = {};
};

Heap g_heap;

// Headers are read and written through memcpy: the same single load or store, without a cast
// that would claim an alignment the compiler can't see.
void SetTag(char* block, size_t tag) { memcpy(block, &tag, sizeof tag); }
size_t Tag(const char* block) {
  size_t tag;
  memcpy(&tag, block, sizeof tag);
  return tag;
}

void* Take(size_t n);

// Large blocks, and small ones once the newest chunk is used up.
__attribute__((noinline)) void* TakeSlow(size_t n, size_t cls) {
  if (cls > kClasses) {
    if (n > SIZE_MAX - kHeader) return nullptr;
    auto* const block = static_cast<char*>(malloc(kHeader + n));
    if (block == nullptr) return nullptr;
    SetTag(block, 0);
    return block + kHeader;
  }
  auto* const chunk = static_cast<char*>(malloc(kChunk));
  if (chunk == nullptr) return nullptr;
  g_heap.next = chunk;  // the rest of the old one is left: less than a block of this class
  g_heap.end = chunk + kChunk;
  return Take(n);  // from the new chunk, which has room
}

inline void* Take(size_t n) {
  const size_t cls = n == 0 ? 1 : (n - 1) / kAlign + 1;
  if (cls <= kClasses) {
    if (FreeBlock* const block = g_heap.free[cls]) {
      g_heap.free[cls] = block->next;
      return block;
    }
    const size_t span = kHeader + cls * kAlign;
    if (static_cast<size_t>(g_heap.end - g_heap.next) >= span) {
      char* const block = g_heap.next;
      g_heap.next += span;
      SetTag(block, cls);
      return block + kHeader;
    }
  }
  return TakeSlow(n, cls);
}

void Give(void* p) {
  if (p == nullptr) return;
  char* const block = static_cast<char*>(p) - kHeader;
  const size_t cls = Tag(block);
  if (cls == 0) {
    free(block);
    return;
  }
  auto* const freed = static_cast<FreeBlock*>(p);
  freed->next = g_heap.free[cls];
  g_heap.free[cls] = freed;
}

// As the standard asks when a block can't be had: call the new-handler until it comes or there
// is no handler.
__attribute__((noinline)) void* Retry(size_t n) {
  for (std::new_handler handler; (handler = std::get_new_handler()) != nullptr;) {
    handler();
    if (void* const p = Take(n)) return p;
  }
  return nullptr;
}

void* TakeOrRetry(size_t n) {
  void* const p = Take(n);
  return p != nullptr ? p : Retry(n);
}

}  // namespace

void* operator new(size_t n) {
  void* const p = TakeOrRetry(n);
  if (p == nullptr) abort();  // no handler and nothing to throw: built without exceptions
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return TakeOrRetry(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return TakeOrRetry(n); }
void operator delete(void* p) noexcept { Give(p); }
void operator delete[](void* p) noexcept { Give(p); }
void operator delete(void* p, size_t) noexcept { Give(p); }
void operator delete[](void* p, size_t) noexcept { Give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Give(p); }
