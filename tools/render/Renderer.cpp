#include "Renderer.h"

#include "HistoryCsv.h"
#include "ProgressBar.h"
#include "TruePeakMeter.h"

#include "processor/TarnLimiterAudioProcessor.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <thread>

namespace tarn::render
{
namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince (Clock::time_point start)
{
    return std::chrono::duration<double> (Clock::now() - start).count();
}

std::string quoted (const juce::File& file)
{
    return "'" + file.getFullPathName().toStdString() + "'";
}

juce::File fileFromArgument (const std::string& path)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile (juce::String (path));
}

bool isFlac (const juce::File& file)
{
    return file.getFileExtension().equalsIgnoreCase (".flac");
}

std::string flacMessage (const juce::File& file, const char* verb)
{
    return std::string ("cannot ") + verb + " " + quoted (file)
           + ": FLAC is not available in this build (Debian's JUCE is built without its FLAC codec); use WAV or AIFF";
}

//==============================================================================
// The host's transport as an offline export shows it: stopped at 0 for the
// pre-roll, then playing with contiguous positions from 0.
class RenderPlayHead final : public juce::AudioPlayHead
{
public:
    explicit RenderPlayHead (double sampleRateToUse) : sampleRate (sampleRateToUse) {}

    void set (bool isPlaying, std::int64_t positionInSamples) noexcept
    {
        playing = isPlaying;
        position = positionInSamples;
    }

    juce::Optional<PositionInfo> getPosition() const override
    {
        PositionInfo info;
        info.setIsPlaying (playing);
        info.setIsRecording (false);
        info.setTimeInSamples (position);
        info.setTimeInSeconds ((double) position / sampleRate);
        return info;
    }

private:
    const double sampleRate;
    bool playing = false;
    std::int64_t position = 0;
};

//==============================================================================
// Parameters, set and read in plain units as a host does.
juce::RangedAudioParameter& parameter (TarnLimiterAudioProcessor& processor, const char* id)
{
    auto* found = processor.getValueTreeState().getParameter (id);
    if (found == nullptr)
        throw RenderError (RenderError::processingError, std::string ("the processor has no parameter \"") + id + "\"");
    return *found;
}

void setParameter (TarnLimiterAudioProcessor& processor, const char* id, float value)
{
    auto& p = parameter (processor, id);
    p.setValueNotifyingHost (p.getNormalisableRange().convertTo0to1 (value));
}

float getParameter (TarnLimiterAudioProcessor& processor, const char* id)
{
    auto& p = parameter (processor, id);
    return p.getNormalisableRange().convertFrom0to1 (p.getValue());
}

void applyParameters (TarnLimiterAudioProcessor& processor, const RenderOptions& options)
{
    if (options.preGain)
        setParameter (processor, "PreGain", *options.preGain);
    if (options.postGain)
        setParameter (processor, "PostGain", *options.postGain);
    if (options.releaseTime)
        setParameter (processor, "ReleaseTime", *options.releaseTime);
    if (options.reactivity)
        setParameter (processor, "AutoReleaseReactivity", *options.reactivity);
    if (options.autoRelease)
        setParameter (processor, "AutoRelease", *options.autoRelease ? 1.0f : 0.0f);
    if (options.releaseCurve)
        setParameter (processor, "ReleaseCurve", (float) *options.releaseCurve);
    if (options.maxTarget)
        setParameter (processor, "MaxTarget", *options.maxTarget);
    if (options.maximizer)
        setParameter (processor, "Maximizer", *options.maximizer ? 1.0f : 0.0f);
}

//==============================================================================
// The processor's error slot (exceptions it caught in prepareToPlay or the
// audio callback, a failed history worker included), checked after every block.
std::optional<std::string> processorError (TarnLimiterAudioProcessor& processor)
{
    if (processor.hasErrorOccurred())
        return processor.getErrorMessage().toStdString();
    return std::nullopt;
}

//==============================================================================
// Waits until the history worker has stored a pass.
//
// The worker drains the limiter's point rings every 20 ms, in the order the
// points were queued, and a new pass (startRecording) drops whatever is still
// queued: so each pass has to be stored before the next one starts, and the
// history before it is written or saved. Before a pass, the slot `watched`
// of every series is set to a marker no measurement produces; the pass's
// points are stored once the worker has overwritten it in all four series.
// The slot is the last one that every series is sure to receive: each stage
// of the limiter withholds at most the latency, so the points reach at least
// the host position fed - latency. The few points after it (the silent
// padding) are stored by the worker's next pass, for which it waits a few
// more periods.
class HistoryWatch
{
public:
    static constexpr float marker = std::numeric_limits<float>::lowest();

