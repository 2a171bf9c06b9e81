#include "ProcessorTestHelpers.h"

#include "support/IndependentTruePeakMeter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{
using tarn::HistorySeries;

// Two tones well below the threshold: engaged and bypassed paths must then
// carry the same signal.
tarn::test::Channels quietMusic (double rate, int length)
{
    auto left = tarn::test::sine (997.0, rate, length, 0.2);
    auto right = tarn::test::sine (3001.0, rate, length, 0.15);
    const auto low = tarn::test::sine (110.0, rate, length, 0.1);
    for (size_t i = 0; i < left.size(); ++i)
    {
        left[i] += low[i];
        right[i] += low[i];
    }
    return tarn::test::stereo (left, right);
}

float maxDifference (const tarn::test::Channels& a, const tarn::test::Channels& b, int from, int to)
{
    float worst = 0.0f;
    for (size_t c = 0; c < a.size(); ++c)
        for (int i = from; i < to; ++i)
            worst = std::max (worst, std::abs (a[c][(size_t) i] - b[c][(size_t) i]));
    return worst;
}

float maxStep (const tarn::test::Channels& signal, int from, int to)
{
    float worst = 0.0f;
    for (const auto& channel : signal)
        for (int i = std::max (1, from); i < to; ++i)
            worst = std::max (worst, std::abs (channel[(size_t) i] - channel[(size_t) i - 1]));
    return worst;
}

// Lag (in samples, |lag| <= range) of the largest cross-correlation of b against a.
int correlationPeakLag (const std::vector<float>& a, const std::vector<float>& b, int from, int to, int range)
{
    int bestLag = 0;
    double best = -std::numeric_limits<double>::infinity();
    for (int lag = -range; lag <= range; ++lag)
    {
        double sum = 0.0;
        for (int i = from; i < to; ++i)
            sum += (double) a[(size_t) i] * (double) b[(size_t) (i + lag)];
        if (sum > best)
        {
            best = sum;
            bestLag = lag;
        }
    }
    return bestLag;
}

class LifecycleTest : public ::testing::Test
{
protected:
    void prepare (TarnLimiterAudioProcessor& p, double rate = 48000.0, int block = 512)
    {
        p.setTimelinePositionsSupplied (true);
        p.prepareToPlay (rate, block);
    }
};

TEST_F (LifecycleTest, EngagedAndBypassedOutputsLineUpToTheSample)
{
    const int length = 48000;
    const auto input = quietMusic (48000.0, length);

    TarnLimiterAudioProcessor engaged, bypassed;
    bypassed.setEngagedRequest (false);
    prepare (engaged);
    prepare (bypassed);
    ASSERT_FALSE (bypassed.isLimiterEngaged());
    ASSERT_EQ (engaged.getLatencySamples(), bypassed.getLatencySamples());

    tarn::test::Channels a, b;
    runBlocks (engaged, input, 512, a);
    runBlocks (bypassed, input, 512, b);

    // Both start after the latency with the input; before it, silence.
    const int latency = engaged.getLatencySamples();
    EXPECT_EQ (b[0][(size_t) latency - 1], 0.0f);
    EXPECT_EQ (b[0][(size_t) latency], input[0][0]);

    const int from = latency + 4800, to = length - 100;
    for (size_t c = 0; c < 2; ++c)
        EXPECT_EQ (correlationPeakLag (a[c], b[c], from, to, 8), 0) << "channel " << c;
    // The resamplers' pass band is flat to 0.004 dB (5e-4 relative).
    EXPECT_LT (maxDifference (a, b, from, to), 2e-3f);
}

