#pragma once

#include "engine/BlockCollector.h"
#include "engine/BrickWallLimiter.h"
#include "engine/ResamplerChannel.h"
#include "history/MeterWindows.h"
#include "history/OverRegions.h"
#include "history/SectorisedHistoryVector.h"

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace tarn
{

/** One 20 ms measurement: the host position at the end of its block and a dB value. */
struct HistoryPoint
{
    std::uint64_t position;
    float value;
};

/** The four recorded series; the first, second and fourth also have meter windows. */
enum class HistorySeries
{
    limitedLevel,
    gainReduction,
    threshold,
    outputLevel
};

// The engine object the plug-in owns: the brick-wall limiter running at d
// times the host rate, with one upsampler and one downsampler per channel
// around it, so that peaks between the host's samples are limited too.
//
// processBlock works in place on the host's buffers and returns how many
// valid samples it left at the start of each channel: fewer than it was given
// only while the resamplers and the lookahead fill after construction or
// reset(), and exactly as many from then on. The shortfall adds up to
// latencySamples(), the delay a click sees from input to output.
//
// Recording. Every 20 ms of host time (one slot of the series' grid: spu host
// samples, d * spu oversampled samples) three collectors measure the limited
// signal, the applied gain and the output, and queue one point per series and
// one per channel into lock-free rings, stamped with the host position at the
// end of the block. The position runs ahead of the audio it describes by the
// latency; readers subtract it. A worker thread (or runWorkerPass, for a
// limiter built without one) drains the rings every 20 ms into the series at
// the slot of each position, so replaying a passage overwrites its history:
// remetering. It also feeds the meter windows and the over-region list.
//
// Threads: processBlock, setTimelinePosition, startRecording, stopRecording
// and the setters belong to the audio thread, which neither allocates nor
// locks in them. The getters, the series, windows and over regions may be
// read from any thread. A worker failure (for example a position beyond the
// series' capacity) is kept by this limiter and raised by every later
// processBlock; other limiters are not affected.
class HistoryTruePeakBrickWallLimiter : public BrickWallLimiter
{
public:
    static constexpr std::size_t pointRingCapacity = 3000; // 60 s of points
    static constexpr float floorDb = -120.0f;

    enum class WorkerMode
    {
        ownThread, // a worker thread drains the rings every 20 ms
        manual     // nothing drains them but runWorkerPass (tests, offline use)
    };

    HistoryTruePeakBrickWallLimiter (int maxBlockSize, int numChannels, uint16_t meterWindowMs,
                                     uint64_t initialMaxPosition, float sampleRate,
                                     float lookaheadMs = 9.0f, float averagingMs = 4.0f,
                                     WorkerMode workerMode = WorkerMode::ownThread);

    // Stops the worker and returns only once it has ended.
    ~HistoryTruePeakBrickWallLimiter() override;

    // Raises the worker's stored error, if any, before processing anything.
    int processBlock (int numSamples, float** channels);

    // Recording control, audio thread. setTimelinePosition realigns the
    // measurement grid only when the position differs from the current one
    // (in steady playback processBlock has already advanced it to there).
    void setTimelinePosition (std::uint64_t position) noexcept;
    // Drops every point still queued, then records.
    void startRecording() noexcept;
    void stopRecording() noexcept;

    // Besides the base setter, notes the old threshold so that the block in
    // which the threshold changed records the higher of the two.
    void setThresholdDb (float dB) noexcept;

    // Message thread.
    void copyHistoryFrom (const HistoryTruePeakBrickWallLimiter& other);
    const SectorisedHistoryVector& getSeries (HistorySeries kind) const noexcept;
    SectorisedHistoryVector& getSeries (HistorySeries kind) noexcept;
    float windowPeak (HistorySeries kind) const;
    float channelWindowPeak (HistorySeries kind, int channel) const;
    std::vector<OverRegion> copyOverRegions() const { return overRegions.copy(); }
    // Appends regions read from a saved session (see OverRegions::append).
    void restoreOverRegions (const std::vector<OverRegion>& restored) { overRegions.append (restored); }

    std::uint64_t getMaxPosition() const noexcept { return maxPosition.load (std::memory_order_relaxed); }
    std::uint64_t getCurrentPosition() const noexcept { return currentPosition.load (std::memory_order_relaxed); }
    bool isRecording() const noexcept { return recording.load (std::memory_order_relaxed); }

    // One pass of the worker over the rings; for a limiter built with
    // WorkerMode::manual (does nothing otherwise). A failure is stored as the
    // worker's would be.
    void runWorkerPass();

    // Whether the worker failed; processBlock then raises its error.
    bool hasWorkerFailed() const noexcept { return workerFailed.load (std::memory_order_acquire); }

    // Called on the worker thread as it ends (tests observe the shutdown with it).
    void setWorkerFinishedCallback (std::function<void()> callback);

    // Host samples per 20 ms slot, and the collectors' block (d times that).
    std::uint64_t getSamplesPerSlot() const noexcept { return samplesPerSlot; }
    int getCollectorBlockSize() const noexcept { return limitedCollector.getBlockSize(); }
    std::size_t getMeterWindowCapacity() const noexcept { return limitedWindow.capacity(); }

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
    struct QueuedPoint
    {
        HistoryPoint point;
        std::uint32_t generation; // startRecording count when it was queued
        bool recorded;            // recording was on when it was measured
    };

    using PointRing = boost::lockfree::spsc_queue<QueuedPoint>;

    int processPiece (int numSamples, float** channels);

    void limitedBlock (int n, float** channels) noexcept;
    void gainBlock (int n, float** channels) noexcept;
    void outputBlock (int n, float** channels) noexcept;
    float levelPoints (int n, float** channels, std::uint64_t position, std::vector<std::unique_ptr<PointRing>>& perChannel) noexcept;
    void queue (PointRing& ring, std::uint64_t position, float value) noexcept;

    void workerLoop();
    void workerPass();
    void storeWorkerError (std::exception_ptr error) noexcept;
    std::uint64_t indexOf (const SectorisedHistoryVector& series, std::uint64_t position) const;
    bool isCurrent (const QueuedPoint& point) const noexcept;

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

    // Recording. The future comes first so that it is released last.
    std::future<void> worker;

    SectorisedHistoryVector limitedLevel, gainReduction, threshold, outputLevel;
    const std::uint64_t samplesPerSlot;
    OverRegions overRegions;

    BlockCollector limitedCollector, gainCollector, outputCollector;

    std::atomic<bool> thresholdChanged { false };
    double previousThresholdDb = 0.0;

    std::atomic<std::uint64_t> maxPosition;
    std::atomic<std::uint64_t> currentPosition { 0 };
    std::uint64_t limitedPosition = 0, gainPosition = 0, outputPosition = 0;

    PointRing limitedPoints, gainReductionPoints, thresholdPoints, outputPoints;
    std::vector<std::unique_ptr<PointRing>> limitedChannelPoints, gainReductionChannelPoints, outputChannelPoints;
    std::atomic<std::uint32_t> pointGeneration { 0 };

    MeterWindows limitedWindow, gainReductionWindow, outputWindow;
    MeterWindows limitedChannelWindows, gainReductionChannelWindows, outputChannelWindows;

    std::atomic<bool> running { true };
    std::atomic<bool> recording { true };
    const WorkerMode workerMode;

    std::exception_ptr storedError;
    std::atomic<bool> workerFailed { false };

    std::mutex wakeMutex;
    std::condition_variable wake;
    std::function<void()> workerFinished;
};

} // namespace tarn
