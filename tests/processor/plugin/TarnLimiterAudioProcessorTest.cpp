#include "ProcessorTestHelpers.h"

#include "support/AllocationCounter.h"
#include "support/IndependentTruePeakMeter.h"
#include "support/TestSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <thread>

namespace
{
using Category = juce::AudioProcessorParameter::Category;

struct ParameterRow
{
    const char* id;
    const char* name;
    float start, end, interval, skew;
    float defaultValue;
    bool automatable, meta, discrete;
    Category category;
};

// skew for centre c: ln 0.5 / ln ((c - start) / (end - start)), in single precision.
const ParameterRow parameterTable[] = {
    { "Threshold", "Threshold", -60.0f, 0.0f, 0.1f, 6.5788116f, 0.0f, true, false, false, Category::genericParameter },
    { "PreGain", "Pre Gain", -20.0f, 20.0f, 0.0f, 1.0f, 0.0f, true, false, false, Category::inputGain },
    { "AutoRelease", "Auto Release", 0.0f, 1.0f, 1.0f, 1.0f, 1.0f, true, false, true, Category::genericParameter },
    { "ReleaseTime", "Release Time", 1.0f, 5000.0f, 1.0f, 0.300795f, 1.0f, true, false, false, Category::genericParameter },
    { "AutoReleaseReactivity", "Auto Release Reactivity", 0.01f, 10.0f, 0.01f, 0.299851f, 1.0f, true, false, false, Category::genericParameter },
    { "ReleaseCurve", "Release Curve", 0.0f, 4.0f, 1.0f, 1.0f, 2.0f, true, false, true, Category::genericParameter },
    { "TruePeak", "True Peak", -100.0f, 20.0f, 0.0f, 1.0f, 0.0f, false, false, false, Category::inputMeter },
    { "GainReduction", "Gain Reduction", 0.0f, 60.0f, 0.0f, 0.430677f, 0.0f, false, false, false, Category::compressorLimiterGainReductionMeter },
    { "PostGain", "Post Gain", -20.0f, 20.0f, 0.0f, 1.0f, 0.0f, true, true, false, Category::outputGain },
    { "MaxTarget", "MaxTarget", -30.0f, 0.0f, 0.1f, 3.1062839f, 0.0f, true, false, false, Category::genericParameter },
    { "Maximizer", "Maximizer", 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, true, false, true, Category::genericParameter },
};

class ProcessorTest : public ::testing::Test
{
protected:
    TarnLimiterAudioProcessor processor;
};

TEST_F (ProcessorTest, ParametersMatchTheTableInOrder)
{
    const auto& parameters = processor.getParameters();
    ASSERT_EQ (parameters.size(), (int) std::size (parameterTable));

    for (size_t i = 0; i < std::size (parameterTable); ++i)
    {
        const auto& row = parameterTable[i];
        SCOPED_TRACE (row.id);
        auto* p = dynamic_cast<juce::RangedAudioParameter*> (parameters[(int) i]);
        ASSERT_NE (p, nullptr);
        EXPECT_EQ (p->getParameterID(), row.id);
        EXPECT_EQ (p->getName (100), row.name);
        EXPECT_EQ (p->getLabel(), row.name);
        const auto& range = p->getNormalisableRange();
        EXPECT_EQ (range.start, row.start);
        EXPECT_EQ (range.end, row.end);
        EXPECT_FLOAT_EQ (range.interval, row.interval);
        EXPECT_NEAR (range.skew, row.skew, 2e-6f);
        EXPECT_FALSE (range.symmetricSkew);
        EXPECT_FLOAT_EQ (range.convertFrom0to1 (p->getDefaultValue()), row.defaultValue);
        EXPECT_FLOAT_EQ (range.convertFrom0to1 (p->getValue()), row.defaultValue);
        EXPECT_EQ (p->isAutomatable(), row.automatable);
        EXPECT_EQ (p->isMetaParameter(), row.meta);
        EXPECT_EQ (p->isDiscrete(), row.discrete);
        EXPECT_EQ (p->getCategory(), row.category);
    }
    EXPECT_EQ (processor.getValueTreeState().state.getType().toString(), "TarnLimiter");
}

TEST_F (ProcessorTest, SkewedRangesPutTheirCentresAtMidTravel)
{
    struct Case { const char* id; float middle; };
    for (auto [id, middle] : { Case { "Threshold", -6.0f }, Case { "MaxTarget", -6.0f },
                               Case { "ReleaseTime", 500.0f }, Case { "AutoReleaseReactivity", 1.0f },
                               Case { "GainReduction", 12.0f } })
    {
        SCOPED_TRACE (id);
        const auto range = parameter (processor, id).getNormalisableRange();
        EXPECT_NEAR (range.convertTo0to1 (middle), 0.5f, 1e-4f);
    }
}

TEST_F (ProcessorTest, ValueToText)
{
    using Text = TarnLimiterAudioProcessor::Text;
    const auto& names = processor.getReleaseCurveNames();
    struct Case { juce::String text; const char* expected; };
    const Case cases[] = {
        { Text::fromDecibels (-6.0f), "-6.0dB" },     { Text::fromDecibels (3.26f), "3.3dB" },
        { Text::fromDecibels (0.0f), "0.0dB" },       { Text::fromTruePeak (-1.04f), "-1.0dBFS" },
        { Text::fromReleaseTime (250.7f), "250ms" },  { Text::fromReleaseTime (249.9f), "249ms" },
        { Text::fromReactivity (1.0f), "X1.00" },     { Text::fromReactivity (0.5f), "X0.50" },
        { Text::fromSwitch (1.0f), "Auto" },          { Text::fromSwitch (0.0f), "Manual" },
        { Text::fromReleaseCurve (names, 0.0f), "Linear" }, { Text::fromReleaseCurve (names, 2.0f), "Transparent" },
        { Text::fromReleaseCurve (names, 4.9f), "Pumping" }, { Text::fromReleaseCurve (names, 5.0f), "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (c.text, c.expected);

    // Each parameter shows its value through its own conversion.
    struct Wiring { const char* id; float value; const char* text; };
    const Wiring wiring[] = {
        { "Threshold", -6.0f, "-6.0dB" },  { "PreGain", 3.3f, "3.3dB" },   { "PostGain", -1.5f, "-1.5dB" },
        { "MaxTarget", -0.1f, "-0.1dB" },  { "GainReduction", 12.0f, "12.0dB" }, { "TruePeak", -1.0f, "-1.0dBFS" },
        { "ReleaseTime", 250.0f, "250ms" }, { "AutoReleaseReactivity", 0.5f, "X0.50" },
        { "AutoRelease", 0.0f, "Manual" }, { "Maximizer", 1.0f, "Auto" }, { "ReleaseCurve", 3.0f, "Smooth" },
    };
    for (const auto& w : wiring)
    {
        SCOPED_TRACE (w.id);
        auto& p = parameter (processor, w.id);
        EXPECT_EQ (p.getText (p.convertTo0to1 (w.value), 100), w.text);
    }
}

TEST_F (ProcessorTest, TextToValue)
{
    struct Case { const char* id; const char* text; float value; };
    const Case cases[] = {
        { "Threshold", "-6.0dB", -6.0f },      { "Threshold", "-12.5", -12.5f },
        { "PreGain", "4.3dB", 4.3f },          { "PostGain", "-20dB", -20.0f },
        { "MaxTarget", "-3.0dB", -3.0f },      { "GainReduction", "6.0dB", 6.0f },
        { "TruePeak", "-1.5dBFS", -1.5f },
        { "ReleaseTime", "250 ms", 250.0f },   { "ReleaseTime", "1200ms", 1200.0f },
        { "AutoReleaseReactivity", "X0.50", 0.5f }, { "AutoReleaseReactivity", "XX2.00", 2.0f },
        { "AutoRelease", "Auto", 1.0f },       { "AutoRelease", "auto", 0.0f }, { "AutoRelease", "Manual", 0.0f },
        { "Maximizer", "Auto", 1.0f },         { "Maximizer", "Manual", 0.0f },
        { "ReleaseCurve", "Smooth", 3.0f },    { "ReleaseCurve", "Natural", 1.0f },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string (c.id) + " '" + c.text + "'");
        auto& p = parameter (processor, c.id);
        EXPECT_NEAR (p.convertFrom0to1 (p.getValueForText (c.text)), c.value, 1e-4f);
    }

    // An unknown curve name gives -1, which the range maps to its start ("Linear").
    auto& curve = parameter (processor, "ReleaseCurve");
    EXPECT_EQ (curve.getValueForText ("smooth"), 0.0f);
    EXPECT_EQ (curve.convertFrom0to1 (curve.getValueForText ("smooth")), 0.0f);
}

TEST_F (ProcessorTest, ParameterChangesReachTheMirror)
{
    setPlain (processor, "Threshold", -6.0f);
    setPlain (processor, "PreGain", 2.5f);
    setPlain (processor, "AutoRelease", 0.0f);
    setPlain (processor, "ReleaseTime", 250.0f);
    setPlain (processor, "AutoReleaseReactivity", 0.5f);
    setPlain (processor, "ReleaseCurve", 3.0f);
    setPlain (processor, "PostGain", -1.5f);
    setPlain (processor, "MaxTarget", -3.0f);

    const auto mirror = processor.getMirror();
    EXPECT_FLOAT_EQ (mirror.threshold, -6.0f);
    EXPECT_FLOAT_EQ (mirror.preGain, 2.5f);
    EXPECT_FALSE (mirror.autoRelease);
    EXPECT_FLOAT_EQ (mirror.releaseTime, 250.0f);
    EXPECT_FLOAT_EQ (mirror.autoReleaseReactivity, 0.5f);
    EXPECT_EQ (mirror.releaseCurve, 3);
    EXPECT_FLOAT_EQ (mirror.postGain, -1.5f);
    EXPECT_FLOAT_EQ (mirror.maxTarget, -3.0f);
    EXPECT_FALSE (mirror.maximizer);
}

// Records the host notifications of one parameter index.
struct HostNotifications final : juce::AudioProcessorListener
{
    int index = -1;
    std::vector<float> values;
    void audioProcessorParameterChanged (juce::AudioProcessor*, int parameterIndex, float newValue) override
    {
        if (parameterIndex == index)
            values.push_back (newValue);
    }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
};

TEST_F (ProcessorTest, MaximizerSwitchOffWritesThePostGainBackAndIgnoresPostGainWhileOn)
{
    setPlain (processor, "PostGain", 4.3f);
    setPlain (processor, "Maximizer", 1.0f);
    EXPECT_TRUE (processor.getMirror().maximizer);

    // While maximizing, "PostGain" changes do not reach the mirror.
    setPlain (processor, "PostGain", -3.0f);
    EXPECT_FLOAT_EQ (processor.getMirror().postGain, 4.3f);

    HostNotifications host;
    host.index = parameter (processor, "PostGain").getParameterIndex();
    processor.addListener (&host);
    setPlain (processor, "Maximizer", 0.0f);
    // The parameter is written on the message thread's next timer tick.
    EXPECT_TRUE (host.values.empty());
    processor.runTimerTasks();
    processor.removeListener (&host);

    // No limiter yet: the mirror's post gain goes back into the parameter.
    EXPECT_FALSE (processor.getMirror().maximizer);
    EXPECT_NEAR (parameter (processor, "PostGain").getValue(), 0.6075f, 1e-6f);
    EXPECT_FLOAT_EQ (processor.getMirror().postGain, 4.3f);
    ASSERT_EQ (host.values.size(), 1u);
    EXPECT_NEAR (host.values[0], 0.6075f, 1e-6f);
}

TEST_F (ProcessorTest, MaximizerSwitchOffTakesTheLimitersPostGain)
{
    processor.prepareToPlay (48000.0, 512);
    setPlain (processor, "MaxTarget", -1.0f);
    setPlain (processor, "Maximizer", 1.0f);
    const auto quiet = tarn::test::sine (440.0, 48000.0, 48000, 0.1);
    tarn::test::Channels output;
    runBlocks (processor, tarn::test::stereo (quiet, quiet), 512, output);

    const auto limiter = processor.getLimiter();
    ASSERT_NE (limiter, nullptr);
    const float applied = (float) limiter->getPostGainDb();
    setPlain (processor, "Maximizer", 0.0f);
    EXPECT_FLOAT_EQ (processor.getMirror().postGain, applied); // the audio takes it at once
    processor.runTimerTasks();

    const float expected = juce::jlimit (-20.0f, 20.0f, applied);
    EXPECT_NEAR (parameter (processor, "PostGain").convertFrom0to1 (parameter (processor, "PostGain").getValue()), expected, 1e-4f);
    EXPECT_FLOAT_EQ (processor.getMirror().postGain, applied);
}

TEST_F (ProcessorTest, ChangesOffTheMessageThreadQueueTheirAnalyticsEvents)
{
    // Automation from a host's audio thread: the events wait in the queue,
    // in order, with the names of the event table (empty for the others).
    std::thread audioThread ([this]
    {
        setPlain (processor, "Threshold", -6.0f);
        setPlain (processor, "ReleaseTime", 250.0f);
        setPlain (processor, "PreGain", 1.5f);
        setPlain (processor, "AutoRelease", 0.0f);
    });
    audioThread.join();

    struct Event { std::string name; float value; int type; };
    std::vector<Event> events;
    processor.getAnalyticsQueue().drain ([&] (const tarn::AnalyticsEventQueue::Record& record)
    {
        EXPECT_TRUE (record.labelIsValue);
        events.push_back ({ std::string (record.nameView()), record.value, record.eventType });
    });
    ASSERT_EQ (events.size(), 4u);
    EXPECT_EQ (events[0].name, "Threshold");
    EXPECT_FLOAT_EQ (events[0].value, -6.0f);
    EXPECT_EQ (events[1].name, "");
    EXPECT_FLOAT_EQ (events[1].value, 250.0f);
    EXPECT_EQ (events[2].name, "Pre Gain");
    EXPECT_EQ (events[3].name, "Auto Release");
    for (const auto& e : events)
        EXPECT_EQ (e.type, 1);

    // On the message thread the queue is handed to the framework at once.
    setPlain (processor, "Threshold", -3.0f);
    EXPECT_EQ (processor.getAnalyticsQueue().drain ([] (const auto&) {}), 0u);
}

TEST (ProcessorWrapperTest, Vst3HasNoMeterParameters)
{
    // What the VST3 wrapper does before it creates the processor.
    juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_VST3);
    std::optional<TarnLimiterAudioProcessor> processor;
    processor.emplace();
    juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_Undefined);
    EXPECT_EQ (processor->wrapperType, juce::AudioProcessor::wrapperType_VST3);

