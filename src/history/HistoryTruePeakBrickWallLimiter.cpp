#include "history/HistoryTruePeakBrickWallLimiter.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tarn
{

namespace
{
    constexpr float minusInfinity = -std::numeric_limits<float>::infinity();

    // The series' own grid; at least one sample, so that a meaningless rate
    // cannot make an empty block.
    std::uint64_t slotSamplesOf (const HistoryVector& series)
    {
        return std::max<std::uint64_t> (1, series.getSamplesPerUpdate());
    }

    std::size_t windowCapacityFor (uint16_t meterWindowMs)
    {
        return ((std::size_t) meterWindowMs + 19) / 20;
    }
}

HistoryTruePeakBrickWallLimiter::HistoryTruePeakBrickWallLimiter (int maxBlockSize, int numChannelsToUse,
                                                                  uint16_t meterWindowMs,
                                                                  uint64_t initialMaxPosition,
                                                                  float sampleRate,
                                                                  float lookaheadMsToUse,
                                                                  float averagingMsToUse,
                                                                  WorkerMode workerModeToUse)
    : BrickWallLimiter (maxBlockSize, numChannelsToUse, sampleRate, lookaheadMsToUse, averagingMsToUse),
      hostSampleRate (sampleRate),
      hostBlockSize (std::max (1, maxBlockSize)),
      lookaheadMs (lookaheadMsToUse),
      averagingMs (averagingMsToUse),
      limitedLevel (sampleRate),
      gainReduction (sampleRate),
      threshold (sampleRate),
      outputLevel (sampleRate),
      samplesPerSlot (slotSamplesOf (limitedLevel)),
      // Output points of consecutive slots are one slot apart.
      overRegions (samplesPerSlot),
      // One slot of oversampled signal per block, so that every block ends on
      // the series' grid at any rate.
      limitedCollector ((int) ((std::uint64_t) factor * samplesPerSlot), numChannels),
      gainCollector ((int) ((std::uint64_t) factor * samplesPerSlot), numChannels),
      outputCollector ((int) ((std::uint64_t) factor * samplesPerSlot), numChannels),
      maxPosition (initialMaxPosition),
      limitedPoints (pointRingCapacity),
      gainReductionPoints (pointRingCapacity),
      thresholdPoints (pointRingCapacity),
      outputPoints (pointRingCapacity),
      limitedWindow (1, windowCapacityFor (meterWindowMs)),
      gainReductionWindow (1, windowCapacityFor (meterWindowMs)),
      outputWindow (1, windowCapacityFor (meterWindowMs)),
      limitedChannelWindows ((std::size_t) numChannels, windowCapacityFor (meterWindowMs)),
      gainReductionChannelWindows ((std::size_t) numChannels, windowCapacityFor (meterWindowMs)),
      outputChannelWindows ((std::size_t) numChannels, windowCapacityFor (meterWindowMs)),
      workerMode (workerModeToUse)
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

    for (size_t c = 0; c < channels; ++c)
    {
        limitedChannelPoints.push_back (std::make_unique<PointRing> (pointRingCapacity * channels));
        gainReductionChannelPoints.push_back (std::make_unique<PointRing> (pointRingCapacity * channels));
        outputChannelPoints.push_back (std::make_unique<PointRing> (pointRingCapacity * channels));
    }

    limitedCollector.addCallback ([this] (int n, float** data) { limitedBlock (n, data); });
    gainCollector.addCallback ([this] (int n, float** data) { gainBlock (n, data); });
    outputCollector.addCallback ([this] (int n, float** data) { outputBlock (n, data); });

    // Last, once everything the worker touches exists.
    if (workerMode == WorkerMode::ownThread)
        worker = std::async (std::launch::async, [this] { workerLoop(); });
}

HistoryTruePeakBrickWallLimiter::~HistoryTruePeakBrickWallLimiter()
{
    {
        std::lock_guard<std::mutex> lock (wakeMutex);
        running.exchange (false);
    }

    wake.notify_all();

    if (worker.valid())
        worker.wait();
}

