#pragma once

#include "analytics/GoogleAnalyticsDestination.h"
#include "support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace tarn::test
{

using AnalyticsEvent = juce::AnalyticsDestination::AnalyticsEvent;

inline juce::StringPairArray pairsOf (std::initializer_list<std::pair<const char*, const char*>> list)
{
    juce::StringPairArray pairs;
    for (const auto& [key, value] : list)
        pairs.set (key, value);
    return pairs;
}

inline juce::StringPairArray testUserProperties()
{
    return pairsOf ({ { "dimension1", "TarnLimiterStereo" },
                      { "dimension2", "2.0.3" },
                      { "dimension3", "Test Box (x86_64)" },
                      { "dimension4", "Linux 6.1" },
                      { "dimension5", "Unknown" } });
}

inline AnalyticsEvent makeEvent (const juce::String& name, int type, juce::StringPairArray parameters,
                                 const juce::String& userId = "c0ffee", juce::uint32 timestamp = 1234)
{
    AnalyticsEvent event;
    event.name = name;
    event.eventType = type;
    event.timestamp = timestamp;
    event.parameters = std::move (parameters);
    event.userID = userId;
    event.userProperties = testUserProperties();
    return event;
}

// The five user properties of testUserProperties() as they appear in a line.
inline const std::string testDimensions =
    "&dimension1=TarnLimiterStereo&dimension2=2.0.3&dimension3=Test%20Box%20(x86_64)"
    "&dimension4=Linux%206.1&dimension5=Unknown";

inline const std::string linePrefix = std::string ("v=1&aip=1&tid=") + GoogleAnalyticsDestination::defaultApiKey;

// All body lines of all requests received so far, in arrival order.
inline std::vector<std::string> bodyLines (const LoopbackHttpServer& server)
{
    std::vector<std::string> lines;
    for (const auto& request : server.requests())
    {
        std::size_t start = 0;
        while (start <= request.body.size())
        {
            const auto end = request.body.find ('\n', start);
            lines.push_back (request.body.substr (start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    return lines;
}

inline bool waitForLines (const LoopbackHttpServer& server, std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds (10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (bodyLines (server).size() < count)
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        server.waitForRequests (server.requests().size() + 1, std::chrono::milliseconds (50));
    }
    return true;
}

// A folder under the system's temporary folder, deleted with the object.
struct TemporaryFolder
{
    TemporaryFolder()
        : folder (juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("tarn_analytics_test", {}, false))
    {
        folder.createDirectory();
    }
    ~TemporaryFolder() { folder.deleteRecursively(); }

    juce::File folder;
};

// Options for a destination posting to server, with short periods.
inline GoogleAnalyticsDestination::Options testOptions (const std::string& baseUrl, const juce::File& savedEventsFile)
{
    GoogleAnalyticsDestination::Options options;
    options.batchUrl = juce::URL (juce::String (baseUrl) + "/batch");
    options.savedEventsFile = savedEventsFile;
    options.initialPeriodMs = 100;
    options.maximumPeriodMs = 400;
    options.shutdownGraceMs = 0;
    options.stopTimeoutMs = 2000;
    options.connectionTimeoutMs = 2000;
    return options;
}

} // namespace tarn::test
