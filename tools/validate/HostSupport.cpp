#include "ValidationHost.h"

#include "support/IndependentTruePeakMeter.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <unistd.h>

namespace tarn::validate
{

const char* formatName (Format format)
{
    return format == Format::vst3 ? "VST3" : "LV2";
}

//==============================================================================
void Report::add (const juce::String& check, Format format, Result result, const juce::String& reason)
{
    {
        std::lock_guard<std::mutex> lock (mutex);
        rows.push_back ({ check, formatName (format), result, reason });
    }
    if (verbose)
        std::fprintf (stderr, "  %-40s %-5s %s  %s\n", check.toRawUTF8(), formatName (format),
                      result == Result::pass ? "PASS" : result == Result::fail ? "FAIL" : "N/A",
                      reason.toRawUTF8());
}

void Report::print (FILE* out) const
{
    std::lock_guard<std::mutex> lock (mutex);
    std::fprintf (out, "\n%-40s %-6s %-6s %s\n", "check", "format", "result", "reason");
    std::fprintf (out, "%s\n", juce::String::repeatedString ("-", 110).toRawUTF8());
    for (const auto& row : rows)
        std::fprintf (out, "%-40s %-6s %-6s %s\n", row.check.toRawUTF8(), row.format.toRawUTF8(),
                      row.result == Result::pass ? "PASS" : row.result == Result::fail ? "FAIL" : "N/A",
                      row.reason.toRawUTF8());
    int failed = 0;
    for (const auto& row : rows)
        failed += row.result == Result::fail ? 1 : 0;
    std::fprintf (out, "%s\n%d checks, %d failed\n", juce::String::repeatedString ("-", 110).toRawUTF8(),
                  (int) rows.size(), failed);
    std::fflush (out);
}

bool Report::allPassed() const
{
    std::lock_guard<std::mutex> lock (mutex);
    for (const auto& row : rows)
        if (row.result == Result::fail)
            return false;
    return true;
}

void Report::detail (const juce::String& text) const
{
    if (verbose)
        std::fprintf (stderr, "    %s\n", text.toRawUTF8());
}

//==============================================================================
// Watchdog and crash handler. The current step lives in plain globals: the
// crash handler reads them without locking.
namespace
{
Report* watchedReport = nullptr;
std::mutex stepMutex;
juce::String stepName;
Format stepFormat = Format::vst3;
std::atomic<int64_t> stepDeadlineMs { 0 };
char crashStep[256] = {};
Format crashFormat = Format::vst3;

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now().time_since_epoch()).count();
}

void onCrash (int signalNumber)
{
    // Best effort: the table is what the user needs to see.
    if (watchedReport != nullptr)
    {
        watchedReport->add (juce::String (crashStep), crashFormat, Result::fail,
                            "crashed with signal " + juce::String (signalNumber) + " (" + juce::String (strsignal (signalNumber)) + ")");
        watchedReport->print (stdout);
    }
    _exit (4);
}
} // namespace

namespace
{
struct StepState
{
    juce::String name;
    Format format;
    int64_t deadline;
};
std::vector<StepState> stepStack;

void publish (const StepState& state)
{
    stepName = state.name;
    stepFormat = state.format;
    state.name.copyToUTF8 (crashStep, sizeof (crashStep));
    crashFormat = state.format;
    stepDeadlineMs = state.deadline;
}
} // namespace

Step::Step (Report&, Format format, const juce::String& check, double timeoutSeconds)
{
    std::lock_guard<std::mutex> lock (stepMutex);
    stepStack.push_back ({ check, format, nowMs() + (int64_t) (timeoutSeconds * 1000.0) });
    publish (stepStack.back());
}

Step::~Step()
{
    std::lock_guard<std::mutex> lock (stepMutex);
    stepStack.pop_back();
    if (stepStack.empty())
        stepDeadlineMs = 0;
    else
        publish (stepStack.back());
}

void installWatchdog (Report& report)
{
    watchedReport = &report;
    for (int signalNumber : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT })
        std::signal (signalNumber, onCrash);

    std::thread ([&report]
    {
        for (;;)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (100));
            const auto deadline = stepDeadlineMs.load();
            if (deadline != 0 && nowMs() > deadline)
            {
                juce::String name;
                Format format;
                {
                    std::lock_guard<std::mutex> lock (stepMutex);
                    name = stepName;
                    format = stepFormat;
                }
                report.add (name, format, Result::fail, "did not finish in time (hang?); run stopped here");
                report.print (stdout);
                _exit (3);
            }
        }
    }).detach();
}

