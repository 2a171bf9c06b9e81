#include "processor/SessionState.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <streambuf>

namespace tarn::session
{
namespace
{
// std::ostream onto a std::string, growing it like push_back would.
class StringSink : public std::streambuf
{
public:
    explicit StringSink (std::string& target) : out (target) {}

protected:
    std::streamsize xsputn (const char* s, std::streamsize n) override
    {
        out.append (s, (std::size_t) n);
        return n;
    }

    int_type overflow (int_type c) override
    {
        if (! traits_type::eq_int_type (c, traits_type::eof()))
            out.push_back (traits_type::to_char_type (c));
        return traits_type::not_eof (c);
    }

private:
    std::string& out;
};

// std::istream over bytes that stay where they are.
class ViewSource : public std::streambuf
{
public:
    explicit ViewSource (std::string_view bytes)
    {
        auto* begin = const_cast<char*> (bytes.data());
        setg (begin, begin, begin + bytes.size());
    }

    std::size_t consumed() const noexcept { return (std::size_t) (gptr() - eback()); }
};

template <typename T>
void put (std::string& out, T value)
{
    static_assert (std::is_trivially_copyable_v<T>);
    unsigned char bytes[sizeof (T)];
    std::memcpy (bytes, &value, sizeof (T));
    if constexpr (std::endian::native == std::endian::big)
        std::reverse (bytes, bytes + sizeof (T));
    out.append (reinterpret_cast<const char*> (bytes), sizeof (T));
}

// Reads little-endian numbers; past the end every number reads as 0, as the
// framework's memory streams do.
class Reader
{
public:
    explicit Reader (std::string_view d) : data (d) {}

    template <typename T>
    T get() noexcept
    {
        T value {};
        if (data.size() - position < sizeof (T))
        {
            position = data.size();
            return value;
        }
        unsigned char bytes[sizeof (T)];
        std::memcpy (bytes, data.data() + position, sizeof (T));
        if constexpr (std::endian::native == std::endian::big)
            std::reverse (bytes, bytes + sizeof (T));
        std::memcpy (&value, bytes, sizeof (T));
        position += sizeof (T);
        return value;
    }

    std::string_view rest() const noexcept { return data.substr (position); }
    void skip (std::size_t n) noexcept { position = std::min (data.size(), position + n); }
    std::size_t remaining() const noexcept { return data.size() - position; }

private:
    std::string_view data;
    std::size_t position = 0;
};

constexpr HistorySeries seriesOrder[] { HistorySeries::limitedLevel, HistorySeries::outputLevel,
                                        HistorySeries::gainReduction, HistorySeries::threshold };

[[noreturn]] void damaged (const char* what)
{
    throw std::runtime_error (std::string ("Session data is damaged: ") + what + " out of range");
}

constexpr char base64Alphabet[] = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";

// The framework's decoding: characters from '+' to 'z' carry six bits
// (those outside the alphabet carry zeros), all others are skipped.
struct DecodeTable
{
    signed char value[256];

