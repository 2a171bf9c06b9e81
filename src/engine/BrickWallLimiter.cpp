#include "engine/BrickWallLimiter.h"

#include "engine/Denormals.h"

#include <algorithm>
#include <array>
#include <utility>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace tarn
{

namespace
{
    constexpr double twoPi = 2.0 * std::numbers::pi;

    // Non-finite samples (NaN, infinities, or overflow after the input gain)
    // carry no signal: they become silence before anything measures them.
    inline float finiteOrZero (float x) noexcept
    {
        return std::abs (x) <= FLT_MAX ? x : 0.0f;
    }

    inline double dbToGain (double dB) noexcept
    {
        return std::pow (10.0, dB / 20.0);
    }

    inline double aimedAmplitude (double thresholdDbValue, double marginDb) noexcept
    {
        return dbToGain (thresholdDbValue - marginDb);
    }
}

namespace
{
    // peaks[i] = max (peaks[i], |8-tap estimate from input[i .. i + 7]|).
    // Wider vectors where the processor has them; the arithmetic is the same
    // element for element (no fused multiply-add), so results do not depend
    // on which version runs.
    // (Not under ThreadSanitizer, whose runtime is not up yet when the
    // dispatch resolver runs at load time.)
   #if defined(__x86_64__) && defined(__GNUC__) && ! defined(__clang__) && ! defined(__SANITIZE_THREAD__)
    __attribute__ ((target_clones ("avx2", "default")))
   #endif
    void raiseToBetweenSamplePeaks (const float* input, const float* h, float* peaks, int n) noexcept
    {
        const float h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], h5 = h[5], h6 = h[6], h7 = h[7];

        for (int i = 0; i < n; ++i)
        {
            const float* x = input + i;
            const float estimate = h0 * x[0] + h1 * x[1] + h2 * x[2] + h3 * x[3]
                                 + h4 * x[4] + h5 * x[5] + h6 * x[6] + h7 * x[7];
            peaks[i] = std::max (peaks[i], std::abs (estimate));
        }
    }

    static_assert (BrickWallLimiter::estimatorTaps == 8, "raiseToBetweenSamplePeaks is written for 8 taps");
}

int BrickWallLimiter::oversamplingFactorFor (float sampleRate) noexcept
{
    for (int d = 1; d <= 6; ++d)
        if ((double) d * (double) sampleRate >= 192000.0)
            return d;

    return 8;
}

double BrickWallLimiter::curveEnd (int curve) noexcept
{
    return curve == (int) ReleaseCurve::transparent ? transparentEnd : 1.0;
}

template <int Curve>
inline double BrickWallLimiter::shapeAt (double t) noexcept
{
    if constexpr (Curve == (int) ReleaseCurve::linear)
        return 1.0 - t;
    else if constexpr (Curve == (int) ReleaseCurve::natural)
        return t <= 1.0 ? (1.0 - t) * (1.0 - t) : 0.0;
    else if constexpr (Curve == (int) ReleaseCurve::transparent)
        return t <= transparentEnd ? 2.0 * std::exp (-(t + 0.2076) / 0.3) - 0.00115 : 0.0;
    else if constexpr (Curve == (int) ReleaseCurve::smooth)
        return t <= 1.0 ? std::tan ((0.58756 - t) / 0.418) / 7.5 + 0.2 : 0.0;
    else
        return 1.0 - t * t;
}

double BrickWallLimiter::curveShape (int curve, double t) noexcept
{
    switch (curve)
    {
        case (int) ReleaseCurve::linear:      return shapeAt<(int) ReleaseCurve::linear> (t);
        case (int) ReleaseCurve::natural:     return shapeAt<(int) ReleaseCurve::natural> (t);
        case (int) ReleaseCurve::transparent: return shapeAt<(int) ReleaseCurve::transparent> (t);
        case (int) ReleaseCurve::smooth:      return shapeAt<(int) ReleaseCurve::smooth> (t);
        case (int) ReleaseCurve::pumping:     return shapeAt<(int) ReleaseCurve::pumping> (t);
        default:                              return 0.0;
    }
}

