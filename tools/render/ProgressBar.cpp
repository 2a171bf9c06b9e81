#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace tarn::render
{

ProgressBar::ProgressBar (bool wanted, int numPasses)
    : enabled (wanted && isatty (STDERR_FILENO) == 1), passes (std::max (1, numPasses))
{
}

void ProgressBar::update (int pass, double fraction)
{
    if (! enabled)
        return;

    const auto now = std::chrono::steady_clock::now();
    if (drawn && now - lastDraw < std::chrono::milliseconds (100))
        return;

    lastDraw = now;
    draw (pass, fraction);
}

void ProgressBar::draw (int pass, double fraction)
{
    constexpr int width = 40;
    const double overall = std::clamp ((pass + std::clamp (fraction, 0.0, 1.0)) / passes, 0.0, 1.0);
    const int filled = (int) (overall * width);

    std::string bar (width, ' ');
    std::fill (bar.begin(), bar.begin() + filled, '#');

    if (passes > 1)
        std::fprintf (stderr, "\r  rendering [%s] %3d%%  pass %d/%d", bar.c_str(), (int) (overall * 100.0), pass + 1, passes);
    else
        std::fprintf (stderr, "\r  rendering [%s] %3d%%", bar.c_str(), (int) (overall * 100.0));
    std::fflush (stderr);
    drawn = true;
}

void ProgressBar::finish()
{
    if (! enabled || ! drawn)
        return;
    std::fprintf (stderr, "\r%*s\r", 80, "");
    std::fflush (stderr);
    drawn = false;
}

} // namespace tarn::render
