#pragma once

#include "engine/AveragedMaxEnvelope.h"
#include "engine/BlockCollector.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace tarn
{

// Release curve indices, in the order of the release-curve parameter.
enum class ReleaseCurve : int
{
    linear = 0,
    natural = 1,
    transparent = 2,
    smooth = 3,
    pumping = 4
};

// The limiting core, running on the oversampled signal. Per sample it applies
// the input gain, takes the channel peak as sidechain, shapes it with the
// release stage, follows it with the peak envelope and multiplies the audio,
// delayed by the envelope's window, by min (1, threshold / envelope). The
// limiter aims 0.05 dB below the threshold; 0.1 dB at two times oversampling
// or less (88.2 kHz and up), where the between-sample estimate is coarser and
// the host-rate true peak of dense material came out up to 0.03 dB over the
// threshold with the smaller margin.
//
// Parameter setters are called on the audio thread before each process call;
// gain and threshold changes ramp linearly (in amplitude) across the next
// block and end exactly on their targets.
class BrickWallLimiter
{
public:
    static constexpr double targetMarginDb = 0.05;
    static constexpr double lowFactorTargetMarginDb = 0.1;
    static constexpr double transparentEnd = 2.0307421;

    BrickWallLimiter (int maxBlockSize, int numChannels, float sampleRate,
                      float lookaheadMs = 9.0f, float averagingMs = 4.0f);
    virtual ~BrickWallLimiter();

    BrickWallLimiter (const BrickWallLimiter&) = delete;
    BrickWallLimiter& operator= (const BrickWallLimiter&) = delete;

    // numSamples oversampled samples per channel, at most
    // getMaxOversampledBlock(). io holds the input and receives the limited
    // signal before post gain; gain receives the applied gain; out the final
    // output. Returns the number of valid samples at the start of each
    // output array: fewer than numSamples only while the lookahead fills.
    virtual int process (int numSamples, float** io, float** gain, float** out);
    virtual int processSamples (int numSamples, float** io, float** gain, float** out);
    virtual void reset();

    // Parameter hand-off.
    void setAutoRelease (bool shouldBeAuto) noexcept { release.autoRelease.store (shouldBeAuto); }
    void setReleaseTimeMs (int ms) noexcept;
    void setReactivity (float reactivity) noexcept { release.reactivity.store (reactivity); }
    void setMaximizer (bool shouldMaximize) noexcept { maximizer.store (shouldMaximize); }
    void setMaxTargetDb (float dB) noexcept;
    void setReleaseCurve (int curve) noexcept;
    void setPreGainDb (float dB) noexcept;
    void setThresholdDb (float dB) noexcept;
    void setPostGainDb (float dB) noexcept;
    void setThresholdImmediately (double dB) noexcept;

    // The factor d: the smallest of 1 to 6 that takes the rate to at least
    // 192 kHz, and 8 below that.
    static int oversamplingFactorFor (float sampleRate) noexcept;

    // The curve's shape f(t), 1 at the start and 0 at its end, and that end.
    static double curveShape (int curve, double t) noexcept;
    static double curveEnd (int curve) noexcept;
    template <int Curve>
    static double shapeAt (double t) noexcept;

    uint32_t windowLength() const noexcept { return envelope.windowLength(); }

    // Oversampled samples between a sample entering process() and leaving it:
    // the envelope's window, less one, plus the look-ahead of the
    // between-sample peak estimate.
    uint32_t lookaheadDelay() const noexcept { return envelope.windowLength() - 1 + (uint32_t) estimatorLag; }

    // Between-sample peaks of the oversampled signal are estimated with short
    // windowed-sinc interpolators at estimatorPhases() points between every
    // two samples; the detector takes the largest of them.
    static constexpr int estimatorTaps = 8;
    static constexpr int estimatorLag = estimatorTaps / 2;
    int estimatorPhases() const noexcept { return numEstimatorPhases; }
    int getFactor() const noexcept { return factor; }
    float getOversampledRate() const noexcept { return oversampledRate; }
    int getMaxOversampledBlock() const noexcept { return maxOversampledBlock; }
    int getNumChannels() const noexcept { return numChannels; }

    double getThresholdDb() const noexcept { return thresholdDb.load (std::memory_order_relaxed); }
    double getPreGainDb() const noexcept { return preGainDb.load (std::memory_order_relaxed); }
    double getPostGainDb() const noexcept { return postGainDb.load (std::memory_order_relaxed); }
    int64_t getReleaseSamples() const noexcept { return release.releaseSamples.load (std::memory_order_relaxed); }
    float getMaxTargetLinear() const noexcept { return maxTargetLinear.load (std::memory_order_relaxed); }
    int getReleaseCurve() const noexcept { return release.curve.load (std::memory_order_relaxed); }
    bool isLoudnessUnknown() const noexcept { return loudnessUnknown; }
    float getLoudnessDb() const noexcept { return loudnessDb; }
    float getSmoothedPeriod() const noexcept { return smoothedPeriod; }
    int getLevelFactor() const noexcept { return levelFactor; }
    float getReleaseLevel() const noexcept { return release.level; }

    const AveragedMaxEnvelope& getEnvelope() const noexcept { return envelope; }

    void measureLoudness (int numSamples, float** channels) noexcept;

    // The auto release's level factor m for a sidechain amplitude, from the
    // last loudness measurement.
    int levelFactorFor (float a) const noexcept
    {
        if (levelStepsValid)
        {
            // The count of steps the amplitude stays under is about
            // 1000 log10 (a) / L. A coarse log2 from the float's exponent and
            // a table over its top mantissa bits lands within one step of
            // it; three comparisons against the exact steps around that
            // guess then give the count without data-dependent branches.
            // Should the guess miss (a loudness within a few tenths of a dB
            // of zero packs the steps too densely), a binary search decides.
            uint32_t bits;
            std::memcpy (&bits, &a, sizeof (bits));
            const float log2a = (float) ((int) (bits >> 23) - 127) + log2Mantissa[(bits >> 15) & 255u];
            // |log2a| < 150 and |levelScale| < 1e7, so the guess fits an int;
            // clamping it as an int keeps the compiler from branching.
            const int guess = (int) (log2a * levelScale);
            const int base = std::min (std::max (guess - 1, 0), 49);
            const float* const bounds = levelBounds + base;

            if (a <= bounds[0] && a > bounds[3]) [[likely]]
                return base + (int) (a <= bounds[1]) + (int) (a <= bounds[2]);

            int low = 0, high = 50;
            while (low < high)
            {
                const int middle = (low + high) >> 1;
                if (a <= levelSteps[middle])
                    low = middle + 1;
                else
                    high = middle;
            }
            return low > 1 ? low : 1;
        }

        const float q = std::min (1.0f, 20.0f * std::log10 (a) / loudnessDb);
        return q > 0.0f ? (int) std::max (1.0f, 50.0f * q) : 1;
    }

    // The per-sample loop, made for a channel count (0: any), release mode
    // and curve. Public only so that a table of its versions can be built.
    struct BlockValues
    {
        int n;
        float** io;
        float** gain;
        float** out;
        double thr, thrStep, p, pStep, ceiling, lastP;
        bool maximize;
    };
    template <int Channels, bool AutoRelease, int Curve>
    int runSamples (BlockValues& values) noexcept;
    template <int Channels>
    int writeOutput (BlockValues& values, double firstThr) noexcept;
    void runDetector (int n) noexcept;
    using Loop = int (BrickWallLimiter::*) (BlockValues&) noexcept;

protected:
    struct ReleaseState
    {
        std::atomic<float> reactivity { 1.0f };
        std::atomic<bool> autoRelease { true };
        float level;
        int64_t elapsed = 0;
        bool newPeak = true;
        double excess = 0.0;
        float floor = 1.0f;
        std::atomic<int64_t> releaseSamples { 0 };
        int64_t appliedReleaseSamples = 0;
        std::atomic<int> curve { 1 };
    };

    const int factor;
    const double marginDb = factor <= 2 ? lowFactorTargetMarginDb : targetMarginDb;
    const float oversampledRate;
    const int maxOversampledBlock;
    const int numChannels;

private:
    static Loop loopFor (int channelKind, bool autoRelease, int curve) noexcept;

    float dcCoefficient;
    float periodSmoothing;
    float detectorCutoff = 1000.0f;
    bool cutoffChanged = true;
    float detectorCoefficient = 0.0f;
    float lowPass = 0.0f;
    float dcTrack = 0.0f;
    bool wasNegative = false;
    int64_t lastPeriod = 0;
    int64_t samplesSinceCrossing = 0;
    float smoothedPeriod = 0.0f;

    ReleaseState release;

    std::atomic<double> thresholdDb { 0.0 };
    std::atomic<bool> thresholdPending { false };
    double targetThresholdDb = 0.0;
    std::atomic<double> preGainDb { 0.0 };
    std::atomic<bool> preGainPending { false };
    double targetPreGainDb = 0.0;
    std::atomic<double> postGainDb { 0.0 };
    std::atomic<bool> postGainPending { false };
    double targetPostGainDb = 0.0;

    std::vector<float> sidechain;

    // Between-sample peak estimate: per channel the last estimatorTaps - 1
    // input samples followed by the block; the signed sidechain delayed by
    // estimatorLag to stay in step with the estimate.
    int numEstimatorPhases = 3;
    std::vector<float> estimatorCoefficients;
    std::vector<std::vector<float>> estimatorInput;
    std::vector<float> interSamplePeak;
    std::vector<float> delayedSidechain;
    AveragedMaxEnvelope envelope;
    // The lookahead delay of the audio: per channel the last lookaheadDelay()
    // samples followed by the block, so that each sample leaves
    // lookaheadDelay() samples after it entered; and per block sample the
    // envelope and the gain.
    std::vector<std::vector<float>> delayLines;
    std::vector<float> envelopeValues;
    std::vector<double> blockGains;
    // The detector's smoothed period after each sample of the block.
    std::vector<float> blockPeriods;
    // Per block sample for the auto release: level factor, length, the
    // position of an ended release at that length, and 1 / length.
    std::vector<int> blockFactors;
    std::vector<int64_t> blockLengths;
    std::vector<int64_t> blockEndedPositions;
    std::vector<double> blockReciprocals;
    uint32_t lookaheadFilled = 0;
    BlockCollector loudnessCollector;
    float loudnessDb = 0.0f;
    bool loudnessUnknown = true;
    // Input amplitudes at which the level factor steps: with a negative
    // loudness L, the factor is the largest k in 1..50 with
    // amplitude <= 10^(k * L / 1000).
    float levelSteps[50] {};
    // The steps between +infinity and two -infinities, with the first step
    // also +infinity, so that counting the steps an amplitude stays under
    // gives the factor, at least 1; and the factor from log2 of the
    // amplitude to a fractional step count: 1000 log10 (2) / L.
    float levelBounds[53] {};
    float levelScale = 0.0f;
    // log2 of the mantissa at the middle of each of its 256 top-bit ranges.
    float log2Mantissa[256] {};
    bool levelStepsValid = false;
    int levelFactor = 1;
    std::atomic<bool> maximizer { false };
    std::atomic<float> maxTargetLinear { 1.0f };
};

} // namespace tarn
