// libFuzzer target for TarnLimiterAudioProcessor::setStateInformation.
//
// One processor lives for the whole run: prepared at 48 kHz, 512 samples,
// stereo, with a play head that supplies timeline positions, and a short
// recorded session, so that every input lands on a running limiter with
// history. After each input the processor must still have a limiter that fits
// it, and one more audio block must run without an error.
//
// The first input byte picks how the rest reaches the processor:
//   even        the session blob, wrapped into a valid state (the recorded
//               state's XML with the blob base-64 encoded in its
//               "CachedLimitingSession" attribute): the mutations go to the
//               blob reader instead of failing the XML parse;
//   1 (mod 4)   the state bytes as the host hands them over;
//   3 (mod 4)   the XML text, with the binary header (magic and length) and
//               the trailing zero added.
//
// Seeds: with TARN_FUZZ_WRITE_SEEDS set to a folder, initialisation writes
// one input of each kind there, taken from the recorded session.

#include "processor/TarnLimiterAudioProcessor.h"
#include "support/TestPlayHead.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{
constexpr double rate = 48000.0;
constexpr int blockSize = 512;
constexpr int recordedBlocks = 48; // half a second: a few dozen values per series

// Two faults of JUCE 7.0.5's XML parser that any state reaching it could
// trigger; the state reader now refuses such documents before parsing. With
// TARN_FUZZ_SKIP_KNOWN_JUCE_BUGS=1 inputs that would show them are skipped
// (for looking past them in a build without that refusal):
// - a processing instruction inside an element, followed by character data
//   ("<a><?x?>b</a>"), makes XmlDocument::readChildElements loop forever (it
//   skips the instruction as white space, finds no '<', rolls back to before
//   it and starts over);
// - text that is not valid UTF-8 ("<r\xea") makes the parser read past the
//   end of its string: CharPointer_UTF8::operator++ steps over as many bytes
//   as a lead byte announces, the terminating zero included.
bool hasInstructionInsideElement (const std::uint8_t* data, size_t size) noexcept
{
    bool insideElement = false;
    for (size_t i = 0; i + 1 < size; ++i)
    {
        if (data[i] != '<')
            continue;
        const auto next = data[i + 1];
        if (next == '?' && insideElement)
            return true;
        if (next != '?' && next != '!' && next != '/')
            insideElement = true;
    }
    return false;
}

// Whether the XML text of a state (after the magic and length) is not valid
// UTF-8. Zero bytes do not end the check: the state reader may cut a part
// holding one out of the text before it is parsed.
bool hasInvalidUtf8Text (const std::uint8_t* data, size_t size) noexcept
{
    if (size <= 8 || juce::ByteOrder::littleEndianInt (data) != 0x21324356u)
        return false;
    const auto length = (int) juce::ByteOrder::littleEndianInt (data + 4);
    if (length <= 0)
        return false;
    const auto* text = data + 8;
    const auto textSize = (size_t) std::min ((int) (size - 8), length);

    for (size_t i = 0; i < textSize;)
    {
        const auto lead = text[i++];
        const int following = lead < 0x80 ? 0 : lead < 0xc0 ? -1 : lead < 0xe0 ? 1 : lead < 0xf0 ? 2 : lead < 0xf8 ? 3 : -1;
        if (following < 0)
            return true;
        for (int k = 0; k < following; ++k, ++i)
            if (i >= textSize || (text[i] & 0xc0) != 0x80)
                return true;
    }
    return false;
}

const bool skipKnownJuceBugs = []
{
    const char* value = std::getenv ("TARN_FUZZ_SKIP_KNOWN_JUCE_BUGS");
    return value != nullptr && std::strcmp (value, "1") == 0;
}();

[[noreturn]] void fail (const char* what, const juce::String& detail = {})
{
    std::fprintf (stderr, "StateFuzzer: %s %s\n", what, detail.toRawUTF8());
    std::fflush (stderr);
    std::abort();
}

