#pragma once

// tarn-validate: a headless host that loads a built plug-in binary (VST3 or
// LV2) through JUCE's plug-in hosting, the way a DAW does, and checks it.
// Nothing here links the plug-in's code: everything the host knows about the
// plug-in (the parameter table, the state layout) is written down again below.

#include <juce_audio_processors/juce_audio_processors.h>

#include "support/AllocationCounter.h"
#include "support/TestSignals.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tarn::validate
{

using Channels = tarn::test::Channels;

enum class Format { vst3, lv2 };
const char* formatName (Format format);

//==============================================================================
// The result table: one row per check and format.
enum class Result { pass, fail, notApplicable };

struct Row
{
    juce::String check;
    juce::String format;
    Result result;
    juce::String reason;
};

class Report
{
public:
    void add (const juce::String& check, Format format, Result result, const juce::String& reason);
    void add (const juce::String& check, Format format, bool passed, const juce::String& reason)
    {
        add (check, format, passed ? Result::pass : Result::fail, reason);
    }
    void print (FILE* out) const;
    bool allPassed() const;

    // Verbose lines (per case details), printed as they come with --verbose.
    void detail (const juce::String& text) const;
    bool verbose = false;

private:
    mutable std::mutex mutex;
    std::vector<Row> rows;
};

// The step now running, for the watchdog and the crash handler: a step that
// does not finish in time, or crashes, ends the run with a FAIL row naming it.
class Step
{
public:
    Step (Report& report, Format format, const juce::String& check, double timeoutSeconds);
    ~Step();
};

void installWatchdog (Report& report);

//==============================================================================
// Runs fn on the message thread (which runs JUCE's dispatch loop while the
// checks run on their own thread) and waits for it. Exceptions come back.
void onMessageThread (const std::function<void()>& fn);

//==============================================================================
// What the plug-in's parameters are, as its documentation gives them.
struct ExpectedParameter
{
    const char* id;
    const char* name;
    float start, end, interval;
    float skew;    // 1 when linear
    float centre;  // not 0: skew for this centre (JUCE's setSkewForCentre)
    float defaultValue;
    bool automatable;
    bool discrete;
    bool meter;    // read-only meter, absent from VST3
    std::vector<std::pair<float, const char*>> valueTexts; // plain value -> text
    std::vector<std::pair<const char*, float>> textValues; // text -> plain value
    std::vector<const char*> choices; // labels of the discrete steps, in order

    juce::NormalisableRange<float> range() const;
    int expectedNumSteps() const;
};

const std::vector<ExpectedParameter>& expectedParameters();
const ExpectedParameter* findExpected (const juce::String& id);

//==============================================================================
// A plug-in found in a binary.
struct PluginBinary
{
    Format format;
    juce::File path;
    juce::PluginDescription description;
};

class Plugins
{
public:
    Plugins(); // message thread
    ~Plugins();

    // Scans the binary (a .vst3 bundle or a .lv2 bundle, or an LV2 URI).
    std::optional<PluginBinary> scan (const juce::String& pathOrUri, juce::String& error);

    std::unique_ptr<juce::AudioPluginInstance> create (const PluginBinary& binary, double rate, int blockSize,
                                                       juce::String& error);

private:
    juce::AudioPluginFormat* find (Format format) const;
    juce::AudioPluginFormatManager manager;
};

//==============================================================================
// A play head that reports a moving timeline position while playing.
class PlayHead final : public juce::AudioPlayHead
{
public:
    juce::Optional<PositionInfo> getPosition() const override;

    std::atomic<int64_t> position { 0 };
    std::atomic<bool> playing { true };
    std::atomic<double> sampleRate { 48000.0 };
};

// One plug-in instance driven as a host drives it: prepared on the message
// thread, processed on whichever thread calls processBlock (the "audio
// thread" of the check).
class HostedPlugin
{
public:
    // declareTimeline: the instance is created (and, for LV2, re-created on
    // prepare) with the timeline declaration set, as an embedding program
    // that supplies correct positions does.
    HostedPlugin (Plugins& plugins, const PluginBinary& binary, bool declareTimeline = true);
    ~HostedPlugin(); // destroys the instance on the message thread

    bool isValid() const { return instance != nullptr; }
    const juce::String& getError() const { return error; }

    // Message thread (called from any thread, runs there). channels 1 or 2;
    // returns false when the layout is refused (the instance then runs the
    // closest layout it accepts, see signalChannels/hostChannels).
    bool prepare (double rate, int maxBlockSize, int channels);

    // Audio thread. Processes data[c][start .. start + n) in place (n <= the
    // prepared maximum). With counts, the allocations and locks made on this
    // thread inside the instance's processBlock are added to it.
    void processBlock (Channels& data, int start, int n, tarn::test::AllocationCounts* counts = nullptr);

    // Runs all of input through the instance in blocks whose sizes come from
    // nextBlockSize; beforeBlock (block index, first sample, size) runs before
    // each block on the same thread (automation, transport).
    Channels run (const Channels& input, const std::function<int()>& nextBlockSize,
                  const std::function<void (int, int, int)>& beforeBlock = {},
                  tarn::test::AllocationCounts* counts = nullptr);

    juce::AudioPluginInstance& get() { return *instance; }
    juce::AudioProcessorParameter* parameter (const juce::String& id) const;
    juce::AudioProcessorParameter* bypass() const;

    // Normalised value of a plain value as this format maps it.
    float toNormalised (const ExpectedParameter& expected, float plain) const;
    float toPlain (const ExpectedParameter& expected, float normalised) const;
    void setPlain (const char* id, float plain); // any thread

    // The latency the host reports once the plug-in's announcements have
    // arrived (VST3 announces a new latency asynchronously after activation).
    int settledLatency (int timeoutMs = 500);

    juce::MemoryBlock saveState();                   // message thread
    void loadState (const juce::MemoryBlock& state); // message thread

    Format format;
    PlayHead playHead;
    int signalChannels = 0; // channels of the signal the check feeds
    int hostChannels = 0;   // channels of the instance's buses
    int maxBlockSize = 0;
    double sampleRate = 0.0;

private:
    void applyTimelineDeclaration() const;

    juce::String error;
    bool declareTimeline = true;
    std::unique_ptr<juce::AudioPluginInstance> instance;
    juce::AudioBuffer<float> buffer;
    juce::MidiBuffer midi;
    std::vector<std::pair<juce::String, juce::AudioProcessorParameter*>> byId;
};

// Maps the instance's parameters to the plug-in's identifiers: VST3 hosts see
// a hash of the identifier, LV2 hosts the URI of the parameter property.
juce::String pluginParameterId (Format format, const juce::String& hostedId);
juce::String expectedHostedId (Format format, const char* id);

//==============================================================================
// The plug-in's own state inside the format's state container: VST3 hosts
// keep the component state (the plug-in's bytes followed by JUCE's private
// data) in a "VST3PluginState" document; LV2 hosts a Turtle document whose
// "StateString" property holds the bytes in base 64.
std::optional<juce::MemoryBlock> unwrapPluginState (Format format, const juce::MemoryBlock& hostState);
juce::MemoryBlock wrapPluginState (Format format, const juce::MemoryBlock& hostState, const juce::MemoryBlock& pluginState);

// The plug-in's XML document ("TarnLimiterState") from its bytes.
std::unique_ptr<juce::XmlElement> pluginStateXml (const juce::MemoryBlock& pluginState);

//==============================================================================
// The recorded session inside the state: the base-64 "CachedLimitingSession"
// attribute holds a little-endian blob: a header, four history series
// (limited level, output level, gain reduction, threshold), then the over
// regions.
struct SessionSeries
{
    int64_t length = 0, blockCount = 0, blockSize = 0;
    std::vector<std::pair<int64_t, std::vector<float>>> blocks; // present blocks: index, values

    // The value at an index; +inf (nothing recorded) when absent.
    float at (int64_t index) const;
};

struct Session
{
    int32_t magic = 0, version = 0;
    float sampleRate = 0.0f;
    int32_t blockSize = 0, channels = 0;
    float lookaheadMs = 0.0f, averagingMs = 0.0f;
    int64_t maxPosition = 0;
    SessionSeries series[4];
    std::vector<std::pair<int64_t, int64_t>> overRegions;
};

constexpr int32_t sessionMagic = 0x05BFF210;
constexpr int64_t historyBlockSize = 15000;

// Decodes the attribute (nullopt with a reason when it is empty or damaged).
std::optional<juce::MemoryBlock> sessionBlob (const juce::XmlElement& state, juce::String& error);
std::optional<Session> parseSession (const juce::MemoryBlock& blob, juce::String& error);
// A blob from the parts (used to build damaged ones).
juce::MemoryBlock writeSession (const Session& session);

// The environment variable by which a program that embeds the plug-in tells
// it that its play head reports correct timeline positions (the plug-in then
// records and caches the session as in a host it knows).
constexpr const char* timelineDeclaration = "TARN_TIMELINE_POSITIONS_SUPPLIED";

//==============================================================================
// Signals and measurements.
std::function<int()> fixedBlocks (int size);
std::function<int()> varyingBlocks (int maxSize, uint32_t seed);

bool allFinite (const Channels& channels, int from = 0);
double truePeakDb (const Channels& channels, double sampleRate, int skip);
Channels makeChannels (int channels, int length);

//==============================================================================
// The check groups. Each adds its rows to the report.
struct Context
{
    Report& report;
    Plugins& plugins;
    const PluginBinary& binary;
    bool quick = false;
};

void checkParameters (Context&);
void checkProcessing (Context&);
void checkAutomation (Context&);
void checkState (Context&);
void checkHostileState (Context&);
void checkInstances (Context&);
void checkAllocations (Context&);

} // namespace tarn::validate
