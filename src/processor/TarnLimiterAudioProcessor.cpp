#include "processor/TarnLimiterAudioProcessor.h"

#include "analytics/AnalyticsSetup.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

namespace
{
using Parameter = juce::AudioProcessorValueTreeState::Parameter;
using Attributes = juce::AudioProcessorValueTreeStateParameterAttributes;
using Category = juce::AudioProcessorParameter::Category;

// Name and label are the same string for every parameter.
std::unique_ptr<Parameter> makeParameter (const char* id, const char* name, juce::NormalisableRange<float> range,
                                          float defaultValue, std::function<juce::String (float)> toText,
                                          std::function<float (const juce::String&)> fromText,
                                          bool isMeta, bool isAutomatable, bool isDiscrete,
                                          Category category = Category::genericParameter)
{
    auto attributes = Attributes()
                          .withLabel (name)
                          .withStringFromValueFunction ([toText] (float value, int) { return toText (value); })
                          .withValueFromStringFunction (std::move (fromText))
                          .withMeta (isMeta)
                          .withAutomatable (isAutomatable)
                          .withDiscrete (isDiscrete)
                          .withCategory (category);
    return std::make_unique<Parameter> (juce::ParameterID { id, 1 }, name, range, defaultValue, attributes);
}

bool isWrapperWithoutMeters (juce::AudioProcessor::WrapperType type)
{
    return type == juce::AudioProcessor::wrapperType_VST || type == juce::AudioProcessor::wrapperType_VST3;
}
} // namespace

using Text = TarnLimiterAudioProcessor::Text;

juce::String Text::fromDecibels (float value) { return juce::String (value, 1) + "dB"; }
float Text::toDecibels (const juce::String& text) { return (float) text.trimCharactersAtEnd ("dB").getDoubleValue(); }
juce::String Text::fromTruePeak (float value) { return juce::String (value, 1) + "dBFS"; }
float Text::toTruePeak (const juce::String& text) { return (float) text.trimCharactersAtEnd ("dBFS").getDoubleValue(); }
juce::String Text::fromReleaseTime (float value) { return juce::String ((int) value) + "ms"; }
float Text::toReleaseTime (const juce::String& text) { return (float) text.trimCharactersAtEnd ("ms").getDoubleValue(); }
juce::String Text::fromReactivity (float value) { return "X" + juce::String (value, 2); }
float Text::toReactivity (const juce::String& text) { return (float) text.trimCharactersAtStart ("X").getDoubleValue(); }
juce::String Text::fromSwitch (float value) { return value > 0.0f ? "Auto" : "Manual"; }
float Text::toSwitch (const juce::String& text) { return text == "Auto" ? 1.0f : 0.0f; }

juce::String Text::fromReleaseCurve (const juce::StringArray& names, float value)
{
    const auto index = (int) value;
    return index >= 0 && index < names.size() ? names[index] : juce::String();
}

float Text::toReleaseCurve (const juce::StringArray& names, const juce::String& text)
{
    return (float) names.indexOf (text);
}

juce::NormalisableRange<float> TarnLimiterAudioProcessor::rangeWithSkewForCentre (float start, float end, float interval, float centre)
{
    juce::NormalisableRange<float> range (start, end, interval);
    range.setSkewForCentre (centre);
    return range;
}