    EXPECT_EQ (processor->getParameters().size(), 9);
    EXPECT_EQ (processor->getValueTreeState().getParameter ("TruePeak"), nullptr);
    EXPECT_EQ (processor->getValueTreeState().getParameter ("GainReduction"), nullptr);
    EXPECT_NE (processor->getValueTreeState().getParameter ("PostGain"), nullptr);
}

TEST_F (ProcessorTest, LayoutsMonoAndStereoOnly)
{
    using Set = juce::AudioChannelSet;
    auto layout = [] (Set in, Set out)
    {
        juce::AudioProcessor::BusesLayout l;
        l.inputBuses.add (in);
        l.outputBuses.add (out);
        return l;
    };
    EXPECT_TRUE (processor.checkBusesLayoutSupported (layout (Set::mono(), Set::mono())));
    EXPECT_TRUE (processor.checkBusesLayoutSupported (layout (Set::stereo(), Set::stereo())));
    EXPECT_FALSE (processor.checkBusesLayoutSupported (layout (Set::mono(), Set::stereo())));
    EXPECT_FALSE (processor.checkBusesLayoutSupported (layout (Set::create5point1(), Set::create5point1())));
}

TEST_F (ProcessorTest, LimitsA48kHzStereoSignalRightAlignedAndWithoutAllocating)
{
    setPlain (processor, "Threshold", -1.0f);
    processor.prepareToPlay (48000.0, 512);
    const int latency = processor.getLatencySamples();
    ASSERT_GT (latency, 0);
    ASSERT_LT (latency, 512 * 4);

    const int length = 48000;
    const auto loud = tarn::test::toneCluster (48000.0, length, 7, 2.0); // +6 dBFS peaks
    const auto input = tarn::test::stereo (loud, tarn::test::sine (997.0, 48000.0, length, 1.5));

    // First block alone: valid samples are right-aligned, zeros in front.
    juce::AudioBuffer<float> first (2, 512);
    for (int c = 0; c < 2; ++c)
        first.copyFrom (c, 0, input[(size_t) c].data(), 512);
    juce::MidiBuffer midi;
    processor.processBlock (first, midi);
    EXPECT_EQ (first.getSample (0, 0), 0.0f);
    EXPECT_EQ (first.getSample (1, 0), 0.0f);

    tarn::test::Channels output;
    tarn::test::AllocationCounts counts;
    runBlocks (processor, input, 512, output, &counts); // continues the same stream
    if (tarn::test::allocationCountingAvailable())
    {
        EXPECT_EQ (counts.allocations, 0u);
        EXPECT_EQ (counts.locks, 0u);
    }

    for (const auto& channel : output)
        for (float x : channel)
            ASSERT_TRUE (std::isfinite (x));

    const double thresholdGain = std::pow (10.0, -1.0 / 20.0);
    const double truePeak = tarn::test::independentTruePeak (output, 48000.0, 2 * latency);
    EXPECT_LE (truePeak, thresholdGain * 1.01);          // limited below the threshold (+0.09 dB meter slack)
    EXPECT_GT (tarn::test::samplePeak (output), 0.5f);  // and not silenced
}

