#include "support/IndependentTruePeakMeter.h"

#include <ebur128.h>
#include <soxr.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace tarn::test
{

double independentTruePeak (const Channels& channels, double sampleRate, int skipSamples)
{
    if (channels.empty() || channels[0].size() <= (size_t) skipSamples)
        return 0.0;

    const auto numChannels = (unsigned) channels.size();
    const auto numFrames = channels[0].size() - (size_t) skipSamples;

    std::unique_ptr<ebur128_state, void (*) (ebur128_state*)> state (
        ebur128_init (numChannels, (unsigned long) (sampleRate + 0.5), EBUR128_MODE_TRUE_PEAK),
        [] (ebur128_state* s) { ebur128_destroy (&s); });

    if (state == nullptr)
        throw std::runtime_error ("libebur128 could not be initialised");

    std::vector<float> interleaved (numFrames * numChannels);
    for (size_t i = 0; i < numFrames; ++i)
        for (unsigned c = 0; c < numChannels; ++c)
            interleaved[i * numChannels + c] = channels[c][i + (size_t) skipSamples];

    if (ebur128_add_frames_float (state.get(), interleaved.data(), numFrames) != EBUR128_SUCCESS)
        throw std::runtime_error ("libebur128 rejected the frames");

    double peak = 0.0;
    for (unsigned c = 0; c < numChannels; ++c)
    {
        double channelPeak = 0.0;
        ebur128_true_peak (state.get(), c, &channelPeak);
        peak = std::max (peak, channelPeak);
    }

    return peak;
}

double referenceTruePeak (const Channels& channels, double rate)
{
    constexpr int oversampling = 32;
    constexpr size_t chunk = 4096;
    double peak = 0.0;

    for (const auto& samples : channels)
    {
        auto quality = soxr_quality_spec (SOXR_VHQ, SOXR_LINEAR_PHASE);
        quality.passband_end = 0.995;
        quality.stopband_begin = 1.0;
        const auto io = soxr_io_spec (SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_error_t error = nullptr;
        std::unique_ptr<soxr, void (*) (soxr_t)> resampler (
            soxr_create (rate, rate * oversampling, 1, &error, &io, &quality, nullptr), soxr_delete);
        if (error != nullptr)
            throw std::runtime_error (error);

        std::vector<float> out (chunk * oversampling * 2);
        auto scan = [&] (size_t produced)
        {
            for (size_t i = 0; i < produced; ++i)
                peak = std::max (peak, (double) std::abs (out[i]));
        };

        for (size_t offset = 0; offset <= samples.size(); offset += chunk)
        {
            const size_t n = std::min (chunk, samples.size() - offset);
            size_t done = 0;
            while (done < n)
            {
                size_t consumed = 0, produced = 0;
                soxr_process (resampler.get(), samples.data() + offset + done, n - done, &consumed,
                              out.data(), out.size(), &produced);
                done += consumed;
                scan (produced);
            }
        }

        // End of input: drain the filter.
        for (;;)
        {
            size_t produced = 0;
            soxr_process (resampler.get(), nullptr, 0, nullptr, out.data(), out.size(), &produced);
            if (produced == 0)
                break;
            scan (produced);
        }
    }

    return peak;
}

} // namespace tarn::test
