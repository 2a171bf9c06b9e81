#include "engine/BrickWallLimiter.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

using namespace tarn;

namespace
{
    // The level factor by its definition: the largest k in 1..50 with
    // amplitude <= 10^(k L / 1000), and 1 where there is none.
    int countedFactor (float a, float loudnessDb)
    {
        int factor = 1;
        for (int k = 1; k <= 50; ++k)
            if (a <= std::pow (10.0f, (float) k * loudnessDb / 1000.0f))
                factor = k;
        return factor;
    }

    // Amplitudes around every step, across the whole range, and the extremes.
    std::vector<float> probeAmplitudes (float loudnessDb)
    {
        std::vector<float> amplitudes { 0.0f, FLT_MIN, 1.0e-30f, 1.0f, 2.0f, 1.0e10f, FLT_MAX };

        for (int k = 1; k <= 50; ++k)
        {
            const float step = std::pow (10.0f, (float) k * loudnessDb / 1000.0f);
            float below = step, above = step;
            amplitudes.push_back (step);
            for (int ulp = 0; ulp < 3; ++ulp)
            {
                below = std::nextafter (below, 0.0f);
                above = std::nextafter (above, FLT_MAX);
                amplitudes.push_back (below);
                amplitudes.push_back (above);
            }
        }

        for (int i = 0; i <= 4000; ++i)
            amplitudes.push_back (std::pow (10.0f, -12.0f + 12.6f * (float) i / 4000.0f));

        return amplitudes;
    }
}

// The factor comes from a guess refined against the exact steps, with a
// search where the guess misses; it must agree with counting the steps for
// every loudness, including ones so close to 0 dB that the steps crowd.
TEST (LevelFactor, MatchesCountingTheStepsForEveryLoudness)
{
    BrickWallLimiter limiter (512, 1, 48000.0f);

    for (const float targetDb : { -0.0004f, -0.03f, -0.4f, -1.0f, -3.0f, -9.7f, -14.0f, -23.0f, -47.0f, -90.0f, -200.0f })
    {
        // A constant block whose RMS is the target loudness.
        std::vector<float> block (4096, std::pow (10.0f, targetDb / 20.0f));
        float* channels[] = { block.data() };
        limiter.measureLoudness ((int) block.size(), channels);

        const float loudness = limiter.getLoudnessDb();
        ASSERT_LT (loudness, 0.0f) << targetDb;
        ASSERT_NEAR (loudness, targetDb, 1e-3f * std::abs (targetDb) + 1e-4f);

        for (const float a : probeAmplitudes (loudness))
            ASSERT_EQ (limiter.levelFactorFor (a), countedFactor (a, loudness)) << "L " << loudness << " a " << a;
    }
}
