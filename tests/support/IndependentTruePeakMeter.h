#pragma once

#include "support/TestSignals.h"

namespace tarn::test
{

// True peak measured by libebur128 (ITU-R BS.1770 oversampling meter), an
// implementation independent of the engine's own resamplers. Returns the
// largest true peak over all channels as a linear amplitude. libebur128
// oversamples 4x below 96 kHz, 2x below 192 kHz and not at all above.
double independentTruePeak (const Channels& channels, double sampleRate, int skipSamples = 0);

// Near-ideal reconstruction: libsoxr at its very-high-quality setting, flat to
// 0.995 of Nyquist and stopping at Nyquist, 32 times oversampled (the grid
// itself reads at most 0.01 dB low at Nyquist, less below). Shares only the
// library with the engine, none of its settings. Returns the largest
// magnitude over all channels, linear. A +-2000-tap Kaiser-windowed sinc
// agrees with it to 0.02 dB on the limiter's output.
double referenceTruePeak (const Channels& channels, double sampleRate);

} // namespace tarn::test
