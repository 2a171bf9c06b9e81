#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "support/TestSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

using namespace tarn;

namespace
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    using Mode = HistoryTruePeakBrickWallLimiter::WorkerMode;

    // Drives a limiter the way the processor does: every block it reports the
    // host position, switches recording with the transport, processes, and
    // (with a manual worker) lets the worker drain the rings.
    struct Host
    {
        Host (float rate, int channels, test::Channels sourceToPlay, int maxBlock = 512, Mode mode = Mode::manual)
            : limiter (maxBlock, channels, 50, 0, rate, 9.0f, 4.0f, mode),
              source (std::move (sourceToPlay)),
              buffers ((size_t) channels, std::vector<float> ((size_t) maxBlock)),
              pointers ((size_t) channels)
        {
            for (size_t c = 0; c < buffers.size(); ++c)
                pointers[c] = buffers[c].data();
        }

        void block (int n)
        {
            for (size_t c = 0; c < buffers.size(); ++c)
                for (int i = 0; i < n; ++i)
                    buffers[c][(size_t) i] = source[c][(cursor + (size_t) i) % source[c].size()];
            cursor += (size_t) n;

            limiter.setTimelinePosition (position);
            if (playing && ! limiter.isRecording())
                limiter.startRecording();
            if (! playing && limiter.isRecording())
                limiter.stopRecording();
            if (thresholdEveryBlock)
                limiter.setThresholdDb (thresholdDb);

            limiter.processBlock (n, pointers.data());

            if (playing)
                position += (uint64_t) n;
            if (drain)
                limiter.runWorkerPass();
        }

        void play (size_t samples, int blockSize = 512)
        {
            for (size_t done = 0; done < samples; done += (size_t) blockSize)
                block ((int) std::min<size_t> ((size_t) blockSize, samples - done));
        }

        // Relocates the host (and the audio it plays) to position.
        void jumpTo (uint64_t newPosition)
        {
            position = newPosition;
            cursor = (size_t) newPosition;
        }

        const SectorisedHistoryVector& series (HistorySeries kind) const { return limiter.getSeries (kind); }
        std::vector<float> values (HistorySeries kind) const
        {
            std::vector<float> v;
            for (uint64_t i = 0; i <= series (kind).getMaxIndex(); ++i)
                v.push_back (series (kind).get (i));
            return v;
        }

        HistoryTruePeakBrickWallLimiter limiter;
        test::Channels source;
        std::vector<std::vector<float>> buffers;
        std::vector<float*> pointers;
        size_t cursor = 0;
        uint64_t position = 0;
        bool playing = true;
        bool drain = true;
        bool thresholdEveryBlock = false;
        float thresholdDb = 0.0f;
    };

    test::Channels material (float rate, double seconds, int channels = 1)
    {
        test::Channels c;
        for (int k = 0; k < channels; ++k)
            c.push_back (test::denseMaterial (rate, (int) (rate * seconds), (uint32_t) (11 + k)));
        return c;
    }

    // Indices first..last of the series all hold a recorded value.
    ::testing::AssertionResult recordedThrough (const SectorisedHistoryVector& s, uint64_t first, uint64_t last)
    {
        for (uint64_t i = first; i <= last; ++i)
            if (s.get (i) == inf)
                return ::testing::AssertionFailure() << "nothing recorded at index " << i;
        return ::testing::AssertionSuccess();
    }
}

