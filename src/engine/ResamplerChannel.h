#pragma once

#include "engine/BoundedQueue.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace tarn
{

// One channel of one direction of the oversampling path: host rate to the
// oversampled rate, or back. The two rates must stand in an integer ratio
// (1 to 8); a ratio of 1 passes the signal through with no latency.
//
// The library behind it is primed and probed at construction, so that
// latency() is the number of input samples swallowed before the first output
// sample, and every later call with n input samples yields n * ratio output
// samples (n / ratio when downsampling; n a multiple of the ratio once
// running, any count before). The stream carries no delay of its own: output
// sample j, counted from construction or clear(), is the band-limited input
// at input time j * sourceRate / destinationRate.
//
// Input is handed to the library in chunks of at most chunkLength samples;
// output that does not fit the caller's buffer is kept in an overflow queue of
// 2 * latency samples and delivered first on the next call.
class ResamplerChannel
{
public:
    static constexpr int chunkLength = 256;

    ResamplerChannel (double sourceRate, double destinationRate, int maxInputLength);
    ~ResamplerChannel();

    ResamplerChannel (const ResamplerChannel&) = delete;
    ResamplerChannel& operator= (const ResamplerChannel&) = delete;

    // Returns the number of samples written to output, at most maxOutput.
    // Neither allocates nor locks.
    int process (const float* input, float* output, int numInput, int maxOutput);

    // Resets the library's state to what it was right after construction and
    // empties the overflow queue. Neither allocates nor locks.
    void clear();

    int latency() const noexcept { return latencySamples; }
    int getMaxInputLength() const noexcept { return maxInputLength; }

private:
    struct Implementation;

    // Number of output samples due once 'inputs' samples have gone in.
    int64_t outputsDueAfter (int64_t inputs) const noexcept;

    // Passes one chunk (or, with input == nullptr, count zeros) to the library
    // and appends what it returns to the pending samples.
    void feedLibrary (const float* input, int count);

    // Moves up to count pending samples to output (float), zero-filling what is
    // missing. Returns nothing: exactly count samples are written.
    void takePending (float* output, int count) noexcept;

    std::unique_ptr<Implementation> impl;
    int maxInputLength = 0;
    int latencySamples = 0;
    std::unique_ptr<BoundedQueue<float>> overflow;

    // Up: output = input * upFactor; down: output = input / downFactor.
    int upFactor = 1;
    int downFactor = 1;

    // Input swallowed before the first output, as found by the schedule probe.
    int64_t scheduleDelay = 0;

    // Samples fed since the last clear, and samples released since then.
    int64_t inputCount = 0;
    int64_t releasedCount = 0;

    // Library output received but not yet released: pending[pendingStart,
    // pendingEnd). Samples still to be dropped from the library's output
    // (the zeros used to flush it on clear()).
    std::vector<float> pending;
    size_t pendingStart = 0;
    size_t pendingEnd = 0;
    int64_t samplesToDrop = 0;

    // Input chunk with non-finite samples replaced by zero.
    std::vector<float> chunk;

    // Library input and output counted since construction.
    int64_t libraryInput = 0;
    int64_t libraryOutput = 0;
    int flushLength = 0;
    int64_t shortfalls = 0;
};

} // namespace tarn