TarnLimiterAudioProcessor::TarnLimiterAudioProcessor()
    : juce::AudioProcessor (BusesProperties()
                                .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      truePeakRange (-100.0f, 20.0f),
      gainReductionRange (rangeWithSkewForCentre (0.0f, 60.0f, 0.0f, 12.0f)),
      releaseTimeRange (rangeWithSkewForCentre (1.0f, 5000.0f, 1.0f, 500.0f)),
      reactivityRange (rangeWithSkewForCentre (0.01f, 10.0f, 0.01f, 1.0f)),
      valueTreeState (*this, &undoManager, "TarnLimiter", createParameterLayout())
{
    for (const char* id : { "Threshold", "PreGain", "AutoRelease", "ReleaseTime", "AutoReleaseReactivity",
                            "ReleaseCurve", "PostGain", "MaxTarget", "Maximizer" })
        valueTreeState.addParameterListener (id, this);

    startTimer (40);
}

juce::AudioProcessorValueTreeState::ParameterLayout TarnLimiterAudioProcessor::createParameterLayout()
{
    juce::AudioProcessorValueTreeState::ParameterLayout layout;

    auto skewed = [] (float start, float end, float interval, float skew)
    { return juce::NormalisableRange<float> (start, end, interval, skew); };

    layout.add (makeParameter ("Threshold", "Threshold", skewed (-60.0f, 0.0f, 0.1f, 6.5788116f), 0.0f,
                               Text::fromDecibels, Text::toDecibels, false, true, false));
    layout.add (makeParameter ("PreGain", "Pre Gain", skewed (-20.0f, 20.0f, 0.0f, 1.0f), 0.0f,
                               Text::fromDecibels, Text::toDecibels, false, true, false, Category::inputGain));
    layout.add (makeParameter ("AutoRelease", "Auto Release", skewed (0.0f, 1.0f, 1.0f, 1.0f), 1.0f,
                               Text::fromSwitch, Text::toSwitch, false, true, true));
    layout.add (makeParameter (
        "ReleaseTime", "Release Time", releaseTimeRange, 1.0f,
        Text::fromReleaseTime, Text::toReleaseTime,
        false, true, false));
    layout.add (makeParameter (
        "AutoReleaseReactivity", "Auto Release Reactivity", reactivityRange, 1.0f,
        Text::fromReactivity, Text::toReactivity,
        false, true, false));
    layout.add (makeParameter (
        "ReleaseCurve", "Release Curve", skewed (0.0f, 4.0f, 1.0f, 1.0f), 2.0f,
        [names = releaseCurveNames] (float value) { return Text::fromReleaseCurve (names, value); },
        [names = releaseCurveNames] (const juce::String& text) { return Text::toReleaseCurve (names, text); },
        false, true, true));

    if (! isWrapperWithoutMeters (wrapperType))
    {
        layout.add (makeParameter (
            "TruePeak", "True Peak", truePeakRange, 0.0f,
            Text::fromTruePeak, Text::toTruePeak,
            false, false, false, Category::inputMeter));
        layout.add (makeParameter ("GainReduction", "Gain Reduction", gainReductionRange, 0.0f,
                                   Text::fromDecibels, Text::toDecibels, false, false, false,
                                   Category::compressorLimiterGainReductionMeter));
    }

    layout.add (makeParameter ("PostGain", "Post Gain", skewed (-20.0f, 20.0f, 0.0f, 1.0f), 0.0f,
                               Text::fromDecibels, Text::toDecibels, true, true, false, Category::outputGain));
    layout.add (makeParameter ("MaxTarget", "MaxTarget", skewed (-30.0f, 0.0f, 0.1f, 3.1062839f), 0.0f,
                               Text::fromDecibels, Text::toDecibels, false, true, false));
    layout.add (makeParameter ("Maximizer", "Maximizer", skewed (0.0f, 1.0f, 1.0f, 1.0f), 0.0f,
                               Text::fromSwitch, Text::toSwitch, false, true, true));
    return layout;
}

TarnLimiterAudioProcessor::~TarnLimiterAudioProcessor()
{
    stopTimer();
    for (const char* id : { "Threshold", "PreGain", "AutoRelease", "ReleaseTime", "AutoReleaseReactivity",
                            "ReleaseCurve", "PostGain", "MaxTarget", "Maximizer" })
        valueTreeState.removeParameterListener (id, this);
    forwardQueuedAnalyticsEvents();
    activeLimiter.store (nullptr);
    limiter.reset();
}

TarnLimiterAudioProcessor::Mirror TarnLimiterAudioProcessor::getMirror() const noexcept
{
    return { autoRelease.load(), maxTarget.load(), autoReleaseReactivity.load(), releaseTime.load(),
             releaseCurve.load(), maximizer.load(), threshold.load(), postGain.load(), preGain.load() };
}

void TarnLimiterAudioProcessor::parameterChanged (const juce::String& parameterID, float newValue)
{
    const char* eventName = "";

    if (parameterID == "Threshold")
    {
        threshold.store (newValue);
        eventName = "Threshold";
    }
    else if (parameterID == "ReleaseTime")
    {
        releaseTime.store (newValue);
    }
    else if (parameterID == "AutoRelease")
    {
        autoRelease.store (newValue != 0.0f);
        eventName = "Auto Release";
    }
    else if (parameterID == "Maximizer")
    {
        maximizer.store (newValue != 0.0f);

        if (newValue == 0.0f)
        {
            // Hand the gain the maximizer was applying back to "PostGain", so
            // that switching it off does not make the output jump. The write
            // re-enters here for "PostGain", which is stored now that the
            // maximizer is off.
            if (auto* parameter = valueTreeState.getParameter ("PostGain"))
            {
                const auto range = valueTreeState.getParameterRange ("PostGain");
                if (auto* current = activeLimiter.load (std::memory_order_acquire))
                    postGain.store ((float) current->getPostGainDb());
                parameter->setValueNotifyingHost (range.convertTo0to1 (postGain.load()));
            }
        }
    }
    else if (parameterID == "PreGain")
    {
        preGain.store (newValue);
        eventName = "Pre Gain";
    }
    else if (parameterID == "ReleaseCurve")
    {
        releaseCurve.store ((int) newValue);
    }
    else if (parameterID == "AutoReleaseReactivity")
    {
        autoReleaseReactivity.store (newValue);
    }
    else if (parameterID == "PostGain")
    {
        if (! maximizer.load())
            postGain.store (newValue);
    }
    else if (parameterID == "MaxTarget")
    {
        maxTarget.store (newValue);
    }

    logParameterEvent (eventName, newValue);
}

void TarnLimiterAudioProcessor::logParameterEvent (const char* name, float value)
{
    // Always through the queue, so that events keep their order whichever
    // thread raised them; on the message thread it is emptied right away.
    analyticsQueue.pushValue (name, value, 1);
    if (juce::MessageManager::existsAndIsCurrentThread())
        forwardQueuedAnalyticsEvents();
}

void TarnLimiterAudioProcessor::forwardQueuedAnalyticsEvents()
{
    analyticsQueue.forwardToAnalytics();
}

void TarnLimiterAudioProcessor::timerCallback()
{
    forwardQueuedAnalyticsEvents();
}

bool TarnLimiterAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto& input = layouts.getMainInputChannelSet();
    const auto& output = layouts.getMainOutputChannelSet();
    if (output != juce::AudioChannelSet::mono() && output != juce::AudioChannelSet::stereo())
        return false;
    return input == output;
}

