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

    wedgeValues = std::make_unique<float[]> (windowLengthValue);
    wedgeTimes = std::make_unique<uint64_t[]> (windowLengthValue);
    averagingWindow = std::make_unique<double[]> ((size_t) averagingLengthValue);

    reset();
}

AveragedMaxEnvelope::~AveragedMaxEnvelope() = default;

void AveragedMaxEnvelope::reset()
{
    // The window starts as L zeros: a single zero candidate that counts as
    // one call before the first.
    callCount = 1;
    wedgeHead = 0;
    wedgeSize = 1;
    wedgeValues[0] = 0.0f;
    wedgeTimes[0] = 0;

    smoothed = 0.0;
    std::fill_n (averagingWindow.get(), averagingLengthValue, 0.0);
    averagingPosition = 0;
    average = 0.0;
}

} // namespace tarn
