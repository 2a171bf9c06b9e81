#include "engine/BrickWallLimiter.h"
#include "support/TestSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

using namespace tarn;

namespace
{
    // Drives a BrickWallLimiter directly at its oversampled rate and keeps
    // everything it outputs.
    struct Rig
    {
        explicit Rig (float hostRate, int channels = 1, int hostBlock = 512)
            : limiter (hostBlock, channels, hostRate),
              io ((size_t) channels), gain ((size_t) channels), out ((size_t) channels),
              ioPointers ((size_t) channels), gainPointers ((size_t) channels), outPointers ((size_t) channels),
              outputs ((size_t) channels), gains ((size_t) channels)
        {
            for (size_t c = 0; c < (size_t) channels; ++c)
            {
                io[c].resize ((size_t) limiter.getMaxOversampledBlock());
                gain[c].resize (io[c].size());
                out[c].resize (io[c].size());
                ioPointers[c] = io[c].data();
                gainPointers[c] = gain[c].data();
                outPointers[c] = out[c].data();
            }
        }

        // Feeds the same samples to every channel.
        int run (const std::vector<float>& samples, int blockSize)
        {
            int total = 0;
            for (size_t offset = 0; offset < samples.size(); offset += (size_t) blockSize)
            {
                const int n = (int) std::min<size_t> ((size_t) blockSize, samples.size() - offset);
                for (auto& channel : io)
                    std::copy_n (samples.begin() + (long) offset, n, channel.begin());
                const int valid = limiter.process (n, ioPointers.data(), gainPointers.data(), outPointers.data());
                for (size_t c = 0; c < io.size(); ++c)
                {
                    outputs[c].insert (outputs[c].end(), out[c].begin(), out[c].begin() + valid);
                    gains[c].insert (gains[c].end(), gain[c].begin(), gain[c].begin() + valid);
                }
                total += valid;
            }
            return total;
        }

        BrickWallLimiter limiter;
        std::vector<std::vector<float>> io, gain, out;
        std::vector<float*> ioPointers, gainPointers, outPointers;
        std::vector<std::vector<float>> outputs, gains;
    };

    double aimed (double thresholdDb)
    {
        return std::pow (10.0, (thresholdDb - 0.05) / 20.0);
    }
}

TEST (BrickWallLimiter, OversamplingFactorPerSampleRate)
{
    struct Case { float rate; int d; };
    const Case cases[] = {
        { 8000.0f, 8 }, { 11025.0f, 8 }, { 22050.0f, 8 }, { 24000.0f, 8 }, { 32000.0f, 6 },
        { 44100.0f, 5 }, { 44056.0f, 5 }, { 47952.0f, 5 }, { 48000.0f, 4 }, { 64000.0f, 3 },
        { 88200.0f, 3 }, { 96000.0f, 2 }, { 176400.0f, 2 }, { 192000.0f, 1 }, { 384000.0f, 1 },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (BrickWallLimiter::oversamplingFactorFor (c.rate), c.d) << c.rate;
        BrickWallLimiter limiter (64, 1, c.rate);
        EXPECT_FLOAT_EQ (limiter.getOversampledRate(), (float) c.d * c.rate);
        EXPECT_EQ (limiter.getMaxOversampledBlock(), 64 * c.d);
    }
}

TEST (BrickWallLimiter, FirstCallsWithholdTheLookaheadOnly)
{
    // The audio waits for the envelope's window, less one, and for the
    // look-ahead of the between-sample peak estimate.
    BrickWallLimiter probe (1024, 1, 48000.0f);
    const int delay = (int) probe.lookaheadDelay();
    EXPECT_EQ (delay, 1799 + BrickWallLimiter::estimatorLag);

    for (int n : { 100, delay, delay + 1, 2400 })
    {
        Rig rig (48000.0f, 2, 1024);
        std::vector<float> block ((size_t) n, 0.1f);
        EXPECT_EQ (rig.run (block, n), std::max (0, n - delay)) << n;
        EXPECT_EQ (rig.run (block, n), n <= delay / 2 ? 0 : n) << n;
    }
}

