// Measures the candidate resampling libraries for the oversampling path:
// pass-band flatness to 20 kHz, rejection of images (up) and aliases (down)
// of the pass band, and the speed of stereo up+down in 512-sample blocks.
//
//   resampler_quality            all candidates at 44.1 and 48 kHz
//
// zita-resampler is a plain polyphase FIR (half-length hlen, cutoff frel);
// libsoxr a multi-stage DFT filter, wrapped by ResamplerChannel.
#include "engine/ResamplerChannel.h"

#include <soxr.h>
#include <zita-resampler/resampler.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace
{
constexpr double pi = 3.14159265358979323846;

// Processes n input samples, returns the output count.
using Stage = std::function<int (const float*, int, float*, int)>;

struct Candidate
{
    const char* name;
    std::function<Stage (double from, double to)> make;
};

void report (const std::vector<double>& h, double rate, int d, double gain, const char* direction)
{
    auto level = [&] (double f)
    {
        std::complex<double> sum = 0.0;
        for (size_t n = 0; n < h.size(); ++n)
            if (h[n] != 0.0)
                sum += h[n] * std::polar (1.0, -2.0 * pi * f / (rate * d) * (double) n);
        return 20.0 * std::log10 (std::abs (sum) / gain + 1.0e-30);
    };
    double low = 1.0e9, high = -1.0e9, stop = -1.0e9, at = 0.0;
    for (double f = 0.0; f <= 20000.0; f += 100.0)
    {
        low = std::min (low, level (f));
        high = std::max (high, level (f));
    }
    for (double f = rate - 20000.0; f <= rate * d / 2; f += 37.0)
        if (const double v = level (f); v > stop)
        {
            stop = v;
            at = f;
        }
    std::printf ("    %-4s pass band %+.4f..%+.4f dB, stop band max %.1f dB at %.0f Hz\n", direction, low, high, stop, at);
}

std::vector<float> run (Stage& stage, const std::vector<float>& in, int block, int maxRatio)
{
    std::vector<float> out, buffer ((size_t) (block * maxRatio + 64));
    for (size_t o = 0; o < in.size(); o += (size_t) block)
    {
        const int n = (int) std::min<size_t> ((size_t) block, in.size() - o);
        const int got = stage (in.data() + o, n, buffer.data(), (int) buffer.size());
        out.insert (out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

void measure (const Candidate& candidate, double rate, int d)
{
    std::printf ("  %s at %.0f Hz (d=%d)\n", candidate.name, rate, d);

    // Up: the response to a click, located by its peak.
    {
        auto up = candidate.make (rate, rate * d);
        std::vector<float> click (16000, 0.0f);
        click[8000] = 1.0f;
        const auto out = run (up, click, 500, d);
        report (std::vector<double> (out.begin(), out.end()), rate, d, d, "up");
    }
    // Down: the high-rate filter from d clicks at consecutive phases.
    {
        std::vector<double> h ((size_t) 32000 * d, 0.0);
        for (int p = 0; p < d; ++p)
        {
            auto down = candidate.make (rate * d, rate);
            std::vector<float> click ((size_t) 16000 * d, 0.0f);
            click[(size_t) (8000 * d + p)] = 1.0f;
            const auto out = run (down, click, 500 * d, 1);
            for (size_t m = 0; m < out.size(); ++m)
                h[m * (size_t) d - (size_t) p + (size_t) 8000 * d] = d * (double) out[m];
        }
        report (h, rate, d, d, "down");
    }
    // Speed: stereo, up then down, 512-sample host blocks, 20 s of noise.
    {
        std::vector<Stage> up, down;
        for (int c = 0; c < 2; ++c)
        {
            up.push_back (candidate.make (rate, rate * d));
            down.push_back (candidate.make (rate * d, rate));
        }
        std::mt19937 random (1u);
        std::normal_distribution<float> noise (0.0f, 0.25f);
        std::vector<float> x (512), y ((size_t) 512 * d + 64), z (600);
        for (auto& v : x)
            v = noise (random);
        const auto total = (long) (rate * 20.0);
        const auto start = std::chrono::steady_clock::now();
        for (long done = 0; done < total; done += 512)
            for (int c = 0; c < 2; ++c)
            {
                const int u = up[(size_t) c] (x.data(), 512, y.data(), (int) y.size());
                down[(size_t) c] (y.data(), u, z.data(), (int) z.size());
            }
        const double seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
        std::printf ("    up+down stereo: %.0fx realtime\n", 20.0 / seconds);
    }
}

Candidate zita (int hlen, double frel, const char* name)
{
    return { name, [hlen, frel] (double from, double to)
             {
                 const bool up = to > from;
                 const int d = (int) std::lround (up ? to / from : from / to);
                 auto r = std::make_shared<Resampler>();
                 r->setup (up ? 1 : d, up ? d : 1, 1, (unsigned) hlen, frel);
                 // Prime so that output j lines up with input time j * to / from.
                 r->inp_count = (unsigned) -r->inpdist();
                 r->inp_data = nullptr;
                 r->out_count = 1u << 20;
                 r->out_data = nullptr;
                 r->process();
                 return Stage ([r] (const float* in, int n, float* out, int room)
                               {
                                   r->inp_count = (unsigned) n;
                                   r->inp_data = const_cast<float*> (in);
                                   r->out_count = (unsigned) room;
                                   r->out_data = out;
                                   r->process();
                                   return room - (int) r->out_count;
                               });
             } };
}

Candidate channel()
{
    return { "ResamplerChannel (libsoxr HQ, linear phase, 20 kHz pass; stop from fs/2 up, fs-20 kHz down)", [] (double from, double to)
             {
                 auto c = std::make_shared<tarn::ResamplerChannel> (from, to, 8192);
                 return Stage ([c] (const float* in, int n, float* out, int room) { return c->process (in, out, n, room); });
             } };
}

} // namespace

int main()
{
    const Candidate candidates[] = {
        zita (32, 1.0, "zita-resampler hlen=32 frel=1.0"),
        zita (48, 1.0, "zita-resampler hlen=48 frel=1.0"),
        zita (64, 1.0, "zita-resampler hlen=64 frel=1.0"),
        zita (48, 1.0 - 2.6 / 48, "zita-resampler hlen=48 frel=default"),
        channel(),
    };
    for (const auto& candidate : candidates)
        for (const auto& [rate, d] : { std::pair { 44100.0, 5 }, std::pair { 48000.0, 4 } })
            measure (candidate, rate, d);
}
