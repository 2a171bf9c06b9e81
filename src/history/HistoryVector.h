#pragma once

#include "history/BlockVector.h"

#include <cstdint>
#include <limits>

namespace tarn
{

/**
    A BlockVector of float dB values with a time base: one value per
    updateRateMs of host time at the host sampleRate. Plus infinity is the
    fill value and means that nothing was recorded at an index.
*/
class HistoryVector : public BlockVector<float>
{
public:
    static constexpr std::uint64_t defaultBlockSize = 15000;
    static constexpr float emptyMarker = std::numeric_limits<float>::infinity();

    explicit HistoryVector (float sampleRateToUse, std::uint64_t blockSizeToUse = defaultBlockSize);

    /** Host samples per value: (unsigned) (updateRateMs * sampleRate / 1000), in
        float arithmetic; 960 at 48 kHz, 882 at 44.1 kHz. 0 for rates below one
        value per update (no meaningful time base). */
    unsigned getSamplesPerUpdate() const noexcept;

    /** Whether any block slot holding values lies between the blocks of the two
        times (inclusive). False when the end lies before the start. Each slot is
        examined under the vector's mutex; slots beyond the last allocated slot
        are not examined, as they cannot hold values. */
    bool hasDataBetween (std::uint64_t startMs, std::uint64_t endMs) const;

    int getUpdateRateMs() const noexcept { return updateRateMs; }
    int getSlotsPerUpdate() const noexcept { return slotsPerUpdate; }
    float getSampleRate() const noexcept { return sampleRate; }

    const int updateRateMs = 20;
    const int slotsPerUpdate = 1;
    const float sampleRate;

private:
    std::uint64_t blockOfTime (std::uint64_t timeMs, unsigned samplesPerUpdate) const noexcept;
};

} // namespace tarn
