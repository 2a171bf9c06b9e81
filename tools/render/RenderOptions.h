#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::render
{

// A failure the program reports as one line on stderr, with its exit code:
// usageError for the command line, fileError for what it reads and writes,
// processingError for the processor.
struct RenderError : std::runtime_error
{
    static constexpr int usageError = 2;
    static constexpr int fileError = 1;
    static constexpr int processingError = 3;

    RenderError (int exitCodeToUse, const std::string& message)
        : std::runtime_error (message), exitCode (exitCodeToUse) {}

    const int exitCode;
};

// The processor's release curves, index 0 to 4 of "ReleaseCurve".
inline const std::vector<std::string> releaseCurveNames { "Linear", "Natural", "Transparent", "Smooth", "Pumping" };

// Everything the command line asks for. Parameters that were not given stay
// empty: the processor keeps its default or the value of a loaded state.
struct RenderOptions
{
    bool showHelp = false;
    bool demo = false;              // no arguments, or --demo
    std::string demoFolder;         // --demo DIR (default: ./tarn-render-demo)

    std::string inputFile;
    std::string outputFile;         // default: <input>-limited.<ext> beside the input

    // One threshold per pass; the last one repeats for further passes.
    std::vector<float> thresholds;
    std::optional<float> preGain;
    std::optional<float> postGain;
    std::optional<bool> autoRelease;
    std::optional<float> releaseTime;
    std::optional<float> reactivity;
    std::optional<int> releaseCurve;
    std::optional<bool> maximizer;
    std::optional<float> maxTarget;

    int passes = 0;                 // 0: as many as thresholds given, at least 1
    int blockSize = 512;
    std::optional<int> bitDepth;    // default: the input's

    std::string historyFile;        // --history FILE.csv
    std::string saveStateFile;      // --save-state FILE
    std::string loadStateFile;      // --load-state FILE

    bool progress = true;           // --no-progress

    int passCount() const;
    std::optional<float> thresholdForPass (int pass) const;
};

// Parses argv (without the program name). Throws RenderError (usageError)
// with one line naming the option for unknown options, missing or
// unparsable values and values outside the parameter's range.
RenderOptions parseOptions (const std::vector<std::string>& arguments);

std::string usageText();

} // namespace tarn::render
