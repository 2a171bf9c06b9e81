#pragma once

#include "history/HistoryTruePeakBrickWallLimiter.h"

#include <juce_core/juce_core.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarn::session
{

// The recorded limiting session as the saved state carries it: a binary blob
// (little-endian) with a header, the four history series and the over
// regions, stored base-64 encoded in the state's "CachedLimitingSession"
// attribute.

inline constexpr std::int32_t blobMagic = 0x05BFF210;
inline constexpr std::int32_t blobVersion = 2;
inline constexpr std::uint32_t stateMagic = 0x21324356; // the framework's XML-in-binary marker

// Header of the blob, in file order.
struct Header
{
    float sampleRate = 0.0f;
    std::int32_t blockSize = 0;
    std::int32_t channels = 0;
    float lookaheadMs = 0.0f;
    float averagingMs = 0.0f;
    std::int64_t maxPosition = 0;
};

// Header bounds. Values outside them come only from damaged or hostile data
// and would make the limiter divide by zero or allocate without bound.
inline constexpr float minSampleRate = 8000.0f;
inline constexpr float maxSampleRate = 768000.0f;
inline constexpr std::int32_t maxBlockSize = 1 << 20;
inline constexpr float minLookaheadMs = 1.0f;
inline constexpr float maxLookaheadMs = 50.0f;
inline constexpr float minAveragingMs = 0.1f;

// The blob for a limiter. sampleRate and channels are the processor's. The
// second form reuses blob's storage: a long session is megabytes, and fresh
// memory costs a page fault per 4 KB on first touch.
std::string writeBlob (const HistoryTruePeakBrickWallLimiter& limiter, float sampleRate, int channels);
void writeBlob (const HistoryTruePeakBrickWallLimiter& limiter, float sampleRate, int channels, std::string& blob);

// What loading needs to know about the processor.
struct LoadContext
{
    int processorChannels = 2;  // total input channels
    int blockSize = 512;        // maximum block size for the new limiter
    double preparedSampleRate = 0.0; // the host rate in use, 0 before the first prepareToPlay
    HistoryTruePeakBrickWallLimiter::WorkerMode workerMode = HistoryTruePeakBrickWallLimiter::WorkerMode::ownThread;
};

struct LoadResult
{
    // The limiter built from the blob: null when the blob was refused before
    // one was built (wrong magic, version or channel count, a header out of
    // range); otherwise holding everything read up to the first error.
    std::shared_ptr<HistoryTruePeakBrickWallLimiter> limiter;
    std::string error; // empty when the whole blob was read
};

// Reads a blob. Never throws: the exception that ended reading is in error.
// The limiter is built at the prepared host rate when there is one (so that
// its latency is the one reported to the host); positions stored at another
// rate are converted to it. Before the first prepareToPlay it is built at the
// stored rate.
LoadResult readBlob (std::string_view blob, const LoadContext& context);

// The framework's base-64 text (toBase64Encoding): the decimal byte count, a
// '.', then six bits per character, least significant bits first, in its own
// alphabet. This produces the same text, faster.
std::string encodeBase64 (const void* data, std::size_t size);

// Decodes that text as the framework's fromBase64Encoding does (characters
// outside the alphabet are skipped), but refuses a text whose byte count is
// missing, negative or more than its characters can hold, instead of
// allocating whatever the count says. Returns false when refused.
bool decodeBase64 (std::string_view text, std::string& bytes);

// Replaces destData with the bytes of the framework's copyXmlToBinary for
// root. When root's "CachedLimitingSession" attribute holds
// sessionPlaceholder, the placeholder becomes the base-64 text of blob
// (encoded straight into destData; base-64 needs no XML escaping). Same bytes
// as setting the attribute to the text first, without building the text and
// pushing megabytes through the XML writer one character at a time.
inline constexpr const char* sessionPlaceholder = "@TarnSession@";
void writeStateBinary (const juce::XmlElement& root, std::string_view blob, juce::MemoryBlock& destData);

// The state read back: the XML document (null when the data is not one) and
// the raw value of its root's "CachedLimitingSession" attribute. Takes the
// attribute straight from the bytes when the document starts the way the
// writer above writes it; otherwise parses it like the framework's
// getXmlFromBinary.
struct ParsedState
{
    std::unique_ptr<juce::XmlElement> xml;
    std::string sessionText;
};
ParsedState readStateBinary (const void* data, int sizeInBytes);

} // namespace tarn::session
