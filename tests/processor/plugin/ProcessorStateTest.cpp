#include "ProcessorTestHelpers.h"

#include "processor/SessionState.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace
{
using tarn::HistorySeries;
namespace session = tarn::session;

constexpr HistorySeries allSeries[] { HistorySeries::limitedLevel, HistorySeries::outputLevel,
                                      HistorySeries::gainReduction, HistorySeries::threshold };

struct SeriesCopy
{
    std::vector<float> values[4];
    std::uint64_t maxPosition = 0;
    std::vector<tarn::OverRegion> overRegions;
};

SeriesCopy copyOf (const tarn::HistoryTruePeakBrickWallLimiter& limiter)
{
    SeriesCopy copy;
    for (int k = 0; k < 4; ++k)
    {
        const auto& series = limiter.getSeries (allSeries[k]);
        for (std::uint64_t i = 0; i <= series.getMaxIndex(); ++i)
            copy.values[k].push_back (series.get (i));
    }
    copy.maxPosition = limiter.getMaxPosition();
    copy.overRegions = limiter.copyOverRegions();
    return copy;
}

bool sameValues (const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp (a.data(), b.data(), a.size() * sizeof (float)) == 0;
}

// A processor that has recorded a few seconds of loud audio with a post gain
// that takes the output over 0 dBFS now and then (so there are over regions).
class RecordedSession : public ::testing::Test
{
protected:
    void SetUp() override
    {
        record (processor);
    }

    void record (TarnLimiterAudioProcessor& p, int channels = 2)
    {
        p.setTimelinePositionsSupplied (true);
        if (channels == 1)
        {
            juce::AudioProcessor::BusesLayout mono;
            mono.inputBuses.add (juce::AudioChannelSet::mono());
            mono.outputBuses.add (juce::AudioChannelSet::mono());
            p.setBusesLayout (mono);
        }
        setPlain (p, "Threshold", -3.0f);
        p.prepareToPlay (48000.0, 512);
        p.setPlayHead (&head);
        const int length = 3 * 48000;
        auto loud = tarn::test::toneCluster (48000.0, length, 7, 2.0);
        // Quiet and loud passages: over regions come and go.
        for (int i = 0; i < length; ++i)
            if ((i / 24000) % 2 == 1)
                loud[(size_t) i] *= 0.05f;
        tarn::test::Channels input (1, loud);
        if (channels == 2)
            input.push_back (loud);
        tarn::test::Channels output;
        setPlain (p, "PostGain", 4.0f);
        runBlocks (p, input, 512, output, nullptr, &head);
        waitForHistory (*p.getLimiter());
    }

    juce::MemoryBlock save (TarnLimiterAudioProcessor& p)
    {
        juce::MemoryBlock state;
        p.getStateInformation (state);
        return state;
    }

    std::string blobOf (const juce::MemoryBlock& state)
    {
        const auto parsed = session::readStateBinary (state.getData(), (int) state.getSize());
        std::string blob;
        EXPECT_TRUE (session::decodeBase64 (parsed.sessionText, blob));
        return blob;
    }

    // A state whose session blob is replaced by blob.
    juce::MemoryBlock withBlob (const juce::MemoryBlock& state, const std::string& blob)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (state.getData(), (int) state.getSize());
        juce::MemoryBlock bytes (blob.data(), blob.size());
        xml->setAttribute ("CachedLimitingSession", bytes.toBase64Encoding());
        juce::MemoryBlock out;
        juce::AudioProcessor::copyXmlToBinary (*xml, out);
        return out;
    }

    TestPlayHead head;
    TarnLimiterAudioProcessor processor;
};

