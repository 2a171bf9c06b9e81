#include "processor/Dither.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <thread>

using tarn::Dither;

namespace
{

enum class Shelf { low, high };
enum class Section { a, b, c };

struct Design
{
    int type;
    Section section;
    Shelf shelf;
    double frequency;
    double linearGain;
    float amplitude; // A: the square root of the linear gain, single precision
    double q;
};

// The three designs, section by section.
const Design designs[] {
    { 0, Section::c, Shelf::low, 1000.0, 3.5, 1.87082875f, 0.75 },
    { 0, Section::a, Shelf::high, 1000.0, 0.35, 0.591607988f, 0.5 },
    { 0, Section::b, Shelf::high, 14000.0, 3.0, 1.73205078f, 2.5 },
    { 1, Section::c, Shelf::low, 1000.0, 5.0, 2.23606801f, 0.5 },
    { 1, Section::a, Shelf::high, 1000.0, 0.03, 0.173205078f, 0.5 },
    { 1, Section::b, Shelf::high, 14000.0, 10.0, 3.16227770f, 2.5 },
    { 2, Section::a, Shelf::high, 14000.0, 31.6, 5.62138796f, 1.0 },
    { 2, Section::b, Shelf::high, 400.0, 0.25, 0.5f, 1.0 },
};

Dither::Coefficients sectionOf (const Dither& dither, Section section)
{
    switch (section)
    {
        case Section::a: return dither.getShelfA().read();
        case Section::b: return dither.getShelfB().read();
        case Section::c: return dither.getShelfC().read();
    }
    return {};
}

double magnitudeAt (const Dither::Coefficients& c, double frequency, double sampleRate)
{
    const auto z1 = std::polar (1.0, -2.0 * std::numbers::pi * frequency / sampleRate);
    const auto z2 = z1 * z1;
    return std::abs (((double) c.b0 + (double) c.b1 * z1 + (double) c.b2 * z2) / (1.0 + (double) c.a1 * z1 + (double) c.a2 * z2));
}

bool sameCoefficients (const Dither::Coefficients& x, const Dither::Coefficients& y)
{
    return x.b0 == y.b0 && x.b1 == y.b1 && x.b2 == y.b2 && x.a1 == y.a1 && x.a2 == y.a2;
}

TEST (Dither, StartsZeroedWithTypeZeroAndTheErrorFeedbackFilter)
{
    const Dither dither (2, 48000.0);
    EXPECT_EQ (dither.getNoiseShape(), 0);
    EXPECT_EQ (dither.getNumChannels(), 2);
    EXPECT_EQ (dither.getSampleRate(), 48000.0);
    EXPECT_EQ (Dither::errorFeedbackCoefficients, (std::array<float, 5> { 2.033f, -2.165f, 1.959f, -1.590f, 0.6149f }));
    for (float e : dither.getErrorHistory())
        EXPECT_EQ (e, 0.0f);
    for (auto section : { Section::a, Section::b, Section::c })
    {
        const auto c = sectionOf (dither, section);
        EXPECT_TRUE (sameCoefficients (c, {}));
        EXPECT_FALSE (c.changed);
    }
}

// Independent of the formulas: a cookbook shelf has gain A^2 on its shelf
// side, 1 on the other and A at its corner frequency.
TEST (Dither, EachDesignHasItsShelfGainsAndCornerGain)
{
    for (double sampleRate : { 44100.0, 48000.0, 96000.0 })
        for (const auto& design : designs)
        {
            Dither dither (2, sampleRate);
            dither.setNoiseShape (design.type);
            const auto c = sectionOf (dither, design.section);
            const auto where = "type " + std::to_string (design.type) + " section " + std::to_string ((int) design.section)
                             + " at " + std::to_string (sampleRate);

            const double dc = magnitudeAt (c, 0.0, sampleRate);
            const double nyquist = magnitudeAt (c, sampleRate / 2.0, sampleRate);
            const double low = design.shelf == Shelf::low ? design.linearGain : 1.0;
            const double high = design.shelf == Shelf::high ? design.linearGain : 1.0;
            EXPECT_NEAR (dc / low, 1.0, 2e-3) << where;
            EXPECT_NEAR (nyquist / high, 1.0, 2e-3) << where;
            EXPECT_NEAR (magnitudeAt (c, design.frequency, sampleRate) / std::sqrt (design.linearGain), 1.0, 2e-3) << where;
            EXPECT_TRUE (c.changed) << where;
        }
}

// The stored values are the double-precision cookbook coefficients with the
// single-precision A and sqrt (A), divided by a0 and rounded to float.
TEST (Dither, StoresNormalisedCookbookCoefficientsAt48kHz)
{
    constexpr double sampleRate = 48000.0;
    for (const auto& design : designs)
    {
        const double a = design.amplitude;
        const double sqrtA = std::sqrt (design.amplitude);
        const double w = 2.0 * std::numbers::pi * design.frequency / sampleRate;
        const double cw = std::cos (w), alpha = std::sin (w) / (2.0 * design.q);
        const double s = design.shelf == Shelf::low ? 1.0 : -1.0; // the sign of the cos w terms
        const double b0 = a * ((a + 1) - s * (a - 1) * cw + 2 * sqrtA * alpha);
        const double b1 = s * 2 * a * ((a - 1) - s * (a + 1) * cw);
        const double b2 = a * ((a + 1) - s * (a - 1) * cw - 2 * sqrtA * alpha);
        const double a0 = (a + 1) + s * (a - 1) * cw + 2 * sqrtA * alpha;
        const double a1 = -s * 2 * ((a - 1) + s * (a + 1) * cw);
        const double a2 = (a + 1) + s * (a - 1) * cw - 2 * sqrtA * alpha;

        Dither dither (1, sampleRate);
        dither.setNoiseShape (design.type);
        const auto c = sectionOf (dither, design.section);
        const auto where = "type " + std::to_string (design.type) + " section " + std::to_string ((int) design.section);
        EXPECT_FLOAT_EQ (c.b0, (float) (b0 / a0)) << where;
        EXPECT_FLOAT_EQ (c.b1, (float) (b1 / a0)) << where;
        EXPECT_FLOAT_EQ (c.b2, (float) (b2 / a0)) << where;
        EXPECT_FLOAT_EQ (c.a1, (float) (a1 / a0)) << where;
        EXPECT_FLOAT_EQ (c.a2, (float) (a2 / a0)) << where;
    }
}

TEST (Dither, TypeTwoKeepsTheLowShelfOfTheTypeBefore)
{
    Dither reference (2, 48000.0);
    reference.setNoiseShape (0);
    const auto typeZeroLowShelf = reference.getShelfC().read();

    Dither dither (2, 48000.0);
    dither.setNoiseShape (0);
    dither.getShelfC().take();
    dither.setNoiseShape (2);

    EXPECT_EQ (dither.getNoiseShape(), 2);
    const auto c = dither.getShelfC().read();
    EXPECT_TRUE (sameCoefficients (c, typeZeroLowShelf));
    EXPECT_FALSE (c.changed);
    EXPECT_TRUE (dither.getShelfA().read().changed);
    EXPECT_TRUE (dither.getShelfB().read().changed);
}

TEST (Dither, UnknownTypeOnlySetsTheType)
{
    for (int type : { -1, 3, 42 })
    {
        Dither dither (2, 48000.0);
        dither.setNoiseShape (1);
        const auto a = dither.getShelfA().take(), b = dither.getShelfB().take(), c = dither.getShelfC().take();

        dither.setNoiseShape (type);
        EXPECT_EQ (dither.getNoiseShape(), type);
        for (const auto& [before, after] : { std::pair { a, dither.getShelfA().read() },
                                             std::pair { b, dither.getShelfB().read() },
                                             std::pair { c, dither.getShelfC().read() } })
        {
            EXPECT_TRUE (sameCoefficients (before, after)) << "type " << type;
            EXPECT_FALSE (after.changed) << "type " << type;
        }
    }
}

TEST (Dither, TakeClearsTheChangedFlagAndTheNextDesignSetsItAgain)
{
    Dither dither (2, 48000.0);
    dither.setNoiseShape (1);
    EXPECT_TRUE (dither.getShelfB().take().changed);
    EXPECT_FALSE (dither.getShelfB().read().changed);
    dither.setNoiseShape (1);
    EXPECT_TRUE (dither.getShelfB().read().changed);
}

// A reader on another thread sees either design's five coefficients, never
// a mixture.
TEST (Dither, ReadersNeverSeeAHalfStoredSection)
{
    Dither zero (2, 48000.0), one (2, 48000.0);
    zero.setNoiseShape (0);
    one.setNoiseShape (1);
    const auto designZero = zero.getShelfB().read(), designOne = one.getShelfB().read();

    Dither dither (2, 48000.0);
    dither.setNoiseShape (0);
    std::atomic<bool> done { false };
    std::atomic<int> torn { 0 };

    std::thread reader ([&] {
        while (! done)
        {
            const auto c = dither.getShelfB().read();
            if (! sameCoefficients (c, designZero) && ! sameCoefficients (c, designOne))
                ++torn;
        }
    });

    for (int i = 0; i < 20000; ++i)
        dither.setNoiseShape (i % 2);
    done = true;
    reader.join();

    EXPECT_EQ (torn.load(), 0);
}

} // namespace
