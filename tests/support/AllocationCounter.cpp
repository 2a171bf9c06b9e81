#include "support/AllocationCounter.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  #define TARN_COUNTING 0
#elif defined(__has_feature)
  #if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    #define TARN_COUNTING 0
  #endif
#endif

#ifndef TARN_COUNTING
  #define TARN_COUNTING 1
#endif

#if TARN_COUNTING
  #include <dlfcn.h>
  #include <pthread.h>

extern "C" void* __libc_malloc (size_t);
extern "C" void* __libc_calloc (size_t, size_t);
extern "C" void* __libc_realloc (void*, size_t);
extern "C" void __libc_free (void*);
#endif

namespace
{
    thread_local bool counting = false;
    thread_local uint64_t allocationCount = 0;
    thread_local uint64_t lockCount = 0;

    inline void noteAllocation() noexcept
    {
        if (counting)
            ++allocationCount;
    }
}

#if TARN_COUNTING

extern "C" void* malloc (size_t size)
{
    noteAllocation();
    return __libc_malloc (size);
}

extern "C" void* calloc (size_t count, size_t size)
{
    noteAllocation();
    return __libc_calloc (count, size);
}

extern "C" void* realloc (void* pointer, size_t size)
{
    noteAllocation();
    return __libc_realloc (pointer, size);
}

extern "C" void free (void* pointer)
{
    __libc_free (pointer);
}

namespace
{
    using LockFunction = int (*) (pthread_mutex_t*);

    LockFunction realLock() noexcept
    {
        static LockFunction function = reinterpret_cast<LockFunction> (dlsym (RTLD_NEXT, "pthread_mutex_lock"));
        return function;
    }

    // Resolve before any test starts counting.
    [[maybe_unused]] const LockFunction resolvedAtStartup = realLock();
}

extern "C" int pthread_mutex_lock (pthread_mutex_t* mutex)
{
    if (counting)
        ++lockCount;
    return realLock() (mutex);
}

void* operator new (size_t size)
{
    noteAllocation();
    if (auto* p = __libc_malloc (size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* operator new[] (size_t size)
{
    return operator new (size);
}

void* operator new (size_t size, std::align_val_t alignment)
{
    noteAllocation();
    void* p = nullptr;
    if (posix_memalign (&p, std::max (sizeof (void*), (size_t) alignment), size == 0 ? 1 : size) != 0)
        throw std::bad_alloc();
    return p;
}

void* operator new[] (size_t size, std::align_val_t alignment)
{
    return operator new (size, alignment);
}

void operator delete (void* p) noexcept { __libc_free (p); }
void operator delete[] (void* p) noexcept { __libc_free (p); }
void operator delete (void* p, size_t) noexcept { __libc_free (p); }
void operator delete[] (void* p, size_t) noexcept { __libc_free (p); }
void operator delete (void* p, std::align_val_t) noexcept { free (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { free (p); }
void operator delete (void* p, size_t, std::align_val_t) noexcept { free (p); }
void operator delete[] (void* p, size_t, std::align_val_t) noexcept { free (p); }

#endif

namespace tarn::test
{

bool allocationCountingAvailable() noexcept
{
    return TARN_COUNTING != 0;
}

ScopedAllocationCount::ScopedAllocationCount() noexcept
{
    allocationCount = 0;
    lockCount = 0;
    counting = true;
}

ScopedAllocationCount::~ScopedAllocationCount() noexcept
{
    counting = false;
}

AllocationCounts ScopedAllocationCount::counts() const noexcept
{
    return { allocationCount, lockCount };
}

} // namespace tarn::test