BrickWallLimiter::BrickWallLimiter (int maxBlockSize, int numChannelsToUse, float sampleRate,
                                    float lookaheadMs, float averagingMs)
    : factor (oversamplingFactorFor (sampleRate)),
      oversampledRate ((float) factor * sampleRate),
      maxOversampledBlock (factor * std::max (1, maxBlockSize)),
      numChannels (std::max (1, numChannelsToUse)),
      dcCoefficient ((float) std::exp (-twoPi * 20.0 / (double) oversampledRate)),
      periodSmoothing ((float) std::exp (-1.0 / (0.005 * (double) oversampledRate))),
      sidechain ((size_t) maxOversampledBlock),
      envelope (oversampledRate, lookaheadMs, averagingMs),
      loudnessCollector ((int) std::ceil (0.6 * (double) oversampledRate), 1)
{
    release.level = -std::numeric_limits<float>::infinity();

    delayLines.assign ((size_t) numChannels, std::vector<float> ((size_t) lookaheadDelay() + (size_t) maxOversampledBlock));
    envelopeValues.resize ((size_t) maxOversampledBlock);
    blockGains.resize ((size_t) maxOversampledBlock);
    blockPeriods.resize ((size_t) maxOversampledBlock);
    blockFactors.resize ((size_t) maxOversampledBlock);
    blockLengths.resize ((size_t) maxOversampledBlock);
    blockEndedPositions.resize ((size_t) maxOversampledBlock);
    blockReciprocals.resize ((size_t) maxOversampledBlock);

    // Seven points between samples: with three, dense material at 48 kHz
    // still came out about 0.06 dB above the aim after downsampling.
    numEstimatorPhases = 7;
    estimatorCoefficients.resize ((size_t) (numEstimatorPhases * estimatorTaps));

    for (int phase = 0; phase < numEstimatorPhases; ++phase)
    {
        const double mu = (double) (phase + 1) / (double) (numEstimatorPhases + 1);
        double sum = 0.0;
        double taps[estimatorTaps];

        for (int k = 0; k < estimatorTaps; ++k)
        {
            // Tap k weighs the sample k - (lag - 1) places from the interval's
            // first sample; the estimated point lies mu past that sample.
            const double t = (double) (k - (estimatorLag - 1)) - mu;
            const double sinc = std::sin (std::numbers::pi * t) / (std::numbers::pi * t);
            const double x = t / (double) estimatorLag;
            const double window = std::cos (0.5 * std::numbers::pi * x);   // cosine window over +-lag
            taps[k] = sinc * window * window;
            sum += taps[k];
        }

        for (int k = 0; k < estimatorTaps; ++k)
            estimatorCoefficients[(size_t) (phase * estimatorTaps + k)] = (float) (taps[k] / sum);
    }

    estimatorInput.assign ((size_t) numChannels, std::vector<float> ((size_t) (maxOversampledBlock + estimatorTaps)));
    interSamplePeak.resize ((size_t) maxOversampledBlock);
    delayedSidechain.resize ((size_t) (maxOversampledBlock + estimatorLag));

    for (int k = 0; k < 256; ++k)
        log2Mantissa[k] = (float) std::log2 (1.0 + ((double) k + 0.5) / 256.0);

    loudnessCollector.addCallback ([this] (int n, float** channels) { measureLoudness (n, channels); });
}

BrickWallLimiter::~BrickWallLimiter() = default;

void BrickWallLimiter::setReleaseTimeMs (int ms) noexcept
{
    release.releaseSamples.store ((int64_t) ((float) ms * oversampledRate / 1000.0f));
}

void BrickWallLimiter::setMaxTargetDb (float dB) noexcept
{
    maxTargetLinear.store ((float) aimedAmplitude ((double) dB, marginDb));
}

void BrickWallLimiter::setReleaseCurve (int curve) noexcept
{
    if (curve != release.curve.load())
        release.curve.store (curve);
}

void BrickWallLimiter::setPreGainDb (float dB) noexcept
{
    if ((double) dB != preGainDb.load())
    {
        targetPreGainDb = dB;
        preGainPending.store (true);
    }
}

