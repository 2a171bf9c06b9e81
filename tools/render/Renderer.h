#pragma once

#include "RenderOptions.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::render
{

// What a render did, for the summary.
struct RenderReport
{
    std::string inputPath, outputPath, historyPath, statePath;
    std::string inputFormat, outputFormat;
    double sampleRate = 0.0;
    int channels = 0;
    std::int64_t numSamples = 0;
    int blockSize = 0;
    int latency = 0;

    struct Pass
    {
        float thresholdDb;
    };
    std::vector<Pass> passes;

    // Settings of the last pass, as the parameters hold them (snapped to
    // their steps).
    float thresholdDb = 0.0f, preGainDb = 0.0f, postGainDb = 0.0f;
    bool autoRelease = true, maximizer = false;
    float releaseTimeMs = 0.0f, reactivity = 1.0f, maxTargetDb = 0.0f;
    std::string releaseCurve;

    double inputTruePeakDb = 0.0, inputSamplePeakDb = 0.0;
    double outputTruePeakDb = 0.0, outputSamplePeakDb = 0.0;
    double outputReconstructedPeakDb = 0.0;
    double maxGainReductionDb = 0.0;        // from the recorded history of the last pass

    struct Region
    {
        double startSeconds, endSeconds;    // in the input's time
    };
    std::vector<Region> overRegions;        // output above 0 dBFS, as the limiter recorded it

    std::size_t historyRows = 0;
    std::size_t stateBytes = 0;
    bool stateLoaded = false;
    bool historyComplete = true;

    double processingSeconds = 0.0;         // inside processBlock
    double wallSeconds = 0.0;               // the whole render, file I/O and metering included
    double renderedAudioSeconds = 0.0;      // all passes, padding included
};

// Runs the processor over the input file as the options ask, writes the
// output, the history and the state. Throws RenderError.
RenderReport render (const RenderOptions& options);

// Prints the summary to stdout.
void printReport (const RenderReport& report);

} // namespace tarn::render
