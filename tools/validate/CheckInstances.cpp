// Several instances in one process, each on its own audio thread with its own
// settings; a fourth instance is fed NaN and infinity and loaded with a
// damaged state meanwhile. The others' output must be exactly what each
// produces alone.

#include "ValidationHost.h"

#include "support/IndependentTruePeakMeter.h"

#include <cmath>
#include <limits>
#include <thread>

namespace tarn::validate
{
namespace
{
constexpr double rate = 48000.0;
constexpr int blockSize = 256;

struct Settings
{
    const char* name;
    std::vector<std::pair<const char*, float>> values;
    float ceilingDb; // threshold + post gain: where the output peaks
};

const std::vector<Settings> settings {
    { "A", { { "Threshold", -1.0f } }, -1.0f },
    { "B", { { "Threshold", -6.0f }, { "PreGain", 3.0f }, { "AutoRelease", 0.0f }, { "ReleaseTime", 50.0f }, { "ReleaseCurve", 4.0f } }, -6.0f },
    { "C", { { "Threshold", -12.0f }, { "PostGain", -3.0f }, { "ReleaseCurve", 0.0f } }, -15.0f },
};

Channels inputFor (size_t index, int length)
{
    return { tarn::test::denseMaterial (rate, length, 100 + (uint32_t) index * 2),
             tarn::test::denseMaterial (rate, length, 101 + (uint32_t) index * 2) };
}

std::unique_ptr<HostedPlugin> prepared (Context& context, const Settings& s)
{
    auto host = std::make_unique<HostedPlugin> (context.plugins, context.binary);
    if (! host->isValid())
        return host;
    host->prepare (rate, blockSize, 2);
    for (const auto& [id, plain] : s.values)
        host->setPlain (id, plain);
    host->playHead.position = 0;
    return host;
}

// A damaged state for the failing instance: absurd values everywhere.
juce::MemoryBlock damagedState (HostedPlugin& host)
{
    juce::XmlElement root ("TarnLimiterState");
    root.setAttribute ("CachedLimitingSession", "12.!!!!");
    root.setAttribute ("HorizontalScaling", "nan");
    root.setAttribute ("WindowWidth", "-1");
    auto* tree = root.createNewChildElement ("TarnLimiter");
    for (const auto& p : expectedParameters())
    {
        auto* param = tree->createNewChildElement ("PARAM");
        param->setAttribute ("id", p.id);
        param->setAttribute ("value", "nan");
    }
    juce::MemoryBlock bytes;
    juce::AudioProcessor::copyXmlToBinary (root, bytes);
    return wrapPluginState (host.format, host.saveState(), bytes);
}
} // namespace

void checkInstances (Context& context)
{
    const auto format = context.binary.format;
    const int length = (int) ((context.quick ? 0.75 : 1.5) * rate);

    // Each alone first.
    std::vector<Channels> alone;
    for (size_t i = 0; i < settings.size(); ++i)
    {
        auto host = prepared (context, settings[i]);
        if (! host->isValid())
        {
            context.report.add ("instances", format, false, host->getError());
            return;
        }
        alone.push_back (host->run (inputFor (i, length), fixedBlocks (blockSize)));
    }

    // Then all at once, with the failing one beside them.
    std::vector<std::unique_ptr<HostedPlugin>> hosts;
    for (const auto& s : settings)
        hosts.push_back (prepared (context, s));
    auto failing = prepared (context, { "D", { { "Threshold", -3.0f } }, -3.0f });
    const auto damaged = damagedState (*failing);

    std::vector<Channels> together (settings.size());
    Channels failingOutput;
    int nanFrom = 0, nanTo = 0;
    {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < settings.size(); ++i)
            threads.emplace_back ([&, i] { together[i] = hosts[i]->run (inputFor (i, length), fixedBlocks (blockSize)); });

        threads.emplace_back ([&]
        {
            auto input = inputFor (7, length);
            const float nan = std::numeric_limits<float>::quiet_NaN();
            const float inf = std::numeric_limits<float>::infinity();
            nanFrom = length / 5;
            nanTo = nanFrom + (int) (0.05 * rate);
            for (int i = nanFrom; i < nanTo; ++i)
                for (auto& channel : input)
                    channel[(size_t) i] = (i % 3 == 0) ? nan : (i % 3 == 1 ? inf : -inf);

            failingOutput = input;
            const int loadAt = length / 2;
            for (int start = 0; start < length;)
            {
                const int n = std::min (blockSize, length - start);
                if (start <= loadAt && loadAt < start + n)
                    failing->loadState (damaged); // message thread; the others keep running
                failing->processBlock (failingOutput, start, n);
                start += n;
            }
        });
        for (auto& t : threads)
            t.join();
    }

