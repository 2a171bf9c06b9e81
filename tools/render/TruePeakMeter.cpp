#include "TruePeakMeter.h"

#include "RenderOptions.h"

#include <cmath>
#include <limits>

namespace tarn::render
{
namespace
{
double toDb (double gain)
{
    return gain > 0.0 ? 20.0 * std::log10 (gain) : -std::numeric_limits<double>::infinity();
}
} // namespace

TruePeakMeter::TruePeakMeter (int numChannels, double sampleRate)
    : state (ebur128_init ((unsigned) numChannels, (unsigned long) sampleRate, EBUR128_MODE_TRUE_PEAK)),
      channels (numChannels)
{
    if (state == nullptr)
        throw RenderError (RenderError::processingError, "libebur128 cannot meter " + std::to_string (numChannels)
                                                             + " channel(s) at " + std::to_string ((long) sampleRate) + " Hz");
}

TruePeakMeter::~TruePeakMeter()
{
    ebur128_destroy (&state);
}

void TruePeakMeter::add (const juce::AudioBuffer<float>& buffer, int startSample, int numSamples)
{
    if (numSamples <= 0)
        return;

    interleaved.resize ((size_t) numSamples * (size_t) channels);
    for (int c = 0; c < channels; ++c)
    {
        const float* source = buffer.getReadPointer (c, startSample);
        for (int i = 0; i < numSamples; ++i)
            interleaved[(size_t) i * (size_t) channels + (size_t) c] = source[i];
    }
    ebur128_add_frames_float (state, interleaved.data(), (size_t) numSamples);
}

double TruePeakMeter::truePeakDb() const
{
    double largest = 0.0;
    for (int c = 0; c < channels; ++c)
    {
        double peak = 0.0;
        if (ebur128_true_peak (state, (unsigned) c, &peak) == EBUR128_SUCCESS)
            largest = std::max (largest, peak);
    }
    return toDb (largest);
}

double TruePeakMeter::samplePeakDb() const
{
    double largest = 0.0;
    for (int c = 0; c < channels; ++c)
    {
        double peak = 0.0;
        if (ebur128_sample_peak (state, (unsigned) c, &peak) == EBUR128_SUCCESS)
            largest = std::max (largest, peak);
    }
    return toDb (largest);
}

} // namespace tarn::render
