#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "support/AllocationCounter.h"
#include "support/TestSignals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <vector>

using namespace tarn;

namespace
{
    // Plays host-rate audio through the limiter block by block, keeping the
    // valid output packed in order, the output as the host hears it (each
    // block's valid samples moved to its end behind zeros, as the processor
    // does) and the peak of the oversampled output.
    struct HostRig
    {
        HostRig (float rate, int channels, int maxBlock)
            : limiter (maxBlock, channels, 50, 0, rate), maxBlockSize (maxBlock),
              buffers ((size_t) channels, std::vector<float> ((size_t) maxBlock * 4)),
              pointers ((size_t) channels), output ((size_t) channels), heard ((size_t) channels)
        {
            for (size_t c = 0; c < buffers.size(); ++c)
                pointers[c] = buffers[c].data();
        }

        // Returns the valid count of this block.
        int play (const test::Channels& input, size_t offset, int n)
        {
            for (size_t c = 0; c < buffers.size(); ++c)
                for (int i = 0; i < n; ++i)
                    buffers[c][(size_t) i] = offset + (size_t) i < input[c].size() ? input[c][offset + (size_t) i] : 0.0f;

            const int valid = limiter.processBlock (n, pointers.data());

            for (size_t c = 0; c < buffers.size(); ++c)
            {
                output[c].insert (output[c].end(), buffers[c].begin(), buffers[c].begin() + valid);
                heard[c].insert (heard[c].end(), (size_t) (n - valid), 0.0f);
                heard[c].insert (heard[c].end(), buffers[c].begin(), buffers[c].begin() + valid);
                // The oversampled buffers hold one prepared-size piece.
                const int oversampled = n <= maxBlockSize ? valid * limiter.getFactor() : 0;
                for (int i = 0; i < oversampled; ++i)
                    oversampledPeak = std::max (oversampledPeak, std::abs (limiter.getOutputBuffer ((int) c)[i]));
            }
            return valid;
        }

        // Plays the whole input, then the latency's worth of silence.
        void playAll (const test::Channels& input, int blockSize)
        {
            const size_t total = input[0].size() + (size_t) limiter.latencySamples();
            for (size_t offset = 0; offset < total; offset += (size_t) blockSize)
                play (input, offset, (int) std::min<size_t> ((size_t) blockSize, total - offset));
        }

        HistoryTruePeakBrickWallLimiter limiter;
        int maxBlockSize;
        std::vector<std::vector<float>> buffers;
        std::vector<float*> pointers;
        test::Channels output;
        test::Channels heard;
        float oversampledPeak = 0.0f;
    };

    double aimed (double thresholdDb)
    {
        return std::pow (10.0, (thresholdDb - 0.05) / 20.0);
    }
}

TEST (HistoryTruePeakBrickWallLimiter, AClickComesOutExactlyLatencySamplesLater)
{
    for (float rate : { 44100.0f, 48000.0f, 88200.0f, 96000.0f, 192000.0f, 32000.0f, 22050.0f })
    {
        HostRig rig (rate, 2, 512);
        const int latency = rig.limiter.latencySamples();
        const size_t clickAt = 3001;

        test::Channels input (2, std::vector<float> (8000, 0.0f));
        input[0][clickAt] = 0.5f;
        input[1][clickAt] = -0.25f;
        rig.playAll (input, 512);

        // Everything the limiter withheld adds up to the latency, and the
        // packed output is the input stream without any further delay.
        EXPECT_EQ (rig.output[0].size(), input[0].size()) << rate;

        for (size_t c = 0; c < 2; ++c)
        {
            auto loudest = [] (const std::vector<float>& x)
            {
                return (size_t) (std::max_element (x.begin(), x.end(), [] (float a, float b) { return std::abs (a) < std::abs (b); }) - x.begin());
            };

            EXPECT_EQ (loudest (rig.output[c]), clickAt) << "rate " << rate << " channel " << c;

            const auto& heard = rig.heard[c];
            const size_t at = clickAt + (size_t) latency;
            EXPECT_EQ (loudest (heard), at) << "rate " << rate << " channel " << c;
            // Linear phase: the click's neighbours are balanced around it.
            EXPECT_NEAR (heard[at - 1], heard[at + 1], 1e-3f) << "rate " << rate;
        }
    }
}

