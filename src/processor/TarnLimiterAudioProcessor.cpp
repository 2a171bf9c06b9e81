#include "processor/TarnLimiterAudioProcessor.h"

#include "analytics/AnalyticsSetup.h"
#include "processor/SessionState.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
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

// Every user parameter; the two meters are written by the processor itself.
constexpr const char* listenedParameters[] { "Threshold", "PreGain", "AutoRelease", "ReleaseTime", "AutoReleaseReactivity",
                                              "ReleaseCurve", "PostGain", "MaxTarget", "Maximizer" };

// View values from files and states: kept only when they make sense.
float sanePositive (double value, float fallback)
{
    return std::isfinite (value) && value > 0.0 && value < 1.0e6 ? (float) value : fallback;
}

int saneWindowSize (int value)
{
    return juce::jlimit (100, 16384, value);
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
      valueTreeState (*this, &undoManager, "TarnLimiter", createParameterLayout()),
      hostVerdict (judgeHost (wrapperType))
{
    // View preferences of the last saved state of any instance.
    userSettings.setStorageParameters (userSettingsOptions());
    if (auto* file = userSettings.getUserSettings())
    {
        horizontalScaling = sanePositive (file->getDoubleValue ("HorizontalScaling", horizontalScaling.load()), horizontalScaling.load());
        verticalScaling = sanePositive (file->getDoubleValue ("VerticalScaling", verticalScaling.load()), verticalScaling.load());
        isViewExpanded = file->getBoolValue ("IsViewExpanded", isViewExpanded.load());
        isEmphasisOnTruePeakOutput = file->getBoolValue ("IsEmphasisOnTruePeakOutput", isEmphasisOnTruePeakOutput.load());
        windowHeight = saneWindowSize (file->getIntValue ("WindowHeight", windowHeight.load()));
        windowWidth = saneWindowSize (file->getIntValue ("WindowWidth", windowWidth.load()));
    }

    for (const char* id : listenedParameters)
        valueTreeState.addParameterListener (id, this);

    if (const char* value = std::getenv (timelinePositionsEnvironmentVariable))
        timelinePositionsSupplied = juce::String (value).trim() == "1";

    startTimer (40);

    // Usage analytics: nothing is registered (and nothing leaves the
    // machine) unless a collection URL is configured.
    const juce::String hostDescription = juce::PluginHostType().getHostDescription();
    const auto operatingSystem = juce::SystemStats::getOperatingSystemName();
    tarn::registerAnalyticsDestination (userSettings.getUserSettings());
    tarn::setAnalyticsUserIdentity (hostDescription, operatingSystem);

    tarn::logAnalyticsEvent ("Startup", {}, 0);
    tarn::logAnalyticsEvent (hostDescription, {}, 1);
    tarn::logAnalyticsEvent (operatingSystem, {}, 1);
    tarn::logAnalyticsEvent (juce::AudioProcessor::getWrapperTypeDescription (wrapperType), {}, 1);
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
    // JUCE 7.0.5's LV2 wrapper lists a discrete parameter's choices with
    // normalised values against its plain range, so LV2 hosts would send 0.25
    // for "Natural" and get "Linear": there the curve is a plain 0 ... 4 number.
    layout.add (makeParameter (
        "ReleaseCurve", "Release Curve", skewed (0.0f, 4.0f, 1.0f, 1.0f), 2.0f,
        [names = releaseCurveNames] (float value) { return Text::fromReleaseCurve (names, value); },
        [names = releaseCurveNames] (const juce::String& text) { return Text::toReleaseCurve (names, text); },
        false, true, wrapperType != wrapperType_LV2));

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
    // The timer may run on the framework's own message thread while the host
    // destroys the processor on another: once stopped, wait for a callback
    // still in progress.
    stopTimer();
    {
        const std::lock_guard<std::mutex> lock (timerMutex);
    }
    for (const char* id : listenedParameters)
        valueTreeState.removeParameterListener (id, this);
    forwardQueuedAnalyticsEvents();
    tarn::logAnalyticsEvent ("Shutdown", {}, 0);
}

TarnLimiterAudioProcessor::HostVerdict TarnLimiterAudioProcessor::judgeHost (WrapperType wrapper)
{
    const juce::PluginHostType host;

    if (host.isPremiere() || host.isWavelab())
        return HostVerdict::refused;
    if (host.isDaVinciResolve() && wrapper == wrapperType_VST)
        return HostVerdict::refused;
    if (host.isAbletonLive() && wrapper == wrapperType_VST3)
        return HostVerdict::refused;

    return juce::String (host.getHostDescription()) == "Unknown" ? HostVerdict::unknown : HostVerdict::known;
}

bool TarnLimiterAudioProcessor::isHostSupported() const
{
    switch (hostVerdict)
    {
        case HostVerdict::refused: return false;
        case HostVerdict::known:   return true;
        case HostVerdict::unknown: break;
    }
    return timelinePositionsSupplied.load();
}

juce::PropertiesFile::Options TarnLimiterAudioProcessor::userSettingsOptions()
{
    juce::PropertiesFile::Options options;
    options.applicationName = "TarnLimiter2";
    options.filenameSuffix = ".settings";
    options.folderName = "TarnLimiter2";
    options.osxLibrarySubFolder = "Application Support";
    options.commonToAllUsers = false;
    options.ignoreCaseOfKeyNames = false;
    options.doNotSave = false;
    options.millisecondsBeforeSaving = 3000;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.processLock = nullptr;
    return options;
}

TarnLimiterAudioProcessor::Mirror TarnLimiterAudioProcessor::getMirror() const noexcept
{
    return { autoRelease.load(), maxTarget.load(), autoReleaseReactivity.load(), releaseTime.load(),
             releaseCurve.load(), maximizer.load(), threshold.load(), postGain.load(), preGain.load() };
}

TarnLimiterAudioProcessor::ViewState TarnLimiterAudioProcessor::getViewState() const noexcept
{
    ViewState view;
    view.verticalScaling = verticalScaling.load();
    view.horizontalScaling = horizontalScaling.load();
    view.windowHeight = windowHeight.load();
    view.windowWidth = windowWidth.load();
    view.isViewExpanded = isViewExpanded.load();
    view.isEmphasisOnTruePeakOutput = isEmphasisOnTruePeakOutput.load();
    view.hasCompatibilityMessageBeenShown = hasCompatibilityMessageBeenShown.load();
    return view;
}

void TarnLimiterAudioProcessor::setViewState (const ViewState& view) noexcept
{
    verticalScaling = view.verticalScaling;
    horizontalScaling = view.horizontalScaling;
    windowHeight = view.windowHeight;
    windowWidth = view.windowWidth;
    isViewExpanded = view.isViewExpanded;
    isEmphasisOnTruePeakOutput = view.isEmphasisOnTruePeakOutput;
    hasCompatibilityMessageBeenShown = view.hasCompatibilityMessageBeenShown;
}

void TarnLimiterAudioProcessor::setDitherNoiseShape (int type)
{
    ditherNoiseShape = type;
    if (dither != nullptr)
        dither->setNoiseShape (type);
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
            // that switching it off does not make the output jump. The mirror
            // takes it at once; the parameter is written by the timer on the
            // message thread: hosts ignore parameter changes made inside their
            // own change callbacks (JUCE's VST3 wrapper drops them), and the
            // audio thread must not take the framework's listener locks. The
            // write re-enters here for "PostGain", which is stored now that
            // the maximizer is off.
            if (hasLimiterPostGain.load (std::memory_order_acquire))
                postGain.store (limiterPostGain.load (std::memory_order_relaxed));
            postGainWriteBackPending.store (true, std::memory_order_release);
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
    if (std::this_thread::get_id() == messageThread)
        forwardQueuedAnalyticsEvents();
}

void TarnLimiterAudioProcessor::forwardQueuedAnalyticsEvents()
{
    // The queue has one consumer at a time; the timer and the thread that
    // built the processor may differ in a plug-in (never the audio thread).
    const std::lock_guard<std::mutex> lock (messageSideMutex);
    analyticsQueue.forwardToAnalytics();
}

//==============================================================================
void TarnLimiterAudioProcessor::writeBackPostGain()
{
    if (! postGainWriteBackPending.exchange (false, std::memory_order_acquire) || maximizer.load())
        return;

    if (auto* parameter = valueTreeState.getParameter ("PostGain"))
    {
        const auto range = valueTreeState.getParameterRange ("PostGain");
        parameter->setValueNotifyingHost (range.convertTo0to1 (juce::jlimit (range.start, range.end, postGain.load())));
    }
}

void TarnLimiterAudioProcessor::timerCallback()
{
    const std::lock_guard<std::mutex> lock (timerMutex);
    writeBackPostGain();
    forwardQueuedAnalyticsEvents();
    takeAudioError();
    limiters.collectRetired();

    const auto current = limiters.current();
    if (current == nullptr)
        return;

    if (! isWrapperWithoutMeters (wrapperType))
        writeMeterParameters (*current);

    // The release-time and post-gain readouts of the editor's sliders follow
    // the limiter here once the editor has them; the generic editor shows
    // the parameters only.
}

void TarnLimiterAudioProcessor::writeMeterParameters (Limiter& current)
{
    const auto write = [this] (const char* id, const juce::NormalisableRange<float>& range, float value)
    {
        if (std::isnan (value))
            value = range.start;
        if (range.interval > 0.0f && std::isfinite (value))
            value = range.start + range.interval * std::floor ((value - range.start) / range.interval + 0.5f);
        value = juce::jlimit (range.start, range.end, value);
        if (auto* parameter = valueTreeState.getParameter (id))
            parameter->setValueNotifyingHost (range.convertTo0to1 (value));
    };

    write ("TruePeak", truePeakRange, current.windowPeak (tarn::HistorySeries::limitedLevel));
    write ("GainReduction", gainReductionRange, current.windowPeak (tarn::HistorySeries::gainReduction));
}

bool TarnLimiterAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto& input = layouts.getMainInputChannelSet();
    const auto& output = layouts.getMainOutputChannelSet();
    if (input.isDisabled() || output.isDisabled())
        return false;
    if (input != juce::AudioChannelSet::mono() && input != juce::AudioChannelSet::stereo())
        return false;
    return input == output;
}

