#pragma once

#include "engine/BoundedQueue.h"

#include <cstdint>
#include <vector>

namespace tarn
{

// Multichannel delay line that matches the bypassed signal to the limiter's
// latency. A sample is released once its channel queue holds `delay`
// elements, so each output sample is the input from delay - 1 samples
// earlier. Until the queues have filled, the valid output is packed at the
// start of the block and process() returns fewer samples than it was given.
class SignalDelayBuffer
{
public:
    SignalDelayBuffer (int numChannels, uint32_t delay);

    // Works in place on the first numSamples samples of each channel; returns
    // how many valid samples are now at the start of each channel.
    int process (int numSamples, float** channels);

    void reset() noexcept;

    uint32_t getDelay() const noexcept { return delay; }
    int getNumChannels() const noexcept { return numChannels; }

private:
    std::vector<BoundedQueue<double>> queues;
    int numChannels;
    uint32_t delay;
};

} // namespace tarn