TEST (BrickWallLimiter, ResetRefillsTheLookahead)
{
    Rig rig (48000.0f, 1, 1024);
    const int delay = (int) rig.limiter.lookaheadDelay();
    std::vector<float> block (4000, 0.1f);
    EXPECT_EQ (rig.run (block, 4000), 4000 - delay);
    EXPECT_EQ (rig.run (block, 4000), 4000);
    rig.limiter.reset();
    EXPECT_EQ (rig.run (block, 4000), 4000 - delay);
}

TEST (BrickWallLimiter, HoldsTheCeilingOnTheOversampledSignal)
{
    // Straight into the core: every output sample stays at or below the
    // aimed amplitude, whatever the material and threshold.
    struct Case { const char* name; double thresholdDb; double preGainDb; };
    const Case cases[] = { { "0 dB, +6 dB in", 0.0, 6.0 }, { "-3 dB", -3.0, 0.0 }, { "-12 dB, +3 dB in", -12.0, 3.0 } };

    for (const auto& c : cases)
    {
        Rig rig (48000.0f, 2, 512);
        rig.limiter.setThresholdImmediately (c.thresholdDb);
        rig.limiter.setPreGainDb ((float) c.preGainDb);
        rig.run (test::sine (997.0, 192000.0, 20000, 1.0), 2048);      // ramps the pre gain in
        rig.run (test::denseMaterial (192000.0, 192000, 3), 2048);
        rig.run (test::square (440.0, 192000.0, 40000, 1.0), 2048);

        const float ceiling = (float) aimed (c.thresholdDb);
        for (auto& channel : rig.outputs)
            EXPECT_LE (test::samplePeak (channel), ceiling * (1.0f + 2e-7f)) << c.name;
    }
}

TEST (BrickWallLimiter, ThresholdAndGainRampsEndExactlyOnTheirTargets)
{
    Rig rig (48000.0f, 1, 512);
    rig.limiter.setThresholdImmediately (-6.0);
    const std::vector<float> quiet (4096, 0.01f);
    rig.run (quiet, 2048);

    rig.limiter.setThresholdDb (0.0f);
    rig.limiter.setPreGainDb (6.0f);
    rig.limiter.setPostGainDb (-3.0f);
    rig.run (quiet, 2048);

    EXPECT_EQ (rig.limiter.getThresholdDb(), 0.0);
    EXPECT_EQ (rig.limiter.getPreGainDb(), 6.0);
    EXPECT_EQ (rig.limiter.getPostGainDb(), -3.0);

    // The output runs from the old gains to the new ones in a straight line,
    // delayed by the lookahead, and then stays on the target.
    rig.run (quiet, 2048);
    const auto& out = rig.outputs[0];
    const size_t rampStart = 4096 - rig.limiter.lookaheadDelay();
    const double from = 0.01;
    const double to = 0.01 * std::pow (10.0, 6.0 / 20.0);
    EXPECT_NEAR (out[rampStart - 1], from, 1e-7);
    EXPECT_NEAR (out.back(), (float) (to * std::pow (10.0, -3.0 / 20.0)), 1e-7);
    // Rate of change across the ramp: pre gain and post gain ramp together,
    // so the product is a parabola; check it is smooth (no step).
    for (size_t i = rampStart; i < rampStart + 2048; ++i)
        ASSERT_LT (std::abs (out[i] - out[i - 1]), 2e-5f) << i;
}

