// Hostile state: damaged and malicious state data handed to the binary
// through the format, each into a fresh instance that has been playing. The
// load must return in time without a crash, the audio must stay finite, the
// state must still save, and the instance must still limit afterwards.
//
// The process's address space is capped while a state loads, so that a
// state that makes the plug-in allocate without bound fails its allocation
// instead of exhausting the machine.

#include "ValidationHost.h"

#include "support/IndependentTruePeakMeter.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <sys/resource.h>

namespace tarn::validate
{
namespace
{
constexpr double rate = 48000.0;
constexpr int blockSize = 512;

struct HostileCase
{
    juce::String name;
    juce::MemoryBlock pluginBytes; // handed to the plug-in inside the format's container
    bool raw = false;              // handed to the host as the whole state, no container
};

juce::MemoryBlock xmlBytes (const juce::XmlElement& xml)
{
    juce::MemoryBlock block;
    juce::AudioProcessor::copyXmlToBinary (xml, block);
    return block;
}

juce::MemoryBlock stateWithSession (const juce::MemoryBlock& blob)
{
    juce::XmlElement root ("TarnLimiterState");
    root.setAttribute ("CachedLimitingSession", blob.toBase64Encoding());
    root.setAttribute ("HorizontalScaling", 50.0);
    root.setAttribute ("VerticalScaling", 16.0);
    return xmlBytes (root);
}

Session validSession()
{
    Session s;
    s.magic = sessionMagic;
    s.version = 2;
    s.sampleRate = 48000.0f;
    s.blockSize = 512;
    s.channels = 2;
    s.lookaheadMs = 9.0f;
    s.averagingMs = 4.0f;
    s.maxPosition = 96000;
    for (auto& series : s.series)
    {
        series.length = 10;
        series.blockCount = 1;
        series.blockSize = historyBlockSize;
        series.blocks.emplace_back (0, std::vector<float> (10, -3.0f));
    }
    s.overRegions.emplace_back (0, 960);
    return s;
}

// A valid blob whose bytes from offset on are replaced.
juce::MemoryBlock patched (juce::MemoryBlock blob, size_t offset, const void* data, size_t size)
{
    if (offset + size > blob.getSize())
        blob.setSize (offset + size, true);
    blob.copyFrom (data, (int) offset, size);
    return blob;
}

template <typename T>
juce::MemoryBlock patchedValue (const juce::MemoryBlock& blob, size_t offset, T value)
{
    return patched (blob, offset, &value, sizeof (T));
}

std::vector<HostileCase> hostileCases()
{
    std::vector<HostileCase> cases;
    std::mt19937 random (2024);
    auto randomBytes = [&] (size_t n)
    {
        juce::MemoryBlock block (n);
        for (size_t i = 0; i < n; ++i)
            block[i] = (char) (random() & 0xff);
        return block;
    };

    // The binary wrapper and the XML.
    cases.push_back ({ "empty", {} });
    cases.push_back ({ "random bytes", randomBytes (4096) });
    {
        juce::MemoryOutputStream out;
        out.writeInt (0x21324356);
        out.writeInt (0x7fffffff); // claims 2 GB of XML
        out << "<TarnLimiterState/>";
        cases.push_back ({ "XML length beyond the data", out.getMemoryBlock() });
    }
    {
        juce::MemoryOutputStream out;
        out.writeInt (0x21324356);
        out.writeInt (40);
        out << "<<<TarnLimiterState <<>> & \xff\xfe";
        out.writeByte (0);
        cases.push_back ({ "not XML", out.getMemoryBlock() });
    }
    cases.push_back ({ "another root element", xmlBytes (juce::XmlElement ("SomethingElse")) });
    {
        juce::String nested ("<TarnLimiterState>");
        for (int i = 0; i < 20000; ++i)
            nested << "<a>";
        for (int i = 0; i < 20000; ++i)
            nested << "</a>";
        nested << "</TarnLimiterState>";
        juce::MemoryOutputStream out;
        out.writeInt (0x21324356);
        out.writeInt ((int) nested.getNumBytesAsUTF8() + 1);
        out << nested;
        out.writeByte (0);
        cases.push_back ({ "20000 nested elements", out.getMemoryBlock() });
    }
    {
        juce::XmlElement root ("TarnLimiterState");
        root.setAttribute ("CachedLimitingSession", "");
        root.setAttribute ("HorizontalScaling", "nan");
        root.setAttribute ("VerticalScaling", "-inf");
        root.setAttribute ("IsViewExpanded", "maybe");
        root.setAttribute ("IsEmphasisOnTruePeakOutput", "2");
        root.setAttribute ("HasCompatibilityMessageBeenShown", "-1");
        root.setAttribute ("DitherNoiseShape", "7");
        root.setAttribute ("IsDitherActive", "1e300");
        root.setAttribute ("WindowWidth", "-5");
        root.setAttribute ("WindowHeight", "99999999999");
        auto* tree = root.createNewChildElement ("TarnLimiter");
        const char* values[] = { "nan", "inf", "1e30", "-1e30", "", "abc", "-inf", "1e-45", "0x10", "nan", "nan" };
        int i = 0;
        for (const auto& p : expectedParameters())
        {
            auto* param = tree->createNewChildElement ("PARAM");
            param->setAttribute ("id", p.id);
            param->setAttribute ("value", values[i++ % 11]);
        }
        auto* unknown = tree->createNewChildElement ("PARAM");
        unknown->setAttribute ("id", "NoSuchParameter");
        unknown->setAttribute ("value", "1");
        auto* duplicate = tree->createNewChildElement ("PARAM");
        duplicate->setAttribute ("id", "Threshold");
        duplicate->setAttribute ("value", "-1e9");
        tree->createNewChildElement ("PARAM"); // no id, no value
        cases.push_back ({ "absurd attributes and parameter values", xmlBytes (root) });
    }

    // The session blob.
    {
        juce::XmlElement root ("TarnLimiterState");
        root.setAttribute ("CachedLimitingSession", "!!! not base 64 !!!");
        cases.push_back ({ "session: not base 64", xmlBytes (root) });
        root.setAttribute ("CachedLimitingSession", "999999999999.abc");
        cases.push_back ({ "session: base 64 claiming a huge size", xmlBytes (root) });
    }
    cases.push_back ({ "session: random bytes", stateWithSession (randomBytes (1000)) });

    const auto valid = writeSession (validSession());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const int64_t huge = std::numeric_limits<int64_t>::max();
    cases.push_back ({ "session: valid (control)", stateWithSession (valid) });
    cases.push_back ({ "session: bad magic", stateWithSession (patchedValue<int32_t> (valid, 0, 0x12345678)) });
    cases.push_back ({ "session: other version", stateWithSession (patchedValue<int32_t> (valid, 4, 3)) });
    cases.push_back ({ "session: sample rate NaN", stateWithSession (patchedValue (valid, 8, nan)) });
    cases.push_back ({ "session: sample rate 0", stateWithSession (patchedValue (valid, 8, 0.0f)) });
    cases.push_back ({ "session: sample rate -48000", stateWithSession (patchedValue (valid, 8, -48000.0f)) });
    cases.push_back ({ "session: sample rate 1e12", stateWithSession (patchedValue (valid, 8, 1.0e12f)) });
    cases.push_back ({ "session: sample rate 96000", stateWithSession (patchedValue (valid, 8, 96000.0f)) });
    cases.push_back ({ "session: block size -1", stateWithSession (patchedValue<int32_t> (valid, 12, -1)) });
    cases.push_back ({ "session: block size 2^31-1", stateWithSession (patchedValue<int32_t> (valid, 12, 0x7fffffff)) });
    cases.push_back ({ "session: 0 channels", stateWithSession (patchedValue<int32_t> (valid, 16, 0)) });
    cases.push_back ({ "session: 1 channel (mono)", stateWithSession (patchedValue<int32_t> (valid, 16, 1)) });
    cases.push_back ({ "session: 99 channels", stateWithSession (patchedValue<int32_t> (valid, 16, 99)) });
    cases.push_back ({ "session: lookahead 1e9 ms", stateWithSession (patchedValue (valid, 20, 1.0e9f)) });
    cases.push_back ({ "session: lookahead NaN", stateWithSession (patchedValue (valid, 20, nan)) });
    cases.push_back ({ "session: lookahead -9 ms", stateWithSession (patchedValue (valid, 20, -9.0f)) });
    cases.push_back ({ "session: lookahead 0", stateWithSession (patchedValue (valid, 20, 0.0f)) });
    cases.push_back ({ "session: averaging inf", stateWithSession (patchedValue (valid, 24, inf)) });
    cases.push_back ({ "session: averaging 1e9 ms", stateWithSession (patchedValue (valid, 24, 1.0e9f)) });
    cases.push_back ({ "session: largest position -1", stateWithSession (patchedValue<int64_t> (valid, 28, -1)) });
    cases.push_back ({ "session: largest position 2^63-1", stateWithSession (patchedValue<int64_t> (valid, 28, huge)) });
    cases.push_back ({ "session: series length 2^62", stateWithSession (patchedValue<int64_t> (valid, 36, (int64_t) 1 << 62)) });
    cases.push_back ({ "session: series length -5", stateWithSession (patchedValue<int64_t> (valid, 36, -5)) });
    cases.push_back ({ "session: block count 2^40", stateWithSession (patchedValue<int64_t> (valid, 44, (int64_t) 1 << 40)) });
    cases.push_back ({ "session: block count -1", stateWithSession (patchedValue<int64_t> (valid, 44, -1)) });
    cases.push_back ({ "session: history block size 100", stateWithSession (patchedValue<int64_t> (valid, 52, 100)) });
    cases.push_back ({ "session: history block size 0", stateWithSession (patchedValue<int64_t> (valid, 52, 0)) });
    cases.push_back ({ "session: history block size -15000", stateWithSession (patchedValue<int64_t> (valid, 52, -15000)) });
    {
        auto withValues = validSession();
        for (auto& series : withValues.series)
            series.blocks[0].second = { nan, inf, -inf, 1.0e38f, -1.0e38f, 0.0f, nan, nan, inf, -0.0f };
        cases.push_back ({ "session: NaN and infinite values", stateWithSession (writeSession (withValues)) });
    }
    {
        juce::MemoryBlock truncated (valid.getData(), 40);
        cases.push_back ({ "session: truncated after the header", stateWithSession (truncated) });
    }
    {
        auto withoutRegions = validSession();
        withoutRegions.overRegions.clear();
        auto blob = writeSession (withoutRegions);
        const int64_t count = (int64_t) 1 << 60;
        cases.push_back ({ "session: 2^60 over regions, none present",
                           stateWithSession (patchedValue (blob, blob.getSize() - 8, count)) });
        cases.push_back ({ "session: -3 over regions", stateWithSession (patchedValue<int64_t> (blob, blob.getSize() - 8, -3)) });
    }
    {
        auto reversed = validSession();
        reversed.overRegions = { { 5000, 100 }, { -huge, huge }, { huge, huge } };
        cases.push_back ({ "session: reversed and extreme over regions", stateWithSession (writeSession (reversed)) });
    }

    // The host's own container, damaged.
    cases.push_back ({ "host state: random bytes", randomBytes (2048), true });
    {
        const juce::String text = "@prefix broken <turtle . <<< \"StateString\" \"unterminated";
        cases.push_back ({ "host state: broken text", juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8()), true });
    }
    return cases;
}

// Caps the address space for the scope (the soft limit; restored after).
class AddressSpaceCap
{
public:
    explicit AddressSpaceCap (size_t extraBytes)
    {
        getrlimit (RLIMIT_AS, &previous);
        size_t pages = 0;
        if (FILE* f = std::fopen ("/proc/self/statm", "r"))
        {
            if (std::fscanf (f, "%zu", &pages) != 1)
                pages = 0;
            std::fclose (f);
        }
        if (pages == 0)
            return;
        rlimit capped = previous;
        capped.rlim_cur = std::min<rlim_t> (previous.rlim_max, (rlim_t) (pages * (size_t) sysconf (_SC_PAGESIZE) + extraBytes));
        active = setrlimit (RLIMIT_AS, &capped) == 0;
    }
    ~AddressSpaceCap()
    {
        if (active)
            setrlimit (RLIMIT_AS, &previous);
    }

private:
    rlimit previous {};
    bool active = false;
};
} // namespace

