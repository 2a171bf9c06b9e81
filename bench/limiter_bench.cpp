// Realtime factor of the whole engine (upsampling, limiting, downsampling),
// stereo, 512-sample host blocks, on one core.

#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "support/TestSignals.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace
{
    // args: sample rate, release mode (-1 auto, 0..4 manual with that curve)
    void engineRealtime (benchmark::State& state)
    {
        const auto rate = (float) state.range (0);
        const auto mode = (int) state.range (1);
        const int block = 512;
        const int seconds = 4;

        tarn::HistoryTruePeakBrickWallLimiter limiter (block, 2, 50, 0, rate);
        limiter.setThresholdImmediately (-3.0);
        limiter.setAutoRelease (mode < 0);
        if (mode >= 0)
        {
            limiter.setReleaseCurve (mode);
            limiter.setReleaseTimeMs (60);
        }

        const auto left = tarn::test::denseMaterial (rate, (int) rate * seconds, 1);
        const auto right = tarn::test::denseMaterial (rate, (int) rate * seconds, 2);
        std::vector<float> l (block), r (block);
        float* channels[] = { l.data(), r.data() };
        size_t offset = 0;
        int64_t samples = 0;

        for (auto _ : state)
        {
            std::copy_n (left.begin() + (long) offset, block, l.begin());
            std::copy_n (right.begin() + (long) offset, block, r.begin());
            benchmark::DoNotOptimize (limiter.processBlock (block, channels));
            benchmark::ClobberMemory();
            offset += block;
            if (offset + block > left.size())
                offset = 0;
            samples += block;
        }

        // Seconds of audio per second of processing.
        state.counters["realtime"] = benchmark::Counter ((double) samples / rate, benchmark::Counter::kIsRate);
    }
}

BENCHMARK (engineRealtime)
    ->ArgNames ({ "rate", "release" })
    ->ArgsProduct ({ { 44100, 48000, 96000 }, { -1 } })
    ->ArgsProduct ({ { 48000 }, { 0, 1, 2, 3, 4 } })
    ->ArgsProduct ({ { 44100, 96000 }, { 1 } })
    ->Unit (benchmark::kMicrosecond)
    ->MinTime (1.0);
