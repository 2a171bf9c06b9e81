#include "processor/LimiterHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{
// Stands in for a limiter: knows on which thread it died, and whether it was
// used after its death.
struct Tracked
{
    explicit Tracked (int i) : id (i) {}
    ~Tracked()
    {
        alive = false;
        if (std::this_thread::get_id() == audioThread.load())
            diedOnAudioThread.fetch_add (1);
        destroyed.fetch_add (1);
    }

    int use() const
    {
        if (! alive)
            usedAfterDeath.fetch_add (1);
        return id;
    }

    const int id;
    std::atomic<bool> alive { true };

    static inline std::atomic<std::thread::id> audioThread {};
    static inline std::atomic<int> diedOnAudioThread { 0 };
    static inline std::atomic<int> usedAfterDeath { 0 };
    static inline std::atomic<int> destroyed { 0 };
};

using Handle = tarn::LimiterHandle<Tracked>;

TEST (LimiterHandle, SwapAndInstallFollowTheStateRules)
{
    Handle handle;
    EXPECT_EQ (handle.current(), nullptr);

    handle.install (std::make_shared<Tracked> (1));
    EXPECT_EQ (handle.current()->id, 1);
    EXPECT_EQ (handle.pending(), nullptr);

    EXPECT_TRUE (handle.beginSwap (std::make_shared<Tracked> (2)));
    EXPECT_FALSE (handle.beginSwap (std::make_shared<Tracked> (3))); // a swap is already pending
    EXPECT_EQ (handle.pending()->id, 2);

    {
        Handle::AudioAccess access (handle);
        EXPECT_EQ (access.getCurrent()->id, 1);
        EXPECT_EQ (access.getPending()->id, 2);
        EXPECT_TRUE (access.completeSwap());
        EXPECT_EQ (access.getCurrent()->id, 2);
    }
    EXPECT_EQ (handle.current()->id, 2);
    EXPECT_FALSE (handle.isSwapPending());

    // An install cancels a pending swap: the installed limiter stays.
    EXPECT_TRUE (handle.beginSwap (std::make_shared<Tracked> (4)));
    {
        Handle::AudioAccess access (handle);
        handle.install (std::make_shared<Tracked> (5));
        EXPECT_FALSE (access.completeSwap());
        // The access still sees what it started with, alive.
        EXPECT_EQ (access.getCurrent()->use(), 2);
        EXPECT_EQ (handle.retiredCount(), 1u); // kept while the access is open
    }
    handle.collectRetired();
    EXPECT_EQ (handle.retiredCount(), 0u);
    EXPECT_EQ (handle.current()->id, 5);
    EXPECT_FALSE (handle.isSwapPending());
}

TEST (LimiterHandle, ReplacedLimitersAreNeverDestroyedOnTheAudioThreadNorUsedAfterDeath)
{
    Handle handle;
    handle.install (std::make_shared<Tracked> (0));
    Tracked::diedOnAudioThread = 0;
    Tracked::usedAfterDeath = 0;

    std::atomic<bool> stop { false };
    std::atomic<int> swaps { 0 };
    std::thread audio ([&]
    {
        Tracked::audioThread = std::this_thread::get_id();
        while (! stop.load())
        {
            Handle::AudioAccess access (handle);
            if (auto* current = access.getCurrent())
                current->use();
            if (auto* pending = access.getPending())
            {
                pending->use();
                if (access.completeSwap())
                    swaps.fetch_add (1);
            }
        }
    });

    // The message thread replaces, resets and reads while the audio runs.
    for (int i = 1; i < 3000; ++i)
    {
        if (i % 3 == 0)
            handle.install (std::make_shared<Tracked> (i));
        else
            handle.beginSwap (std::make_shared<Tracked> (i));
        if (auto copy = handle.current())
            copy->use();
        handle.collectRetired();
        std::this_thread::sleep_for (std::chrono::microseconds (50));
    }
    stop = true;
    audio.join();
    handle.collectRetired();

    EXPECT_GT (swaps.load(), 0);
    EXPECT_EQ (Tracked::diedOnAudioThread.load(), 0);
    EXPECT_EQ (Tracked::usedAfterDeath.load(), 0);
    EXPECT_EQ (handle.retiredCount(), 0u);
}

} // namespace