//==============================================================================
std::shared_ptr<tarn::HistoryTruePeakBrickWallLimiter> TarnLimiterAudioProcessor::makeLimiter (int channels, std::uint64_t initialMaxPosition) const
{
    return std::make_shared<Limiter> (blockSize, channels, (uint16_t) 50, initialMaxPosition, (float) sampleRate, 9.0f, 4.0f);
}

void TarnLimiterAudioProcessor::prepareToPlay (double newSampleRate, int maximumExpectedSamplesPerBlock)
{
    const int channels = processorChannels();
    sampleRate = newSampleRate;
    blockSize = std::max (1, maximumExpectedSamplesPerBlock);

    try
    {
        auto current = limiters.current();
        const bool keep = current != nullptr && current->getHostSampleRate() == (float) sampleRate
                          && current->getHostBlockSize() == blockSize && current->getNumChannels() == channels;

        if (! keep)
        {
            const float thresholdToKeep = current != nullptr ? (float) current->getThresholdDb() : threshold.load();
            auto fresh = makeLimiter (channels, 0);
            if (current != nullptr && current->getNumChannels() == channels)
                fresh->copyHistoryFrom (*current);
            fresh->setThresholdImmediately (thresholdToKeep);
            limiters.install (fresh);
            current = std::move (fresh);
            dither.reset();
        }

        // The bypassed signal is delayed like the limited one: the delay line
        // releases a sample delay - 1 samples after it entered, the limiter
        // after latencySamples().
        const auto delay = (std::uint32_t) current->latencySamples() + 1;
        if (! keep || bypassDelay == nullptr || bypassDelay->getDelay() != delay || bypassDelay->getNumChannels() != channels)
            bypassDelay = std::make_unique<tarn::SignalDelayBuffer> (channels, delay);
        crossfadeBuffer.setSize (channels, blockSize);
        pendingBuffer.setSize (channels, blockSize);

        if (dither == nullptr)
        {
            dither = std::make_shared<tarn::Dither> (channels, sampleRate);
            dither->setNoiseShape (1);
        }

        // No audio runs during prepareToPlay: a transition in progress ends
        // on the path the user asked for.
        limiterEngaged = engagedRequest.load();
        crossfading = false;
        otherPathProduced = 0;
        bypassDelay->reset();
        prepared = true;

        const int latency = current->latencySamples();
        if (latency != getLatencySamples())
            setLatencySamples (latency);
    }
    catch (const std::exception& e)
    {
        reportError (e.what());
    }
    catch (...)
    {
        reportError ("Unkown issue");
    }
}

