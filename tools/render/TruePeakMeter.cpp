#include "TruePeakMeter.h"

#include "RenderOptions.h"

#include <soxr.h>

#include <algorithm>
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

ReconstructionPeakMeter::ReconstructionPeakMeter (int numChannels, double sampleRate)
    : out (4096 * 32)
{
    auto quality = soxr_quality_spec (SOXR_VHQ, SOXR_LINEAR_PHASE);
    quality.passband_end = 0.995;
    quality.stopband_begin = 1.0;
    const auto io = soxr_io_spec (SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    for (int c = 0; c < numChannels; ++c)
    {
        soxr_error_t error = nullptr;
        auto* resampler = soxr_create (sampleRate, sampleRate * 32.0, 1, &error, &io, &quality, nullptr);
        if (error != nullptr)
        {
            for (auto* r : resamplers)
                soxr_delete ((soxr_t) r);
            throw RenderError (RenderError::processingError, std::string ("the reconstruction meter failed: ") + error);
        }
        resamplers.push_back (resampler);
    }
}

ReconstructionPeakMeter::~ReconstructionPeakMeter()
{
    for (auto* r : resamplers)
        soxr_delete ((soxr_t) r);
}

void ReconstructionPeakMeter::scan (std::size_t produced)
{
    for (std::size_t i = 0; i < produced; ++i)
        peak = std::max (peak, (double) std::abs (out[i]));
}

void ReconstructionPeakMeter::add (const juce::AudioBuffer<float>& buffer, int startSample, int numSamples)
{
    for (std::size_t c = 0; c < resamplers.size(); ++c)
    {
        const float* source = buffer.getReadPointer ((int) c, startSample);
        std::size_t done = 0;
        while (done < (std::size_t) numSamples)
        {
            std::size_t consumed = 0, produced = 0;
            soxr_process ((soxr_t) resamplers[c], source + done, (std::size_t) numSamples - done, &consumed,
                          out.data(), out.size(), &produced);
            done += consumed;
            scan (produced);
            if (consumed == 0 && produced == 0)
                break;
        }
    }
}

double ReconstructionPeakMeter::finishDb()
{
    for (auto* r : resamplers)
        for (;;)
        {
            std::size_t produced = 0;
            soxr_process ((soxr_t) r, nullptr, 0, nullptr, out.data(), out.size(), &produced);
            scan (produced);
            if (produced == 0)
                break;
        }
    return toDb (peak);
}

} // namespace tarn::render