    void arm (tarn::HistoryTruePeakBrickWallLimiter& limiter, std::uint64_t slot)
    {
        watched = slot;
        for (size_t k = 0; k < kinds.size(); ++k)
        {
            auto& series = limiter.getSeries (kinds[k]);
            previous[k] = series.get (slot);
            series.set (slot, marker);
        }
    }

    // True when the pass was stored within the timeout. Otherwise the marker
    // is replaced by what the slot held before.
    bool wait (tarn::HistoryTruePeakBrickWallLimiter& limiter, double timeoutSeconds)
    {
        const auto start = Clock::now();
        while (true)
        {
            bool stored = true;
            for (auto kind : kinds)
                stored = stored && limiter.getSeries (kind).get (watched) != marker;

            if (stored)
            {
                std::this_thread::sleep_for (std::chrono::milliseconds (80));
                return true;
            }

            if (secondsSince (start) > timeoutSeconds || limiter.hasWorkerFailed())
            {
                for (size_t k = 0; k < kinds.size(); ++k)
                    if (limiter.getSeries (kinds[k]).get (watched) == marker)
                        limiter.getSeries (kinds[k]).set (watched, previous[k]);
                return false;
            }

            std::this_thread::sleep_for (std::chrono::milliseconds (2));
        }
    }

private:
    static constexpr std::array<tarn::HistorySeries, 4> kinds { tarn::HistorySeries::limitedLevel,
                                                                tarn::HistorySeries::gainReduction,
                                                                tarn::HistorySeries::threshold,
                                                                tarn::HistorySeries::outputLevel };
    std::uint64_t watched = 0;
    std::array<float, 4> previous {};
};

//==============================================================================
// "WAV", "AIFF": the framework's format name without its " file".
std::string formatName (const juce::String& name)
{
    return name.upToFirstOccurrenceOf (" ", false, false).toStdString();
}

std::string formatName (juce::AudioFormat& format)
{
    return formatName (format.getFormatName());
}

std::string describeFormat (const juce::AudioFormatReader& reader)
{
    return formatName (reader.getFormatName()) + ", " + std::to_string (reader.bitsPerSample) + "-bit"
           + (reader.usesFloatingPointData ? " float" : "");
}

std::unique_ptr<juce::AudioFormatReader> openInput (juce::AudioFormatManager& formats, const juce::File& file)
{
    if (! file.exists())
        throw RenderError (RenderError::fileError, "cannot open " + quoted (file) + ": no such file");
    if (file.isDirectory())
        throw RenderError (RenderError::fileError, "cannot open " + quoted (file) + ": it is a folder");

    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
    if (reader == nullptr)
    {
        if (isFlac (file) && formats.findFormatForFileExtension ("flac") == nullptr)
            throw RenderError (RenderError::fileError, flacMessage (file, "read"));
        if (! file.hasReadAccess())
            throw RenderError (RenderError::fileError, "cannot open " + quoted (file) + ": permission denied");
        throw RenderError (RenderError::fileError, "cannot read " + quoted (file)
                                                       + ": unsupported format (WAV and AIFF files are supported)");
    }

    if (reader->numChannels < 1 || reader->numChannels > 2)
        throw RenderError (RenderError::fileError, quoted (file) + " has " + std::to_string (reader->numChannels)
                                                       + " channels: only mono and stereo files are supported");
    if (reader->lengthInSamples <= 0)
        throw RenderError (RenderError::fileError, quoted (file) + " holds no audio");
    if (! (reader->sampleRate >= 8000.0 && reader->sampleRate <= 768000.0))
        throw RenderError (RenderError::fileError, quoted (file) + " has an unsupported sample rate of "
                                                       + std::to_string (reader->sampleRate) + " Hz");
    return reader;
}

juce::File defaultOutputFor (const juce::File& input)
{
    return input.getSiblingFile (input.getFileNameWithoutExtension() + "-limited" + input.getFileExtension());
}

struct Output
{
    std::unique_ptr<juce::AudioFormatWriter> writer;
    juce::File file;
    std::string description;
};

