#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "support/TestSignals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace tarn;
using namespace std::chrono_literals;

namespace
{
    // Plays audio into a limiter with its own worker thread, reporting the
    // host position every block.
    struct Player
    {
        Player (HistoryTruePeakBrickWallLimiter& l, float rate, int channels)
            : limiter (l), signal (test::denseMaterial (rate, (int) rate, 3)),
              buffers ((size_t) channels, std::vector<float> (512)), pointers ((size_t) channels)
        {
            for (size_t c = 0; c < buffers.size(); ++c)
                pointers[c] = buffers[c].data();
        }

        int block()
        {
            for (auto& b : buffers)
                for (size_t i = 0; i < b.size(); ++i)
                    b[i] = signal[(cursor + i) % signal.size()];
            cursor += 512;
            limiter.setTimelinePosition (position);
            const int produced = limiter.processBlock (512, pointers.data());
            position += 512;
            return produced;
        }

        HistoryTruePeakBrickWallLimiter& limiter;
        std::vector<float> signal;
        std::vector<std::vector<float>> buffers;
        std::vector<float*> pointers;
        size_t cursor = 0;
        uint64_t position = 0;
    };

    template <typename Condition>
    bool waitFor (Condition condition, std::chrono::milliseconds timeout = 3000ms)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (! condition())
        {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for (2ms);
        }
        return true;
    }

    std::string errorOf (Player& player)
    {
        try
        {
            player.block();
        }
        catch (const std::exception& e)
        {
            return e.what();
        }
        return {};
    }

    // Beyond the series' capacity: (1024 + 1) * 256 * 15000 slots of 960 samples.
    constexpr uint64_t beyondCapacity = 1025ull * 256 * 15000 * 960 + 96000;
}

TEST (HistoryWorker, StoresThePointsOnItsOwn)
{
    HistoryTruePeakBrickWallLimiter limiter (512, 2, 50, 0, 48000.0f);
    Player player (limiter, 48000.0f, 2);
    for (int b = 0; b < 94; ++b) // one second
        player.block();

    const auto& limited = limiter.getSeries (HistorySeries::limitedLevel);
    EXPECT_TRUE (waitFor ([&] { return limited.getMaxIndex() >= 48; }));
    for (uint64_t i = 0; i <= limited.getMaxIndex(); ++i)
        EXPECT_TRUE (std::isfinite (limited.get (i))) << i;
    EXPECT_TRUE (waitFor ([&] { return std::isfinite (limiter.windowPeak (HistorySeries::outputLevel)); }));
}

TEST (HistoryWorker, DestructionWaitsForTheWorkerToEnd)
{
    for (int trial = 0; trial < 5; ++trial)
    {
        std::atomic<bool> ended { false };
        auto limiter = std::make_unique<HistoryTruePeakBrickWallLimiter> (256, 1, 50, 0, 48000.0f);
        limiter->setWorkerFinishedCallback ([&]
        {
            // Slow to finish: the destructor must still wait for it.
            std::this_thread::sleep_for (30ms);
            ended = true;
        });

        std::this_thread::sleep_for (std::chrono::milliseconds (5 + 11 * trial)); // somewhere in its sleep
        const auto start = std::chrono::steady_clock::now();
        limiter.reset();
        const auto took = std::chrono::steady_clock::now() - start;

        EXPECT_TRUE (ended.load()) << trial;
        EXPECT_GE (took, 25ms) << trial;
    }
}