    // Own settings: each peaks at its own ceiling.
    {
        juce::StringArray text, wrong;
        for (size_t i = 0; i < settings.size(); ++i)
        {
            const int skip = std::max (hosts[i]->get().getLatencySamples(), 0) + (int) (0.05 * rate);
            Channels tail;
            for (const auto& y : together[i])
                tail.emplace_back (y.begin() + skip, y.end());
            const double peak = tarn::test::gainToDb (tarn::test::referenceTruePeak (tail, rate));
            text.add (juce::String (settings[i].name) + " " + juce::String (peak, 2) + " dBTP (ceiling " + juce::String (juce::roundToInt (settings[i].ceilingDb)) + ")");
            if (peak > settings[i].ceilingDb + 0.02 || peak < settings[i].ceilingDb - 1.5)
                wrong.add (text[text.size() - 1]);
        }
        context.report.add ("instances: own settings", format, wrong.isEmpty(),
                            (wrong.isEmpty() ? juce::String ("3 instances at once: ") : juce::String ("wrong peak: "))
                                + (wrong.isEmpty() ? text : wrong).joinIntoString (", "));
    }

    // Isolation: the same output as alone, sample for sample.
    {
        juce::StringArray wrong;
        for (size_t i = 0; i < settings.size(); ++i)
        {
            if (together[i] == alone[i])
                continue;
            int firstDifference = -1;
            for (int n = 0; n < length && firstDifference < 0; ++n)
                for (size_t c = 0; c < 2; ++c)
                    if (together[i][c][(size_t) n] != alone[i][c][(size_t) n])
                        firstDifference = n;
            wrong.add (juce::String (settings[i].name) + " differs from sample " + juce::String (firstDifference));
        }
        context.report.add ("instances: isolation", format, wrong.isEmpty(),
                            wrong.isEmpty() ? "each output identical to its solo run while a 4th instance got NaN/inf input and a damaged state"
                                            : wrong.joinIntoString ("; "));
    }

    // The failing instance itself: NaN and infinity in, what comes out?
    {
        int firstBad = -1, lastBad = -1;
        for (int n = 0; n < length; ++n)
            for (const auto& y : failingOutput)
                if (! std::isfinite (y[(size_t) n]))
                {
                    if (firstBad < 0)
                        firstBad = n;
                    lastBad = n;
                }
        const bool finite = firstBad < 0;
        juce::String reason = finite ? "50 ms of NaN/inf input: the output stayed finite"
                                     : "NaN/inf in the output from " + juce::String (1000.0 * firstBad / rate, 1) + " to "
                                           + juce::String (1000.0 * lastBad / rate, 1) + " ms (input bad from "
                                           + juce::String (1000.0 * nanFrom / rate, 1) + " to " + juce::String (1000.0 * nanTo / rate, 1) + " ms)"
                                           + (lastBad >= length - 1 ? ", never recovered" : "");
        if (finite)
        {
            const int skip = (int) (0.2 * rate) + nanTo;
            Channels tail;
            for (const auto& y : failingOutput)
                tail.emplace_back (y.begin() + std::min (skip, length), y.end());
            const double peak = tarn::test::samplePeak (tail);
            reason << "; afterwards peak " << juce::String (tarn::test::gainToDb (peak), 1) << " dBFS";
            if (peak < 0.05)
                reason << " (silent: did it recover?)";
        }
        context.report.add ("instances: NaN/inf input", format, finite, reason);
    }
}

} // namespace tarn::validate