TEST (BrickWallLimiter, MaximizerCeilingAndMakeUpGain)
{
    struct Case { float targetDb; double thresholdDb; double expectedCeiling; };
    const Case cases[] = {
        { 0.0f, -10.0, std::pow (10.0, -0.05 / 20.0) },   // 0.99426, under the 0.999 cap
        { -1.0f, -10.0, std::pow (10.0, -1.05 / 20.0) },
        { -0.3f, -20.0, std::pow (10.0, -0.35 / 20.0) },
    };

    for (const auto& c : cases)
    {
        Rig rig (48000.0f, 2, 512);
        rig.limiter.setThresholdImmediately (c.thresholdDb);
        rig.limiter.setMaximizer (true);
        rig.limiter.setMaxTargetDb (c.targetDb);
        EXPECT_NEAR (rig.limiter.getMaxTargetLinear(), c.expectedCeiling, 1e-6);

        rig.run (test::toneCluster (192000.0, 96000, 11), 1024);

        const double makeUp = std::min (0.999, (double) (float) c.expectedCeiling) / aimed (c.thresholdDb);
        EXPECT_NEAR (rig.limiter.getPostGainDb(), 20.0 * std::log10 (makeUp), 1e-4);

        const float peak = test::samplePeak (rig.outputs[0]);
        EXPECT_LE (peak, (float) c.expectedCeiling * (1.0f + 3e-7f));
        EXPECT_GT (peak, (float) c.expectedCeiling * 0.99f) << "the maximizer fills up to its ceiling";
    }

    // Before any target is handed over, the 0.999 cap bounds the start value 1.0.
    Rig fresh (48000.0f, 1, 512);
    fresh.limiter.setThresholdImmediately (-6.0);
    fresh.limiter.setMaximizer (true);
    fresh.run (test::denseMaterial (192000.0, 48000, 5), 1024);
    EXPECT_LE (test::samplePeak (fresh.outputs[0]), 0.999f * (1.0f + 3e-7f));
    EXPECT_NEAR (fresh.limiter.getPostGainDb(), 20.0 * std::log10 (0.999 / aimed (-6.0)), 1e-4);
}

namespace
{
    // A single peak of 1.0 followed by a level just above the threshold: the
    // release runs its full course, and the level it hands to the envelope
    // traces the curve.
    struct ReleaseTrace
    {
        std::vector<float> levels;
        double floor = 0.0;
        double excess = 0.0;
    };

    ReleaseTrace traceRelease (int curve, int releaseMs, int samples)
    {
        BrickWallLimiter limiter (4096, 1, 48000.0f);
        limiter.setThresholdImmediately (-20.0);
        limiter.setAutoRelease (false);
        limiter.setReleaseTimeMs (releaseMs);
        limiter.setReleaseCurve (curve);

        const double thr = aimed (-20.0);
        const float hold = (float) (thr * 1.00001);
        std::vector<float> io (1), gain (1), out (1);
        float* pio[] = { io.data() };
        float* pg[] = { gain.data() };
        float* po[] = { out.data() };

        ReleaseTrace trace;
        trace.floor = (double) (float) thr;
        trace.excess = 1.0 / trace.floor - 1.0;

        // The detector works estimatorLag samples behind the input.
        io[0] = 1.0f;
        limiter.process (1, pio, pg, po);
        for (int i = 0; i < BrickWallLimiter::estimatorLag; ++i)
        {
            io[0] = hold;
            limiter.process (1, pio, pg, po);
        }
        for (int i = 0; i < samples; ++i)
        {
            io[0] = hold;
            limiter.process (1, pio, pg, po);
            trace.levels.push_back (limiter.getReleaseLevel());
        }
        return trace;
    }
}

TEST (BrickWallLimiter, EachReleaseCurveHasTheShapeOfItsTable)
{
    const int R = 19200; // 100 ms at 192 kHz
    for (int curve = 0; curve <= 4; ++curve)
    {
        const double E = BrickWallLimiter::curveEnd (curve);
        const auto trace = traceRelease (curve, 100, (int) (R * E) + 100);

        for (size_t k = 0; k < trace.levels.size(); k += 97)
        {
            const double t = (double) (k + 1) / R;
            const double expected = std::clamp (BrickWallLimiter::curveShape (curve, t), 0.0, E);
            if (expected < 1e-4)
                break;
            const double measured = ((double) trace.levels[k] / trace.floor - 1.0) / trace.excess;
            ASSERT_NEAR (measured, expected, 2e-5) << "curve " << curve << " at t = " << t;
        }

        // The shape starts at 1 and the release ends after R * E samples,
        // when the level follows the input again.
        EXPECT_NEAR (BrickWallLimiter::curveShape (curve, 0.0), 1.0, 2e-3) << curve;
        const auto ended = std::find (trace.levels.begin(), trace.levels.end(), trace.levels.back());
        EXPECT_NEAR ((double) (ended - trace.levels.begin()), R * E, 0.02 * R) << curve;
    }
}