Output openOutput (juce::AudioFormatManager& formats, const juce::File& file, const juce::File& input,
                   const juce::AudioFormatReader& reader, std::optional<int> bitDepthOption)
{
    if (file == input)
        throw RenderError (RenderError::usageError, "the output file would overwrite the input file " + quoted (input));

    auto* format = formats.findFormatForFileExtension (file.getFileExtension());
    if (format == nullptr)
    {
        if (isFlac (file))
            throw RenderError (RenderError::fileError, flacMessage (file, "write"));
        throw RenderError (RenderError::fileError, "cannot write " + quoted (file) + ": unsupported format '"
                                                       + file.getFileExtension().toStdString()
                                                       + "' (use .wav, .aif or .aiff)");
    }

    const auto depths = format->getPossibleBitDepths();
    int bits = bitDepthOption.value_or ((int) reader.bitsPerSample);
    if (! depths.contains (bits))
    {
        if (bitDepthOption)
            throw RenderError (RenderError::usageError, "--bits: " + std::to_string (bits) + "-bit is not available for "
                                                            + formatName (*format) + " files");
        bits = depths.contains (24) ? 24 : depths.getLast();
    }

    if (! file.getParentDirectory().isDirectory())
        throw RenderError (RenderError::fileError, "cannot write " + quoted (file) + ": no such folder");

    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream> (file);
    if (stream->failedToOpen())
        throw RenderError (RenderError::fileError, "cannot write " + quoted (file) + ": "
                                                       + stream->getStatus().getErrorMessage().toStdString());

    std::unique_ptr<juce::AudioFormatWriter> writer (
        format->createWriterFor (stream.get(), reader.sampleRate, reader.numChannels, bits, {}, 0));
    if (writer == nullptr)
        throw RenderError (RenderError::fileError, "cannot write " + quoted (file) + ": "
                                                       + format->getFormatName().toStdString() + " cannot hold "
                                                       + std::to_string (reader.numChannels) + " channel(s) of "
                                                       + std::to_string (bits) + "-bit audio at "
                                                       + std::to_string ((long) reader.sampleRate) + " Hz");
    stream.release(); // the writer owns it now

    return { std::move (writer), file, formatName (*format) + ", " + std::to_string (bits) + "-bit" + (bits == 32 ? " float" : "") };
}

juce::MemoryBlock loadState (const juce::File& file)
{
    if (! file.existsAsFile())
        throw RenderError (RenderError::fileError, "cannot open state file " + quoted (file) + ": no such file");

    juce::MemoryBlock data;
    if (! file.loadFileAsData (data))
        throw RenderError (RenderError::fileError, "cannot read state file " + quoted (file));

    const auto xml = juce::AudioProcessor::getXmlFromBinary (data.getData(), (int) data.getSize());
    if (xml == nullptr || ! xml->hasTagName ("TarnLimiterState"))
        throw RenderError (RenderError::fileError, quoted (file) + " is not a saved Tarn Limiter 2 state");
    return data;
}

void checkWritable (const std::string& path, const char* what)
{
    if (path.empty())
        return;
    const auto file = fileFromArgument (path);
    if (file.isDirectory())
        throw RenderError (RenderError::fileError, std::string ("cannot write ") + what + " " + quoted (file) + ": it is a folder");
    if (! file.getParentDirectory().isDirectory())
        throw RenderError (RenderError::fileError, std::string ("cannot write ") + what + " " + quoted (file) + ": no such folder");
}

// Removes a half-written output when the render fails.
struct OutputGuard
{
    juce::File file;
    bool keep = false;
    ~OutputGuard()
    {
        if (! keep && file != juce::File())
            file.deleteFile();
    }
};
} // namespace