//==============================================================================
void onMessageThread (const std::function<void()>& fn)
{
    auto* manager = juce::MessageManager::getInstance();
    if (manager->isThisTheMessageThread())
    {
        fn();
        return;
    }

    struct Call
    {
        const std::function<void()>* fn;
        std::exception_ptr error;
    } call { &fn, nullptr };

    manager->callFunctionOnMessageThread ([] (void* data) -> void*
    {
        auto& c = *static_cast<Call*> (data);
        try
        {
            (*c.fn)();
        }
        catch (...)
        {
            c.error = std::current_exception();
        }
        return nullptr;
    }, &call);

    if (call.error)
        std::rethrow_exception (call.error);
}

//==============================================================================
juce::NormalisableRange<float> ExpectedParameter::range() const
{
    juce::NormalisableRange<float> r (start, end, interval, skew);
    if (centre != 0.0f)
        r.setSkewForCentre (centre);
    return r;
}

int ExpectedParameter::expectedNumSteps() const
{
    if (interval > 0.0f)
        return (int) std::lround ((end - start) / interval) + 1;
    return juce::AudioProcessor::getDefaultNumParameterSteps();
}

const std::vector<ExpectedParameter>& expectedParameters()
{
    // Identifier, name (also the label), range, default, flags and texts.
    static const std::vector<ExpectedParameter> table {
        { "Threshold", "Threshold", -60.0f, 0.0f, 0.1f, 6.5788116f, 0.0f, 0.0f, true, false, false,
          { { -6.0f, "-6.0dB" }, { 0.0f, "0.0dB" }, { -60.0f, "-60.0dB" }, { -12.5f, "-12.5dB" } },
          { { "-6.0dB", -6.0f }, { "-12.5", -12.5f } }, {} },
        { "PreGain", "Pre Gain", -20.0f, 20.0f, 0.0f, 1.0f, 0.0f, 0.0f, true, false, false,
          { { 3.5f, "3.5dB" }, { -20.0f, "-20.0dB" }, { 20.0f, "20.0dB" } },
          { { "3.5dB", 3.5f }, { "-7.25dB", -7.25f } }, {} },
        { "AutoRelease", "Auto Release", 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 1.0f, true, true, false,
          { { 1.0f, "Auto" }, { 0.0f, "Manual" } },
          { { "Auto", 1.0f }, { "Manual", 0.0f }, { "auto", 0.0f } }, { "Manual", "Auto" } },
        { "ReleaseTime", "Release Time", 1.0f, 5000.0f, 1.0f, 1.0f, 500.0f, 1.0f, true, false, false,
          { { 249.0f, "249ms" }, { 1.0f, "1ms" }, { 5000.0f, "5000ms" }, { 500.0f, "500ms" } },
          { { "250ms", 250.0f }, { "250 ms", 250.0f } }, {} },
        { "AutoReleaseReactivity", "Auto Release Reactivity", 0.01f, 10.0f, 0.01f, 1.0f, 1.0f, 1.0f, true, false, false,
          { { 1.0f, "X1.00" }, { 0.5f, "X0.50" }, { 10.0f, "X10.00" } },
          { { "X0.50", 0.5f }, { "X2.00", 2.0f } }, {} },
        { "ReleaseCurve", "Release Curve", 0.0f, 4.0f, 1.0f, 1.0f, 0.0f, 2.0f, true, true, false,
          { { 0.0f, "Linear" }, { 1.0f, "Natural" }, { 2.0f, "Transparent" }, { 3.0f, "Smooth" }, { 4.0f, "Pumping" } },
          { { "Smooth", 3.0f }, { "Natural", 1.0f }, { "smooth", 0.0f } },
          { "Linear", "Natural", "Transparent", "Smooth", "Pumping" } },
        { "TruePeak", "True Peak", -100.0f, 20.0f, 0.0f, 1.0f, 0.0f, 0.0f, false, false, true,
          { { -1.0f, "-1.0dBFS" } }, { { "-1.0dBFS", -1.0f } }, {} },
        { "GainReduction", "Gain Reduction", 0.0f, 60.0f, 0.0f, 1.0f, 12.0f, 0.0f, false, false, true,
          { { 12.0f, "12.0dB" } }, { { "12.0dB", 12.0f } }, {} },
        { "PostGain", "Post Gain", -20.0f, 20.0f, 0.0f, 1.0f, 0.0f, 0.0f, true, false, false,
          { { -1.5f, "-1.5dB" }, { 20.0f, "20.0dB" } }, { { "-1.5dB", -1.5f } }, {} },
        { "MaxTarget", "MaxTarget", -30.0f, 0.0f, 0.1f, 3.1062839f, 0.0f, 0.0f, true, false, false,
          { { -2.0f, "-2.0dB" }, { -30.0f, "-30.0dB" } }, { { "-2.0dB", -2.0f } }, {} },
        { "Maximizer", "Maximizer", 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, true, true, false,
          { { 1.0f, "Auto" }, { 0.0f, "Manual" } }, { { "Auto", 1.0f }, { "Manual", 0.0f } }, { "Manual", "Auto" } },
    };
    return table;
}