TEST_F (LifecycleTest, BypassCrossfadeWaitsFor50msOfDelayedSignalThenFadesWithoutAStep)
{
    // 48 kHz, 512-sample blocks: the delay line starts empty and releases
    // 512 k - latency samples after k blocks; the crossfade comes in the
    // first block that starts with more than 2400 of them, and spans
    // min (960, its 512 samples).
    const int length = 48000;
    const auto input = quietMusic (48000.0, length);

    TarnLimiterAudioProcessor reference, switching;
    prepare (reference);
    prepare (switching);
    const int latency = switching.getLatencySamples();

    tarn::test::Channels expected, output;
    runBlocks (reference, input, 512, expected);

    const int requestBlock = 40;
    int flippedAt = -1;
    runBlocks (switching, input, 512, output, nullptr, nullptr, [&] (int block)
    {
        if (block == requestBlock)
            switching.setEngagedRequest (false);
        if (flippedAt < 0 && ! switching.isLimiterEngaged())
            flippedAt = block - 1; // the block before this one did it
    });

    int k = 0;
    while (512 * k - (latency + 1) + 1 <= 2400)
        ++k;
    EXPECT_EQ (flippedAt, requestBlock + k) << "latency " << latency;

    // No step anywhere: the two paths carry the same signal.
    EXPECT_LT (maxDifference (expected, output, latency + 4800, length), 2e-3f);
    EXPECT_LT (maxStep (output, latency + 4800, length), maxStep (expected, latency + 4800, length) + 2e-3f);
}

TEST_F (LifecycleTest, EngageAndBypassBackAndForthNeitherClicksNorAllocates)
{
    const int length = 4 * 48000;
    const auto input = quietMusic (48000.0, length);

    TarnLimiterAudioProcessor reference, switching;
    prepare (reference);
    prepare (switching);
    TestPlayHead head;
    switching.setPlayHead (&head);
    const int latency = switching.getLatencySamples();

    tarn::test::Channels expected, output;
    runBlocks (reference, input, 512, expected);

    tarn::test::AllocationCounts counts;
    runBlocks (switching, input, 512, output, &counts, &head, [&] (int block)
    {
        // Bypass, engage, bypass while a change is under way, and automation.
        if (block == 20) switching.setEngagedRequest (false);
        if (block == 60) switching.setEngagedRequest (true);
        if (block == 62) switching.setEngagedRequest (false);
        if (block == 64) switching.setEngagedRequest (true);
        if (block == 200) switching.setEngagedRequest (false);
        setPlain (switching, "Threshold", block % 2 == 0 ? -0.5f : -0.4f);
        setPlain (switching, "PreGain", 0.0f);
    });

    if (tarn::test::allocationCountingAvailable())
    {
        EXPECT_EQ (counts.allocations, 0u);
        EXPECT_EQ (counts.locks, 0u);
    }
    EXPECT_FALSE (switching.isLimiterEngaged());
    // Engaging resets the limiter (it refills its latency), so compare where
    // both paths carry the signal.
    EXPECT_LT (maxStep (output, latency + 4800, length), maxStep (expected, latency + 4800, length) + 2e-3f);
}

TEST_F (LifecycleTest, HistoryResetFadesInAFreshLimiterAndIgnoresASecondClick)
{
    const int length = 3 * 48000;
    const auto input = quietMusic (48000.0, length);

    TarnLimiterAudioProcessor reference, processor;
    prepare (reference);
    prepare (processor);
    TestPlayHead head;
    head.position = 480000; // 10 s into the song
    processor.setPlayHead (&head);
    const int latency = processor.getLatencySamples();

    tarn::test::Channels expected, output;
    runBlocks (reference, input, 512, expected);

    const auto before = processor.getLimiter();
    std::shared_ptr<tarn::HistoryTruePeakBrickWallLimiter> fresh;
    int swappedAt = -1;
    tarn::test::AllocationCounts counts;
    runBlocks (processor, input, 512, output, &counts, &head, [&] (int block)
    {
        if (block == 100)
        {
            processor.resetHistory();
            fresh = processor.getPendingLimiter();
            processor.resetHistory(); // the second click within the transition is ignored
            EXPECT_EQ (processor.getPendingLimiter(), fresh);
        }
        if (fresh != nullptr && swappedAt < 0 && processor.getLimiter() == fresh)
            swappedAt = block - 1;
    });

    ASSERT_NE (fresh, nullptr);
    EXPECT_EQ (processor.getLimiter(), fresh);
    EXPECT_FALSE (processor.isResetPending());
    // Warm-up: the crossfade comes in the first block after more than 50 ms
    // (2400 samples) of the fresh limiter's output.
    int k = 0;
    while (std::max (0, 512 * k - latency) <= 2400)
        ++k;
    EXPECT_EQ (swappedAt, 100 + k);
    if (tarn::test::allocationCountingAvailable())
    {
        EXPECT_EQ (counts.allocations, 0u);
        EXPECT_EQ (counts.locks, 0u);
    }

    // No step: both limiters pass the quiet signal alike.
    EXPECT_LT (maxDifference (expected, output, latency + 4800, length), 2e-3f);

    // The fresh limiter recorded from the reset's position on, not from 0.
    waitForHistory (*fresh);
    const auto& series = fresh->getSeries (HistorySeries::limitedLevel);
    EXPECT_EQ (series.get (0), tarn::HistoryVector::emptyMarker);
    EXPECT_EQ (series.get (5), tarn::HistoryVector::emptyMarker);
    const auto resetSlot = (480000 + 100 * 512) / 960;
    EXPECT_NE (series.get ((std::uint64_t) resetSlot + 20), tarn::HistoryVector::emptyMarker);
    EXPECT_EQ (series.get ((std::uint64_t) resetSlot - 20), tarn::HistoryVector::emptyMarker);

    // The replaced limiter is freed on the message thread, not in the callback.
    processor.runTimerTasks();
    EXPECT_NE (before, fresh);
}

