// Saving, loading and copying a long limiting session: four history series
// of a 3-hour session at 48 kHz (one value per 20 ms = 540 000 values each).

#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "history/SectorisedHistoryVector.h"
#include "support/TestSignals.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <istream>
#include <streambuf>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr float sampleRate = 48000.0f;
constexpr std::uint64_t valuesPerSeries = 3ull * 60 * 60 * 1000 / 20;   // 540 000
constexpr int seriesCount = 4;

using Session = std::array<std::unique_ptr<tarn::SectorisedHistoryVector>, seriesCount>;

Session makeEmptySession()
{
    Session session;
    for (auto& s : session)
        s = std::make_unique<tarn::SectorisedHistoryVector> (sampleRate);
    return session;
}

/** A recorded session with level-like values, written as the worker would. */
const Session& recordedSession()
{
    static const Session session = []
    {
        auto s = makeEmptySession();
        std::vector<float> values (valuesPerSeries);

        for (int k = 0; k < seriesCount; ++k)
        {
            for (std::uint64_t i = 0; i < valuesPerSeries; ++i)
                values[i] = -12.0f + 6.0f * std::sin (0.001f * static_cast<float> (i) + static_cast<float> (k)) - static_cast<float> (i % 17);

            s[static_cast<std::size_t> (k)]->setRange (0, values.data(), values.size());
        }

        return s;
    }();

    return session;
}

/** Output into a byte vector, like a memory output stream; grows by doubling
    unless reserved up front. */
class VectorOutBuf : public std::streambuf
{
public:
    explicit VectorOutBuf (std::size_t reserveBytes = 0) { bytes.reserve (reserveBytes); }

    std::vector<char> bytes;

protected:
    std::streamsize xsputn (const char* s, std::streamsize n) override
    {
        bytes.insert (bytes.end(), s, s + n);
        return n;
    }

    int_type overflow (int_type c) override
    {
        if (! traits_type::eq_int_type (c, traits_type::eof()))
            bytes.push_back (traits_type::to_char_type (c));
        return traits_type::not_eof (c);
    }
};

/** Input from a byte range without copying it, like a memory input stream. */
class SpanInBuf : public std::streambuf
{
public:
    SpanInBuf (const char* data, std::size_t size)
    {
        auto* p = const_cast<char*> (data);
        setg (p, p, p + size);
    }
};

std::vector<char> serialisedSession()
{
    VectorOutBuf buf;
    std::ostream out (&buf);
    for (const auto& s : recordedSession())
        s->writeTo (out);
    return std::move (buf.bytes);
}

// Arg 0: the output grows as it is written (std::ostringstream).
// Arg 1: the output is sized once from serialisedSize(), as the session writer
// can do with a memory stream's preallocation.
void BM_WriteToFourSeries (benchmark::State& state)
{
    const auto& session = recordedSession();
    const bool preallocate = state.range (0) != 0;
    std::size_t bytes = 0;

    for (auto _ : state)
    {
        if (preallocate)
        {
            std::uint64_t size = 0;
            for (const auto& s : session)
                size += s->serialisedSize();

            VectorOutBuf buf (static_cast<std::size_t> (size));
            std::ostream out (&buf);
            for (const auto& s : session)
                s->writeTo (out);
            bytes = buf.bytes.size();
            benchmark::DoNotOptimize (buf.bytes.data());
        }
        else
        {
            std::ostringstream out (std::ios::binary);
            for (const auto& s : session)
                s->writeTo (out);
            bytes = static_cast<std::size_t> (out.tellp());
            benchmark::DoNotOptimize (bytes);
        }
    }

    state.counters["sessionBytes"] = static_cast<double> (bytes);
}

void BM_ReadFromFourSeries (benchmark::State& state)
{
    const auto bytes = serialisedSession();

    for (auto _ : state)
    {
        SpanInBuf buf (bytes.data(), bytes.size());
        std::istream in (&buf);
        auto session = makeEmptySession();
        for (auto& s : session)
            s->readFrom (in);
        benchmark::DoNotOptimize (session[3]->getMaxIndex());
    }
}

void BM_CopyFromFourSeries (benchmark::State& state)
{
    const auto& source = recordedSession();

    for (auto _ : state)
    {
        auto session = makeEmptySession();
        for (int k = 0; k < seriesCount; ++k)
            session[static_cast<std::size_t> (k)]->copyFrom (*source[static_cast<std::size_t> (k)]);
        benchmark::DoNotOptimize (session[3]->getMaxIndex());
    }
}

