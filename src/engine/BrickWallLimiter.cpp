#include "engine/BrickWallLimiter.h"

#include "engine/Denormals.h"

#include <algorithm>
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

    inline double aimedAmplitude (double thresholdDbValue) noexcept
    {
        return dbToGain (thresholdDbValue - BrickWallLimiter::targetMarginDb);
    }
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

double BrickWallLimiter::curveShape (int curve, double t) noexcept
{
    switch (curve)
    {
        case (int) ReleaseCurve::linear:
            return 1.0 - t;
        case (int) ReleaseCurve::natural:
            return t <= 1.0 ? (1.0 - t) * (1.0 - t) : 0.0;
        case (int) ReleaseCurve::transparent:
            return t <= transparentEnd ? 2.0 * std::exp (-(t + 0.2076) / 0.3) - 0.00115 : 0.0;
        case (int) ReleaseCurve::smooth:
            return t <= 1.0 ? std::tan ((0.58756 - t) / 0.418) / 7.5 + 0.2 : 0.0;
        case (int) ReleaseCurve::pumping:
            return 1.0 - t * t;
        default:
            return 0.0;
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

    lookahead.assign ((size_t) numChannels, std::vector<double> (lookaheadDelay()));

    // At d >= 4 the audio band is a small part of the oversampled band and
    // three points between samples find its peaks to within a few hundredths
    // of a dB; nearer the oversampled Nyquist, seven are needed.
    numEstimatorPhases = factor >= 4 ? 3 : 7;
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

    loudnessCollector.addCallback ([this] (int n, float** channels) { measureLoudness (n, channels); });
}

BrickWallLimiter::~BrickWallLimiter() = default;

void BrickWallLimiter::setReleaseTimeMs (int ms) noexcept
{
    release.releaseSamples.store ((int64_t) ((float) ms * oversampledRate / 1000.0f));
}

void BrickWallLimiter::setMaxTargetDb (float dB) noexcept
{
    maxTargetLinear.store ((float) aimedAmplitude ((double) dB));
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
            {
                const float* h = estimatorCoefficients.data() + phase * estimatorTaps;
                const float h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], h5 = h[5], h6 = h[6], h7 = h[7];

                for (int i = 0; i < n; ++i)
                {
                    const float* x = input + i;
                    const float estimate = h0 * x[0] + h1 * x[1] + h2 * x[2] + h3 * x[3]
                                         + h4 * x[4] + h5 * x[5] + h6 * x[6] + h7 * x[7];
                    peaks[i] = std::max (peaks[i], std::abs (estimate));
                }
            }

            std::copy_n (input + n, history, input);
        }

        float* const delayed = delayedSidechain.data();
        std::copy_n (side, n, delayed + estimatorLag);
    }

    // 4 to 6: threshold, maximizer ceiling and output gain, per block.
    double thr = std::max (1e-7, aimedAmplitude (thresholdDb.load()));
    const bool thresholdRamp = thresholdPending.load();
    const double thrStep = thresholdRamp ? (aimedAmplitude (targetThresholdDb) - thr) / n : 0.0;

    const bool maximize = maximizer.load();
    const double ceiling = std::min (0.999, (double) maxTargetLinear.load());

    double p = dbToGain (postGainDb.load());
    const bool postGainRamp = postGainPending.load();
    const double pStep = postGainRamp ? (dbToGain (targetPostGainDb) - p) / n : 0.0;
    double lastP = maximize ? ceiling / thr : p;

    // Release and detector state in locals for the loop.
    const bool autoRelease = release.autoRelease.load();
    const float reactivity = release.reactivity.load();
    const double curveEndValue = curveEnd (curve);
    int64_t releaseSamples = release.releaseSamples.load();
    int64_t appliedReleaseSamples = release.appliedReleaseSamples;
    float level = release.level;
    int64_t elapsed = release.elapsed;
    bool newPeak = release.newPeak;
    double excess = release.excess;
    float releaseFloor = release.floor;
    double position = release.position;

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

    const bool loudnessKnown = ! loudnessUnknown;
    int m = levelFactor;

    const uint32_t delayLength = lookaheadDelay();
    double appliedReciprocal = appliedReleaseSamples != 0 ? 1.0 / (double) appliedReleaseSamples : 0.0;
    int missing = 0;

    for (int i = 0; i < n; ++i)
    {
        const float s = delayedSidechain[(size_t) i];

        // Period detector.
        if (cutoffDirty)
            detectorCoef = std::exp ((float) (cutoffToExponent * (double) cutoff));

        lp = (lp - s) * detectorCoef + s;
        dc = (dc - lp) * dcCoef + lp;
        const float r = lp - dc;

        if (negative && ! (r < 0.0f))
        {
            period = sinceCrossing;
            sinceCrossing = 1;
        }
        else
        {
            ++sinceCrossing;
        }

        negative = r < 0.0f;
        periodEstimate = std::max (1.0f, (periodEstimate - (float) period) * smoothing + (float) period);
        const float newCutoff = std::max (20.0f, V / periodEstimate);
        cutoffDirty = newCutoff != cutoff;
        cutoff = newCutoff;

        const float a = std::max (std::abs (s), interSamplePeak[(size_t) i]);
        side[i] = a;

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

            if (autoRelease)
            {
                m = loudnessKnown ? levelFactorFor (a) : 20;

                const float length = (float) m * (periodEstimate * reactivity);
                R = length >= 1.0f ? (length < 4.0e18f ? (int64_t) length : (int64_t) 4.0e18f) : 1;
            }
            else
            {
                R = releaseSamples;
            }

            if (R != appliedReleaseSamples)
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

            position = t;

            if (t < curveEndValue)
            {
                const double shape = std::clamp (curveShape (curve, t), 0.0, curveEndValue);
                level = (float) ((double) releaseFloor * (1.0 + excess * shape));
                ++elapsed;
            }
            else
            {
                level = a;
            }

            stageOutput = level;
        }

        const float e = envelope.process (stageOutput);

        if (lookaheadFilled < delayLength)
        {
            for (int c = 0; c < numChannels; ++c)
                lookahead[(size_t) c][lookaheadPosition] = (double) io[c][i];

            ++lookaheadFilled;
            ++missing;
        }
        else
        {
            // The envelope reaches every peak to within a few float steps;
            // the sample leaving the delay bounds it from below so that the
            // ceiling holds exactly.
            double leaving = (double) e;
            for (int c = 0; c < numChannels; ++c)
                leaving = std::max (leaving, std::abs (lookahead[(size_t) c][lookaheadPosition]));

            const double G = std::min (1.0, thr / leaving);
            const double P = maximize ? ceiling / thr : p;
            lastP = P;
            const int o = i - missing;

            for (int c = 0; c < numChannels; ++c)
            {
                double& slot = lookahead[(size_t) c][lookaheadPosition];
                const double limited = slot * G;
                slot = (double) io[c][i];
                io[c][o] = (float) limited;
                gain[c][o] = (float) G;
                out[c][o] = (float) (limited * P);
            }
        }

        if (++lookaheadPosition == delayLength)
            lookaheadPosition = 0;

        p += pStep;
        thr += thrStep;
    }

    std::copy_n (delayedSidechain.data() + n, estimatorLag, delayedSidechain.data());

    // Write the loop state back.
    detectorCutoff = cutoff;
    cutoffChanged = cutoffDirty;
    detectorCoefficient = detectorCoef;
    lowPass = lp;
    dcTrack = dc;
    wasNegative = negative;
    lastPeriod = period;
    samplesSinceCrossing = sinceCrossing;
    smoothedPeriod = periodEstimate;
    autoPeriod = periodEstimate;
    levelFactor = m;

    release.level = level;
    release.elapsed = elapsed;
    release.newPeak = newPeak;
    release.excess = excess;
    release.floor = releaseFloor;
    release.position = position;
    release.appliedReleaseSamples = appliedReleaseSamples;
    release.releaseSamples.store (releaseSamples);

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

    lookaheadPosition = 0;
    lookaheadFilled = 0;

    for (auto& input : estimatorInput)
        std::fill_n (input.begin(), estimatorTaps, 0.0f);
    std::fill_n (delayedSidechain.begin(), estimatorLag, 0.0f);
}

} // namespace tarn
