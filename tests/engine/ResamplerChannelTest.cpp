#include "engine/ResamplerChannel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
using tarn::ResamplerChannel;

constexpr double pi = 3.14159265358979323846;

struct RateCase
{
    double hostRate;
    int factor;
};

const RateCase allRates[] = {
    { 44100.0, 5 }, { 48000.0, 4 }, { 88200.0, 3 }, { 96000.0, 2 }, { 192000.0, 1 },
    { 32000.0, 6 }, { 22050.0, 8 }, { 8000.0, 8 }, { 24000.0, 8 }, { 44055.944, 5 }, { 47952.0, 4 },
};

std::string rateName (const testing::TestParamInfo<RateCase>& info)
{
    auto name = std::to_string ((long) std::lround (info.param.hostRate * 1000.0)) + "mHz_x" + std::to_string (info.param.factor);
    return name;
}

// Output samples due after 'inputs' input samples for a channel of the given
// latency.
int64_t expectedTotal (int64_t inputs, int latency, int up, int down)
{
    if (inputs <= latency)
        return 0;
    const auto running = inputs - latency;
    return up > 1 ? running * up : (running + down - 1) / down;
}

// Runs the whole signal through one channel in blocks of the given size,
// with room for every sample produced.
std::vector<float> runThrough (ResamplerChannel& channel, const std::vector<float>& input, int block, int ratioUp)
{
    std::vector<float> out;
    std::vector<float> buffer ((size_t) (block * ratioUp + 16));
    for (size_t offset = 0; offset < input.size(); offset += (size_t) block)
    {
        const int n = (int) std::min<size_t> ((size_t) block, input.size() - offset);
        const int got = channel.process (input.data() + offset, buffer.data(), n, (int) buffer.size());
        out.insert (out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

int probeLatency (ResamplerChannel& channel)
{
    const float zero = 0.0f;
    float sink[16];
    int calls = 0;
    while (calls < 100000)
    {
        ++calls;
        if (channel.process (&zero, sink, 1, 16) > 0)
            break;
    }
    channel.clear();
    return calls - 1;
}

class ResamplerChannelRates : public testing::TestWithParam<RateCase>
{
};

// Counts: after the latency every call yields exactly n * d (up) or n / d
// (down), for any mix of block sizes, and the running total never deviates
// from the schedule during start-up either.
TEST_P (ResamplerChannelRates, ExactCountsWithVaryingBlockSizes)
{
    const auto [rate, d] = GetParam();
    ResamplerChannel up (rate, rate * d, 8192);
    ResamplerChannel down (rate * d, rate, 8192 * d);

    if (d == 1)
    {
        EXPECT_EQ (up.latency(), 0);
        EXPECT_EQ (down.latency(), 0);
    }
    EXPECT_EQ (down.latency() % d, 0);

    std::mt19937 random (1234u + (unsigned) d);
    std::uniform_int_distribution<int> blockSize (1, 8192);
    std::normal_distribution<float> noise (0.0f, 0.3f);

    std::vector<float> host (8192), high ((size_t) 8192 * d + 16), back (8192 + 16);
    int64_t hostIn = 0, highIn = 0, highOut = 0, hostOut = 0;

    for (int call = 0; call < 120; ++call)
    {
        const int n = call < 3 ? 1 + call : blockSize (random);
        for (int i = 0; i < n; ++i)
            host[(size_t) i] = noise (random);

        const int u = up.process (host.data(), high.data(), n, n * d);
        hostIn += n;
        highOut += u;
        ASSERT_EQ (highOut, expectedTotal (hostIn, up.latency(), d, 1)) << "call " << call;
        if (hostIn - n >= up.latency())
        {
            ASSERT_EQ (u, n * d) << "call " << call;
        }

        // The downsampler sees whatever the upsampler delivered: arbitrary
        // counts during start-up, multiples of d afterwards.
        const int w = down.process (high.data(), back.data(), u, n);
        highIn += u;
        hostOut += w;
        ASSERT_EQ (hostOut, expectedTotal (highIn, down.latency(), 1, d)) << "call " << call;
        if (highIn - u >= down.latency())
        {
            ASSERT_EQ (w, u / d) << "call " << call;
        }
    }
}

// The probe of single zeros finds the latency again, also after clear().
TEST_P (ResamplerChannelRates, ProbeFindsLatencyAfterClear)
{
    const auto [rate, d] = GetParam();
    ResamplerChannel up (rate, rate * d, 512);
    ResamplerChannel down (rate * d, rate, 512 * d);

    std::vector<float> noise (3000, 0.5f);
    runThrough (up, noise, 300, d);
    runThrough (down, noise, 300, 1);
    up.clear();
    down.clear();

    EXPECT_EQ (probeLatency (up), up.latency());
    EXPECT_EQ (probeLatency (down), down.latency());
}

// Alignment: a click through the upsampler peaks at d times its input index,
// symmetrically; a click through the downsampler at index k * d comes out at
// index k; a band-limited click through both comes back where it went in.
TEST_P (ResamplerChannelRates, StreamHasNoIntrinsicDelay)
{
    const auto [rate, d] = GetParam();
    const int clickAt = 3001;

    {
        ResamplerChannel up (rate, rate * d, 1024);
        std::vector<float> click (8000, 0.0f);
        click[clickAt] = 1.0f;
        const auto out = runThrough (up, click, 700, d);
        ASSERT_GT (out.size(), (size_t) (clickAt * d + 200));

        // The upsampler's stop band starts at the host Nyquist frequency, so
        // the click keeps the share of the host band the filter passes (all
        // of it when the rates are equal): the
        // transition is symmetric about its middle, which lies halfway
        // between the pass-band edge and Nyquist.
        const double nyquist = 0.5 * rate;
        const double edge = nyquist <= 24000.0 ? std::min (20000.0 / nyquist, 0.907) : 0.907;
        const auto peak = std::max_element (out.begin(), out.end(), [] (float a, float b) { return std::abs (a) < std::abs (b); });
        EXPECT_EQ (peak - out.begin(), clickAt * d);
        EXPECT_NEAR (*peak, d == 1 ? 1.0 : 0.5 * (edge + 1.0), 1.0e-4);
        for (int k = 1; k < 200; ++k)
            ASSERT_NEAR (out[(size_t) (clickAt * d - k)], out[(size_t) (clickAt * d + k)], 2.0e-6f) << k;
    }

    {
        ResamplerChannel down (rate * d, rate, 1024 * d);
        std::vector<float> click ((size_t) 8000 * d, 0.0f);
        click[(size_t) clickAt * d] = 1.0f;
        const auto out = runThrough (down, click, 700 * d, 1);
        ASSERT_GT (out.size(), (size_t) clickAt + 100);

        const auto peak = std::max_element (out.begin(), out.end(), [] (float a, float b) { return std::abs (a) < std::abs (b); });
        EXPECT_EQ (peak - out.begin(), clickAt);
        for (int k = 1; k < 50; ++k)
            ASSERT_NEAR (out[(size_t) (clickAt - k)], out[(size_t) (clickAt + k)], 2.0e-6f) << k;
    }

    {
        // A click band-limited well inside the pass band.
        ResamplerChannel up (rate, rate * d, 1024);
        ResamplerChannel down (rate * d, rate, 1024 * d);
        const double cutoff = std::min (15000.0, 0.35 * rate) / rate;
        std::vector<float> click (8000, 0.0f);
        for (int i = -400; i <= 400; ++i)
        {
            const double x = 2.0 * cutoff * i;
            const double sinc = i == 0 ? 1.0 : std::sin (pi * x) / (pi * x);
            const double window = 0.5 + 0.5 * std::cos (pi * i / 401.0);
            click[(size_t) (clickAt + i)] = (float) (0.9 * sinc * window);
        }

        const auto high = runThrough (up, click, 333, d);
        const auto back = runThrough (down, high, 333 * d, 1);
        ASSERT_GT (back.size(), (size_t) clickAt + 500);
        EXPECT_EQ (back.size(), click.size() - (size_t) (up.latency() + down.latency() / d));

        for (int i = clickAt - 450; i <= clickAt + 450; ++i)
            ASSERT_NEAR (back[(size_t) i], click[(size_t) i], 2.0e-4f) << i;
    }
}

INSTANTIATE_TEST_SUITE_P (Rates, ResamplerChannelRates, testing::ValuesIn (allRates), rateName);

TEST (ResamplerChannel, RejectsRatesThatAreNotAnIntegerRatio)
{
    EXPECT_THROW (ResamplerChannel (44100.0, 48000.0, 512), std::invalid_argument);
    EXPECT_THROW (ResamplerChannel (48000.0, 48000.0 * 9, 512), std::invalid_argument);
    EXPECT_THROW (ResamplerChannel (0.0, 48000.0, 512), std::invalid_argument);
}

TEST (ResamplerChannel, EqualRatesPassSamplesThrough)
{
    ResamplerChannel channel (192000.0, 192000.0, 512);
    EXPECT_EQ (channel.latency(), 0);

    std::vector<float> in (700), out (700);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = std::sin (0.01f * (float) i);

    EXPECT_EQ (channel.process (in.data(), out.data(), 700, 700), 700);
    EXPECT_EQ (in, out);
}

// clear() restores the post-construction behaviour: the same counts and
// (up to the rounding of the library's transforms) the same samples.
TEST (ResamplerChannel, ClearBehavesLikeConstruction)
{
    for (const auto& [rate, d] : { RateCase { 48000.0, 4 }, RateCase { 44100.0, 5 } })
    {
        std::mt19937 random (99u);
        std::normal_distribution<float> noise (0.0f, 0.3f);
        std::vector<float> signal (20000), loud (7777);
        for (auto& x : signal)
            x = noise (random);
        for (auto& x : loud)
            x = 4.0f * noise (random);

        for (bool up : { true, false })
        {
            const double source = up ? rate : rate * d;
            const double destination = up ? rate * d : rate;
            const int ratioUp = up ? d : 1;

            ResamplerChannel fresh (source, destination, 4096);
            const auto expected = runThrough (fresh, signal, 257, ratioUp);

            ResamplerChannel used (source, destination, 4096);
            runThrough (used, loud, 1000, ratioUp);
            used.clear();
            const auto again = runThrough (used, signal, 257, ratioUp);

            ASSERT_EQ (again.size(), expected.size());
            for (size_t i = 0; i < again.size(); ++i)
                ASSERT_NEAR (again[i], expected[i], 1.0e-5f) << "rate " << rate << (up ? " up " : " down ") << i;
        }
    }
}

// Output beyond maxOutput is carried over in order and comes out first on the
// next call; more than the queue can hold is an error.
TEST (ResamplerChannel, SurplusGoesThroughTheOverflowQueue)
{
    const double rate = 48000.0;
    std::vector<float> signal (6000);
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = (float) std::sin (0.05 * (double) i);

    ResamplerChannel reference (rate, rate * 4, 1024);
    const auto expected = runThrough (reference, signal, 500, 4);

    ResamplerChannel capped (rate, rate * 4, 1024);
    std::vector<float> got, buffer (4096);
    int call = 0;
    for (size_t offset = 0; offset < signal.size(); offset += 500)
    {
        // Alternately short of and above the 2000 samples produced per call.
        const int cap = (call++ % 2 == 0) ? 1850 : 2150;
        const int n = capped.process (signal.data() + offset, buffer.data(), 500, cap);
        ASSERT_LE (n, cap);
        got.insert (got.end(), buffer.begin(), buffer.begin() + n);
    }

    ASSERT_LE (got.size(), expected.size());
    EXPECT_GE (got.size() + (size_t) (2 * capped.latency()), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ (got[i], expected[i]) << i;

    // With maxOutput 0 everything goes to the queue until it is full.
    ResamplerChannel starved (rate, rate * 4, 1024);
    const int capacity = 2 * starved.latency();
    std::vector<float> ones (8192, 0.25f);
    starved.process (ones.data(), buffer.data(), starved.latency(), 0);
    int queued = 0;
    try
    {
        for (;;)
        {
            EXPECT_EQ (starved.process (ones.data(), buffer.data(), 1, 0), 0);
            queued += 4;
            ASSERT_LE (queued, capacity);
        }
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ (error.what(), "Too many ouput samples received from resampling implementation, cannot fit into internal buffer");
    }
    EXPECT_GT (queued + 4, capacity);
}

// Frequency response from the impulse response of the channel (up), or of the
// high-rate filter assembled from d shifted clicks (down).
std::vector<double> impulseResponse (double rate, int d, bool up)
{
    const int centre = 4000;
    std::vector<double> response;

    if (up)
    {
        ResamplerChannel channel (rate, rate * d, 1024);
        std::vector<float> click (8000, 0.0f);
        click[centre] = 1.0f;
        const auto out = runThrough (channel, click, 1000, d);
        for (size_t i = 0; i < out.size(); ++i)
            response.push_back (out[i]);
        return response;
    }

    response.assign ((size_t) 16000 * d, 0.0);
    for (int phase = 0; phase < d; ++phase)
    {
        ResamplerChannel channel (rate * d, rate, 1024 * d);
        std::vector<float> click ((size_t) 8000 * d, 0.0f);
        const int at = centre * d + phase;
        click[(size_t) at] = 1.0f;
        const auto out = runThrough (channel, click, 1000 * d, 1);
        for (size_t m = 0; m < out.size(); ++m)
            response[(size_t) ((int) m * d - at + 8000 * d)] = d * (double) out[m];
    }
    return response;
}

double responseDb (const std::vector<double>& h, double frequency, double highRate, double gain)
{
    std::complex<double> sum = 0.0;
    const double step = -2.0 * pi * frequency / highRate;
    for (size_t n = 0; n < h.size(); ++n)
        if (h[n] != 0.0)
            sum += h[n] * std::polar (1.0, step * (double) n);
    return 20.0 * std::log10 (std::abs (sum) / gain + 1.0e-30);
}

struct BandCase
{
    double rate;
    int factor;
    bool up;
};

class ResamplerChannelBands : public testing::TestWithParam<BandCase>
{
};

TEST_P (ResamplerChannelBands, FlatPassBandAndDeepStopBand)
{
    const auto [rate, d, up] = GetParam();
    const auto h = impulseResponse (rate, d, up);
    const double highRate = rate * d;

    double worstPass = 0.0;
    for (double f = 0.0; f <= 20000.0; f += 100.0)
        worstPass = std::max (worstPass, std::abs (responseDb (h, f, highRate, d)));
    EXPECT_LT (worstPass, 0.1);

    // Up: everything from the host Nyquist frequency on, so that the limiter
    // sees no image of anything the host signal holds. Down: what would alias
    // into the pass band.
    double worstStop = -400.0, at = 0.0;
    for (double f = up ? rate / 2 : rate - 20000.0; f <= highRate / 2; f += 37.0)
    {
        const double level = responseDb (h, f, highRate, d);
        if (level > worstStop)
        {
            worstStop = level;
            at = f;
        }
    }
    EXPECT_LT (worstStop, -120.0) << "at " << at << " Hz";
}

INSTANTIATE_TEST_SUITE_P (Bands, ResamplerChannelBands,
                          testing::Values (BandCase { 44100.0, 5, true }, BandCase { 44100.0, 5, false },
                                           BandCase { 48000.0, 4, true }, BandCase { 48000.0, 4, false },
                                           BandCase { 96000.0, 2, true }, BandCase { 96000.0, 2, false }),
                          [] (const testing::TestParamInfo<BandCase>& info)
                          { return std::to_string ((int) info.param.rate) + (info.param.up ? "_up" : "_down"); });

// A non-finite sample is taken as silence and leaves no trace in the state.
TEST (ResamplerChannel, NonFiniteInputIsSilence)
{
    std::vector<float> clean (4000, 0.0f), dirty (4000, 0.0f);
    for (size_t i = 0; i < clean.size(); ++i)
        clean[i] = dirty[i] = 0.1f * (float) std::sin (0.03 * (double) i);
    clean[1000] = 0.0f;
    dirty[1000] = std::numeric_limits<float>::quiet_NaN();
    clean[1500] = 0.0f;
    dirty[1500] = std::numeric_limits<float>::infinity();

    ResamplerChannel a (48000.0, 192000.0, 512), b (48000.0, 192000.0, 512);
    const auto expected = runThrough (a, clean, 256, 4);
    const auto got = runThrough (b, dirty, 256, 4);
    ASSERT_EQ (got, expected);
}

} // namespace
