// tarn-validate: loads built plug-in binaries the way a host does and checks
// them. See --help.

#include "ValidationHost.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace
{
using namespace tarn::validate;

const char* const usage =
    "usage: tarn-validate [options] <plug-in>...\n"
    "\n"
    "Loads each plug-in binary (a .vst3 bundle, a .lv2 bundle or an LV2 URI) through\n"
    "JUCE's plug-in hosting, checks it and prints a table: check, format, PASS/FAIL,\n"
    "reason. Exits with 1 when a check fails, 2 on bad arguments.\n"
    "\n"
    "options:\n"
    "  --checks LIST   comma-separated groups to run (default: all):\n"
    "                  parameters, processing, automation, state, hostile,\n"
    "                  instances, allocations\n"
    "  --quick         shorter signals and fewer cases\n"
    "  --list          print the parameters the host sees and exit\n"
    "  --verbose       print every case as it runs (on stderr)\n"
    "  --help          this text\n";

struct Group
{
    const char* name;
    void (*run) (Context&);
    double timeoutSeconds;
};

const Group groups[] = {
    { "parameters", checkParameters, 60 },
    { "processing", checkProcessing, 240 },
    { "automation", checkAutomation, 120 },
    { "state", checkState, 120 },
    { "hostile", checkHostileState, 180 },
    { "instances", checkInstances, 120 },
    { "allocations", checkAllocations, 120 },
};

void listParameters (Plugins& plugins, const PluginBinary& binary)
{
    HostedPlugin host (plugins, binary);
    if (! host.isValid())
    {
        std::printf ("%s: cannot instantiate: %s\n", formatName (binary.format), host.getError().toRawUTF8());
        return;
    }
    std::printf ("%s %s (%s), latency %d, %d in / %d out\n", formatName (binary.format),
                 binary.description.name.toRawUTF8(), binary.description.fileOrIdentifier.toRawUTF8(),
                 host.get().getLatencySamples(), host.get().getTotalNumInputChannels(), host.get().getTotalNumOutputChannels());
    int index = 0;
    for (auto* p : host.get().getParameters())
    {
        auto* hosted = dynamic_cast<juce::HostedAudioProcessorParameter*> (p);
        std::printf ("%2d  %-28s id %-60s default %-10s (%.6f) steps %d%s%s\n", index++,
                     p->getName (100).toRawUTF8(),
                     hosted != nullptr ? hosted->getParameterID().toRawUTF8() : "?",
                     p->getText (p->getDefaultValue(), 100).toRawUTF8(), p->getDefaultValue(), p->getNumSteps(),
                     p->isAutomatable() ? "" : " not-automatable",
                     p == host.bypass() ? " bypass" : "");
    }
}
} // namespace

int main (int argc, char** argv)
{
    juce::StringArray plugins;
    juce::StringArray selected;
    bool quick = false, list = false, verbose = false;

    for (int i = 1; i < argc; ++i)
    {
        const juce::String arg (argv[i]);
        if (arg == "--help" || arg == "-h")
        {
            std::fputs (usage, stdout);
            return 0;
        }
        if (arg == "--checks" && i + 1 < argc)
            selected.addTokens (argv[++i], ",", {});
        else if (arg == "--quick")
            quick = true;
        else if (arg == "--list")
            list = true;
        else if (arg == "--verbose")
            verbose = true;
        else if (arg.startsWith ("--"))
        {
            std::fprintf (stderr, "unknown option %s\n%s", argv[i], usage);
            return 2;
        }
        else
            plugins.add (arg);
    }
    selected.trim();
    selected.removeEmptyStrings();
    for (const auto& name : selected)
    {
        bool known = false;
        for (const auto& g : groups)
            known = known || name == g.name;
        if (! known)
        {
            std::fprintf (stderr, "unknown check group '%s'\n%s", name.toRawUTF8(), usage);
            return 2;
        }
    }
    if (plugins.isEmpty())
    {
        std::fputs (usage, stderr);
        return 2;
    }

    // The plug-in keeps per-user settings (and would keep unsent usage events)
    // under the home folder: give it a scratch home, so that checking a build
    // leaves the user's own preferences alone, and send nothing anywhere.
    char scratchHome[] = "/tmp/tarn-validate-XXXXXX";
    if (mkdtemp (scratchHome) == nullptr)
    {
        std::perror ("mkdtemp");
        return 2;
    }
    setenv ("HOME", scratchHome, 1);
    setenv ("XDG_CONFIG_HOME", (std::string (scratchHome) + "/.config").c_str(), 1);
    unsetenv ("TARN_ANALYTICS_URL");
    struct RemoveScratchHome
    {
        const char* path;
        ~RemoveScratchHome() { std::filesystem::remove_all (path); }
    } removeScratchHome { scratchHome };

    juce::ScopedJuceInitialiser_GUI juce;
    Report report;
    report.verbose = verbose;
    installWatchdog (report);

    // This thread is the message thread: it runs JUCE's dispatch loop while
    // the checks run on their own thread and call over for whatever a host
    // does on its message thread (creating, preparing, saving, loading).
    Plugins formats;
    int exitCode = 0;

    std::thread checks ([&]
    {
        const auto started = std::chrono::steady_clock::now();
        for (const auto& path : plugins)
        {
            juce::String error;
            std::optional<PluginBinary> binary;
            {
                Step step (report, path.endsWith (".lv2") || path.contains ("://") ? Format::lv2 : Format::vst3, "scan", 60);
                binary = formats.scan (path, error);
            }
            if (! binary)
            {
                report.add ("scan", path.endsWith (".lv2") || path.contains ("://") ? Format::lv2 : Format::vst3,
                            false, error);
                continue;
            }
            if (list)
            {
                listParameters (formats, *binary);
                continue;
            }
            report.add ("scan", binary->format, true,
                        binary->description.name + " " + binary->description.version + " from "
                            + binary->description.fileOrIdentifier);

            Context context { report, formats, *binary, quick };
            for (const auto& g : groups)
            {
                if (! selected.isEmpty() && ! selected.contains (g.name))
                    continue;
                const auto groupStart = std::chrono::steady_clock::now();
                Step step (report, binary->format, g.name, g.timeoutSeconds);
                try
                {
                    g.run (context);
                }
                catch (const std::exception& e)
                {
                    report.add (g.name, binary->format, false, juce::String ("stopped by an exception: ") + e.what());
                }
                report.detail (juce::String (g.name) + " took "
                               + juce::String (std::chrono::duration<double> (std::chrono::steady_clock::now() - groupStart).count(), 2) + " s");
            }
        }
        if (! list)
        {
            report.print (stdout);
            std::printf ("time %.1f s\n", std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count());
            exitCode = report.allPassed() ? 0 : 1;
        }
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });

    juce::MessageManager::getInstance()->runDispatchLoop();
    checks.join();
    return exitCode;
}
