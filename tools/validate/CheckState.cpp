// The saved state through the format: save, destroy the instance, load into
// a fresh one, and find the parameters, the view state and the recorded
// session again. The play head reports a moving timeline position, and the
// host declares that it does (TARN_TIMELINE_POSITIONS_SUPPLIED), so the
// plug-in records the session and caches it in the state.

#include "ValidationHost.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

namespace tarn::validate
{
namespace
{
constexpr double rate = 48000.0;
constexpr int blockSize = 512;
constexpr int64_t startPosition = 480000; // 10 s into the timeline
constexpr double playedSeconds = 1.5;
constexpr int slotSamples = 960;          // one history value per 20 ms at 48 kHz

// View state that no instance has by default.
const std::vector<std::pair<const char*, juce::var>> viewState {
    { "HorizontalScaling", 123.5 }, { "IsViewExpanded", 0 }, { "VerticalScaling", 7.25 },
    { "IsEmphasisOnTruePeakOutput", 1 }, { "HasCompatibilityMessageBeenShown", 1 },
    { "DitherNoiseShape", 2 }, { "IsDitherActive", 1 }, { "WindowWidth", 1000 }, { "WindowHeight", 700 },
};

const std::vector<std::pair<const char*, float>> parameterValues {
    { "Maximizer", 0.0f }, { "Threshold", -4.5f }, { "PreGain", 2.0f }, { "AutoRelease", 0.0f },
    { "ReleaseTime", 120.0f }, { "AutoReleaseReactivity", 3.0f }, { "ReleaseCurve", 3.0f },
    { "PostGain", -0.5f }, { "MaxTarget", -1.5f },
};

std::unique_ptr<juce::XmlElement> stateXml (Format format, const juce::MemoryBlock& hostState, juce::String& error)
{
    const auto pluginState = unwrapPluginState (format, hostState);
    if (! pluginState)
    {
        error = "the host state (" + juce::String ((int) hostState.getSize()) + " bytes) holds no plug-in state";
        return nullptr;
    }
    auto xml = pluginStateXml (*pluginState);
    if (xml == nullptr || ! xml->hasTagName ("TarnLimiterState"))
    {
        error = "the plug-in state (" + juce::String ((int) pluginState->getSize()) + " bytes) is no TarnLimiterState document";
        return nullptr;
    }
    return xml;
}

Channels programme (int length)
{
    return { tarn::test::denseMaterial (rate, length, 11), tarn::test::denseMaterial (rate, length, 12) };
}

// Describes how two session blobs differ (empty when equal).
// stoppedThreshold: the threshold series may hold the threshold in force at
// the slot where the transport stands still (the plug-in stores threshold
// points while stopped, so that the graph shows a threshold changed there);
// one such slot, empty before, is allowed.
juce::String compareSessions (const juce::MemoryBlock& a, const juce::MemoryBlock& b, bool stoppedThreshold = false)
{
    if (a == b)
        return {};
    juce::String errorA, errorB;
    const auto sa = parseSession (a, errorA);
    const auto sb = parseSession (b, errorB);
    if (! sa || ! sb)
        return "the reloaded session does not parse: " + (sa ? errorB : errorA);
    if (sa->maxPosition != sb->maxPosition)
        return "largest position " + juce::String (sa->maxPosition) + " became " + juce::String (sb->maxPosition);
    if (sa->sampleRate != sb->sampleRate || sa->channels != sb->channels || sa->blockSize != sb->blockSize)
        return "header differs (rate, channels or block size)";
    static const char* names[] = { "limited level", "output level", "gain reduction", "threshold" };
    for (int k = 0; k < 4; ++k)
    {
        const auto& x = sa->series[k];
        const auto& y = sb->series[k];
        const bool allowSlot = stoppedThreshold && k == 3;
        if (x.length != y.length && ! (allowSlot && y.length == x.length + 1))
            return juce::String (names[k]) + " series length " + juce::String (x.length) + " became " + juce::String (y.length);
        int allowed = allowSlot ? 1 : 0;
        for (int64_t i = 0; i < y.length; ++i)
        {
            const float before = i < x.length ? x.at (i) : std::numeric_limits<float>::infinity();
            if (before != y.at (i) && ! (std::isnan (before) && std::isnan (y.at (i))))
            {
                if (allowed > 0 && std::isinf (before))
                {
                    --allowed;
                    continue;
                }
                return juce::String (names[k]) + " value " + juce::String (i) + " was " + juce::String (before) + ", is "
                       + juce::String (y.at (i));
            }
        }
    }
    if (sa->overRegions != sb->overRegions)
        return juce::String ((int) sa->overRegions.size()) + " over regions became " + juce::String ((int) sb->overRegions.size());
    if (stoppedThreshold)
        return {}; // the same but for the allowed threshold slot
    return "same content, different bytes (" + juce::String ((int) a.getSize()) + " and " + juce::String ((int) b.getSize()) + ")";
}
} // namespace

void checkState (Context& context)
{
    const auto format = context.binary.format;
    auto& report = context.report;
    const int played = (int) (playedSeconds * rate);

    juce::MemoryBlock saved;
    juce::String sessionProblem, viewProblem;
    std::unique_ptr<juce::XmlElement> savedXml;

    // The first instance: view state from a state document, parameters set by
    // the host, a session recorded while playing; then saved and destroyed.
    {
        HostedPlugin first (context.plugins, context.binary);
        if (! first.isValid())
        {
            report.add ("state", format, false, first.getError());
            return;
        }
        first.prepare (rate, blockSize, 2);

        juce::XmlElement view ("TarnLimiterState");
        view.setAttribute ("CachedLimitingSession", juce::String());
        for (const auto& [key, value] : viewState)
            view.setAttribute (key, value.toString());
        juce::MemoryBlock viewBytes;
        juce::AudioProcessor::copyXmlToBinary (view, viewBytes);
        first.loadState (wrapPluginState (format, first.saveState(), viewBytes));

        for (const auto& [id, plain] : parameterValues)
            first.setPlain (id, plain);

        first.playHead.position = startPosition;
        first.playHead.playing = true;
        first.run (programme (played), fixedBlocks (blockSize));
        juce::Thread::sleep (100); // the history worker stores the last points

        saved = first.saveState();
        juce::String error;
        savedXml = stateXml (format, saved, error);
        if (savedXml == nullptr)
        {
            report.add ("state: parameters", format, false, error);
            report.add ("state: view", format, false, error);
            report.add ("state: session", format, false, error);
            return;
        }

        // The view state came in through the state and goes out with it.
        for (const auto& [key, value] : viewState)
            if (savedXml->getStringAttribute (key) != value.toString())
                viewProblem << key << " saved as '" << savedXml->getStringAttribute (key) << "' after loading '"
                            << value.toString() << "'; ";

        // The session: recorded at the play head's positions.
        if (auto blob = sessionBlob (*savedXml, error))
        {
            if (auto session = parseSession (*blob, error))
            {
                const int64_t firstSlot = startPosition / slotSamples;
                const int64_t lastSlot = (startPosition + played) / slotSamples;
                int recorded = 0, checked = 0;
                for (int64_t slot = firstSlot + 2; slot < lastSlot - 2; ++slot, ++checked)
                    recorded += std::isfinite (session->series[0].at (slot)) ? 1 : 0;
                if (session->magic != sessionMagic || session->version != 2)
                    sessionProblem = "magic " + juce::String::toHexString (session->magic) + ", version " + juce::String (session->version);
                else if (session->channels != 2 || session->sampleRate != (float) rate)
                    sessionProblem = "header says " + juce::String (session->channels) + " channels at " + juce::String (session->sampleRate) + " Hz";
                else if (session->maxPosition < startPosition + played - 2 * blockSize)
                    sessionProblem = "largest position " + juce::String (session->maxPosition) + ", played up to "
                                     + juce::String (startPosition + played);
                else if (recorded < checked * 9 / 10)
                    sessionProblem = "only " + juce::String (recorded) + " of " + juce::String (checked)
                                     + " slots of the played passage hold a value";
            }
            else
            {
                sessionProblem = "the session does not parse: " + error;
            }
        }
        else
        {
            sessionProblem = error;
        }
    }

    // A fresh instance loads the state and saves it again. The first one
    // wrote its view preferences to the per-user settings file, which seeds
    // new instances: remove it, so that only the state can bring them back.
    // (JUCE keeps it in ~/TarnLimiter2 on Linux; the host runs with a
    // scratch home.)
    for (const char* folder : { "HOME", "XDG_CONFIG_HOME" })
        if (const char* path = std::getenv (folder))
            juce::File (path).getChildFile ("TarnLimiter2").deleteRecursively();
    HostedPlugin second (context.plugins, context.binary);
    second.prepare (rate, blockSize, 2);
    second.loadState (saved);
    const auto resaved = second.saveState();
    juce::String error;
    const auto resavedXml = stateXml (format, resaved, error);

    // A stopped transport: LV2 hosts learn the loaded parameter values from
    // the plug-in's output, so let it run a little.
    second.playHead.position = startPosition;
    second.playHead.playing = false;
    auto silence = makeChannels (2, 4 * blockSize);
    second.run (silence, fixedBlocks (blockSize));
    juce::Thread::sleep (50);
    second.run (silence, fixedBlocks (blockSize));

    // Parameters: the host sees the values again, and so does the plug-in.
    {
        juce::StringArray wrong;
        for (const auto& [id, plain] : parameterValues)
        {
            const auto* e = findExpected (id);
            auto* p = second.parameter (id);
            const float hostValue = p != nullptr ? second.toPlain (*e, p->getValue()) : std::nanf ("");
            if (! (std::abs (hostValue - plain) <= std::max (e->interval * 0.5f, 0.01f)))
                wrong.add (juce::String (id) + " host " + juce::String (hostValue, 2) + " (set " + juce::String (plain, 2) + ")");
        }
        auto* before = savedXml->getChildByName ("TarnLimiter");
        auto* after = resavedXml != nullptr ? resavedXml->getChildByName ("TarnLimiter") : nullptr;
        if (before == nullptr || after == nullptr)
            wrong.add ("no parameter tree in the " + juce::String (before == nullptr ? "saved" : "reloaded") + " state");
        else
            for (auto* param : before->getChildWithTagNameIterator ("PARAM"))
            {
                const auto id = param->getStringAttribute ("id");
                if (const auto* e = findExpected (id); e != nullptr && e->meter)
                    continue; // meters show the instance's own signal
                auto* again = after->getChildByAttribute ("id", id);
                if (again == nullptr || again->getStringAttribute ("value") != param->getStringAttribute ("value"))
                    wrong.add (id + " saved " + param->getStringAttribute ("value") + ", reloaded "
                               + (again != nullptr ? again->getStringAttribute ("value") : juce::String ("nothing")));
            }
        report.add ("state: parameters", format, wrong.isEmpty(),
                    wrong.isEmpty() ? juce::String ((int) parameterValues.size()) + " values back in a fresh instance, host and plug-in"
                                    : wrong.joinIntoString ("; "));
    }

    // View state.
    {
        if (resavedXml == nullptr)
            viewProblem << error;
        else
            for (const auto& [key, value] : viewState)
                if (resavedXml->getStringAttribute (key) != savedXml->getStringAttribute (key))
                    viewProblem << key << " reloaded as '" << resavedXml->getStringAttribute (key) << "'; ";
        report.add ("state: view", format, viewProblem.isEmpty(),
                    viewProblem.isEmpty() ? juce::String ((int) viewState.size()) + " view-state attributes survive load, save and reload"
                                          : viewProblem.trimEnd());
    }

    // Session: recorded, cached, and back unchanged in the fresh instance.
    {
        if (sessionProblem.isEmpty())
        {
            juce::String e1, e2;
            const auto blob1 = sessionBlob (*savedXml, e1);
            const auto blob2 = resavedXml != nullptr ? sessionBlob (*resavedXml, e2) : std::nullopt;
            if (! blob2)
                sessionProblem = "after reloading: " + (resavedXml == nullptr ? error : e2);
            else
                sessionProblem = compareSessions (*blob1, *blob2);
        }
        report.add ("state: session", format, sessionProblem.isEmpty(),
                    sessionProblem.isEmpty() ? "recorded at the play head's positions, cached, identical after reload"
                                             : sessionProblem);
    }

    // A stopped transport records nothing: after the blocks above the
    // session is still the saved one, but for the threshold in force at the
    // slot where the transport stands.
    {
        juce::String problem, e1, e2;
        const auto afterStop = stateXml (format, second.saveState(), problem);
        if (afterStop != nullptr && sessionProblem.isEmpty())
        {
            const auto blob1 = sessionBlob (*savedXml, e1);
            const auto blob2 = sessionBlob (*afterStop, e2);
            problem = blob2 ? compareSessions (*blob1, *blob2, true) : e2;
        }
        else if (problem.isEmpty())
        {
            problem = "no session to compare: " + sessionProblem;
        }
        report.add ("state: stopped transport keeps history", format, problem.isEmpty(),
                    problem.isEmpty() ? "8 blocks with the transport stopped after loading left the session as saved"
                                      : "after 8 blocks with the transport stopped: " + problem);
    }

    // Without the declaration this host is one the plug-in does not know: it
    // must not cache a session (its positions may be wrong).
    {
        HostedPlugin undeclared (context.plugins, context.binary, false);
        undeclared.prepare (rate, blockSize, 2);
        undeclared.playHead.position = startPosition;
        undeclared.run (programme ((int) (0.3 * rate)), fixedBlocks (blockSize));
        juce::String problem;
        const auto xml = stateXml (format, undeclared.saveState(), problem);
        if (xml != nullptr)
            problem = xml->getStringAttribute ("CachedLimitingSession").isEmpty()
                          ? juce::String()
                          : "the state caches a session (" + juce::String (xml->getStringAttribute ("CachedLimitingSession").length()) + " characters)";
        report.add ("state: no session for unknown host", format, problem.isEmpty(),
                    problem.isEmpty() ? "without " + juce::String (timelineDeclaration) + " the session is not cached" : problem);
    }

    // Hosts load states while the audio runs (a preset, an undo): the audio
    // thread keeps going, finite, while the message thread loads.
    {
        Step step (report, format, "state: load while playing", 60);
        HostedPlugin playing (context.plugins, context.binary);
        playing.prepare (rate, blockSize, 2);
        playing.playHead.position = startPosition;
        std::atomic<bool> done { false };
        std::atomic<int> loads { 0 };
        std::thread loader ([&]
        {
            for (int i = 0; i < 10; ++i)
            {
                playing.loadState (saved);
                ++loads;
                juce::Thread::sleep (10);
            }
            done = true;
        });
        const auto input = programme ((int) (0.25 * rate));
        bool finite = true;
        int passes = 0;
        for (; ! done.load() && passes < 400; ++passes)
            finite = allFinite (playing.run (input, fixedBlocks (blockSize))) && finite;
        loader.join();
        report.add ("state: load while playing", format, finite,
                    juce::String (loads.load()) + " loads of the saved state during " + juce::String (passes / 4.0, 1) + " s of playback"
                        + (finite ? ", output finite" : ": NaN or infinity in the output"));
    }
}

} // namespace tarn::validate
