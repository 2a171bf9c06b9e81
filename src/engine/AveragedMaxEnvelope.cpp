#include "engine/AveragedMaxEnvelope.h"

#include <algorithm>
#include <cmath>

namespace tarn
{

AveragedMaxEnvelope::AveragedMaxEnvelope (float sampleRateToUse, float lookaheadMs, float averagingMs)
    : sampleRate (sampleRateToUse)
{
    blockLengthValue = std::max (1, (int) (0.05f * sampleRate / 1000.0f));

    const auto lookaheadSamples = (int) ((sampleRate / 1000.0f) * lookaheadMs);
    const auto groupSamples = 20 * blockLengthValue;
    const auto coveringGroups = (lookaheadSamples + groupSamples - 1) / groupSamples;
    groupCount = (uint32_t) std::max (0, coveringGroups - 1);
    windowLengthValue = (uint32_t) ((20 * (int) groupCount + 20) * blockLengthValue);

    averagingLengthValue = std::max (2, (int) ((sampleRate / 1000.0f) * averagingMs));
    const int smoothingLength = averagingLengthValue | 1;
    alpha = 1.0 - std::pow (10.0, -4.0000434272769105 / (double) smoothingLength);
    leakage = std::pow (1.0 - alpha, (double) smoothingLength);
    inverseMeanLength = 1.0 / (double) (averagingLengthValue - 1);
    inverseRetained = 1.0 / (1.0 - leakage);

    chunkValues = std::make_unique<float[]> ((size_t) windowLengthValue + 1);
    averagingWindow = std::make_unique<double[]> ((size_t) averagingLengthValue);

    state.windowLength = windowLengthValue;
    state.averagingLength = (uint32_t) averagingLengthValue;
    state.alpha = alpha;
    state.oneMinusAlpha = 1.0 - alpha;
    state.leakage = leakage;
    state.inverseMeanLength = inverseMeanLength;
    state.inverseRetained = inverseRetained;
    state.chunkValues = chunkValues.get();
    state.averagingWindow = averagingWindow.get();

    reset();
}

AveragedMaxEnvelope::~AveragedMaxEnvelope() = default;

void AveragedMaxEnvelope::reset()
{
    // The window starts as L zeros: a previous chunk of zeros.
    std::fill_n (chunkValues.get(), (size_t) windowLengthValue + 1, 0.0f);
    state.chunkPosition = 0;
    state.chunkMaximum = 0.0f;

    state.smoothed = 0.0;
    std::fill_n (averagingWindow.get(), averagingLengthValue, 0.0);
    state.averagingPosition = 0;
    state.average = 0.0;
}

} // namespace tarn
