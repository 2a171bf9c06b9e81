#include "history/HistoryTruePeakBrickWallLimiter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

namespace tarn
{

HistoryTruePeakBrickWallLimiter::HistoryTruePeakBrickWallLimiter (int maxBlockSize, int numChannelsToUse,
                                                                  uint16_t /*meterWindowMs*/,
                                                                  uint64_t /*initialMaxPosition*/,
                                                                  float sampleRate,
                                                                  float lookaheadMsToUse,
                                                                  float averagingMsToUse)
    : BrickWallLimiter (maxBlockSize, numChannelsToUse, sampleRate, lookaheadMsToUse, averagingMsToUse),
      hostSampleRate (sampleRate),
      hostBlockSize (std::max (1, maxBlockSize)),
      lookaheadMs (lookaheadMsToUse),
      averagingMs (averagingMsToUse)
{
    const double hostRate = (double) sampleRate;
    const double oversampled = (double) factor * hostRate;
    const auto channels = (size_t) numChannels;

    for (size_t c = 0; c < channels; ++c)
    {
        upsamplers.push_back (std::make_unique<ResamplerChannel> (hostRate, oversampled, hostBlockSize));
        downsamplers.push_back (std::make_unique<ResamplerChannel> (oversampled, hostRate, maxOversampledBlock));
    }

    upsampledBuffers.assign (channels, std::vector<float> ((size_t) maxOversampledBlock));
    outputBuffers.assign (channels, std::vector<float> ((size_t) maxOversampledBlock));
    gainBuffers.assign (channels, std::vector<float> ((size_t) maxOversampledBlock));

    for (size_t c = 0; c < channels; ++c)
    {
        upsampledPointers.push_back (upsampledBuffers[c].data());
        outputPointers.push_back (outputBuffers[c].data());
        gainPointers.push_back (gainBuffers[c].data());
    }

    pieceChannels.resize (channels);

    // Each stage is stream-aligned and only withholds output while it
    // fills: the upsampler for upLatency host samples, the lookahead for
    // lookaheadDelay() oversampled samples, the downsampler until it has
    // downLatency oversampled samples beyond the one it outputs. Output j of
    // the downsampler is oversampled sample j * d, so the host sees
    //   upLatency + ceil ((lookaheadDelay + 1 + downLatency) / d) - 1
    // samples of delay in all.
    const int upLatency = upsamplers.back()->latency();
    const int downLatency = downsamplers.back()->latency();
    const int oversampledDelay = (int) lookaheadDelay() + 1 + downLatency;
    latency = upLatency + (oversampledDelay + factor - 1) / factor - 1;
}

HistoryTruePeakBrickWallLimiter::~HistoryTruePeakBrickWallLimiter() = default;

int HistoryTruePeakBrickWallLimiter::processBlock (int numSamples, float** channels)
{
    if (numSamples <= 0)
        return 0;

    if (numSamples <= hostBlockSize)
        return processPiece (numSamples, channels);

    // A block larger than prepared is processed in prepared-size pieces; the
    // valid output of each piece is packed behind that of the previous ones.
    int written = 0;

    for (int offset = 0; offset < numSamples; offset += hostBlockSize)
    {
        const int pieceLength = std::min (hostBlockSize, numSamples - offset);

        for (size_t c = 0; c < pieceChannels.size(); ++c)
            pieceChannels[c] = channels[c] + offset;

        const int produced = processPiece (pieceLength, pieceChannels.data());

        if (written != offset)
            for (size_t c = 0; c < pieceChannels.size(); ++c)
                std::copy_n (channels[c] + offset, produced, channels[c] + written);

        written += produced;
    }

    return written;
}

int HistoryTruePeakBrickWallLimiter::processPiece (int n, float** channels)
{
    const int currentWarmup = warmup.load (std::memory_order_relaxed);
    if (currentWarmup < latency)
        warmup.store (std::min (latency, currentWarmup + n), std::memory_order_relaxed);

    advanceRecordingPosition (n);

    // A non-finite host sample would ring through the upsampler's filter for
    // its whole length; it carries no signal, so it enters as silence.
    for (int c = 0; c < numChannels; ++c)
    {
        float* data = channels[c];
        for (int i = 0; i < n; ++i)
            data[i] = std::abs (data[i]) <= FLT_MAX ? data[i] : 0.0f;
    }

    int upsampled = 0;

    for (int c = 0; c < numChannels; ++c)
    {
        upsampled = upsamplers[(size_t) c]->process (channels[c], upsampledPointers[(size_t) c], n, maxOversampledBlock);

        if (upsampled > maxOversampledBlock)
            throw std::runtime_error ("Buffer overflow in UpsampledChannelDataBuffer happend");
    }

    const int limited = process (upsampled, upsampledPointers.data(), gainPointers.data(), outputPointers.data());

    recordLimitedAndOutput (limited);

    int written = numChannels > 0 ? 0 : n;

    for (int c = 0; c < numChannels; ++c)
    {
        written = downsamplers[(size_t) c]->process (outputPointers[(size_t) c], channels[c], limited, n);

        if (written > n)
            throw std::runtime_error ("Buffer overflow in channelData happend during downsampling limited signal");
    }

    recordGain (limited);

    return written;
}

void HistoryTruePeakBrickWallLimiter::reset()
{
    for (auto& resampler : upsamplers)
        resampler->clear();

    for (auto& resampler : downsamplers)
        resampler->clear();

    BrickWallLimiter::reset();
}

void HistoryTruePeakBrickWallLimiter::advanceRecordingPosition (int) noexcept {}
void HistoryTruePeakBrickWallLimiter::recordLimitedAndOutput (int) noexcept {}
void HistoryTruePeakBrickWallLimiter::recordGain (int) noexcept {}

} // namespace tarn
