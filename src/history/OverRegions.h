#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tarn
{

/** An inclusive range of host sample positions where the output went above 0 dBFS. */
struct OverRegion
{
    std::uint64_t start;
    std::uint64_t end;

    friend bool operator== (const OverRegion&, const OverRegion&) = default;
};

/**
    The sorted, disjoint list of over regions, kept up to date one 20 ms output
    point at a time by the history worker and copied by the views.

    A region R reaches a position p when R.start <= p <= R.end + mergeGap.
    An over point (value > 0 dB) extends the region that reaches it, or starts
    a region {p, p}; a region that then reaches the start of the next one
    swallows it, so over points at most mergeGap apart form one region that
    ends at the last of them. A point that is not over cuts its slot out of
    the region it falls into: {s, e} becomes {s, p - 1} and {p + mergeGap, e},
    either of which disappears when empty. So replaying a passage with
    settings that no longer go over removes its regions slot by slot, and
    replaying it over again heals them.

    A cursor remembers the region touched last, so that a point following the
    previous one (the normal case during playback) is placed without a search.

    All operations take the list's mutex; update is called by one writer, copy
    by any thread.
*/
class OverRegions
{
public:
    explicit OverRegions (std::uint64_t mergeGap);

    /** Applies the output point (position, valueDb) of one 20 ms block. */
    void update (std::uint64_t position, float valueDb);

    /** Appends restored regions to the end of the list, under the mutex.
        They must be sorted, disjoint and each start after the list's last
        region ends; throws std::runtime_error "Over regions are not in order"
        (appending nothing) otherwise. */
    void append (const std::vector<OverRegion>& restored);

    /** A copy of the list, taken under the mutex. */
    std::vector<OverRegion> copy() const;

    std::uint64_t getMergeGap() const noexcept { return mergeGap; }

private:
    bool reaches (std::size_t i, std::uint64_t p) const noexcept;
    std::size_t findLocked (std::uint64_t p, bool& found) noexcept;
    void absorbFollowingLocked (std::size_t i);

    const std::uint64_t mergeGap;

    mutable std::mutex overRegionsMutex;
    std::vector<OverRegion> regions;
    std::size_t overCursor = 0; // index into regions; regions.size() stands for the end
};

} // namespace tarn
