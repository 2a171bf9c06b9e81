#include "analytics/AnalyticsEventQueue.h"

#include "analytics/AnalyticsSetup.h"

#include <juce_core/juce_core.h>

#include <algorithm>
#include <cstring>

namespace tarn
{

namespace
{
    std::size_t roundUpToPowerOfTwo (std::size_t n) noexcept
    {
        std::size_t p = 2;
        while (p < n)
            p <<= 1;
        return p;
    }

    // Copies at most capacity - 1 bytes and a terminator, never splitting a
    // UTF-8 sequence.
    template <std::size_t N>
    void copyText (std::array<char, N>& destination, std::string_view text) noexcept
    {
        auto length = std::min (text.size(), N - 1);
        if (length < text.size())
            while (length > 0 && (static_cast<unsigned char> (text[length]) & 0xC0u) == 0x80u)
                --length;

        std::memcpy (destination.data(), text.data(), length);
        destination[length] = '\0';
    }
} // namespace

AnalyticsEventQueue::AnalyticsEventQueue (std::size_t requestedCapacity)
    : mask (roundUpToPowerOfTwo (requestedCapacity) - 1),
      slots (std::make_unique<Slot[]> (mask + 1))
{
    for (std::size_t i = 0; i <= mask; ++i)
        slots[i].sequence.store (i, std::memory_order_relaxed);
}

AnalyticsEventQueue::~AnalyticsEventQueue() = default;

template <typename Fill>
bool AnalyticsEventQueue::pushWith (Fill&& fill) noexcept
{
    auto position = enqueuePosition.load (std::memory_order_relaxed);

    for (;;)
    {
        auto& slot = slots[position & mask];
        const auto sequence = slot.sequence.load (std::memory_order_acquire);
        const auto difference = static_cast<std::ptrdiff_t> (sequence) - static_cast<std::ptrdiff_t> (position);

        if (difference == 0)
        {
            if (enqueuePosition.compare_exchange_weak (position, position + 1, std::memory_order_relaxed))
            {
                fill (slot.record);
                slot.sequence.store (position + 1, std::memory_order_release);
                return true;
            }
        }
        else if (difference < 0)
        {
            dropped.fetch_add (1, std::memory_order_relaxed);
            return false;
        }
        else
        {
            position = enqueuePosition.load (std::memory_order_relaxed);
        }
    }
}

bool AnalyticsEventQueue::push (std::string_view name, std::string_view label, int eventType) noexcept
{
    return pushWith ([&] (Record& record) noexcept {
        copyText (record.name, name);
        copyText (record.label, label);
        record.eventType = eventType;
        record.labelIsValue = false;
        record.value = 0.0f;
    });
}

bool AnalyticsEventQueue::pushValue (std::string_view name, float value, int eventType) noexcept
{
    return pushWith ([&] (Record& record) noexcept {
        copyText (record.name, name);
        record.label[0] = '\0';
        record.eventType = eventType;
        record.labelIsValue = true;
        record.value = value;
    });
}

std::size_t AnalyticsEventQueue::drain (const std::function<void (const Record&)>& consumer)
{
    std::size_t count = 0;

    for (;;)
    {
        auto& slot = slots[dequeuePosition & mask];
        const auto sequence = slot.sequence.load (std::memory_order_acquire);
        if (static_cast<std::ptrdiff_t> (sequence) - static_cast<std::ptrdiff_t> (dequeuePosition + 1) < 0)
            return count; // empty, or the next record is still being written

        const Record record = slot.record;
        slot.sequence.store (dequeuePosition + mask + 1, std::memory_order_release);
        ++dequeuePosition;
        ++count;

        consumer (record);
    }
}

std::size_t AnalyticsEventQueue::forwardToAnalytics()
{
    return drain ([] (const Record& record) {
        const auto name = juce::String::fromUTF8 (record.name.data());
        const auto label = record.labelIsValue ? juce::String (record.value, 2)
                                               : juce::String::fromUTF8 (record.label.data());
        logAnalyticsEvent (name, label, record.eventType);
    });
}

} // namespace tarn