void TarnLimiterAudioProcessor::releaseResources()
{
}

void TarnLimiterAudioProcessor::resetHistory()
{
    if (limiters.isSwapPending() || ! prepared)
        return;

    try
    {
        auto fresh = makeLimiter (processorChannels(), 0);
        fresh->setThresholdImmediately (threshold.load());
        pendingProduced.store (0);
        limiters.beginSwap (std::move (fresh));
    }
    catch (const std::exception& e)
    {
        reportError (e.what());
    }
}

//==============================================================================
void TarnLimiterAudioProcessor::handOverParameters (Limiter& target) noexcept
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

int TarnLimiterAudioProcessor::runLimiter (Limiter& target, float* const* io, int n)
{
    // A limiter that has not processed anything since it was built or reset
    // has no output to keep smooth: it starts at the threshold instead of
    // ramping from its old one across the block, where a long first block
    // (a host setting the threshold just after prepareToPlay) would let peaks
    // above the threshold through.
    if (target.getWarmup() == 0)
        target.setThresholdImmediately (threshold.load (std::memory_order_relaxed));
    handOverParameters (target);
    return target.processBlock (n, const_cast<float**> (io));
}

TarnLimiterAudioProcessor::Transport TarnLimiterAudioProcessor::readTransport() noexcept
{
    Transport transport;
    auto* playHead = getPlayHead();
    if (playHead == nullptr)
        return transport; // no play head: counts as playing, position unknown

    transport.hasPlayHead = true;
    const auto position = playHead->getPosition();
    if (! position.hasValue())
    {
        // Some wrappers report nothing at all while the transport is stopped.
        transport.isPlaying = false;
        return transport;
    }

    transport.hasPosition = true;
    transport.isPlaying = position->getIsPlaying();
    const auto samples = std::max<std::int64_t> (0, position->getTimeInSamples().orFallback (0));
    const auto origin = position->getEditOriginTime().orFallback (0.0);
    const double originSamples = std::isfinite (origin) ? origin * sampleRate / 1000.0 : 0.0;
    transport.position = (std::uint64_t) samples;
    if (originSamples > 0.0 && originSamples < 1.0e18)
        transport.position += (std::uint64_t) originSamples;
    return transport;
}