TEST (BrickWallLimiter, TransparentReleaseLastsItsExtendedLength)
{
    EXPECT_DOUBLE_EQ (BrickWallLimiter::curveEnd ((int) ReleaseCurve::transparent), 2.0307421);

    BrickWallLimiter limiter (512, 1, 48000.0f);
    limiter.setAutoRelease (false);
    limiter.setReleaseTimeMs (100);
    std::vector<float> io (2048, 0.0f), gain (2048), out (2048);
    float* pio[] = { io.data() };
    float* pg[] = { gain.data() };
    float* po[] = { out.data() };
    limiter.process (16, pio, pg, po);
    EXPECT_EQ (limiter.getReleaseSamples(), 19200);

    // The level reaches the threshold after E * R samples, not before.
    const auto trace = traceRelease ((int) ReleaseCurve::transparent, 100, 40000);
    const double thr = trace.floor;
    const auto reached = std::find_if (trace.levels.begin(), trace.levels.end(),
                                       [&] (float level) { return level <= thr * 1.00001; });
    const double samplesToThreshold = (double) (reached - trace.levels.begin()) + 1.0;
    EXPECT_GT (samplesToThreshold, 0.97 * 2.0307421 * 19200);
    EXPECT_LE (samplesToThreshold, 2.0307421 * 19200 + 2);
}

TEST (BrickWallLimiter, ChangingTheReleaseLengthMidReleaseKeepsThePosition)
{
    BrickWallLimiter limiter (4096, 1, 48000.0f);
    limiter.setThresholdImmediately (-20.0);
    limiter.setAutoRelease (false);
    limiter.setReleaseTimeMs (100);
    limiter.setReleaseCurve ((int) ReleaseCurve::linear);

    const float hold = (float) (aimed (-20.0) * 1.00001);
    std::vector<float> io (4096), gain (4096), out (4096);
    float* pio[] = { io.data() };
    float* pg[] = { gain.data() };
    float* po[] = { out.data() };

    io[0] = 1.0f;
    std::fill (io.begin() + 1, io.end(), hold);
    limiter.process (4096, pio, pg, po);
    for (int i = 0; i < 2; ++i)
    {
        std::fill (io.begin(), io.end(), hold);
        limiter.process (2400, pio, pg, po);
    }
    const float before = limiter.getReleaseLevel();   // t = 8895 / 19200

    limiter.setReleaseTimeMs (200);
    std::fill (io.begin(), io.end(), hold);
    limiter.process (1, pio, pg, po);
    const float after = limiter.getReleaseLevel();
    limiter.process (1, pio, pg, po);
    const float next = limiter.getReleaseLevel();

    // The curve position is kept across the change: the first sample after it
    // continues where the old release would have been, and from there the
    // level falls at half the old rate.
    const double floor = (double) (float) aimed (-20.0);
    const double oldStep = (1.0 / floor - 1.0) * floor / 19200.0;
    EXPECT_NEAR (before - after, oldStep, 0.02 * oldStep);
    EXPECT_NEAR (after - next, oldStep / 2.0, 0.02 * oldStep);
    EXPECT_EQ (limiter.getReleaseSamples(), 38400);
}

TEST (BrickWallLimiter, AutoReleaseUsesFactor20UntilTheFirstLoudnessBlock)
{
    BrickWallLimiter limiter (4096, 1, 48000.0f);
    limiter.setThresholdImmediately (-6.0);
    const auto signal = test::sine (1000.0, 192000.0, 192000, 0.5);

    std::vector<float> io (4096), gain (4096), out (4096);
    float* pio[] = { io.data() };
    float* pg[] = { gain.data() };
    float* po[] = { out.data() };

    const int loudnessBlock = (int) std::ceil (0.6 * 192000.0);
    bool sawOtherFactor = false;

    auto runFrom = [&] (size_t start, size_t count, bool checkBeforeBlock)
    {
        for (size_t offset = start; offset < start + count; offset += 1000)
        {
            std::copy_n (signal.begin() + (long) (offset % 96000), 1000, io.begin());
            limiter.process (1000, pio, pg, po);
            if (checkBeforeBlock && offset + 1000 <= start + (size_t) loudnessBlock)
            {
                ASSERT_EQ (limiter.getLevelFactor(), 20) << offset;
            }
            if (limiter.getLevelFactor() != 20)
                sawOtherFactor = true;
        }
    };

    runFrom (0, 150000, true);
    EXPECT_FALSE (limiter.isLoudnessUnknown());
    EXPECT_NEAR (limiter.getLoudnessDb(), 20.0 * std::log10 (0.5 / std::sqrt (2.0)), 0.05);
    EXPECT_TRUE (sawOtherFactor);

    limiter.reset();
    EXPECT_TRUE (limiter.isLoudnessUnknown());
    sawOtherFactor = false;
    runFrom (0, 100000, true);
}

