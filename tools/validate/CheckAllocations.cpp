// The audio thread allocates nothing: heap allocations made on the
// processing thread inside processBlock, counted by interposing malloc/new
// (and mutex locks, by interposing pthread_mutex_lock), after warm-up blocks.
// The counted blocks carry what a session throws at a plug-in: automation of
// every parameter, transport starts and stops, a jump of the play head and
// the host's bypass.
//
// What is counted is everything on that thread inside the call: JUCE's
// hosting code, JUCE's plug-in wrapper and the plug-in. JUCE 7.0.5's
// wrappers allocate by themselves:
// - VST3: every block, setUpInputChannels (juce_VST3Common.h) copies the
//   input bus's channel mapping, std::vector included: one allocation per
//   block and input bus;
// - LV2: run (juce_LV2_Client.cpp) resizes its buffer keeping the content,
//   which reallocates whenever a block is longer than the one before.
// Those are counted apart; any allocation beyond them fails the check.
// Locks are reported, not judged: JUCE's host and wrappers lock on every
// block (host state, the callback lock, parameter listeners).

#include "ValidationHost.h"

#include <dlfcn.h>

namespace tarn::validate
{
namespace
{
struct Config
{
    double rate;
    int channels;
    int blockSize;
    bool varying;
};

// The interposed malloc is the one the plug-in's code resolves to.
bool countingReachesPlugins()
{
    using Malloc = void* (*) (size_t);
    auto* resolved = reinterpret_cast<Malloc> (dlsym (RTLD_DEFAULT, "malloc"));
    if (resolved == nullptr)
        return false;
    tarn::test::ScopedAllocationCount counting;
    void* p = resolved (24);
    const auto counts = counting.counts();
    std::free (p);
    return counts.allocations == 1;
}
} // namespace

void checkAllocations (Context& context)
{
    const auto format = context.binary.format;
    if (! tarn::test::allocationCountingAvailable() || ! countingReachesPlugins())
    {
        context.report.add ("audio thread allocates nothing", format, Result::notApplicable,
                            "allocation counting is not available in this build");
        return;
    }

    const std::vector<Config> configs { { 48000.0, 2, 512, false }, { 44100.0, 1, 64, false }, { 96000.0, 2, 1024, true } };
    uint64_t allocations = 0, wrapperAllocations = 0, locks = 0, blocks = 0;
    juce::StringArray where;

    for (const auto& config : configs)
    {
        const juce::String name = juce::String (config.rate / 1000.0, 1) + " kHz " + (config.channels == 1 ? "mono" : "stereo")
                                  + " block " + juce::String (config.blockSize) + (config.varying ? " varying" : "");
        Step step (context.report, format, "allocations " + name, 60);
        HostedPlugin host (context.plugins, context.binary);
        if (! host.isValid())
        {
            context.report.add ("audio thread allocates nothing", format, false, host.getError());
            return;
        }
        host.prepare (config.rate, config.blockSize, config.channels);
        host.playHead.position = 0;
        host.playHead.playing = true;

        // Warm-up: playback with one round of automation, so that what is
        // set up once per thread (thread-local storage) is.
        const int warmUp = (int) (0.25 * config.rate);
        Channels material;
        for (int c = 0; c < config.channels; ++c)
            material.push_back (tarn::test::denseMaterial (config.rate, warmUp + (int) config.rate, 30 + (uint32_t) c));
        Channels first, rest;
        for (const auto& y : material)
        {
            first.emplace_back (y.begin(), y.begin() + warmUp);
            rest.emplace_back (y.begin() + warmUp, y.end());
        }
        const auto sizes = config.varying ? varyingBlocks (config.blockSize, 99) : fixedBlocks (config.blockSize);
        int previousSize = 0;
        host.run (first, sizes, [&] (int block, int, int n)
        {
            if (block == 2 || block == 4)
                for (auto* p : host.get().getParameters())
                    if (p != host.bypass())
                        p->setValue (block == 2 ? 0.37f : p->getDefaultValue());
            previousSize = n;
        });

        // Counted: one second with automation and transport changes.
        auto& parameters = host.get().getParameters();
        uint32_t seed = 12345;
        juce::StringArray events;
        Channels data = rest;
        const int length = (int) rest[0].size();
        int block = 0;
        for (int start = 0; start < length; ++block)
        {
            const int n = std::min ({ sizes(), length - start, config.blockSize });
            juce::String event;
            if (block % 8 == 3)
            {
                // Every automatable parameter to a new value (the bypass too,
                // but back off straight away).
                for (auto* p : parameters)
                {
                    if (p == host.bypass())
                        continue;
                    seed = seed * 1664525u + 1013904223u;
                    p->setValue ((float) (seed >> 8) / (float) (1u << 24));
                }
                event = "automation";
            }
            if (block % 50 == 20)
            {
                host.playHead.playing = false;
                event = "transport stop";
            }
            if (block % 50 == 25)
            {
                host.playHead.playing = true;
                event = "transport start";
            }
            if (block == 70)
            {
                host.playHead.position = host.playHead.position + (int64_t) (10.0 * config.rate);
                event = "play head jump";
            }
            if (block == 90)
            {
                host.bypass()->setValue (1.0f);
                event = "bypass on";
            }
            if (block == 95)
            {
                host.bypass()->setValue (0.0f);
                event = "bypass off";
            }

            tarn::test::AllocationCounts counts;
            host.processBlock (data, start, n, &counts);
            const uint64_t known = format == Format::vst3 ? 1u : (n > previousSize ? 1u : 0u);
            previousSize = n;
            allocations += counts.allocations;
            wrapperAllocations += std::min (counts.allocations, known);
            locks += counts.locks;
            ++blocks;
            if (counts.allocations > known && where.size() < 6)
                where.add (name + " block " + juce::String (block) + (event.isEmpty() ? juce::String() : " (" + event + ")") + ": "
                           + juce::String ((int) counts.allocations) + " allocations");
            start += n;
        }
    }

    const auto unexplained = allocations - wrapperAllocations;
    const bool passed = unexplained == 0;
    juce::String reason = juce::String ((int) blocks) + " blocks (3 configurations, automation, transport, bypass): "
                          + juce::String ((int) unexplained) + " allocations beyond JUCE 7.0.5's wrapper's own ("
                          + juce::String ((int) wrapperAllocations)
                          + (format == Format::vst3 ? ", one per block" : ", one per block longer than the one before")
                          + "); " + juce::String ((int) locks) + " mutex locks";
    if (! where.isEmpty())
        reason << "; " << where.joinIntoString ("; ");
    context.report.add ("audio thread allocates nothing", format, passed, reason);
}

} // namespace tarn::validate