void TarnLimiterAudioProcessor::followTransport (Limiter& target, const Transport& transport, bool applyReset) noexcept
{
    if (transport.hasPosition && isHostSupported())
    {
        const bool positionChanged = transport.position != target.getCurrentPosition();
        if (positionChanged)
            target.setTimelinePosition (transport.position);
        if (applyReset)
            limiterResetPending |= (! transport.isPlaying && positionChanged);
    }

    if (transport.isPlaying)
    {
        if (applyReset && limiterResetPending)
        {
            target.reset();
            limiterResetPending = false;
        }
        if (! target.isRecording())
            target.startRecording();
    }
    else if (target.isRecording())
    {
        target.stopRecording();
    }
}

void TarnLimiterAudioProcessor::copyInto (juce::AudioBuffer<float>& target, const float* const* source, int numChannels, int n) noexcept
{
    for (int c = 0; c < numChannels; ++c)
        std::memcpy (target.getWritePointer (c), source[c], (size_t) n * sizeof (float));
}

void TarnLimiterAudioProcessor::crossfade (float* const* out, const float* const* copy, int numChannels,
                                           int produced, int other, int fadeLength) noexcept
{
    // Both paths' valid samples start at index 0; offset lines up their last samples.
    const int offset = produced - other;
    const int startB = std::max (0, other - produced);
    const int count = std::min (other - startB, fadeLength);

    if (count > 0)
    {
        const float r = 1.0f / (float) count;
        for (int i = 0; i < count; ++i)
        {
            const float g = (float) (i + 1) * r;
            for (int c = 0; c < numChannels; ++c)
                out[c][i + startB + offset] = out[c][i + startB + offset] * (1.0f - g) + copy[c][i + startB] * g;
        }
    }

    for (int c = 0; c < numChannels; ++c)
        for (int j = startB + std::max (0, count); j < other; ++j)
            out[c][j + offset] = copy[c][j];
}

