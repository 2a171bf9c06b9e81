#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace tarn
{

/**
    A sparse, growable array of T.

    Storage is allocated in blocks of blockSize elements, and only for the
    blocks that were written; every element never written reads as the fill
    value. Blocks live in groups of groupSize slots; group numbers up to
    maxGroups may be used, so the largest usable index is
    (maxGroups + 1) * groupSize * blockSize - 1.

    Thread safety: every get and set takes the vector's mutex for the single
    access, so one writer and any number of readers may use it at the same
    time. getMaxIndex reads an atomic. Blocks are never freed or moved while
    the vector lives.
*/
template <typename T>
class BlockVector
{
public:
    static constexpr std::uint64_t defaultGroupSize = 256;
    static constexpr std::uint64_t defaultMaxGroups = 1024;

    BlockVector (std::uint64_t blockSizeToUse, T fillValueToUse)
        : blockSize (blockSizeToUse), fillValue (fillValueToUse)
    {
        if (blockSize == 0)
            throw std::invalid_argument ("blockSize must not be 0");

        groups.reserve (static_cast<std::size_t> (maxGroups + 1));
        groups.push_back (makeGroup());
    }

    virtual ~BlockVector() = default;

    BlockVector (const BlockVector&) = delete;
    BlockVector& operator= (const BlockVector&) = delete;

    /** The element at index, or the fill value where nothing was written. */
    T get (std::uint64_t index) const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        const T* block = findBlockLocked (index / blockSize);
        return block != nullptr ? block[index % blockSize] : fillValue;
    }

    /** Stores value at index, creating the block it lives in.
        Throws std::runtime_error "maximum memory capacity reached" (and stores
        nothing) when the index lies beyond the capacity. */
    virtual void set (std::uint64_t index, T value)
    {
        checkCapacity (index);
        const std::lock_guard<std::mutex> lock (mutex);
        T* block = getOrCreateBlockLocked (index / blockSize);
        block[index % blockSize] = value;
        raiseMaxIndex (index);
    }

    /** The largest index written so far, 0 when nothing was written. */
    std::uint64_t getMaxIndex() const noexcept { return maxIndex.load (std::memory_order_acquire); }

    /** Number of block slots: (groups - 1) * groupSize + slots in the last group,
        empty slots included. */
    std::uint64_t getBlockSlotCount() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return blockSlotCountLocked();
    }

    /** Whether block slot b holds a block. */
    bool hasBlock (std::uint64_t b) const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return findBlockLocked (b) != nullptr;
    }

    /** Copies the first count elements (count <= blockSize) of block b into out
        under a single lock. Returns false, leaving out untouched, when the slot
        holds no block. */
    bool readBlock (std::uint64_t b, std::size_t count, T* out) const
    {
        count = std::min<std::size_t> (count, static_cast<std::size_t> (blockSize));
        const std::lock_guard<std::mutex> lock (mutex);
        const T* block = findBlockLocked (b);

        if (block == nullptr)
            return false;

        std::copy (block, block + count, out);
        return true;
    }

    /** Copies count elements from index start (all within one block) into out
        under a single lock; elements of a missing block read as the fill value. */
    void readRange (std::uint64_t start, std::size_t count, T* out) const
    {
        const auto offset = static_cast<std::size_t> (start % blockSize);
        count = std::min<std::size_t> (count, static_cast<std::size_t> (blockSize) - offset);
        const std::lock_guard<std::mutex> lock (mutex);
        const T* block = findBlockLocked (start / blockSize);

        if (block == nullptr)
            std::fill (out, out + count, fillValue);
        else
            std::copy (block + offset, block + offset + count, out);
    }

    /** Number of blocks that hold storage. */
    std::uint64_t getAllocatedBlockCount() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return allocatedBlocks;
    }

    /** Bytes held by this vector: the object, its blocks and its slot tables. */
    std::size_t memoryBytes() const { return sizeof (*this) + heapBytes(); }

    /** Bytes allocated by this vector outside the object itself. */
    std::size_t heapBytes() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        std::size_t bytes = static_cast<std::size_t> (allocatedBlocks * blockSize) * sizeof (T)
                          + groups.capacity() * sizeof (std::unique_ptr<Group>);

        for (const auto& group : groups)
            bytes += sizeof (Group) + group->capacity() * sizeof (std::unique_ptr<T[]>);

        return bytes;
    }

    std::uint64_t getBlockSize() const noexcept { return blockSize; }
    T getFillValue() const noexcept { return fillValue; }

    /** Number of indices the vector can hold. */
    std::uint64_t getCapacity() const noexcept { return (maxGroups + 1) * groupSize * blockSize; }

    const std::uint64_t blockSize;
    const T fillValue;
    const std::uint64_t groupSize = defaultGroupSize;
    const std::uint64_t maxGroups = defaultMaxGroups;

