// Refusing one allocation on purpose, to see what running out of memory at that moment leaves
// behind. Linking allocation_failure.cpp into a test program replaces its global operator new
// and delete: they count every allocation and, once armed, throw std::bad_alloc exactly once.
#pragma once

#include <cstdint>

namespace allocation_failure {

// Allocations made through operator new since the program started, on every thread.
uint64_t allocationsSoFar();
// Lets `count` more allocations through, then refuses the next one, once.
void refuseAllocationAfter(uint64_t count);
// Whether the armed refusal has happened.
bool refused();

}  // namespace allocation_failure
