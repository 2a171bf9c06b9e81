#include "history/OverRegions.h"

#include <algorithm>
#include <stdexcept>

namespace tarn
{

OverRegions::OverRegions (std::uint64_t mergeGapToUse)
    : mergeGap (mergeGapToUse)
{
}

bool OverRegions::reaches (std::size_t i, std::uint64_t p) const noexcept
{
    const auto& r = regions[i];
    return r.start <= p && (p <= r.end || p - r.end <= mergeGap);
}

// Returns the index of the region that reaches p (found) or the index before
// which a region starting at p belongs, and moves the cursor there.
std::size_t OverRegions::findLocked (std::uint64_t p, bool& found) noexcept
{
    const std::size_t size = regions.size();
    const std::size_t c = std::min (overCursor, size);

    if (c < size && reaches (c, p))
    {
        found = true;
        return c;
    }

    const bool afterPrevious = c == 0 || (p > regions[c - 1].end && p - regions[c - 1].end > mergeGap);
    const bool beforeCursor = c == size || p < regions[c].start;

    if (afterPrevious && beforeCursor)
    {
        found = false;
        return c;
    }

    // The regions are disjoint and sorted, so their reach ends are sorted too:
    // the first region whose reach does not end before p either reaches p or
    // starts after it.
    const auto it = std::partition_point (regions.begin(), regions.end(), [p, this] (const OverRegion& r)
    {
        return p > r.end && p - r.end > mergeGap;
    });

    const auto i = (std::size_t) (it - regions.begin());
    found = i < size && regions[i].start <= p;
    overCursor = i;
    return i;
}

void OverRegions::absorbFollowingLocked (std::size_t i)
{
    auto& r = regions[i];

    while (i + 1 < regions.size() && (regions[i + 1].start <= r.end || regions[i + 1].start - r.end <= mergeGap))
    {
        r.end = std::max (r.end, regions[i + 1].end);
        regions.erase (regions.begin() + (std::ptrdiff_t) (i + 1));
    }
}

void OverRegions::update (std::uint64_t p, float valueDb)
{
    const bool over = valueDb > 0.0f;
    std::lock_guard<std::mutex> lock (overRegionsMutex);

    bool found = false;
    const std::size_t i = findLocked (p, found);

    if (over)
    {
        if (found)
            regions[i].end = std::max (regions[i].end, p);
        else
            regions.insert (regions.begin() + (std::ptrdiff_t) i, OverRegion { p, p });

        absorbFollowingLocked (i);
        overCursor = i;
        return;
    }

    if (! found)
        return;

    const OverRegion old = regions[i];

    // A point past the region's last over point falls into its reach but not
    // into the region itself: nothing to cut.
    if (p > old.end)
    {
        overCursor = i + 1;
        return;
    }

    const bool tail = p < old.end && old.end - p >= mergeGap; // {p + mergeGap, e} not empty
    const bool head = p > old.start;                          // {s, p - 1} not empty
    std::size_t next = i;

    if (head)
    {
        regions[i].end = p - 1;
        next = i + 1;

        if (tail)
            regions.insert (regions.begin() + (std::ptrdiff_t) next, OverRegion { p + mergeGap, old.end });
    }
    else if (tail)
    {
        regions[i].start = p + mergeGap;
    }
    else
    {
        regions.erase (regions.begin() + (std::ptrdiff_t) i);
    }

    overCursor = next;
}

std::vector<OverRegion> OverRegions::copy() const
{
    std::lock_guard<std::mutex> lock (overRegionsMutex);
    return regions;
}

void OverRegions::append (const std::vector<OverRegion>& restored)
{
    std::lock_guard<std::mutex> lock (overRegionsMutex);

    const OverRegion* previous = regions.empty() ? nullptr : &regions.back();
    for (const auto& region : restored)
    {
        if (region.end < region.start || (previous != nullptr && region.start <= previous->end))
            throw std::runtime_error ("Over regions are not in order");
        previous = &region;
    }

    regions.insert (regions.end(), restored.begin(), restored.end());
}

} // namespace tarn