const ExpectedParameter* findExpected (const juce::String& id)
{
    for (const auto& p : expectedParameters())
        if (id == p.id)
            return &p;
    return nullptr;
}

//==============================================================================
juce::String expectedHostedId (Format format, const char* id)
{
    if (format == Format::vst3)
    {
        // JUCE's VST3 wrapper: the hash of the identifier, top bit cleared.
        auto hash = (uint32_t) juce::String (id).hashCode();
        hash &= 0x7fffffffu;
        return juce::String (hash);
    }
    return juce::String (id);
}

juce::String pluginParameterId (Format format, const juce::String& hostedId)
{
    for (const auto& p : expectedParameters())
    {
        if (format == Format::vst3 && hostedId == expectedHostedId (format, p.id))
            return p.id;
        if (format == Format::lv2 && (hostedId == p.id || hostedId.endsWith (juce::String (":") + p.id)))
            return p.id;
    }
    return {};
}

//==============================================================================
Plugins::Plugins()
{
    manager.addDefaultFormats();
}

Plugins::~Plugins() = default;

juce::AudioPluginFormat* Plugins::find (Format format) const
{
    for (auto* f : manager.getFormats())
        if (f->getName() == (format == Format::vst3 ? "VST3" : "LV2"))
            return f;
    return nullptr;
}

std::optional<PluginBinary> Plugins::scan (const juce::String& pathOrUri, juce::String& error)
{
    const juce::File file (juce::File::getCurrentWorkingDirectory().getChildFile (pathOrUri));
    const bool isUri = ! file.exists() && pathOrUri.contains ("://");
    const Format format = (isUri || file.getFileExtension() == ".lv2") ? Format::lv2 : Format::vst3;

    if (! isUri && ! file.exists())
    {
        error = "no such file: " + file.getFullPathName();
        return std::nullopt;
    }
    if (! isUri && file.getFileExtension() != ".vst3" && file.getFileExtension() != ".lv2")
    {
        error = "not a .vst3 or .lv2 bundle: " + file.getFullPathName();
        return std::nullopt;
    }

    auto* pluginFormat = find (format);
    if (pluginFormat == nullptr)
    {
        error = juce::String ("this host was built without ") + formatName (format) + " hosting";
        return std::nullopt;
    }

    juce::OwnedArray<juce::PluginDescription> found;
    onMessageThread ([&]
    {
        if (format == Format::vst3)
        {
            pluginFormat->findAllTypesForFile (found, file.getFullPathName());
            return;
        }

        juce::String uri = pathOrUri;
        if (! isUri)
        {
            // The bundle's manifest names the plug-in's URI.
            const auto manifest = file.getChildFile ("manifest.ttl").loadFileAsString();
            uri = {};
            for (int index = manifest.indexOf ("a lv2:Plugin"); index > 0; index = -1)
            {
                const auto before = manifest.substring (0, index);
                const int open = before.lastIndexOfChar ('<');
                const int close = before.lastIndexOfChar ('>');
                if (open >= 0 && close > open)
                    uri = before.substring (open + 1, close);
            }
            if (uri.isEmpty())
            {
                error = "no lv2:Plugin in " + file.getChildFile ("manifest.ttl").getFullPathName();
                return;
            }

            // lilv keeps the first plug-in it meets under a URI: one installed
            // in the default folders would be tested instead of this bundle.
            const auto known = pluginFormat->searchPathsForPlugins ({}, false, false);
            if (known.contains (uri))
            {
                error = "a plug-in with the URI " + uri + " is already installed in the default LV2 folders; "
                        "lilv would load that one instead of " + file.getFullPathName();
                return;
            }
            pluginFormat->searchPathsForPlugins (juce::FileSearchPath (file.getParentDirectory().getFullPathName()), false, false);
        }
        pluginFormat->findAllTypesForFile (found, uri);
    });

    if (found.isEmpty())
    {
        if (error.isEmpty())
            error = juce::String (formatName (format)) + " scan found no plug-in in " + pathOrUri;
        return std::nullopt;
    }
    return PluginBinary { format, file, *found[0] };
}