TEST_F (ProcessorTest, MonoLayoutRunsAOneChannelLimiter)
{
    juce::AudioProcessor::BusesLayout mono;
    mono.inputBuses.add (juce::AudioChannelSet::mono());
    mono.outputBuses.add (juce::AudioChannelSet::mono());
    ASSERT_TRUE (processor.setBusesLayout (mono));
    setPlain (processor, "Threshold", -3.0f);
    processor.prepareToPlay (44100.0, 441);
    ASSERT_NE (processor.getLimiter(), nullptr);
    EXPECT_EQ (processor.getLimiter()->getNumChannels(), 1);

    tarn::test::Channels output;
    runBlocks (processor, { tarn::test::toneCluster (44100.0, 44100, 3, 2.0) }, 441, output);
    const double truePeak = tarn::test::independentTruePeak (output, 44100.0, 2 * processor.getLatencySamples());
    EXPECT_LE (truePeak, std::pow (10.0, -3.0 / 20.0) * 1.01);
    EXPECT_GT (tarn::test::samplePeak (output), 0.3f);
}

TEST_F (ProcessorTest, BlocksLargerThanPreparedAreProcessedInPieces)
{
    processor.prepareToPlay (48000.0, 256);
    const int length = 48000;
    const auto tone = tarn::test::sine (440.0, 48000.0, length, 0.25); // below the threshold
    const auto input = tarn::test::stereo (tone, tone);

    tarn::test::Channels big, small;
    runBlocks (processor, input, 1024, big);

    TarnLimiterAudioProcessor reference;
    reference.prepareToPlay (48000.0, 256);
    runBlocks (reference, input, 256, small);

    // Same stream either way: the pieces join without gaps.
    const int compared = length / 1024 * 1024;
    for (size_t c = 0; c < 2; ++c)
        for (int i = 0; i < compared; ++i)
            ASSERT_NEAR (big[c][(size_t) i], small[c][(size_t) i], 1e-6f) << "channel " << c << " sample " << i;
    EXPECT_GT (tarn::test::samplePeak (big), 0.2f);
}

TEST_F (ProcessorTest, UnpreparedProcessorIsSilentAndEditorIsGeneric)
{
    // Nothing limited exists before prepareToPlay: the host hears silence,
    // not unlimited input.
    juce::AudioBuffer<float> buffer (2, 64);
    buffer.clear();
    buffer.setSample (0, 3, 0.5f);
    juce::MidiBuffer midi;
    processor.processBlock (buffer, midi);
    EXPECT_EQ (buffer.getSample (0, 3), 0.0f);
    EXPECT_TRUE (processor.hasEditor());
    EXPECT_EQ (processor.getName(), "Tarn Limiter 2");
}

} // namespace
