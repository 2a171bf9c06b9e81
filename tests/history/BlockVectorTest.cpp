#include "history/BlockVector.h"
#include "history/SectorisedHistoryVector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn
{
namespace
{

constexpr float inf = std::numeric_limits<float>::infinity();

TEST (BlockVector, NewVectorReadsFillValueEverywhere)
{
    BlockVector<float> v (15000, inf);

    for (std::uint64_t index : { std::uint64_t { 0 }, std::uint64_t { 14999 }, std::uint64_t { 15000 },
                                 v.getCapacity() - 1, v.getCapacity(), std::numeric_limits<std::uint64_t>::max() })
        EXPECT_EQ (v.get (index), inf) << index;

    EXPECT_EQ (v.getMaxIndex(), 0u);
    EXPECT_EQ (v.getBlockSlotCount(), 0u);
    EXPECT_FALSE (v.hasBlock (0));
    EXPECT_EQ (v.getAllocatedBlockCount(), 0u);
}

TEST (BlockVector, SetCreatesOnlyTheBlockItWritesTo)
{
    BlockVector<float> v (15000, inf);
    v.set (20000, -3.5f);

    EXPECT_EQ (v.get (20000), -3.5f);
    EXPECT_EQ (v.get (100), inf);
    EXPECT_EQ (v.get (14999), inf);
    EXPECT_EQ (v.get (15000), inf);
    EXPECT_EQ (v.get (20001), inf);
    EXPECT_FALSE (v.hasBlock (0));
    EXPECT_TRUE (v.hasBlock (1));
    EXPECT_EQ (v.getMaxIndex(), 20000u);
    EXPECT_EQ (v.getBlockSlotCount(), 2u);
    EXPECT_EQ (v.getAllocatedBlockCount(), 1u);
}

TEST (BlockVector, OverwriteKeepsLastValueAndMaxIndexNeverDecreases)
{
    BlockVector<float> v (10, inf);
    v.set (35, 1.0f);
    v.set (35, -2.0f);
    v.set (3, 7.0f);

    EXPECT_EQ (v.get (35), -2.0f);
    EXPECT_EQ (v.get (3), 7.0f);
    EXPECT_EQ (v.getMaxIndex(), 35u);
}

TEST (BlockVector, SlotCountIncludesEmptySlotsAcrossGroups)
{
    BlockVector<float> v (10, inf);

    struct Case { std::uint64_t index; std::uint64_t expectedSlots; };
    const Case cases[] = {
        { 5, 1 },                 // block 0, group 0
        { 10 * 255, 256 },        // last slot of group 0
        { 10 * 300 + 4, 301 },    // block 300: group 1, slot 44; group 1 has 45 slots
        { 10 * 100, 301 },        // earlier block: nothing grows
    };

    for (const auto& c : cases)
    {
        v.set (c.index, 1.0f);
        EXPECT_EQ (v.getBlockSlotCount(), c.expectedSlots) << c.index;
    }

    EXPECT_FALSE (v.hasBlock (299));
    EXPECT_TRUE (v.hasBlock (300));
    EXPECT_EQ (v.getAllocatedBlockCount(), 4u);
}

TEST (BlockVector, CapacityEndsAtGroup1024)
{
    BlockVector<float> v (15000, inf);
    const auto capacity = v.getCapacity();
    ASSERT_EQ (capacity, std::uint64_t { 1025 } * 256 * 15000);

    v.set (capacity - 1, 2.0f);
    EXPECT_EQ (v.get (capacity - 1), 2.0f);
    EXPECT_EQ (v.getMaxIndex(), capacity - 1);
    EXPECT_EQ (v.getBlockSlotCount(), std::uint64_t { 1025 } * 256);

    for (std::uint64_t index : { capacity, capacity + 15000 * 256, std::numeric_limits<std::uint64_t>::max() })
    {
        try
        {
            v.set (index, 3.0f);
            ADD_FAILURE() << "no exception for " << index;
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ (e.what(), "maximum memory capacity reached");
        }

        EXPECT_EQ (v.get (index), inf);
        EXPECT_EQ (v.getMaxIndex(), capacity - 1);
        EXPECT_EQ (v.getBlockSlotCount(), std::uint64_t { 1025 } * 256);
    }
}

TEST (BlockVector, CapacityErrorAllocatesNothing)
{
    BlockVector<float> v (15000, inf);
    const auto before = v.memoryBytes();

    EXPECT_THROW (v.set (v.getCapacity(), 1.0f), std::runtime_error);
    EXPECT_EQ (v.memoryBytes(), before);
    EXPECT_EQ (v.getBlockSlotCount(), 0u);
}

TEST (BlockVector, BulkReadsMatchGet)
{
    BlockVector<float> v (10, inf);
    v.set (12, 4.0f);
    v.set (17, 5.0f);

    std::vector<float> out (10, -1.0f);
    EXPECT_FALSE (v.readBlock (0, 10, out.data()));
    EXPECT_EQ (out, std::vector<float> (10, -1.0f)) << "a missing block leaves the buffer alone";

    ASSERT_TRUE (v.readBlock (1, 10, out.data()));
    for (std::uint64_t i = 0; i < 10; ++i)
        EXPECT_EQ (out[i], v.get (10 + i)) << i;

    std::vector<float> range (4, -1.0f);
    v.readRange (15, 4, range.data());
    EXPECT_EQ (range, (std::vector<float> { inf, inf, 5.0f, inf }));

    v.readRange (3, 4, range.data());
    EXPECT_EQ (range, std::vector<float> (4, inf)) << "a missing block reads as the fill value";
}

TEST (BlockVector, WorksForMaxValueElements)
{
    const MaxValue empty { inf, false };
    BlockVector<MaxValue> v (10, empty);
    v.set (42, { -1.0f, true });

    EXPECT_EQ (v.get (42), (MaxValue { -1.0f, true }));
    EXPECT_EQ (v.get (41), empty);
    EXPECT_EQ (v.get (0), empty);
    EXPECT_EQ (v.getMaxIndex(), 42u);
}

} // namespace
} // namespace tarn
