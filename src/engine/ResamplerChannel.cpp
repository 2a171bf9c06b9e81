#include "engine/ResamplerChannel.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tarn
{

namespace
{
    constexpr const char* overflowMessage =
        "Too many ouput samples received from resampling implementation, cannot fit into internal buffer";

    // Free room kept behind the pending samples for one library call.
    constexpr size_t libraryCallRoom = 8192;

    // Input samples fed one at a time at construction to find the output
    // schedule; covers the start-up and many periods of the library's block
    // pattern.
    constexpr int scheduleProbeLength = 16384;

    // Edge of the pass band relative to the host Nyquist frequency: 20 kHz
    // where the host Nyquist is at most 24 kHz (the band the ear hears at
    // 44.1 and 48 kHz), 0.907 of Nyquist above that and at low rates.
    //
    // The two directions are made consistent, so that the host-rate output is
    // the waveform the limiter produced:
    //  - up, the stop band starts at the host Nyquist frequency. The limiter
    //    then only sees content the host signal really has; with the stop band
    //    above Nyquist, the images of the band between the pass-band edge and
    //    Nyquist would reach the limiter only partly rejected, be limited as
    //    if they were signal, and be removed again on the way down, which
    //    leaves the host-rate waveform a few tenths of a dB above the limited
    //    one (measured on dense clipped material at 44.1 and 48 kHz).
    //  - down, the stop band starts as far above Nyquist as the pass band ends
    //    below it: flat over the band the limiter saw, aliases of the pass
    //    band fully rejected, and only the band between its edge and Nyquist
    //    may fold (it holds little more than the spread of the gain
    //    modulation). A narrower transition here would cost latency for no
    //    measurable gain.
    double passbandEnd (double hostRate)
    {
        const double nyquist = 0.5 * hostRate;
        constexpr double wide = 0.907;
        return nyquist <= 24000.0 ? std::min (20000.0 / nyquist, wide) : wide;
    }
} // namespace

struct ResamplerChannel::Implementation
{
    soxr_t resampler = nullptr;
    std::vector<float> zeros;

    ~Implementation()
    {
        if (resampler != nullptr)
            soxr_delete (resampler);
    }
};

ResamplerChannel::ResamplerChannel (double sourceRate, double destinationRate, int maxInputLengthToUse)
    : impl (std::make_unique<Implementation>()),
      maxInputLength (maxInputLengthToUse)
{
    if (! (sourceRate > 0.0) || ! (destinationRate > 0.0) || ! std::isfinite (sourceRate) || ! std::isfinite (destinationRate))
        throw std::invalid_argument ("Resampling rates must be positive");

    const double lower = std::min (sourceRate, destinationRate);
    const double upper = std::max (sourceRate, destinationRate);
    const double ratio = upper / lower;
    const auto factor = (int) std::lround (ratio);

    if (factor < 1 || factor > 8 || std::abs (ratio - factor) > 1.0e-9 * factor)
        throw std::invalid_argument ("Resampling ratio must be an integer from 1 to 8");

    chunk.assign ((size_t) chunkLength, 0.0f);

    if (factor == 1)
    {
        overflow = std::make_unique<BoundedQueue<float>> (0u);
        return;
    }

    if (destinationRate > sourceRate)
        upFactor = factor;
    else
        downFactor = factor;

    // The library only sees the ratio; the band edges are relative to the
    // host Nyquist frequency, so pull-down rates keep the exact ratio.
    const double end = passbandEnd (lower);
    auto quality = soxr_quality_spec (SOXR_HQ, SOXR_LINEAR_PHASE);
    quality.passband_end = end;
    quality.stopband_begin = upFactor > 1 ? 1.0 : 2.0 - end;

    // Small transforms keep the library's block bursts, and so the latency,
    // short.
    auto runtime = soxr_runtime_spec (1);
    runtime.log2_min_dft_size = 8;
    runtime.log2_large_dft_size = 10;

    const auto io = soxr_io_spec (SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_error_t error = nullptr;
    impl->resampler = soxr_create ((double) downFactor, (double) upFactor, 1, &error, &io, &quality, &runtime);

    if (error != nullptr || impl->resampler == nullptr)
        throw std::runtime_error (std::string ("Cannot create resampler: ") + (error != nullptr ? error : "unknown error"));

    impl->zeros.assign ((size_t) chunkLength, 0.0f);

    // Schedule probe: feed zeros one at a time and find the smallest delay L
    // for which the library, whatever the block sizes, has always produced
    // the outputsDueAfter (N) samples due after N inputs. The library
    // compensates its own filter delay, so its output sample i belongs to
    // input time i * destination / source; holding back L input samples is
    // all that is needed.
    {
        const auto probeLength = (int64_t) scheduleProbeLength * downFactor;
        int64_t received = 0;
        int64_t delay = 0;
        float scratch[libraryCallRoom];

        for (int64_t n = 1; n <= probeLength; ++n)
        {
            size_t consumed = 0, produced = 0;
            soxr_process (impl->resampler, impl->zeros.data(), 1, &consumed, scratch, libraryCallRoom, &produced);
            received += (int64_t) produced;

            const int64_t needed = upFactor > 1 ? n - received / upFactor : n - received * downFactor;
            delay = std::max (delay, needed);
        }

        // A whole number of host samples when downsampling.
        delay = (delay + downFactor - 1) / downFactor * downFactor;
        scheduleDelay = delay;

        libraryInput = probeLength;
        libraryOutput = received;
    }

    // Flushing on clear() must wash the filter memory out completely.
    flushLength = (int) ((2 * scheduleDelay + 4096 + downFactor - 1) / downFactor * downFactor);

    const auto maxPending = (size_t) ((scheduleDelay + 2 * chunkLength) * upFactor / downFactor + 16);
    pending.assign (maxPending + 2 * libraryCallRoom, 0.0f);

    // Warm the library up with full chunks so that its internal buffers reach
    // their final size here and never grow in process().
    samplesToDrop = std::numeric_limits<int64_t>::max();
    for (int i = 0; i < 64; ++i)
    {
        feedLibrary (nullptr, chunkLength);
        pendingStart = pendingEnd = 0;
    }

    overflow = std::make_unique<BoundedQueue<float>> (0u);
    clear();

    // Latency probe: single zeros, one per call, until a call returns output.
    int calls = 0;
    float sink[8] = {};
    const float zero = 0.0f;
    for (;;)
    {
        ++calls;
        if (process (&zero, sink, 1, 8) > 0)
            break;
    }

    latencySamples = calls - 1;
    overflow = std::make_unique<BoundedQueue<float>> ((uint32_t) (2 * latencySamples));
    clear();
}

ResamplerChannel::~ResamplerChannel() = default;

int64_t ResamplerChannel::outputsDueAfter (int64_t inputs) const noexcept
{
    if (inputs <= scheduleDelay)
        return 0;

    const auto running = inputs - scheduleDelay;
    return upFactor > 1 ? running * upFactor : (running + downFactor - 1) / downFactor;
}

void ResamplerChannel::feedLibrary (const float* input, int count)
{
    const float* source = input != nullptr ? input : impl->zeros.data();
    size_t taken = 0;

    for (;;)
    {
        if (pending.size() - pendingEnd < libraryCallRoom)
        {
            const auto held = pendingEnd - pendingStart;
            std::memmove (pending.data(), pending.data() + pendingStart, held * sizeof (float));
            pendingStart = 0;
            pendingEnd = held;
        }

        const auto room = pending.size() - pendingEnd;
        size_t consumed = 0, produced = 0;
        soxr_process (impl->resampler, source + taken, (size_t) count - taken, &consumed,
                      pending.data() + pendingEnd, room, &produced);

        taken += consumed;
        libraryInput += (int64_t) consumed;
        libraryOutput += (int64_t) produced;

        // Dropping only happens while nothing is held (right after clear()).
        const auto dropped = (size_t) std::min<int64_t> (samplesToDrop, (int64_t) produced);
        samplesToDrop -= (int64_t) dropped;
        if (dropped > 0)
            pendingStart = pendingEnd + dropped;
        pendingEnd += produced;

        if (taken >= (size_t) count && produced < room)
            break;
    }
}

void ResamplerChannel::takePending (float* output, int count) noexcept
{
    const auto available = (int) (pendingEnd - pendingStart);
    const int taken = std::min (count, available);
    std::memcpy (output, pending.data() + pendingStart, (size_t) taken * sizeof (float));
    pendingStart += (size_t) taken;

    // The schedule probe makes this unreachable; should the library ever fall
    // behind, silence keeps the stream length and alignment intact.
    if (taken < count)
    {
        std::fill (output + taken, output + count, 0.0f);
        shortfalls += count - taken;
    }
}

int ResamplerChannel::process (const float* input, float* output, int numInput, int maxOutput)
{
    int written = 0;

    if (maxOutput > 0 && ! overflow->empty())
    {
        const auto moved = (int) std::min<uint32_t> (overflow->size(), (uint32_t) maxOutput);
        for (int i = 0; i < moved; ++i)
            output[written++] = overflow->pop();
    }

    const bool passThrough = upFactor == 1 && downFactor == 1;

    for (int offset = 0; offset < numInput; offset += chunkLength)
    {
        const int count = std::min (chunkLength, numInput - offset);

        // Non-finite samples would poison the filter memory; treat them as
        // silence.
        float* const clean = chunk.data();
        for (int i = 0; i < count; ++i)
        {
            const float x = input[offset + i];
            clean[i] = std::isfinite (x) ? x : 0.0f;
        }

        int produced;
        if (passThrough)
        {
            produced = count;
        }
        else
        {
            feedLibrary (clean, count);
            produced = (int) (outputsDueAfter (inputCount + count) - outputsDueAfter (inputCount));
        }
        inputCount += count;

        const int excess = written + produced - maxOutput;
        const int direct = excess > 0 ? produced - excess : produced;

        if (excess > 0 && overflow->size() + (uint32_t) excess > overflow->capacity())
            throw std::runtime_error (overflowMessage);

        if (passThrough)
        {
            std::memcpy (output + written, clean, (size_t) direct * sizeof (float));
            for (int i = direct; i < produced; ++i)
                overflow->push (clean[i]);
        }
        else
        {
            takePending (output + written, direct);
            for (int i = direct; i < produced; ++i)
            {
                float sample;
                takePending (&sample, 1);
                overflow->push (sample);
            }
        }

        written += direct;
        releasedCount += produced;
    }

    return written;
}

void ResamplerChannel::clear()
{
    overflow->clear();
    inputCount = 0;
    releasedCount = 0;

    if (impl->resampler == nullptr)
        return;

    // Resetting the library itself frees and reallocates its buffers, so
    // flush it with zeros instead and drop everything it returns up to the
    // end of the flush: the stream then restarts at the next input sample.
    // The flush ends on a whole output sample of the library's stream.
    samplesToDrop = std::numeric_limits<int64_t>::max();
    const auto flushTarget = (libraryInput + flushLength + downFactor - 1) / downFactor * downFactor;
    while (libraryInput < flushTarget)
        feedLibrary (nullptr, (int) std::min<int64_t> (chunkLength, flushTarget - libraryInput));

    const auto flushEnd = libraryInput * upFactor / downFactor;
    samplesToDrop = flushEnd - libraryOutput;
    pendingStart = pendingEnd = 0;
}

} // namespace tarn