TEST_F (RecordedSession, SavingAndLoadingRestoresTheSessionValueForValue)
{
    const auto limiter = processor.getLimiter();
    const auto before = copyOf (*limiter);
    ASSERT_GT (before.values[0].size(), 100u);
    ASSERT_FALSE (before.overRegions.empty());
    ASSERT_GT (before.maxPosition, 0u);

    const auto state = save (processor);
    processor.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_EQ (processor.getLastSessionLoadError(), "");

    const auto restored = processor.getLimiter();
    ASSERT_NE (restored, limiter);
    const auto after = copyOf (*restored);
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE (sameValues (before.values[k], after.values[k])) << "series " << k;
    EXPECT_EQ (after.maxPosition, before.maxPosition);
    EXPECT_EQ (after.overRegions, before.overRegions);

    // The restored limiter runs: the next blocks are limited as before.
    tarn::test::Channels output;
    runBlocks (processor, tarn::test::stereo (tarn::test::toneCluster (48000.0, 9600, 3, 2.0),
                                              tarn::test::toneCluster (48000.0, 9600, 3, 2.0)),
               512, output, nullptr, &head);
    EXPECT_FALSE (processor.hasErrorOccurred());

    // The old limiter is freed on the message thread once no callback runs.
    processor.runTimerTasks();
    EXPECT_EQ (processor.getRetiredLimiterCount(), 0u);
}

