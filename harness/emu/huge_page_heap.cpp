#include "emu/huge_page_heap.h"

#if defined(__linux__) && defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#define QVI_HUGE_PAGE_HEAP 1
#endif

namespace qvi::emu {

#if defined(QVI_HUGE_PAGE_HEAP)

namespace {

// Below this a store is a few megabytes: a huge page would be mostly empty,
// and zeroing one costs more than the faults it saves.
constexpr std::uint64_t kLargeFile = 8 << 20;
// How far past a request the heap grows: a step holds many huge pages, so
// that the few 4 KB pages touched before a step is marked are a small part.
constexpr int kGrowth = 32 << 20;
// The allocator's own, as its manual gives it.
constexpr int kDefaultGrowth = 128 << 10;
constexpr std::uintptr_t kPage = 4096;

std::uintptr_t HeapEnd() { return reinterpret_cast<std::uintptr_t>(::sbrk(0)); }

}  // namespace

HugePageHeap::HugePageHeap(std::uint64_t file_bytes) {
  if (file_bytes < kLargeFile) return;
  engaged_ = ::mallopt(M_TOP_PAD, kGrowth) == 1;
  advised_ = HeapEnd();
}

HugePageHeap::~HugePageHeap() {
  if (engaged_) ::mallopt(M_TOP_PAD, kDefaultGrowth);
}

void HugePageHeap::Advise() {
  if (!engaged_) return;
  const std::uintptr_t end = HeapEnd();
  if (end > advised_) {
    // A kernel without huge pages refuses, and the heap stays as it was.
    const std::uintptr_t from = advised_ & ~(kPage - 1);
    ::madvise(reinterpret_cast<void*>(from), end - from, MADV_HUGEPAGE);
  }
  // A heap given back below what was marked is marked again as it regrows.
  advised_ = end;
}

#else

HugePageHeap::HugePageHeap(std::uint64_t) {}
HugePageHeap::~HugePageHeap() = default;
void HugePageHeap::Advise() {}

#endif

}  // namespace qvi::emu
