#include "processor/Dither.h"

#include <cmath>
#include <numbers>
#include <thread>

namespace tarn
{

void Dither::ShapingSection::lock() const noexcept
{
    int expected = 0;
    if (lockWord.compare_exchange_strong (expected, 1, std::memory_order_acquire))
        return;

    for (int attempt = 0; attempt < 20; ++attempt)
    {
        expected = 0;
        if (lockWord.compare_exchange_weak (expected, 1, std::memory_order_acquire))
            return;
    }

    for (;;)
    {
        expected = 0;
        if (lockWord.compare_exchange_weak (expected, 1, std::memory_order_acquire))
            return;
        std::this_thread::yield();
    }
}

void Dither::ShapingSection::unlock() const noexcept
{
    lockWord.exchange (0, std::memory_order_release);
}

void Dither::ShapingSection::store (double b0, double b1, double b2, double a0, double a1, double a2) noexcept
{
    lock();
    coefficients.b0 = static_cast<float> (b0 / a0);
    coefficients.b1 = static_cast<float> (b1 / a0);
    coefficients.b2 = static_cast<float> (b2 / a0);
    coefficients.a1 = static_cast<float> (a1 / a0);
    coefficients.a2 = static_cast<float> (a2 / a0);
    coefficients.changed = true;
    unlock();
}

Dither::Coefficients Dither::ShapingSection::read() const noexcept
{
    lock();
    const auto copy = coefficients;
    unlock();
    return copy;
}

Dither::Coefficients Dither::ShapingSection::take() noexcept
{
    lock();
    const auto copy = coefficients;
    coefficients.changed = false;
    unlock();
    return copy;
}

Dither::Dither (int channels, double rate)
    : numChannels (channels), sampleRate (rate)
{
}

// Shelving sections after the Audio EQ Cookbook. A is the square root of the
// linear gain and sqrt (A) its square root, both rounded to single precision;
// the rest runs in double precision.
namespace
{
    struct ShelfTerms
    {
        double a, sqrtA, cosW, alpha;
    };

    ShelfTerms shelfTerms (double frequency, float linearGain, double q, double sampleRate) noexcept
    {
        const float af = std::sqrt (linearGain);
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        return { (double) af, (double) std::sqrt (af), std::cos (w), std::sin (w) / (2.0 * q) };
    }
}

void Dither::storeLowShelf (ShapingSection& section, double frequency, float linearGain, double q) const noexcept
{
    const auto [a, sqrtA, cosW, alpha] = shelfTerms (frequency, linearGain, q, sampleRate);

    section.store (a * ((a + 1.0) - (a - 1.0) * cosW + 2.0 * sqrtA * alpha),
                   2.0 * a * ((a - 1.0) - (a + 1.0) * cosW),
                   a * ((a + 1.0) - (a - 1.0) * cosW - 2.0 * sqrtA * alpha),
                   (a + 1.0) + (a - 1.0) * cosW + 2.0 * sqrtA * alpha,
                   -2.0 * ((a - 1.0) + (a + 1.0) * cosW),
                   (a + 1.0) + (a - 1.0) * cosW - 2.0 * sqrtA * alpha);
}

void Dither::storeHighShelf (ShapingSection& section, double frequency, float linearGain, double q) const noexcept
{
    const auto [a, sqrtA, cosW, alpha] = shelfTerms (frequency, linearGain, q, sampleRate);

    section.store (a * ((a + 1.0) + (a - 1.0) * cosW + 2.0 * sqrtA * alpha),
                   -2.0 * a * ((a - 1.0) + (a + 1.0) * cosW),
                   a * ((a + 1.0) + (a - 1.0) * cosW - 2.0 * sqrtA * alpha),
                   (a + 1.0) - (a - 1.0) * cosW + 2.0 * sqrtA * alpha,
                   2.0 * ((a - 1.0) - (a + 1.0) * cosW),
                   (a + 1.0) - (a - 1.0) * cosW - 2.0 * sqrtA * alpha);
}

void Dither::setNoiseShape (int type)
{
    switch (type)
    {
        case 0:
            storeLowShelf (shelfC, 1000.0, 3.5f, 0.75);
            storeHighShelf (shelfA, 1000.0, 0.35f, 0.5);
            storeHighShelf (shelfB, 14000.0, 3.0f, 2.5);
            break;
        case 1:
            storeLowShelf (shelfC, 1000.0, 5.0f, 0.5);
            storeHighShelf (shelfA, 1000.0, 0.03f, 0.5);
            storeHighShelf (shelfB, 14000.0, 10.0f, 2.5);
            break;
        case 2:
            storeHighShelf (shelfA, 14000.0, 31.6f, 1.0);
            storeHighShelf (shelfB, 400.0, 0.25f, 1.0);
            break;
        default:
            break;
    }

    noiseShape = type;
}

} // namespace tarn
