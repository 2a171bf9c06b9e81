#include "history/SectorisedHistoryVector.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn
{
namespace
{

constexpr float inf = std::numeric_limits<float>::infinity();

const std::string blockSizeMessage =
    "Could not load history: history blocksize in session file doesn't match history blocksize in meter.";
const std::string truncatedMessage = "Could not load history: session data is truncated.";

std::string serialise (const SectorisedHistoryVector& v)
{
    std::ostringstream out (std::ios::binary);
    v.writeTo (out);
    return out.str();
}

void appendInt64 (std::string& s, std::int64_t value)
{
    for (int i = 0; i < 8; ++i)
        s.push_back (static_cast<char> ((static_cast<std::uint64_t> (value) >> (8 * i)) & 0xff));
}

void appendFloat (std::string& s, float value)
{
    const auto bits = std::bit_cast<std::uint32_t> (value);
    for (int i = 0; i < 4; ++i)
        s.push_back (static_cast<char> ((bits >> (8 * i)) & 0xff));
}

/** Runs readFrom on bytes; returns the exception message, empty when none. */
std::string readInto (SectorisedHistoryVector& v, const std::string& bytes)
{
    std::istringstream in (bytes, std::ios::binary);

    try
    {
        v.readFrom (in);
    }
    catch (const std::runtime_error& e)
    {
        return e.what();
    }

    return {};
}

bool sameBits (float a, float b) { return std::bit_cast<std::uint32_t> (a) == std::bit_cast<std::uint32_t> (b); }
bool sameBits (MaxValue a, MaxValue b) { return sameBits (a.value, b.value) && a.stale == b.stale; }

/** Every value, block and maximum of two series are identical. */
void expectSameSeries (const SectorisedHistoryVector& a, const SectorisedHistoryVector& b)
{
    ASSERT_EQ (a.getMaxIndex(), b.getMaxIndex());
    ASSERT_EQ (a.getBlockSlotCount(), b.getBlockSlotCount());

    for (std::uint64_t i = 0; i <= a.getMaxIndex() + a.blockSize; ++i)
        ASSERT_TRUE (sameBits (a.get (i), b.get (i))) << "index " << i;

    for (std::uint64_t k = 0; k <= a.getBlockSlotCount(); ++k)
    {
        ASSERT_EQ (a.hasBlock (k), b.hasBlock (k)) << "block " << k;
        ASSERT_TRUE (sameBits (a.getBlockMaximum (k), b.getBlockMaximum (k))) << "block maximum " << k;

        for (std::uint64_t s = 0; s < a.getSectorsPerBlock(); ++s)
            ASSERT_TRUE (sameBits (a.getSectorMaximum (k * a.getSectorsPerBlock() + s),
                                   b.getSectorMaximum (k * b.getSectorsPerBlock() + s))) << "sector " << k << "/" << s;
    }

    ASSERT_TRUE (sameBits (a.getOverallMaximum(), b.getOverallMaximum()));
}

// ---------------------------------------------------------------------------

TEST (SectorisedHistoryVector, ConstructorRequiresWholeSectorsPerBlock)
{
    struct Case { std::uint64_t blockSize, sectorSize; bool valid; };
    const Case cases[] = { { 15000, 1500, true }, { 15000, 1400, false }, { 15000, 0, false }, { 3000, 1500, true } };

    for (const auto& c : cases)
    {
        if (c.valid)
        {
            SectorisedHistoryVector v (48000.0f, c.blockSize, c.sectorSize);
            EXPECT_EQ (v.getSectorsPerBlock(), c.blockSize / c.sectorSize);
            continue;
        }

        try
        {
            SectorisedHistoryVector v (48000.0f, c.blockSize, c.sectorSize);
            ADD_FAILURE() << "accepted " << c.blockSize << "/" << c.sectorSize;
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ (e.what(), "blockSize needs to be a multiple of sectorSize!");
        }
    }
}

TEST (SectorisedHistoryVector, TimeBase)
{
    struct Case { float rate; unsigned spu; };
    for (const auto& c : { Case { 48000.0f, 960 }, Case { 44100.0f, 882 }, Case { 96000.0f, 1920 }, Case { 0.0f, 0 } })
    {
        SectorisedHistoryVector v (c.rate);
        EXPECT_EQ (v.getSamplesPerUpdate(), c.spu) << c.rate;
        EXPECT_EQ (v.getUpdateRateMs(), 20);
        EXPECT_EQ (v.getSlotsPerUpdate(), 1);
    }
}

TEST (SectorisedHistoryVector, HasDataBetween)
{
    // Block 1 holds indices 15000..29999: 300 000 ms to 600 000 ms at 20 ms per value.
    SectorisedHistoryVector v (48000.0f);
    EXPECT_FALSE (v.hasDataBetween (0, std::numeric_limits<std::uint64_t>::max()));
    v.set (20000, -3.5f);

    struct Case { std::uint64_t startMs, endMs; bool expected; };
    const Case cases[] = {
        { 0, 299999, false },
        { 0, 300000, true },
        { 300000, 300000, true },
        { 599999, 599999, true },
        { 600000, 900000, false },
        { 400000, 300000, true },   // end before start, but in the same block
        { 600000, 0, false },       // end in an earlier block
        { 0, std::numeric_limits<std::uint64_t>::max(), true },
        { std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max(), false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (v.hasDataBetween (c.startMs, c.endMs), c.expected) << c.startMs << ".." << c.endMs;

    SectorisedHistoryVector noTimeBase (0.0f);
    noTimeBase.set (5, 1.0f);
    EXPECT_FALSE (noTimeBase.hasDataBetween (0, 1000));
}

TEST (SectorisedHistoryVector, MaximaFollowWritesAndGoStaleWhenTheMaximumIsOverwritten)
{
    SectorisedHistoryVector v (48000.0f);
    EXPECT_EQ (v.getOverallMaximum(), (MaxValue { inf, false }));

    v.set (10, -6.0f);
    v.set (11, -3.0f);
    v.set (12, -9.0f);
    v.set (1500, -1.0f);   // sector 1 of block 0
    v.set (15000, -20.0f); // block 1

    EXPECT_EQ (v.getSectorMaximum (0), (MaxValue { -3.0f, false }));
    EXPECT_EQ (v.getSectorMaximum (1), (MaxValue { -1.0f, false }));
    EXPECT_EQ (v.getSectorMaximum (10), (MaxValue { -20.0f, false }));
    EXPECT_EQ (v.getBlockMaximum (0), (MaxValue { -1.0f, false }));
    EXPECT_EQ (v.getBlockMaximum (1), (MaxValue { -20.0f, false }));
    EXPECT_EQ (v.getBlockMaximum (2), (MaxValue { inf, false }));
    EXPECT_EQ (v.getOverallMaximum(), (MaxValue { -1.0f, false }));

    // Overwriting a value below the maximum changes nothing.
    v.set (12, -8.0f);
    EXPECT_EQ (v.getSectorMaximum (0), (MaxValue { -3.0f, false }));

    // Overwriting the maximum itself with a lower value keeps it but marks it stale.
    v.set (11, -12.0f);
    EXPECT_EQ (v.get (11), -12.0f);
    EXPECT_EQ (v.getSectorMaximum (0), (MaxValue { -3.0f, true }));
    EXPECT_EQ (v.getBlockMaximum (0), (MaxValue { -1.0f, true }));
    EXPECT_EQ (v.getOverallMaximum(), (MaxValue { -1.0f, true }));
    EXPECT_EQ (v.getSectorMaximum (1), (MaxValue { -1.0f, false }));
    EXPECT_FALSE (v.getBlockMaximum (1).stale);

    // A higher value makes the sector fresh again.
    v.set (13, 0.5f);
    EXPECT_EQ (v.getSectorMaximum (0), (MaxValue { 0.5f, false }));
    EXPECT_EQ (v.getBlockMaximum (0), (MaxValue { 0.5f, true }));
    EXPECT_EQ (v.getOverallMaximum(), (MaxValue { 0.5f, true }));
}

TEST (SectorisedHistoryVector, HostileIndexAllocatesNothingBeforeTheCapacityError)
{
    SectorisedHistoryVector v (48000.0f);
    v.set (3, -1.0f);
    const auto before = v.memoryBytes();

    for (std::uint64_t index : { v.getCapacity(), std::uint64_t { 1 } << 62, std::numeric_limits<std::uint64_t>::max() })
    {
        EXPECT_THROW (v.set (index, -2.0f), std::runtime_error) << index;
        const float one = 0.0f;
        EXPECT_THROW (v.setRange (index, &one, 1), std::runtime_error) << index;
    }

    EXPECT_EQ (v.memoryBytes(), before);
    EXPECT_EQ (v.getBlockSlotCount(), 1u);
    EXPECT_EQ (v.getMaxIndex(), 3u);
    EXPECT_EQ (v.getOverallMaximum(), (MaxValue { -1.0f, false }));
}

// setRange must be indistinguishable from a sequence of set calls, also for the
// empty marker, minus infinity, NaN, repeated maxima and ranges across sector
// and block boundaries.
TEST (SectorisedHistoryVector, SetRangeMatchesSetPerValue)
{
    for (unsigned seed = 1; seed <= 4; ++seed)
    {
        std::mt19937 rng (seed);
        const float palette[] = { inf, -inf, std::numeric_limits<float>::quiet_NaN(), -3.0f, -6.0f, 0.0f, -0.5f };
        std::uniform_int_distribution<int> pick (0, 9);
        std::uniform_real_distribution<float> level (-40.0f, 3.0f);

        SectorisedHistoryVector perValue (48000.0f, 3000, 300);
        SectorisedHistoryVector bulk (48000.0f, 3000, 300);

        for (int op = 0; op < 200; ++op)
        {
            const auto start = std::uniform_int_distribution<std::uint64_t> (0, 12000) (rng);
            const auto count = std::uniform_int_distribution<std::size_t> (0, 3500) (rng);
            std::vector<float> values (count);

            for (auto& x : values)
            {
                const int p = pick (rng);
                x = p < 7 ? palette[p] : level (rng);
            }

            for (std::size_t i = 0; i < count; ++i)
                perValue.set (start + i, values[i]);

            bulk.setRange (start, values.data(), count);
        }

        SCOPED_TRACE (seed);
        expectSameSeries (perValue, bulk);
    }
}

TEST (SectorisedHistoryVector, SetRangeStoresUpToTheCapacityThenThrows)
{
    SectorisedHistoryVector perValue (48000.0f);
    SectorisedHistoryVector bulk (48000.0f);
    const auto last = bulk.getCapacity() - 1;
    const std::vector<float> values { -1.0f, -2.0f, -3.0f };

    EXPECT_NO_THROW (perValue.set (last - 1, values[0]));
    EXPECT_NO_THROW (perValue.set (last, values[1]));
    EXPECT_THROW (perValue.set (last + 1, values[2]), std::runtime_error);
    EXPECT_THROW (bulk.setRange (last - 1, values.data(), values.size()), std::runtime_error);

    EXPECT_EQ (bulk.get (last - 1), -1.0f);
    EXPECT_EQ (bulk.get (last), -2.0f);
    EXPECT_EQ (bulk.getMaxIndex(), last);
    EXPECT_EQ (bulk.getOverallMaximum(), perValue.getOverallMaximum());
}

// ---------------------------------------------------------------------------
// Serialisation

TEST (SectorisedHistoryVector, WriteToLayoutIsByteExact)
{
    SectorisedHistoryVector v (48000.0f);
    v.set (20000, -3.5f);

    std::string expected;
    appendInt64 (expected, 20001);
    appendInt64 (expected, 2);
    appendInt64 (expected, 15000);
    expected.push_back (0);
    expected.push_back (1);
    for (int i = 15000; i < 20000; ++i)
        appendFloat (expected, inf);
    appendFloat (expected, -3.5f);

    // Spot-check the encoding itself, independently of the helpers above.
    ASSERT_EQ (expected.size(), 24u + 2u + 5001u * 4u);
    EXPECT_EQ (expected.substr (0, 8), std::string ("\x21\x4e\0\0\0\0\0\0", 8));
    EXPECT_EQ (expected.substr (26, 4), std::string ("\0\0\x80\x7f", 4));
    EXPECT_EQ (expected.substr (expected.size() - 4), std::string ("\0\0\x60\xc0", 4));

    EXPECT_EQ (serialise (v), expected);
    EXPECT_EQ (v.serialisedSize(), expected.size());
}

TEST (SectorisedHistoryVector, EmptyVectorAndEmptyBlocksSerialise)
{
    SectorisedHistoryVector empty (48000.0f);
    std::string expected;
    appendInt64 (expected, 1);
    appendInt64 (expected, 0);
    appendInt64 (expected, 15000);
    EXPECT_EQ (serialise (empty), expected);
    EXPECT_EQ (empty.serialisedSize(), 24u);

    SectorisedHistoryVector restored (48000.0f);
    EXPECT_EQ (readInto (restored, expected), "");
    EXPECT_EQ (restored.getMaxIndex(), 0u);
    EXPECT_EQ (restored.getBlockSlotCount(), 0u);
}

TEST (SectorisedHistoryVector, RoundTripReproducesValuesMaxIndexAndMaxima)
{
    SectorisedHistoryVector original (44100.0f);
    std::mt19937 rng (7);
    std::uniform_real_distribution<float> level (-60.0f, 0.0f);

    for (std::uint64_t i = 0; i < 15000; i += 3)
        original.set (i, level (rng));
    for (std::uint64_t i = 45000; i < 47000; ++i)     // block 3; blocks 1 and 2 stay absent
        original.set (i, level (rng));
    original.set (46000, -inf);
    original.set (100, 1.0f);                          // overwrite
    original.set (15000 * 300 + 7, -2.0f);             // block 300, in group 1

    const auto bytes = serialise (original);
    SectorisedHistoryVector restored (44100.0f);
    ASSERT_EQ (readInto (restored, bytes), "");

    // Reference for the maxima: the stored values written with set in index order.
    SectorisedHistoryVector reference (44100.0f);
    for (std::uint64_t k = 0; k < original.getBlockSlotCount(); ++k)
    {
        if (original.hasBlock (k))
            for (std::uint64_t i = k * 15000; i < (k + 1) * 15000 && i <= original.getMaxIndex(); ++i)
                reference.set (i, original.get (i));
    }

    for (std::uint64_t i = 0; i <= original.getMaxIndex() + 1; ++i)
        ASSERT_TRUE (sameBits (restored.get (i), original.get (i))) << i;

    EXPECT_EQ (restored.getMaxIndex(), original.getMaxIndex());
    EXPECT_FALSE (restored.hasBlock (1));
    EXPECT_FALSE (restored.hasBlock (2));
    EXPECT_TRUE (restored.hasBlock (300));
    expectSameSeries (restored, reference);
    EXPECT_EQ (serialise (restored), bytes);
    EXPECT_EQ (original.serialisedSize(), bytes.size());
}

TEST (SectorisedHistoryVector, ReadFromRejectsOtherBlockSizeAndLeavesVectorUnchanged)
{
    SectorisedHistoryVector source (48000.0f, 10000, 1000);
    source.set (12, -4.0f);

    SectorisedHistoryVector v (48000.0f);
    v.set (20000, -3.5f);
    const auto before = serialise (v);

    EXPECT_EQ (readInto (v, serialise (source)), blockSizeMessage);
    EXPECT_EQ (serialise (v), before);
    EXPECT_EQ (v.getOverallMaximum(), (MaxValue { -3.5f, false }));
}

TEST (SectorisedHistoryVector, ReadFromStoresIntoExistingData)
{
    SectorisedHistoryVector source (48000.0f);
    source.set (5, -1.0f);

    SectorisedHistoryVector v (48000.0f);
    v.set (30000, -2.0f);
    ASSERT_EQ (readInto (v, serialise (source)), "");

    EXPECT_EQ (v.get (5), -1.0f);
    EXPECT_EQ (v.get (30000), -2.0f);
    EXPECT_EQ (v.getMaxIndex(), 30000u);
}

// ---------------------------------------------------------------------------
// Damaged and hostile input

/** A stream with blocks 0 and 2 present (block 1 absent), blockSize 3000. */
std::string smallSession()
{
    SectorisedHistoryVector v (48000.0f, 3000, 300);
    for (std::uint64_t i = 0; i < 3000; ++i)
        v.set (i, -static_cast<float> (i % 97));
    for (std::uint64_t i = 6000; i < 7000; ++i)
        v.set (i, -1.0f);
    return serialise (v);
}

TEST (SectorisedHistoryVector, TruncatedStreamKeepsWhatWasRead)
{
    const auto full = smallSession();
    const std::size_t block0Data = 24 + 1;                 // first float of block 0
    const std::size_t block2Data = block0Data + 3000 * 4 + 1 + 1;

    struct Case { std::size_t length; std::uint64_t valuesKept; std::uint64_t expectedMaxIndex; };
    const Case cases[] = {
        { 0, 0, 0 },
        { 23, 0, 0 },                                   // inside the header
        { 24, 0, 0 },                                   // before the first flag
        { block0Data, 0, 0 },                           // flag read, no values
        { block0Data + 4 * 100 + 2, 100, 99 },          // half a float after 100 values
        { block2Data - 1, 3000, 2999 },                 // block 0 complete, flag of block 2 missing
        { block2Data + 4 * 10, 3010, 6009 },            // 10 values of block 2
    };

    for (const auto& c : cases)
    {
        SectorisedHistoryVector v (48000.0f, 3000, 300);
        EXPECT_EQ (readInto (v, full.substr (0, c.length)), truncatedMessage) << c.length;
        EXPECT_EQ (v.getMaxIndex(), c.expectedMaxIndex) << c.length;

        const auto kept0 = std::min<std::uint64_t> (c.valuesKept, 3000);
        for (std::uint64_t i = 0; i < 3000; ++i)
            ASSERT_EQ (v.get (i), i < kept0 ? -static_cast<float> (i % 97) : inf) << c.length << " @" << i;
        for (std::uint64_t i = 6000; i < 7000; ++i)
            ASSERT_EQ (v.get (i), i - 6000 + 3000 < c.valuesKept ? -1.0f : inf) << c.length << " @" << i;
    }
}

TEST (SectorisedHistoryVector, HostileHeadersAreBoundedByTheData)
{
    constexpr auto big = std::numeric_limits<std::int64_t>::max();
    const std::uint64_t capacity = std::uint64_t { 1025 } * 256 * 15000;
    const std::int64_t slotCapacity = 1025 * 256;

    struct Case
    {
        const char* name;
        std::int64_t length, count;
        std::string body;
        std::string message;
    };

    const Case cases[] = {
        { "huge count", 10, big, std::string (16, '\0'), "Could not load history: history block count in session data is out of range." },
        { "negative count", 10, -1, "", "Could not load history: history block count in session data is out of range." },
        { "huge length", big, 1, "\x01", "Could not load history: history length in session data is out of range." },
        { "negative length", -5, 1, "\x01", "Could not load history: history length in session data is out of range." },
        { "count at capacity, few flags", 10, slotCapacity, std::string (100, '\0'), truncatedMessage },
        { "length at capacity, short block", static_cast<std::int64_t> (capacity), 3, std::string ("\x01") + std::string (40, '\x11'), truncatedMessage },
        { "every slot present, no data", static_cast<std::int64_t> (capacity), slotCapacity, std::string (50, '\x01'), truncatedMessage },
    };

    for (const auto& c : cases)
    {
        std::string bytes;
        appendInt64 (bytes, c.length);
        appendInt64 (bytes, c.count);
        appendInt64 (bytes, 15000);
        bytes += c.body;

        SectorisedHistoryVector v (48000.0f);
        EXPECT_EQ (readInto (v, bytes), c.message) << c.name;
        EXPECT_LE (v.getAllocatedBlockCount(), 1u) << c.name;
        EXPECT_LT (v.memoryBytes(), std::size_t { 200000 }) << c.name;
    }
}

TEST (SectorisedHistoryVector, BitFlippedStreamsFailCleanlyWithinTheirData)
{
    const auto good = smallSession();
    const std::uint64_t blockBytes = 3000 * 4;

    auto check = [&] (std::size_t bit)
    {
        auto bytes = good;
        bytes[bit / 8] = static_cast<char> (bytes[bit / 8] ^ (1 << (bit % 8)));

        SectorisedHistoryVector v (48000.0f, 3000, 300);
        const auto message = readInto (v, bytes);   // any std::runtime_error is acceptable

        if (! message.empty())
        {
            EXPECT_EQ (message.rfind ("Could not load history: ", 0), 0u) << "bit " << bit << ": " << message;
        }

        // Only the block holding the last announced value may be partial; every
        // other stored block came with a full block of data.
        EXPECT_LE (v.getAllocatedBlockCount(), bytes.size() / blockBytes + 1) << "bit " << bit;
    };

    // Every bit of the header and of the first flag, then a sample of the rest.
    for (std::size_t bit = 0; bit < 25 * 8; ++bit)
        check (bit);

    std::mt19937 rng (3);
    std::uniform_int_distribution<std::size_t> anyBit (25 * 8, good.size() * 8 - 1);
    for (int i = 0; i < 300; ++i)
        check (anyBit (rng));

    // The flag of block 1 (absent) and of block 2 (present).
    check ((25 + blockBytes) * 8);
    check ((25 + blockBytes + 1) * 8);
}

// ---------------------------------------------------------------------------
// copyFrom

TEST (SectorisedHistoryVector, CopyFromCopiesEveryBlockBelowTheEnd)
{
    SectorisedHistoryVector source (48000.0f);
    for (std::uint64_t i = 0; i < 15000; i += 7)
        source.set (i, -static_cast<float> (i % 50));
    source.set (31000, -2.5f);      // block 2; block 1 absent
    source.set (31000, -1.5f);

    SectorisedHistoryVector copy (48000.0f);
    copy.copyFrom (source);

    EXPECT_EQ (copy.getMaxIndex(), 31000u);
    EXPECT_FALSE (copy.hasBlock (1));
    for (std::uint64_t i = 0; i <= 31001; ++i)
        ASSERT_TRUE (sameBits (copy.get (i), source.get (i))) << i;
    EXPECT_EQ (serialise (copy), serialise (source));
    EXPECT_EQ (copy.getBlockMaximum (2), (MaxValue { -1.5f, false }));

    const auto before = serialise (copy);
    copy.copyFrom (copy);
    EXPECT_EQ (serialise (copy), before);
}

} // namespace
} // namespace tarn
