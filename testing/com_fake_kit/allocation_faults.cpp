#include "testing/com_fake_kit/allocation_faults.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <span>

#include "runtime/com/object.h"

namespace qvi::testing {
namespace {

std::atomic<long> cpp_live{0};
std::atomic<long> task_live{0};
// Allocations counted since the injection was armed; the one whose number
// is fail_at fails (0: none does).
std::atomic<long> seen{0};
std::atomic<long> fail_at{0};

bool FailsNow() { return fail_at != 0 && ++seen == fail_at; }

// Registered once, for the life of the program; not one of its live
// objects.
class Spy final : public com::Object<Spy, IMallocSpy> {
 public:
  Spy() : Object(false) {}
  static std::span<const com::InterfaceEntry> InterfaceTable() noexcept {
    static constexpr com::InterfaceEntry kTable[] = {Entry<IMallocSpy>(IID_IMallocSpy)};
    return kTable;
  }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size != 0 && FailsNow() ? 0 : size; }
  void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
    if (actual) ++task_live;
    return actual;
  }
  void* STDMETHODCALLTYPE PreFree(void* request, BOOL spied) override {
    if (request && spied) --task_live;
    return request;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  // Reallocation keeps the count; no BSTR of this project is reallocated.
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** new_request, BOOL) override {
    *new_request = request;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return actual; }
  void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

bool SpyRegistered() {
  // Never destroyed: the task allocator may call it until the process ends.
  static Spy* const spy = com::Make<Spy>().Detach();
  static const bool registered = SUCCEEDED(CoRegisterMallocSpy(spy));
  return registered;
}

long BusyHeapBlocks() {
  const HANDLE heap = GetProcessHeap();
  HeapLock(heap);
  PROCESS_HEAP_ENTRY entry{};
  long busy = 0;
  while (HeapWalk(heap, &entry)) {
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++busy;
  }
  HeapUnlock(heap);
  return busy;
}

std::string Text(const Holdings& h) {
  return "C++ " + std::to_string(h.cpp) + ", task " + std::to_string(h.task) + ", heap " + std::to_string(h.heap) +
         ", objects " + std::to_string(h.objects);
}

}  // namespace

Holdings Measure() { return {cpp_live, task_live, BusyHeapBlocks(), com::Module::Objects()}; }

std::vector<std::string> LeaksUnderAllocationFailures(const std::function<void()>& run) {
  if (GetEnvironmentVariableW(L"OANOCACHE", nullptr, 0) == 0) {
    return {"OANOCACHE is not set: oleaut32 would hand out cached BSTRs past the spy"};
  }
  if (!SpyRegistered()) return {"the malloc spy cannot be registered"};
  // Runs with the n-th allocation failing; true when there was one.
  const auto failing = [&run](long n, Holdings& before, Holdings& after) {
    before = Measure();
    seen = 0;
    fail_at = n;
    try {
      run();
    } catch (...) {
    }
    const bool failed = n != 0 && seen >= n;
    fail_at = 0;
    after = Measure();
    return failed;
  };
  std::vector<std::string> leaks;
  for (long n = 0;; ++n) {
    Holdings before;
    Holdings after;
    bool failed = failing(n, before, after);
    // The system may keep what a path builds the first time it runs (the
    // first exception a process throws leaves the unwinder's tables behind):
    // a run that kept something is repeated, and the repeat judged. A leak
    // leaks again.
    if (after != before) failed = failing(n, before, after);
    if (n != 0 && after != before) {
      leaks.push_back("allocation " + std::to_string(n) + " failing: before " + Text(before) + "; after " +
                      Text(after));
    }
    if (n != 0 && !failed) return leaks;
  }
}

}  // namespace qvi::testing

// The test program's allocations, counted and made to fail on demand.
void* operator new(std::size_t size) {
  if (qvi::testing::FailsNow()) throw std::bad_alloc();
  void* block = std::malloc(size == 0 ? 1 : size);
  if (!block) throw std::bad_alloc();
  ++qvi::testing::cpp_live;
  return block;
}

void operator delete(void* block) noexcept {
  if (!block) return;
  --qvi::testing::cpp_live;
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
