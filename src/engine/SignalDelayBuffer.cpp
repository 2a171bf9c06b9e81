#include "engine/SignalDelayBuffer.h"

namespace tarn
{

SignalDelayBuffer::SignalDelayBuffer (int numChannelsToUse, uint32_t delayToUse)
    : numChannels (numChannelsToUse), delay (delayToUse)
{
    queues.reserve ((size_t) numChannels);
    for (int c = 0; c < numChannels; ++c)
        queues.emplace_back (delay);
}

int SignalDelayBuffer::process (int numSamples, float** channels)
{
    if (delay == 0)
        return numSamples;

    int missing = 0;

    for (int i = 0; i < numSamples; ++i)
    {
        for (int c = 0; c < numChannels; ++c)
            queues[(size_t) c].push ((double) channels[c][i]);

        for (int c = 0; c < numChannels; ++c)
        {
            auto& queue = queues[(size_t) c];

            if (queue.size() < delay)
            {
                if (c == 0)
                    ++missing;
            }
            else
            {
                channels[c][i - missing] = (float) queue.pop();
            }
        }
    }

    return numSamples - missing;
}

void SignalDelayBuffer::reset() noexcept
{
    for (auto& queue : queues)
        queue.clear();
}

} // namespace tarn