void BrickWallLimiter::setThresholdDb (float dB) noexcept
{
    if ((double) dB != thresholdDb.load())
    {
        targetThresholdDb = dB;
        thresholdPending.store (true);
    }
}

void BrickWallLimiter::setPostGainDb (float dB) noexcept
{
    if ((double) dB != postGainDb.load())
    {
        targetPostGainDb = dB;
        postGainPending.store (true);
    }
}

void BrickWallLimiter::setThresholdImmediately (double dB) noexcept
{
    thresholdDb.store (dB);
    thresholdPending.store (false);
}

void BrickWallLimiter::measureLoudness (int numSamples, float** channels) noexcept
{
    // Summed in double: a float sum overflows on extreme samples and would
    // leave the loudness infinite for a whole block.
    double sum = 0.0;
    for (int k = 0; k < numSamples; ++k)
        sum += (double) channels[0][k] * (double) channels[0][k];

    loudnessDb = (float) (20.0 * std::log10 (std::sqrt (sum / (double) numSamples)));
    loudnessUnknown = false;

    levelStepsValid = loudnessDb < 0.0f && std::isfinite (loudnessDb);
    if (levelStepsValid)
        for (int k = 1; k <= 50; ++k)
            levelSteps[k - 1] = std::pow (10.0f, (float) k * loudnessDb / 1000.0f);

    if (levelStepsValid)
    {
        levelBounds[0] = std::numeric_limits<float>::infinity();
        std::copy_n (levelSteps, 50, levelBounds + 1);
        levelBounds[51] = levelBounds[52] = -std::numeric_limits<float>::infinity();
        levelBounds[1] = std::numeric_limits<float>::infinity();
        // A loudness so near 0 dB that the scale would not fit the guess
        // into an int leaves the guess at 0; the binary search then decides.
        const double scale = 1000.0 * std::log10 (2.0) / (double) loudnessDb;
        levelScale = std::abs (scale) < 1.0e7 ? (float) scale : 0.0f;
    }
}

// The period detector over a block of the delayed sidechain: writes the
// smoothed period after each sample to blockPeriods.
void BrickWallLimiter::runDetector (int n) noexcept
{
    const float V = oversampledRate;
    const double cutoffToExponent = -twoPi / (double) V;
    const float dcCoef = dcCoefficient;
    const float smoothing = periodSmoothing;
    float cutoff = detectorCutoff;
    bool cutoffDirty = cutoffChanged;
    float detectorCoef = detectorCoefficient;
    float lp = lowPass;
    float dc = dcTrack;
    bool negative = wasNegative;
    int64_t period = lastPeriod;
    int64_t sinceCrossing = samplesSinceCrossing;
    float periodEstimate = smoothedPeriod;
    float periodValue = (float) period;   // follows period
    const float* const delayed = delayedSidechain.data();
    float* const periods = blockPeriods.data();

    for (int i = 0; i < n; ++i)
    {
        const float s = delayed[i];

        if (cutoffDirty)
            detectorCoef = std::exp ((float) (cutoffToExponent * (double) cutoff));

        lp = (lp - s) * detectorCoef + s;
        dc = (dc - lp) * dcCoef + lp;
        const float r = lp - dc;

        if (negative && ! (r < 0.0f))
        {
            period = sinceCrossing;
            periodValue = (float) period;
            sinceCrossing = 1;
        }
        else
        {
            ++sinceCrossing;
        }

        negative = r < 0.0f;
        periodEstimate = std::max (1.0f, (periodEstimate - periodValue) * smoothing + periodValue);
        const float newCutoff = std::max (20.0f, V / periodEstimate);
        cutoffDirty = newCutoff != cutoff;
        cutoff = newCutoff;
        periods[i] = periodEstimate;
    }

    detectorCutoff = cutoff;
    cutoffChanged = cutoffDirty;
    detectorCoefficient = detectorCoef;
    lowPass = lp;
    dcTrack = dc;
    wasNegative = negative;
    lastPeriod = period;
    samplesSinceCrossing = sinceCrossing;
    smoothedPeriod = periodEstimate;
}

