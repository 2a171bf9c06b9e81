// Runs the true-peak limiter engine over a built-in test signal (loud, clipped
// programme material full of intersample peaks) and prints what it did.
//
//   tarn-engine-demo [--rate HZ] [--threshold DB] [--pregain DB] [--seconds S]
//                    [--block N] [--channels 1|2]

#include "history/HistoryTruePeakBrickWallLimiter.h"
#include "support/IndependentTruePeakMeter.h"
#include "support/TestSignals.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
    struct Options
    {
        double sampleRate = 48000.0;
        double thresholdDb = -1.0;
        double preGainDb = 0.0;
        double seconds = 30.0;
        int blockSize = 512;
        int channels = 2;
    };

    [[noreturn]] void fail (const std::string& message)
    {
        std::fprintf (stderr, "tarn-engine-demo: %s\n", message.c_str());
        std::exit (2);
    }

    double parseNumber (const char* option, const char* text, double low, double high)
    {
        char* end = nullptr;
        const double value = std::strtod (text, &end);
        if (end == text || *end != '\0' || ! std::isfinite (value) || value < low || value > high)
            fail (std::string ("bad value for ") + option + ": '" + text + "' (expected " + std::to_string (low)
                  + " to " + std::to_string (high) + ")");
        return value;
    }

    Options parse (int argc, char** argv)
    {
        Options options;
        for (int i = 1; i < argc; ++i)
        {
            const std::string option = argv[i];
            if (option == "--help" || option == "-h")
            {
                std::printf ("usage: tarn-engine-demo [--rate HZ] [--threshold DB] [--pregain DB] [--seconds S] [--block N] [--channels 1|2]\n");
                std::exit (0);
            }
            if (i + 1 >= argc)
                fail ("missing value after " + option);
            const char* value = argv[++i];
            if (option == "--rate")
                options.sampleRate = parseNumber ("--rate", value, 8000.0, 384000.0);
            else if (option == "--threshold")
                options.thresholdDb = parseNumber ("--threshold", value, -60.0, 0.0);
            else if (option == "--pregain")
                options.preGainDb = parseNumber ("--pregain", value, -24.0, 24.0);
            else if (option == "--seconds")
                options.seconds = parseNumber ("--seconds", value, 0.1, 3600.0);
            else if (option == "--block")
                options.blockSize = (int) parseNumber ("--block", value, 1, 65536);
            else if (option == "--channels")
                options.channels = (int) parseNumber ("--channels", value, 1, 2);
            else
                fail ("unknown option " + option);
        }
        return options;
    }
}

int main (int argc, char** argv)
{
    const auto options = parse (argc, argv);
    const int numSamples = (int) (options.seconds * options.sampleRate);

    tarn::test::Channels input;
    for (int c = 0; c < options.channels; ++c)
        input.push_back (tarn::test::denseMaterial (options.sampleRate, numSamples, 1000u + (uint32_t) c));

    try
    {
        tarn::HistoryTruePeakBrickWallLimiter limiter (options.blockSize, options.channels, 50, 0,
                                                       (float) options.sampleRate);
        limiter.setThresholdImmediately (options.thresholdDb);
        limiter.setPreGainDb ((float) options.preGainDb);

        const int latency = limiter.latencySamples();
        tarn::test::Channels output ((size_t) options.channels);
        std::vector<std::vector<float>> block ((size_t) options.channels, std::vector<float> ((size_t) options.blockSize));
        std::vector<float*> pointers;
        for (auto& channel : block)
            pointers.push_back (channel.data());

        float minimumGain = 1.0f;
        double processingSeconds = 0.0;

        // Run the signal and then the latency's worth of silence to flush it.
        const int total = numSamples + latency;
        for (int offset = 0; offset < total; offset += options.blockSize)
        {
            const int n = std::min (options.blockSize, total - offset);
            for (int c = 0; c < options.channels; ++c)
                for (int i = 0; i < n; ++i)
                    block[(size_t) c][(size_t) i] = offset + i < numSamples ? input[(size_t) c][(size_t) (offset + i)] : 0.0f;

            const auto start = std::chrono::steady_clock::now();
            const int valid = limiter.processBlock (n, pointers.data());
            processingSeconds += std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();

            for (int c = 0; c < options.channels; ++c)
            {
                output[(size_t) c].insert (output[(size_t) c].end(), block[(size_t) c].begin(), block[(size_t) c].begin() + valid);
                const float* gains = limiter.getGainBuffer (c);
                for (int i = 0; i < valid * limiter.getFactor(); ++i)
                    minimumGain = std::min (minimumGain, gains[i]);
            }
        }

        const double inputSamplePeak = tarn::test::samplePeak (input);
        const double inputTruePeak = tarn::test::independentTruePeak (input, options.sampleRate);
        const double outputTruePeak = tarn::test::independentTruePeak (output, options.sampleRate);
        const double outputReference = tarn::test::referenceTruePeak (output, options.sampleRate);
        const double audioSeconds = (double) total / options.sampleRate;

        std::printf ("Tarn Limiter 2 engine, built-in test signal (clipped dense material)\n");
        std::printf ("  sample rate          %.0f Hz, %d channel(s), %d-sample blocks, oversampled x%d\n",
                     options.sampleRate, options.channels, options.blockSize, limiter.getFactor());
        std::printf ("  threshold            %.2f dB (pre gain %.2f dB)\n", options.thresholdDb, options.preGainDb);
        std::printf ("  input sample peak    %+.3f dBFS\n", tarn::test::gainToDb (inputSamplePeak));
        std::printf ("  input true peak      %+.3f dBTP\n", tarn::test::gainToDb (inputTruePeak));
        std::printf ("  output true peak     %+.3f dBTP (libebur128, BS.1770 meter)\n", tarn::test::gainToDb (outputTruePeak));
        std::printf ("                       %+.3f dBTP (near-ideal 32x reconstruction)\n", tarn::test::gainToDb (outputReference));
        std::printf ("  max gain reduction   %.2f dB\n", -tarn::test::gainToDb (minimumGain));
        std::printf ("  latency              %d samples (%.2f ms)\n", latency, 1000.0 * latency / options.sampleRate);
        std::printf ("  realtime factor      %.1fx (%.3f s of audio in %.3f s)\n", audioSeconds / processingSeconds,
                     audioSeconds, processingSeconds);
        return 0;
    }
    catch (const std::exception& e)
    {
        fail (e.what());
    }
}