// For comparison: storing one series value by value, as the worker does.
void BM_SetPerValueOneSeries (benchmark::State& state)
{
    for (auto _ : state)
    {
        tarn::SectorisedHistoryVector s (sampleRate);
        for (std::uint64_t i = 0; i < valuesPerSeries; ++i)
            s.set (i, -static_cast<float> (i % 50));
        benchmark::DoNotOptimize (s.getMaxIndex());
    }
}

void BM_SessionMemory (benchmark::State& state)
{
    const auto& session = recordedSession();
    std::size_t total = 0;

    for (auto _ : state)
    {
        total = 0;
        for (const auto& s : session)
            total += s->memoryBytes();
        benchmark::DoNotOptimize (total);
    }

    state.counters["sessionMemoryBytes"] = static_cast<double> (total);
    state.counters["bytesPerValue"] = static_cast<double> (total) / static_cast<double> (valuesPerSeries * seriesCount);
}

using tarn::HistorySeries;
using tarn::HistoryTruePeakBrickWallLimiter;

constexpr HistorySeries allSeries[] = { HistorySeries::limitedLevel, HistorySeries::gainReduction,
                                        HistorySeries::threshold, HistorySeries::outputLevel };

// The worker's pass at normal load: 20 ms of stereo playback queued (4 overall
// and 6 per-channel points), in a limiter holding a 3-hour session and
// playing at 1.5 hours, so the stores hit allocated blocks. Only the pass is
// timed; the audio is played with the timer paused.
void BM_WorkerPassNormalLoad (benchmark::State& state)
{
    HistoryTruePeakBrickWallLimiter limiter (480, 2, 50, 0, sampleRate, 9.0f, 4.0f,
                                             HistoryTruePeakBrickWallLimiter::WorkerMode::manual);
    const auto& session = recordedSession();
    for (int k = 0; k < seriesCount; ++k)
        limiter.getSeries (allSeries[k]).copyFrom (*session[static_cast<std::size_t> (k)]);
    limiter.setPostGainDb (1.0f); // the output goes over now and then: over regions too

    const auto signal = tarn::test::denseMaterial (sampleRate, 48000, 1);
    std::vector<std::vector<float>> buffers (2, std::vector<float> (480));
    float* pointers[2] = { buffers[0].data(), buffers[1].data() };
    std::uint64_t position = 90ull * 60 * 48000;
    std::size_t cursor = 0;

    auto play20ms = [&]
    {
        for (int half = 0; half < 2; ++half)
        {
            for (auto& b : buffers)
                for (std::size_t i = 0; i < b.size(); ++i)
                    b[i] = signal[(cursor + i) % signal.size()];
            cursor += 480;
            limiter.setTimelinePosition (position);
            limiter.processBlock (480, pointers);
            position += 480;
        }
    };

    for (int warm = 0; warm < 50; ++warm)
    {
        play20ms();
        limiter.runWorkerPass();
    }

    for (auto _ : state)
    {
        state.PauseTiming();
        play20ms();
        state.ResumeTiming();
        limiter.runWorkerPass();
    }

    state.counters["overRegions"] = static_cast<double> (limiter.copyOverRegions().size());
}

// The processor's copy of the history into a replacement limiter.
void BM_CopyHistoryFromThreeHourSession (benchmark::State& state)
{
    HistoryTruePeakBrickWallLimiter source (512, 2, 50, 0, sampleRate, 9.0f, 4.0f,
                                            HistoryTruePeakBrickWallLimiter::WorkerMode::manual);
    const auto& session = recordedSession();
    for (int k = 0; k < seriesCount; ++k)
        source.getSeries (allSeries[k]).copyFrom (*session[static_cast<std::size_t> (k)]);

    for (auto _ : state)
    {
        HistoryTruePeakBrickWallLimiter replacement (512, 2, 50, 0, 44100.0f, 9.0f, 4.0f,
                                                     HistoryTruePeakBrickWallLimiter::WorkerMode::manual);
        replacement.copyHistoryFrom (source);
        benchmark::DoNotOptimize (replacement.getSeries (HistorySeries::outputLevel).getMaxIndex());
    }
}

} // namespace

BENCHMARK (BM_WorkerPassNormalLoad)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_CopyHistoryFromThreeHourSession)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_WriteToFourSeries)->ArgName ("preallocated")->Arg (0)->Arg (1)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_ReadFromFourSeries)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_CopyFromFourSeries)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_SetPerValueOneSeries)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_SessionMemory);