// The audio leaves the delay lines, limited by the envelope of each sample.
// Each line holds the last lookaheadDelay() samples followed by the block, so
// the sample leaving at block sample i sits at line index i.
template <int Channels>
int BrickWallLimiter::writeOutput (BlockValues& values, double firstThr) noexcept
{
    const int n = values.n;
    const int channelCount = Channels > 0 ? Channels : numChannels;
    const uint32_t delayLength = lookaheadDelay();
    const float* const envelopeIn = envelopeValues.data();
    double* const gains = blockGains.data();

    for (int c = 0; c < channelCount; ++c)
        std::copy_n (values.io[c], n, delayLines[(size_t) c].data() + delayLength);

    const int missing = (int) std::min ((uint32_t) n, delayLength - lookaheadFilled);
    lookaheadFilled += (uint32_t) missing;

    if (values.thrStep == 0.0 && values.pStep == 0.0)
    {
        // Steady threshold and output gain: plain loops that vectorise. The
        // envelope reaches every peak to within a few float steps; the
        // sample leaving the delay bounds it from below so that the ceiling
        // holds exactly.
        const double thr = firstThr;
        const double P = values.maximize ? values.ceiling / thr : values.p;

        for (int i = missing; i < n; ++i)
            gains[i] = (double) envelopeIn[i];

        for (int c = 0; c < channelCount; ++c)
        {
            const float* const line = delayLines[(size_t) c].data();
            for (int i = missing; i < n; ++i)
                gains[i] = std::max (gains[i], (double) std::abs (line[i]));
        }

        for (int i = missing; i < n; ++i)
            gains[i] = std::min (1.0, thr / gains[i]);

        for (int c = 0; c < channelCount; ++c)
        {
            const float* const line = delayLines[(size_t) c].data();
            float* const io = values.io[c] - missing;
            float* const gain = values.gain[c] - missing;
            float* const out = values.out[c] - missing;

            for (int i = missing; i < n; ++i)
            {
                const double G = gains[i];
                const double limited = (double) line[i] * G;
                io[i] = (float) limited;
                gain[i] = (float) G;
                out[i] = (float) (limited * P);
            }
        }

        if (missing < n)
            values.lastP = P;
    }
    else
    {
        double thr = firstThr;
        double p = values.p;

        for (int i = 0; i < n; ++i)
        {
            if (i >= missing)
            {
                double leaving = (double) envelopeIn[i];
                for (int c = 0; c < channelCount; ++c)
                    leaving = std::max (leaving, (double) std::abs (delayLines[(size_t) c][(size_t) i]));

                const double G = std::min (1.0, thr / leaving);
                const double P = values.maximize ? values.ceiling / thr : p;
                values.lastP = P;
                const int o = i - missing;

                for (int c = 0; c < channelCount; ++c)
                {
                    const double limited = (double) delayLines[(size_t) c][(size_t) i] * G;
                    values.io[c][o] = (float) limited;
                    values.gain[c][o] = (float) G;
                    values.out[c][o] = (float) (limited * P);
                }
            }

            p += values.pStep;
            thr += values.thrStep;
        }
    }

    // The last lookaheadDelay() samples move to the front for the next block.
    for (int c = 0; c < channelCount; ++c)
    {
        float* const line = delayLines[(size_t) c].data();
        std::copy (line + n, line + n + delayLength, line);
    }

    return missing;
}

