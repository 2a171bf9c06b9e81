// Automation: every automatable parameter (and the host's bypass) swept fast
// during playback and swept slowly, each compared with the parameter held at
// fixed settings.
//
// The click measure: the largest step between neighbouring output samples,
// relative to the signal's local peak (the largest magnitude within one
// millisecond around it). A smooth 1 kHz tone at 48 kHz scores
// 2 sin (pi 1000 / 48000) = 0.131 whatever its level, and so does a tone whose
// level moves smoothly, however fast the parameter moves within reason; a jump
// in the output adds its size relative to the level. The fixed settings show
// what the signal and the limiter's own gain changes score; a sweep may score
// only a little above them. A discrete parameter of the plug-in switches
// abruptly in the slow sweep too: its step is what the change itself makes
// (switching the maximizer on applies its make-up gain at once), so its fast
// sweep is measured against the slow one. The host's bypass is a switch that
// must not click at all: the plug-in crossfades it.

#include "ValidationHost.h"

#include <cmath>

namespace tarn::validate
{
namespace
{
constexpr double rate = 48000.0;
constexpr int blockSize = 128;
constexpr float baseThresholdDb = -10.0f;
// The fast sweep may score this much above the slow one before it counts as
// a click (a 1 dB jump at the tone's steepest point scores about +0.12).
constexpr double clickMargin = 0.04;

// A 1 kHz tone whose level moves between -3 and -20 dBFS every 60 ms with
// 5 ms ramps, so that the limiter keeps attacking and releasing.
Channels testSignal (int length)
{
    auto signal = makeChannels (2, length);
    const double period = rate * 0.12;
    const double ramp = rate * 0.005;
    for (int i = 0; i < length; ++i)
    {
        const double inPeriod = std::fmod ((double) i, period);
        double loud;
        if (inPeriod < ramp)
            loud = inPeriod / ramp;
        else if (inPeriod < period / 2)
            loud = 1.0;
        else if (inPeriod < period / 2 + ramp)
            loud = 1.0 - (inPeriod - period / 2) / ramp;
        else
            loud = 0.0;
        const double db = -20.0 + 17.0 * loud;
        const double amplitude = std::pow (10.0, db / 20.0);
        const double phase = 2.0 * juce::MathConstants<double>::pi * 1000.0 * i / rate;
        signal[0][(size_t) i] = (float) (amplitude * std::sin (phase));
        signal[1][(size_t) i] = (float) (amplitude * std::sin (phase + 0.7));
    }
    return signal;
}

struct Score
{
    double value = 0.0;
    int at = 0;
    bool finite = true;
};

Score clickScore (const Channels& output, int from)
{
    Score score;
    score.finite = allFinite (output);
    if (! score.finite)
        return score;
    const int halfWindow = (int) (rate * 0.001);
    for (const auto& y : output)
    {
        const int length = (int) y.size();
        for (int i = from + halfWindow; i < length - halfWindow; ++i)
        {
            float local = 0.0f;
            for (int k = i - halfWindow; k <= i + halfWindow; ++k)
                local = std::max (local, std::abs (y[(size_t) k]));
            if (local < 1.0e-4f) // below -80 dBFS: nothing to hear
                continue;
            const double step = std::abs (y[(size_t) i] - y[(size_t) i - 1]) / local;
            if (step > score.value)
            {
                score.value = step;
                score.at = i;
            }
        }
    }
    return score;
}

// Triangle from 0 to 1 and back over the period, in blocks.
float triangle (int sample, double periodSamples)
{
    const double phase = std::fmod ((double) sample / periodSamples, 1.0);
    return (float) (phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase);
}

Channels sweep (HostedPlugin& host, juce::AudioProcessorParameter& parameter, const Channels& input,
                double periodSeconds, float low, float high)
{
    host.prepare (rate, blockSize, 2);
    host.playHead.position = 0;
    host.playHead.playing = true;
    const double period = periodSeconds * rate;
    return host.run (input, fixedBlocks (blockSize), [&] (int, int start, int)
    {
        parameter.setValue (low + (high - low) * triangle (start, period));
    });
}
} // namespace

void checkAutomation (Context& context)
{
    const auto format = context.binary.format;
    const double seconds = context.quick ? 1.0 : 1.5;
    const auto input = testSignal ((int) (seconds * rate));

    std::vector<const ExpectedParameter*> targets;
    for (const auto& p : expectedParameters())
        if (p.automatable)
            targets.push_back (&p);

    // Scores with the parameter held at fixed settings are what the signal and
    // the limiter make by themselves; the slow and the fast sweep are measured
    // against the highest of them.
    auto runOne = [&] (const juce::String& name, const std::function<juce::AudioProcessorParameter* (HostedPlugin&)>& find,
                       float low, float high, bool stepsByDesign)
    {
        const juce::String check = "automation: " + name;
        Step step (context.report, format, check, 60);
        juce::String problem;

        // A fresh instance per run: switching some parameters leaves others
        // changed (switching the maximizer off hands its gain to "PostGain").
        auto measure = [&] (double periodSeconds, float from, float to) -> Score
        {
            HostedPlugin host (context.plugins, context.binary);
            auto* parameter = host.isValid() ? find (host) : nullptr;
            if (parameter == nullptr)
            {
                problem = host.isValid() ? "the host sees no such parameter" : host.getError();
                return {};
            }
            if (name != "Threshold")
                host.setPlain ("Threshold", baseThresholdDb);
            const auto output = sweep (host, *parameter, input, periodSeconds, from, to);
            return clickScore (output, std::max (host.get().getLatencySamples(), 0) + (int) (0.05 * rate));
        };

        double fixed = 0.0;
        for (float setting : { low, 0.5f * (low + high), high })
        {
            const auto score = measure (1.0e9, setting, setting);
            if (problem.isNotEmpty())
            {
                context.report.add (check, format, false, problem);
                return;
            }
            if (! score.finite)
            {
                context.report.add (check, format, false, "NaN or infinity in the output at the fixed setting " + juce::String (setting, 2));
                return;
            }
            fixed = std::max (fixed, score.value);
        }
        const auto slow = measure (2.0 * seconds, low, high); // one sweep from low to high
        const auto fast = measure (0.1, low, high);           // 50 ms each way
        if (! slow.finite || ! fast.finite)
        {
            context.report.add (check, format, false,
                                juce::String ("NaN or infinity in the output of the ") + (fast.finite ? "slow" : "fast") + " sweep");
            return;
        }
        const bool passed = stepsByDesign ? fast.value <= std::max (fixed, slow.value) + clickMargin
                                          : std::max (slow.value, fast.value) <= fixed + clickMargin;
        const auto& worse = fast.value >= slow.value ? fast : slow;
        context.report.add (check, format, passed,
                            "step/level fast " + juce::String (fast.value, 3) + ", slow " + juce::String (slow.value, 3)
                                + ", fixed " + juce::String (fixed, 3)
                                + (passed ? juce::String()
                                          : juce::String (" (click in the ") + (&worse == &fast ? "fast" : "slow") + " sweep at "
                                                + juce::String (1000.0 * worse.at / rate, 1) + " ms)"));
    };

    for (const auto* e : targets)
    {
        const char* id = e->id;
        // Threshold over its working part: below -40 dB the 1 kHz test tone
        // is all limiter and nothing else.
        const float low = juce::String (id) == "Threshold" ? 0.3f : 0.0f;
        runOne (e->id, [id] (HostedPlugin& h) { return h.parameter (id); }, low, 1.0f, e->discrete);
    }

    // The host's bypass: switching it must not click either.
    runOne ("Bypass (host)", [] (HostedPlugin& h) { return h.bypass(); }, 0.0f, 1.0f, false);

    // While bypassed, the output is the input delayed by the reported latency
    // (otherwise engaging and bypassing moves the audio in time).
    {
        Step step (context.report, format, "automation: bypass keeps latency", 60);
        HostedPlugin host (context.plugins, context.binary);
        if (! host.isValid() || host.bypass() == nullptr)
        {
            context.report.add ("bypass keeps latency", format, false, host.isValid() ? "no bypass parameter" : host.getError());
            return;
        }
        host.prepare (rate, blockSize, 2);
        host.bypass()->setValue (1.0f);
        const auto output = host.run (input, fixedBlocks (blockSize));
        const int latency = host.settledLatency();
        const int from = (int) (0.5 * rate);
        double worst = 0.0;
        for (size_t c = 0; c < 2; ++c)
            for (int i = from; i < (int) input[0].size(); ++i)
                worst = std::max (worst, (double) std::abs (output[c][(size_t) i] - input[c][(size_t) (i - latency)]));
        double undelayed = 0.0;
        for (size_t c = 0; c < 2; ++c)
            for (int i = from; i < (int) input[0].size(); ++i)
                undelayed = std::max (undelayed, (double) std::abs (output[c][(size_t) i] - input[c][(size_t) i]));
        context.report.add ("bypass keeps latency", format, worst < 1.0e-4,
                            worst < 1.0e-4 ? "bypassed output = input delayed by " + juce::String (latency) + " samples"
                                           : "bypassed output differs from the input delayed by " + juce::String (latency)
                                                 + " by up to " + juce::String (worst, 3)
                                                 + (undelayed < 1.0e-6 ? " (it is the undelayed input)" : ""));
    }
}

} // namespace tarn::validate