TEST_F (RecordedSession, StateIsTheFrameworksXmlWithTheSessionAttributeFirst)
{
    const auto state = save (processor);
    auto xml = juce::AudioProcessor::getXmlFromBinary (state.getData(), (int) state.getSize());
    ASSERT_NE (xml, nullptr);
    EXPECT_TRUE (xml->hasTagName ("TarnLimiterState"));

    const char* order[] { "CachedLimitingSession", "HorizontalScaling", "IsViewExpanded", "VerticalScaling",
                          "IsEmphasisOnTruePeakOutput", "HasCompatibilityMessageBeenShown", "DitherNoiseShape",
                          "IsDitherActive", "WindowWidth", "WindowHeight" };
    ASSERT_EQ (xml->getNumAttributes(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (xml->getAttributeName (i), order[i]);
    EXPECT_EQ (xml->getIntAttribute ("IsViewExpanded"), 1);
    ASSERT_EQ (xml->getNumChildElements(), 1);
    EXPECT_TRUE (xml->getChildElement (0)->hasTagName ("TarnLimiter"));

    // Byte for byte what the framework's copyXmlToBinary writes for it.
    juce::MemoryBlock framework;
    juce::AudioProcessor::copyXmlToBinary (*xml, framework);
    EXPECT_EQ (framework, state);

    // The blob starts with its header.
    const auto blob = blobOf (state);
    ASSERT_GE (blob.size(), 36u);
    std::int32_t magic, version, channels;
    float rate;
    std::memcpy (&magic, blob.data(), 4);
    std::memcpy (&version, blob.data() + 4, 4);
    std::memcpy (&rate, blob.data() + 8, 4);
    std::memcpy (&channels, blob.data() + 16, 4);
    EXPECT_EQ (magic, 96465424);
    EXPECT_EQ (version, 2);
    EXPECT_EQ (rate, 48000.0f);
    EXPECT_EQ (channels, 2);
}

TEST_F (RecordedSession, ViewStateDitherAndParametersComeBack)
{
    auto view = processor.getViewState();
    view.horizontalScaling = 120.0f;
    view.verticalScaling = 9.5f;
    view.isViewExpanded = false;
    view.isEmphasisOnTruePeakOutput = true;
    view.hasCompatibilityMessageBeenShown = true;
    view.windowWidth = 1024;
    view.windowHeight = 700;
    processor.setViewState (view);
    processor.setDitherNoiseShape (2);
    processor.setIsDitherActive (true);
    setPlain (processor, "ReleaseCurve", 3.0f);
    const auto state = save (processor);

    TarnLimiterAudioProcessor fresh;
    fresh.prepareToPlay (48000.0, 512);
    fresh.setStateInformation (state.getData(), (int) state.getSize());
    const auto got = fresh.getViewState();
    EXPECT_EQ (got.horizontalScaling, 120.0f);
    EXPECT_EQ (got.verticalScaling, 9.5f);
    EXPECT_FALSE (got.isViewExpanded);
    EXPECT_TRUE (got.isEmphasisOnTruePeakOutput);
    EXPECT_TRUE (got.hasCompatibilityMessageBeenShown);
    EXPECT_EQ (got.windowWidth, 1024);
    EXPECT_EQ (got.windowHeight, 700);
    EXPECT_EQ (fresh.getDitherNoiseShape(), 2);
    EXPECT_EQ (fresh.getDither()->getNoiseShape(), 2);
    EXPECT_TRUE (fresh.getIsDitherActive());
    EXPECT_EQ (fresh.getMirror().releaseCurve, 3);
    EXPECT_FLOAT_EQ (fresh.getMirror().threshold, -3.0f);
    EXPECT_FLOAT_EQ (fresh.getMirror().postGain, 4.0f);
}

// The failure rows: what survives when the session part goes wrong. The
// attributes and parameters are restored in every row.
struct FailureRow
{
    const char* name;
    std::function<std::string (std::string)> damage;
    const char* message;
    bool newLimiter;
};

class SessionFailureTest : public RecordedSession, public ::testing::WithParamInterface<FailureRow>
{
};

std::string patchInt32 (std::string blob, std::size_t offset, std::int32_t value)
{
    std::memcpy (blob.data() + offset, &value, 4);
    return blob;
}

std::string patchFloat (std::string blob, std::size_t offset, float value)
{
    std::memcpy (blob.data() + offset, &value, 4);
    return blob;
}

std::string patchInt64 (std::string blob, std::size_t offset, std::int64_t value)
{
    std::memcpy (blob.data() + offset, &value, 8);
    return blob;
}

TEST_P (SessionFailureTest, KeepsWhatTheRowSays)
{
    const auto& row = GetParam();
    const auto state = save (processor);
    const auto damaged = withBlob (state, row.damage (blobOf (state)));

    const auto running = processor.getLimiter();
    setPlain (processor, "Threshold", -12.0f); // the state's -3 dB must come back
    processor.setStateInformation (damaged.getData(), (int) damaged.getSize());

    EXPECT_EQ (processor.getLastSessionLoadError(), row.message);
    if (row.newLimiter)
        EXPECT_NE (processor.getLimiter(), running);
    else
        EXPECT_EQ (processor.getLimiter(), running);
    EXPECT_FLOAT_EQ (processor.getMirror().threshold, -3.0f);

    // Whatever was kept still runs.
    tarn::test::Channels output;
    runBlocks (processor, tarn::test::stereo (std::vector<float> (2048, 0.1f), std::vector<float> (2048, 0.1f)),
               512, output, nullptr, &head);
    EXPECT_FALSE (processor.hasErrorOccurred());
}

INSTANTIATE_TEST_SUITE_P (Rows, SessionFailureTest, ::testing::Values (
    FailureRow { "BadMagic", [] (std::string b) { return patchInt32 (b, 0, 12345); },
                 "File is not in the expected format", false },
    FailureRow { "OtherVersion", [] (std::string b) { return patchInt32 (b, 4, 3); },
                 "File has been saved using a different version of the software", false },
    FailureRow { "ChannelCountDiffers", [] (std::string b) { return patchInt32 (b, 16, 1); },
                 "Session has been saved with 1 channels but plugin is loaded with 2 channels", false },
    FailureRow { "ZeroChannels", [] (std::string b) { return patchInt32 (b, 16, 0); },
                 "Session has been saved with 0 channels but plugin is loaded with 2 channels", false },
    FailureRow { "SeriesBlockSizeDiffers", [] (std::string b) { return patchInt64 (b, 36 + 16, 14999); },
                 "Could not load history: history blocksize in session file doesn't match history blocksize in meter.", true },
    FailureRow { "Truncated", [] (std::string b) { return b.substr (0, b.size() / 2); },
                 "Could not load history: session data is truncated.", true },
    FailureRow { "TinySampleRate", [] (std::string b) { return patchFloat (b, 8, 1.0e-34f); },
                 "Session data is damaged: sample rate out of range", false },
    FailureRow { "NaNSampleRate", [] (std::string b) { return patchFloat (b, 8, std::nanf ("")); },
                 "Session data is damaged: sample rate out of range", false },
    FailureRow { "NegativeBlockSize", [] (std::string b) { return patchInt32 (b, 12, -512); },
                 "Session data is damaged: block size out of range", false },
    FailureRow { "ZeroLookahead", [] (std::string b) { return patchFloat (b, 20, 0.0f); },
                 "Session data is damaged: lookahead time out of range", false },
    FailureRow { "AveragingLongerThanLookahead", [] (std::string b) { return patchFloat (b, 24, 90.0f); },
                 "Session data is damaged: averaging time out of range", false },
    FailureRow { "HugeLargestPosition", [] (std::string b) { return patchInt64 (b, 28, std::int64_t (1) << 62); },
                 "Session data is damaged: largest position out of range", false },
    FailureRow { "HugeRegionCount", [] (std::string b)
                 {
                     // The count sits 8 + 16 R bytes before the end.
                     std::int64_t r;
                     std::memcpy (&r, b.data() + b.size() - 8 - 16 * 0, 8);
                     for (std::int64_t guess = 0; guess < 1000; ++guess)
                     {
                         std::memcpy (&r, b.data() + b.size() - 8 - 16 * (std::size_t) guess, 8);
                         if (r == guess)
                             return patchInt64 (b, b.size() - 8 - 16 * (std::size_t) guess, std::int64_t (1) << 40);
                     }
                     return b;
                 },
                 "Session data is damaged: over-region count out of range", true }),
    [] (const auto& info) { return std::string (info.param.name); });

TEST_F (RecordedSession, MonoStateInAStereoInstanceKeepsTheRunningLimiterButTheSettings)
{
    TarnLimiterAudioProcessor mono;
    TestPlayHead monoHead;
    record (mono, 1);
    setPlain (mono, "ReleaseCurve", 4.0f);
    const auto state = save (mono);

    const auto running = processor.getLimiter();
    processor.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_EQ (processor.getLimiter(), running);
    EXPECT_EQ (processor.getLastSessionLoadError(), "Session has been saved with 1 channels but plugin is loaded with 2 channels");
    EXPECT_EQ (processor.getMirror().releaseCurve, 4);
}

TEST_F (RecordedSession, AnUnknownHostThatDoesNotSupplyPositionsCachesNoSession)
{
    processor.setTimelinePositionsSupplied (false);
    EXPECT_FALSE (processor.isHostSupported());
    const auto state = save (processor);
    auto xml = juce::AudioProcessor::getXmlFromBinary (state.getData(), (int) state.getSize());
    ASSERT_NE (xml, nullptr);
    EXPECT_TRUE (xml->hasAttribute ("CachedLimitingSession"));
    EXPECT_EQ (xml->getStringAttribute ("CachedLimitingSession"), "");

    // Loading it elsewhere keeps that instance's limiter and history.
    TarnLimiterAudioProcessor other;
    TestPlayHead otherHead;
    record (other);
    const auto running = other.getLimiter();
    other.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_EQ (other.getLimiter(), running);
}

TEST_F (RecordedSession, NoPlayHeadMeansNoCachedSessionForGood)
{
    processor.setPlayHead (nullptr);
    tarn::test::Channels output;
    runBlocks (processor, tarn::test::stereo (std::vector<float> (512), std::vector<float> (512)), 512, output);
    const auto state = save (processor);
    auto xml = juce::AudioProcessor::getXmlFromBinary (state.getData(), (int) state.getSize());
    EXPECT_EQ (xml->getStringAttribute ("CachedLimitingSession"), "");

    processor.setPlayHead (&head);
    runBlocks (processor, tarn::test::stereo (std::vector<float> (512), std::vector<float> (512)), 512, output);
    xml = juce::AudioProcessor::getXmlFromBinary (save (processor).getData(), (int) save (processor).getSize());
    EXPECT_EQ (xml->getStringAttribute ("CachedLimitingSession"), "");
}

TEST_F (RecordedSession, ForeignOrBrokenDocumentsChangeNothing)
{
    const auto running = processor.getLimiter();
    setPlain (processor, "Threshold", -7.0f);
    const auto horizontal = processor.getViewState().horizontalScaling;

    juce::XmlElement other ("SomethingElse");
    other.setAttribute ("HorizontalScaling", 3.0);
    juce::MemoryBlock foreign;
    juce::AudioProcessor::copyXmlToBinary (other, foreign);

    const std::string garbage = "not a state at all";
    for (const auto& bytes : { foreign, juce::MemoryBlock (garbage.data(), garbage.size()), juce::MemoryBlock() })
    {
        processor.setStateInformation (bytes.getData(), (int) bytes.getSize());
        EXPECT_EQ (processor.getLimiter(), running);
        EXPECT_EQ (processor.getViewState().horizontalScaling, horizontal);
        EXPECT_FLOAT_EQ (processor.getMirror().threshold, -7.0f);
    }
}

TEST_F (RecordedSession, DeeplyNestedDocumentsAreRefusedWithoutOverflowingTheStack)
{
    const auto running = processor.getLimiter();
    for (const char* root : { "<TarnLimiterState CachedLimitingSession=\"\">", "<TarnLimiterState>" })
    {
        std::string xml = std::string ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") + root;
        for (int i = 0; i < 200000; ++i)
            xml += "<a>";
        xml += "</TarnLimiterState>";
        juce::MemoryBlock state;
        const juce::uint32 header[] { 0x21324356, (juce::uint32) xml.size() };
        state.append (header, sizeof (header));
        state.append (xml.data(), xml.size() + 1);
        processor.setStateInformation (state.getData(), (int) state.getSize());
        EXPECT_EQ (processor.getLimiter(), running);
    }
}

TEST_F (RecordedSession, DocumentsTheXmlParserCannotTakeAreRefused)
{
    // Found by fuzzing: a processing instruction inside an element made the
    // framework's parser loop for ever; bytes that are not UTF-8 made it read
    // past the end of its buffer (seen under AddressSanitizer).
    const auto running = processor.getLimiter();
    const std::string documents[] {
        "<TarnLimiterState><?x?>b</TarnLimiterState>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><TarnLimiterState CachedLimitingSession=\"\"><?x?>b</TarnLimiterState>",
        "<r\xea",
        "<TarnLimiterState HorizontalScaling=\"3\xf0\x9f\"/>",
        std::string ("<TarnLimiterState HorizontalScaling=\"3\"/>\0<\xea", 45),
    };
    for (const auto& xml : documents)
    {
        juce::MemoryBlock state;
        const juce::uint32 header[] { 0x21324356, (juce::uint32) xml.size() };
        state.append (header, sizeof (header));
        state.append (xml.data(), xml.size() + 1);
        processor.setStateInformation (state.getData(), (int) state.getSize());
        EXPECT_EQ (processor.getLimiter(), running);
        EXPECT_NE (processor.getViewState().horizontalScaling, 3.0f);
    }
}

TEST_F (RecordedSession, HostileValuesInAttributesAndParametersAreKeptSane)
{
    const auto before = processor.getViewState();
    auto xml = juce::AudioProcessor::getXmlFromBinary (save (processor).getData(), (int) save (processor).getSize());
    xml->setAttribute ("HorizontalScaling", "nan");
    xml->setAttribute ("VerticalScaling", -4.0);
    xml->setAttribute ("WindowWidth", 2000000000);
    xml->setAttribute ("WindowHeight", -3);
    for (auto* p : xml->getChildElement (0)->getChildIterator())
    {
        if (p->getStringAttribute ("id") == "Threshold")
            p->setAttribute ("value", "nan");
        if (p->getStringAttribute ("id") == "PreGain")
            p->setAttribute ("value", 1.0e30);
    }
    juce::MemoryBlock state;
    juce::AudioProcessor::copyXmlToBinary (*xml, state);
    processor.setStateInformation (state.getData(), (int) state.getSize());

    const auto view = processor.getViewState();
    EXPECT_EQ (view.horizontalScaling, before.horizontalScaling);
    EXPECT_EQ (view.verticalScaling, before.verticalScaling);
    EXPECT_EQ (view.windowWidth, 16384);
    EXPECT_EQ (view.windowHeight, 100);
    EXPECT_TRUE (std::isfinite (processor.getMirror().threshold));
    EXPECT_FLOAT_EQ (processor.getMirror().preGain, 20.0f);
}

TEST_F (RecordedSession, CorruptedStatesNeverCrashAndKeepTheProcessorRunning)
{
    const auto state = save (processor);
    const auto blob = blobOf (state);
    std::mt19937 random (7);
    tarn::test::Channels output;
    const auto block = tarn::test::stereo (std::vector<float> (512, 0.2f), std::vector<float> (512, 0.2f));

    for (int round = 0; round < 120; ++round)
    {
        juce::MemoryBlock damaged;
        switch (round % 4)
        {
            case 0: // bit flips in the blob
            {
                auto b = blob;
                for (int k = 0; k < 1 + round % 5; ++k)
                    b[random() % b.size()] ^= (char) (1 << (random() % 8));
                damaged = withBlob (state, b);
                break;
            }
            case 1: // bit flips anywhere in the state's bytes
            {
                damaged = state;
                auto* bytes = static_cast<char*> (damaged.getData());
                for (int k = 0; k < 1 + round % 7; ++k)
                    bytes[random() % damaged.getSize()] ^= (char) (1 << (random() % 8));
                break;
            }
            case 2: // truncated blob
                damaged = withBlob (state, blob.substr (0, random() % blob.size()));
                break;
            default: // truncated state
                damaged = juce::MemoryBlock (state.getData(), random() % state.getSize());
                break;
        }
        processor.setStateInformation (damaged.getData(), (int) damaged.getSize());
        ASSERT_NE (processor.getLimiter(), nullptr);
        runBlocks (processor, block, 512, output, nullptr, &head);
        processor.runTimerTasks();
    }
    EXPECT_FALSE (processor.hasErrorOccurred()) << processor.getErrorMessage();
}

TEST (Base64, MatchesTheFrameworksTextBothWays)
{
    std::mt19937 random (3);
    for (std::size_t size : { 0, 1, 2, 3, 4, 5, 6, 7, 31, 32, 33, 1000, 1001, 1002 })
    {
        std::string bytes (size, '\0');
        for (auto& b : bytes)
            b = (char) random();
        const juce::MemoryBlock block (bytes.data(), bytes.size());
        const auto text = session::encodeBase64 (bytes.data(), bytes.size());
        EXPECT_EQ (juce::String (text), block.toBase64Encoding()) << size;

        std::string decoded;
        ASSERT_TRUE (session::decodeBase64 (text, decoded));
        EXPECT_EQ (decoded, bytes);
    }

    // Characters outside the alphabet: skipped or zero, as the framework does.
    for (const char* text : { "5.ab cd,e-fgh", "3.\"x/yz", "0.", "2.A.b" })
    {
        juce::MemoryBlock framework;
        ASSERT_TRUE (framework.fromBase64Encoding (text));
        std::string ours;
        ASSERT_TRUE (session::decodeBase64 (text, ours)) << text;
        EXPECT_EQ (ours, std::string (static_cast<const char*> (framework.getData()), framework.getSize())) << text;
    }
}

TEST (Base64, RefusesCountsTheTextCannotHold)
{
    // The framework would allocate whatever the count says.
    std::string bytes;
    for (const char* text : { "99999999999.abcd", "4294967297.", "-5.abcd", "7.abcd", "4.", "no dot at all", "" })
        EXPECT_FALSE (session::decodeBase64 (text, bytes)) << text;
    EXPECT_TRUE (session::decodeBase64 ("3.abcd", bytes));
}

TEST (UserSettings, LiveWhereTheFrameworkPutsThemAndSeedTheNextInstance)
{
    const auto expected = juce::File ("~/TarnLimiter2/TarnLimiter2.settings");
    {
        TarnLimiterAudioProcessor first;
        ASSERT_NE (first.getUserSettingsFile(), nullptr);
        EXPECT_EQ (first.getUserSettingsFile()->getFile(), expected);
        first.prepareToPlay (44100.0, 256);
        auto view = first.getViewState();
        view.horizontalScaling = 75.0f;
        view.verticalScaling = 12.0f;
        view.isViewExpanded = false;
        view.isEmphasisOnTruePeakOutput = true;
        first.setViewState (view);
        juce::MemoryBlock state;
        first.getStateInformation (state);
    }
    EXPECT_TRUE (expected.existsAsFile());

    TarnLimiterAudioProcessor second;
    const auto view = second.getViewState();
    EXPECT_EQ (view.horizontalScaling, 75.0f);
    EXPECT_EQ (view.verticalScaling, 12.0f);
    EXPECT_FALSE (view.isViewExpanded);
    EXPECT_TRUE (view.isEmphasisOnTruePeakOutput);
}

} // namespace
