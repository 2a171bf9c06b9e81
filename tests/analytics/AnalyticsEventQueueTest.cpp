#include "analytics/AnalyticsEventQueue.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using tarn::AnalyticsEventQueue;

namespace
{

std::vector<std::string> drainNames (AnalyticsEventQueue& queue)
{
    std::vector<std::string> names;
    queue.drain ([&] (const AnalyticsEventQueue::Record& record) { names.emplace_back (record.nameView()); });
    return names;
}

TEST (AnalyticsEventQueue, KeepsOrderAndContent)
{
    AnalyticsEventQueue queue (8);
    ASSERT_TRUE (queue.push ("Exception Thrown", "Buffer too small", 0));
    ASSERT_TRUE (queue.pushValue ("Threshold", -6.5f, 1));

    std::vector<AnalyticsEventQueue::Record> records;
    EXPECT_EQ (queue.drain ([&] (const auto& record) { records.push_back (record); }), 2u);
    ASSERT_EQ (records.size(), 2u);
    EXPECT_EQ (records[0].nameView(), "Exception Thrown");
    EXPECT_EQ (records[0].labelView(), "Buffer too small");
    EXPECT_EQ (records[0].eventType, 0);
    EXPECT_FALSE (records[0].labelIsValue);
    EXPECT_EQ (records[1].nameView(), "Threshold");
    EXPECT_TRUE (records[1].labelIsValue);
    EXPECT_EQ (records[1].value, -6.5f);
    EXPECT_EQ (records[1].eventType, 1);
    EXPECT_EQ (queue.drain ([] (const auto&) {}), 0u);
}

TEST (AnalyticsEventQueue, DropsAndCountsWhatDoesNotFitThenAcceptsAgain)
{
    AnalyticsEventQueue queue (3); // rounded up to 4
    EXPECT_EQ (queue.capacity(), 4u);

    for (int round = 0; round < 3; ++round) // wraps around the ring
    {
        std::vector<bool> accepted;
        for (int i = 0; i < 6; ++i)
            accepted.push_back (queue.push ("e" + std::to_string (i), "", 1));

        EXPECT_EQ (accepted, (std::vector<bool> { true, true, true, true, false, false }));
        EXPECT_EQ (queue.droppedCount(), 2u * (uint64_t) (round + 1));
        EXPECT_EQ (drainNames (queue), (std::vector<std::string> { "e0", "e1", "e2", "e3" }));
    }
}

TEST (AnalyticsEventQueue, CutsLongTextsAtACharacterBoundary)
{
    AnalyticsEventQueue queue (2);
    // 46 ASCII bytes then a 3-byte character: only the ASCII part fits in 47 bytes.
    const std::string name = std::string (46, 'n') + "\xE2\x82\xAC" + "tail";
    const std::string label (500, 'x');
    ASSERT_TRUE (queue.push (name, label, 0));

    queue.drain ([&] (const AnalyticsEventQueue::Record& record) {
        EXPECT_EQ (record.nameView(), std::string (46, 'n'));
        EXPECT_EQ (record.labelView(), std::string (AnalyticsEventQueue::maxLabelBytes, 'x'));
    });
}

TEST (AnalyticsEventQueue, PushNeitherAllocatesNorLocks)
{
    if (! tarn::test::allocationCountingAvailable())
        GTEST_SKIP() << "allocation counting is not available in this build";

    AnalyticsEventQueue queue (4);
    const std::string longText (1000, 'y');

    tarn::test::AllocationCounts counts;
    {
        tarn::test::ScopedAllocationCount counter;
        for (int i = 0; i < 10; ++i) // fills the ring, then drops
        {
            queue.pushValue ("Threshold", (float) i, 1);
            queue.push ("Exception Thrown", longText, 0);
        }
        counts = counter.counts();
    }

    EXPECT_EQ (counts.allocations, 0u);
    EXPECT_EQ (counts.locks, 0u);
    EXPECT_EQ (queue.droppedCount(), 16u);
}

TEST (AnalyticsEventQueue, ConcurrentProducersLoseNothingUncountedAndKeepTheirOrder)
{
    AnalyticsEventQueue queue (64);
    constexpr int perProducer = 20000;
    std::atomic<int> running { 2 };

    auto produce = [&] (char tag) {
        for (int i = 0; i < perProducer; ++i)
            queue.push (std::string (1, tag), std::to_string (i), 1);
        --running;
    };

    std::thread a (produce, 'a'), b (produce, 'b');

    int lastA = -1, lastB = -1;
    uint64_t received = 0;
    bool ordered = true;
    auto consume = [&] (const AnalyticsEventQueue::Record& record) {
        const int index = std::stoi (std::string (record.labelView()));
        int& last = record.nameView() == "a" ? lastA : lastB;
        ordered = ordered && index > last;
        last = index;
        ++received;
    };

    while (running > 0)
        queue.drain (consume);
    a.join();
    b.join();
    queue.drain (consume);

    EXPECT_TRUE (ordered);
    EXPECT_EQ (received + queue.droppedCount(), 2u * perProducer);
    EXPECT_GT (received, 0u);
}

} // namespace