// A worker failure belongs to its limiter: that one raises it on every block,
// others go on recording, and a new limiter starts clean.
TEST (HistoryWorker, AFailureStopsOnlyTheFailingLimiter)
{
    HistoryTruePeakBrickWallLimiter failing (512, 1, 50, 0, 48000.0f);
    HistoryTruePeakBrickWallLimiter healthy (512, 1, 50, 0, 48000.0f);
    Player bad (failing, 48000.0f, 1), good (healthy, 48000.0f, 1);
    bad.position = beyondCapacity;

    for (int b = 0; b < 40; ++b)
    {
        errorOf (bad); // raises once the worker has failed
        good.block();
    }

    ASSERT_TRUE (waitFor ([&] { return failing.hasWorkerFailed(); }));
    EXPECT_EQ (errorOf (bad), "maximum memory capacity reached");
    EXPECT_EQ (errorOf (bad), "maximum memory capacity reached");

    // The failing limiter processes nothing any more.
    bad.buffers[0].assign (512, 0.25f);
    EXPECT_THROW (failing.processBlock (512, bad.pointers.data()), std::runtime_error);
    EXPECT_EQ (bad.buffers[0][0], 0.25f);
    EXPECT_THROW (failing.processBlock (0, bad.pointers.data()), std::runtime_error);

    for (int b = 0; b < 60; ++b)
        EXPECT_NO_THROW (good.block());
    EXPECT_FALSE (healthy.hasWorkerFailed());
    EXPECT_TRUE (waitFor ([&] { return healthy.getSeries (HistorySeries::limitedLevel).getMaxIndex() >= 40; }));

    HistoryTruePeakBrickWallLimiter fresh (512, 1, 50, 0, 48000.0f);
    Player next (fresh, 48000.0f, 1);
    for (int b = 0; b < 20; ++b)
        EXPECT_NO_THROW (next.block());
    EXPECT_FALSE (fresh.hasWorkerFailed());
}

// One audio thread, the worker writing, and a message thread reading all that
// the views and the session writer read. Meant to run under ThreadSanitizer.
TEST (HistoryWorkerConcurrency, AudioWorkerAndReadersTogether)
{
    auto limiter = std::make_unique<HistoryTruePeakBrickWallLimiter> (512, 2, 50, 0, 48000.0f);
    std::atomic<bool> done { false };
    std::atomic<uint64_t> reads { 0 };

    std::thread reader ([&]
    {
        while (! done.load())
        {
            float sink = 0.0f;
            for (auto kind : { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::threshold, HistorySeries::outputLevel })
            {
                const auto& s = limiter->getSeries (kind);
                const uint64_t last = s.getMaxIndex();
                for (uint64_t i = last > 20 ? last - 20 : 0; i <= last; ++i)
                    sink += std::isfinite (s.get (i)) ? 1.0f : 0.0f;
                sink += limiter->windowPeak (kind) > 0.0f ? 1.0f : 0.0f;
                sink += limiter->channelWindowPeak (kind, 1) > 0.0f ? 1.0f : 0.0f;
                sink += s.hasDataBetween (0, 60000) ? 1.0f : 0.0f;
            }
            sink += (float) limiter->copyOverRegions().size();
            sink += (float) (limiter->getCurrentPosition() + limiter->getMaxPosition() + (uint64_t) limiter->getWarmup());
            sink += limiter->isRecording() ? 1.0f : 0.0f;

            std::ostringstream out;
            limiter->getSeries (HistorySeries::outputLevel).writeTo (out);
            reads += (uint64_t) out.tellp() > 0 ? 1 : 0;
            (void) sink;
        }
    });

    Player player (*limiter, 48000.0f, 2);
    limiter->setPostGainDb (8.0f); // some over regions
    for (int b = 0; b < 400; ++b)
    {
        if (b == 150)
            limiter->stopRecording();
        if (b == 170)
            limiter->startRecording();
        if (b == 250)
            player.position = 480000; // relocation
        if (b % 50 == 0)
            limiter->setThresholdDb (b % 100 == 0 ? -3.0f : -6.0f);
        player.block();
        if (b % 4 == 0)
            std::this_thread::sleep_for (1ms);
    }

    EXPECT_TRUE (waitFor ([&] { return limiter->getSeries (HistorySeries::outputLevel).getMaxIndex() >= 500 + 70; }));
    done = true;
    reader.join();
    EXPECT_GT (reads.load(), 0u);
    EXPECT_FALSE (limiter->hasWorkerFailed());
    EXPECT_FALSE (limiter->copyOverRegions().empty());
    limiter.reset();
}
