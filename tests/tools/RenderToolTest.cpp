// Runs the tarn-render program on audio files in a temporary folder and
// checks the files it writes and what it prints.

#include "support/IndependentTruePeakMeter.h"
#include "support/TestSignals.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace
{
using tarn::test::Channels;

//==============================================================================
// Running the program.

struct Run
{
    int exitCode = -1;
    std::string out, err;
};

std::string readText (const juce::File& file)
{
    return file.loadFileAsString().toStdString();
}

// Runs tarn-render with the arguments in folder (its working directory),
// with HOME pointing there too so that the processor's settings file stays
// out of the user's home.
Run runRender (const std::vector<std::string>& arguments, const juce::File& folder)
{
    const auto outFile = folder.getChildFile ("render-stdout.txt");
    const auto errFile = folder.getChildFile ("render-stderr.txt");

    std::vector<std::string> argumentStrings { TARN_RENDER_PATH };
    argumentStrings.insert (argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argumentStrings)
        argv.push_back (a.data());
    argv.push_back (nullptr);

    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string (*e).rfind ("HOME=", 0) != 0)
            environment.emplace_back (*e);
    environment.push_back ("HOME=" + folder.getFullPathName().toStdString());
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back (e.data());
    envp.push_back (nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addchdir_np (&actions, folder.getFullPathName().toRawUTF8());
    posix_spawn_file_actions_addopen (&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen (&actions, 1, outFile.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen (&actions, 2, errFile.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    Run run;
    pid_t pid = 0;
    const int spawned = posix_spawn (&pid, TARN_RENDER_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy (&actions);
    if (spawned != 0)
    {
        ADD_FAILURE() << "cannot start " << TARN_RENDER_PATH;
        return run;
    }

    int status = 0;
    waitpid (pid, &status, 0);
    run.exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
    run.out = readText (outFile);
    run.err = readText (errFile);
    outFile.deleteFile();
    errFile.deleteFile();
    return run;
}

std::string describe (const Run& run)
{
    return "exit code " + std::to_string (run.exitCode) + "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
}

//==============================================================================
// Audio files.

struct Audio
{
    Channels channels;
    double sampleRate = 0.0;
    int bits = 0;
};

void writeAudio (const juce::File& file, const Channels& channels, double sampleRate, int bits)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    auto* format = formats.findFormatForFileExtension (file.getFileExtension());
    ASSERT_NE (format, nullptr) << file.getFullPathName();

    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream> (file);
    ASSERT_TRUE (stream->openedOk());
    std::unique_ptr<juce::AudioFormatWriter> writer (
        format->createWriterFor (stream.get(), sampleRate, (unsigned) channels.size(), bits, {}, 0));
    ASSERT_NE (writer, nullptr);
    stream.release();

    std::vector<const float*> pointers;
    for (const auto& channel : channels)
        pointers.push_back (channel.data());
    ASSERT_TRUE (writer->writeFromFloatArrays (pointers.data(), (int) pointers.size(), (int) channels[0].size()));
}

Audio readAudio (const juce::File& file)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
    Audio audio;
    if (reader == nullptr)
    {
        ADD_FAILURE() << "cannot read " << file.getFullPathName();
        return audio;
    }

    juce::AudioBuffer<float> buffer ((int) reader->numChannels, (int) reader->lengthInSamples);
    reader->read (&buffer, 0, buffer.getNumSamples(), 0, true, true);
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        audio.channels.emplace_back (buffer.getReadPointer (c), buffer.getReadPointer (c) + buffer.getNumSamples());
    audio.sampleRate = reader->sampleRate;
    audio.bits = (int) reader->bitsPerSample;
    return audio;
}

// Fades the last samples out linearly. The output file ends where the input
// does: a signal cut off at full level ends in a step, whose reconstruction
// rings above the samples before it. Music ends in silence; so do these.
Channels fadedOut (Channels channels, double rate)
{
    const int length = (int) (0.05 * rate);
    for (auto& channel : channels)
    {
        const int size = (int) channel.size();
        for (int i = std::max (0, size - length); i < size; ++i)
            channel[(size_t) i] *= (float) (size - 1 - i) / (float) length;
    }
    return channels;
}

Channels loudStereo (double rate, double seconds, uint32_t seed)
{
    const int length = (int) (seconds * rate);
    return fadedOut ({ tarn::test::denseMaterial (rate, length, seed), tarn::test::denseMaterial (rate, length, seed + 1) },
                     rate);
}

// Quiet tones (peaks near -14 dBFS, well under any threshold used here) for
// quietSeconds, then loud clipped material with intersample peaks.
Channels quietThenLoud (double rate, int channels, double quietSeconds, double seconds)
{
    const int total = (int) (seconds * rate);
    const int quiet = (int) (quietSeconds * rate);
    Channels signal;
    for (int c = 0; c < channels; ++c)
    {
        auto a = tarn::test::sine (441.0 + 110.0 * c, rate, total, 0.1, 0.3 * c);
        const auto b = tarn::test::sine (2213.0, rate, total, 0.06, 1.0 + c);
        const auto c3 = tarn::test::sine (97.0, rate, total, 0.04);
        const auto loud = tarn::test::denseMaterial (rate, total, 11u + (uint32_t) c);
        for (int i = 0; i < total; ++i)
            a[(size_t) i] = i < quiet ? a[(size_t) i] + b[(size_t) i] + c3[(size_t) i] : loud[(size_t) i];
        signal.push_back (std::move (a));
    }
    return fadedOut (std::move (signal), rate);
}

Channels slice (const Channels& channels, int start, int end)
{
    Channels part;
    for (const auto& channel : channels)
        part.emplace_back (channel.begin() + start, channel.begin() + end);
    return part;
}

// Lag (output against input) with the largest cross-correlation, searched in
// [-maxLag, maxLag] over channel 0 from start to end.
int bestLag (const std::vector<float>& input, const std::vector<float>& output, int start, int end, int maxLag)
{
    int best = 0;
    double bestValue = -1.0e300;
    for (int lag = -maxLag; lag <= maxLag; ++lag)
    {
        double sum = 0.0;
        for (int i = start; i < end; ++i)
            sum += (double) input[(size_t) i] * output[(size_t) (i + lag)];
        if (sum > bestValue)
        {
            bestValue = sum;
            best = lag;
        }
    }
    return best;
}

//==============================================================================
// What the program prints and the history it writes.

// A number printed after the label in the summary, e.g. "latency" -> 517.
double summaryNumber (const std::string& out, const std::string& label)
{
    const std::regex pattern ("\\n  " + label + "\\s+([-+]?[0-9.]+|[-+]inf)");
    std::smatch match;
    if (! std::regex_search (out, match, pattern))
    {
        ADD_FAILURE() << "no '" << label << "' in the summary:\n" << out;
        return std::nan ("");
    }
    return match[1] == "-inf" ? -INFINITY : std::stod (match[1]);
}

struct Csv
{
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    int column (const std::string& name) const
    {
        const auto found = std::find (header.begin(), header.end(), name);
        return found == header.end() ? -1 : (int) (found - header.begin());
    }
};

std::vector<std::string> splitCsvLine (const std::string& line)
{
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream stream (line);
    while (std::getline (stream, cell, ','))
        cells.push_back (cell);
    if (! line.empty() && line.back() == ',')
        cells.emplace_back();
    return cells;
}

Csv readCsv (const juce::File& file)
{
    Csv csv;
    std::ifstream in (file.getFullPathName().toStdString());
    std::string line;
    if (std::getline (in, line))
        csv.header = splitCsvLine (line);
    while (std::getline (in, line))
        csv.rows.push_back (splitCsvLine (line));
    return csv;
}

const std::vector<std::string> csvHeader { "slot", "host_position", "audio_time_s", "limited_true_peak_db",
                                           "gain_reduction_db", "threshold_db", "output_true_peak_db" };

//==============================================================================
class RenderToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                     .getNonexistentChildFile ("tarn-render-test", "", false);
        ASSERT_TRUE (folder.createDirectory());
    }

    void TearDown() override
    {
        if (std::getenv ("TARN_KEEP_TEST_FILES") == nullptr)
            folder.deleteRecursively();
    }

    juce::File file (const char* name) const { return folder.getChildFile (name); }
    std::string path (const char* name) const { return file (name).getFullPathName().toStdString(); }

    juce::File folder;
};

//==============================================================================
struct FileCase
{
    const char* name;
    double rate;
    int channels;
    int blockSize;
    const char* extension;
    int bits;
};

// The block sizes do not divide the files' lengths, so every render ends
// with a short block.
const FileCase fileCases[] = {
    { "Stereo48kWav24", 48000.0, 2, 512, ".wav", 24 },
    { "Mono44kWavFloat", 44100.0, 1, 1000, ".wav", 32 },
    { "Stereo44kAiff16", 44100.0, 2, 333, ".aiff", 16 },
    { "Mono48kAiff24", 48000.0, 1, 4096, ".aif", 24 },
};

void PrintTo (const FileCase& c, std::ostream* os) { *os << c.name; }

class RenderFileTest : public RenderToolTest, public ::testing::WithParamInterface<FileCase>
{
};

// Quiet first, loud after: the quiet part comes out unchanged and in place
// (the latency is removed), the loud part stays under the threshold.
TEST_P (RenderFileTest, OutputLinesUpWithInputAndStaysUnderTheThreshold)
{
    const auto& param = GetParam();
    const double seconds = 3.05;
    const double quietSeconds = 1.5;
    const auto input = quietThenLoud (param.rate, param.channels, quietSeconds, seconds);
    const auto inName = std::string ("in") + param.extension;
    const auto outName = std::string ("out") + param.extension;
    writeAudio (file (inName.c_str()), input, param.rate, param.bits);
    ASSERT_NE ((int) input[0].size() % param.blockSize, 0);

    const auto run = runRender ({ "--threshold", "-1", "--block", std::to_string (param.blockSize), inName, outName }, folder);
    ASSERT_EQ (run.exitCode, 0) << describe (run);
    EXPECT_EQ (run.err, "");

    const auto output = readAudio (file (outName.c_str()));
    ASSERT_EQ (output.channels.size(), input.size());
    ASSERT_EQ (output.channels[0].size(), input[0].size());
    EXPECT_EQ (output.sampleRate, param.rate);
    EXPECT_EQ (output.bits, param.bits);

    // The input as the file holds it (quantised to its bit depth).
    const auto stored = readAudio (file (inName.c_str())).channels;

    // The quiet part, away from the limiter's lookahead before the loud part.
    const int start = (int) (0.05 * param.rate);
    const int end = (int) ((quietSeconds - 0.05) * param.rate);
    for (size_t c = 0; c < input.size(); ++c)
    {
        SCOPED_TRACE ("channel " + std::to_string (c));
        EXPECT_EQ (bestLag (stored[c], output.channels[c], start + 400, end - 400, 300), 0);

        float largest = 0.0f;
        for (int i = start; i < end; ++i)
            largest = std::max (largest, std::abs (output.channels[c][(size_t) i] - stored[c][(size_t) i]));
        EXPECT_LT (largest, 1.0e-3f); // -60 dB of a full-scale signal
    }

    // The loud part: the input's true peak is well over the threshold, the
    // output's is not, by the near-ideal reconstruction (0.02 dB allowed).
    // libebur128, the program's own meter, is not held to the threshold: on
    // limited dense material its interpolator reads a few tenths of a dB high.
    EXPECT_GT (tarn::test::gainToDb (tarn::test::independentTruePeak (stored, param.rate)), 0.5);
    EXPECT_LE (tarn::test::gainToDb (tarn::test::referenceTruePeak (output.channels, param.rate)), -1.0 + 0.02);
    const double meter = tarn::test::gainToDb (tarn::test::independentTruePeak (output.channels, param.rate));
    EXPECT_GT (tarn::test::samplePeak (output.channels), 0.6f); // limited, not silenced

    // The summary's output true peak is the same meter on the same samples
    // before they were written to the file.
    EXPECT_NEAR (summaryNumber (run.out, "output true peak"), meter, param.bits == 16 ? 0.02 : 0.011);
    // And its reconstructed peak agrees with the reference meter on the file.
    EXPECT_NEAR (summaryNumber (run.out, "reconstructed peak"),
                 tarn::test::gainToDb (tarn::test::referenceTruePeak (output.channels, param.rate)),
                 param.bits == 16 ? 0.02 : 0.011);
    EXPECT_GT (summaryNumber (run.out, "max gain reduction"), 1.0);
    EXPECT_GT (summaryNumber (run.out, "latency"), 0.0);
    EXPECT_NE (run.out.find ("block size          " + std::to_string (param.blockSize) + " samples"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P (Files, RenderFileTest, ::testing::ValuesIn (fileCases),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
// Two passes with different thresholds: the history is remetered, so it
// shows the second pass only, and the output is the second pass.
TEST_F (RenderToolTest, SecondPassRemetersTheHistory)
{
    const double rate = 48000.0;
    const double seconds = 2.5;
    const auto input = loudStereo (rate, seconds, 5);
    writeAudio (file ("loud.wav"), input, rate, 24);

    const auto run = runRender ({ "loud.wav", "limited.wav", "--threshold", "-1,-6", "--history", "history.csv" }, folder);
    ASSERT_EQ (run.exitCode, 0) << describe (run);
    EXPECT_NE (run.out.find ("passes              2 (thresholds -1.0, -6.0 dB)"), std::string::npos) << run.out;

    const auto output = readAudio (file ("limited.wav"));
    EXPECT_LE (tarn::test::gainToDb (tarn::test::referenceTruePeak (output.channels, rate)), -6.0 + 0.02);

    const auto csv = readCsv (file ("history.csv"));
    ASSERT_EQ (csv.header, csvHeader);
    const int latency = (int) summaryNumber (run.out, "latency");
    const int spu = 960; // host samples per 20 ms at 48 kHz

    // One row per slot from 0, every slot that holds part of the file
    // included, each at its host position and audio time.
    ASSERT_GE ((int) csv.rows.size(), (int) std::ceil ((seconds * rate + latency) / spu));
    int slotsInFile = 0;
    for (size_t i = 0; i < csv.rows.size(); ++i)
    {
        const auto& row = csv.rows[i];
        SCOPED_TRACE ("row " + std::to_string (i));
        ASSERT_EQ (row.size(), csvHeader.size());
        EXPECT_EQ (std::stoll (row[0]), (long long) i);
        const long long position = std::stoll (row[1]);
        EXPECT_EQ (position, (long long) (i + 1) * spu);
        EXPECT_NEAR (std::stod (row[2]), (double) (position - latency) / rate, 1.0e-6);

        // Slots that describe the file only (not its first or last, which
        // share their 20 ms with the silence around it).
        const double audioEnd = std::stod (row[2]);
        if (audioEnd - 0.02 < 0.0 || audioEnd > seconds)
            continue;
        ++slotsInFile;
        for (size_t column = 3; column < row.size(); ++column)
            ASSERT_FALSE (row[column].empty()) << csv.header[column];
        EXPECT_EQ (row[5], "-6.000");
        EXPECT_LE (std::stod (row[3]), -6.0 + 0.05);  // limited true peak
        EXPECT_GE (std::stod (row[4]), 0.0);          // gain reduction
        EXPECT_LE (std::stod (row[6]), -6.0 + 0.05);  // output true peak
    }
    EXPECT_GE (slotsInFile, (int) (seconds / 0.02) - 2);
}

//==============================================================================
// Options reach the processor by name: the gains scale a signal under the
// threshold, the maximizer raises loud material to its target.
TEST_F (RenderToolTest, ParametersReachTheProcessor)
{
    const double rate = 48000.0;
    const int length = (int) (1.5 * rate);
    writeAudio (file ("tone.wav"), { tarn::test::sine (1000.0, rate, length, 0.25) }, rate, 32);

    const auto gains = runRender ({ "tone.wav", "tone-out.wav", "--pre-gain", "-6", "--post-gain", "-2", "--release",
                                    "120", "--curve", "smooth" },
                                  folder);
    ASSERT_EQ (gains.exitCode, 0) << describe (gains);
    EXPECT_NE (gains.out.find ("threshold 0.0 dB, pre gain -6.0 dB, post gain -2.0 dB, release 120 ms, curve Smooth"),
               std::string::npos)
        << gains.out;
    const auto scaled = readAudio (file ("tone-out.wav"));
    const auto middle = slice (scaled.channels, length / 4, 3 * length / 4);
    EXPECT_NEAR (tarn::test::gainToDb (tarn::test::samplePeak (middle)), tarn::test::gainToDb (0.25) - 8.0, 0.05);

    const auto loud = loudStereo (rate, 1.5, 9);
    writeAudio (file ("loud.wav"), loud, rate, 24);
    const auto maximized = runRender ({ "loud.wav", "loud-out.wav", "--threshold", "-12", "--maximizer", "-2",
                                        "--release", "auto", "--reactivity", "2" },
                                      folder);
    ASSERT_EQ (maximized.exitCode, 0) << describe (maximized);
    EXPECT_NE (maximized.out.find ("maximizer on (target -2.0 dB), release auto, reactivity x2.00"), std::string::npos)
        << maximized.out;
    const auto raised = readAudio (file ("loud-out.wav"));
    const double truePeak = tarn::test::gainToDb (tarn::test::referenceTruePeak (raised.channels, rate));
    EXPECT_LE (truePeak, -2.0 + 0.02);
    EXPECT_GT (truePeak, -3.0); // raised from the -12 dB threshold towards the target
}

//==============================================================================
// A state saved by one run and loaded by the next brings back the recorded
// history (and the parameters): rendering a shorter file then remeters only
// its own stretch and leaves the rest of the loaded history as it was.
TEST_F (RenderToolTest, SavedStateKeepsTheHistory)
{
    const double rate = 48000.0;
    const auto loud = loudStereo (rate, 3.0, 21);
    writeAudio (file ("long.wav"), loud, rate, 24);
    const auto first = runRender ({ "long.wav", "long-out.wav", "--threshold", "-3", "--history", "first.csv",
                                    "--save-state", "session.state" },
                                  folder);
    ASSERT_EQ (first.exitCode, 0) << describe (first);
    ASSERT_GT (file ("session.state").getSize(), 0) << "the processor saved an empty state";

    const auto quiet = tarn::test::sine (300.0, rate, (int) (1.0 * rate), 0.1); // -20 dBFS
    writeAudio (file ("short.wav"), { quiet, quiet }, rate, 24);
    const auto second = runRender ({ "short.wav", "short-out.wav", "--load-state", "session.state", "--history", "second.csv" },
                                   folder);
    ASSERT_EQ (second.exitCode, 0) << describe (second);
    EXPECT_NE (second.out.find ("threshold -3.0 dB"), std::string::npos) << second.out;

    const auto before = readCsv (file ("first.csv"));
    const auto after = readCsv (file ("second.csv"));
    ASSERT_EQ (after.header, csvHeader);
    ASSERT_GE (after.rows.size(), before.rows.size());

    int kept = 0, remetered = 0;
    for (size_t i = 0; i < before.rows.size(); ++i)
    {
        SCOPED_TRACE ("row " + std::to_string (i));
        const double audioEnd = std::stod (after.rows[i][2]);
        if (audioEnd > 1.2) // beyond the short render and its padding
        {
            EXPECT_EQ (after.rows[i], before.rows[i]);
            ++kept;
        }
        else if (audioEnd > 0.1 && audioEnd < 0.9)
        {
            EXPECT_NEAR (std::stod (after.rows[i][3]), -20.0, 0.5);
            EXPECT_EQ (after.rows[i][5], "-3.000");
            ++remetered;
        }
    }
    EXPECT_GT (kept, 80);
    EXPECT_GT (remetered, 30);
}

//==============================================================================
// Without arguments the program renders its demo into ./tarn-render-demo.
TEST_F (RenderToolTest, DemoWithoutArgumentsWritesItsFiles)
{
    const auto run = runRender ({}, folder);
    ASSERT_EQ (run.exitCode, 0) << describe (run);

    const auto demo = folder.getChildFile ("tarn-render-demo");
    EXPECT_NE (run.out.find (demo.getFullPathName().toStdString()), std::string::npos) << run.out;

    const auto input = readAudio (demo.getChildFile ("demo-input.wav"));
    const auto output = readAudio (demo.getChildFile ("demo-output.wav"));
    ASSERT_FALSE (input.channels.empty());
    ASSERT_EQ (output.channels.size(), input.channels.size());
    EXPECT_EQ (output.channels[0].size(), input.channels[0].size());
    EXPECT_GT (tarn::test::gainToDb (tarn::test::independentTruePeak (input.channels, input.sampleRate)), 1.0);
    EXPECT_LE (tarn::test::gainToDb (tarn::test::referenceTruePeak (output.channels, output.sampleRate)), -1.0 + 0.02);

    const auto csv = readCsv (demo.getChildFile ("demo-history.csv"));
    EXPECT_EQ (csv.header, csvHeader);
    EXPECT_GE (csv.rows.size(), 1500u); // 30 s in 20 ms slots
    EXPECT_TRUE (demo.getChildFile ("demo-state.bin").existsAsFile());
}

//==============================================================================
struct ErrorCase
{
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;
};

const ErrorCase errorCases[] = {
    { "MissingFile", { "missing.wav", "out.wav" }, 1, "cannot open '*/missing.wav': no such file" },
    { "UnsupportedFormat", { "notes.txt", "out.wav" }, 1, "unsupported format (WAV and AIFF files are supported)" },
    { "Flac", { "song.flac", "out.wav" }, 1, "FLAC is not available in this build" },
    { "UnsupportedOutputFormat", { "in.wav", "out.mp3" }, 1, "unsupported format '.mp3' (use .wav, .aif or .aiff)" },
    { "TooManyChannels", { "six.wav", "out.wav" }, 1, "has 6 channels: only mono and stereo files are supported" },
    { "MissingStateFile", { "in.wav", "out.wav", "--load-state", "none.state" }, 1, "cannot open state file" },
    { "NotAStateFile", { "in.wav", "out.wav", "--load-state", "notes.txt" }, 1, "is not a saved Tarn Limiter 2 state" },
    { "ThresholdOutOfRange", { "--threshold", "5", "in.wav", "out.wav" }, 2, "--threshold: 5 is out of range (expected -60 to 0 dB)" },
    { "ThresholdListEntry", { "--threshold", "-1,x", "in.wav", "out.wav" }, 2, "--threshold: 'x' is not a number (expected -60 to 0 dB)" },
    { "ReleaseNotATime", { "--release", "fast", "in.wav", "out.wav" }, 2, "--release: 'fast' is neither 'auto' nor a time" },
    { "ReleaseOutOfRange", { "--release", "9000", "in.wav", "out.wav" }, 2, "--release: 9000 is out of range (expected 1 to 5000 ms)" },
    { "ReactivityOutOfRange", { "--reactivity", "0", "in.wav", "out.wav" }, 2, "--reactivity: 0 is out of range (expected 0.01 to 10)" },
    { "UnknownCurve", { "--curve", "Bouncy", "in.wav", "out.wav" }, 2, "expected one of Linear, Natural, Transparent, Smooth, Pumping" },
    { "MaximizerTarget", { "--maximizer", "3", "in.wav", "out.wav" }, 2, "--maximizer: 3 is out of range (expected -30 to 0 dB)" },
    { "PreGain", { "--pre-gain", "-21", "in.wav", "out.wav" }, 2, "--pre-gain: -21 is out of range (expected -20 to 20 dB)" },
    { "BlockSize", { "--block", "0", "in.wav", "out.wav" }, 2, "--block: 0 is out of range (expected 1 to 65536)" },
    { "UnknownOption", { "--frobnicate", "in.wav", "out.wav" }, 2, "unknown option --frobnicate" },
    { "MissingValue", { "in.wav", "out.wav", "--block" }, 2, "--block needs a value" },
    { "MissingInput", { "--threshold", "-1" }, 2, "missing input file" },
};

void PrintTo (const ErrorCase& c, std::ostream* os) { *os << c.name; }

class RenderErrorTest : public RenderToolTest, public ::testing::WithParamInterface<ErrorCase>
{
};

// One line on stderr naming the problem, nothing on stdout, a non-zero exit
// code and no output file.
TEST_P (RenderErrorTest, ReportsOneLineAndFails)
{
    const auto& param = GetParam();
    const double rate = 48000.0;
    writeAudio (file ("in.wav"), { tarn::test::sine (440.0, rate, 4800, 0.5) }, rate, 16);
    Channels six;
    for (int c = 0; c < 6; ++c)
        six.push_back (tarn::test::sine (440.0, rate, 4800, 0.5));
    writeAudio (file ("six.wav"), six, rate, 16);
    file ("notes.txt").replaceWithText ("not audio\n");
    file ("song.flac").replaceWithText ("fLaC and then nothing useful");

    const auto run = runRender (param.arguments, folder);
    EXPECT_EQ (run.exitCode, param.exitCode) << describe (run);
    EXPECT_EQ (run.out, "");
    ASSERT_FALSE (run.err.empty());
    EXPECT_EQ (std::count (run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ (run.err.rfind ("tarn-render: ", 0), 0u) << run.err;

    const std::string message = param.message;
    const auto star = message.find ('*');
    if (star == std::string::npos)
        EXPECT_NE (run.err.find (message), std::string::npos) << run.err;
    else
    {
        EXPECT_NE (run.err.find (message.substr (0, star)), std::string::npos) << run.err;
        EXPECT_NE (run.err.find (message.substr (star + 1)), std::string::npos) << run.err;
    }
    EXPECT_FALSE (file ("out.wav").exists());
}

INSTANTIATE_TEST_SUITE_P (Errors, RenderErrorTest, ::testing::ValuesIn (errorCases),
                          [] (const auto& info) { return std::string (info.param.name); });

} // namespace