// The collector block is one slot of the series' grid (d * spu), so every
// point lands on it and the worker never raises the alignment error: also at
// 11.025 kHz and at pull-down rates that are no multiple of 50 Hz.
TEST (HistoryRecording, StaysOnTheGridAtEveryRate)
{
    for (float rate : { 8000.0f, 11025.0f, 16000.0f, 22050.0f, 32000.0f, 44056.0f, 44100.0f, 47952.0f, 48000.0f,
                        64000.0f, 88200.0f, 96000.0f, 176400.0f, 192000.0f, 352800.0f, 384000.0f })
    {
        Host host (rate, 1, material (rate, 1.0));
        const uint64_t spu = host.limiter.getSamplesPerSlot();
        ASSERT_EQ (spu, host.series (HistorySeries::limitedLevel).getSamplesPerUpdate());
        ASSERT_EQ ((uint64_t) host.limiter.getCollectorBlockSize(), (uint64_t) host.limiter.getFactor() * spu) << rate;

        const auto latency = (uint64_t) host.limiter.latencySamples();
        const auto oneSecond = (uint64_t) rate;
        host.play (oneSecond);
        ASSERT_FALSE (host.limiter.hasWorkerFailed()) << rate;

        // From position 0 the slots fill from index 0 on, less the latency.
        for (auto kind : { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::threshold, HistorySeries::outputLevel })
        {
            const uint64_t last = host.series (kind).getMaxIndex();
            EXPECT_GE (last + 2, (oneSecond - latency) / spu - 1) << rate;
            EXPECT_LT (last, oneSecond / spu) << rate;
            EXPECT_TRUE (recordedThrough (host.series (kind), 0, last)) << rate;
        }

        // A relocation off the grid: recording resumes at the next slot boundary.
        const uint64_t target = 777777;
        host.jumpTo (target);
        host.play (oneSecond / 2);
        ASSERT_FALSE (host.limiter.hasWorkerFailed()) << rate;

        const auto& limited = host.series (HistorySeries::limitedLevel);
        const uint64_t first = (target + spu - 1) / spu; // the slot that starts at the next boundary
        EXPECT_EQ (limited.get (first - 1), inf) << rate;
        EXPECT_GE (limited.getMaxIndex() + 2, first + (oneSecond / 2 - latency) / spu - 1) << rate;
        EXPECT_TRUE (recordedThrough (limited, first, limited.getMaxIndex())) << rate;

        // No exception escapes the next block either.
        EXPECT_NO_THROW (host.block (64)) << rate;
    }
}

// In steady playback the host position equals the limiter's at every block, so
// reporting it must not throw partial slots away, however short the blocks.
TEST (HistoryRecording, ShortHostBlocksRecordEverySlot)
{
    struct Case { float rate; int blockSize; };

    for (const auto& c : { Case { 48000.0f, 64 }, Case { 48000.0f, 100 }, Case { 44100.0f, 441 },
                           Case { 47952.0f, 64 }, Case { 11025.0f, 64 }, Case { 96000.0f, 32 } })
    {
        Host host (c.rate, 2, material (c.rate, 2.0, 2), 512);
        const auto total = (uint64_t) (c.rate * 2.0f);
        host.play (total, c.blockSize);

        const uint64_t spu = host.limiter.getSamplesPerSlot();
        const auto latency = (uint64_t) host.limiter.latencySamples();
        const auto& limited = host.series (HistorySeries::limitedLevel);

        EXPECT_EQ (host.limiter.getCurrentPosition(), total);
        EXPECT_EQ (host.limiter.getMaxPosition(), total);
        EXPECT_GE (limited.getMaxIndex() + 2, (total - latency) / spu - 1) << c.rate << " / " << c.blockSize;
        EXPECT_TRUE (recordedThrough (limited, 0, limited.getMaxIndex())) << c.rate << " / " << c.blockSize;
    }
}

TEST (HistoryRecording, ARelocationStartsAtTheNextSlotBoundary)
{
    // 48 kHz: d = 4, blocks of 3840 oversampled samples = 960 host samples.
    // From position 1000 the collectors skip to oversampled 7680 (host 1920),
    // so the first point is stamped 2880 and fills index 2.
    Host host (48000.0f, 1, material (48000.0f, 1.0), 512);
    EXPECT_EQ (host.limiter.getCollectorBlockSize(), 3840);

    host.jumpTo (1000);
    host.play (20000);

    const auto& limited = host.series (HistorySeries::limitedLevel);
    EXPECT_EQ (limited.get (0), inf);
    EXPECT_EQ (limited.get (1), inf);
    EXPECT_TRUE (recordedThrough (limited, 2, limited.getMaxIndex()));
    EXPECT_EQ (host.limiter.getCurrentPosition(), 21000u);

    // Reporting the position the limiter already has does not realign (a
    // realignment would drop the partly filled slot and leave a hole).
    const uint64_t before = limited.getMaxIndex();
    host.play (48000);
    EXPECT_TRUE (recordedThrough (limited, 2, limited.getMaxIndex()));
    EXPECT_GE (limited.getMaxIndex(), before + 49);
}

