// The processor around the engine: the cost of its own work per block (play
// head, parameter hand-off, crossfade bookkeeping) against the engine alone,
// and saving and loading the state of a long session (base-64 included).

#include "processor/TarnLimiterAudioProcessor.h"
#include "support/TestPlayHead.h"
#include "support/TestSignals.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace
{
constexpr int block = 512;
constexpr float rate = 48000.0f;

const tarn::test::Channels& material()
{
    static const auto channels = tarn::test::stereo (tarn::test::denseMaterial (rate, (int) rate * 4, 1),
                                                     tarn::test::denseMaterial (rate, (int) rate * 4, 2));
    return channels;
}

void setPlain (TarnLimiterAudioProcessor& processor, const char* id, float value)
{
    auto* p = processor.getValueTreeState().getParameter (id);
    p->setValueNotifyingHost (p->convertTo0to1 (value));
}

// The engine alone, as the processor drives it (auto release, -3 dB).
void engineAlone (benchmark::State& state)
{
    tarn::HistoryTruePeakBrickWallLimiter limiter (block, 2, 50, 0, rate);
    limiter.setThresholdImmediately (-3.0);
    limiter.setAutoRelease (true);
    limiter.setReleaseCurve (2); // the processor's default, "Transparent"
    const auto& input = material();
    std::vector<float> l (block), r (block);
    float* channels[] = { l.data(), r.data() };
    size_t offset = 0;
    std::int64_t samples = 0;

    for (auto _ : state)
    {
        std::copy_n (input[0].begin() + (long) offset, block, l.begin());
        std::copy_n (input[1].begin() + (long) offset, block, r.begin());
        benchmark::DoNotOptimize (limiter.processBlock (block, channels));
        benchmark::ClobberMemory();
        offset = offset + 2 * block > input[0].size() ? 0 : offset + block;
        samples += block;
    }
    state.counters["realtime"] = benchmark::Counter ((double) samples / rate, benchmark::Counter::kIsRate);
}

// The same through processBlock of the plug-in, with a playing play head.
void processorBlock (benchmark::State& state)
{
    TarnLimiterAudioProcessor processor;
    processor.setTimelinePositionsSupplied (true);
    tarn::test::TestPlayHead head;
    processor.setPlayHead (&head);
    setPlain (processor, "Threshold", -3.0f);
    processor.prepareToPlay (rate, block);

    const auto& input = material();
    juce::AudioBuffer<float> buffer (2, block);
    juce::MidiBuffer midi;
    size_t offset = 0;
    std::int64_t samples = 0;

    for (auto _ : state)
    {
        buffer.copyFrom (0, 0, input[0].data() + offset, block);
        buffer.copyFrom (1, 0, input[1].data() + offset, block);
        processor.processBlock (buffer, midi);
        benchmark::ClobberMemory();
        head.position += block;
        offset = offset + 2 * block > input[0].size() ? 0 : offset + block;
        samples += block;
    }
    state.counters["realtime"] = benchmark::Counter ((double) samples / rate, benchmark::Counter::kIsRate);
}

// A prepared processor whose limiter holds a 3-hour session: four series of
// 540 000 values and a few hundred over regions.
TarnLimiterAudioProcessor& threeHourSession()
{
    static auto processor = []
    {
        auto p = std::make_unique<TarnLimiterAudioProcessor>();
        p->setTimelinePositionsSupplied (true);
        p->prepareToPlay (rate, block);
        auto limiter = p->getLimiter();
        const std::uint64_t values = 3ull * 60 * 60 * 1000 / 20;
        std::vector<float> series (values);
        for (int k = 0; k < 4; ++k)
        {
            for (std::uint64_t i = 0; i < values; ++i)
                series[i] = -12.0f + 6.0f * std::sin (0.001f * (float) i + (float) k) - (float) (i % 17);
            limiter->getSeries ((tarn::HistorySeries) k).setRange (0, series.data(), series.size());
        }
        std::vector<tarn::OverRegion> regions;
        for (std::uint64_t r = 0; r < 300; ++r)
            regions.push_back ({ r * 1000000 + 5000, r * 1000000 + 9000 });
        limiter->restoreOverRegions (regions);
        return p;
    }();
    return *processor;
}

void stateSave3h (benchmark::State& state)
{
    auto& processor = threeHourSession();
    std::size_t bytes = 0;
    for (auto _ : state)
    {
        juce::MemoryBlock data;
        processor.getStateInformation (data);
        bytes = data.getSize();
        benchmark::DoNotOptimize (data.getData());
    }
    state.counters["MB"] = (double) bytes / 1.0e6;
}

void stateLoad3h (benchmark::State& state)
{
    auto& processor = threeHourSession();
    juce::MemoryBlock data;
    processor.getStateInformation (data);

    TarnLimiterAudioProcessor target;
    target.prepareToPlay (rate, block);
    for (auto _ : state)
    {
        target.setStateInformation (data.getData(), (int) data.getSize());
        state.PauseTiming();
        target.runTimerTasks(); // frees the replaced limiter outside the timing
        state.ResumeTiming();
    }
    if (! target.getLastSessionLoadError().empty())
        state.SkipWithError (target.getLastSessionLoadError().c_str());
    state.counters["MB"] = (double) data.getSize() / 1.0e6;
}
} // namespace

BENCHMARK (engineAlone)->Unit (benchmark::kMicrosecond)->MinTime (2.0);
BENCHMARK (processorBlock)->Unit (benchmark::kMicrosecond)->MinTime (2.0);
BENCHMARK (stateSave3h)->Unit (benchmark::kMillisecond)->MinTime (2.0);
BENCHMARK (stateLoad3h)->Unit (benchmark::kMillisecond)->MinTime (2.0);

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    ::benchmark::Initialize (&argc, argv);
    if (::benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
