#include "installer/engine/allocation_failure.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace allocation_failure {
namespace {

std::atomic<uint64_t> allocations{0};
// The allocation number to refuse; 0 while disarmed.
std::atomic<uint64_t> refusedAllocation{0};
std::atomic<bool> hasRefused{false};

// Counts one allocation; true when it is the one to refuse.
bool refuseThisAllocation() {
  const uint64_t number = allocations.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t armed = refusedAllocation.load(std::memory_order_relaxed);
  if (armed == 0 || number < armed) return false;
  // Only one thread wins the refusal.
  if (!refusedAllocation.compare_exchange_strong(armed, 0)) return false;
  hasRefused = true;
  return true;
}

}  // namespace

uint64_t allocationsSoFar() { return allocations.load(); }

void refuseAllocationAfter(uint64_t count) {
  hasRefused = false;
  refusedAllocation = allocations.load() + count + 1;
}

bool refused() { return hasRefused.load(); }

}  // namespace allocation_failure

// Every form that allocates through malloc is replaced, so that no memory from one allocator
// is ever returned to another (which AddressSanitizer reports): the aligned forms, which the
// standard library serves itself, are left alone.
void* operator new(std::size_t size) {
  if (allocation_failure::refuseThisAllocation()) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return ::operator new(size, nothrow);
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