TEST (HistoryRecording, MeasuresLevelsGainAndOutput)
{
    const float rate = 48000.0f;
    test::Channels source { test::sine (997.0, rate, 48000, 1.0), test::sine (997.0, rate, 48000, 0.25) };
    Host host (rate, 2, source);

    // Nothing measured yet.
    for (auto kind : { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::threshold, HistorySeries::outputLevel })
    {
        EXPECT_EQ (host.limiter.windowPeak (kind), -inf);
        EXPECT_EQ (host.limiter.channelWindowPeak (kind, 0), -inf);
    }
    EXPECT_TRUE (host.limiter.copyOverRegions().empty());
    EXPECT_EQ (host.limiter.getMeterWindowCapacity(), 3u);

    // Silence: minus infinity for the levels, no gain reduction.
    host.source = { std::vector<float> (4800, 0.0f), std::vector<float> (4800, 0.0f) };
    host.play (24000);
    for (uint64_t i = 0; i <= host.series (HistorySeries::limitedLevel).getMaxIndex(); ++i)
    {
        ASSERT_EQ (host.series (HistorySeries::limitedLevel).get (i), -inf) << i;
        ASSERT_EQ (host.series (HistorySeries::outputLevel).get (i), -inf) << i;
        ASSERT_EQ (host.series (HistorySeries::gainReduction).get (i), 0.0f) << i;
        ASSERT_EQ (host.series (HistorySeries::threshold).get (i), 0.0f) << i;
    }
    EXPECT_EQ (host.limiter.windowPeak (HistorySeries::gainReduction), 0.0f);

    // A full-scale sine with +6 dB pre gain into a -6 dB threshold, -3 dB post
    // gain; the right channel 12 dB quieter. The gain is linked.
    host.source = source;
    host.limiter.setPreGainDb (6.0f);
    host.limiter.setPostGainDb (-3.0f);
    host.limiter.setThresholdDb (-6.0f);
    host.play (48000);

    const auto first = host.series (HistorySeries::limitedLevel).getMaxIndex() - 10;
    for (uint64_t i = first; i <= first + 10; ++i)
    {
        const float limited = host.series (HistorySeries::limitedLevel).get (i);
        EXPECT_NEAR (limited, -6.05f, 0.1f) << i;
        EXPECT_NEAR (host.series (HistorySeries::outputLevel).get (i), limited - 3.0f, 0.01f) << i;
        EXPECT_NEAR (host.series (HistorySeries::gainReduction).get (i), 12.05f, 0.2f) << i;
        EXPECT_EQ (host.series (HistorySeries::threshold).get (i), -6.0f) << i;
    }

    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::limitedLevel), -6.05f, 0.1f);
    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::outputLevel), -9.05f, 0.1f);
    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::gainReduction), 12.05f, 0.2f);
    EXPECT_EQ (host.limiter.windowPeak (HistorySeries::threshold), -inf);
    EXPECT_NEAR (host.limiter.channelWindowPeak (HistorySeries::limitedLevel, 0)
                     - host.limiter.channelWindowPeak (HistorySeries::limitedLevel, 1), 12.04f, 0.05f);
    EXPECT_NEAR (host.limiter.channelWindowPeak (HistorySeries::outputLevel, 1), -21.09f, 0.1f);
    EXPECT_NEAR (host.limiter.channelWindowPeak (HistorySeries::gainReduction, 1), 12.05f, 0.2f);
    EXPECT_EQ (host.limiter.channelWindowPeak (HistorySeries::limitedLevel, 2), -inf);
}

TEST (HistoryRecording, MeterWindowLengthFollowsTheConstructorArgument)
{
    struct Case { uint16_t ms; size_t capacity; };
    for (const auto& c : { Case { 50, 3 }, Case { 20, 1 }, Case { 21, 2 }, Case { 0, 0 }, Case { 1000, 50 } })
    {
        HistoryTruePeakBrickWallLimiter limiter (256, 1, c.ms, 0, 48000.0f, 9.0f, 4.0f, Mode::manual);
        EXPECT_EQ (limiter.getMeterWindowCapacity(), c.capacity) << c.ms;
    }
}