    constexpr DecodeTable() : value()
    {
        for (auto& v : value)
            v = -1;
        for (int c = '+'; c <= 'z'; ++c)
            value[c] = 0;
        for (int i = 0; i < 64; ++i)
            value[(unsigned char) base64Alphabet[i]] = (signed char) i;
    }
};
constexpr DecodeTable decodeTable;

constexpr std::string_view rootStart = "<TarnLimiterState CachedLimitingSession=\"";

// Texts the framework's XML parser (JUCE 7.0.5) must not see:
// - nesting deeper than maxNesting: it descends recursively, and a document
//   of nothing but nested elements overflowed the stack;
// - a processing instruction inside an element ("<a><?x?>b</a>"): it loops
//   for ever;
// - bytes that are not UTF-8 (or a zero byte inside the text): its character
//   pointer steps over the terminator and reads past the buffer.
// The writer produces none of them; the state nests three deep.
constexpr int maxNesting = 256;

bool isParseable (std::string_view text) noexcept
{
    if (text.find ('\0') != std::string_view::npos
        || ! juce::CharPointer_UTF8::isValidString (text.data(), (int) text.size()))
        return false;

    int depth = 0;
    bool insideElement = false;
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
    {
        if (text[i] == '<')
        {
            const char next = text[i + 1];
            if (next == '/')
                --depth;
            else if (next == '?')
            {
                if (insideElement)
                    return false;
            }
            else if (next != '!')
            {
                insideElement = true;
                if (++depth > maxNesting)
                    return false;
            }
        }
        else if (text[i] == '/' && text[i + 1] == '>')
        {
            --depth;
        }
    }
    return true;
}

std::unique_ptr<juce::XmlElement> parseBounded (std::string_view text)
{
    if (! isParseable (text))
        return {};
    return juce::parseXML (juce::String::fromUTF8 (text.data(), (int) text.size()));
}
} // namespace

void writeBlob (const HistoryTruePeakBrickWallLimiter& limiter, float sampleRate, int channels, std::string& blob)
{
    std::uint64_t expected = 44 + 8;
    for (auto kind : seriesOrder)
        expected += limiter.getSeries (kind).serialisedSize();

    const auto regions = limiter.copyOverRegions();
    expected += 16 * regions.size();

    blob.clear();
    blob.reserve ((std::size_t) expected + 64);

    put (blob, blobMagic);
    put (blob, blobVersion);
    put (blob, sampleRate);
    put (blob, (std::int32_t) limiter.getHostBlockSize());
    put (blob, (std::int32_t) channels);
    put (blob, limiter.getLookaheadMs());
    put (blob, limiter.getAveragingMs());
    put (blob, (std::int64_t) limiter.getMaxPosition());

    {
        StringSink sink (blob);
        std::ostream out (&sink);
        for (auto kind : seriesOrder)
            limiter.getSeries (kind).writeTo (out);
        out.flush();
    }

    put (blob, (std::int64_t) regions.size());
    for (const auto& region : regions)
    {
        put (blob, (std::int64_t) region.start);
        put (blob, (std::int64_t) region.end);
    }
}

std::string writeBlob (const HistoryTruePeakBrickWallLimiter& limiter, float sampleRate, int channels)
{
    std::string blob;
    writeBlob (limiter, sampleRate, channels, blob);
    return blob;
}

LoadResult readBlob (std::string_view blob, const LoadContext& context)
{
    LoadResult result;

    try
    {
        Reader reader (blob);

        if (reader.get<std::int32_t>() != blobMagic)
            throw std::runtime_error ("File is not in the expected format");

        if (reader.get<std::int32_t>() != blobVersion)
            throw std::runtime_error ("File has been saved using a different version of the software");

        Header header;
        header.sampleRate = reader.get<float>();
        header.blockSize = reader.get<std::int32_t>();
        header.channels = reader.get<std::int32_t>();

        if (header.channels != context.processorChannels)
            throw std::runtime_error ("Session has been saved with " + std::to_string (header.channels)
                                      + " channels but plugin is loaded with "
                                      + std::to_string (context.processorChannels) + " channels");
        if (header.channels == 0)
            throw std::runtime_error ("Session has been saved with 0 channels");

        header.lookaheadMs = reader.get<float>();
        header.averagingMs = reader.get<float>();
        header.maxPosition = reader.get<std::int64_t>();

        // Refused before anything is built: the previous limiter stays.
        if (! (header.sampleRate >= minSampleRate && header.sampleRate <= maxSampleRate))
            damaged ("sample rate");
        if (header.blockSize < 1 || header.blockSize > maxBlockSize)
            damaged ("block size");
        if (header.channels < 1 || header.channels > 2)
            damaged ("channel count");
        if (! (header.lookaheadMs >= minLookaheadMs && header.lookaheadMs <= maxLookaheadMs))
            damaged ("lookahead time");
        if (! (header.averagingMs >= minAveragingMs && header.averagingMs <= header.lookaheadMs))
            damaged ("averaging time");

        const double rate = context.preparedSampleRate > 0.0 ? context.preparedSampleRate : (double) header.sampleRate;
        const double positionScale = rate / (double) header.sampleRate;
        const auto toRate = [positionScale, rate, stored = (double) header.sampleRate] (std::int64_t position)
        {
            if (rate == stored)
                return (std::uint64_t) position;
            return (std::uint64_t) std::llround ((double) position * positionScale);
        };

        // Positions beyond what the series can address are damage too.
        const double capacityPositions = (double) SectorisedHistoryVector (header.sampleRate).getCapacity()
                                         * (double) header.sampleRate * 0.02;
        if (header.maxPosition < 0 || (double) header.maxPosition > capacityPositions)
            damaged ("largest position");

        result.limiter = std::make_shared<HistoryTruePeakBrickWallLimiter> (
            std::max (1, context.blockSize), header.channels, (uint16_t) 50, toRate (header.maxPosition), (float) rate,
            header.lookaheadMs, header.averagingMs, context.workerMode);

        ViewSource source (reader.rest());
        std::istream in (&source);
        for (auto kind : seriesOrder)
            result.limiter->getSeries (kind).readFrom (in);
        reader.skip (source.consumed());

        // A blob that ends here holds no regions (the count reads as 0).
        const auto count = reader.get<std::int64_t>();
        if (count < 0 || (std::uint64_t) count > reader.remaining() / 16)
            damaged ("over-region count");

        std::vector<OverRegion> regions;
        regions.reserve ((std::size_t) count);
        for (std::int64_t i = 0; i < count; ++i)
        {
            const auto start = reader.get<std::int64_t>();
            const auto end = reader.get<std::int64_t>();
            if (start < 0 || end < start || (double) end > capacityPositions
                || (! regions.empty() && toRate (start) <= regions.back().end))
                damaged ("over region");
            regions.push_back ({ toRate (start), toRate (end) });
        }
        result.limiter->restoreOverRegions (regions);
    }
    catch (const std::exception& e)
    {
        result.error = e.what();
    }
    catch (...)
    {
        result.error = "Unkown issue";
    }

    return result;
}

namespace
{
std::size_t base64Length (std::size_t size)
{
    return std::to_string (size).size() + 1 + ((size << 3) + 5) / 6;
}

// Writes base64Length (size) characters to d.
void encodeBase64Into (const void* data, std::size_t size, char* d)
{
    const auto* bytes = static_cast<const unsigned char*> (data);
    const std::size_t numChars = ((size << 3) + 5) / 6;
    const auto count = std::to_string (size);
    std::memcpy (d, count.data(), count.size());
    d += count.size();
    *d++ = '.';
    char* const first = d;

    // Three bytes make four characters: bits 0-5, 6-11, 12-17, 18-23 of the
    // little-endian 24-bit group.
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3)
    {
        const std::uint32_t group = (std::uint32_t) bytes[i] | ((std::uint32_t) bytes[i + 1] << 8)
                                    | ((std::uint32_t) bytes[i + 2] << 16);
        d[0] = base64Alphabet[group & 63u];
        d[1] = base64Alphabet[(group >> 6) & 63u];
        d[2] = base64Alphabet[(group >> 12) & 63u];
        d[3] = base64Alphabet[group >> 18];
        d += 4;
    }

