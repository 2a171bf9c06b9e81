#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <ebur128.h>

#include <memory>
#include <vector>

namespace tarn::render
{

// Sample peak and true peak of a stream, measured by libebur128 (the ITU-R
// BS.1770 meter: 4x oversampling below 96 kHz, 2x below 192 kHz), which
// shares no code with the limiter's own oversampling.
class TruePeakMeter
{
public:
    TruePeakMeter (int numChannels, double sampleRate);
    ~TruePeakMeter();

    TruePeakMeter (const TruePeakMeter&) = delete;
    TruePeakMeter& operator= (const TruePeakMeter&) = delete;

    // Adds numSamples samples of every channel of buffer from startSample on.
    void add (const juce::AudioBuffer<float>& buffer, int startSample, int numSamples);

    // The largest value over all channels, in dBFS (-inf for silence).
    double truePeakDb() const;
    double samplePeakDb() const;

private:
    ebur128_state* state = nullptr;
    const int channels;
    std::vector<float> interleaved;
};

// Peak of the reconstructed signal: each channel resampled 32 times by
// libsoxr at its very-high-quality setting (flat to 0.995 of Nyquist,
// stopping at Nyquist), as close to the continuous waveform as a meter gets.
// libebur128's short interpolator reads a few tenths of a dB high on limited
// dense material; this one does not.
class ReconstructionPeakMeter
{
public:
    ReconstructionPeakMeter (int numChannels, double sampleRate);
    ~ReconstructionPeakMeter();

    ReconstructionPeakMeter (const ReconstructionPeakMeter&) = delete;
    ReconstructionPeakMeter& operator= (const ReconstructionPeakMeter&) = delete;

    void add (const juce::AudioBuffer<float>& buffer, int startSample, int numSamples);

    // Drains the filters and returns the largest value over all channels, in dBFS.
    double finishDb();

private:
    void scan (std::size_t produced);

    std::vector<void*> resamplers; // soxr_t, one per channel
    std::vector<float> out;
    double peak = 0.0;
};

} // namespace tarn::render
