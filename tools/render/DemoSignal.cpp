#include "DemoSignal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tarn::render
{
namespace
{
constexpr double twoPi = 6.283185307179586;

// Small deterministic noise source (xorshift), uniform in [-1, 1).
struct Noise
{
    std::uint32_t state;

    float next() noexcept
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (float) ((double) state / 2147483648.0 - 1.0);
    }
};
} // namespace

juce::AudioBuffer<float> makeDemoSignal (double sampleRate, int numSamples)
{
    juce::AudioBuffer<float> buffer (2, numSamples);

    const double beat = 0.5; // seconds, 120 bpm
    const double chord[] = { 220.0, 277.18, 329.63, 440.0 };
    const double bassNotes[] = { 55.0, 55.0, 73.42, 65.41 };

    for (int channel = 0; channel < 2; ++channel)
    {
        Noise noise { channel == 0 ? 0x9e3779b9u : 0x7f4a7c15u };
        float previousNoise = 0.0f;
        float* out = buffer.getWritePointer (channel);
        const double detune = channel == 0 ? 0.998 : 1.002;

        for (int i = 0; i < numSamples; ++i)
        {
            const double t = i / sampleRate;
            const double inBeat = std::fmod (t, beat);
            const int beatIndex = (int) (t / beat);

            // Bass: a saw-like stack of six harmonics, one note per bar.
            const double bassFrequency = bassNotes[(beatIndex / 4) % 4];
            double bass = 0.0;
            for (int k = 1; k <= 6; ++k)
                bass += std::sin (twoPi * bassFrequency * k * t) / k;

            // Chords, slightly detuned between the channels.
            double pad = 0.0;
            for (double f : chord)
                pad += std::sin (twoPi * f * detune * t);

            // Kick on every beat: a falling sine with a fast decay.
            const double kickPhase = twoPi * (45.0 * inBeat + 75.0 * 0.03 * (1.0 - std::exp (-inBeat / 0.03)));
            const double kick = std::sin (kickPhase) * std::exp (-inBeat / 0.12);

            // Snare on the off-beats and hi-hats on every eighth: differenced noise.
            const float white = noise.next();
            const float bright = white - previousNoise;
            previousNoise = white;
            const double snare = (beatIndex % 2 == 1) ? white * std::exp (-inBeat / 0.08) : 0.0;
            const double inEighth = std::fmod (t, beat / 2.0);
            const double hat = bright * std::exp (-inEighth / 0.02);

            // Every two seconds a quarter-rate sine, sampled 45 degrees off its
            // peaks: its true peak lies 3 dB above its samples.
            const double inBurst = std::fmod (t, 2.0);
            const double burst = inBurst >= 1.5 && inBurst < 1.75 ? std::sin (0.5 * juce::MathConstants<double>::pi * i + 0.25 * juce::MathConstants<double>::pi) : 0.0;

            const double mix = 0.30 * bass + 0.06 * pad + 0.9 * kick + 0.35 * snare + 0.12 * hat + 0.8 * burst;

            // Driven into a hard clip at full scale.
            const double driven = 2.2 * mix;
            out[i] = (float) std::clamp (driven, -1.0, 1.0);
        }

        // A short fade in and a longer fade out, so that the file starts and
        // ends in silence as a mixdown does.
        const int fadeIn = std::min (numSamples, (int) (0.01 * sampleRate));
        const int fadeOut = std::min (numSamples, (int) (0.5 * sampleRate));
        for (int i = 0; i < fadeIn; ++i)
            out[i] *= (float) i / (float) fadeIn;
        for (int i = numSamples - fadeOut; i < numSamples; ++i)
            out[i] *= (float) (numSamples - 1 - i) / (float) fadeOut;
    }

    return buffer;
}

} // namespace tarn::render