int HistoryTruePeakBrickWallLimiter::processBlock (int numSamples, float** channels)
{
    if (workerFailed.load (std::memory_order_acquire))
        std::rethrow_exception (storedError);

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

//==============================================================================
// Recording, audio thread.

void HistoryTruePeakBrickWallLimiter::advanceRecordingPosition (int hostSamples) noexcept
{
    if (! recording.load (std::memory_order_relaxed))
        return;

    const std::uint64_t position = currentPosition.load (std::memory_order_relaxed) + (std::uint64_t) hostSamples;
    currentPosition.store (position, std::memory_order_relaxed);

    if (position > maxPosition.load (std::memory_order_relaxed))
        maxPosition.store (position, std::memory_order_relaxed);
}

void HistoryTruePeakBrickWallLimiter::recordLimitedAndOutput (int oversampledSamples) noexcept
{
    limitedCollector.push (oversampledSamples, upsampledPointers.data());
    outputCollector.push (oversampledSamples, outputPointers.data());
}

void HistoryTruePeakBrickWallLimiter::recordGain (int oversampledSamples) noexcept
{
    gainCollector.push (oversampledSamples, gainPointers.data());
}

void HistoryTruePeakBrickWallLimiter::setTimelinePosition (std::uint64_t position) noexcept
{
    if (position == currentPosition.load (std::memory_order_relaxed))
        return;

    // All three collectors share one block size, so one skip lines them all
    // up with the next slot boundary of the host's timeline.
    const auto blockSize = (std::uint64_t) limitedCollector.getBlockSize();
    const std::uint64_t p = (std::uint64_t) factor * position;
    const std::uint64_t remainder = p % blockSize;
    const std::uint64_t skip = remainder == 0 ? 0 : blockSize - remainder;

    currentPosition.store (position, std::memory_order_relaxed);
    if (position > maxPosition.load (std::memory_order_relaxed))
        maxPosition.store (position, std::memory_order_relaxed);

    limitedPosition = gainPosition = outputPosition = p + skip;

    for (auto* collector : { &limitedCollector, &gainCollector, &outputCollector })
    {
        collector->restartBlock();
        collector->setSkip ((int) skip);
    }
}

void HistoryTruePeakBrickWallLimiter::startRecording() noexcept
{
    warmup.store (0, std::memory_order_relaxed);
    // The worker drops every point of an earlier generation: that empties the
    // rings without this thread consuming from them.
    pointGeneration.fetch_add (1, std::memory_order_release);
    recording.store (true, std::memory_order_relaxed);
}

void HistoryTruePeakBrickWallLimiter::stopRecording() noexcept
{
    warmup.store (0, std::memory_order_relaxed);
    recording.store (false, std::memory_order_relaxed);
}

void HistoryTruePeakBrickWallLimiter::setThresholdDb (float dB) noexcept
{
    const double current = getThresholdDb();

    if ((double) dB != current && ! thresholdChanged.load (std::memory_order_relaxed))
    {
        previousThresholdDb = current;
        thresholdChanged.store (true, std::memory_order_relaxed);
    }

    BrickWallLimiter::setThresholdDb (dB);
}

void HistoryTruePeakBrickWallLimiter::queue (PointRing& ring, std::uint64_t position, float value) noexcept
{
    // A full ring drops the point.
    ring.push (QueuedPoint { { position, value },
                             pointGeneration.load (std::memory_order_relaxed),
                             recording.load (std::memory_order_relaxed) });
}

// Queues the peak level of every channel and returns the loudest, in dB.
float HistoryTruePeakBrickWallLimiter::levelPoints (int n, float** data, std::uint64_t position,
                                                    std::vector<std::unique_ptr<PointRing>>& perChannel) noexcept
{
    float overall = minusInfinity;

    for (int c = 0; c < numChannels; ++c)
    {
        const float* x = data[c];
        float peak = 0.0f;

        for (int i = 0; i < n; ++i)
        {
            const float a = std::abs (x[i]);
            peak = a > peak ? a : peak; // NaN never wins
        }

        const float value = 20.0f * std::log10 (peak);
        queue (*perChannel[(size_t) c], position, value);
        overall = std::max (overall, value);
    }

    return overall < floorDb ? minusInfinity : overall;
}

void HistoryTruePeakBrickWallLimiter::limitedBlock (int n, float** data) noexcept
{
    if (recording.load (std::memory_order_relaxed))
        limitedPosition += (std::uint64_t) n;

    const std::uint64_t position = limitedPosition / (std::uint64_t) factor;
    queue (limitedPoints, position, levelPoints (n, data, position, limitedChannelPoints));

    auto t = (float) getThresholdDb();
    if (thresholdChanged.exchange (false, std::memory_order_relaxed))
        t = std::max (t, (float) previousThresholdDb);

    queue (thresholdPoints, position, t);
}

void HistoryTruePeakBrickWallLimiter::gainBlock (int n, float** data) noexcept
{
    if (recording.load (std::memory_order_relaxed))
        gainPosition += (std::uint64_t) n;

    const std::uint64_t position = gainPosition / (std::uint64_t) factor;
    float overall = minusInfinity;

    for (int c = 0; c < numChannels; ++c)
    {
        const float* g = data[c];
        float smallest = 1.0f;

        for (int i = 0; i < n; ++i)
        {
            const float a = std::abs (g[i]);
            smallest = a < smallest ? a : smallest;
        }

        const float value = std::abs (20.0f * std::log10 (smallest));
        queue (*gainReductionChannelPoints[(size_t) c], position, value);
        overall = std::max (overall, value);
    }

    queue (gainReductionPoints, position, overall);
}

void HistoryTruePeakBrickWallLimiter::outputBlock (int n, float** data) noexcept
{
    if (recording.load (std::memory_order_relaxed))
        outputPosition += (std::uint64_t) n;

    const std::uint64_t position = outputPosition / (std::uint64_t) factor;
    queue (outputPoints, position, levelPoints (n, data, position, outputChannelPoints));
}

//==============================================================================
// Worker.

void HistoryTruePeakBrickWallLimiter::workerLoop()
{
    while (running.load (std::memory_order_acquire))
    {
        try
        {
            workerPass();
        }
        catch (...)
        {
            storeWorkerError (std::current_exception());
            break;
        }

        std::unique_lock<std::mutex> lock (wakeMutex);
        wake.wait_for (lock, std::chrono::milliseconds (20), [this] { return ! running.load (std::memory_order_acquire); });
    }

    std::function<void()> finished;
    {
        std::lock_guard<std::mutex> lock (wakeMutex);
        finished = workerFinished;
    }

    if (finished)
        finished();
}

void HistoryTruePeakBrickWallLimiter::runWorkerPass()
{
    if (workerMode != WorkerMode::manual || hasWorkerFailed())
        return;

    try
    {
        workerPass();
    }
    catch (...)
    {
        storeWorkerError (std::current_exception());
    }
}

void HistoryTruePeakBrickWallLimiter::setWorkerFinishedCallback (std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock (wakeMutex);
    workerFinished = std::move (callback);
}

void HistoryTruePeakBrickWallLimiter::storeWorkerError (std::exception_ptr error) noexcept
{
    storedError = std::move (error);
    workerFailed.store (true, std::memory_order_release);
}

bool HistoryTruePeakBrickWallLimiter::isCurrent (const QueuedPoint& point) const noexcept
{
    // Popping synchronises with the push, which came after any startRecording
    // that preceded it, so a point can only be older than the generation read here.
    return point.generation == pointGeneration.load (std::memory_order_acquire);
}

std::uint64_t HistoryTruePeakBrickWallLimiter::indexOf (const SectorisedHistoryVector& series, std::uint64_t p) const
{
    const auto spu = std::max<std::uint64_t> (1, series.getSamplesPerUpdate());
    const auto k = (std::uint64_t) series.getSlotsPerUpdate();
    const std::uint64_t remainder = p % spu;
    const std::uint64_t q = p / spu;

    if (remainder > k)
        throw std::runtime_error ("Sample position doesn't fall onto updateRateMs boundary, please use aligned sample position");

    return p < spu ? remainder : remainder + k * (q - 1);
}

void HistoryTruePeakBrickWallLimiter::workerPass()
{
    QueuedPoint q {};

    while (limitedPoints.pop (q))
        if (isCurrent (q))
        {
            if (q.recorded)
                limitedLevel.set (indexOf (limitedLevel, q.point.position), q.point.value);
            limitedWindow.push (0, q.point.value);
        }

    while (gainReductionPoints.pop (q))
        if (isCurrent (q))
        {
            if (q.recorded)
                gainReduction.set (indexOf (gainReduction, q.point.position), q.point.value);
            gainReductionWindow.push (0, q.point.value);
        }

    // Threshold changes made while the host is stopped overwrite the slot of
    // the position it stopped at.
    while (thresholdPoints.pop (q))
        if (isCurrent (q))
            threshold.set (indexOf (threshold, q.point.position), q.point.value);

    while (outputPoints.pop (q))
        if (isCurrent (q))
        {
            if (q.recorded)
            {
                outputLevel.set (indexOf (outputLevel, q.point.position), q.point.value);
                overRegions.update (q.point.position, q.point.value);
            }
            outputWindow.push (0, q.point.value);
        }

    for (size_t c = 0; c < limitedChannelPoints.size(); ++c)
    {
        while (limitedChannelPoints[c]->pop (q))
            if (isCurrent (q))
                limitedChannelWindows.push (c, q.point.value);

        while (gainReductionChannelPoints[c]->pop (q))
            if (isCurrent (q))
                gainReductionChannelWindows.push (c, q.point.value);

        while (outputChannelPoints[c]->pop (q))
            if (isCurrent (q))
                outputChannelWindows.push (c, q.point.value);
    }
}

//==============================================================================
// Readers.

void HistoryTruePeakBrickWallLimiter::copyHistoryFrom (const HistoryTruePeakBrickWallLimiter& other)
{
    for (auto kind : { HistorySeries::limitedLevel, HistorySeries::gainReduction, HistorySeries::threshold, HistorySeries::outputLevel })
        getSeries (kind).copyFrom (other.getSeries (kind));
}

const SectorisedHistoryVector& HistoryTruePeakBrickWallLimiter::getSeries (HistorySeries kind) const noexcept
{
    switch (kind)
    {
        case HistorySeries::limitedLevel:  return limitedLevel;
        case HistorySeries::gainReduction: return gainReduction;
        case HistorySeries::threshold:     return threshold;
        case HistorySeries::outputLevel:   break;
    }

    return outputLevel;
}

SectorisedHistoryVector& HistoryTruePeakBrickWallLimiter::getSeries (HistorySeries kind) noexcept
{
    return const_cast<SectorisedHistoryVector&> (std::as_const (*this).getSeries (kind));
}

float HistoryTruePeakBrickWallLimiter::windowPeak (HistorySeries kind) const
{
    switch (kind)
    {
        case HistorySeries::limitedLevel:  return limitedWindow.peak (0);
        case HistorySeries::gainReduction: return gainReductionWindow.peak (0);
        case HistorySeries::outputLevel:   return outputWindow.peak (0);
        case HistorySeries::threshold:     break;
    }

    return minusInfinity;
}

float HistoryTruePeakBrickWallLimiter::channelWindowPeak (HistorySeries kind, int channel) const
{
    if (channel < 0)
        return minusInfinity;

    switch (kind)
    {
        case HistorySeries::limitedLevel:  return limitedChannelWindows.peak ((size_t) channel);
        case HistorySeries::gainReduction: return gainReductionChannelWindows.peak ((size_t) channel);
        case HistorySeries::outputLevel:   return outputChannelWindows.peak ((size_t) channel);
        case HistorySeries::threshold:     break;
    }

    return minusInfinity;
}

} // namespace tarn
