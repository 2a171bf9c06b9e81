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

    // The whole state of the steps. A caller running many steps takes a copy
    // into a local (steps()), so that the state stays in registers, and
    // hands it back (setSteps()) afterwards; the arrays are shared.
    struct Steps
    {
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
            smoothed = alpha * (double) maximumValue + oneMinusAlpha * smoothed;

            // 4. Running mean of the last n - 1 smoothed values. The sum is
            // kept in double throughout: narrowing it per step lets the
            // result creep above the peak it must only just reach.
            averagingWindow[averagingPosition] = smoothed;
            if (++averagingPosition == averagingLength)
            {
                // Once per window the mean is summed afresh, so that the
                // rounding left behind by values far larger than the present
                // ones (a glitch of huge samples) cannot hold the envelope up
                // for ever.
                averagingPosition = 0;
                average = exactMean (averagingWindow, averagingLength, inverseMeanLength);
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

        // Sliding maximum over the last L values, L = windowLength, in chunks
        // of L calls: the window at chunk position p is the current chunk up
        // to p and the previous chunk after p. The current chunk's running
        // maximum is one value; the previous chunk's maxima from each
        // position to its end are made once per chunk, in place over its
        // stored values, and chunkValues[p + 1] is read before the new value
        // overwrites slot p. Every step is two loads, a store and two max
        // operations, without data-dependent branches.
        float slidingMaximum (float x) noexcept
        {
            const uint32_t p = chunkPosition;
            const float fromPrevious = chunkValues[p + 1];
            chunkValues[p] = x;
            const float running = std::max (chunkMaximum, x);
            const float result = std::max (running, fromPrevious);

            if (p + 1 == windowLength)
            {
                closeChunk (chunkValues, windowLength);
                chunkPosition = 0;
                chunkMaximum = 0.0f;
            }
            else
            {
                chunkPosition = p + 1;
                chunkMaximum = running;
            }

            return result;
        }

        uint32_t windowLength = 1;
        uint32_t averagingLength = 2;
        double alpha = 0.0;
        double oneMinusAlpha = 1.0;
        double leakage = 0.0;
        double inverseMeanLength = 1.0;
        double inverseRetained = 1.0;   // 1 / (1 - leakage)

        // L + 1 values: the chunk, then a zero that ends the previous
        // chunk's maxima.
        float* chunkValues = nullptr;
        uint32_t chunkPosition = 0;
        float chunkMaximum = 0.0f;

        double smoothed = 0.0;
        double* averagingWindow = nullptr;
        uint32_t averagingPosition = 0;
        double average = 0.0;
    };

    float process (float value) noexcept { return state.process (value); }

    Steps steps() const noexcept { return state; }
    void setSteps (const Steps& s) noexcept { state = s; }

    virtual void reset();

    uint32_t windowLength() const noexcept { return windowLengthValue; }
    int averagingLength() const noexcept { return averagingLengthValue; }
    int blockLength() const noexcept { return blockLengthValue; }
    uint32_t groups() const noexcept { return groupCount; }
    double getAlpha() const noexcept { return alpha; }
    double getLeakage() const noexcept { return leakage; }

private:
    // Turns a stored chunk into its maxima from each position to the end.
    static void closeChunk (float* values, uint32_t length) noexcept
    {
        float m = 0.0f;
        for (uint32_t k = length; k-- > 0;)
        {
            m = std::max (m, values[k]);
            values[k] = m;
        }
    }

    // Mean of the newest n - 1 values, with the oldest at slot 0.
    static double exactMean (const double* window, uint32_t length, double inverseLength) noexcept
    {
        double sum = 0.0;
        for (uint32_t k = 1; k < length; ++k)
            sum += window[k];
        return sum * inverseLength;
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

    std::unique_ptr<float[]> chunkValues;
    std::unique_ptr<double[]> averagingWindow;
    Steps state;
};

} // namespace tarn
