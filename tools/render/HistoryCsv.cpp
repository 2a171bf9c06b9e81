#include "HistoryCsv.h"

#include "RenderOptions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

namespace tarn::render
{
namespace
{
void appendValue (std::string& line, float value)
{
    line += ',';
    if (std::isnan (value) || value == std::numeric_limits<float>::infinity())
        return; // nothing recorded
    if (value == -std::numeric_limits<float>::infinity())
    {
        line += "-inf";
        return;
    }
    char text[32];
    std::snprintf (text, sizeof (text), "%.3f", (double) value);
    line += text;
}
} // namespace

std::size_t writeHistoryCsv (const tarn::HistoryTruePeakBrickWallLimiter& limiter, const HistoryTimeBase& timeBase,
                             const juce::File& file)
{
    const std::array<const tarn::SectorisedHistoryVector*, 4> series {
        &limiter.getSeries (tarn::HistorySeries::limitedLevel), &limiter.getSeries (tarn::HistorySeries::gainReduction),
        &limiter.getSeries (tarn::HistorySeries::threshold), &limiter.getSeries (tarn::HistorySeries::outputLevel)
    };

    std::uint64_t last = 0;
    for (const auto* s : series)
        last = std::max (last, s->getMaxIndex());
    const std::uint64_t rows = last + 1;

    const auto path = file.getFullPathName().toStdString();
    std::unique_ptr<std::FILE, int (*) (std::FILE*)> out (std::fopen (path.c_str(), "w"), &std::fclose);
    if (out == nullptr)
        throw RenderError (RenderError::fileError, "cannot write the history '" + path + "'");

    std::fputs ("slot,host_position,audio_time_s,limited_true_peak_db,gain_reduction_db,threshold_db,output_true_peak_db\n",
                out.get());

    std::string line;
    for (std::uint64_t slot = 0; slot < rows; ++slot)
    {
        const auto position = timeBase.hostPositionAtSlotEnd (slot);
        char head[96];
        std::snprintf (head, sizeof (head), "%llu,%llu,%.6f", (unsigned long long) slot, (unsigned long long) position,
                       timeBase.audioSecondsAt (position));
        line = head;
        for (const auto* s : series)
            appendValue (line, s->get (slot));
        line += '\n';
        std::fputs (line.c_str(), out.get());
    }

    if (std::ferror (out.get()) != 0 || std::fflush (out.get()) != 0)
        throw RenderError (RenderError::fileError, "cannot write the history '" + path + "'");
    return (std::size_t) rows;
}

} // namespace tarn::render
