#include "support/TestSignals.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace tarn::test
{

std::vector<float> sine (double frequency, double sampleRate, int numSamples, double amplitude, double phaseRadians)
{
    std::vector<float> out ((size_t) numSamples);
    const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
    for (int i = 0; i < numSamples; ++i)
        out[(size_t) i] = (float) (amplitude * std::sin (w * i + phaseRadians));
    return out;
}

std::vector<float> square (double frequency, double sampleRate, int numSamples, double amplitude)
{
    std::vector<float> out ((size_t) numSamples);
    const double period = sampleRate / frequency;
    for (int i = 0; i < numSamples; ++i)
        out[(size_t) i] = (float) (std::fmod (i, period) < period / 2 ? amplitude : -amplitude);
    return out;
}

std::vector<float> denseMaterial (double sampleRate, int numSamples, uint32_t seed)
{
    std::mt19937 random (seed);
    std::uniform_real_distribution<double> uniform (-1.0, 1.0);
    std::uniform_real_distribution<double> phase (0.0, 2.0 * std::numbers::pi);

    const double tones[] = { 55.0, 110.3, 220.7, 331.0, 440.2, 881.0, 1762.5, 3525.0, 7040.0, 11000.0, 14080.0 };
    double phases[std::size (tones)];
    for (auto& p : phases)
        p = phase (random);

    std::vector<float> out ((size_t) numSamples);
    double noiseState = 0.0;
    double kick = 0.0, snare = 0.0;
    const auto beat = (int) (sampleRate * 0.25);

    for (int i = 0; i < numSamples; ++i)
    {
        const double t = i / sampleRate;
        double x = 0.0;

        for (size_t k = 0; k < std::size (tones); ++k)
            x += std::sin (2.0 * std::numbers::pi * tones[k] * t + phases[k]) / (1.0 + 0.3 * (double) k);

        // Bright noise, lightly high-passed.
        const double white = uniform (random);
        x += 0.6 * (white - noiseState);
        noiseState = white;

        // Transients on a quarter-second grid.
        if (i % beat == 0)
            (i / beat) % 2 == 0 ? kick = 2.5 : snare = 1.8;

        x += kick * std::sin (2.0 * std::numbers::pi * 60.0 * t) + snare * uniform (random);
        kick *= std::exp (-1.0 / (0.05 * sampleRate));
        snare *= std::exp (-1.0 / (0.03 * sampleRate));

        // Driven into a hard clip: loud, flat-topped, full of intersample peaks.
        out[(size_t) i] = (float) std::clamp (0.9 * x, -1.0, 1.0);
    }

    return out;
}

std::vector<float> toneCluster (double sampleRate, int numSamples, uint32_t seed, double peakAmplitude)
{
    std::mt19937 random (seed);
    std::uniform_real_distribution<double> phase (0.0, 2.0 * std::numbers::pi);
    const double tones[] = { 60.0, 155.0, 410.0, 930.0, 2210.0, 4470.0, 7930.0, 12000.0 };

    double phases[std::size (tones)], swells[std::size (tones)];
    for (size_t k = 0; k < std::size (tones); ++k)
    {
        phases[k] = phase (random);
        swells[k] = phase (random);
    }

    std::vector<double> mix ((size_t) numSamples);
    double largest = 1e-12;
    for (int i = 0; i < numSamples; ++i)
    {
        const double t = i / sampleRate;
        double x = 0.0;
        for (size_t k = 0; k < std::size (tones); ++k)
        {
            const double swell = 0.6 + 0.4 * std::sin (2.0 * std::numbers::pi * (0.7 + 0.3 * (double) k) * t + swells[k]);
            x += swell * std::sin (2.0 * std::numbers::pi * tones[k] * t + phases[k]);
        }
        mix[(size_t) i] = x;
        largest = std::max (largest, std::abs (x));
    }

    std::vector<float> out ((size_t) numSamples);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = (float) (mix[i] * peakAmplitude / largest);
    return out;
}

std::vector<float> quarterRateSine (double sampleRate, int numSamples, double amplitude)
{
    return sine (sampleRate / 4.0, sampleRate, numSamples, amplitude, std::numbers::pi / 4.0);
}

Channels stereo (std::vector<float> left, std::vector<float> right)
{
    Channels channels;
    channels.push_back (std::move (left));
    channels.push_back (std::move (right));
    return channels;
}

float samplePeak (const std::vector<float>& samples)
{
    float peak = 0.0f;
    for (auto x : samples)
        peak = std::max (peak, std::abs (x));
    return peak;
}

float samplePeak (const Channels& channels)
{
    float peak = 0.0f;
    for (auto& channel : channels)
        peak = std::max (peak, samplePeak (channel));
    return peak;
}

double gainToDb (double gain)
{
    return 20.0 * std::log10 (gain);
}

} // namespace tarn::test
