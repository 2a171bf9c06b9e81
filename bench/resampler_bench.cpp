#include "engine/ResamplerChannel.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace
{
using tarn::ResamplerChannel;

// Up- and downsampling of both channels of a stereo stream, in host blocks of
// 512 samples, as the limiter does it. The counter x_realtime is seconds of
// audio per second of CPU.
void upAndDownStereo (benchmark::State& state)
{
    const double rate = (double) state.range (0);
    const int d = (int) state.range (1);
    constexpr int block = 512;
    constexpr int channels = 2;

    std::vector<std::unique_ptr<ResamplerChannel>> up, down;
    std::vector<std::vector<float>> host, high;
    std::mt19937 random (7u);
    std::normal_distribution<float> noise (0.0f, 0.25f);

    for (int c = 0; c < channels; ++c)
    {
        up.push_back (std::make_unique<ResamplerChannel> (rate, rate * d, block));
        down.push_back (std::make_unique<ResamplerChannel> (rate * d, rate, block * d));
        host.emplace_back (block);
        high.emplace_back ((size_t) block * d);
        for (auto& x : host.back())
            x = noise (random);
    }

    std::vector<float> back (block);
    int64_t frames = 0;
    for (auto _ : state)
    {
        for (int c = 0; c < channels; ++c)
        {
            const int u = up[(size_t) c]->process (host[(size_t) c].data(), high[(size_t) c].data(), block, block * d);
            const int w = down[(size_t) c]->process (high[(size_t) c].data(), back.data(), u, block);
            benchmark::DoNotOptimize (w);
            benchmark::DoNotOptimize (back.data());
        }
        frames += block;
    }

    state.counters["x_realtime"] = benchmark::Counter ((double) frames / rate, benchmark::Counter::kIsRate);
}

BENCHMARK (upAndDownStereo)
    ->ArgNames ({ "rate", "d" })
    ->Args ({ 44100, 5 })
    ->Args ({ 48000, 4 })
    ->Args ({ 96000, 2 })
    ->Args ({ 22050, 8 })
    ->Unit (benchmark::kMicrosecond);

void constructUpsampler48k (benchmark::State& state)
{
    for (auto _ : state)
    {
        ResamplerChannel channel (48000.0, 192000.0, 512);
        benchmark::DoNotOptimize (channel.latency());
    }
}
BENCHMARK (constructUpsampler48k)->Unit (benchmark::kMillisecond);

void clearUpsampler48k (benchmark::State& state)
{
    ResamplerChannel channel (48000.0, 192000.0, 512);
    for (auto _ : state)
        channel.clear();
}
BENCHMARK (clearUpsampler48k)->Unit (benchmark::kMicrosecond);

} // namespace