std::unique_ptr<juce::AudioPluginInstance> Plugins::create (const PluginBinary& binary, double rate, int blockSize,
                                                            juce::String& error)
{
    std::unique_ptr<juce::AudioPluginInstance> instance;
    onMessageThread ([&] { instance = manager.createPluginInstance (binary.description, rate, blockSize, error); });
    return instance;
}

//==============================================================================
juce::Optional<juce::AudioPlayHead::PositionInfo> PlayHead::getPosition() const
{
    PositionInfo info;
    const auto samples = position.load();
    const auto rate = sampleRate.load();
    info.setIsPlaying (playing.load());
    info.setTimeInSamples (samples);
    info.setTimeInSeconds ((double) samples / rate);
    info.setBpm (120.0);
    info.setTimeSignature (juce::AudioPlayHead::TimeSignature { 4, 4 });
    info.setPpqPosition ((double) samples / rate * 2.0);
    info.setPpqPositionOfLastBarStart (std::floor ((double) samples / rate * 2.0 / 4.0) * 4.0);
    return info;
}

//==============================================================================
HostedPlugin::HostedPlugin (Plugins& plugins, const PluginBinary& binary, bool declare)
    : format (binary.format), declareTimeline (declare)
{
    onMessageThread ([this] { applyTimelineDeclaration(); });
    instance = plugins.create (binary, 48000.0, 512, error);
    if (instance == nullptr && error.isEmpty())
        error = "the format returned no instance";
    if (instance == nullptr)
        return;

    for (auto* p : instance->getParameters())
        if (auto* hosted = dynamic_cast<juce::HostedAudioProcessorParameter*> (p))
            byId.emplace_back (pluginParameterId (format, hosted->getParameterID()), p);
}

HostedPlugin::~HostedPlugin()
{
    if (instance != nullptr)
        onMessageThread ([this]
        {
            instance->releaseResources();
            instance.reset();
        });
}

void HostedPlugin::applyTimelineDeclaration() const
{
    // Instances are created and prepared on the message thread only, so the
    // variable is right whenever a plug-in constructor reads it.
    if (declareTimeline)
        setenv (timelineDeclaration, "1", 1);
    else
        unsetenv (timelineDeclaration);
}

bool HostedPlugin::prepare (double rate, int maxBlock, int channels)
{
    bool accepted = true;
    onMessageThread ([&]
    {
        applyTimelineDeclaration(); // JUCE's LV2 host re-creates the plug-in here
        instance->releaseResources();

        const auto set = channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (set);
        layout.outputBuses.add (set);
        accepted = instance->setBusesLayout (layout);
        if (! accepted)
        {
            juce::AudioProcessor::BusesLayout stereo;
            stereo.inputBuses.add (juce::AudioChannelSet::stereo());
            stereo.outputBuses.add (juce::AudioChannelSet::stereo());
            instance->setBusesLayout (stereo);
        }

        hostChannels = std::max (instance->getTotalNumInputChannels(), instance->getTotalNumOutputChannels());
        signalChannels = channels;
        sampleRate = rate;
        maxBlockSize = maxBlock;
        playHead.sampleRate = rate;
        instance->setPlayHead (&playHead);
        instance->setNonRealtime (false);
        instance->prepareToPlay (rate, maxBlock);
        buffer.setSize (std::max (hostChannels, channels), maxBlock);
        midi.ensureSize (4096);
    });
    return accepted;
}