//==============================================================================
RenderReport render (const RenderOptions& options)
{
    const auto wallStart = Clock::now();
    RenderReport report;

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();

    const auto inputFile = fileFromArgument (options.inputFile);
    auto reader = openInput (formats, inputFile);

    const double sampleRate = reader->sampleRate;
    const int channels = (int) reader->numChannels;
    const std::int64_t numSamples = reader->lengthInSamples;
    const int blockSize = options.blockSize;

    const auto outputFile = options.outputFile.empty() ? defaultOutputFor (inputFile) : fileFromArgument (options.outputFile);
    checkWritable (options.historyFile, "the history");
    checkWritable (options.saveStateFile, "the state");
    juce::MemoryBlock stateToLoad;
    if (! options.loadStateFile.empty())
        stateToLoad = loadState (fileFromArgument (options.loadStateFile));

    auto output = openOutput (formats, outputFile, inputFile, *reader, options.bitDepth);
    OutputGuard outputGuard { outputFile };

    report.inputPath = inputFile.getFullPathName().toStdString();
    report.outputPath = outputFile.getFullPathName().toStdString();
    report.inputFormat = describeFormat (*reader);
    report.outputFormat = output.description;
    report.sampleRate = sampleRate;
    report.channels = channels;
    report.numSamples = numSamples;
    report.blockSize = blockSize;

    // The processor, set up the way a host does it: layout, state, parameters,
    // then prepareToPlay with the file's rate and the host's block size.
    TarnLimiterAudioProcessor processor;

    // We are not one of the hosts the framework knows, but our play head
    // reports true timeline positions: say so, so that the session is recorded
    // by position and kept in the saved state.
    processor.setTimelinePositionsSupplied (true);

    const auto channelSet = channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (channelSet);
    layout.outputBuses.add (channelSet);
    if (! processor.setBusesLayout (layout))
        throw RenderError (RenderError::processingError, "the processor refused the "
                                                             + channelSet.getDescription().toStdString() + " layout");

    if (! processor.isHostSupported())
        throw RenderError (RenderError::processingError,
                           "the processor does not follow the renderer's timeline positions");

    RenderPlayHead playHead (sampleRate);
    processor.setPlayHead (&playHead);
    processor.setNonRealtime (true);

    if (! stateToLoad.isEmpty())
    {
        processor.setStateInformation (stateToLoad.getData(), (int) stateToLoad.getSize());
        report.stateLoaded = true;
    }

    applyParameters (processor, options);

    processor.setRateAndBufferSizeDetails (sampleRate, blockSize);
    processor.prepareToPlay (sampleRate, blockSize);
    if (auto error = processorError (processor))
        throw RenderError (RenderError::processingError, "the processor failed to prepare: " + *error);
    if (processor.getLimiter() == nullptr)
        throw RenderError (RenderError::processingError, "the processor failed to prepare");

    const int latency = processor.getLatencySamples();
    report.latency = latency;

    // Silence after the file: the latency's worth brings the file's end out
    // of the limiter (those output samples close the output file); as much
    // again and two slots more let every history series measure the last
    // 20 ms slot that holds part of the file, since no stage of the limiter
    // withholds more than the latency. The padding's output is dropped.
    const auto slotSamples = (std::int64_t) std::max (1u, processor.getLimiter()->getSeries (tarn::HistorySeries::threshold).getSamplesPerUpdate());
    const std::int64_t padding = 2 * (std::int64_t) latency + 2 * slotSamples;
    const std::int64_t fed = numSamples + padding;
    const auto watchedSlot = (std::uint64_t) ((fed - latency - 1) / slotSamples - 1);

    const int passes = options.passCount();
    const double audioPerPass = (double) (fed + blockSize) / sampleRate;
    ProgressBar progress (options.progress && audioPerPass * passes >= 10.0, passes);

    TruePeakMeter inputMeter (channels, sampleRate);
    TruePeakMeter outputMeter (channels, sampleRate);
    ReconstructionPeakMeter outputReconstruction (channels, sampleRate);
    juce::AudioBuffer<float> block (channels, blockSize);
    juce::MidiBuffer midi;
    HistoryWatch watch;
    double processingSeconds = 0.0;

    auto runBlock = [&] (std::int64_t position, bool playing)
    {
        playHead.set (playing, position);
        const auto start = Clock::now();
        {
            const juce::ScopedLock lock (processor.getCallbackLock());
            processor.processBlock (block, midi);
        }
        processingSeconds += secondsSince (start);

        if (auto error = processorError (processor))
            throw RenderError (RenderError::processingError,
                               "the processor reported an error at " + juce::String ((double) position / sampleRate, 3).toStdString()
                                   + " s: " + *error);
    };

    for (int pass = 0; pass < passes; ++pass)
    {
        if (const auto threshold = options.thresholdForPass (pass))
            setParameter (processor, "Threshold", *threshold);
        report.passes.push_back ({ getParameter (processor, "Threshold") });

        const bool lastPass = pass == passes - 1;
        auto limiter = processor.getLimiter();
        watch.arm (*limiter, watchedSlot);

        // Pre-roll: one stopped block at 0. The processor resets the limiter
        // at the first playing block after it, so every pass starts clean.
        block.setSize (channels, blockSize, false, false, true);
        block.clear();
        runBlock (0, false);

        for (std::int64_t offset = 0; offset < fed; offset += blockSize)
        {
            const int n = (int) std::min<std::int64_t> (blockSize, fed - offset);
            const int fromFile = (int) std::clamp<std::int64_t> (numSamples - offset, 0, n);

            block.setSize (channels, n, false, false, true);
            if (fromFile > 0 && ! reader->read (&block, 0, fromFile, offset, true, true))
                throw RenderError (RenderError::fileError, "cannot read " + quoted (inputFile) + " at sample "
                                                               + std::to_string (offset));
            if (fromFile < n)
                block.clear (fromFile, n - fromFile);

            if (pass == 0)
                inputMeter.add (block, 0, fromFile);

            runBlock (offset, true);

            // Output sample i of this block lines up with input sample
            // offset + i - latency: keep those that fall inside the file.
            if (lastPass)
            {
                const auto from = (int) std::clamp<std::int64_t> ((std::int64_t) latency - offset, 0, n);
                const auto to = (int) std::clamp<std::int64_t> (numSamples + latency - offset, 0, n);
                if (to > from)
                {
                    if (! output.writer->writeFromAudioSampleBuffer (block, from, to - from))
                        throw RenderError (RenderError::fileError, "cannot write " + quoted (output.file) + ": disk full?");
                    outputMeter.add (block, from, to - from);
                    outputReconstruction.add (block, from, to - from);
                }
            }

            progress.update (pass, (double) (offset + n) / (double) fed);
        }

        if (! watch.wait (*limiter, 10.0))
            report.historyComplete = false;
        if (auto error = processorError (processor))
            throw RenderError (RenderError::processingError, "the processor reported an error: " + *error);
    }
    progress.finish();

    output.writer.reset(); // flushes and closes the file
    outputGuard.keep = true;

    report.processingSeconds = processingSeconds;
    report.renderedAudioSeconds = (double) passes * (double) (fed + blockSize) / sampleRate;
    report.inputTruePeakDb = inputMeter.truePeakDb();
    report.inputSamplePeakDb = inputMeter.samplePeakDb();
    report.outputTruePeakDb = outputMeter.truePeakDb();
    report.outputSamplePeakDb = outputMeter.samplePeakDb();
    report.outputReconstructedPeakDb = outputReconstruction.finishDb();

    report.thresholdDb = getParameter (processor, "Threshold");
    report.preGainDb = getParameter (processor, "PreGain");
    report.postGainDb = getParameter (processor, "PostGain");
    report.autoRelease = getParameter (processor, "AutoRelease") > 0.5f;
    report.releaseTimeMs = getParameter (processor, "ReleaseTime");
    report.reactivity = getParameter (processor, "AutoReleaseReactivity");
    report.maximizer = getParameter (processor, "Maximizer") > 0.5f;
    report.maxTargetDb = getParameter (processor, "MaxTarget");
    report.releaseCurve = releaseCurveNames[(size_t) std::clamp ((int) std::lround (getParameter (processor, "ReleaseCurve")), 0, 4)];

    // What the limiter recorded about this render: the slots that hold part
    // of the file (positions run ahead of the audio by the latency).
    const auto limiter = processor.getLimiter();
    const HistoryTimeBase timeBase { sampleRate, latency, (std::uint64_t) slotSamples };
    {
        const auto& gainReduction = limiter->getSeries (tarn::HistorySeries::gainReduction);
        const auto fileSlots = (std::uint64_t) ((numSamples + latency + slotSamples - 1) / slotSamples);
        double largest = 0.0;
        for (std::uint64_t slot = 0; slot < fileSlots; ++slot)
        {
            const float value = gainReduction.get (slot);
            if (std::isfinite (value))
                largest = std::max (largest, (double) value);
        }
        report.maxGainReductionDb = largest;

        for (const auto& region : limiter->copyOverRegions())
        {
            // A region runs from the start of its first slot to the end of its last.
            const double start = timeBase.audioSecondsAt (region.start) - (double) slotSamples / sampleRate;
            const double end = timeBase.audioSecondsAt (region.end);
            if (start < (double) numSamples / sampleRate)
                report.overRegions.push_back ({ std::max (0.0, start), std::min (end, (double) numSamples / sampleRate) });
        }
    }

    if (! options.historyFile.empty())
    {
        const auto file = fileFromArgument (options.historyFile);
        report.historyRows = writeHistoryCsv (*limiter, timeBase, file);
        report.historyPath = file.getFullPathName().toStdString();
    }

    if (! options.saveStateFile.empty())
    {
        const auto file = fileFromArgument (options.saveStateFile);
        juce::MemoryBlock state;
        processor.getStateInformation (state);
        if (! file.replaceWithData (state.getData(), state.getSize()))
            throw RenderError (RenderError::fileError, "cannot write state file " + quoted (file));
        report.stateBytes = state.getSize();
        report.statePath = file.getFullPathName().toStdString();
    }

    processor.releaseResources();
    processor.setPlayHead (nullptr);

    report.wallSeconds = secondsSince (wallStart);
    return report;
}

