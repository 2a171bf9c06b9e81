#include "support/IndependentTruePeakMeter.h"

#include <ebur128.h>

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

} // namespace tarn::test