    // The last one or two bytes; bits past the end read as zero.
    if (i < size)
    {
        std::uint32_t group = bytes[i];
        if (i + 1 < size)
            group |= (std::uint32_t) bytes[i + 1] << 8;
        const std::size_t left = numChars - (std::size_t) (d - first);
        for (std::size_t k = 0; k < left; ++k)
            d[k] = base64Alphabet[(group >> (6 * k)) & 63u];
    }
}
} // namespace

std::string encodeBase64 (const void* data, std::size_t size)
{
    std::string text (base64Length (size), '\0');
    encodeBase64Into (data, size, text.data());
    return text;
}

bool decodeBase64 (std::string_view text, std::string& bytes)
{
    const auto dot = text.find ('.');
    if (dot == std::string_view::npos)
        return false;

    // The count as the framework's getIntValue reads it: optional spaces and
    // sign, then digits up to the first other character.
    std::size_t p = 0;
    while (p < dot && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n'))
        ++p;
    bool negative = false;
    if (p < dot && (text[p] == '-' || text[p] == '+'))
        negative = text[p++] == '-';

    const auto characters = text.size() - dot - 1;
    const std::uint64_t most = (std::uint64_t) characters * 6 / 8;
    std::uint64_t count = 0;
    for (; p < dot && text[p] >= '0' && text[p] <= '9'; ++p)
    {
        count = count * 10 + (std::uint64_t) (text[p] - '0');
        if (count > most)
            return false;
    }
    if (negative && count != 0)
        return false;

    bytes.assign ((std::size_t) count, '\0');
    auto* out = reinterpret_cast<unsigned char*> (bytes.data());
    const std::size_t size = bytes.size();
    std::size_t written = 0;
    std::uint32_t bits = 0;
    int held = 0;

    for (std::size_t k = dot + 1; k < text.size() && written < size; ++k)
    {
        const int v = decodeTable.value[(unsigned char) text[k]];
        if (v < 0)
            continue;
        bits |= (std::uint32_t) v << held;
        held += 6;
        if (held >= 8)
        {
            out[written++] = (unsigned char) (bits & 0xffu);
            bits >>= 8;
            held -= 8;
        }
    }
    if (held > 0 && written < size)
        out[written] = (unsigned char) (bits & 0xffu);
    return true;
}

void writeStateBinary (const juce::XmlElement& root, std::string_view blob, juce::MemoryBlock& destData)
{
    juce::MemoryOutputStream xmlText;
    root.writeTo (xmlText, juce::XmlElement::TextFormat().singleLine());

    const std::string_view written (static_cast<const char*> (xmlText.getData()), xmlText.getDataSize());
    const std::string marker = std::string ("CachedLimitingSession=\"") + sessionPlaceholder + "\"";
    auto at = written.find (marker);

    std::string_view before = written, after;
    std::size_t sessionLength = 0;
    if (at != std::string_view::npos)
    {
        at += std::strlen ("CachedLimitingSession=\"");
        before = written.substr (0, at);
        after = written.substr (at + std::strlen (sessionPlaceholder));
        sessionLength = base64Length (blob.size());
    }

    // Like copyXmlToBinary, the block ends up holding exactly the state.
    const std::size_t textLength = before.size() + sessionLength + after.size();
    destData.setSize (8 + textLength + 1, false);

    auto* d = static_cast<char*> (destData.getData());
    const auto magic = juce::ByteOrder::swapIfBigEndian (stateMagic);
    const auto length = juce::ByteOrder::swapIfBigEndian ((juce::uint32) textLength);
    std::memcpy (d, &magic, 4);
    std::memcpy (d + 4, &length, 4);
    d += 8;
    // (An empty view may hold a null pointer, which memcpy must not get.)
    if (! before.empty())
        std::memcpy (d, before.data(), before.size());
    d += before.size();
    if (sessionLength > 0)
        encodeBase64Into (blob.data(), blob.size(), d);
    d += sessionLength;
    if (! after.empty())
        std::memcpy (d, after.data(), after.size());
    d[after.size()] = 0;
}

ParsedState readStateBinary (const void* data, int sizeInBytes)
{
    ParsedState parsed;

    if (data == nullptr || sizeInBytes <= 8 || juce::ByteOrder::littleEndianInt (data) != stateMagic)
        return parsed;

    const auto stringLength = (int) juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (data, 4));
    if (stringLength <= 0)
        return parsed;

    const std::string_view text (static_cast<const char*> (data) + 8, (std::size_t) std::min (sizeInBytes - 8, stringLength));

    // The writer's layout: the declaration, then the root with the session
    // as its first attribute. Cut the session out and let the XML parser
    // read the small rest.
    if (text.substr (0, 5) == "<?xml")
    {
        const auto declarationEnd = text.find ("?>");
        auto p = declarationEnd == std::string_view::npos ? text.size() : declarationEnd + 2;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\r' || text[p] == '\n' || text[p] == '\t'))
            ++p;

        if (text.substr (p, rootStart.size()) == rootStart)
        {
            const auto valueStart = p + rootStart.size();
            const auto valueEnd = text.find ('"', valueStart);
            if (valueEnd != std::string_view::npos)
            {
                const auto value = text.substr (valueStart, valueEnd - valueStart);
                if (value.find_first_of ("&<") == std::string_view::npos)
                {
                    std::string rest;
                    rest.reserve (text.size() - value.size());
                    rest.append (text.substr (0, valueStart));
                    rest.append (text.substr (valueEnd));
                    parsed.xml = parseBounded (rest);
                    if (parsed.xml != nullptr)
                        parsed.sessionText.assign (value);
                    return parsed;
                }
            }
        }
    }

    parsed.xml = parseBounded (text);
    if (parsed.xml != nullptr)
        parsed.sessionText = parsed.xml->getStringAttribute ("CachedLimitingSession").toStdString();
    return parsed;
}

} // namespace tarn::session
