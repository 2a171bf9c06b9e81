#pragma once

#include <array>
#include <atomic>

namespace tarn
{

// The processor's dither object: the five-tap error-feedback noise-shaping
// coefficients and three shelving sections whose design depends on the
// noise-shaping type (0, 1 or 2). It is configured and kept with the state;
// no stage of the audio path applies it.
class Dither
{
public:
    struct Coefficients
    {
        float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
        bool changed = false;
    };

    // One shaping section: five normalised biquad coefficients and a changed
    // flag, stored and read as a whole under a spin lock.
    class ShapingSection
    {
    public:
        void store (double b0, double b1, double b2, double a0, double a1, double a2) noexcept;
        Coefficients read() const noexcept;
        // Returns the coefficients and clears the changed flag.
        Coefficients take() noexcept;

    private:
        void lock() const noexcept;
        void unlock() const noexcept;

        mutable std::atomic<int> lockWord { 0 };
        Coefficients coefficients;
    };

    static constexpr std::array<float, 5> errorFeedbackCoefficients { 2.033f, -2.165f, 1.959f, -1.590f, 0.6149f };

    // The sections start zeroed and the type at 0; prepareToPlay follows the
    // construction with setNoiseShape (1).
    Dither (int numChannels, double sampleRate);

    // Designs the sections for type 0, 1 or 2 (message thread). Any other
    // type only sets the type and leaves the sections as they are.
    void setNoiseShape (int type);

    int getNoiseShape() const noexcept { return noiseShape.load(); }
    int getNumChannels() const noexcept { return numChannels; }
    double getSampleRate() const noexcept { return sampleRate; }
    const std::array<float, 10>& getErrorHistory() const noexcept { return errorHistory; }

    const ShapingSection& getShelfA() const noexcept { return shelfA; }
    const ShapingSection& getShelfB() const noexcept { return shelfB; }
    const ShapingSection& getShelfC() const noexcept { return shelfC; }
    ShapingSection& getShelfA() noexcept { return shelfA; }
    ShapingSection& getShelfB() noexcept { return shelfB; }
    ShapingSection& getShelfC() noexcept { return shelfC; }

private:
    void storeLowShelf (ShapingSection&, double frequency, float linearGain, double q) const noexcept;
    void storeHighShelf (ShapingSection&, double frequency, float linearGain, double q) const noexcept;

    std::array<float, 10> errorHistory {};
    const int numChannels;
    std::atomic<int> noiseShape { 0 };
    const double sampleRate;
    ShapingSection shelfA, shelfB, shelfC;
};

} // namespace tarn