template <int Channels, bool AutoRelease, int Curve>
int BrickWallLimiter::runSamples (BlockValues& values) noexcept
{
    const int n = values.n;
    double thr = values.thr;
    const double thrStep = values.thrStep;

    // Release and detector state in locals for the loop.
    const float reactivity = release.reactivity.load();
    constexpr double curveEndValue = Curve == (int) ReleaseCurve::transparent ? transparentEnd : 1.0;
    int64_t releaseSamples = release.releaseSamples.load();
    int64_t appliedReleaseSamples = release.appliedReleaseSamples;
    float level = release.level;
    int64_t elapsed = release.elapsed;
    bool newPeak = release.newPeak;
    double excess = release.excess;
    float releaseFloor = release.floor;

    // The period detector runs first over the whole block, in a loop of its
    // own: its exp is a call, and around a call every float register would
    // have to be saved.
    runDetector (n);
    const float* const periods = blockPeriods.data();

    const bool loudnessKnown = ! loudnessUnknown;
    int m = levelFactor;

    double appliedReciprocal = appliedReleaseSamples != 0 ? 1.0 / (double) appliedReleaseSamples : 0.0;
    const float* const delayed = delayedSidechain.data();
    const float* const betweenPeaks = interSamplePeak.data();
    float* const side = sidechain.data();
    float* const envelopeOut = envelopeValues.data();
    AveragedMaxEnvelope::Steps env = envelope.steps();
    const double firstThr = thr;

    // The auto release's level factor and length, with its reciprocal and
    // the position of a release that has ended, depend on the sample alone:
    // they are worked out for the block ahead of the loop, which then only
    // carries what one sample hands to the next.
    int* const factors = blockFactors.data();
    int64_t* const lengths = blockLengths.data();
    int64_t* const endedPositions = blockEndedPositions.data();
    double* const reciprocals = blockReciprocals.data();

    for (int i = 0; i < n; ++i)
        side[i] = std::max (std::abs (delayed[i]), betweenPeaks[i]);

    if constexpr (AutoRelease)
    {
        for (int i = 0; i < n; ++i)
        {
            const int k = loudnessKnown ? levelFactorFor (side[i]) : 20;
            const float length = (float) k * (periods[i] * reactivity);
            // Between 1 and 4e18 (a NaN counts as 1), as min and max.
            const int64_t R = (int64_t) std::min (4.0e18f, std::max (1.0f, length));
            factors[i] = k;
            lengths[i] = R;
            endedPositions[i] = (int64_t) ((double) R * curveEndValue + 1.0);
            reciprocals[i] = 1.0 / (double) R;
        }
    }

    for (int i = 0; i < n; ++i)
    {
        const float a = side[i];

        // Release stage.
        float stageOutput;

        if (a >= level)
        {
            level = a;
            newPeak = true;
            stageOutput = a;
        }
        else
        {
            bool startedNow = false;

            if (newPeak && (double) a > thr)
            {
                elapsed = 1;
                releaseFloor = (float) thr;
                excess = (double) level / (double) releaseFloor - 1.0;
                newPeak = false;
                startedNow = true;
            }

            int64_t R;

            if constexpr (AutoRelease)
            {
                m = factors[i];
                R = lengths[i];
            }
            else
            {
                R = releaseSamples;
            }

            if constexpr (AutoRelease)
            {
                // The auto length follows the period estimate and the level
                // factor and changes from one sample to the next in no
                // pattern a branch predictor could learn, so the rescaled
                // position is worked out every time and then selected. R is
                // at least 1 here, and the reciprocal is always that of the
                // applied length.
                const auto A = appliedReleaseSamples;
                int64_t rescaled;

                if (A == 0)
                    rescaled = startedNow ? 1 : endedPositions[i];
                else if ((double) elapsed >= curveEndValue * (double) A)
                    rescaled = endedPositions[i];
                else
                    rescaled = (int64_t) (((double) R * appliedReciprocal) * (double) elapsed);

                // A mask rather than a conditional, which the compiler would
                // turn back into a branch.
                const int64_t keep = -(int64_t) (R == A);
                elapsed = rescaled ^ ((rescaled ^ elapsed) & keep);
                releaseSamples = R;
                appliedReleaseSamples = R;
                appliedReciprocal = reciprocals[i];
            }
            else if (R != appliedReleaseSamples)
            {
                const auto A = appliedReleaseSamples;

                // Before any length was applied, only a release that starts on
                // this very sample is running; anything older has ended.
                if (A == 0)
                    elapsed = startedNow ? 1 : (int64_t) ((double) R * curveEndValue + 1.0);
                else if ((double) elapsed >= curveEndValue * (double) A)
                    elapsed = (int64_t) ((double) R * curveEndValue + 1.0);
                else
                    elapsed = (int64_t) (((double) R * appliedReciprocal) * (double) elapsed);

                // The reciprocal depends only on the length, so the division
                // stays off the sample-to-sample path of elapsed.
                releaseSamples = R;
                appliedReleaseSamples = R;
                appliedReciprocal = R != 0 ? 1.0 / (double) R : 0.0;
            }

            double t;
            if (releaseSamples == 0)
            {
                t = curveEndValue;
            }
            else
            {
                t = (double) elapsed * appliedReciprocal;
                if (t < 0.0)
                {
                    t = curveEndValue;
                    elapsed = (int64_t) ((double) releaseSamples * curveEndValue);
                }
            }

            if (t < curveEndValue)
            {
                // std::clamp, spelt so that it compiles to min and max
                // rather than branches.
                const double shape = std::min (std::max (shapeAt<Curve> (t), 0.0), curveEndValue);
                level = (float) ((double) releaseFloor * (1.0 + excess * shape));
                ++elapsed;
            }
            else
            {
                level = a;
            }

            stageOutput = level;
        }

        envelopeOut[i] = env.process (stageOutput);
        thr += thrStep;
    }

    envelope.setSteps (env);
    const int missing = writeOutput<Channels> (values, firstThr);

    // Write the loop state back.
    levelFactor = m;

    release.level = level;
    release.elapsed = elapsed;
    release.newPeak = newPeak;
    release.excess = excess;
    release.floor = releaseFloor;
    release.appliedReleaseSamples = appliedReleaseSamples;
    release.releaseSamples.store (releaseSamples);

    return missing;
}