int TarnLimiterAudioProcessor::processLimiter (float* const* io, int n, const Transport& transport,
                                               tarn::LimiterHandle<Limiter>::AudioAccess& access)
{
    auto* current = access.getCurrent();
    if (current == nullptr)
        return 0;

    if (! transport.hasPlayHead)
        canCacheSession.store (false, std::memory_order_relaxed);

    followTransport (*current, transport, true);

    auto* pending = access.getPending();
    if (pending == nullptr)
        return runLimiter (*current, io, n);

    // A history reset is fading in: the fresh limiter runs on a copy of the
    // input and follows the transport too, so that it records at the right
    // positions from its first block.
    followTransport (*pending, transport, false);

    const int channels = current->getNumChannels();
    const bool ready = pendingProduced.load (std::memory_order_relaxed) > 0.05 * sampleRate;
    copyInto (pendingBuffer, io, channels, n);
    auto* const* copy = pendingBuffer.getArrayOfWritePointers();

    const int a = runLimiter (*current, io, n);
    const int b = runLimiter (*pending, copy, n);
    pendingProduced.fetch_add (b, std::memory_order_relaxed);

    if (ready)
    {
        crossfade (io, copy, channels, a, b, std::min ((int) (0.02 * sampleRate), b));
        if (access.completeSwap())
            pendingProduced.store (0, std::memory_order_relaxed);
    }
    return a;
}