void HostedPlugin::processBlock (Channels& data, int start, int n, tarn::test::AllocationCounts* counts)
{
    buffer.setSize (buffer.getNumChannels(), n, false, false, true);
    for (int c = 0; c < buffer.getNumChannels(); ++c)
    {
        // A mono signal in a stereo-only instance goes to both inputs.
        const auto& source = data[(size_t) std::min (c, signalChannels - 1)];
        buffer.copyFrom (c, 0, source.data() + start, n);
    }
    midi.clear();

    if (counts != nullptr)
    {
        tarn::test::ScopedAllocationCount counting;
        instance->processBlock (buffer, midi);
        const auto made = counting.counts();
        counts->allocations += made.allocations;
        counts->locks += made.locks;
    }
    else
    {
        instance->processBlock (buffer, midi);
    }

    for (int c = 0; c < signalChannels; ++c)
        std::copy (buffer.getReadPointer (c), buffer.getReadPointer (c) + n, data[(size_t) c].begin() + start);

    if (playHead.playing)
        playHead.position += n;
}

Channels HostedPlugin::run (const Channels& input, const std::function<int()>& nextBlockSize,
                            const std::function<void (int, int, int)>& beforeBlock,
                            tarn::test::AllocationCounts* counts)
{
    Channels data = input;
    const int length = (int) input[0].size();
    int block = 0;
    for (int start = 0; start < length; ++block)
    {
        const int n = std::min ({ nextBlockSize(), length - start, maxBlockSize });
        if (beforeBlock)
            beforeBlock (block, start, n);
        processBlock (data, start, n, counts);
        start += n;
    }
    return data;
}

juce::AudioProcessorParameter* HostedPlugin::parameter (const juce::String& id) const
{
    for (const auto& [pluginId, p] : byId)
        if (pluginId == id)
            return p;
    return nullptr;
}

juce::AudioProcessorParameter* HostedPlugin::bypass() const
{
    return instance->getBypassParameter();
}

float HostedPlugin::toNormalised (const ExpectedParameter& expected, float plain) const
{
    if (format == Format::vst3)
        return expected.range().convertTo0to1 (plain);
    // LV2 parameters carry plain values; JUCE's LV2 host maps them linearly.
    return juce::jlimit (0.0f, 1.0f, (plain - expected.start) / (expected.end - expected.start));
}

float HostedPlugin::toPlain (const ExpectedParameter& expected, float normalised) const
{
    if (format == Format::vst3)
        return expected.range().convertFrom0to1 (normalised);
    return expected.start + normalised * (expected.end - expected.start);
}

void HostedPlugin::setPlain (const char* id, float plain)
{
    if (auto* p = parameter (id))
        p->setValue (toNormalised (*findExpected (id), plain));
}

int HostedPlugin::settledLatency (int timeoutMs)
{
    // Wait until the value has held for 100 ms (or the time is up).
    int value = instance->getLatencySamples();
    int stableFor = 0;
    for (int waited = 0; waited < timeoutMs && stableFor < 100; waited += 10, stableFor += 10)
    {
        juce::Thread::sleep (10);
        const int now = instance->getLatencySamples();
        if (now != value)
        {
            value = now;
            stableFor = 0;
        }
    }
    return value;
}

juce::MemoryBlock HostedPlugin::saveState()
{
    juce::MemoryBlock state;
    onMessageThread ([&] { instance->getStateInformation (state); });
    return state;
}

void HostedPlugin::loadState (const juce::MemoryBlock& state)
{
    onMessageThread ([&] { instance->setStateInformation (state.getData(), (int) state.getSize()); });
}

//==============================================================================
float SessionSeries::at (int64_t index) const
{
    if (blockSize <= 0 || index < 0 || index >= length)
        return std::numeric_limits<float>::infinity();
    const auto block = index / blockSize;
    for (const auto& [i, values] : blocks)
        if (i == block && (size_t) (index % blockSize) < values.size())
            return values[(size_t) (index % blockSize)];
    return std::numeric_limits<float>::infinity();
}

