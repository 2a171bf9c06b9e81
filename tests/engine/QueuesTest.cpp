#include "engine/BlockCollector.h"
#include "engine/BoundedQueue.h"
#include "engine/SignalDelayBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tarn;

namespace
{
    template <typename Exception, typename Function>
    std::string messageOf (Function&& function)
    {
        try
        {
            function();
        }
        catch (const Exception& e)
        {
            return e.what();
        }
        return "<no exception>";
    }
}

TEST (BoundedQueue, FifoOrderAcrossWrapAround)
{
    BoundedQueue<double> queue (3);
    for (int round = 0; round < 5; ++round)
    {
        queue.push (round * 10 + 1);
        queue.push (round * 10 + 2);
        EXPECT_EQ (queue.front(), round * 10 + 1);
        EXPECT_EQ (queue.back(), round * 10 + 2);
        EXPECT_EQ (queue.pop(), round * 10 + 1);
        EXPECT_EQ (queue.pop(), round * 10 + 2);
    }
    EXPECT_EQ (queue.size(), 0u);
}

TEST (BoundedQueue, ErrorsCarryTheirMessagesAndLeaveTheQueueUnchanged)
{
    BoundedQueue<double> queue (3);
    queue.push (1.0);
    queue.push (5.0);
    queue.push (2.0);

    EXPECT_EQ (messageOf<std::overflow_error> ([&] { queue.push (4.0); }), "No more memory left in queue");
    EXPECT_EQ (queue.size(), 3u);
    EXPECT_EQ (queue.maximum(), 5.0);
    EXPECT_EQ (queue.front(), 1.0);
    EXPECT_EQ (queue.back(), 2.0);

    queue.clear();
    EXPECT_EQ (messageOf<std::underflow_error> ([&] { queue.pop(); }), "Trying to pop from an empty queue");
    EXPECT_EQ (messageOf<std::underflow_error> ([&] { queue.front(); }), "Trying to read from an empty queue");
    EXPECT_EQ (messageOf<std::underflow_error> ([&] { queue.back(); }), "Trying to read from an empty queue");
    EXPECT_EQ (messageOf<std::underflow_error> ([&] { queue.maximum(); }), "Trying to read from an empty queue");
    EXPECT_EQ (queue.size(), 0u);

    // After clear() the ring starts again from slot 0.
    queue.push (7.0);
    EXPECT_EQ (queue.front(), 7.0);
}

