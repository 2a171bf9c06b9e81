// tarn-render: runs Tarn Limiter 2's processor over an audio file the way a
// host exports a mixdown, and prints what it did. See usageText() or
// `tarn-render --help`; without arguments it renders a built-in demo.

#include "DemoSignal.h"
#include "RenderOptions.h"
#include "Renderer.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_events/juce_events.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
using namespace tarn::render;

constexpr double demoSampleRate = 48000.0;
constexpr double demoSeconds = 30.0;

void writeDemoInput (const juce::File& file)
{
    const auto signal = makeDemoSignal (demoSampleRate, (int) (demoSampleRate * demoSeconds));

    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream> (file);
    if (stream->failedToOpen())
        throw RenderError (RenderError::fileError, "cannot write '" + file.getFullPathName().toStdString()
                                                       + "': " + stream->getStatus().getErrorMessage().toStdString());

    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), demoSampleRate, (unsigned) signal.getNumChannels(), 24, {}, 0));
    if (writer == nullptr)
        throw RenderError (RenderError::fileError, "cannot write '" + file.getFullPathName().toStdString() + "'");
    stream.release();

    if (! writer->writeFromAudioSampleBuffer (signal, 0, signal.getNumSamples()))
        throw RenderError (RenderError::fileError, "cannot write '" + file.getFullPathName().toStdString() + "'");
}

int runDemo (const RenderOptions& given)
{
    const auto folder = juce::File::getCurrentWorkingDirectory().getChildFile (
        given.demoFolder.empty() ? juce::String ("tarn-render-demo") : juce::String (given.demoFolder));
    if (! folder.createDirectory())
        throw RenderError (RenderError::fileError, "cannot create the folder '" + folder.getFullPathName().toStdString() + "'");

    const auto input = folder.getChildFile ("demo-input.wav");
    writeDemoInput (input);

    RenderOptions options;
    options.inputFile = input.getFullPathName().toStdString();
    options.outputFile = folder.getChildFile ("demo-output.wav").getFullPathName().toStdString();
    options.historyFile = folder.getChildFile ("demo-history.csv").getFullPathName().toStdString();
    options.saveStateFile = folder.getChildFile ("demo-state.bin").getFullPathName().toStdString();
    options.thresholds = { -1.0f };
    options.progress = given.progress;

    std::printf ("Demo: %.0f s of loud, clipped stereo programme at %.0f Hz with intersample peaks, limited to -1 dB.\n\n",
                 demoSeconds, demoSampleRate);
    const auto report = render (options);
    printReport (report);

    std::printf ("\nThe demo's files are in %s:\n", folder.getFullPathName().toRawUTF8());
    std::printf ("  demo-input.wav    the built-in signal\n");
    std::printf ("  demo-output.wav   the limited signal, aligned with the input\n");
    std::printf ("  demo-history.csv  the recorded history, one row per 20 ms\n");
    std::printf ("  demo-state.bin    the processor's saved state (load it with --load-state)\n");
    std::printf ("Render your own file with: tarn-render --threshold -1 INPUT.wav OUTPUT.wav (--help lists the options)\n");
    return 0;
}
} // namespace

int main (int argc, char** argv)
{
    const std::vector<std::string> arguments (argv + 1, argv + argc);

    try
    {
        const auto options = parseOptions (arguments);
        if (options.showHelp)
        {
            std::fputs (usageText().c_str(), stdout);
            return 0;
        }

        // The framework and its message manager; this thread is the message
        // thread and, offline, also the one that runs the audio callback.
        const juce::ScopedJuceInitialiser_GUI framework;

        if (options.demo)
            return runDemo (options);

        printReport (render (options));
        return 0;
    }
    catch (const RenderError& error)
    {
        std::fflush (stdout);
        std::fprintf (stderr, "tarn-render: %s\n", error.what());
        return error.exitCode;
    }
    catch (const std::exception& error)
    {
        std::fflush (stdout);
        std::fprintf (stderr, "tarn-render: %s\n", error.what());
        return RenderError::processingError;
    }
}
