#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace tarn
{

// Fixed-capacity first-in-first-out ring. Storage is allocated once, at
// construction, and filled with zeros; push and pop never allocate.
//
// head is the slot popped last and tail the slot pushed last; both start at
// all bits set so that the slot after them, in unsigned 32-bit arithmetic,
// is slot 0.
template <typename T>
class BoundedQueue
{
public:
    explicit BoundedQueue (uint32_t capacityToUse)
        : storage (capacityToUse > 0 ? std::make_unique<T[]> (capacityToUse) : nullptr),
          capacityValue (capacityToUse)
    {
    }

    BoundedQueue (const BoundedQueue&) = delete;
    BoundedQueue& operator= (const BoundedQueue&) = delete;
    BoundedQueue (BoundedQueue&&) noexcept = default;
    BoundedQueue& operator= (BoundedQueue&&) noexcept = default;

    void push (T value)
    {
        if (count == capacityValue)
            throw std::overflow_error ("No more memory left in queue");

        tail = next (tail);
        storage[tail] = value;
        ++count;
    }

    T pop()
    {
        if (count == 0)
            throw std::underflow_error ("Trying to pop from an empty queue");

        head = next (head);
        --count;
        return storage[head];
    }

    const T& front() const
    {
        throwIfEmpty();
        return storage[next (head)];
    }

    const T& back() const
    {
        throwIfEmpty();
        return storage[tail];
    }

    // The largest stored element, scanning from the oldest.
    T maximum() const
    {
        throwIfEmpty();
        auto index = next (head);
        T largest = storage[index];

        for (uint32_t i = 1; i < count; ++i)
        {
            index = next (index);
            if (storage[index] > largest)
                largest = storage[index];
        }

        return largest;
    }

    void clear() noexcept
    {
        count = 0;
        head = tail = allBits;
    }

    uint32_t size() const noexcept { return count; }
    uint32_t capacity() const noexcept { return capacityValue; }
    bool empty() const noexcept { return count == 0; }
    bool full() const noexcept { return count == capacityValue; }

private:
    static constexpr uint32_t allBits = 0xffffffffu;

    // (index + 1) modulo capacity in unsigned 32-bit arithmetic, without the
    // division: all bits set wraps to 0 first.
    uint32_t next (uint32_t index) const noexcept
    {
        const uint32_t following = index + 1u;
        return following >= capacityValue ? 0u : following;
    }

    void throwIfEmpty() const
    {
        if (count == 0)
            throw std::underflow_error ("Trying to read from an empty queue");
    }

    std::unique_ptr<T[]> storage;
    uint32_t count = 0;
    uint32_t capacityValue = 0;
    uint32_t head = allBits;
    uint32_t tail = allBits;
};

} // namespace tarn
