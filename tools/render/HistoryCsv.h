#pragma once

#include "history/HistoryTruePeakBrickWallLimiter.h"

#include <juce_core/juce_core.h>

#include <cstdint>

namespace tarn::render
{

// Where the history's slots lie. Slot i holds the 20 ms of host time that
// end at host position (i + 1) * samplesPerSlot. The limiter stamps its
// measurements with the host position at which they come out of it, which
// runs ahead of the input by the latency: the audio a slot describes ends at
// input sample (i + 1) * samplesPerSlot - latency.
struct HistoryTimeBase
{
    double sampleRate;
    int latency;
    std::uint64_t samplesPerSlot;

    std::uint64_t hostPositionAtSlotEnd (std::uint64_t slot) const noexcept { return (slot + 1) * samplesPerSlot; }
    double audioSecondsAt (std::uint64_t hostPosition) const noexcept
    {
        return ((double) hostPosition - (double) latency) / sampleRate;
    }
};

// Writes the four series as CSV, one row per slot from 0 to the last slot
// any series holds:
//   slot,host_position,audio_time_s,limited_true_peak_db,gain_reduction_db,threshold_db,output_true_peak_db
// host_position is the host timeline position (samples) at the slot's end,
// audio_time_s the time in the input file (seconds) at which the audio the
// slot describes ends: host_position minus the latency. Values are dB; gain
// reduction is positive; an empty cell means nothing was recorded in the
// slot, -inf silence. Returns the number of rows. Throws RenderError.
std::size_t writeHistoryCsv (const tarn::HistoryTruePeakBrickWallLimiter& limiter, const HistoryTimeBase& timeBase,
                             const juce::File& file);

} // namespace tarn::render
