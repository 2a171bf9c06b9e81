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

} // namespace tarn::render
