#pragma once

#include "analytics/AnalyticsEventQueue.h"
#include "engine/SignalDelayBuffer.h"
#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "processor/Dither.h"
#include "processor/LimiterHandle.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

// The plug-in object the host drives. It owns the parameter tree, the
// parameter mirror (plain copies of the parameter values, written by
// parameterChanged on whichever thread changes a parameter and handed to the
// limiter once per block), the history-recording limiter, the delay line of
// the bypassed signal, the dither object, the view state and the error slot.
//
// Threads. The constructor, prepareToPlay, the state, resetHistory and the
// timer run on the message thread; processBlock on the host's audio thread,
// where nothing allocates, locks or waits. parameterChanged runs on the
// thread that changes the parameter, often the audio thread for automation:
// it writes the mirror and pushes its analytics event into a preallocated
// lock-free queue, which the timer forwards to the analytics framework on the
// message thread. Errors caught on the audio thread go into a fixed slot that
// the message thread reads.
//
// Limiters are held by a LimiterHandle: the audio thread swaps in a reset
// limiter without touching reference counts, and a replaced limiter is
// destroyed (its worker joined) only on the message thread.
class TarnLimiterAudioProcessor : public juce::AudioProcessor,
                                  private juce::AudioProcessorValueTreeState::Listener,
                                  private juce::Timer
{
public:
    TarnLimiterAudioProcessor();
    ~TarnLimiterAudioProcessor() override;

    // AudioProcessor
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    void processBlockBypassed (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override { return true; }

    const juce::String getName() const override { return "Tarn Limiter 2"; }
    bool acceptsMidi() const override { return false; }
    bool producesMidi() const override { return false; }
    bool isMidiEffect() const override { return false; }
    double getTailLengthSeconds() const override { return 0.0; }

    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram (int) override {}
    const juce::String getProgramName (int) override { return {}; }
    void changeProgramName (int, const juce::String&) override {}

    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    // The limiter in use (shared ownership; null before the first
    // prepareToPlay). Any thread; it stays alive while the copy is held.
    std::shared_ptr<tarn::HistoryTruePeakBrickWallLimiter> getLimiter() const { return limiters.current(); }
    // The fresh limiter of a history reset while it fades in, else null.
    std::shared_ptr<tarn::HistoryTruePeakBrickWallLimiter> getPendingLimiter() const { return limiters.pending(); }

    // Starts a history reset: a fresh limiter runs beside the current one for
    // 50 ms and is crossfaded in. Ignored while a reset is fading in. Message thread.
    void resetHistory();
    bool isResetPending() const noexcept { return limiters.isSwapPending(); }

    // Engage / bypass: the path the user wants and the path heard now.
    void setEngagedRequest (bool engaged) noexcept { engagedRequest.store (engaged); }
    bool getEngagedRequest() const noexcept { return engagedRequest.load(); }
    bool isLimiterEngaged() const noexcept { return limiterEngaged.load(); }

    // The error slot. getErrorMessage() is "noException" until an error was
    // caught; message thread.
    bool hasErrorOccurred() const noexcept { return errorOccurred.load(); }
    juce::String getErrorMessage();

    // Whether the session may be cached in the saved state: a known host that
    // supplies timeline positions, or an embedding program that says so.
    bool isHostSupported() const;

    // Programs that embed the processor (the offline renderer, the tests) are
    // "Unknown" hosts to the framework. They call this to state that their
    // play head reports correct timeline positions, which lets the session be
    // recorded and cached like in a supported host. A host that loads the
    // plug-in binary says the same by setting the environment variable below
    // to 1 before it creates the instance.
    void setTimelinePositionsSupplied (bool supplied) noexcept { timelinePositionsSupplied.store (supplied); }
    bool areTimelinePositionsSupplied() const noexcept { return timelinePositionsSupplied.load(); }
    static constexpr const char* timelinePositionsEnvironmentVariable = "TARN_TIMELINE_POSITIONS_SUPPLIED";

    // Session caching is switched off for good once a block arrives without a play head.
    bool getCanCacheSession() const noexcept { return canCacheSession.load(); }

    // View state (editor and saved state). Plain words, any thread.
    struct ViewState
    {
        float verticalScaling = 16.0f;
        float horizontalScaling = 50.0f;
        int windowHeight = 600, windowWidth = 800;
        bool isViewExpanded = true;
        bool isEmphasisOnTruePeakOutput = false;
        bool hasCompatibilityMessageBeenShown = false;
    };
    ViewState getViewState() const noexcept;
    void setViewState (const ViewState& state) noexcept;

    bool getIsDitherActive() const noexcept { return isDitherActive.load(); }
    void setIsDitherActive (bool active) noexcept { isDitherActive.store (active); }
    int getDitherNoiseShape() const noexcept { return ditherNoiseShape.load(); }
    // Stores the type and applies it to the dither object when there is one.
    void setDitherNoiseShape (int type);
    std::shared_ptr<tarn::Dither> getDither() const { return dither; }

    // The per-user settings file (view preferences); JUCE's location for the
    // options below: ~/TarnLimiter2/TarnLimiter2.settings on Linux.
    static juce::PropertiesFile::Options userSettingsOptions();
    juce::PropertiesFile* getUserSettingsFile() { return userSettings.getUserSettings(); }

    // Runs what the 40 ms timer does (meters, analytics, errors, freeing
    // replaced limiters); for programs without a running message loop.
    void runTimerTasks() { timerCallback(); }

    // Why the last restored session was not read to its end (empty when it
    // was, or when the state had none). Nothing of it reaches the user.
    const std::string& getLastSessionLoadError() const noexcept { return lastSessionLoadError; }

    // Replaced limiters not yet freed (freed once no audio callback is open).
    std::size_t getRetiredLimiterCount() const noexcept { return limiters.retiredCount(); }

    juce::AudioProcessorValueTreeState& getValueTreeState() noexcept { return valueTreeState; }
    const juce::StringArray& getReleaseCurveNames() const noexcept { return releaseCurveNames; }

    // Sends the analytics events queued by other threads (message thread; the
    // timer does it every 40 ms).
    void forwardQueuedAnalyticsEvents();
    tarn::AnalyticsEventQueue& getAnalyticsQueue() noexcept { return analyticsQueue; }

    // The parameter mirror, read-only, for tests and the editor.
    struct Mirror
    {
        bool autoRelease;
        float maxTarget;
        float autoReleaseReactivity;
        float releaseTime;
        int releaseCurve;
        bool maximizer;
        float threshold;
        float postGain;
        float preGain;
    };
    Mirror getMirror() const noexcept;

    // The ranges the processor needs outside the parameter objects.
    const juce::NormalisableRange<float> truePeakRange;
    const juce::NormalisableRange<float> gainReductionRange;
    const juce::NormalisableRange<float> releaseTimeRange;
    const juce::NormalisableRange<float> reactivityRange;

    // The parameters' text conversions (value to text, text to value).
    struct Text
    {
        static juce::String fromDecibels (float value);          // -6.0dB
        static float toDecibels (const juce::String& text);
        static juce::String fromTruePeak (float value);          // -1.0dBFS
        static float toTruePeak (const juce::String& text);
        static juce::String fromReleaseTime (float value);       // 249ms
        static float toReleaseTime (const juce::String& text);
        static juce::String fromReactivity (float value);        // X1.00
        static float toReactivity (const juce::String& text);
        static juce::String fromSwitch (float value);            // Auto / Manual
        static float toSwitch (const juce::String& text);
        static juce::String fromReleaseCurve (const juce::StringArray& names, float value);
        static float toReleaseCurve (const juce::StringArray& names, const juce::String& text);
    };

    static juce::NormalisableRange<float> rangeWithSkewForCentre (float start, float end, float interval, float centre);

private:
    using Limiter = tarn::HistoryTruePeakBrickWallLimiter;

    void parameterChanged (const juce::String& parameterID, float newValue) override;
    void timerCallback() override;

    juce::AudioProcessorValueTreeState::ParameterLayout createParameterLayout();
    void handOverParameters (Limiter& target) noexcept;
    void logParameterEvent (const char* name, float value);
    std::shared_ptr<Limiter> makeLimiter (int channels, std::uint64_t initialMaxPosition) const;
    int processorChannels() const noexcept { return juce::jlimit (1, 2, getTotalNumInputChannels()); }

    // Audio thread.
    struct Transport
    {
        bool hasPlayHead = false;
        bool hasPosition = false;
        bool isPlaying = true;
        std::uint64_t position = 0;
    };
    Transport readTransport() noexcept;
    void processAudio (juce::AudioBuffer<float>& buffer);
    void writeBackPostGain();
    bool processPiece (float* const* io, int n, const Transport& transport,
                       tarn::LimiterHandle<Limiter>::AudioAccess& access);
    int processLimiter (float* const* io, int n, const Transport& transport, tarn::LimiterHandle<Limiter>::AudioAccess& access);
    void followTransport (Limiter& target, const Transport& transport, bool applyReset) noexcept;
    int runLimiter (Limiter& target, float* const* io, int n);
    static void crossfade (float* const* out, const float* const* copy, int numChannels, int produced, int other, int fadeLength) noexcept;
    static void copyInto (juce::AudioBuffer<float>& target, const float* const* source, int numChannels, int n) noexcept;
    void reportAudioError (const char* text) noexcept;
    void reportError (const juce::String& text);
    void takeAudioError();
    void writeMeterParameters (Limiter& current);
    void sanitiseParameterTree (juce::ValueTree& tree) const;

    // Whether the host may keep the cached session, judged once at construction.
    enum class HostVerdict
    {
        refused, // known to misreport timeline positions
        known,
        unknown
    };
    static HostVerdict judgeHost (WrapperType wrapper);

    const juce::StringArray releaseCurveNames { "Linear", "Natural", "Transparent", "Smooth", "Pumping" };

    // The mirror: single words, written by parameterChanged, read per block.
    std::atomic<bool> autoRelease { true };
    std::atomic<float> maxTarget { 0.0f };
    std::atomic<float> autoReleaseReactivity { 1.0f };
    std::atomic<float> releaseTime { 1.0f };
    std::atomic<int> releaseCurve { 2 };
    std::atomic<bool> maximizer { false };
    std::atomic<float> threshold { 0.0f };
    std::atomic<float> postGain { 0.0f };
    std::atomic<float> preGain { 0.0f };

    // The limiter's post gain after the last block, for the maximizer's
    // write-back (parameterChanged may run on any thread).
    std::atomic<float> limiterPostGain { 0.0f };
    std::atomic<bool> hasLimiterPostGain { false };
    std::atomic<bool> postGainWriteBackPending { false };
    std::atomic<bool> hostBypass { false };
    const std::thread::id messageThread = std::this_thread::get_id();

    tarn::AnalyticsEventQueue analyticsQueue { 256 };
    std::mutex messageSideMutex; // the queue's consumer side; never taken by the audio thread
    std::mutex timerMutex;       // held by timerCallback; the destructor waits on it
    std::atomic<bool> timelinePositionsSupplied { false };

    // View state and dither choices.
    std::atomic<float> verticalScaling { 16.0f };
    std::atomic<float> horizontalScaling { 50.0f };
    std::atomic<int> windowHeight { 600 }, windowWidth { 800 };
    std::atomic<bool> isViewExpanded { true };
    std::atomic<bool> isEmphasisOnTruePeakOutput { false };
    std::atomic<bool> hasCompatibilityMessageBeenShown { false };
    std::atomic<bool> isDitherActive { false };
    std::atomic<int> ditherNoiseShape { 0 };

    std::atomic<bool> canCacheSession { true };
    std::atomic<bool> limiterEngaged { true };
    std::atomic<bool> engagedRequest { true };
    double sampleRate = 48000.0;
    int blockSize = 512;
    bool prepared = false;

    // Audio thread state.
    bool limiterResetPending = false;
    bool crossfading = false;
    int otherPathProduced = 0;
    std::atomic<int> pendingProduced { 0 };

    juce::UndoManager undoManager { 50, 50 };
    juce::AudioProcessorValueTreeState valueTreeState;
    const HostVerdict hostVerdict;
    juce::ApplicationProperties userSettings;

    tarn::LimiterHandle<Limiter> limiters;
    std::unique_ptr<tarn::SignalDelayBuffer> bypassDelay;
    juce::AudioBuffer<float> crossfadeBuffer;
    juce::AudioBuffer<float> pendingBuffer;
    std::shared_ptr<tarn::Dither> dither;

    // Error slot. The audio thread fills the text and raises the flag; the
    // message thread copies it out and lowers the flag.
    std::atomic<bool> errorOccurred { false };
    std::mutex errorMutex; // errorMessage; never taken by the audio thread
    juce::String errorMessage { "noException" };
    std::array<char, 256> audioErrorText {};
    std::atomic<bool> audioErrorWaiting { false };
    std::uint64_t lastAudioErrorHash = 0;
    std::atomic<std::uint64_t> repeatedAudioErrors { 0 };

    std::string lastSessionLoadError;
    std::string sessionScratch; // the session blob of the last save, storage kept for the next

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TarnLimiterAudioProcessor)
};
