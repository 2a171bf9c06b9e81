#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace tarn
{

// Hand-off for analytics events raised on real-time threads (parameter
// automation, caught exceptions). push() neither allocates nor locks nor
// waits: it copies the event into a preallocated fixed-size record of a
// bounded ring (several producers may push; slots carry sequence numbers), or
// drops it and counts the drop when the ring is full. Texts longer than a
// record's field are cut at a character boundary. One consumer, the message
// thread, drains the ring in push order and hands the events to the framework
// (forwardToAnalytics) or to any callback (drain).
class AnalyticsEventQueue
{
public:
    static constexpr std::size_t maxNameBytes = 47;
    static constexpr std::size_t maxLabelBytes = 159;

    struct Record
    {
        std::array<char, maxNameBytes + 1> name {};
        std::array<char, maxLabelBytes + 1> label {};
        int eventType = 0;
        // When set, the label is this value written with two decimals by the
        // consumer (formatting is not done on the producing thread).
        bool labelIsValue = false;
        float value = 0.0f;

        std::string_view nameView() const noexcept { return name.data(); }
        std::string_view labelView() const noexcept { return label.data(); }
    };

    // Allocates all records (message thread). capacity is rounded up to a
    // power of two, at least 2.
    explicit AnalyticsEventQueue (std::size_t capacity = 256);
    ~AnalyticsEventQueue();

    AnalyticsEventQueue (const AnalyticsEventQueue&) = delete;
    AnalyticsEventQueue& operator= (const AnalyticsEventQueue&) = delete;

    // Real-time safe. Return false when the event was dropped.
    bool push (std::string_view name, std::string_view label, int eventType) noexcept;
    bool pushValue (std::string_view name, float value, int eventType) noexcept;

    // Consumer side (one thread at a time). Return the number of events taken.
    std::size_t drain (const std::function<void (const Record&)>& consumer);
    // Sends each event through logAnalyticsEvent (name, label, type).
    std::size_t forwardToAnalytics();

    std::size_t capacity() const noexcept { return mask + 1; }
    uint64_t droppedCount() const noexcept { return dropped.load (std::memory_order_relaxed); }

private:
    struct Slot
    {
        std::atomic<std::size_t> sequence { 0 };
        Record record;
    };

    template <typename Fill>
    bool pushWith (Fill&& fill) noexcept;

    const std::size_t mask;
    std::unique_ptr<Slot[]> slots;
    alignas (64) std::atomic<std::size_t> enqueuePosition { 0 };
    alignas (64) std::size_t dequeuePosition = 0;
    alignas (64) std::atomic<uint64_t> dropped { 0 };
};

} // namespace tarn
