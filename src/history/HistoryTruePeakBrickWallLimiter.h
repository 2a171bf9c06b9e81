#pragma once

#include "engine/BrickWallLimiter.h"
#include "engine/ResamplerChannel.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarn
{

// The engine object the plug-in owns: the brick-wall limiter running at d
// times the host rate, with one upsampler and one downsampler per channel
// around it, so that peaks between the host's samples are limited too.
//
// processBlock works in place on the host's buffers and returns how many
// valid samples it left at the start of each channel: fewer than it was given
// only while the resamplers and the lookahead fill after construction or
// reset(), and exactly as many from then on. The shortfall adds up to
// latencySamples(), the delay a click sees from input to output.
class HistoryTruePeakBrickWallLimiter : public BrickWallLimiter
{
public:
    HistoryTruePeakBrickWallLimiter (int maxBlockSize, int numChannels, uint16_t meterWindowMs,
                                     uint64_t initialMaxPosition, float sampleRate,
                                     float lookaheadMs = 9.0f, float averagingMs = 4.0f);
    ~HistoryTruePeakBrickWallLimiter() override;

    int processBlock (int numSamples, float** channels);

    int latencySamples() const noexcept { return latency; }

    void reset() override;

    int getWarmup() const noexcept { return warmup.load (std::memory_order_relaxed); }
    float getHostSampleRate() const noexcept { return hostSampleRate; }
    int getHostBlockSize() const noexcept { return hostBlockSize; }
    float getLookaheadMs() const noexcept { return lookaheadMs; }
    float getAveragingMs() const noexcept { return averagingMs; }

    const ResamplerChannel& getUpsampler (int channel) const { return *upsamplers[(size_t) channel]; }
    const ResamplerChannel& getDownsampler (int channel) const { return *downsamplers[(size_t) channel]; }

    // The oversampled buffers of the last block: the limited signal before
    // post gain, the output after it and the applied gain.
    const float* getLimitedBuffer (int channel) const noexcept { return upsampledPointers[(size_t) channel]; }
    const float* getOutputBuffer (int channel) const noexcept { return outputPointers[(size_t) channel]; }
    const float* getGainBuffer (int channel) const noexcept { return gainPointers[(size_t) channel]; }

private:
    int processPiece (int numSamples, float** channels);

    // Recording hooks, called on the audio thread in this order per piece.
    void advanceRecordingPosition (int hostSamples) noexcept;
    void recordLimitedAndOutput (int oversampledSamples) noexcept;
    void recordGain (int oversampledSamples) noexcept;

    const float hostSampleRate;
    const int hostBlockSize;
    const float lookaheadMs;
    const float averagingMs;

    std::vector<std::unique_ptr<ResamplerChannel>> upsamplers;
    std::vector<std::unique_ptr<ResamplerChannel>> downsamplers;

    std::vector<std::vector<float>> upsampledBuffers;
    std::vector<std::vector<float>> outputBuffers;
    std::vector<std::vector<float>> gainBuffers;
    std::vector<float*> upsampledPointers;
    std::vector<float*> outputPointers;
    std::vector<float*> gainPointers;
    std::vector<float*> pieceChannels;

    std::atomic<int> warmup { 0 };
    int latency = 0;
};

} // namespace tarn