void TarnLimiterAudioProcessor::prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock)
{
    const int channels = juce::jlimit (1, 2, getTotalNumInputChannels());
    const int blockSize = std::max (1, maximumExpectedSamplesPerBlock);

    if (limiter != nullptr && limiter->getHostSampleRate() == (float) sampleRate
        && limiter->getHostBlockSize() == blockSize && limiter->getNumChannels() == channels)
    {
        setLatencySamples (limiter->latencySamples());
        return;
    }

    try
    {
        const float thresholdToKeep = limiter != nullptr ? (float) limiter->getThresholdDb() : threshold.load();
        auto fresh = std::make_shared<tarn::HistoryTruePeakBrickWallLimiter> (blockSize, channels, (uint16_t) 50, 0,
                                                                               (float) sampleRate, 9.0f, 4.0f);
        if (limiter != nullptr && limiter->getNumChannels() == channels)
            fresh->copyHistoryFrom (*limiter);
        fresh->setThresholdImmediately (thresholdToKeep);

        // Not running concurrently with processBlock: the old limiter (and
        // its worker) ends here, on the message thread.
        activeLimiter.store (fresh.get(), std::memory_order_release);
        limiter = std::move (fresh);
        preparedBlockSize = blockSize;
        setLatencySamples (limiter->latencySamples());
    }
    catch (const std::exception& e)
    {
        tarn::logAnalyticsEvent ("Exception Thrown", e.what(), 0);
    }
}

void TarnLimiterAudioProcessor::releaseResources()
{
}