TEST (HistoryTruePeakBrickWallLimiter, LatencyAtTheFullOversampledRateIsTheLookaheadDelay)
{
    // No resampling at 192 kHz: the audio leaves the lookahead windowLength - 1
    // samples after it entered, plus the look-ahead of the between-sample
    // peak estimate.
    HistoryTruePeakBrickWallLimiter limiter (512, 2, 50, 0, 192000.0f);
    EXPECT_EQ (limiter.getFactor(), 1);
    EXPECT_EQ (limiter.windowLength(), 1800u);
    EXPECT_EQ (limiter.latencySamples(), 1799 + BrickWallLimiter::estimatorLag);
    EXPECT_EQ (limiter.latencySamples(), (int) limiter.lookaheadDelay());
    EXPECT_EQ (limiter.getUpsampler (0).latency(), 0);
    EXPECT_EQ (limiter.getDownsampler (1).latency(), 0);
}

TEST (HistoryTruePeakBrickWallLimiter, BlocksNeverComeOutShortOnceRunning)
{
    std::mt19937 random (99);

    for (float rate : { 44100.0f, 48000.0f, 96000.0f, 11025.0f, 47952.0f })
    {
        const int maxBlock = 1024;
        HostRig rig (rate, 2, maxBlock);
        const int latency = rig.limiter.latencySamples();
        const auto signal = test::denseMaterial (rate, (int) rate * 2, 4);
        const test::Channels input { signal, signal };

        std::uniform_int_distribution<int> sizes (1, maxBlock);
        size_t offset = 0;
        int withheld = 0;

        while (offset < signal.size())
        {
            const int n = sizes (random);
            const int valid = rig.play (input, offset, n);
            ASSERT_LE (valid, n);
            if (withheld >= latency)
            {
                ASSERT_EQ (valid, n) << "rate " << rate << " at " << offset;
            }
            withheld += n - valid;
            offset += (size_t) n;
        }

        EXPECT_EQ (withheld, latency) << rate;
    }
}

TEST (HistoryTruePeakBrickWallLimiter, BlocksLargerThanPreparedArePlayedInPieces)
{
    HostRig big (48000.0f, 2, 256);
    HostRig small (48000.0f, 2, 256);
    const auto signal = test::denseMaterial (48000.0, 48000, 8);
    const test::Channels input { signal, signal };

    for (size_t offset = 0; offset < signal.size(); offset += 1000)
    {
        // The host announced 256 but sends 1000 at a time.
        big.buffers.assign (2, std::vector<float> (1000));
        for (auto& b : big.buffers)
            b.resize (1000);
        for (size_t c = 0; c < 2; ++c)
            big.pointers[c] = big.buffers[c].data();
        big.play (input, offset, (int) std::min<size_t> (1000, signal.size() - offset));
    }

    for (size_t offset = 0; offset < signal.size(); offset += 250)
        small.play (input, offset, (int) std::min<size_t> (250, signal.size() - offset));

    ASSERT_EQ (big.output[0].size(), small.output[0].size());
    EXPECT_EQ (big.output[0], small.output[0]);
}

TEST (HistoryTruePeakBrickWallLimiter, ResetRefillsTheDelays)
{
    HostRig rig (44100.0f, 1, 512);
    const int latency = rig.limiter.latencySamples();
    const test::Channels input { test::sine (440.0, 44100.0, 20000, 0.3) };

    int withheld = 0;
    for (size_t offset = 0; offset < 10240; offset += 512)
        withheld += 512 - rig.play (input, offset, 512);
    EXPECT_EQ (withheld, latency);

    rig.limiter.reset();
    withheld = 0;
    for (size_t offset = 0; offset < 10240; offset += 512)
        withheld += 512 - rig.play (input, offset, 512);
    EXPECT_EQ (withheld, latency);
}

// The brick wall where the limiter works: at the oversampled rate nothing
// passes the aimed amplitude beyond float rounding.
TEST (HistoryTruePeakBrickWallLimiter, HoldsTheCeilingAtTheOversampledRate)
{
    struct Signal { const char* name; double preGainDb; std::vector<float> (*make) (double rate, int n); };
    const Signal signals[] = {
        { "dense material", 0.0, [] (double rate, int n) { return test::denseMaterial (rate, n, 17); } },
        { "full-scale sine, +6 dB pre gain", 6.0, [] (double rate, int n) { return test::sine (997.0, rate, n, 1.0); } },
        { "square wave", 0.0, [] (double rate, int n) { return test::square (441.0, rate, n, 1.0); } },
        { "quarter-rate sine at 45 degrees", 0.0, [] (double rate, int n) { return test::quarterRateSine (rate, n, 1.0); } },
    };

    for (float rate : { 44100.0f, 48000.0f, 96000.0f, 192000.0f })
        for (const auto& signal : signals)
            for (double thresholdDb : { 0.0, -6.0 })
            {
                HostRig rig (rate, 2, 512);
                rig.limiter.setThresholdImmediately (thresholdDb);
                rig.limiter.setPreGainDb ((float) signal.preGainDb);
                const auto samples = signal.make (rate, (int) (rate * 1.5));
                rig.playAll ({ samples, signal.make (rate, (int) (rate * 1.5)) }, 512);

                EXPECT_LE (rig.oversampledPeak, (float) aimed (thresholdDb) * (1.0f + 2e-7f))
                    << signal.name << " at " << rate << " Hz, threshold " << thresholdDb;
            }
}

