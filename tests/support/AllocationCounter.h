#pragma once

#include <cstdint>

namespace tarn::test
{

// Counts heap allocations (operator new, malloc, calloc, realloc) and mutex
// locks made by the calling thread while a ScopedAllocationCount is alive.
// Counting is not available in sanitizer builds, whose runtimes own the
// allocator.
struct AllocationCounts
{
    uint64_t allocations = 0;
    uint64_t locks = 0;
};

bool allocationCountingAvailable() noexcept;

class ScopedAllocationCount
{
public:
    ScopedAllocationCount() noexcept;
    ~ScopedAllocationCount() noexcept;

    AllocationCounts counts() const noexcept;

    ScopedAllocationCount (const ScopedAllocationCount&) = delete;
    ScopedAllocationCount& operator= (const ScopedAllocationCount&) = delete;
};

} // namespace tarn::test
