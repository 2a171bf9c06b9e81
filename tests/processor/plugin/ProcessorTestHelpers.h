#pragma once

#include "processor/TarnLimiterAudioProcessor.h"

#include "support/AllocationCounter.h"
#include "support/TestPlayHead.h"
#include "support/TestSignals.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace
{

inline juce::RangedAudioParameter& parameter (TarnLimiterAudioProcessor& processor, const char* id)
{
    auto* found = processor.getValueTreeState().getParameter (id);
    if (found == nullptr)
        throw std::runtime_error (std::string ("no parameter ") + id);
    return *found;
}

// Sets a parameter to a plain value the way a host or the editor does.
inline void setPlain (TarnLimiterAudioProcessor& processor, const char* id, float value)
{
    auto& p = parameter (processor, id);
    p.setValueNotifyingHost (p.convertTo0to1 (value));
}

using tarn::test::TestPlayHead;

// Runs whole blocks of input through the processor, advancing the play head
// when given; counts what processBlock allocates and locks into counts, when
// given. beforeBlock (block index) runs before each block, outside the count.
inline void runBlocks (TarnLimiterAudioProcessor& processor, const tarn::test::Channels& input, int blockSize,
                       tarn::test::Channels& output, tarn::test::AllocationCounts* counts = nullptr,
                       TestPlayHead* playHead = nullptr, const std::function<void (int)>& beforeBlock = {})
{
    const int channels = (int) input.size();
    const int length = (int) input[0].size();
    output.assign ((size_t) channels, std::vector<float> ((size_t) length));
    juce::AudioBuffer<float> buffer (channels, blockSize);
    juce::MidiBuffer midi;
    int index = 0;
    for (int start = 0; start + blockSize <= length; start += blockSize, ++index)
    {
        if (beforeBlock)
            beforeBlock (index);
        for (int c = 0; c < channels; ++c)
            buffer.copyFrom (c, 0, input[(size_t) c].data() + start, blockSize);
        {
            tarn::test::ScopedAllocationCount count;
            processor.processBlock (buffer, midi);
            if (counts != nullptr)
            {
                counts->allocations += count.counts().allocations;
                counts->locks += count.counts().locks;
            }
        }
        if (playHead != nullptr)
            playHead->advance (blockSize);
        for (int c = 0; c < channels; ++c)
            std::copy (buffer.getReadPointer (c), buffer.getReadPointer (c) + blockSize, output[(size_t) c].begin() + start);
    }
}

// Waits (bounded) until the limiter's worker has stored everything measured
// so far: the largest index of the limited-level series stops moving.
inline void waitForHistory (const tarn::HistoryTruePeakBrickWallLimiter& limiter)
{
    std::uint64_t last = ~std::uint64_t (0);
    for (int i = 0; i < 40; ++i)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (30));
        const auto now = limiter.getSeries (tarn::HistorySeries::limitedLevel).getMaxIndex();
        if (now == last && i > 2)
            return;
        last = now;
    }
}

} // namespace
