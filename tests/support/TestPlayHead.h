#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

namespace tarn::test
{

// A host transport for programs that drive the processor themselves: playing
// or stopped, with or without positions. advance() moves the position on by a
// block while playing. (Header only: tarn_test_support has no JUCE code.)
class TestPlayHead : public juce::AudioPlayHead
{
public:
    bool playing = true;
    bool reportsPosition = true;
    juce::int64 position = 0;

    juce::Optional<PositionInfo> getPosition() const override
    {
        if (! reportsPosition)
            return {};
        PositionInfo info;
        info.setIsPlaying (playing);
        info.setTimeInSamples (position);
        return info;
    }

    void advance (int samples)
    {
        if (playing)
            position += samples;
    }
};

} // namespace tarn::test