TEST_F (LifecycleTest, HistorySurvivesASampleRateChange)
{
    TarnLimiterAudioProcessor processor;
    prepare (processor, 44100.0, 441);
    TestPlayHead head;
    processor.setPlayHead (&head);

    tarn::test::Channels output;
    runBlocks (processor, tarn::test::stereo (tarn::test::toneCluster (44100.0, 44100, 3, 2.0),
                                              tarn::test::toneCluster (44100.0, 44100, 5, 2.0)),
               441, output, nullptr, &head);
    const auto old = processor.getLimiter();
    waitForHistory (*old);
    const auto& oldSeries = old->getSeries (HistorySeries::gainReduction);
    const auto slots = oldSeries.getMaxIndex();
    ASSERT_GT (slots, 40u);

    processor.prepareToPlay (96000.0, 1024);
    const auto rebuilt = processor.getLimiter();
    ASSERT_NE (rebuilt, old);
    EXPECT_EQ (rebuilt->getHostSampleRate(), 96000.0f);
    for (std::uint64_t i = 0; i <= slots; ++i)
        ASSERT_EQ (rebuilt->getSeries (HistorySeries::gainReduction).get (i), oldSeries.get (i)) << i;

    // Same rate, size and channels: the limiter is kept.
    processor.prepareToPlay (96000.0, 1024);
    EXPECT_EQ (processor.getLimiter(), rebuilt);
}

struct TransportCase
{
    const char* name;
    bool hasPlayHead;
    bool reportsPosition;
    bool playing;
    bool expectRecording;
    bool expectCanCache;
};

class TransportTest : public ::testing::TestWithParam<TransportCase>
{
};

TEST_P (TransportTest, RecordsOnlyWhilePlaying)
{
    const auto& row = GetParam();
    TarnLimiterAudioProcessor processor;
    processor.setTimelinePositionsSupplied (true);
    processor.prepareToPlay (48000.0, 512);
    TestPlayHead head;
    head.playing = row.playing;
    head.reportsPosition = row.reportsPosition;
    if (row.hasPlayHead)
        processor.setPlayHead (&head);

    tarn::test::Channels output;
    runBlocks (processor, quietMusic (48000.0, 4096), 512, output, nullptr, &head);
    EXPECT_EQ (processor.getLimiter()->isRecording(), row.expectRecording);
    EXPECT_EQ (processor.getCanCacheSession(), row.expectCanCache);
}

INSTANTIATE_TEST_SUITE_P (Hosts, TransportTest, ::testing::Values (
    TransportCase { "NoPlayHeadCountsAsPlaying", false, false, false, true, false },
    TransportCase { "Playing", true, true, true, true, true },
    TransportCase { "Stopped", true, true, false, false, true },
    TransportCase { "StoppedWithoutAnyPosition", true, false, false, false, true }),
    [] (const auto& info) { return std::string (info.param.name); });

