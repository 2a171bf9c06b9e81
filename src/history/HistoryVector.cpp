#include "history/HistoryVector.h"

#include <algorithm>
#include <limits>

namespace tarn
{

namespace
{
    /** Float to unsigned conversion that saturates instead of being undefined
        for NaN, negative or too large values. */
    template <typename Unsigned>
    Unsigned saturatingCast (float x) noexcept
    {
        if (! (x > 0.0f))
            return 0;

        // The largest value of Unsigned rounds up to 2^digits as a float;
        // anything at or above it does not fit.
        constexpr float limit = static_cast<float> (std::numeric_limits<Unsigned>::max());

        if (x >= limit)
            return std::numeric_limits<Unsigned>::max();

        return static_cast<Unsigned> (x);
    }
} // namespace

HistoryVector::HistoryVector (float sampleRateToUse, std::uint64_t blockSizeToUse)
    : BlockVector<float> (blockSizeToUse, emptyMarker),
      sampleRate (sampleRateToUse)
{
}

unsigned HistoryVector::getSamplesPerUpdate() const noexcept
{
    return saturatingCast<unsigned> (static_cast<float> (updateRateMs) * sampleRate / 1000.0f);
}

std::uint64_t HistoryVector::blockOfTime (std::uint64_t timeMs, unsigned samplesPerUpdate) const noexcept
{
    const auto samples = saturatingCast<std::uint64_t> (static_cast<float> (timeMs) * sampleRate / 1000.0f);
    return samples / samplesPerUpdate / blockSize;
}

bool HistoryVector::hasDataBetween (std::uint64_t startMs, std::uint64_t endMs) const
{
    const auto spu = getSamplesPerUpdate();

    if (spu == 0)
        return false;

    const auto first = blockOfTime (startMs, spu);
    auto last = blockOfTime (endMs, spu);

    if (last < first)
        return false;

    const auto slots = getBlockSlotCount();

    if (first >= slots)
        return false;

    last = std::min (last, slots - 1);

    for (auto b = first; b <= last; ++b)
        if (hasBlock (b))
            return true;

    return false;
}

} // namespace tarn
