#include "history/SectorisedHistoryVector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

namespace tarn
{
namespace
{

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr std::uint64_t valueCount = 40000;   // three blocks
constexpr int passes = 6;
constexpr int readerCount = 3;

/** The value the writer stores at index in a pass; decodable by the readers. */
float valueFor (int pass, std::uint64_t index)
{
    return -static_cast<float> (index % 1000) - 1000.0f * static_cast<float> (pass);
}

/** Whether v is something the writer can have stored at index (or nothing yet). */
bool plausible (float v, std::uint64_t index)
{
    if (v == inf)
        return true;

    const float pass = (-v - static_cast<float> (index % 1000)) / 1000.0f;
    return pass >= 0.0f && pass < passes && pass == std::floor (pass);
}

// One writer (set, setRange and copyFrom, as the history worker and a limiter
// replacement do) against readers using get, getMaxIndex, hasDataBetween, the
// maxima and writeTo. Run under ThreadSanitizer to check the locking; the
// assertions check that readers only ever see whole, written values.
TEST (SectorisedHistoryVectorConcurrency, OneWriterManyReaders)
{
    SectorisedHistoryVector series (48000.0f);
    SectorisedHistoryVector copy (48000.0f);
    std::atomic<bool> writing { true };
    std::atomic<int> implausible { 0 };
    std::atomic<int> badStreams { 0 };
    std::atomic<int> readersStarted { 0 };

    std::thread writer ([&]
    {
        while (readersStarted.load() < readerCount)
            std::this_thread::yield();

        std::vector<float> chunk (700);

        for (int pass = 0; pass < passes; ++pass)
        {
            for (std::uint64_t i = 0; i < valueCount;)
            {
                if ((i / 700) % 2 == 0)
                {
                    series.set (i, valueFor (pass, i));
                    ++i;
                }
                else
                {
                    const auto n = std::min<std::uint64_t> (chunk.size(), valueCount - i);
                    for (std::uint64_t j = 0; j < n; ++j)
                        chunk[j] = valueFor (pass, i + j);
                    series.setRange (i, chunk.data(), n);
                    i += n;
                }
            }

            copy.copyFrom (series);
        }

        writing = false;
    });

    auto pointReader = [&] (std::uint64_t stride)
    {
        std::uint64_t lastMax = 0;
        std::uint64_t index = 0;
        ++readersStarted;

        while (writing)
        {
            const auto max = series.getMaxIndex();
            if (max < lastMax)
                ++implausible;
            lastMax = max;

            for (int n = 0; n < 64; ++n, index = (index + stride) % (valueCount + 100))
            {
                if (! plausible (series.get (index), index) || ! plausible (copy.get (index), index))
                    ++implausible;
            }

            (void) series.hasDataBetween (0, 700000);
            (void) series.getOverallMaximum();
            (void) series.getBlockMaximum (index / 15000);
            (void) series.getSectorMaximum (index / 1500);
        }
    };

    auto streamReader = [&]
    {
        ++readersStarted;

        do
        {
            std::stringstream stream (std::ios::in | std::ios::out | std::ios::binary);
            series.writeTo (stream);

            SectorisedHistoryVector restored (48000.0f);

            try
            {
                restored.readFrom (stream);
            }
            catch (const std::exception&)
            {
                ++badStreams;
                continue;
            }

            for (std::uint64_t i = 0; i <= restored.getMaxIndex(); i += 97)
                if (! plausible (restored.get (i), i))
                    ++implausible;
        }
        while (writing);
    };

    std::thread readerA (pointReader, 7);
    std::thread readerB (pointReader, 1499);
    std::thread readerC (streamReader);

    writer.join();
    readerA.join();
    readerB.join();
    readerC.join();

    EXPECT_EQ (implausible.load(), 0);
    EXPECT_EQ (badStreams.load(), 0);
    EXPECT_EQ (series.getMaxIndex(), valueCount - 1);

    for (std::uint64_t i = 0; i < valueCount; ++i)
    {
        ASSERT_EQ (series.get (i), valueFor (passes - 1, i)) << i;
        ASSERT_EQ (copy.get (i), valueFor (passes - 1, i)) << i;
    }
}

} // namespace
} // namespace tarn
