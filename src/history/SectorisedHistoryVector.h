#pragma once

#include "history/HistoryVector.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <vector>

namespace tarn
{

/** A running maximum; stale once the value it was taken from has been overwritten. */
struct MaxValue
{
    float value;
    bool stale;

    friend bool operator== (const MaxValue&, const MaxValue&) = default;
};

/**
    One history series: a HistoryVector that keeps running maxima per sector of
    sectorSize values, per block and overall.

    Thread safety: one writer (set, setRange, readFrom, copyFrom) and any number
    of readers (get, getMaxIndex, hasDataBetween, writeTo, the maxima getters)
    at the same time. Writers are serialised by the series mutex, which is
    always taken before the mutexes of the block vectors.

    Serialised form (writeTo / readFrom), little-endian, on binary std streams:
        int64 length L (getMaxIndex() + 1), int64 block slot count B,
        int64 block size Z, then per slot k < B a one-byte flag (1 = the slot
        holds a block) followed, for a present block, by the float32 values at
        indices k * Z ... min ((k + 1) * Z, L) - 1.
*/
class SectorisedHistoryVector : public HistoryVector
{
public:
    static constexpr std::uint64_t defaultSectorSize = 1500;

    /** Throws std::runtime_error "blockSize needs to be a multiple of sectorSize!"
        when blockSize is not a multiple of sectorSize. */
    explicit SectorisedHistoryVector (float sampleRate,
                                      std::uint64_t blockSize = defaultBlockSize,
                                      std::uint64_t sectorSize = defaultSectorSize);

    /** Stores the value and keeps the maxima up to date. */
    void set (std::uint64_t index, float value) override;

    /** Stores count values from index start onwards. Same values and maxima as
        calling set for each index in ascending order, but with one lock per
        sector instead of several per value. Throws "maximum memory capacity
        reached" at the first index beyond the capacity, after storing the
        values before it (as the sequence of set calls would). */
    void setRange (std::uint64_t start, const float* values, std::size_t count);

    /** Writes the series in its serialised form. The slot count and the length
        are taken first; each block's values are copied under one lock. Write
        failures are left in the stream's state; writing stops at the first one. */
    void writeTo (std::ostream& out) const;

    /** Bytes the next writeTo will write if nothing is stored in between; lets
        a caller size its output buffer once instead of growing it. */
    std::uint64_t serialisedSize() const;

    /** Reads a series written by writeTo and stores every value of a present
        block (the empty marker included) as set would, rebuilding the maxima.

        Throws std::runtime_error:
        - "Could not load history: history blocksize in session file doesn't match
          history blocksize in meter." when the block size differs; nothing is stored;
        - "Could not load history: session data is truncated." when the data ends
          early; the values read before that point are kept;
        - "Could not load history: history length in session data is out of range."
          or "... history block count in session data is out of range." for a
          negative length or count or one beyond the capacity; nothing is stored.
        Reading never goes past the data the header announces and never
        allocates more than the data read justifies. */
    void readFrom (std::istream& in);

    /** Copies every value of other's blocks below other.getMaxIndex() + 1, one
        lock on other per block. Copying a vector into itself does nothing. */
    void copyFrom (const SectorisedHistoryVector& other);

    /** Maximum of sector s (block * sectorsPerBlock + sector within the block). */
    MaxValue getSectorMaximum (std::uint64_t s) const;

    /** Maximum of block b; {empty, false} for a block never written. */
    MaxValue getBlockMaximum (std::uint64_t b) const;

    /** Maximum of the whole series and whether it is stale. */
    MaxValue getOverallMaximum() const;

    std::uint64_t getSectorSize() const noexcept { return sectorSize; }
    std::uint64_t getSectorsPerBlock() const noexcept { return sectorsPerBlock; }

    /** Bytes held by the series: values, sector maxima, block maxima. */
    std::size_t memoryBytes() const;

    const float emptyValue = emptyMarker;

private:
    void applyChunkLocked (std::uint64_t start, const float* values, std::size_t count);
    void ensureBlockMaximumLocked (std::uint64_t b);

    const std::uint64_t sectorSize;
    const std::uint64_t sectorsPerBlock;

    BlockVector<MaxValue> sectorMaxima;
    std::vector<MaxValue> perBlockMaxima;
    float overallMax = emptyMarker;
    bool overallStale = false;

    std::vector<float> previousValues; // scratch for setRange, sectorSize values
    mutable std::mutex sectorMutex;
};

} // namespace tarn