struct Fixture
{
    Fixture()
    {
        // The processor reads and writes per-user settings: never the user's.
        char folder[] = "/tmp/tarn-fuzz-home-XXXXXX";
        if (::mkdtemp (folder) != nullptr)
        {
            ::setenv ("HOME", folder, 1);
            home = folder;
        }

        initialiser = std::make_unique<juce::ScopedJuceInitialiser_GUI>();
        processor = std::make_unique<TarnLimiterAudioProcessor>();
        record();
        makeTemplates();
    }

    ~Fixture()
    {
        processor.reset();
        initialiser.reset();
        if (! home.empty())
            juce::File (home).deleteRecursively();
    }

    void setParameter (const char* id, float plain)
    {
        auto* p = processor->getValueTreeState().getParameter (id);
        if (p == nullptr)
            fail ("no parameter", id);
        p->setValueNotifyingHost (p->convertTo0to1 (plain));
    }

    // Loud tones, alternately quiet, with a post gain that takes the output
    // over 0 dBFS now and then: history in all four series and over regions.
    void fillBlock (int index)
    {
        for (int c = 0; c < 2; ++c)
        {
            auto* d = buffer.getWritePointer (c);
            for (int i = 0; i < blockSize; ++i)
            {
                const double t = (double) (index * blockSize + i) / rate;
                const double level = (index / 12) % 2 == 0 ? 1.6 : 0.1;
                d[i] = (float) (level * (0.6 * std::sin (2.0 * juce::MathConstants<double>::pi * 220.0 * t)
                                         + 0.4 * std::sin (2.0 * juce::MathConstants<double>::pi * (1870.0 + 30.0 * c) * t)));
            }
        }
    }

