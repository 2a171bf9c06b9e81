#pragma once

#include <chrono>

namespace tarn::render
{

// A one-line progress bar on stderr for long renders, redrawn at most ten
// times a second; only when stderr is a terminal.
class ProgressBar
{
public:
    ProgressBar (bool wanted, int numPasses);

    // fraction of the given pass (0-based) done, 0 to 1.
    void update (int pass, double fraction);

    // Clears the bar.
    void finish();

private:
    void draw (int pass, double fraction);

    const bool enabled;
    const int passes;
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw {};
};

} // namespace tarn::render