TEST_F (LifecycleTest, LocatingWhileStoppedResetsTheLimiterAtTheNextPlayingBlock)
{
    TarnLimiterAudioProcessor processor;
    prepare (processor);
    TestPlayHead head;
    processor.setPlayHead (&head);

    tarn::test::Channels output;
    const auto input = quietMusic (48000.0, 48000);
    runBlocks (processor, input, 512, output, nullptr, &head);
    EXPECT_EQ (processor.getLimiter()->getWarmup(), processor.getLatencySamples());

    // Offline export: a stopped pre-roll at 0, then playing from 0.
    head.playing = false;
    head.position = 0;
    runBlocks (processor, tarn::test::stereo (std::vector<float> (512), std::vector<float> (512)), 512, output, nullptr, &head);
    head.playing = true;
    runBlocks (processor, tarn::test::stereo (std::vector<float> (512), std::vector<float> (512)), 512, output, nullptr, &head);
    EXPECT_EQ (processor.getLimiter()->getWarmup(), 512);
    EXPECT_EQ (processor.getLimiter()->getCurrentPosition(), 512u);
}

TEST_F (LifecycleTest, AnErrorInTheCallbackSilencesTheBlockAndIsReportedOnce)
{
    TarnLimiterAudioProcessor processor;
    prepare (processor);
    TestPlayHead head;
    // Far beyond what the history can address: the worker fails, and the
    // limiter raises that failure on every later block.
    head.position = std::numeric_limits<juce::int64>::max() / 4;
    processor.setPlayHead (&head);

    const auto input = quietMusic (48000.0, 48000);
    tarn::test::Channels output;
    for (int i = 0; i < 20 && ! processor.getLimiter()->hasWorkerFailed(); ++i)
    {
        runBlocks (processor, input, 512, output, nullptr, &head);
        std::this_thread::sleep_for (std::chrono::milliseconds (30));
    }
    ASSERT_TRUE (processor.getLimiter()->hasWorkerFailed());

    const auto eventsBefore = processor.getAnalyticsQueue().droppedCount();
    runBlocks (processor, input, 512, output, nullptr, &head);
    EXPECT_TRUE (processor.hasErrorOccurred());
    EXPECT_EQ (processor.getErrorMessage(), "maximum memory capacity reached");
    EXPECT_EQ (tarn::test::samplePeak (output), 0.0f); // silence, not half-processed audio

    int exceptionEvents = 0;
    processor.getAnalyticsQueue().drain ([&] (const tarn::AnalyticsEventQueue::Record& r)
    {
        if (r.nameView() == "Exception Thrown")
        {
            ++exceptionEvents;
            EXPECT_EQ (r.labelView(), "maximum memory capacity reached");
        }
    });
    EXPECT_EQ (exceptionEvents, 1); // one event for 90+ failed blocks
    EXPECT_EQ (processor.getAnalyticsQueue().droppedCount(), eventsBefore);
}

TEST_F (LifecycleTest, ConstructionAndDestructionWithoutEverPreparingAreCheap)
{
    // Hosts create and drop throwaway instances at insert time.
    for (int i = 0; i < 5; ++i)
    {
        TarnLimiterAudioProcessor processor;
        EXPECT_EQ (processor.getLimiter(), nullptr);
        juce::MemoryBlock state;
        processor.getStateInformation (state);
        EXPECT_EQ (state.getSize(), 0u);
        processor.setStateInformation (nullptr, 0);
        processor.resetHistory();
        EXPECT_EQ (processor.getLimiter(), nullptr);
    }
}

TEST_F (LifecycleTest, DitherIsRebuiltWithTypeOneAndLeavesTheAudioAlone)
{
    TarnLimiterAudioProcessor processor, other;
    processor.setDitherNoiseShape (2);
    prepare (processor);
    prepare (other);
    ASSERT_NE (processor.getDither(), nullptr);
    EXPECT_EQ (processor.getDither()->getNoiseShape(), 1);
    EXPECT_EQ (processor.getDitherNoiseShape(), 2);

    processor.setIsDitherActive (true);
    processor.setDitherNoiseShape (0);
    tarn::test::Channels a, b;
    const auto input = quietMusic (48000.0, 24000);
    runBlocks (processor, input, 512, a);
    runBlocks (other, input, 512, b);
    EXPECT_EQ (maxDifference (a, b, 0, 24000), 0.0f);
}

} // namespace