std::optional<juce::MemoryBlock> sessionBlob (const juce::XmlElement& state, juce::String& error)
{
    const auto text = state.getStringAttribute ("CachedLimitingSession");
    if (! state.hasAttribute ("CachedLimitingSession"))
    {
        error = "no CachedLimitingSession attribute";
        return std::nullopt;
    }
    if (text.isEmpty())
    {
        error = "CachedLimitingSession is empty";
        return std::nullopt;
    }
    juce::MemoryBlock blob;
    if (! blob.fromBase64Encoding (text))
    {
        error = "CachedLimitingSession is not JUCE base 64";
        return std::nullopt;
    }
    return blob;
}

std::optional<Session> parseSession (const juce::MemoryBlock& blob, juce::String& error)
{
    juce::MemoryInputStream in (blob, false);
    auto need = [&] (int64_t bytes)
    {
        if (in.getNumBytesRemaining() < bytes)
            throw std::runtime_error ("blob ends at byte " + std::to_string (in.getPosition()));
    };
    try
    {
        Session s;
        need (36);
        s.magic = in.readInt();
        s.version = in.readInt();
        s.sampleRate = in.readFloat();
        s.blockSize = in.readInt();
        s.channels = in.readInt();
        s.lookaheadMs = in.readFloat();
        s.averagingMs = in.readFloat();
        s.maxPosition = in.readInt64();
        for (auto& series : s.series)
        {
            need (24);
            series.length = in.readInt64();
            series.blockCount = in.readInt64();
            series.blockSize = in.readInt64();
            if (series.length < 0 || series.blockCount < 0 || series.blockSize <= 0 || series.blockCount > (1 << 20))
                throw std::runtime_error ("implausible series header");
            for (int64_t b = 0; b < series.blockCount; ++b)
            {
                need (1);
                if (in.readByte() == 0)
                    continue;
                const auto first = b * series.blockSize;
                const auto count = std::max<int64_t> (0, std::min (first + series.blockSize, series.length) - first);
                need (4 * count);
                std::vector<float> values ((size_t) count);
                for (auto& v : values)
                    v = in.readFloat();
                series.blocks.emplace_back (b, std::move (values));
            }
        }
        need (8);
        const auto regions = in.readInt64();
        if (regions < 0 || regions * 16 > in.getNumBytesRemaining())
            throw std::runtime_error ("implausible over-region count");
        for (int64_t r = 0; r < regions; ++r)
        {
            const auto start = in.readInt64();
            s.overRegions.emplace_back (start, in.readInt64());
        }
        if (in.getNumBytesRemaining() != 0)
            throw std::runtime_error (std::to_string (in.getNumBytesRemaining()) + " bytes after the over regions");
        return s;
    }
    catch (const std::exception& e)
    {
        error = e.what();
        return std::nullopt;
    }
}

juce::MemoryBlock writeSession (const Session& s)
{
    juce::MemoryOutputStream out;
    out.writeInt (s.magic);
    out.writeInt (s.version);
    out.writeFloat (s.sampleRate);
    out.writeInt (s.blockSize);
    out.writeInt (s.channels);
    out.writeFloat (s.lookaheadMs);
    out.writeFloat (s.averagingMs);
    out.writeInt64 (s.maxPosition);
    for (const auto& series : s.series)
    {
        out.writeInt64 (series.length);
        out.writeInt64 (series.blockCount);
        out.writeInt64 (series.blockSize);
        for (int64_t b = 0; b < series.blockCount; ++b)
        {
            const auto found = std::find_if (series.blocks.begin(), series.blocks.end(), [b] (const auto& x) { return x.first == b; });
            out.writeByte (found != series.blocks.end() ? 1 : 0);
            if (found != series.blocks.end())
                for (float v : found->second)
                    out.writeFloat (v);
        }
    }
    out.writeInt64 ((int64_t) s.overRegions.size());
    for (const auto& [start, end] : s.overRegions)
    {
        out.writeInt64 (start);
        out.writeInt64 (end);
    }
    return out.getMemoryBlock();
}

//==============================================================================
namespace
{
const char* const jucePrivateDataMarker = "JUCEPrivateData";

// The span of the LV2 state's StateString literal: [begin, end) of its text.
std::optional<std::pair<int, int>> findStateString (const juce::String& turtle)
{
    const int key = turtle.indexOf ("StateString");
    if (key < 0)
        return std::nullopt;
    const int open = turtle.indexOfChar (key, '"');
    if (open < 0)
        return std::nullopt;
    const int close = turtle.indexOfChar (open + 1, '"');
    if (close < 0)
        return std::nullopt;
    return std::make_pair (open + 1, close);
}
} // namespace