TEST (HistoryTruePeakBrickWallLimiter, NonFiniteHostSamplesBecomeSilence)
{
    HostRig rig (48000.0f, 2, 512);
    rig.limiter.setThresholdImmediately (-3.0);
    auto signal = test::denseMaterial (48000.0, 96000, 5);
    for (size_t k = 0; k < 20; ++k)
        signal[1000 + k * 3001] = k % 2 ? std::numeric_limits<float>::quiet_NaN() : -std::numeric_limits<float>::infinity();
    rig.playAll ({ signal, signal }, 512);

    for (auto& channel : rig.output)
        for (float x : channel)
            ASSERT_TRUE (std::isfinite (x));
    EXPECT_LE (rig.oversampledPeak, (float) aimed (-3.0) * (1.0f + 2e-7f));
}

TEST (HistoryTruePeakBrickWallLimiter, TheAudioPathNeitherAllocatesNorLocks)
{
    if (! test::allocationCountingAvailable())
        GTEST_SKIP() << "allocation counting is not available in sanitizer builds";

    for (float rate : { 44100.0f, 48000.0f, 96000.0f })
    {
        HostRig rig (rate, 2, 512);
        rig.limiter.setAutoRelease (true);
        const auto signal = test::denseMaterial (rate, (int) rate * 2, 2);
        const test::Channels input { signal, signal };
        std::vector<float*> pointers = rig.pointers;

        // Recording is on, its worker drains the rings meanwhile, and the
        // transport is handed over every block: a relocation, a stop and a
        // restart included.
        uint64_t hostPosition = 0;
        bool playing = true;

        test::ScopedAllocationCount counter;
        for (size_t offset = 0; offset + 512 <= signal.size(); offset += 512)
        {
            for (size_t c = 0; c < 2; ++c)
                std::copy_n (signal.begin() + (long) offset, 512, rig.buffers[c].begin());

            const size_t blockNumber = offset / 512;
            if (blockNumber == 40)
                hostPosition += 123457;
            if (blockNumber == 120)
                playing = false;
            if (blockNumber == 140)
                playing = true;

            rig.limiter.setTimelinePosition (hostPosition);
            if (playing && ! rig.limiter.isRecording())
                rig.limiter.startRecording();
            if (! playing && rig.limiter.isRecording())
                rig.limiter.stopRecording();
            if (playing)
                hostPosition += 512;

            // Parameter hand-off every block, as the processor does.
            rig.limiter.setThresholdDb (offset % 4096 == 0 ? -3.0f : -2.0f);
            rig.limiter.setPreGainDb (offset % 8192 == 0 ? 1.0f : 0.0f);
            rig.limiter.setPostGainDb (-0.5f);
            rig.limiter.setReactivity (1.5f);
            rig.limiter.setReleaseCurve ((int) (offset / 512) % 5);
            rig.limiter.setAutoRelease (offset < signal.size() / 2);
            rig.limiter.setReleaseTimeMs (120);
            rig.limiter.setMaximizer (offset > signal.size() * 3 / 4);
            rig.limiter.setMaxTargetDb (-0.3f);

            rig.limiter.processBlock (512, pointers.data());

            if (offset == 512 * 100)
                rig.limiter.reset();
        }

        const auto counts = counter.counts();
        EXPECT_EQ (counts.allocations, 0u) << rate;
        EXPECT_EQ (counts.locks, 0u) << rate;
        EXPECT_EQ (rig.limiter.getCurrentPosition(), hostPosition) << rate;
        EXPECT_FALSE (rig.limiter.hasWorkerFailed()) << rate;
    }
}

TEST (HistoryTruePeakBrickWallLimiter, TheAllocationCounterSeesAllocationsAndLocks)
{
    // The counter itself must not be blind.
    if (! test::allocationCountingAvailable())
        GTEST_SKIP();

    std::mutex mutex;
    test::ScopedAllocationCount counter;
    auto* p = new std::vector<float> (100);
    {
        std::lock_guard<std::mutex> lock (mutex);
    }
    delete p;
    EXPECT_GE (counter.counts().allocations, 2u);
    EXPECT_EQ (counter.counts().locks, 1u);
}
