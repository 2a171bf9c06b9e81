#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

namespace tarn::render
{

// The demo's programme: bass, chords, kick, snare and hi-hat in a 120 bpm
// pattern, with bursts of a quarter-rate sine sampled off its peaks, driven
// into a hard clip at full scale. Loud, with true peaks well above its sample
// peak: the material a true-peak limiter is for. Fades in over 10 ms and out
// over the last 0.5 s. Stereo, deterministic.
juce::AudioBuffer<float> makeDemoSignal (double sampleRate, int numSamples);

} // namespace tarn::render