std::optional<juce::MemoryBlock> unwrapPluginState (Format format, const juce::MemoryBlock& hostState)
{
    if (format == Format::vst3)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
        if (xml == nullptr || ! xml->hasTagName ("VST3PluginState"))
            return std::nullopt;
        auto* component = xml->getChildByName ("IComponent");
        if (component == nullptr)
            return std::nullopt;
        juce::MemoryBlock bytes;
        if (! bytes.fromBase64Encoding (component->getAllSubText()))
            return std::nullopt;

        // JUCE's wrapper appends its private data: int64 0, the data, int64
        // size, then the marker.
        const auto markerSize = std::strlen (jucePrivateDataMarker);
        const auto size = bytes.getSize();
        if (size >= markerSize + 16
            && std::memcmp (static_cast<const char*> (bytes.getData()) + size - markerSize, jucePrivateDataMarker, markerSize) == 0)
        {
            uint64_t privateSize = 0;
            std::memcpy (&privateSize, static_cast<const char*> (bytes.getData()) + size - markerSize - 8, 8);
            const auto trailer = markerSize + 8 + privateSize + 8;
            if (trailer <= size)
                bytes.setSize (size - trailer);
        }
        return bytes;
    }

    const juce::String turtle = juce::String::fromUTF8 (static_cast<const char*> (hostState.getData()), (int) hostState.getSize());
    const auto span = findStateString (turtle);
    if (! span)
        return std::nullopt;
    juce::MemoryBlock bytes;
    if (! bytes.fromBase64Encoding (turtle.substring (span->first, span->second)))
        return std::nullopt;
    return bytes;
}

juce::MemoryBlock wrapPluginState (Format format, const juce::MemoryBlock& hostState, const juce::MemoryBlock& pluginState)
{
    if (format == Format::vst3)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
        if (xml == nullptr)
            xml = std::make_unique<juce::XmlElement> ("VST3PluginState");
        if (auto* old = xml->getChildByName ("IComponent"))
            xml->removeChildElement (old, true);
        xml->createNewChildElement ("IComponent")->addTextElement (pluginState.toBase64Encoding());
        juce::MemoryBlock out;
        juce::AudioProcessor::copyXmlToBinary (*xml, out);
        return out;
    }

    juce::String turtle = juce::String::fromUTF8 (static_cast<const char*> (hostState.getData()), (int) hostState.getSize());
    if (const auto span = findStateString (turtle))
        turtle = turtle.replaceSection (span->first, span->second - span->first, pluginState.toBase64Encoding());
    juce::MemoryBlock out (turtle.toRawUTF8(), turtle.getNumBytesAsUTF8());
    return out;
}

std::unique_ptr<juce::XmlElement> pluginStateXml (const juce::MemoryBlock& pluginState)
{
    if (pluginState.isEmpty())
        return nullptr;
    return juce::AudioProcessor::getXmlFromBinary (pluginState.getData(), (int) pluginState.getSize());
}

//==============================================================================
std::function<int()> fixedBlocks (int size)
{
    return [size] { return size; };
}

std::function<int()> varyingBlocks (int maxSize, uint32_t seed)
{
    auto state = std::make_shared<uint32_t> (seed == 0 ? 1u : seed);
    return [maxSize, state]
    {
        // xorshift: sizes from 1 to maxSize, the extremes included now and then.
        auto& x = *state;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const auto pick = x % 16u;
        if (pick == 0)
            return 1;
        if (pick == 1)
            return maxSize;
        return 1 + (int) ((x >> 4) % (uint32_t) maxSize);
    };
}

bool allFinite (const Channels& channels, int from)
{
    for (const auto& channel : channels)
        for (size_t i = (size_t) from; i < channel.size(); ++i)
            if (! std::isfinite (channel[i]))
                return false;
    return true;
}

double truePeakDb (const Channels& channels, double sampleRate, int skip)
{
    return tarn::test::gainToDb (tarn::test::independentTruePeak (channels, sampleRate, skip));
}

Channels makeChannels (int channels, int length)
{
    return Channels ((size_t) channels, std::vector<float> ((size_t) length, 0.0f));
}

} // namespace tarn::validate