    void record()
    {
        processor->setTimelinePositionsSupplied (true);
        setParameter ("Threshold", -3.0f);
        processor->prepareToPlay (rate, blockSize);
        processor->setPlayHead (&playHead);
        setParameter ("PostGain", 4.0f);

        for (int b = 0; b < recordedBlocks; ++b)
        {
            fillBlock (b);
            processor->processBlock (buffer, midi);
            playHead.position += blockSize;
        }
        resumePosition = playHead.position;

        // Let the limiter's worker store what was measured.
        const auto limiter = processor->getLimiter();
        if (limiter == nullptr)
            fail ("no limiter after recording");
        std::uint64_t last = ~std::uint64_t (0);
        for (int i = 0; i < 40; ++i)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (30));
            const auto now = limiter->getSeries (tarn::HistorySeries::limitedLevel).getMaxIndex();
            if (now == last && i > 2)
                break;
            last = now;
        }
        if (processor->hasErrorOccurred())
            fail ("error while recording:", processor->getErrorMessage());
    }

    // Built with the framework's own calls, so that the wrapping does not
    // depend on the state code under test.
    void makeTemplates()
    {
        processor->getStateInformation (recordedState);
        auto xml = juce::AudioProcessor::getXmlFromBinary (recordedState.getData(), (int) recordedState.getSize());
        juce::MemoryBlock blob;
        if (xml == nullptr || ! blob.fromBase64Encoding (xml->getStringAttribute ("CachedLimitingSession")))
            fail ("the recorded state does not read back");
        recordedBlob.assign (static_cast<const char*> (blob.getData()), blob.getSize());

        // The state's text around its session: the session goes in between.
        const juce::String marker ("FuzzSessionMarker");
        xml->setAttribute ("CachedLimitingSession", marker);
        juce::MemoryBlock framed;
        juce::AudioProcessor::copyXmlToBinary (*xml, framed);
        const std::string text (static_cast<const char*> (framed.getData()) + 8, framed.getSize() - 9);
        const auto at = text.find (marker.toStdString());
        if (at == std::string::npos)
            fail ("no session marker in the state template");
        statePrefix = text.substr (0, at);
        stateSuffix = text.substr (at + (size_t) marker.length());
    }

    void writeSeeds (const char* folder) const
    {
        const juce::File dir (juce::File::getCurrentWorkingDirectory().getChildFile (folder));
        dir.createDirectory();
        const auto write = [&dir] (const char* name, char mode, const void* data, size_t size)
        {
            juce::MemoryBlock bytes (&mode, 1);
            bytes.append (data, size);
            dir.getChildFile (name).replaceWithData (bytes.getData(), bytes.getSize());
        };
        write ("blob", 0, recordedBlob.data(), recordedBlob.size());
        write ("state", 1, recordedState.getData(), recordedState.getSize());
        write ("text", 3, static_cast<const char*> (recordedState.getData()) + 8, recordedState.getSize() - 9);
        std::fprintf (stderr, "StateFuzzer: seeds written to %s (blob %zu bytes, state %zu bytes)\n",
                      dir.getFullPathName().toRawUTF8(), recordedBlob.size(), recordedState.getSize());
    }

    // The framework's binary wrapper around an XML text.
    void frame (const std::string& text, juce::MemoryBlock& out) const
    {
        out.setSize (8 + text.size() + 1, false);
        auto* d = static_cast<char*> (out.getData());
        const auto magic = juce::ByteOrder::swapIfBigEndian ((juce::uint32) 0x21324356);
        const auto length = juce::ByteOrder::swapIfBigEndian ((juce::uint32) text.size());
        std::memcpy (d, &magic, 4);
        std::memcpy (d + 4, &length, 4);
        std::memcpy (d + 8, text.data(), text.size());
        d[8 + text.size()] = 0;
    }

    void run (const std::uint8_t* data, size_t size)
    {
        if (size == 0)
            return;

        const auto mode = data[0];
        const auto* rest = data + 1;
        const auto restSize = size - 1;

        const void* state = rest;
        size_t stateSize = restSize;
        if (mode % 2 == 0)
        {
            const auto session = juce::MemoryBlock (rest, restSize).toBase64Encoding();
            frame (statePrefix + session.toStdString() + stateSuffix, scratch);
            state = scratch.getData();
            stateSize = scratch.getSize();
        }
        else if (mode % 4 == 3)
        {
            frame (std::string (reinterpret_cast<const char*> (rest), restSize), scratch);
            state = scratch.getData();
            stateSize = scratch.getSize();
        }

        if (skipKnownJuceBugs)
        {
            const auto* bytes = static_cast<const std::uint8_t*> (state);
            if (hasInstructionInsideElement (bytes, stateSize) || hasInvalidUtf8Text (bytes, stateSize))
                return;
        }

        processor->setStateInformation (state, (int) stateSize);

        // The running limiter survives, or a loaded one takes its place that
        // fits the processor as prepared.
        const auto limiter = processor->getLimiter();
        if (limiter == nullptr)
            fail ("no limiter after loading the state");
        if (limiter->getNumChannels() != 2 || limiter->getHostBlockSize() != blockSize
            || limiter->getHostSampleRate() != (float) rate)
            fail ("the limiter after loading does not fit the processor");

        // The host plays on from where it was.
        playHead.position = resumePosition;
        fillBlock (recordedBlocks);
        processor->processBlock (buffer, midi);
        if (processor->hasErrorOccurred())
            fail ("processBlock reported an error:", processor->getErrorMessage());
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < blockSize; ++i)
                if (! std::isfinite (buffer.getSample (c, i)))
                    fail ("processBlock produced a value that is not finite");

        // What the 40 ms timer does: frees the limiters replaced above.
        processor->runTimerTasks();
    }

    std::string home;
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> initialiser;
    std::unique_ptr<TarnLimiterAudioProcessor> processor;
    tarn::test::TestPlayHead playHead;
    juce::AudioBuffer<float> buffer { 2, blockSize };
    juce::MidiBuffer midi;
    juce::int64 resumePosition = 0;

    juce::MemoryBlock recordedState;
    std::string recordedBlob;
    std::string statePrefix, stateSuffix;
    juce::MemoryBlock scratch;
};

Fixture* fixture = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // Lives until exit: libFuzzer leaves through exit(), and the processor
    // must go before the framework it was built on.
    static Fixture instance;
    fixture = &instance;

    if (const char* folder = std::getenv ("TARN_FUZZ_WRITE_SEEDS"); folder != nullptr && *folder != 0)
        fixture->writeSeeds (folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    fixture->run (data, size);
    return 0;
}