namespace
{
TEST (ProcessorAutomation, HostAutomationOnTheAudioThreadAllocatesNothing)
{
    // A wrapper delivers automation on its audio thread: setValue, then the
    // listeners, which reach parameterChanged (mirror and analytics hand-off).
    TarnLimiterAudioProcessor processor;
    processor.prepareToPlay (48000.0, 512);
    tarn::test::AllocationCounts counts;
    std::thread audio ([&]
    {
        for (int i = 0; i < 200; ++i)
            for (const char* id : { "Threshold", "PreGain", "PostGain", "ReleaseTime", "MaxTarget", "ReleaseCurve" })
            {
                auto& p = parameter (processor, id);
                const float value = (float) (i % 10) / 10.0f;
                tarn::test::ScopedAllocationCount count;
                p.setValue (value);
                p.sendValueChangedMessageToListeners (value);
                counts.allocations += count.counts().allocations;
            }
    });
    audio.join();
    if (tarn::test::allocationCountingAvailable())
    {
        EXPECT_EQ (counts.allocations, 0u);
    }
    EXPECT_NEAR (processor.getMirror().threshold, parameter (processor, "Threshold").convertFrom0to1 (0.9f), 1e-4f);
    // The events wait in the hand-off (what did not fit is counted) for the
    // message thread: one per change; "ReleaseCurve" moves only every other
    // step (its plain values are whole curve indices).
    std::size_t queued = processor.getAnalyticsQueue().drain ([] (const auto&) {});
    EXPECT_EQ (queued + processor.getAnalyticsQueue().droppedCount(), 1100u);
}
} // namespace

namespace
{
TEST (HostBypass, TheHostsBypassCrossfadesToTheDelayedSignalLikeThePluginsOwn)
{
    // Wrappers call processBlockBypassed while the host bypasses the plug-in;
    // the output must stay aligned (delayed by the latency) and click-free.
    const int length = 2 * 48000;
    const auto input = quietMusic (48000.0, length);
    TarnLimiterAudioProcessor reference, processor;
    reference.prepareToPlay (48000.0, 512);
    processor.prepareToPlay (48000.0, 512);
    const int latency = processor.getLatencySamples();

    tarn::test::Channels expected, output;
    runBlocks (reference, input, 512, expected);

    output.assign (2, std::vector<float> ((size_t) length));
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    for (int start = 0, block = 0; start + 512 <= length; start += 512, ++block)
    {
        for (int c = 0; c < 2; ++c)
            buffer.copyFrom (c, 0, input[(size_t) c].data() + start, 512);
        if (block >= 40 && block < 120)
            processor.processBlockBypassed (buffer, midi);
        else
            processor.processBlock (buffer, midi);
        if (block == 100)
        {
            EXPECT_FALSE (processor.isLimiterEngaged());
        }
        for (int c = 0; c < 2; ++c)
            std::copy (buffer.getReadPointer (c), buffer.getReadPointer (c) + 512, output[(size_t) c].begin() + start);
    }
    EXPECT_TRUE (processor.getEngagedRequest()); // the user's own choice is untouched
    // Around the bypass (and the limiter's reset when it comes back) the
    // output follows the engaged reference, delayed alike, without a step.
    EXPECT_LT (maxDifference (expected, output, latency + 4800, 120 * 512), 2e-3f);
    EXPECT_LT (maxStep (output, latency + 4800, length), maxStep (expected, latency + 4800, length) + 2e-3f);
}

TEST (FirstBlock, AThresholdSetAfterPrepareAppliesFromTheFirstSample)
{
    // A host that sets the threshold only after prepareToPlay, with long
    // blocks: no ramp from the old threshold across the first block.
    TarnLimiterAudioProcessor processor;
    processor.prepareToPlay (48000.0, 4096);
    setPlain (processor, "Threshold", -6.0f);
    const auto loud = tarn::test::toneCluster (48000.0, 8 * 4096, 7, 2.0);
    tarn::test::Channels output;
    runBlocks (processor, tarn::test::stereo (loud, loud), 4096, output);
    EXPECT_LE (tarn::test::referenceTruePeak (output, 48000.0), std::pow (10.0, -6.0 / 20.0) * 1.0024);
}
} // namespace
