#pragma once

#include <boost/circular_buffer.hpp>

#include <cstddef>
#include <limits>
#include <mutex>
#include <vector>

namespace tarn
{

/** The latest few 20 ms values of one meter; the oldest drops out when a new
    one arrives while it is full. */
using MeterWindow = boost::circular_buffer<float>;

/**
    One kind of meter window (for example the output level), either the
    overall window or one window per channel, all under one mutex. The
    history worker pushes, the message thread reads peaks.
*/
class MeterWindows
{
public:
    /** Throws std::length_error "circular_buffer" for a capacity the ring cannot hold. */
    MeterWindows (std::size_t count, std::size_t capacity)
        : windows (count, MeterWindow (capacity))
    {
    }

    void push (std::size_t window, float value)
    {
        std::lock_guard<std::mutex> lock (mutex);
        windows[window].push_back (value);
    }

    /** The largest value in the window; minus infinity when it is empty or
        the window does not exist. */
    float peak (std::size_t window) const
    {
        float best = -std::numeric_limits<float>::infinity();
        std::lock_guard<std::mutex> lock (mutex);

        if (window >= windows.size())
            return best;

        for (float v : windows[window])
            if (v > best)
                best = v;

        return best;
    }

    std::size_t size() const noexcept { return windows.size(); }
    std::size_t capacity() const noexcept { return windows.empty() ? 0 : windows.front().capacity(); }

private:
    mutable std::mutex mutex;
    std::vector<MeterWindow> windows;
};

} // namespace tarn
