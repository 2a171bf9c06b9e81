#pragma once

#include <cstdint>
#include <vector>

namespace tarn::test
{

using Channels = std::vector<std::vector<float>>;

std::vector<float> sine (double frequency, double sampleRate, int numSamples, double amplitude, double phaseRadians = 0.0);

// Naive square wave: every sample is +amplitude or -amplitude.
std::vector<float> square (double frequency, double sampleRate, int numSamples, double amplitude);

// Loud, dense programme material: a mix of detuned tones, noise and drum-like
// transients, driven into a hard clip at full scale so that it is loud and has
// intersample peaks well above its sample peak. Deterministic for a seed.
std::vector<float> denseMaterial (double sampleRate, int numSamples, uint32_t seed);

// Band-limited loud material for driving the limiter core directly at its
// oversampled rate: a cluster of tones from 60 Hz to 12 kHz with moving
// amplitudes, peaking near peakAmplitude. Its true peak is within a few
// hundredths of a dB of its sample peak at 176.4 kHz and above.
std::vector<float> toneCluster (double sampleRate, int numSamples, uint32_t seed, double peakAmplitude = 2.0);

// A sine at a quarter of the sample rate, sampled 45 degrees off its peaks:
// its true peak lies 3 dB above its sample peak.
std::vector<float> quarterRateSine (double sampleRate, int numSamples, double amplitude);

Channels stereo (std::vector<float> left, std::vector<float> right);

float samplePeak (const std::vector<float>& samples);
float samplePeak (const Channels& channels);
double gainToDb (double gain);

} // namespace tarn::test
