#pragma once

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

namespace tarn
{

// Smooth peak envelope of the limiter's sidechain. Every call takes one
// release-shaped peak level and returns an envelope value that reaches every
// peak before the audio sample carrying it leaves a lookahead delay of
// windowLength() samples:
//   1. compensation: the value is raised just enough that the smoothed and
//      averaged result still reaches it;
//   2. exact sliding maximum over the last windowLength() values;
//   3. one-pole smoothing;
//   4. running mean over averagingLength() - 1 values.
//
// Lengths are counts of oversampled samples. The window is the smallest
// multiple of 20 blocks of 0.05 ms that covers the lookahead time.
class AveragedMaxEnvelope
{
public:
    AveragedMaxEnvelope (float sampleRate, float lookaheadMs, float averagingMs);
    virtual ~AveragedMaxEnvelope();

    AveragedMaxEnvelope (const AveragedMaxEnvelope&) = delete;
    AveragedMaxEnvelope& operator= (const AveragedMaxEnvelope&) = delete;

    // One step per oversampled sample. value is a linear amplitude (>= 0).
    float process (float value) noexcept
    {
        // 1. Compensation.
        float x = std::abs (value);
        const double compensated = ((double) x - average * leakage) * inverseRetained;
        if (compensated > (double) x)
            x = (float) std::min (compensated, (double) std::numeric_limits<float>::max());

        // 2. Sliding maximum of the last L values.
        const float maximumValue = slidingMaximum (x);

        // 3. Smoothing.
        smoothed = alpha * (double) maximumValue + (1.0 - alpha) * smoothed;

        // 4. Running mean of the last n - 1 smoothed values. The sum is kept
        // in double throughout: narrowing it per step lets the result creep
        // above the peak it must only just reach.
        averagingWindow[averagingPosition] = smoothed;
        if (++averagingPosition == (uint32_t) averagingLengthValue)
        {
            // Once per window the mean is summed afresh, so that the rounding
            // left behind by values far larger than the present ones (a
            // glitch of huge samples) cannot hold the envelope up for ever.
            averagingPosition = 0;
            average = exactMean();
        }
        else
        {
            const double leaving = averagingWindow[averagingPosition];
            average = average + (smoothed - leaving) * inverseMeanLength;
        }

        if (! (average > 0.0))
            average = 0.0;

        return (float) average;
    }

    virtual void reset();

    uint32_t windowLength() const noexcept { return windowLengthValue; }
    int averagingLength() const noexcept { return averagingLengthValue; }
    int blockLength() const noexcept { return blockLengthValue; }
    uint32_t groups() const noexcept { return groupCount; }
    double getAlpha() const noexcept { return alpha; }
    double getLeakage() const noexcept { return leakage; }

private:
    // Monotonic wedge: the candidates for the maximum, oldest first, with
    // strictly decreasing values. Holds at most windowLength entries.
    float slidingMaximum (float x) noexcept
    {
        const uint64_t now = callCount++;

        // The oldest candidate leaves once it is L calls old.
        if (wedgeSize > 0 && now - wedgeTimes[wedgeHead] >= windowLengthValue)
        {
            if (++wedgeHead == windowLengthValue)
                wedgeHead = 0;
            --wedgeSize;
        }

        while (wedgeSize > 0)
        {
            const uint32_t last = wedgeBack();
            if (wedgeValues[last] > x)
                break;
            --wedgeSize;
        }

        uint32_t slot = wedgeHead + wedgeSize;
        if (slot >= windowLengthValue)
            slot -= windowLengthValue;
        wedgeValues[slot] = x;
        wedgeTimes[slot] = now;
        ++wedgeSize;

        return wedgeValues[wedgeHead];
    }

    // Mean of the newest n - 1 values, with the oldest at slot 0.
    double exactMean() const noexcept
    {
        double sum = 0.0;
        for (int k = 1; k < averagingLengthValue; ++k)
            sum += averagingWindow[(size_t) k];
        return sum * inverseMeanLength;
    }

    uint32_t wedgeBack() const noexcept
    {
        uint32_t slot = wedgeHead + wedgeSize - 1;
        return slot >= windowLengthValue ? slot - windowLengthValue : slot;
    }

    float sampleRate;
    int blockLengthValue;
    uint32_t groupCount;
    uint32_t windowLengthValue;
    int averagingLengthValue;
    double alpha;
    double leakage;
    double inverseMeanLength;
    double inverseRetained;   // 1 / (1 - leakage)

    std::unique_ptr<float[]> wedgeValues;
    std::unique_ptr<uint64_t[]> wedgeTimes;
    uint32_t wedgeHead = 0;
    uint32_t wedgeSize = 0;
    uint64_t callCount = 0;

    double smoothed = 0.0;
    std::unique_ptr<double[]> averagingWindow;
    uint32_t averagingPosition = 0;
    double average = 0.0;
};

} // namespace tarn