void TarnLimiterAudioProcessor::handOverParameters (tarn::HistoryTruePeakBrickWallLimiter& target) noexcept
{
    const bool isAuto = autoRelease.load (std::memory_order_relaxed);
    const bool isMaximizing = maximizer.load (std::memory_order_relaxed);

    target.setAutoRelease (isAuto);
    target.setMaximizer (isMaximizing);
    if (isAuto)
        target.setReactivity (autoReleaseReactivity.load (std::memory_order_relaxed));
    else
        target.setReleaseTimeMs ((int) releaseTime.load (std::memory_order_relaxed));
    if (isMaximizing)
        target.setMaxTargetDb (maxTarget.load (std::memory_order_relaxed));

    const int curve = releaseCurve.load (std::memory_order_relaxed);
    if (curve != target.getReleaseCurve())
        target.setReleaseCurve (curve);

    target.setPreGainDb (preGain.load (std::memory_order_relaxed));
    target.setThresholdDb (threshold.load (std::memory_order_relaxed));
    if (! isMaximizing)
        target.setPostGainDb (postGain.load (std::memory_order_relaxed));
}

void TarnLimiterAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;

    const int n = buffer.getNumSamples();
    const int inputs = getTotalNumInputChannels();
    for (int channel = inputs; channel < getTotalNumOutputChannels(); ++channel)
        buffer.clear (channel, 0, n);

    auto* current = activeLimiter.load (std::memory_order_acquire);
    if (current == nullptr || n == 0)
        return;

    const int channels = current->getNumChannels();
    if (buffer.getNumChannels() < channels)
    {
        // Not the layout the limiter was prepared for: nothing limited to hand out.
        buffer.clear();
        return;
    }
    float* pointers[2] = { buffer.getWritePointer (0), buffer.getWritePointer (channels > 1 ? 1 : 0) };

    try
    {
        // Transport: follow the host's position and record only while playing.
        bool playing = true;
        if (auto* playHead = getPlayHead())
        {
            if (const auto position = playHead->getPosition())
            {
                playing = position->getIsPlaying();
                const auto samples = position->getTimeInSamples().orFallback (0);
                const auto hostPosition = (std::uint64_t) std::max<int64_t> (0, samples);
                if (hostPosition != current->getCurrentPosition())
                    current->setTimelinePosition (hostPosition);
            }
        }
        if (playing && ! current->isRecording())
            current->startRecording();
        else if (! playing && current->isRecording())
            current->stopRecording();

        handOverParameters (*current);

        // Hosts may send more than they announced: run the block in pieces of
        // at most the prepared size, packing the valid samples together.
        int produced = 0;
        for (int start = 0; start < n;)
        {
            const int length = std::min (preparedBlockSize, n - start);
            float* piece[2] = { pointers[0] + start, pointers[1] + start };
            const int valid = current->processBlock (length, piece);
            if (produced != start)
                for (int channel = 0; channel < channels; ++channel)
                    std::memmove (pointers[channel] + produced, piece[channel], (size_t) valid * sizeof (float));
            produced += valid;
            start += length;
        }

        // Right-align: while the latency fills, the valid samples go to the
        // end of the block and zeros in front.
        if (produced < n)
        {
            const int gap = n - produced;
            for (int channel = 0; channel < channels; ++channel)
            {
                std::memmove (pointers[channel] + gap, pointers[channel], (size_t) produced * sizeof (float));
                std::fill (pointers[channel], pointers[channel] + gap, 0.0f);
            }
        }
    }
    catch (const std::exception& e)
    {
        // The block may be half processed: the host hears silence rather
        // than unlimited input that could pass the threshold.
        buffer.clear();
        analyticsQueue.push ("Exception Thrown", e.what(), 0);
    }
    catch (...)
    {
        buffer.clear();
        analyticsQueue.push ("Exception Thrown", "unknown exception", 0);
    }
}

juce::AudioProcessorEditor* TarnLimiterAudioProcessor::createEditor()
{
    return new juce::GenericAudioProcessorEditor (*this);
}

void TarnLimiterAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    destData.reset();
}

void TarnLimiterAudioProcessor::setStateInformation (const void*, int)
{
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TarnLimiterAudioProcessor();
}
