#include "history/SectorisedHistoryVector.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <istream>
#include <ostream>
#include <stdexcept>

namespace tarn
{

namespace
{
    static_assert (sizeof (float) == 4 && std::numeric_limits<float>::is_iec559);

    constexpr bool hostIsLittleEndian = std::endian::native == std::endian::little;

    const char* const blockSizeMismatchMessage =
        "Could not load history: history blocksize in session file doesn't match history blocksize in meter.";
    const char* const truncatedMessage = "Could not load history: session data is truncated.";
    const char* const lengthOutOfRangeMessage = "Could not load history: history length in session data is out of range.";
    const char* const countOutOfRangeMessage = "Could not load history: history block count in session data is out of range.";

    std::uint64_t validatedSectorsPerBlock (std::uint64_t blockSize, std::uint64_t sectorSize)
    {
        if (sectorSize == 0 || blockSize % sectorSize != 0)
            throw std::runtime_error ("blockSize needs to be a multiple of sectorSize!");

        return blockSize / sectorSize;
    }

    void writeInt64 (std::ostream& out, std::int64_t value)
    {
        const auto bits = static_cast<std::uint64_t> (value);
        char bytes[8];

        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<char> ((bits >> (8 * i)) & 0xff);

        out.write (bytes, 8);
    }

    bool readInt64 (std::istream& in, std::int64_t& value)
    {
        unsigned char bytes[8];

        if (! in.read (reinterpret_cast<char*> (bytes), 8))
            return false;

        std::uint64_t bits = 0;

        for (int i = 0; i < 8; ++i)
            bits |= static_cast<std::uint64_t> (bytes[i]) << (8 * i);

        value = static_cast<std::int64_t> (bits);
        return true;
    }

    /** Writes count floats as little-endian float32, through bytes (4 * count). */
    void writeFloats (std::ostream& out, const float* values, std::size_t count, std::vector<char>& bytes)
    {
        if constexpr (hostIsLittleEndian)
        {
            out.write (reinterpret_cast<const char*> (values), static_cast<std::streamsize> (count * 4));
        }
        else
        {
            for (std::size_t i = 0; i < count; ++i)
            {
                const auto bits = std::bit_cast<std::uint32_t> (values[i]);

                for (int b = 0; b < 4; ++b)
                    bytes[4 * i + static_cast<std::size_t> (b)] = static_cast<char> ((bits >> (8 * b)) & 0xff);
            }

            out.write (bytes.data(), static_cast<std::streamsize> (count * 4));
        }
    }

    /** Reads up to count little-endian float32 values; returns how many whole
        values were read. */
    std::size_t readFloats (std::istream& in, float* values, std::size_t count, std::vector<char>& bytes)
    {
        char* target = hostIsLittleEndian ? reinterpret_cast<char*> (values) : bytes.data();
        in.read (target, static_cast<std::streamsize> (count * 4));
        const auto got = static_cast<std::size_t> (in.gcount()) / 4;

        if constexpr (! hostIsLittleEndian)
        {
            for (std::size_t i = 0; i < got; ++i)
            {
                std::uint32_t bits = 0;

                for (int b = 0; b < 4; ++b)
                    bits |= static_cast<std::uint32_t> (static_cast<unsigned char> (bytes[4 * i + static_cast<std::size_t> (b)])) << (8 * b);

                values[i] = std::bit_cast<float> (bits);
            }
        }

        return got;
    }

