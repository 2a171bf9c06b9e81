#include "engine/BlockCollector.h"

#include <algorithm>

namespace tarn
{

BlockCollector::BlockCollector (int blockSizeToUse, int numChannelsToUse)
    : blockSize (std::max (1, blockSizeToUse)),
      numChannels (std::max (0, numChannelsToUse)),
      buffers ((size_t) numChannels, std::vector<float> ((size_t) blockSize)),
      bufferPointers ((size_t) numChannels)
{
    for (size_t c = 0; c < buffers.size(); ++c)
        bufferPointers[c] = buffers[c].data();
}

void BlockCollector::addCallback (BlockCallback callback)
{
    callbacks.push_back (std::move (callback));
}

void BlockCollector::copyIn (float* const* data, int sourceOffset, int destinationOffset, int count) noexcept
{
    for (int c = 0; c < numChannels; ++c)
        std::copy_n (data[c] + sourceOffset, count, bufferPointers[(size_t) c] + destinationOffset);
}

void BlockCollector::deliver()
{
    for (auto& callback : callbacks)
        callback (blockSize, bufferPointers.data());
}

void BlockCollector::push (int numSamples, float* const* data)
{
    if (numSamples <= 0)
        return;

    if (skip.load() >= numSamples)
    {
        skip.fetch_sub (numSamples);
        return;
    }

    int offset = skip.exchange (0);
    const int alreadyFilled = filled.load();

    if (alreadyFilled > 0)
    {
        const int room = blockSize - alreadyFilled;
        const int remaining = numSamples - offset;

        if (room > remaining)
        {
            copyIn (data, offset, alreadyFilled, remaining);
            filled.fetch_add (remaining);
            return;
        }

        copyIn (data, offset, alreadyFilled, room);
        deliver();
        filled.store (0);
        offset += room;
    }

    while (offset + blockSize < numSamples)
    {
        copyIn (data, offset, 0, blockSize);
        deliver();
        filled.store (0);
        offset += blockSize;
    }

    if (offset < numSamples)
    {
        copyIn (data, offset, 0, numSamples - offset);
        filled.store (numSamples - offset);
    }
}

} // namespace tarn