bool TarnLimiterAudioProcessor::processPiece (float* const* io, int n, const Transport& transport,
                                              tarn::LimiterHandle<Limiter>::AudioAccess& access)
{
    const int channels = bypassDelay->getNumChannels();
    const bool current = limiterEngaged.load (std::memory_order_relaxed);
    const bool requested = engagedRequest.load (std::memory_order_relaxed) && ! hostBypass.load (std::memory_order_relaxed);
    const bool changing = requested != current;

    try
    {
        if (changing)
        {
            copyInto (crossfadeBuffer, io, channels, n);
            if (! crossfading)
            {
                otherPathProduced = 0;
                if (current)
                    bypassDelay->reset();      // bypassing: the delay line starts empty
                else
                    limiterResetPending = true; // engaging: the limiter starts afresh
                crossfading = true;
            }
        }

        const int earlier = otherPathProduced;
        auto* const* copy = crossfadeBuffer.getArrayOfWritePointers();
        int produced = 0, other = 0;

        if (current)
        {
            produced = processLimiter (io, n, transport, access);
            if (changing)
                other = bypassDelay->process (n, const_cast<float**> (copy));
        }
        else
        {
            produced = bypassDelay->process (n, const_cast<float**> (io));
            if (changing)
                other = processLimiter (copy, n, transport, access);
        }

        if (changing)
        {
            otherPathProduced += other;
            if (earlier > 0.05 * sampleRate)
            {
                crossfade (io, copy, channels, produced, other, std::min ((int) (0.02 * sampleRate), other));
                crossfading = false;
                limiterEngaged.store (! current);
            }
        }

        // While a path fills its latency, its valid samples go to the end of
        // the block with zeros in front.
        if (produced < n)
        {
            const int gap = n - produced;
            for (int c = 0; c < channels; ++c)
            {
                std::memmove (io[c] + gap, io[c], (size_t) produced * sizeof (float));
                std::fill (io[c], io[c] + gap, 0.0f);
            }
        }
        return true;
    }
    catch (const std::exception* e)
    {
        reportAudioError (e != nullptr ? e->what() : "Unkown issue");
    }
    catch (const std::exception& e)
    {
        reportAudioError (e.what());
    }
    catch (...)
    {
        reportAudioError ("Unkown issue");
    }
    return false;
}

void TarnLimiterAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    hostBypass.store (false, std::memory_order_relaxed);
    processAudio (buffer);
}

void TarnLimiterAudioProcessor::processBlockBypassed (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    // The host's own bypass takes the same way as the plug-in's: a crossfade
    // to the delay line that keeps the latency, not the undelayed input.
    hostBypass.store (true, std::memory_order_relaxed);
    processAudio (buffer);
}

void TarnLimiterAudioProcessor::processAudio (juce::AudioBuffer<float>& buffer)
{
    juce::ScopedNoDenormals noDenormals;

    const int n = buffer.getNumSamples();
    tarn::LimiterHandle<Limiter>::AudioAccess access (limiters);

    // Nothing limited to hand out before prepareToPlay, or for a layout the
    // processor was not prepared for: the host hears silence rather than
    // unlimited audio.
    const int channels = bypassDelay != nullptr ? bypassDelay->getNumChannels() : 0;
    if (! prepared || access.getCurrent() == nullptr || channels == 0 || buffer.getNumChannels() < channels
        || access.getCurrent()->getNumChannels() != channels)
    {
        buffer.clear();
        return;
    }
    if (n <= 0)
        return;

    const auto transport = readTransport();
    float* io[2] = { buffer.getWritePointer (0), buffer.getWritePointer (channels > 1 ? 1 : 0) };

    // Hosts may send more than they announced: the block runs in pieces of
    // at most the prepared size, each a complete pass of the callback.
    for (int start = 0; start < n;)
    {
        const int length = std::min (blockSize, n - start);
        float* piece[2] = { io[0] + start, io[1] + start };
        auto pieceTransport = transport;
        pieceTransport.position += (std::uint64_t) start;

        if (! processPiece (piece, length, pieceTransport, access))
        {
            // The block may be half processed: the host hears silence rather
            // than unlimited input that could pass the threshold.
            buffer.clear();
            return;
        }
        start += length;
    }

    for (int channel = getTotalNumInputChannels(); channel < buffer.getNumChannels(); ++channel)
        buffer.clear (channel, 0, n);

    if (auto* current = access.getCurrent())
    {
        limiterPostGain.store ((float) current->getPostGainDb(), std::memory_order_relaxed);
        hasLimiterPostGain.store (true, std::memory_order_release);
    }
}