TEST (BrickWallLimiter, UnknownCurveRaisesFromProcess)
{
    BrickWallLimiter limiter (64, 1, 48000.0f);
    limiter.setReleaseCurve (5);
    std::vector<float> io (256, 0.5f), gain (256), out (256);
    float* pio[] = { io.data() };
    float* pg[] = { gain.data() };
    float* po[] = { out.data() };
    try
    {
        limiter.process (256, pio, pg, po);
        FAIL() << "expected an exception";
    }
    catch (const std::invalid_argument& e)
    {
        EXPECT_STREQ (e.what(), "curve type could not be found");
    }
}

TEST (BrickWallLimiter, NonFiniteAndAbsurdInputDoesNotPoisonTheDetectors)
{
    // NaN and infinities carry no signal; a huge finite sample is a real (if
    // absurd) peak that the release then lets go of. Either way the output
    // stays finite and limited, and the limiter works normally afterwards.
    struct Case { const char* name; std::vector<float> poison; bool autoRelease; };
    const Case cases[] = {
        { "NaN and infinities", { std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::quiet_NaN() }, true },
        { "huge finite samples, manual release", { 3.0e38f, -3.0e38f }, false },
    };

    for (const auto& c : cases)
    {
        Rig rig (48000.0f, 2, 1024);
        rig.limiter.setThresholdImmediately (-6.0);
        rig.limiter.setAutoRelease (c.autoRelease);
        rig.limiter.setReleaseTimeMs (50);
        auto signal = test::toneCluster (192000.0, 4 * 192000, 21);
        for (size_t k = 0; k < 40; ++k)
            signal[5000 + k * 1111] = c.poison[k % c.poison.size()];

        rig.run (signal, 4096);

        const float ceiling = (float) aimed (-6.0);
        for (auto& channel : rig.outputs)
            for (size_t i = 0; i < channel.size(); ++i)
            {
                ASSERT_TRUE (std::isfinite (channel[i])) << c.name << " at " << i;
                ASSERT_LE (std::abs (channel[i]), ceiling * (1.0f + 2e-7f)) << c.name << " at " << i;
            }

        EXPECT_TRUE (std::isfinite (rig.limiter.getLoudnessDb())) << c.name;
        EXPECT_TRUE (std::isfinite (rig.limiter.getSmoothedPeriod())) << c.name;
        EXPECT_TRUE (std::isfinite (rig.limiter.getReleaseLevel())) << c.name;

        // The last second is limited as usual: the dense material meets the ceiling.
        const std::vector<float> lastSecond (rig.outputs[0].end() - 192000, rig.outputs[0].end());
        EXPECT_GT (test::samplePeak (lastSecond), ceiling * 0.98f) << c.name;
    }
}

TEST (BrickWallLimiter, DenormalsAreFlushedAndTheCallersModeRestored)
{
    Rig rig (48000.0f, 1, 1024);
    std::vector<float> tiny (40000);
    for (size_t i = 0; i < tiny.size(); ++i)
        tiny[i] = (i % 2 ? 1 : -1) * std::numeric_limits<float>::denorm_min() * (float) (1 + i % 50);
    tiny[0] = 0.5f;

    rig.run (tiny, 4000);
    for (float x : rig.outputs[0])
        ASSERT_NE (std::fpclassify (x), FP_SUBNORMAL);
    for (float g : rig.gains[0])
        ASSERT_NE (std::fpclassify (g), FP_SUBNORMAL);

    // Outside processing, denormals are the caller's business again.
    volatile float small = std::numeric_limits<float>::min();
    EXPECT_EQ (std::fpclassify (small / 4.0f), FP_SUBNORMAL);
}