protected:
    /** Throws "maximum memory capacity reached" when index lies beyond the
        capacity. Done before anything grows. */
    void checkCapacity (std::uint64_t index) const
    {
        if (index / blockSize / groupSize > maxGroups)
            throw std::runtime_error ("maximum memory capacity reached");
    }

    /** Stores count values from index start onwards, all within one block,
        under a single lock; same result as calling the plain store per value.
        The caller checks the capacity first. */
    void storeRange (std::uint64_t start, const T* values, std::size_t count)
    {
        if (count == 0)
            return;

        const auto offset = static_cast<std::size_t> (start % blockSize);
        count = std::min<std::size_t> (count, static_cast<std::size_t> (blockSize) - offset);
        const std::lock_guard<std::mutex> lock (mutex);
        T* block = getOrCreateBlockLocked (start / blockSize);
        std::copy (values, values + count, block + offset);
        raiseMaxIndex (start + count - 1);
    }

    /** The plain store of BlockVector::set, for derived classes that replace set. */
    void storeValue (std::uint64_t index, T value)
    {
        BlockVector::set (index, value);
    }

private:
    using Group = std::vector<std::unique_ptr<T[]>>;

    std::unique_ptr<Group> makeGroup() const
    {
        auto group = std::make_unique<Group>();
        group->reserve (static_cast<std::size_t> (groupSize));
        return group;
    }

    const T* findBlockLocked (std::uint64_t b) const
    {
        const auto g = b / groupSize;
        const auto slot = b % groupSize;

        if (g >= groups.size())
            return nullptr;

        const auto& group = *groups[static_cast<std::size_t> (g)];
        return slot < group.size() ? group[static_cast<std::size_t> (slot)].get() : nullptr;
    }

    T* getOrCreateBlockLocked (std::uint64_t b)
    {
        const auto g = static_cast<std::size_t> (b / groupSize);
        const auto slot = static_cast<std::size_t> (b % groupSize);

        while (groups.size() <= g)
            groups.push_back (makeGroup());

        auto& group = *groups[g];

        if (group.size() <= slot)
            group.resize (slot + 1);

        auto& block = group[slot];

        if (block == nullptr)
        {
            block = std::make_unique_for_overwrite<T[]> (static_cast<std::size_t> (blockSize));
            std::fill (block.get(), block.get() + blockSize, fillValue);
            ++allocatedBlocks;
        }

        return block.get();
    }

    std::uint64_t blockSlotCountLocked() const
    {
        return (groups.size() - 1) * groupSize + groups.back()->size();
    }

    void raiseMaxIndex (std::uint64_t index) noexcept
    {
        if (index > maxIndex.load (std::memory_order_relaxed))
            maxIndex.store (index, std::memory_order_release);
    }

    std::vector<std::unique_ptr<Group>> groups;
    std::uint64_t allocatedBlocks = 0;
    mutable std::mutex mutex;
    std::atomic<std::uint64_t> maxIndex { 0 };
};

} // namespace tarn
