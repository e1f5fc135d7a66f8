// The tool's operator new and delete. A run makes two or three small objects per header entry
// (a table node, a value, often its text) and frees few of them before it exits, so small
// blocks are cut from large chunks and freed ones kept for reuse by size; the C library's
// allocator, which does more bookkeeping for each, is left the large blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

// Every block starts after a header that says where it came from: 0 for malloc, otherwise its
// size class. The header keeps the payload as aligned as malloc's.
constexpr size_t kAlign = alignof(std::max_align_t);
constexpr size_t kClasses = 16;  // blocks of kAlign to kClasses * kAlign bytes come from chunks
constexpr size_t kChunk = size_t{64} << 10;

struct FreeBlock {
  FreeBlock* next;
};

// Each chunk taken from malloc starts with a pointer to the one before, so that all of them stay
// reachable and a leak checker sees nothing lost.
struct ChunkHead {
  ChunkHead* prev;
};

// The first chunk is static: a run that needs no more calls malloc for none of its small blocks,
// and its untouched pages cost nothing.
alignas(std::max_align_t) char g_first[kChunk];

struct Heap {
  ChunkHead* chunks = nullptr;
  char* next = g_first;  // free space of the newest chunk
  char* end = g_first + kChunk;
  FreeBlock* free[kClasses + 1] = {};
};

Heap g_heap;

constexpr size_t kHeader = kAlign;
static_assert(sizeof(ChunkHead) <= kHeader, "a chunk's link fits in one header");

inline void* Take(size_t n) {
  const size_t cls = n == 0 ? 1 : (n + kAlign - 1) / kAlign;
  if (cls > kClasses) {
    if (n > SIZE_MAX - kHeader) return nullptr;
    auto* block = static_cast<char*>(malloc(kHeader + n));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<size_t*>(block) = 0;
    return block + kHeader;
  }
  if (FreeBlock* block = g_heap.free[cls]) {
    g_heap.free[cls] = block->next;
    return block;
  }
  const size_t span = kHeader + cls * kAlign;
  if (static_cast<size_t>(g_heap.end - g_heap.next) < span) {
    auto* chunk = static_cast<char*>(malloc(kChunk));
    if (chunk == nullptr) return nullptr;
    auto* head = reinterpret_cast<ChunkHead*>(chunk);
    head->prev = g_heap.chunks;
    g_heap.chunks = head;
    g_heap.next = chunk + kHeader;
    g_heap.end = chunk + kChunk;
  }
  char* const block = g_heap.next;
  g_heap.next += span;
  *reinterpret_cast<size_t*>(block) = cls;
  return block + kHeader;
}

void Give(void* p) {
  if (p == nullptr) return;
  char* const block = static_cast<char*>(p) - kHeader;
  const size_t cls = *reinterpret_cast<size_t*>(block);
  if (cls == 0) {
    free(block);
    return;
  }
  auto* freed = static_cast<FreeBlock*>(p);
  freed->next = g_heap.free[cls];
  g_heap.free[cls] = freed;
}

// As the standard asks: call the new-handler until the block comes or there is none.
void* TakeOrHandle(size_t n) {
  void* p;
  while ((p = Take(n)) == nullptr) {
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) break;
    handler();
  }
  return p;
}

}  // namespace

void* operator new(size_t n) {
  void* const p = TakeOrHandle(n);
  if (p == nullptr) abort();  // no handler and nothing to throw: built without exceptions
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return TakeOrHandle(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return TakeOrHandle(n); }
void operator delete(void* p) noexcept { Give(p); }
void operator delete[](void* p) noexcept { Give(p); }
void operator delete(void* p, size_t) noexcept { Give(p); }
void operator delete[](void* p, size_t) noexcept { Give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Give(p); }
