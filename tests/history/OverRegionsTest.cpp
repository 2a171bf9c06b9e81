#include "history/OverRegions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

using namespace tarn;

namespace
{
    constexpr std::uint64_t slot = 960; // 20 ms at 48 kHz

    struct Step
    {
        std::uint64_t position;
        float valueDb;
    };

    struct Case
    {
        const char* name;
        std::vector<Step> steps;
        std::vector<OverRegion> expected;
    };

    std::vector<OverRegion> apply (const std::vector<Step>& steps)
    {
        OverRegions regions (slot);
        for (const auto& s : steps)
            regions.update (s.position, s.valueDb);
        return regions.copy();
    }
}

TEST (OverRegions, MergeAndSplitSlotBySlot)
{
    const std::vector<Step> threeOver { { 960, 1.0f }, { 1920, 0.5f }, { 2880, 2.0f } };
    auto with = [&] (std::vector<Step> more)
    {
        auto all = threeOver;
        all.insert (all.end(), more.begin(), more.end());
        return all;
    };

    const Case cases[] = {
        { "nothing", {}, {} },
        { "points at or below 0 dB start nothing", { { 960, 0.0f }, { 1920, -3.0f } }, {} },
        { "three consecutive over slots form one region", threeOver, { { 960, 2880 } } },
        { "the middle slot replayed under splits it", with ({ { 1920, -1.0f } }), { { 960, 1919 }, { 2880, 2880 } } },
        { "replaying it over again heals the split", with ({ { 1920, -1.0f }, { 1920, 1.0f } }), { { 960, 2880 } } },
        { "the first slot replayed under", with ({ { 960, -1.0f } }), { { 1920, 2880 } } },
        { "the last slot replayed under", with ({ { 2880, -1.0f } }), { { 960, 2879 } } },
        { "every slot replayed under removes the region", with ({ { 960, -1.0f }, { 1920, -1.0f }, { 2880, -1.0f } }), {} },
        { "the same slots replayed under in reverse", with ({ { 2880, -1.0f }, { 1920, -1.0f }, { 960, -1.0f } }), {} },
        { "an under point just past a region leaves it alone", { { 960, 1.0f }, { 1920, -1.0f } }, { { 960, 960 } } },
        { "one free slot keeps regions apart", { { 960, 1.0f }, { 2880, 1.0f } }, { { 960, 960 }, { 2880, 2880 } } },
        { "filling the free slot joins them", { { 960, 1.0f }, { 2880, 1.0f }, { 1920, 1.0f } }, { { 960, 2880 } } },
        { "out of order points stay sorted",
          { { 5760, 1.0f }, { 960, 1.0f }, { 3840, 1.0f } },
          { { 960, 960 }, { 3840, 3840 }, { 5760, 5760 } } },
        { "a point between two regions joins the right one",
          { { 5760, 1.0f }, { 960, 1.0f }, { 3840, 1.0f }, { 4800, 1.0f } },
          { { 960, 960 }, { 3840, 5760 } } },
        { "an over point inside a region changes nothing", with ({ { 1920, 3.0f } }), { { 960, 2880 } } },
        { "position 0", { { 0, 1.0f }, { 960, 1.0f }, { 0, -1.0f } }, { { 960, 960 } } },
    };

    for (const auto& c : cases)
        EXPECT_EQ (apply (c.steps), c.expected) << c.name;
}

// Whatever order the slots are replayed in, a slot lies in a region exactly
// when its last point was over, and consecutive over slots share one region.
TEST (OverRegions, RegionsAlwaysMatchTheLastValueOfEverySlot)
{
    std::mt19937 random (7);
    constexpr int slots = 40;

    for (int trial = 0; trial < 300; ++trial)
    {
        OverRegions regions (slot);
        std::vector<bool> over (slots, false);
        std::uniform_int_distribution<int> pick (0, slots - 1);
        // Mostly sequential runs (playback) with jumps (relocation, loops).
        int k = pick (random);

        for (int step = 0; step < 200; ++step)
        {
            if (random() % 8 == 0)
                k = pick (random);
            const bool isOver = random() % 3 != 0;
            regions.update ((std::uint64_t) k * slot, isOver ? 0.5f : -0.5f);
            over[(size_t) k] = isOver;
            k = (k + 1) % slots;

            const auto list = regions.copy();
            auto regionOf = [&] (int s) -> int
            {
                for (size_t r = 0; r < list.size(); ++r)
                    if (list[r].start <= (std::uint64_t) s * slot && (std::uint64_t) s * slot <= list[r].end)
                        return (int) r;
                return -1;
            };

            for (size_t r = 1; r < list.size(); ++r)
                ASSERT_GT (list[r].start, list[r - 1].end + slot) << "trial " << trial << " step " << step;
            for (const auto& r : list)
                ASSERT_LE (r.start, r.end);

            int runs = 0;
            for (int s = 0; s < slots; ++s)
            {
                ASSERT_EQ (regionOf (s) >= 0, (bool) over[(size_t) s]) << "trial " << trial << " step " << step << " slot " << s;
                if (s > 0 && over[(size_t) s] && over[(size_t) s - 1])
                {
                    ASSERT_EQ (regionOf (s), regionOf (s - 1));
                }
                runs += over[(size_t) s] && (s == 0 || ! over[(size_t) s - 1]) ? 1 : 0;
            }
            ASSERT_EQ ((int) list.size(), runs);
        }
    }
}
