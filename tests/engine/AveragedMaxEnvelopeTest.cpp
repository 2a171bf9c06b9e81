#include "engine/AveragedMaxEnvelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace tarn;

TEST (AveragedMaxEnvelope, LengthsFollowTheOversampledRate)
{
    struct Case { float rate; int block; unsigned groups; unsigned window; int averaging; };
    const Case cases[] = {
        { 192000.0f, 9, 9, 1800, 768 },
        { 220500.0f, 11, 9, 2200, 882 },
        { 176400.0f, 8, 9, 1600, 705 },
        { 384000.0f, 19, 9, 3800, 1536 },
    };

    for (const auto& c : cases)
    {
        AveragedMaxEnvelope envelope (c.rate, 9.0f, 4.0f);
        EXPECT_EQ (envelope.blockLength(), c.block) << c.rate;
        EXPECT_EQ (envelope.groups(), c.groups) << c.rate;
        EXPECT_EQ (envelope.windowLength(), c.window) << c.rate;
        EXPECT_EQ (envelope.averagingLength(), c.averaging) << c.rate;

        // The one-pole leaks about 1/10001 of a step over N = n | 1 samples.
        const int N = c.averaging | 1;
        EXPECT_NEAR (envelope.getLeakage(), 1.0 / 10001.0, 1e-7) << c.rate;
        EXPECT_DOUBLE_EQ (envelope.getAlpha(), 1.0 - std::pow (10.0, -4.0000434272769105 / N));
    }
}

TEST (AveragedMaxEnvelope, FirstCallSeesAWindowOfZeros)
{
    AveragedMaxEnvelope envelope (192000.0f, 9.0f, 4.0f);
    const double w = envelope.getLeakage();
    const double x = (double) (float) (0.5 / (1.0 - w));
    const double expected = envelope.getAlpha() * x / (envelope.averagingLength() - 1);
    EXPECT_NEAR (envelope.process (0.5f), expected, 1e-9);
}

TEST (AveragedMaxEnvelope, SinglePeakIsReachedHeldForTheWindowAndReleased)
{
    AveragedMaxEnvelope envelope (192000.0f, 9.0f, 4.0f);
    const int L = (int) envelope.windowLength();
    const int n = envelope.averagingLength();
    const int N = n | 1;
    const float P = 0.8f;

    std::vector<float> out;
    out.push_back (envelope.process (P));
    for (int i = 1; i < L + 3 * (N + n); ++i)
        out.push_back (envelope.process (0.0f));

    for (size_t i = 1; i < (size_t) (N + n); ++i)
        ASSERT_GE (out[i], out[i - 1]) << "rises monotonically at " << i;

    EXPECT_NEAR (out[(size_t) (N + n)], P, 1e-3 * P);
    // It must reach the peak while the peak's sample is still in the delay.
    EXPECT_GE (out[(size_t) L - 1], P * (1.0f - 1e-6f));
    EXPECT_LT (out.back(), 1e-3f * P);
    for (auto v : out)
        ASSERT_GE (v, 0.0f);
}

TEST (AveragedMaxEnvelope, ConstantInputConvergesOnTheInput)
{
    AveragedMaxEnvelope envelope (220500.0f, 9.0f, 4.0f);
    float value = 0.0f;
    for (int i = 0; i < 20000; ++i)
        value = envelope.process (0.3f);
    EXPECT_NEAR (value, 0.3f, 1e-6f);
}

// The property the limiter rests on: whenever a value enters, the envelope is
// at or above it, to within a few float steps, by the time the sample
// carrying it leaves a delay of L - 1.
TEST (AveragedMaxEnvelope, ReachesEveryPeakBeforeItLeavesTheLookahead)
{
    for (float rate : { 192000.0f, 220500.0f, 176400.0f })
    {
        AveragedMaxEnvelope envelope (rate, 9.0f, 4.0f);
        const int L = (int) envelope.windowLength();

        std::mt19937 random (7);
        std::uniform_real_distribution<float> uniform (0.0f, 1.0f);
        std::vector<float> input, output;

        for (int i = 0; i < 200000; ++i)
        {
            // Sparse spikes over a wandering floor, and full-scale bursts.
            float x = 0.2f * uniform (random);
            if (uniform (random) < 0.002f)
                x = 1.0f + 3.0f * uniform (random);
            if ((i / 20000) % 3 == 1)
                x = std::abs (std::sin (i * 0.0123f)) * 2.0f;
            input.push_back (x);
            output.push_back (envelope.process (x));
        }

        for (size_t t = 0; t + (size_t) L - 1 < input.size(); ++t)
        {
            const float leaving = output[t + (size_t) L - 1];
            ASSERT_GE (leaving, input[t] * (1.0f - 1e-6f)) << "rate " << rate << " at " << t << " deficit "
                                                           << (1.0 - (double) leaving / input[t]);
        }
    }
}

TEST (AveragedMaxEnvelope, ResetReturnsToTheStartingState)
{
    AveragedMaxEnvelope envelope (192000.0f, 9.0f, 4.0f);
    const float first = envelope.process (0.5f);
    for (int i = 0; i < 5000; ++i)
        envelope.process (0.9f);
    envelope.reset();
    EXPECT_EQ (envelope.process (0.5f), first);
}
