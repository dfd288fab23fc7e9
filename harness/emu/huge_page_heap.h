// The memory a large registry file is read into: a store holds about as many
// bytes as the file, and on a virtual machine every first touch of a 4 KB
// page is a fault, with a walk of the page tables at each miss of the
// translation cache thereafter.
#pragma once

#include <cstdint>

namespace qvi::emu {

// While it lives, the allocator's heap grows in large steps, and each step
// is marked for huge pages as it appears (Advise()), so that a file of many
// megabytes is read into 2 MB pages: a fault per 2 MB rather than per 4 KB.
// Only on Linux with the GNU C library, and only for a file past a few
// megabytes, whose store would fill the pages anyway; elsewhere nothing.
class HugePageHeap {
 public:
  explicit HugePageHeap(std::uint64_t file_bytes);
  ~HugePageHeap();
  HugePageHeap(const HugePageHeap&) = delete;
  HugePageHeap& operator=(const HugePageHeap&) = delete;

  // Marks the heap grown since the last call; cheap when it has not grown.
  void Advise();

 private:
  // Unused where there is nothing to do.
  [[maybe_unused]] bool engaged_ = false;
  [[maybe_unused]] std::uintptr_t advised_ = 0;  // the heap's end when last marked
};

}  // namespace qvi::emu
