#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarn
{

// The processor's handle on its limiters: the one in use and, while a
// history reset fades in, the fresh one running beside it.
//
// Two slots hold the limiters. A state word names the slot in use (bit 0),
// whether a swap is pending (bit 1) and counts every change (the bits above),
// so that an audio callback can tell whether what it saw is still so.
//
// - The message thread replaces the limiter in use (install), starts a swap
//   (beginSwap) and reads shared copies (current, pending). Any thread may read.
// - The audio thread takes an AudioAccess for the duration of one callback: it
//   sees plain pointers, touches no reference count, and completes a pending
//   swap with one compare-and-exchange of the state word.
//
// The message-side operations (install, beginSwap, collectRetired) are
// serialised by a mutex that the audio thread never takes: in a plug-in the
// framework's message thread (timers, the editor) is not always the thread on
// which the host calls prepareToPlay or restores a state.
//
// A limiter taken out of a slot is never destroyed where it was replaced: it
// waits in a retired list until the message thread sees no audio access open
// (collectRetired, also run by install and beginSwap), so a limiter's
// destruction, and the join of its worker thread, never happens on the audio
// thread. An audio access that starts after a replacement sees the new
// limiter, so once the count of open accesses has been seen at zero after the
// replacement, nobody can still be using the old one.
template <typename Limiter>
class LimiterHandle
{
public:
    using Pointer = std::shared_ptr<Limiter>;

    LimiterHandle() = default;
    ~LimiterHandle() = default;
    LimiterHandle (const LimiterHandle&) = delete;
    LimiterHandle& operator= (const LimiterHandle&) = delete;

    // Shared copies; null when the slot is empty.
    Pointer current() const { return owners[state.load() & currentBit].load(); }
    Pointer pending() const
    {
        const auto s = state.load();
        return (s & pendingBit) != 0 ? owners[(s & currentBit) ^ 1u].load() : Pointer();
    }
    bool isSwapPending() const noexcept { return (state.load() & pendingBit) != 0; }

    // Makes fresh the limiter in use. A pending swap is cancelled first, so a
    // limiter installed here (a restored session, a rebuilt limiter) is not
    // replaced by a reset that was fading in. Message thread.
    void install (Pointer fresh)
    {
        const std::lock_guard<std::mutex> lock (messageSide);
        auto s = state.load();
        while (! state.compare_exchange_weak (s, nextGeneration (s) | (s & currentBit)))
        {
        }

        publish (s & currentBit, std::move (fresh));
    }

    // Puts fresh beside the limiter in use and marks the swap pending. Returns
    // false (and keeps fresh out) when a swap is already pending. Message thread.
    bool beginSwap (Pointer fresh)
    {
        const std::lock_guard<std::mutex> lock (messageSide);
        auto s = state.load();
        if ((s & pendingBit) != 0)
            return false;

        publish ((s & currentBit) ^ 1u, std::move (fresh));
        return state.compare_exchange_strong (s, nextGeneration (s) | pendingBit | (s & currentBit));
    }

    // Frees the retired limiters when no audio access is open. Message thread.
    void collectRetired()
    {
        const std::lock_guard<std::mutex> lock (messageSide);
        collectRetiredLocked();
    }

    std::size_t retiredCount() const
    {
        const std::lock_guard<std::mutex> lock (messageSide);
        return retired.size();
    }

    // Audio thread: the limiters of one callback.
    class AudioAccess
    {
    public:
        explicit AudioAccess (LimiterHandle& h) noexcept : handle (h)
        {
            handle.openAccesses.fetch_add (1);
            observed = handle.state.load();
            current = handle.raw[observed & currentBit].load();
            if ((observed & pendingBit) != 0)
                pending = handle.raw[(observed & currentBit) ^ 1u].load();
        }

        ~AudioAccess() { handle.openAccesses.fetch_sub (1); }

        AudioAccess (const AudioAccess&) = delete;
        AudioAccess& operator= (const AudioAccess&) = delete;

        Limiter* getCurrent() const noexcept { return current; }
        Limiter* getPending() const noexcept { return pending; }

        // Makes the pending limiter the one in use and keeps the old one in
        // the other slot. Fails when the message thread cancelled the swap or
        // replaced a limiter since this access began.
        bool completeSwap() noexcept
        {
            if (pending == nullptr)
                return false;
            auto expected = observed;
            if (! handle.state.compare_exchange_strong (expected, nextGeneration (observed) | ((observed & currentBit) ^ 1u)))
                return false;
            std::swap (current, pending);
            pending = nullptr;
            return true;
        }

    private:
        LimiterHandle& handle;
        std::uint32_t observed = 0;
        Limiter* current = nullptr;
        Limiter* pending = nullptr;
    };

private:
    static constexpr std::uint32_t currentBit = 1u;
    static constexpr std::uint32_t pendingBit = 2u;
    static constexpr std::uint32_t generationStep = 4u;

    static std::uint32_t nextGeneration (std::uint32_t s) noexcept
    {
        return (s & ~(currentBit | pendingBit)) + generationStep;
    }

    void publish (std::uint32_t slot, Pointer fresh)
    {
        raw[slot].store (fresh.get());
        auto old = owners[slot].exchange (std::move (fresh));
        if (old != nullptr)
            retired.push_back (std::move (old));
        collectRetiredLocked();
    }

    void collectRetiredLocked()
    {
        if (! retired.empty() && openAccesses.load() == 0)
            retired.clear();
    }

    std::atomic<std::uint32_t> state { 0 };
    std::atomic<Pointer> owners[2];
    std::atomic<Limiter*> raw[2] { nullptr, nullptr };
    std::atomic<int> openAccesses { 0 };
    mutable std::mutex messageSide;
    std::vector<Pointer> retired; // under messageSide
};

} // namespace tarn
