#pragma once

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
  #include <xmmintrin.h>
  #define TARN_HAS_MXCSR 1
#else
  #define TARN_HAS_MXCSR 0
#endif

namespace tarn
{

// Flushes denormal results and treats denormal inputs as zero for the
// lifetime of the object, then restores the caller's floating-point mode.
class ScopedNoDenormals
{
public:
    ScopedNoDenormals() noexcept
    {
       #if TARN_HAS_MXCSR
        previous = _mm_getcsr();
        _mm_setcsr (previous | 0x8040u); // flush-to-zero and denormals-are-zero
       #endif
    }

    ~ScopedNoDenormals() noexcept
    {
       #if TARN_HAS_MXCSR
        _mm_setcsr (previous);
       #endif
    }

    ScopedNoDenormals (const ScopedNoDenormals&) = delete;
    ScopedNoDenormals& operator= (const ScopedNoDenormals&) = delete;

private:
    unsigned int previous = 0;
};

} // namespace tarn
