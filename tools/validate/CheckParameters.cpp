// Scan and parameters: the parameter list the format shows a host, with
// identifiers, names, defaults, steps, ranges and texts, and whether values a
// host sets arrive in the plug-in.
//
// What "matches the format" means here:
// - VST3: the nine user parameters in the plug-in's order (the two meters do
//   not exist in VST3), identified by JUCE's VST3 hash of the identifier, with
//   the name as title and as units, the normalised default, step counts for
//   the discrete ones and the plug-in's own value/text conversions (VST3
//   carries them); then exactly one parameter more, the bypass parameter that
//   JUCE's wrapper adds (flagged as bypass); no program parameter, since the
//   plug-in has one program.
// - LV2: all eleven parameters as patch properties <URI>:<identifier> with
//   plain minimum, maximum and default; the discrete ones as enumerations whose
//   scale points carry the plug-in's texts; the others shown as plain numbers
//   (LV2 has no text conversion); plus the bypass parameter JUCE's LV2 host
//   makes of the lv2:enabled port.

#include "ValidationHost.h"

#include <cmath>

namespace tarn::validate
{
namespace
{
juce::String expectedText (const ExpectedParameter& p, float v)
{
    const juce::String id (p.id);
    if (id == "TruePeak")
        return juce::String (v, 1) + "dBFS";
    if (id == "ReleaseTime")
        return juce::String ((int) v) + "ms";
    if (id == "AutoReleaseReactivity")
        return "X" + juce::String (v, 2);
    if (id == "AutoRelease" || id == "Maximizer")
        return v > 0.0f ? "Auto" : "Manual";
    if (id == "ReleaseCurve")
    {
        const int index = (int) v;
        return index >= 0 && index < (int) p.choices.size() ? juce::String (p.choices[(size_t) index]) : juce::String();
    }
    return juce::String (v, 1) + "dB";
}

// In LV2 the release curve is a plain 0 ... 4 number, not an enumeration:
// JUCE 7.0.5's LV2 wrapper would list the choices with normalised values
// against the plain range.
const ExpectedParameter& lv2ReleaseCurve()
{
    static const ExpectedParameter plain = []
    {
        auto p = *findExpected ("ReleaseCurve");
        p.discrete = false;
        p.choices.clear();
        return p;
    }();
    return plain;
}

std::vector<const ExpectedParameter*> expectedFor (Format format)
{
    std::vector<const ExpectedParameter*> list;
    for (const auto& p : expectedParameters())
        if (format == Format::lv2 && juce::String (p.id) == "ReleaseCurve")
            list.push_back (&lv2ReleaseCurve());
        else if (format == Format::lv2 || ! p.meter)
            list.push_back (&p);
    return list;
}

struct Problems
{
    juce::StringArray items;
    int checked = 0;

