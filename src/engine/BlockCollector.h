#pragma once

#include <atomic>
#include <functional>
#include <vector>

namespace tarn
{

// Cuts a multichannel stream into consecutive blocks of a fixed length and
// hands every complete block to its callbacks, in the order they were added.
//
// A block that ends exactly at the end of the incoming data is held back
// (filled == blockSize) and delivered by the next push that brings at least
// one sample. Callbacks receive the collector's own buffers, valid only
// during the call. setSkip and restartBlock line the block grid up with an
// outside timeline; everything else runs on one thread.
class BlockCollector
{
public:
    using BlockCallback = std::function<void (int numSamples, float** channels)>;

    BlockCollector (int blockSize, int numChannels);

    void addCallback (BlockCallback callback);

    void push (int numSamples, float* const* data);

    void setSkip (int samplesToSkip) noexcept { skip.store (samplesToSkip); }
    void restartBlock() noexcept { filled.store (0); }

    int getBlockSize() const noexcept { return blockSize; }
    int getNumChannels() const noexcept { return numChannels; }
    int getFilled() const noexcept { return filled.load(); }
    int getSkip() const noexcept { return skip.load(); }

private:
    void copyIn (float* const* data, int sourceOffset, int destinationOffset, int count) noexcept;
    void deliver();

    std::atomic<int> skip { 0 };
    int blockSize;
    int numChannels;
    std::atomic<int> filled { 0 };
    std::vector<std::vector<float>> buffers;
    std::vector<float*> bufferPointers;
    std::vector<BlockCallback> callbacks;
};

} // namespace tarn