namespace
{
    template <int Channels, bool AutoRelease, int... Curves>
    constexpr auto loopsFor (std::integer_sequence<int, Curves...>) noexcept
    {
        return std::array<BrickWallLimiter::Loop, sizeof... (Curves)> { &BrickWallLimiter::runSamples<Channels, AutoRelease, Curves>... };
    }

    template <int Channels, bool AutoRelease>
    constexpr auto loopsFor() noexcept
    {
        return loopsFor<Channels, AutoRelease> (std::make_integer_sequence<int, 5>());
    }
}

BrickWallLimiter::Loop BrickWallLimiter::loopFor (int channelKind, bool autoRelease, int curve) noexcept
{
    // Mono, stereo and any other channel count; manual and auto release.
    static constexpr std::array<std::array<Loop, 5>, 6> loops {
        loopsFor<1, false>(), loopsFor<1, true>(),
        loopsFor<2, false>(), loopsFor<2, true>(),
        loopsFor<0, false>(), loopsFor<0, true>()
    };
    return loops[(size_t) (2 * channelKind + (autoRelease ? 1 : 0))][(size_t) curve];
}

int BrickWallLimiter::processSamples (int numSamples, float** io, float** gain, float** out)
{
    return process (numSamples, io, gain, out);
}

int BrickWallLimiter::process (int n, float** io, float** gain, float** out)
{
    if (n <= 0)
        return 0;

    if (n > maxOversampledBlock)
        throw std::runtime_error ("Block larger than the limiter was prepared for");

    const int curve = release.curve.load();
    if (curve < 0 || curve > 4)
        throw std::invalid_argument ("curve type could not be found");

    ScopedNoDenormals noDenormals;

    // 1 and 2: input gain, ramped, and the channel peak as sidechain.
    double g = (double) (float) dbToGain ((double) (float) preGainDb.load());
    const bool preGainRamp = preGainPending.load();
    const double gStep = preGainRamp ? (dbToGain (targetPreGainDb) - g) / n : 0.0;

    float* const side = sidechain.data();

    if (preGainRamp)
    {
        for (int i = 0; i < n; ++i)
        {
            float peak = 0.0f;

            for (int c = 0; c < numChannels; ++c)
            {
                const float x = finiteOrZero ((float) ((double) io[c][i] * g));
                io[c][i] = x;
                if (std::abs (x) > std::abs (peak))
                    peak = x;
            }

            side[i] = peak;
            g += gStep;
        }
    }
    else
    {
        // A steady gain: channel by channel, which vectorises, then the peaks.
        for (int c = 0; c < numChannels; ++c)
        {
            float* const channel = io[c];
            for (int i = 0; i < n; ++i)
                channel[i] = finiteOrZero ((float) ((double) channel[i] * g));
        }

        std::fill_n (side, n, 0.0f);

        for (int c = 0; c < numChannels; ++c)
        {
            const float* const channel = io[c];
            for (int i = 0; i < n; ++i)
            {
                const float x = channel[i];
                side[i] = std::abs (x) > std::abs (side[i]) ? x : side[i];
            }
        }
    }

    // 3. Loudness blocks for the auto release.
    float* sidechainChannels[1] = { side };
    loudnessCollector.push (n, sidechainChannels);

    // Between-sample peaks. The detector works estimatorLag samples behind
    // the input (the audio waits as long) and takes, with sample i - lag,
    // the peak of the interval that ends there: an interval's estimate then
    // stays in the envelope's window until both samples around it have left
    // the delay. Its taps reach from sample i - 2 * lag to i - 1.
    {
        constexpr int history = estimatorTaps;
        float* const peaks = interSamplePeak.data();
        std::fill_n (peaks, n, 0.0f);

        for (int c = 0; c < numChannels; ++c)
        {
            float* const input = estimatorInput[(size_t) c].data();
            std::copy_n (io[c], n, input + history);

            for (int phase = 0; phase < numEstimatorPhases; ++phase)
                raiseToBetweenSamplePeaks (input, estimatorCoefficients.data() + phase * estimatorTaps, peaks, n);

            std::copy_n (input + n, history, input);
        }

        float* const delayed = delayedSidechain.data();
        std::copy_n (side, n, delayed + estimatorLag);
    }

    // 4 to 6: threshold, maximizer ceiling and output gain, per block.
    double thr = std::max (1e-7, aimedAmplitude (thresholdDb.load(), marginDb));
    const bool thresholdRamp = thresholdPending.load();
    const double thrStep = thresholdRamp ? (aimedAmplitude (targetThresholdDb, marginDb) - thr) / n : 0.0;

    const bool maximize = maximizer.load();
    const double ceiling = std::min (0.999, (double) maxTargetLinear.load());

    double p = dbToGain (postGainDb.load());
    const bool postGainRamp = postGainPending.load();
    const double pStep = postGainRamp ? (dbToGain (targetPostGainDb) - p) / n : 0.0;
    double lastP = maximize ? ceiling / thr : p;

    BlockValues values { n, io, gain, out, thr, thrStep, p, pStep, ceiling, lastP, maximize };
    const int channelKind = numChannels == 1 ? 0 : (numChannels == 2 ? 1 : 2);
    const int missing = (this->*(loopFor (channelKind, release.autoRelease.load(), curve))) (values);
    lastP = values.lastP;

    std::copy_n (delayedSidechain.data() + n, estimatorLag, delayedSidechain.data());

    // 8. Ramps end on their targets; the next block starts from there.
    if (preGainPending.exchange (false))
        preGainDb.store (targetPreGainDb);

    if (thresholdPending.exchange (false))
        thresholdDb.store (targetThresholdDb);

    const bool postRamped = postGainPending.exchange (false);
    if (maximize)
        postGainDb.store (20.0 * std::log10 (lastP));
    else if (postRamped)
        postGainDb.store (targetPostGainDb);

    return n - missing;
}

void BrickWallLimiter::reset()
{
    detectorCutoff = 1000.0f;
    cutoffChanged = true;
    lowPass = dcTrack = 0.0f;
    lastPeriod = samplesSinceCrossing = 0;
    smoothedPeriod = 0.0f;
    levelFactor = 1;

    release.elapsed = (int64_t) ((double) release.releaseSamples.load() * curveEnd (release.curve.load()) + 1.0);
    release.newPeak = true;

    loudnessCollector.setSkip (0);
    loudnessCollector.restartBlock();
    loudnessDb = 0.0f;
    loudnessUnknown = true;

    lookaheadFilled = 0;

    for (auto& input : estimatorInput)
        std::fill_n (input.begin(), estimatorTaps, 0.0f);
    std::fill_n (delayedSidechain.begin(), estimatorLag, 0.0f);
}

} // namespace tarn
