#include "ProcessorTestHelpers.h"

#include "analytics/AnalyticsSetup.h"
#include "support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{
std::vector<std::string> linesOf (const tarn::test::LoopbackHttpServer& server)
{
    std::vector<std::string> lines;
    for (const auto& request : server.requests())
    {
        std::size_t start = 0;
        while (start <= request.body.size())
        {
            const auto end = std::min (request.body.find ('\n', start), request.body.size());
            lines.push_back (request.body.substr (start, end - start));
            start = end + 1;
        }
    }
    return lines;
}

// The pairs of a line up to (not including) the user properties.
std::string eventPairs (const std::string& line)
{
    const auto t = line.find ("&t=event");
    const auto dimensions = line.find ("&dimension1=");
    auto pairs = line.substr (t, dimensions - t);
    // The client id is a hash of this machine's identifiers.
    const auto cid = pairs.find ("&cid=");
    const auto next = pairs.find ('&', cid + 1);
    return pairs.substr (0, cid) + "&cid=*" + pairs.substr (next);
}

// The processor's own events, from construction to destruction, as the
// collection server receives them.
TEST (ProcessorAnalytics, StartupParameterChangesAndShutdownReachTheServer)
{
    tarn::test::LoopbackHttpServer server;
    ::setenv (tarn::analyticsUrlEnvironmentVariable, server.baseUrl().c_str(), 1);
    {
        TarnLimiterAudioProcessor processor;
        setPlain (processor, "Threshold", -6.5f);
        setPlain (processor, "MaxTarget", -1.0f);
    }
    ::unsetenv (tarn::analyticsUrlEnvironmentVariable);

    ASSERT_TRUE (server.waitForRequests (1, std::chrono::seconds (10)));
    for (int i = 0; i < 100 && linesOf (server).size() < 7; ++i)
        std::this_thread::sleep_for (std::chrono::milliseconds (100));

    std::vector<std::string> pairs;
    for (const auto& line : linesOf (server))
        pairs.push_back (eventPairs (line));

    const auto os = juce::URL::addEscapeChars (juce::SystemStats::getOperatingSystemName(), true).toStdString();
    EXPECT_EQ (pairs, (std::vector<std::string> {
        "&t=event&cid=*&ec=Plugin&ea=Startup&el=",
        "&t=event&cid=*&ec=User&ea=Unknown&el=",
        "&t=event&cid=*&ec=User&ea=" + os + "&el=",
        "&t=event&cid=*&ec=User&ea=Undefined&el=",
        "&t=event&cid=*&ec=User&ea=Threshold&el=-6.50",
        "&t=event&cid=*&ec=User&ea=&el=-1.00",
        "&t=event&cid=*&ec=Plugin&ea=Shutdown&el=" }));

    const auto lines = linesOf (server);
    ASSERT_FALSE (lines.empty());
    EXPECT_NE (lines[0].find ("&dimension1=TarnLimiterStereo&dimension2=2.0.3&dimension3="), std::string::npos);
    EXPECT_NE (lines[0].find ("&dimension5=Unknown"), std::string::npos);

    // The destinations live in the framework's singleton; this stops them.
    juce::Analytics::deleteInstance();
}

} // namespace