//==============================================================================
void printReport (const RenderReport& r)
{
    auto db = [] (double value) -> std::string
    {
        if (! std::isfinite (value))
            return value < 0 ? "-inf" : "+inf";
        char text[32];
        std::snprintf (text, sizeof (text), "%+.2f", value);
        return text;
    };

    const double seconds = (double) r.numSamples / r.sampleRate;
    std::printf ("Tarn Limiter 2 offline render\n");
    std::printf ("  input               %s\n", r.inputPath.c_str());
    std::printf ("                      %s, %.0f Hz, %s, %.3f s\n", r.inputFormat.c_str(), r.sampleRate,
                 r.channels == 1 ? "mono" : "stereo", seconds);
    std::printf ("  output              %s (%s)\n", r.outputPath.c_str(), r.outputFormat.c_str());

    std::string release = r.autoRelease ? "auto, reactivity x" + juce::String (r.reactivity, 2).toStdString()
                                        : juce::String (r.releaseTimeMs, 0).toStdString() + " ms";
    std::printf ("  settings            threshold %.1f dB, pre gain %.1f dB, ", r.thresholdDb, r.preGainDb);
    if (r.maximizer)
        std::printf ("maximizer on (target %.1f dB), ", r.maxTargetDb);
    else
        std::printf ("post gain %.1f dB, ", r.postGainDb);
    std::printf ("release %s, curve %s\n", release.c_str(), r.releaseCurve.c_str());
    if (r.stateLoaded)
        std::printf ("                      (state loaded before rendering; options override it)\n");

    if (r.passes.size() > 1)
    {
        std::string thresholds;
        for (const auto& pass : r.passes)
            thresholds += (thresholds.empty() ? "" : ", ") + juce::String (pass.thresholdDb, 1).toStdString();
        std::printf ("  passes              %zu (thresholds %s dB); the output is the last pass\n", r.passes.size(),
                     thresholds.c_str());
    }

    std::printf ("  block size          %d samples\n", r.blockSize);
    std::printf ("  latency             %d samples (%.2f ms), removed from the output\n", r.latency,
                 1000.0 * r.latency / r.sampleRate);
    std::printf ("  input true peak     %s dBTP (sample peak %s dBFS)\n", db (r.inputTruePeakDb).c_str(),
                 db (r.inputSamplePeakDb).c_str());
    std::printf ("  output true peak    %s dBTP (sample peak %s dBFS), libebur128\n", db (r.outputTruePeakDb).c_str(),
                 db (r.outputSamplePeakDb).c_str());
    std::printf ("  reconstructed peak  %s dBTP (output, near-ideal 32x reconstruction, libsoxr)\n",
                 db (r.outputReconstructedPeakDb).c_str());
    std::printf ("  max gain reduction  %.2f dB\n", r.maxGainReductionDb);

    if (r.overRegions.empty())
        std::printf ("  over regions        none\n");
    else
    {
        std::printf ("  over regions        %zu above 0 dBFS:", r.overRegions.size());
        const size_t shown = std::min<size_t> (r.overRegions.size(), 5);
        for (size_t i = 0; i < shown; ++i)
            std::printf ("%s %.3f-%.3f s", i == 0 ? "" : ",", r.overRegions[i].startSeconds, r.overRegions[i].endSeconds);
        std::printf ("%s\n", r.overRegions.size() > shown ? ", ..." : "");
    }

    std::printf ("  realtime factor     %.1fx in the processor, %.1fx overall (%.2f s of audio in %.3f s)\n",
                 r.renderedAudioSeconds / std::max (r.processingSeconds, 1e-9),
                 r.renderedAudioSeconds / std::max (r.wallSeconds, 1e-9), r.renderedAudioSeconds, r.wallSeconds);

    if (! r.historyPath.empty())
        std::printf ("  history             %s (%zu rows of 20 ms)\n", r.historyPath.c_str(), r.historyRows);
    if (! r.historyComplete)
        std::printf ("  warning             the history worker did not store every pass in time: the history may miss points\n");
    if (! r.statePath.empty())
        std::printf ("  state               %s (%zu bytes)%s\n", r.statePath.c_str(), r.stateBytes,
                     r.stateBytes == 0 ? ": the processor saved an empty state" : "");
}

} // namespace tarn::render