// The slot in which the threshold changed records the higher of the old and
// the new value; the next slots record the new one.
TEST (HistoryRecording, AThresholdChangeRecordsTheHigherValueForItsSlot)
{
    struct Case { float from, to; };

    for (const auto& c : { Case { -10.0f, -3.0f }, Case { -3.0f, -10.0f }, Case { -6.0f, -6.5f } })
    {
        Host host (48000.0f, 1, { test::sine (440.0, 48000.0, 48000, 0.01) });
        host.limiter.setThresholdImmediately (c.from);
        host.thresholdEveryBlock = true; // as the processor hands it over
        host.thresholdDb = c.from;
        host.play (24000);

        const auto& threshold = host.series (HistorySeries::threshold);
        const uint64_t before = threshold.getMaxIndex();

        host.thresholdDb = c.to;
        host.play (24000);

        for (uint64_t i = 0; i <= before; ++i)
            ASSERT_EQ (threshold.get (i), c.from) << i;
        EXPECT_EQ (threshold.get (before + 1), std::max (c.from, c.to)) << c.from << " -> " << c.to;
        ASSERT_GT (threshold.getMaxIndex(), before + 10);
        for (uint64_t i = before + 2; i <= threshold.getMaxIndex(); ++i)
            ASSERT_EQ (threshold.get (i), c.to) << c.from << " -> " << c.to << " at " << i;
    }
}

// Playing a passage again with a lower threshold: its slots hold the second
// pass, every other slot the first.
TEST (HistoryRecording, ReplayingAPassageRemetersOnlyThatPassage)
{
    const float rate = 48000.0f;
    Host host (rate, 2, material (rate, 6.0, 2));
    host.thresholdEveryBlock = true;
    host.thresholdDb = -3.0f;
    host.limiter.setThresholdImmediately (-3.0);
    host.play (6 * 48000);

    const HistorySeries kinds[] = { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::threshold, HistorySeries::outputLevel };
    std::vector<std::vector<float>> firstPass;
    for (auto kind : kinds)
        firstPass.push_back (host.values (kind));
    const uint64_t end = host.series (HistorySeries::limitedLevel).getMaxIndex();
    ASSERT_GE (end, 290u);

    // Seconds 1 to 3 again (slots 50 to 149), 9 dB lower.
    host.jumpTo (48000);
    host.thresholdDb = -12.0f;
    host.play (2 * 48000);

    const auto& threshold = host.series (HistorySeries::threshold);
    uint64_t last = 50;
    while (threshold.get (last + 1) == -12.0f)
        ++last;
    EXPECT_GE (last, 147u);
    EXPECT_LE (last, 149u);

    EXPECT_EQ (threshold.get (50), -3.0f); // the slot in which it fell
    for (uint64_t i = 51; i <= last; ++i)
    {
        EXPECT_EQ (threshold.get (i), -12.0f) << i;
        EXPECT_LE (host.series (HistorySeries::limitedLevel).get (i), -11.99f) << i;
        EXPECT_NE (host.series (HistorySeries::gainReduction).get (i), firstPass[1][(size_t) i]) << i;
    }

    for (size_t k = 0; k < 4; ++k)
    {
        const auto now = host.values (kinds[k]);
        ASSERT_EQ (now.size(), firstPass[k].size()) << k;
        for (uint64_t i = 0; i <= end; ++i)
            if (i < 50 || i > last)
            {
                ASSERT_EQ (now[(size_t) i], firstPass[k][(size_t) i]) << "series " << k << " index " << i;
            }
    }
}

TEST (HistoryRecording, AStoppedHostFeedsTheMetersButNotTheSeries)
{
    const float rate = 48000.0f;
    Host host (rate, 1, { test::sine (997.0, rate, 48000, 0.1) });
    host.play (48000);

    const HistorySeries levels[] = { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::outputLevel };
    std::vector<std::vector<float>> recorded;
    for (auto kind : levels)
        recorded.push_back (host.values (kind));
    const uint64_t lastSlot = host.series (HistorySeries::threshold).getMaxIndex();
    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::limitedLevel), -20.0f, 0.1f);

    // Stopped: the audio keeps flowing at -6 dB, the position stands still.
    host.playing = false;
    host.source = { test::sine (997.0, rate, 48000, 0.5) };
    host.limiter.setThresholdDb (-1.0f);
    host.play (24000);

    EXPECT_FALSE (host.limiter.isRecording());
    EXPECT_EQ (host.limiter.getCurrentPosition(), 48000u);
    EXPECT_EQ (host.limiter.getWarmup(), host.limiter.latencySamples());
    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::limitedLevel), -6.0f, 0.1f);
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ (host.values (levels[k]), recorded[k]) << k;
    // Threshold changes while stopped overwrite the slot the host stopped at.
    EXPECT_EQ (host.series (HistorySeries::threshold).getMaxIndex(), lastSlot);
    EXPECT_EQ (host.series (HistorySeries::threshold).get (lastSlot), -1.0f);

    // Points queued while stopped and not yet drained when recording starts
    // again are dropped: they neither reach the series nor the meters.
    host.drain = false;
    host.source = { test::sine (997.0, rate, 48000, 1.0) };
    host.limiter.setThresholdDb (-2.0f);
    host.play (9600);
    host.limiter.startRecording();
    EXPECT_EQ (host.limiter.getWarmup(), 0);
    host.limiter.runWorkerPass();
    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::limitedLevel), -6.0f, 0.1f);
    EXPECT_EQ (host.series (HistorySeries::threshold).get (lastSlot), -1.0f);

    // Playing again records from where the host resumes.
    host.playing = true;
    host.drain = true;
    host.play (24000);
    EXPECT_NEAR (host.limiter.windowPeak (HistorySeries::limitedLevel), -2.05f, 0.1f);
    EXPECT_GT (host.series (HistorySeries::limitedLevel).getMaxIndex(), recorded[0].size() + 10);
    EXPECT_EQ (host.limiter.getCurrentPosition(), 48000u + 24000u);
}

