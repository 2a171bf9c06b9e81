#pragma once

#include "support/TestSignals.h"

namespace tarn::test
{

// True peak measured by libebur128 (ITU-R BS.1770 oversampling meter), an
// implementation independent of the engine's own resamplers. Returns the
// largest true peak over all channels as a linear amplitude. libebur128
// oversamples 4x below 96 kHz, 2x below 192 kHz and not at all above.
double independentTruePeak (const Channels& channels, double sampleRate, int skipSamples = 0);

} // namespace tarn::test