//==============================================================================
void TarnLimiterAudioProcessor::reportAudioError (const char* text) noexcept
{
    errorOccurred.store (true);

    // One analytics event per distinct message; repeats (a failed worker
    // fails every block) are only counted.
    std::uint64_t hash = 1469598103934665603ull;
    for (const char* p = text; *p != 0; ++p)
        hash = (hash ^ (unsigned char) *p) * 1099511628211ull;
    if (hash != lastAudioErrorHash)
    {
        lastAudioErrorHash = hash;
        analyticsQueue.push ("Exception Thrown", text, 0);
    }
    else
    {
        repeatedAudioErrors.fetch_add (1, std::memory_order_relaxed);
    }

    if (! audioErrorWaiting.load (std::memory_order_acquire))
    {
        std::size_t i = 0;
        for (; i + 1 < audioErrorText.size() && text[i] != 0; ++i)
            audioErrorText[i] = text[i];
        audioErrorText[i] = 0;
        audioErrorWaiting.store (true, std::memory_order_release);
    }
}

void TarnLimiterAudioProcessor::takeAudioError()
{
    const std::lock_guard<std::mutex> lock (errorMutex);
    if (audioErrorWaiting.load (std::memory_order_acquire))
    {
        errorMessage = juce::String::fromUTF8 (audioErrorText.data());
        audioErrorWaiting.store (false, std::memory_order_release);
    }
}

juce::String TarnLimiterAudioProcessor::getErrorMessage()
{
    takeAudioError();
    const std::lock_guard<std::mutex> lock (errorMutex);
    return errorMessage;
}

void TarnLimiterAudioProcessor::reportError (const juce::String& text)
{
    tarn::logAnalyticsEvent ("Exception Thrown", text, 0);
    errorOccurred = true;
    const std::lock_guard<std::mutex> lock (errorMutex);
    errorMessage = text;
}

juce::AudioProcessorEditor* TarnLimiterAudioProcessor::createEditor()
{
    return new juce::GenericAudioProcessorEditor (*this);
}

//==============================================================================
void TarnLimiterAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    const auto current = limiters.current();
    if (current == nullptr)
        return; // never prepared: nothing to save

    juce::XmlElement root ("TarnLimiterState");
    const bool cacheSession = canCacheSession.load() && isHostSupported();

    if (cacheSession)
    {
        tarn::session::writeBlob (*current, (float) sampleRate, getTotalNumInputChannels(), sessionScratch);
        root.setAttribute ("CachedLimitingSession", tarn::session::sessionPlaceholder);
    }
    else
    {
        root.setAttribute ("CachedLimitingSession", juce::String());
    }

    const auto view = getViewState();
    auto* settings = userSettings.getUserSettings();
    if (settings != nullptr)
    {
        settings->setValue ("HorizontalScaling", (double) view.horizontalScaling);
        settings->setValue ("IsViewExpanded", view.isViewExpanded);
        settings->setValue ("VerticalScaling", (double) view.verticalScaling);
        settings->setValue ("IsEmphasisOnTruePeakOutput", view.isEmphasisOnTruePeakOutput);
    }

    root.setAttribute ("HorizontalScaling", (double) view.horizontalScaling);
    root.setAttribute ("IsViewExpanded", view.isViewExpanded ? 1 : 0);
    root.setAttribute ("VerticalScaling", (double) view.verticalScaling);
    root.setAttribute ("IsEmphasisOnTruePeakOutput", view.isEmphasisOnTruePeakOutput ? 1 : 0);
    root.setAttribute ("HasCompatibilityMessageBeenShown", view.hasCompatibilityMessageBeenShown ? 1 : 0);
    root.setAttribute ("DitherNoiseShape", ditherNoiseShape.load());
    root.setAttribute ("IsDitherActive", isDitherActive.load() ? 1 : 0);

    // The generic editor has no size of its own to keep; the stored size
    // goes back as it came.
    root.setAttribute ("WindowWidth", view.windowWidth);
    root.setAttribute ("WindowHeight", view.windowHeight);

    if (auto parameters = valueTreeState.copyState().createXml())
        root.addChildElement (parameters.release());

    userSettings.saveIfNeeded();

    tarn::session::writeStateBinary (root, cacheSession ? std::string_view (sessionScratch) : std::string_view(), destData);
}

void TarnLimiterAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    const auto parsed = tarn::session::readStateBinary (data, sizeInBytes);
    if (parsed.xml == nullptr || ! parsed.xml->hasTagName ("TarnLimiterState"))
        return;

    const auto& xml = *parsed.xml;
    auto view = getViewState();
    view.horizontalScaling = sanePositive (xml.getDoubleAttribute ("HorizontalScaling", view.horizontalScaling), view.horizontalScaling);
    view.verticalScaling = sanePositive (xml.getDoubleAttribute ("VerticalScaling", view.verticalScaling), view.verticalScaling);
    view.isViewExpanded = xml.getBoolAttribute ("IsViewExpanded", view.isViewExpanded);
    view.isEmphasisOnTruePeakOutput = xml.getBoolAttribute ("IsEmphasisOnTruePeakOutput", view.isEmphasisOnTruePeakOutput);
    view.hasCompatibilityMessageBeenShown = xml.getBoolAttribute ("HasCompatibilityMessageBeenShown", view.hasCompatibilityMessageBeenShown);
    view.windowHeight = saneWindowSize (xml.getIntAttribute ("WindowHeight", view.windowHeight));
    view.windowWidth = saneWindowSize (xml.getIntAttribute ("WindowWidth", view.windowWidth));
    setViewState (view);

    setDitherNoiseShape (xml.getIntAttribute ("DitherNoiseShape", ditherNoiseShape.load()));
    isDitherActive = xml.getBoolAttribute ("IsDitherActive", isDitherActive.load());

    if (auto* parameters = xml.getChildByName (valueTreeState.state.getType()))
    {
        auto tree = juce::ValueTree::fromXml (*parameters);
        sanitiseParameterTree (tree);
        valueTreeState.replaceState (tree);
        undoManager.clearUndoHistory();
    }

    // The cached session, after the parameters, so that the restored
    // limiter starts at the restored threshold. Whatever goes wrong in it is
    // kept to itself: the attributes and parameters are restored in any case.
    lastSessionLoadError.clear();
    std::string blob;
    if (! parsed.sessionText.empty() && tarn::session::decodeBase64 (parsed.sessionText, blob))
    {
        tarn::session::LoadContext context;
        context.processorChannels = getTotalNumInputChannels();
        context.blockSize = blockSize;
        context.preparedSampleRate = prepared ? sampleRate : 0.0;

        auto loaded = tarn::session::readBlob (blob, context);
        lastSessionLoadError = loaded.error;
        if (loaded.limiter != nullptr)
        {
            loaded.limiter->setThresholdImmediately (threshold.load());
            limiters.install (loaded.limiter);
            if (prepared && loaded.limiter->latencySamples() != getLatencySamples())
                setLatencySamples (loaded.limiter->latencySamples());
        }
    }
}

void TarnLimiterAudioProcessor::sanitiseParameterTree (juce::ValueTree& tree) const
{
    // A damaged or hostile state may carry values that are not numbers or lie
    // outside a parameter's range; they would reach the limiter as they are.
    for (int i = 0; i < tree.getNumChildren(); ++i)
    {
        auto child = tree.getChild (i);
        const auto id = child.getProperty ("id").toString();
        auto* parameter = dynamic_cast<juce::RangedAudioParameter*> (valueTreeState.getParameter (id));
        if (parameter == nullptr || ! child.hasProperty ("value"))
            continue;

        const auto& range = parameter->getNormalisableRange();
        const auto value = (float) (double) child.getProperty ("value");
        if (! std::isfinite (value))
            child.setProperty ("value", parameter->convertFrom0to1 (parameter->getDefaultValue()), nullptr);
        else if (value < range.start || value > range.end)
            child.setProperty ("value", juce::jlimit (range.start, range.end, value), nullptr);
    }
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TarnLimiterAudioProcessor();
}