TEST (BoundedQueue, ZeroCapacityRejectsEveryPush)
{
    BoundedQueue<float> queue (0);
    EXPECT_EQ (queue.capacity(), 0u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (messageOf<std::overflow_error> ([&] { queue.push (1.0f); }), "No more memory left in queue");
}

TEST (SignalDelayBuffer, DelayZeroAndOneLeaveTheAudioUntouched)
{
    for (uint32_t delay : { 0u, 1u })
    {
        SignalDelayBuffer buffer (2, delay);
        std::vector<float> left { 1, 2, 3, 4 }, right { -1, -2, -3, -4 };
        float* channels[] = { left.data(), right.data() };
        EXPECT_EQ (buffer.process (4, channels), 4) << "delay " << delay;
        EXPECT_EQ (left, (std::vector<float> { 1, 2, 3, 4 }));
        EXPECT_EQ (right, (std::vector<float> { -1, -2, -3, -4 }));
    }
}

TEST (SignalDelayBuffer, OutputIsTheInputFromDelayMinusOneSamplesEarlier)
{
    struct Case { uint32_t delay; std::vector<int> blocks; };
    const Case cases[] = {
        { 5, { 3, 2, 1, 7, 16 } },   // first block shorter than the fill
        { 5, { 10, 10 } },           // first block longer than the fill
        { 64, { 1, 63, 64, 200 } },
    };

    for (const auto& testCase : cases)
    {
        SignalDelayBuffer buffer (2, testCase.delay);
        std::vector<float> outputLeft, outputRight;
        int next = 0;
        bool first = true;

        for (int n : testCase.blocks)
        {
            std::vector<float> left ((size_t) n), right ((size_t) n);
            for (int i = 0; i < n; ++i)
            {
                left[(size_t) i] = (float) (next + i + 1);
                right[(size_t) i] = -(float) (next + i + 1);
            }
            next += n;

            float* channels[] = { left.data(), right.data() };
            const int valid = buffer.process (n, channels);

            const int fill = (int) testCase.delay - 1;
            const int alreadyIn = next - n;
            const int expected = alreadyIn >= fill ? n : std::max (0, n - (fill - alreadyIn));
            EXPECT_EQ (valid, expected) << "delay " << testCase.delay << " block " << n;
            if (first)
            {
                EXPECT_EQ (valid, std::max (0, n - fill));
            }
            first = false;

            outputLeft.insert (outputLeft.end(), left.begin(), left.begin() + valid);
            outputRight.insert (outputRight.end(), right.begin(), right.begin() + valid);
        }

        // The valid output is the input stream itself, starting from its first sample.
        for (size_t k = 0; k < outputLeft.size(); ++k)
        {
            ASSERT_EQ (outputLeft[k], (float) (k + 1));
            ASSERT_EQ (outputRight[k], -(float) (k + 1));
        }
        EXPECT_EQ ((int) outputLeft.size(), next - ((int) testCase.delay - 1));
    }
}

TEST (SignalDelayBuffer, ResetEmptiesTheLineAgain)
{
    SignalDelayBuffer buffer (1, 8);
    std::vector<float> block (20, 1.0f);
    float* channels[] = { block.data() };
    EXPECT_EQ (buffer.process (20, channels), 13);
    EXPECT_EQ (buffer.process (20, channels), 20);
    buffer.reset();
    EXPECT_EQ (buffer.process (20, channels), 13);
    buffer.reset();
    EXPECT_EQ (buffer.process (5, channels), 0);
}

namespace
{
    struct CollectedBlocks
    {
        std::vector<std::vector<float>> blocks;

        void attach (BlockCollector& collector)
        {
            collector.addCallback ([this] (int n, float** channels) { blocks.emplace_back (channels[0], channels[0] + n); });
        }
    };

    std::vector<float> ramp (int start, int n)
    {
        std::vector<float> values ((size_t) n);
        std::iota (values.begin(), values.end(), (float) start);
        return values;
    }
}

TEST (BlockCollector, DeliversConsecutiveBlocksAndHoldsOneThatEndsWithTheData)
{
    BlockCollector collector (100, 1);
    CollectedBlocks collected;
    collected.attach (collector);

    auto first = ramp (0, 250), second = ramp (250, 250);
    float* data1[] = { first.data() };
    float* data2[] = { second.data() };

    collector.push (250, data1);
    ASSERT_EQ (collected.blocks.size(), 2u);
    collector.push (250, data2);
    ASSERT_EQ (collected.blocks.size(), 4u);
    EXPECT_EQ (collector.getFilled(), 100);

    for (int b = 0; b < 4; ++b)
        EXPECT_EQ (collected.blocks[(size_t) b], ramp (b * 100, 100)) << "block " << b;

    // A push of nothing changes nothing; the next sample delivers the held block first.
    collector.push (0, data1);
    EXPECT_EQ (collected.blocks.size(), 4u);

    auto third = ramp (500, 1);
    float* data3[] = { third.data() };
    collector.push (1, data3);
    ASSERT_EQ (collected.blocks.size(), 5u);
    EXPECT_EQ (collected.blocks[4], ramp (400, 100));
    EXPECT_EQ (collector.getFilled(), 1);
}

TEST (BlockCollector, SkipThrowsAwaySamplesBeforeCollecting)
{
    BlockCollector collector (100, 1);
    CollectedBlocks collected;
    collected.attach (collector);

    collector.setSkip (30);
    auto first = ramp (0, 20), second = ramp (20, 50);
    float* data1[] = { first.data() };
    float* data2[] = { second.data() };

    collector.push (20, data1);
    EXPECT_EQ (collector.getSkip(), 10);
    EXPECT_EQ (collector.getFilled(), 0);

    collector.push (50, data2);
    EXPECT_EQ (collector.getSkip(), 0);
    EXPECT_EQ (collector.getFilled(), 40);

    auto rest = ramp (70, 60);
    float* data3[] = { rest.data() };
    collector.push (60, data3);
    ASSERT_EQ (collected.blocks.size(), 1u);
    EXPECT_EQ (collected.blocks[0], ramp (30, 100));
}

TEST (BlockCollector, SkipEndingInsideAPartlyFilledBlockReadsOnlyTheData)
{
    // setSkip without restartBlock: the partial block continues after the
    // skipped samples, and nothing is read beyond the pushed data.
    BlockCollector collector (100, 1);
    CollectedBlocks collected;
    collected.attach (collector);

    auto first = ramp (0, 60);
    float* data1[] = { first.data() };
    collector.push (60, data1);
    collector.setSkip (10);

    auto second = ramp (60, 30);
    float* data2[] = { second.data() };
    collector.push (30, data2);
    EXPECT_EQ (collector.getFilled(), 80);
    EXPECT_TRUE (collected.blocks.empty());
}

TEST (BlockCollector, CallbacksRunInOrderWithEveryChannel)
{
    BlockCollector collector (4, 2);
    std::vector<std::string> calls;
    collector.addCallback ([&] (int n, float** channels) { calls.push_back ("a" + std::to_string ((int) channels[1][n - 1])); });
    collector.addCallback ([&] (int, float** channels) { calls.push_back ("b" + std::to_string ((int) channels[0][0])); });

    auto left = ramp (0, 9), right = ramp (100, 9);
    float* data[] = { left.data(), right.data() };
    collector.push (9, data);
    EXPECT_EQ (calls, (std::vector<std::string> { "a103", "b0", "a107", "b4" }));
}

TEST (BlockCollector, AnEmptyCallbackSlotRaisesBadFunctionCall)
{
    BlockCollector collector (2, 1);
    collector.addCallback ({});
    auto data = ramp (0, 3);
    float* channels[] = { data.data() };
    EXPECT_THROW (collector.push (3, channels), std::bad_function_call);
}