    /** Number of values of block slot k below end. */
    std::size_t valuesInSlot (std::uint64_t k, std::uint64_t blockSize, std::uint64_t end) noexcept
    {
        const auto start = k * blockSize;
        return start < end ? static_cast<std::size_t> (std::min (blockSize, end - start)) : 0;
    }
} // namespace

SectorisedHistoryVector::SectorisedHistoryVector (float sampleRateToUse, std::uint64_t blockSizeToUse, std::uint64_t sectorSizeToUse)
    : HistoryVector (sampleRateToUse, blockSizeToUse),
      sectorSize (sectorSizeToUse),
      sectorsPerBlock (validatedSectorsPerBlock (blockSizeToUse, sectorSizeToUse)),
      sectorMaxima (sectorsPerBlock, MaxValue { emptyMarker, false }),
      previousValues (static_cast<std::size_t> (sectorSizeToUse))
{
}

void SectorisedHistoryVector::ensureBlockMaximumLocked (std::uint64_t b)
{
    if (perBlockMaxima.size() <= b)
        perBlockMaxima.resize (static_cast<std::size_t> (b + 1), MaxValue { emptyValue, false });
}

void SectorisedHistoryVector::set (std::uint64_t index, float value)
{
    const std::lock_guard<std::mutex> lock (sectorMutex);

    // Before anything grows: an index beyond the capacity must not first
    // allocate block maxima for it.
    checkCapacity (index);

    const auto b = index / blockSize;
    const auto s = b * sectorsPerBlock + (index % blockSize) / sectorSize;
    ensureBlockMaximumLocked (b);
    auto& blockMax = perBlockMaxima[static_cast<std::size_t> (b)];

    const float m = sectorMaxima.get (s).value;

    if (value > m || m == emptyValue)
    {
        sectorMaxima.set (s, { value, false });

        if (value > blockMax.value || blockMax.value == emptyValue)
        {
            blockMax.value = value;

            if (value > overallMax || overallMax == emptyValue)
                overallMax = value;
        }
    }

    if (get (index) == m && m != emptyValue)
    {
        auto sector = sectorMaxima.get (s);
        sector.stale = true;
        sectorMaxima.set (s, sector);
        blockMax.stale = true;
        overallStale = true;
    }

    storeValue (index, value);
}

void SectorisedHistoryVector::setRange (std::uint64_t start, const float* values, std::size_t count)
{
    const std::lock_guard<std::mutex> lock (sectorMutex);
    std::size_t done = 0;

    while (done < count)
    {
        const auto index = start + done;
        checkCapacity (index);
        const auto toSectorEnd = static_cast<std::size_t> (sectorSize - (index % blockSize) % sectorSize);
        const auto n = std::min (count - done, toSectorEnd);
        applyChunkLocked (index, values + done, n);
        done += n;
    }
}

// Runs the algorithm of set over count values of one sector, keeping the
// sector, block and overall maxima in locals, then stores the values and the
// sector maximum with one lock each. The caller holds sectorMutex and has
// checked the capacity.
void SectorisedHistoryVector::applyChunkLocked (std::uint64_t start, const float* values, std::size_t count)
{
    const auto b = start / blockSize;
    const auto s = b * sectorsPerBlock + (start % blockSize) / sectorSize;
    ensureBlockMaximumLocked (b);

    readRange (start, count, previousValues.data());

    auto sector = sectorMaxima.get (s);
    auto blockMax = perBlockMaxima[static_cast<std::size_t> (b)];
    auto overall = overallMax;
    auto stale = overallStale;
    bool sectorChanged = false;

    for (std::size_t i = 0; i < count; ++i)
    {
        const float value = values[i];
        const float m = sector.value;

        if (value > m || m == emptyValue)
        {
            sector = { value, false };
            sectorChanged = true;

            if (value > blockMax.value || blockMax.value == emptyValue)
            {
                blockMax.value = value;

                if (value > overall || overall == emptyValue)
                    overall = value;
            }
        }

        if (previousValues[i] == m && m != emptyValue)
        {
            sector.stale = true;
            sectorChanged = true;
            blockMax.stale = true;
            stale = true;
        }
    }

    if (sectorChanged)
        sectorMaxima.set (s, sector);

    perBlockMaxima[static_cast<std::size_t> (b)] = blockMax;
    overallMax = overall;
    overallStale = stale;

    storeRange (start, values, count);
}

void SectorisedHistoryVector::writeTo (std::ostream& out) const
{
    const auto end = getMaxIndex() + 1;
    const auto count = getBlockSlotCount();

    writeInt64 (out, static_cast<std::int64_t> (end));
    writeInt64 (out, static_cast<std::int64_t> (count));
    writeInt64 (out, static_cast<std::int64_t> (blockSize));

    std::vector<float> values (static_cast<std::size_t> (blockSize));
    std::vector<char> bytes (hostIsLittleEndian ? 0 : values.size() * 4);

    for (std::uint64_t k = 0; k < count && out; ++k)
    {
        const auto n = valuesInSlot (k, blockSize, end);
        const bool present = readBlock (k, n, values.data());
        out.put (present ? 1 : 0);

        if (present && n > 0)
            writeFloats (out, values.data(), n, bytes);
    }
}

std::uint64_t SectorisedHistoryVector::serialisedSize() const
{
    const auto end = getMaxIndex() + 1;
    const auto count = getBlockSlotCount();
    std::uint64_t bytes = 3 * 8 + count;

    for (std::uint64_t k = 0; k < count; ++k)
        if (hasBlock (k))
            bytes += 4 * valuesInSlot (k, blockSize, end);

    return bytes;
}

void SectorisedHistoryVector::readFrom (std::istream& in)
{
    std::int64_t end = 0, count = 0, sessionBlockSize = 0;

    if (! readInt64 (in, end) || ! readInt64 (in, count) || ! readInt64 (in, sessionBlockSize))
        throw std::runtime_error (truncatedMessage);

    if (sessionBlockSize < 0 || static_cast<std::uint64_t> (sessionBlockSize) != blockSize)
        throw std::runtime_error (blockSizeMismatchMessage);

    // A header that announces more than the vector could ever hold is
    // rejected before anything is stored. Within the capacity, every slot
    // costs at least one byte of input and every stored value four, so the
    // loop below ends with the data and allocates only for values it read.
    if (end < 0 || static_cast<std::uint64_t> (end) > getCapacity())
        throw std::runtime_error (lengthOutOfRangeMessage);

    if (count < 0 || static_cast<std::uint64_t> (count) > (maxGroups + 1) * groupSize)
        throw std::runtime_error (countOutOfRangeMessage);

    const auto length = static_cast<std::uint64_t> (end);
    const auto slots = static_cast<std::uint64_t> (count);
    std::vector<float> values (static_cast<std::size_t> (blockSize));
    std::vector<char> bytes (hostIsLittleEndian ? 0 : values.size() * 4);

    for (std::uint64_t k = 0; k < slots; ++k)
    {
        const auto flag = in.get();

        if (flag == std::istream::traits_type::eof())
            throw std::runtime_error (truncatedMessage);

        if (flag == 0)
            continue;

        const auto n = valuesInSlot (k, blockSize, length);

        if (n == 0)
            continue;

        const auto got = readFloats (in, values.data(), n, bytes);
        setRange (k * blockSize, values.data(), got);

        if (got < n)
            throw std::runtime_error (truncatedMessage);
    }
}

void SectorisedHistoryVector::copyFrom (const SectorisedHistoryVector& other)
{
    if (&other == this)
        return;

    const auto end = other.getMaxIndex() + 1;
    const auto count = other.getBlockSlotCount();
    const auto otherBlockSize = other.blockSize;
    std::vector<float> values (static_cast<std::size_t> (otherBlockSize));

    for (std::uint64_t k = 0; k < count; ++k)
    {
        const auto n = valuesInSlot (k, otherBlockSize, end);

        if (n > 0 && other.readBlock (k, n, values.data()))
            setRange (k * otherBlockSize, values.data(), n);
    }
}

MaxValue SectorisedHistoryVector::getSectorMaximum (std::uint64_t s) const
{
    return sectorMaxima.get (s);
}

MaxValue SectorisedHistoryVector::getBlockMaximum (std::uint64_t b) const
{
    const std::lock_guard<std::mutex> lock (sectorMutex);
    return b < perBlockMaxima.size() ? perBlockMaxima[static_cast<std::size_t> (b)] : MaxValue { emptyValue, false };
}

MaxValue SectorisedHistoryVector::getOverallMaximum() const
{
    const std::lock_guard<std::mutex> lock (sectorMutex);
    return { overallMax, overallStale };
}

std::size_t SectorisedHistoryVector::memoryBytes() const
{
    const std::size_t bytes = sizeof (*this) + heapBytes() + sectorMaxima.heapBytes()
                            + previousValues.capacity() * sizeof (float);

    const std::lock_guard<std::mutex> lock (sectorMutex);
    return bytes + perBlockMaxima.capacity() * sizeof (MaxValue);
}

} // namespace tarn