TEST (HistoryRecording, OverRegionsFollowTheRecordedOutput)
{
    const float rate = 48000.0f;
    Host host (rate, 1, { test::sine (997.0, rate, 48000, 1.0) });
    host.limiter.setPostGainDb (3.0f); // output about 3 dB over
    host.play (48000);

    auto consistent = [&]
    {
        const auto regions = host.limiter.copyOverRegions();
        const auto& output = host.series (HistorySeries::outputLevel);
        for (uint64_t i = 0; i <= output.getMaxIndex(); ++i)
        {
            const uint64_t p = (i + 1) * 960; // the position a slot's point is stamped with
            bool inside = false;
            for (const auto& r : regions)
                inside = inside || (r.start <= p && p <= r.end);
            if (output.get (i) != inf && inside != (output.get (i) > 0.0f))
                return ::testing::AssertionFailure() << "slot " << i << " value " << output.get (i);
        }
        return ::testing::AssertionSuccess();
    };

    EXPECT_EQ (host.limiter.copyOverRegions().size(), 1u);
    EXPECT_TRUE (consistent());

    // Replay 0.4 s to 0.6 s quieter: the region splits around it.
    host.jumpTo (19200);
    host.limiter.setPostGainDb (-3.0f);
    host.play (9600);
    const auto regions = host.limiter.copyOverRegions();
    ASSERT_EQ (regions.size(), 2u);
    // Cut just before the first quiet slot (the post gain ramps down across
    // the first block, so the first replayed slot may still be over).
    EXPECT_EQ (regions[0].end % 960, 959u);
    EXPECT_GE (regions[0].end, 20159u);
    EXPECT_LE (regions[0].end, 21119u);
    EXPECT_TRUE (consistent());
}

TEST (HistoryRecording, PositionsAndHistoryCopies)
{
    HistoryTruePeakBrickWallLimiter restored (512, 1, 50, 5000000, 48000.0f, 9.0f, 4.0f, Mode::manual);
    EXPECT_EQ (restored.getMaxPosition(), 5000000u);
    EXPECT_EQ (restored.getCurrentPosition(), 0u);
    EXPECT_TRUE (restored.isRecording());
    restored.setTimelinePosition (1000);
    EXPECT_EQ (restored.getCurrentPosition(), 1000u);
    EXPECT_EQ (restored.getMaxPosition(), 5000000u);
    restored.setTimelinePosition (6000000);
    EXPECT_EQ (restored.getMaxPosition(), 6000000u);

    // A replacement limiter (new rate, same channels) takes the history over.
    Host host (48000.0f, 1, material (48000.0f, 1.0));
    host.play (48000);
    HistoryTruePeakBrickWallLimiter replacement (256, 1, 50, 0, 44100.0f, 9.0f, 4.0f, Mode::manual);
    replacement.copyHistoryFrom (host.limiter);
    for (auto kind : { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::threshold, HistorySeries::outputLevel })
    {
        ASSERT_EQ (replacement.getSeries (kind).getMaxIndex(), host.series (kind).getMaxIndex());
        for (uint64_t i = 0; i <= host.series (kind).getMaxIndex(); ++i)
            ASSERT_EQ (replacement.getSeries (kind).get (i), host.series (kind).get (i));
    }
}
