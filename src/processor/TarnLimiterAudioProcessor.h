#pragma once

#include "analytics/AnalyticsEventQueue.h"
#include "history/HistoryTruePeakBrickWallLimiter.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <memory>

// The plug-in object the host drives. It owns the parameter tree, the
// parameter mirror (plain copies of the parameter values, written by
// parameterChanged on whichever thread changes a parameter and handed to the
// limiter once per block) and the history-recording limiter.
//
// Threads. The constructor, prepareToPlay, releaseResources and the timer run
// on the message thread; processBlock on the host's audio thread, where
// nothing allocates, locks or waits. parameterChanged runs on the thread that
// changes the parameter, often the audio thread for automation: it writes the
// mirror and pushes its analytics event into a preallocated lock-free queue,
// which the timer forwards to the analytics framework on the message thread.
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

    // The limiter of the last prepareToPlay (null before it and after
    // releaseResources). Message thread.
    std::shared_ptr<tarn::HistoryTruePeakBrickWallLimiter> getLimiter() const { return limiter; }

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
    void parameterChanged (const juce::String& parameterID, float newValue) override;
    void timerCallback() override;

    juce::AudioProcessorValueTreeState::ParameterLayout createParameterLayout();
    void handOverParameters (tarn::HistoryTruePeakBrickWallLimiter& target) noexcept;
    void logParameterEvent (const char* name, float value);

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

    tarn::AnalyticsEventQueue analyticsQueue { 256 };

    juce::UndoManager undoManager { 50, 50 };
    juce::AudioProcessorValueTreeState valueTreeState;

    // Replaced only in prepareToPlay and releaseResources, which hosts never
    // run concurrently with processBlock; the audio thread and
    // parameterChanged use the plain pointer.
    std::shared_ptr<tarn::HistoryTruePeakBrickWallLimiter> limiter;
    std::atomic<tarn::HistoryTruePeakBrickWallLimiter*> activeLimiter { nullptr };
    int preparedBlockSize = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TarnLimiterAudioProcessor)
};