void checkHostileState (Context& context)
{
    const auto format = context.binary.format;
    const auto cases = hostileCases();
    juce::StringArray failures;
    double slowestMs = 0.0;
    juce::String slowest;
    const int playLength = (int) (0.1 * rate);
    const auto loud = tarn::test::denseMaterial (rate, (int) (0.3 * rate), 5);

    for (const auto& c : cases)
    {
        Step step (context.report, format, "hostile state: " + c.name, 20);
        HostedPlugin host (context.plugins, context.binary);
        if (! host.isValid())
        {
            failures.add (c.name + ": " + host.getError());
            continue;
        }
        host.prepare (rate, blockSize, 2);
        host.run ({ std::vector<float> (loud.begin(), loud.begin() + playLength), std::vector<float> (loud.begin(), loud.begin() + playLength) },
                  fixedBlocks (blockSize));

        const auto hostState = c.raw ? c.pluginBytes : wrapPluginState (format, host.saveState(), c.pluginBytes);
        const auto started = std::chrono::steady_clock::now();
        {
            AddressSpaceCap cap ((size_t) 3 << 30);
            try
            {
                host.loadState (hostState);
            }
            catch (const std::exception& e)
            {
                failures.add (c.name + ": the load threw " + e.what());
            }
        }
        const double ms = std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - started).count();
        if (ms > slowestMs)
        {
            slowestMs = ms;
            slowest = c.name;
        }
        if (ms > 2000.0)
            failures.add (c.name + ": the load took " + juce::String (ms / 1000.0, 1) + " s");

        // Audio goes on, finite. It plays 10 s further on, so that what it
        // records cannot overwrite the slots the control case looks at.
        host.playHead.position = (int64_t) (10.0 * rate);
        const auto after = host.run ({ loud, loud }, fixedBlocks (blockSize));
        if (! allFinite (after))
            failures.add (c.name + ": NaN or infinity in the output after loading");
        else if (tarn::test::samplePeak (after) > 10.0f * 1.01f)
            failures.add (c.name + ": output peak " + juce::String (tarn::test::gainToDb (tarn::test::samplePeak (after)), 1) + " dBFS after loading");

        // The host sees sane parameter values, and the state saves.
        for (auto* p : host.get().getParameters())
            if (! (p->getValue() >= 0.0f && p->getValue() <= 1.0f))
            {
                failures.add (c.name + ": the host sees " + p->getName (100) + " at " + juce::String (p->getValue()));
                break;
            }
        const auto resaved = host.saveState();
        if (resaved.isEmpty())
            failures.add (c.name + ": the state no longer saves");

        // The control case shows that the damaged sessions reach the
        // plug-in's session reader: the valid one comes back.
        if (c.name.contains ("(control)"))
        {
            juce::String error;
            const auto pluginState = unwrapPluginState (format, resaved);
            const auto xml = pluginState ? pluginStateXml (*pluginState) : nullptr;
            const auto blob = xml != nullptr ? sessionBlob (*xml, error) : std::nullopt;
            const auto session = blob ? parseSession (*blob, error) : std::nullopt;
            if (! session || session->series[0].at (5) != -3.0f)
                failures.add (c.name + ": the loaded session did not come back ("
                              + (session ? "slot 5 holds " + juce::String (session->series[0].at (5)) + ", length " + juce::String (session->series[0].length) : error) + ")");
        }

        // And the instance still limits.
        for (const auto& [id, plain] : std::vector<std::pair<const char*, float>> { { "Threshold", -3.0f }, { "PreGain", 0.0f },
                                                                                  { "PostGain", 0.0f }, { "Maximizer", 0.0f } })
            host.setPlain (id, plain);
        const auto limited = host.run ({ loud, loud }, fixedBlocks (blockSize));
        const int skip = std::max (host.get().getLatencySamples(), 0) + (int) (0.02 * rate);
        Channels tail;
        for (const auto& y : limited)
            tail.emplace_back (y.begin() + skip, y.end());
        // libebur128 first; the reference meter decides when it reads over.
        double tp = allFinite (tail) ? truePeakDb (tail, rate, 0) : 1000.0;
        if (tp > -3.0 + 0.09 && tp < 1000.0)
            tp = tarn::test::gainToDb (tarn::test::referenceTruePeak (tail, rate));
        if (tp > -3.0 + 0.02 || tarn::test::samplePeak (tail) < 0.3f)
            failures.add (c.name + ": afterwards, at -3 dB threshold the output peaks at " + juce::String (tp, 2) + " dBTP");

        context.report.detail (c.name + ": loaded in " + juce::String (ms, 1) + " ms");
    }

    context.report.add ("hostile state", format, failures.isEmpty(),
                        failures.isEmpty() ? juce::String ((int) cases.size()) + " damaged states: no crash or hang, audio finite, still limits; slowest load "
                                                 + juce::String (juce::roundToInt (slowestMs)) + " ms (" + slowest + ")"
                                           : juce::String (failures.size()) + " problems in " + juce::String ((int) cases.size())
                                                 + " cases: " + failures.joinIntoString ("; "));
}

} // namespace tarn::validate