    void expect (bool ok, const juce::String& what)
    {
        ++checked;
        if (! ok)
            items.add (what);
    }
    juce::String summary (const juce::String& passText) const
    {
        if (items.isEmpty())
            return juce::String (checked) + " checks: " + passText;
        auto text = juce::String (items.size()) + " of " + juce::String (checked) + " wrong: " + items[0];
        for (int i = 1; i < std::min (items.size(), 4); ++i)
            text << "; " << items[i];
        if (items.size() > 4)
            text << "; ...";
        return text;
    }
};

bool near (float a, float b, float tolerance)
{
    return std::abs (a - b) <= tolerance;
}
} // namespace

void checkParameters (Context& context)
{
    const auto format = context.binary.format;
    HostedPlugin host (context.plugins, context.binary);
    if (! host.isValid())
    {
        context.report.add ("instantiate", format, false, host.getError());
        return;
    }
    context.report.add ("instantiate", format, true,
                        juce::String (host.get().getTotalNumInputChannels()) + " in / "
                            + juce::String (host.get().getTotalNumOutputChannels()) + " out, "
                            + juce::String (host.get().getParameters().size()) + " parameters");

    const auto expected = expectedFor (format);
    const auto& parameters = host.get().getParameters();
    const juce::String uri = context.binary.description.fileOrIdentifier;

    // The list. VST3 keeps the plug-in's order and puts the bypass last; LV2
    // has no order (JUCE's host lists the properties by URI, the bypass port
    // first), so there the set counts.
    {
        Problems problems;
        problems.expect (parameters.size() == (int) expected.size() + 1,
                         juce::String (parameters.size()) + " parameters, expected " + juce::String ((int) expected.size())
                             + " and the bypass");
        auto* bypass = host.bypass();
        int index = 0;
        for (auto* p : parameters)
        {
            if (p == bypass)
                continue;
            auto* hosted = dynamic_cast<juce::HostedAudioProcessorParameter*> (p);
            const auto id = hosted != nullptr ? hosted->getParameterID() : juce::String();
            const auto pluginId = pluginParameterId (format, id);
            problems.expect (pluginId.isNotEmpty(), "unknown parameter " + id + " '" + p->getName (100) + "'");
            if (format == Format::vst3 && index < (int) expected.size())
                problems.expect (pluginId == expected[(size_t) index]->id,
                                 "#" + juce::String (index) + " is " + (pluginId.isEmpty() ? id : pluginId) + ", expected "
                                     + expected[(size_t) index]->id);
            ++index;
        }
        for (const auto* e : expected)
        {
            if (auto* p = host.parameter (e->id))
            {
                const auto id = dynamic_cast<juce::HostedAudioProcessorParameter*> (p)->getParameterID();
                const auto want = format == Format::vst3 ? expectedHostedId (format, e->id) : "des:" + uri + ":" + e->id;
                problems.expect (id == want, juce::String (e->id) + " has id " + id + ", expected " + want);
            }
            else
            {
                problems.expect (false, juce::String ("missing ") + e->id);
            }
        }
        problems.expect (bypass != nullptr, "no bypass parameter");
        if (bypass != nullptr && ! parameters.isEmpty())
        {
            if (format == Format::vst3)
                problems.expect (bypass == parameters.getLast(), "the bypass parameter is not the last one");
            problems.expect (bypass->getName (100) == "Bypass", "bypass is named " + bypass->getName (100));
        }
        context.report.add ("parameters: list", format, problems.items.isEmpty(),
                            problems.summary (format == Format::vst3 ? juce::String ((int) expected.size()) + " in order, bypass last, no program parameter"
                                                                     : juce::String ((int) expected.size()) + " properties + bypass (lv2:enabled)"));
    }

    // Names, labels, defaults, steps, automation flags.
    {
        Problems problems;
        for (const auto* e : expected)
        {
            auto* p = host.parameter (e->id);
            if (p == nullptr)
            {
                problems.expect (false, juce::String ("missing ") + e->id);
                continue;
            }
            problems.expect (p->getName (100) == e->name, juce::String (e->id) + " named '" + p->getName (100) + "'");
            if (format == Format::vst3)
                problems.expect (p->getLabel() == e->name, juce::String (e->id) + " label '" + p->getLabel() + "'");
            problems.expect (near (p->getDefaultValue(), host.toNormalised (*e, e->defaultValue), 1.0e-4f),
                             juce::String (e->id) + " default " + juce::String (p->getDefaultValue(), 6) + ", expected "
                                 + juce::String (host.toNormalised (*e, e->defaultValue), 6));
            const int steps = format == Format::vst3 ? (e->discrete ? e->expectedNumSteps() : juce::AudioProcessor::getDefaultNumParameterSteps())
                                                     : (e->discrete ? (int) e->choices.size() : juce::AudioProcessor::getDefaultNumParameterSteps());
            problems.expect (p->getNumSteps() == steps, juce::String (e->id) + " has " + juce::String (p->getNumSteps())
                                                            + " steps, expected " + juce::String (steps));
            problems.expect (p->isDiscrete() == e->discrete, juce::String (e->id) + (e->discrete ? " not discrete" : " discrete"));
            if (format == Format::vst3)
                problems.expect (p->isAutomatable() == e->automatable,
                                 juce::String (e->id) + (e->automatable ? " not automatable" : " automatable"));
        }
        context.report.add ("parameters: names, defaults, steps", format, problems.items.isEmpty(),
                            problems.summary ("as documented"));
    }

    // Ranges (ends, skew, interval) and texts, both ways.
    {
        Problems problems;
        for (const auto* e : expected)
        {
            auto* p = host.parameter (e->id);
            if (p == nullptr)
                continue;
            const auto range = e->range();
            const bool textsFromPlugin = format == Format::vst3 || e->discrete;

            for (int step = 0; step <= 20; ++step)
            {
                const float normalised = (float) step / 20.0f;
                const auto text = p->getText (normalised, 100);

                if (format == Format::vst3)
                {
                    const auto plain = range.snapToLegalValue (range.convertFrom0to1 (normalised));
                    problems.expect (text == expectedText (*e, plain),
                                     juce::String (e->id) + " at " + juce::String (normalised, 2) + " shows '" + text
                                         + "', expected '" + expectedText (*e, plain) + "'");
                }
                else if (e->discrete)
                {
                    // Enumerations: the label of the nearest step (halfway
                    // between two steps either will do).
                    const float position = normalised * (float) (e->choices.size() - 1);
                    if (std::abs (position - std::floor (position) - 0.5f) < 1.0e-4f)
                        continue;
                    const int index = (int) std::lround (normalised * (float) (e->choices.size() - 1));
                    problems.expect (text == e->choices[(size_t) index],
                                     juce::String (e->id) + " at plain " + juce::String (host.toPlain (*e, normalised), 2)
                                         + " shows '" + text + "', expected '" + e->choices[(size_t) index] + "'");
                }
                else
                {
                    problems.expect (near (text.getFloatValue(), host.toPlain (*e, normalised), 1.0e-3f * (e->end - e->start)),
                                     juce::String (e->id) + " at " + juce::String (normalised, 2) + " shows '" + text + "'");
                }

                // The text a host shows reads back as the same value.
                const auto back = p->getValueForText (text);
                problems.expect (p->getText (back, 100) == text,
                                 juce::String (e->id) + " text '" + text + "' reads back as '" + p->getText (back, 100) + "'");
            }

            if (! textsFromPlugin)
                continue;
            for (const auto& [plain, text] : e->valueTexts)
            {
                const auto shown = p->getText (host.toNormalised (*e, plain), 100);
                problems.expect (shown == text, juce::String (e->id) + " " + juce::String (plain) + " shows '" + shown
                                                    + "', expected '" + text + "'");
            }
            for (const auto& [text, plain] : e->textValues)
            {
                if (format == Format::lv2 && std::find_if (e->choices.begin(), e->choices.end(),
                                                           [t = juce::String (text)] (const char* c) { return t == c; }) == e->choices.end())
                    continue; // LV2 enumerations know only their labels
                const auto value = host.toPlain (*e, p->getValueForText (text));
                problems.expect (near (value, plain, std::max (e->interval, 1.0e-3f)),
                                 juce::String (e->id) + " text '" + text + "' gives " + juce::String (value, 3)
                                     + ", expected " + juce::String (plain, 3));
            }
        }
        context.report.add ("parameters: ranges and texts", format, problems.items.isEmpty(),
                            problems.summary (format == Format::vst3 ? "ends, skews, intervals and texts match, texts round-trip"
                                                                     : "plain ranges, enumeration labels, texts round-trip"));
    }

    // Values a host sets arrive in the plug-in: its saved state lists them.
    {
        Problems problems;
        host.prepare (48000.0, 512, 2);
        host.playHead.playing = false;
        const std::vector<std::pair<const char*, float>> values {
            { "Threshold", -7.3f }, { "PreGain", 3.5f }, { "AutoRelease", 0.0f }, { "ReleaseTime", 250.0f },
            { "AutoReleaseReactivity", 2.5f }, { "ReleaseCurve", 1.0f }, { "Maximizer", 0.0f },
            { "PostGain", -1.5f }, { "MaxTarget", -2.0f },
        };
        for (const auto& [id, plain] : values)
            host.setPlain (id, plain);
        auto silence = makeChannels (2, 2048);
        host.run (silence, fixedBlocks (512)); // delivers the changes

        const auto pluginState = unwrapPluginState (format, host.saveState());
        const auto xml = pluginState ? pluginStateXml (*pluginState) : nullptr;
        auto* tree = xml != nullptr ? xml->getChildByName ("TarnLimiter") : nullptr;
        if (tree == nullptr)
        {
            problems.expect (false, "the saved state holds no parameter tree ("
                                        + juce::String (pluginState ? (int) pluginState->getSize() : -1) + " bytes of plug-in state)");
        }
        else
        {
            for (const auto& [id, plain] : values)
            {
                auto* param = tree->getChildByAttribute ("id", id);
                const float stored = param != nullptr ? (float) param->getDoubleAttribute ("value", std::nan ("")) : std::nanf ("");
                const auto* e = findExpected (id);
                problems.expect (near (stored, plain, std::max (e->interval * 0.5f, 1.0e-3f)),
                                 juce::String (id) + " set to " + juce::String (plain, 2) + " arrives as " + juce::String (stored, 3));
            }
        }
        context.report.add ("parameters: host values reach plug-in", format, problems.items.isEmpty(),
                            problems.summary ("9 values set by the host read back from the plug-in's state"));
    }

    // The plug-in changes a parameter itself: switching the maximizer off
    // hands its gain to "PostGain". The host must learn the new value (its
    // automation lane and its saved project show it).
    {
        HostedPlugin fresh (context.plugins, context.binary);
        fresh.prepare (48000.0, 512, 2);
        fresh.setPlain ("Threshold", -10.0f);
        fresh.setPlain ("Maximizer", 1.0f);
        const int length = 48000;
        const auto tone = tarn::test::sine (997.0, 48000.0, length, 0.7);
        fresh.run ({ tone, tone }, fixedBlocks (512));
        fresh.setPlain ("Maximizer", 0.0f);
        fresh.run ({ tone, tone }, fixedBlocks (512));
        juce::Thread::sleep (100); // announcements travel through the message thread
        fresh.run ({ tone, tone }, fixedBlocks (512));

        auto* postGain = fresh.parameter ("PostGain");
        const float hostValue = postGain != nullptr ? fresh.toPlain (*findExpected ("PostGain"), postGain->getValue()) : std::nanf ("");
        const auto pluginState = unwrapPluginState (format, fresh.saveState());
        const auto xml = pluginState ? pluginStateXml (*pluginState) : nullptr;
        auto* tree = xml != nullptr ? xml->getChildByName ("TarnLimiter") : nullptr;
        auto* param = tree != nullptr ? tree->getChildByAttribute ("id", "PostGain") : nullptr;
        const float pluginValue = param != nullptr ? (float) param->getDoubleAttribute ("value", std::nan ("")) : std::nanf ("");

        const bool written = std::isfinite (pluginValue) && pluginValue > 0.5f;
        const bool agree = near (hostValue, pluginValue, 0.05f);
        context.report.add ("parameters: plug-in changes reach host", format, written && agree,
                            "maximizer off: the plug-in's PostGain " + juce::String (pluginValue, 2) + " dB, the host's "
                                + juce::String (hostValue, 2) + " dB"
                                + (written ? juce::String() : juce::String (" (the plug-in wrote no gain back)")));
    }
}

} // namespace tarn::validate
