#include "AnalyticsTestHelpers.h"

#include "analytics/AnalyticsEventQueue.h"
#include "analytics/AnalyticsSetup.h"

#include <cstdlib>

using namespace tarn;
using namespace tarn::test;
using namespace std::chrono_literals;

namespace
{

// --- Line format (no network) -------------------------------------------------

struct LineCase
{
    const char* what;
    AnalyticsEvent event;
    std::string expected;
};

TEST (GoogleAnalyticsLine, PairsInOrderWithEscapedValues)
{
    const std::vector<LineCase> cases {
        { "threshold change", makeEvent ("Threshold", 1, pairsOf ({ { "label", "-6.50" } })),
          linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Threshold&el=-6.50" + testDimensions },
        { "parameter without its own name", makeEvent ("", 1, pairsOf ({ { "label", "-1.00" } })),
          linePrefix + "&t=event&cid=c0ffee&ec=User&ea=&el=-1.00" + testDimensions },
        { "startup", makeEvent ("Startup", 0, pairsOf ({ { "label", "" } })),
          linePrefix + "&t=event&cid=c0ffee&ec=Plugin&ea=Startup&el=" + testDimensions },
        { "button click without parameters", makeEvent ("Reset Clicked", 1, {}),
          linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Reset%20Clicked" + testDimensions },
        { "exception text is escaped", makeEvent ("Exception Thrown", 0, pairsOf ({ { "label", "bad & worse=1\n" } })),
          linePrefix + "&t=event&cid=c0ffee&ec=Plugin&ea=Exception%20Thrown&el=bad%20%26%20worse%3D1%0A" + testDimensions },
        { "only the exact key 'label' gives el", makeEvent ("Threshold", 1, pairsOf ({ { "Label", "1.00" } })),
          linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Threshold" + testDimensions },
        { "unknown type sends t and cid only", makeEvent ("Threshold", 2, pairsOf ({ { "label", "1.00" } })),
          linePrefix + "&t=event&cid=c0ffee" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (GoogleAnalyticsDestination::buildEventLine (GoogleAnalyticsDestination::defaultApiKey, c.event).toStdString(),
                   c.expected)
            << c.what;
}

TEST (GoogleAnalyticsLine, LaterKeyOfTheSameNameReplacesEarlierInPlace)
{
    auto event = makeEvent ("Threshold", 1, pairsOf ({ { "label", "2.00" } }));
    event.userProperties = pairsOf ({ { "EA", "overridden" }, { "dimension1", "x" } });

    EXPECT_EQ (GoogleAnalyticsDestination::buildEventLine ("k", event).toStdString(),
               "v=1&aip=1&tid=k&t=event&cid=c0ffee&ec=User&ea=overridden&el=2.00&dimension1=x");
}

TEST (GoogleAnalyticsLine, ApiKeyIsFourteenCharactersOfLettersDigitsAndHyphens)
{
    const juce::String key (GoogleAnalyticsDestination::defaultApiKey);
    EXPECT_EQ (key.length(), 14);
    EXPECT_TRUE (key.containsOnly ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-"));
}

// --- Collection URL ---------------------------------------------------------------

TEST (AnalyticsUrl, EnvironmentOverridesSettingsAndOnlyAcceptableUrlsEnableUploads)
{
    struct Case
    {
        const char* settings;
        const char* environment;
        const char* expected; // nullptr: analytics off
    };

    const Case cases[] {
        { "", nullptr, nullptr },
        { "https://collect.example.org", nullptr, "https://collect.example.org/batch" },
        { "  https://collect.example.org/  ", nullptr, "https://collect.example.org/batch" },
        { "https://collect.example.org/batch", nullptr, "https://collect.example.org/batch" },
        { "https://collect.example.org/ga", nullptr, "https://collect.example.org/ga/batch" },
        { "https://collect.example.org:8443", nullptr, "https://collect.example.org:8443/batch" },
        { "", "https://env.example.org", "https://env.example.org/batch" },
        { "https://settings.example.org", "https://env.example.org", "https://env.example.org/batch" },
        { "https://settings.example.org", "", nullptr }, // set but empty: switched off
        { "http://collect.example.org", nullptr, nullptr }, // no plain http off the machine
        { "http://127.0.0.1:8080", nullptr, "http://127.0.0.1:8080/batch" },
        { "http://localhost:9", nullptr, "http://localhost:9/batch" },
        { "ftp://collect.example.org", nullptr, nullptr },
        { "not a url", nullptr, nullptr },
        { "https://", nullptr, nullptr },
    };

    for (const auto& c : cases)
    {
        const auto url = resolveAnalyticsBatchUrl (c.settings, c.environment);
        const auto where = std::string ("settings '") + c.settings + "' environment '"
                         + (c.environment != nullptr ? c.environment : "<unset>") + "'";
        const std::string got = url.has_value() ? url->toString (true).toStdString() : "<off>";
        EXPECT_EQ (got, c.expected != nullptr ? c.expected : "<off>") << where;
    }
}

class AnalyticsSingletonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::unsetenv (analyticsUrlEnvironmentVariable);
        juce::PropertiesFile::Options options;
        options.applicationName = "TarnLimiter2";
        options.filenameSuffix = ".settings";
        settings = std::make_unique<juce::PropertiesFile> (temporary.folder.getChildFile ("TarnLimiter2.settings"), options);
    }

    void TearDown() override
    {
        ::unsetenv (analyticsUrlEnvironmentVariable);
        // Destroys the registered destinations: they stop their threads.
        juce::Analytics::deleteInstance();
    }

    GoogleAnalyticsDestination::Options optionsFor (const LoopbackHttpServer& server)
    {
        return testOptions (server.baseUrl(), temporary.folder.getChildFile ("analytics_events.xml"));
    }

    TemporaryFolder temporary;
    std::unique_ptr<juce::PropertiesFile> settings;
};

TEST_F (AnalyticsSingletonTest, NothingIsRegisteredWithoutACollectionUrl)
{
    EXPECT_EQ (registerAnalyticsDestination (settings.get()), nullptr);
    EXPECT_EQ (registerAnalyticsDestination (nullptr), nullptr);

    settings->setValue (analyticsUrlSettingsKey, "https://collect.example.org");
    ::setenv (analyticsUrlEnvironmentVariable, "", 1);
    EXPECT_EQ (registerAnalyticsDestination (settings.get()), nullptr);
}

// The whole path: URL from the settings file, the plug-in's events through
// logAnalyticsEvent and through the real-time hand-off, lines as the service
// receives them.
TEST_F (AnalyticsSingletonTest, EventsReachTheServerConfiguredInTheSettingsFile)
{
    LoopbackHttpServer server;
    settings->setValue (analyticsUrlSettingsKey, juce::String (server.baseUrl()));

    auto* analytics = juce::Analytics::getInstance();
    analytics->setUserId ("c0ffee");
    analytics->setUserProperties (testUserProperties());

    auto* destination = registerAnalyticsDestination (settings.get(), optionsFor (server));
    ASSERT_NE (destination, nullptr);

    AnalyticsEventQueue realtimeEvents (8);
    logAnalyticsEvent ("Startup", "", 0);
    ASSERT_TRUE (realtimeEvents.pushValue ("Threshold", -6.5f, 1));
    ASSERT_TRUE (realtimeEvents.pushValue ("", 3.0f, 1)); // MaxTarget has no event name of its own
    EXPECT_EQ (realtimeEvents.forwardToAnalytics(), 2u);
    analytics->logEvent ("Reset Clicked", {}, 1);

    ASSERT_TRUE (waitForLines (server, 4));
    EXPECT_EQ (bodyLines (server), (std::vector<std::string> {
        linePrefix + "&t=event&cid=c0ffee&ec=Plugin&ea=Startup&el=" + testDimensions,
        linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Threshold&el=-6.50" + testDimensions,
        linePrefix + "&t=event&cid=c0ffee&ec=User&ea=&el=3.00" + testDimensions,
        linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Reset%20Clicked" + testDimensions }));

    for (const auto& request : server.requests())
    {
        EXPECT_EQ (request.method, "POST");
        EXPECT_EQ (request.target, "/batch");
    }
}

TEST_F (AnalyticsSingletonTest, WithTwoInstancesEveryEventIsSentTwice)
{
    LoopbackHttpServer server;
    auto options = optionsFor (server);
    juce::Analytics::getInstance()->addDestination (new GoogleAnalyticsDestination (options));
    options.savedEventsFile = temporary.folder.getChildFile ("second.xml");
    juce::Analytics::getInstance()->addDestination (new GoogleAnalyticsDestination (options));

    logAnalyticsEvent ("Threshold", "-1.00", 1);

    ASSERT_TRUE (waitForLines (server, 2));
    std::this_thread::sleep_for (300ms);
    const auto lines = bodyLines (server);
    ASSERT_EQ (lines.size(), 2u);
    EXPECT_EQ (lines[0], lines[1]);
}

// --- Batching, backoff, persistence ----------------------------------------------

TEST (GoogleAnalyticsDestinationThread, HasItsNameAndSendsBatchesOfAtMostTwenty)
{
    LoopbackHttpServer server;
    TemporaryFolder temporary;
    GoogleAnalyticsDestination destination (testOptions (server.baseUrl(), temporary.folder.getChildFile ("events.xml")));

    EXPECT_EQ (destination.getMaximumBatchSize(), 20);

    for (int i = 0; i < 45; ++i)
        destination.logEvent (makeEvent ("Threshold", 1, pairsOf ({ { "label", juce::String (i).toRawUTF8() } })));

    ASSERT_TRUE (waitForLines (server, 45));
    const auto requests = server.requests();
    ASSERT_GE (requests.size(), 3u);
    for (const auto& request : requests)
        EXPECT_LE (std::count (request.body.begin(), request.body.end(), '\n') + 1, 20);

    const auto lines = bodyLines (server);
    for (int i = 0; i < 45; ++i)
        EXPECT_NE (lines[(size_t) i].find ("&el=" + std::to_string (i) + "&"), std::string::npos) << "line " << i;
}

TEST (GoogleAnalyticsDestinationThread, ThreadIsNamedGoogleAnalyticsThread)
{
    TemporaryFolder temporary;
    std::atomic<bool> seen { false };
    juce::String threadName;

    LoopbackHttpServer server;
    auto options = testOptions (server.baseUrl(), temporary.folder.getChildFile ("events.xml"));
    std::mutex mutex;
    options.onUploadAttempt = [&] (bool, int) {
        const std::lock_guard lock (mutex);
        if (auto* thread = juce::Thread::getCurrentThread())
            threadName = thread->getThreadName();
        seen = true;
    };
    GoogleAnalyticsDestination destination (options);
    destination.logEvent (makeEvent ("Startup", 0, {}));

    for (int i = 0; i < 200 && ! seen; ++i)
        std::this_thread::sleep_for (25ms);

    const std::lock_guard lock (mutex);
    EXPECT_EQ (threadName, "GoogleAnalyticsThread");
}

TEST (GoogleAnalyticsBackoff, PeriodDoublesUpToTheBoundAndNeverOverflows)
{
    int period = GoogleAnalyticsDestination::defaultInitialPeriodMs;
    std::vector<int> periods;
    for (int failure = 0; failure < 40; ++failure)
        periods.push_back (period = GoogleAnalyticsDestination::nextPeriodMs (period, false, 1000, GoogleAnalyticsDestination::defaultMaximumPeriodMs));

    // Three failures: 8 s between the third and the fourth attempt.
    EXPECT_EQ (periods[2], 8000);
    EXPECT_EQ (periods[7], 256000);
    EXPECT_EQ (periods[8], 300000);
    EXPECT_EQ (periods.back(), 300000);
    EXPECT_EQ (GoogleAnalyticsDestination::nextPeriodMs (300000, true, 1000, 300000), 1000);
}

TEST (GoogleAnalyticsBackoff, FailedUploadsDoubleThePeriodAndASuccessResetsIt)
{
    LoopbackHttpServer server;
    using Reply = LoopbackHttpServer::Reply;
    server.scriptReplies ({ Reply::serverError, Reply::dropConnection, Reply::serverError, Reply::dropConnection });

    TemporaryFolder temporary;
    auto options = testOptions (server.baseUrl(), temporary.folder.getChildFile ("events.xml"));
    std::mutex mutex;
    std::vector<std::pair<bool, int>> attempts;
    options.onUploadAttempt = [&] (bool success, int period) {
        const std::lock_guard lock (mutex);
        attempts.emplace_back (success, period);
    };

    GoogleAnalyticsDestination destination (options);
    destination.logEvent (makeEvent ("Startup", 0, pairsOf ({ { "label", "" } })));

    ASSERT_TRUE (server.waitForRequests (5, 10s));
    for (int i = 0; i < 100; ++i)
    {
        {
            const std::lock_guard lock (mutex);
            if (attempts.size() >= 5)
                break;
        }
        std::this_thread::sleep_for (10ms);
    }

    {
        const std::lock_guard lock (mutex);
        const std::vector<std::pair<bool, int>> expected { { false, 200 }, { false, 400 }, { false, 400 }, { false, 400 }, { true, 100 } };
        EXPECT_EQ (attempts, expected);
    }
    EXPECT_EQ (destination.getCurrentPeriodMs(), 100);

    // The same batch is retried, and no attempt comes before its period.
    const auto requests = server.requests();
    ASSERT_GE (requests.size(), 5u);
    const int periodsBefore[] { 200, 400, 400, 400 };
    for (size_t i = 0; i + 1 < 5; ++i)
    {
        EXPECT_EQ (requests[i].body, requests[4].body);
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds> (requests[i + 1].receivedAt - requests[i].receivedAt);
        EXPECT_GE (gap.count(), periodsBefore[i] - 20) << "between attempts " << i + 1 << " and " << i + 2;
    }
}

TEST (GoogleAnalyticsPersistence, ShutdownWhileOfflineSavesEventsThatTheNextStartSendsFirst)
{
    TemporaryFolder temporary;
    const auto file = temporary.folder.getChildFile ("Analytics").getChildFile ("analytics_events.xml");

    std::string offlineUrl;
    {
        LoopbackHttpServer gone;
        offlineUrl = gone.baseUrl();
    } // the port now refuses connections

    {
        auto options = testOptions (offlineUrl, file);
        std::atomic<int> failures { 0 };
        options.onUploadAttempt = [&] (bool success, int) { failures += success ? 0 : 1; };
        GoogleAnalyticsDestination destination (options);
        EXPECT_TRUE (file.getParentDirectory().isDirectory());

        destination.logEvent (makeEvent ("Startup", 0, pairsOf ({ { "label", "" } }), "c0ffee", 10));
        destination.logEvent (makeEvent ("Threshold", 1, pairsOf ({ { "label", "-6.50" } }), "c0ffee", 20));
        destination.logEvent (makeEvent ("Bypass Clicked", 1, {}, "c0ffee", 4000000000u));

        for (int i = 0; i < 400 && failures == 0; ++i)
            std::this_thread::sleep_for (10ms);
        EXPECT_GT (failures.load(), 0);
        EXPECT_FALSE (file.exists());
    }

    ASSERT_TRUE (file.existsAsFile());
    const auto text = file.loadFileAsString();
    EXPECT_TRUE (text.startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"));

    const auto root = juce::parseXML (file);
    ASSERT_NE (root, nullptr);
    EXPECT_EQ (root->getTagName(), "events");
    ASSERT_EQ (root->getNumChildElements(), 3);
    const auto* second = root->getChildElement (1);
    EXPECT_EQ (second->getTagName(), "google_analytics_event");
    EXPECT_EQ (second->getStringAttribute ("name"), "Threshold");
    EXPECT_EQ (second->getIntAttribute ("type"), 1);
    EXPECT_EQ (second->getIntAttribute ("timestamp"), 20);
    EXPECT_EQ (second->getStringAttribute ("user_id"), "c0ffee");
    ASSERT_NE (second->getChildByName ("parameters"), nullptr);
    EXPECT_EQ (second->getChildByName ("parameters")->getStringAttribute ("label"), "-6.50");
    ASSERT_NE (second->getChildByName ("user_properties"), nullptr);
    EXPECT_EQ (second->getChildByName ("user_properties")->getStringAttribute ("dimension3"), "Test Box (x86_64)");
    EXPECT_EQ (root->getChildElement (2)->getChildByName ("parameters")->getNumAttributes(), 0);

    // Next start: the saved events go first, then the new one; the file goes.
    LoopbackHttpServer server;
    {
        auto options = testOptions (server.baseUrl(), file);
        std::atomic<int> successes { 0 };
        options.onUploadAttempt = [&] (bool success, int) { successes += success ? 1 : 0; };
        GoogleAnalyticsDestination destination (options);
        destination.logEvent (makeEvent ("Startup", 0, pairsOf ({ { "label", "" } }), "c0ffee", 50));
        ASSERT_TRUE (waitForLines (server, 4));
        // Until the response is in, the batch still counts as unsent.
        for (int i = 0; i < 400 && successes == 0; ++i)
            std::this_thread::sleep_for (10ms);
    }

    EXPECT_FALSE (file.exists());
    EXPECT_EQ (bodyLines (server), (std::vector<std::string> {
        linePrefix + "&t=event&cid=c0ffee&ec=Plugin&ea=Startup&el=" + testDimensions,
        linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Threshold&el=-6.50" + testDimensions,
        linePrefix + "&t=event&cid=c0ffee&ec=User&ea=Bypass%20Clicked" + testDimensions,
        linePrefix + "&t=event&cid=c0ffee&ec=Plugin&ea=Startup&el=" + testDimensions }));
}

TEST (GoogleAnalyticsPersistence, ShutdownDuringARequestCancelsItAndSavesTheBatch)
{
    LoopbackHttpServer server;
    server.scriptReplies ({}, LoopbackHttpServer::Reply::hang);
    TemporaryFolder temporary;
    const auto file = temporary.folder.getChildFile ("analytics_events.xml");

    auto options = testOptions (server.baseUrl(), file);
    options.connectionTimeoutMs = 20000;
    std::atomic<int> attempts { 0 };
    options.onUploadAttempt = [&] (bool, int) { ++attempts; };

    auto destination = std::make_unique<GoogleAnalyticsDestination> (options);
    destination->logEvent (makeEvent ("Threshold", 1, pairsOf ({ { "label", "-6.50" } })));
    ASSERT_TRUE (server.waitForRequests (1, 10s));

    const auto start = std::chrono::steady_clock::now();
    destination.reset();
    const auto shutdown = std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now() - start);

    EXPECT_LT (shutdown.count(), 1500);
    EXPECT_EQ (attempts.load(), 1);
    const auto root = juce::parseXML (file);
    ASSERT_NE (root, nullptr);
    ASSERT_EQ (root->getNumChildElements(), 1);
    EXPECT_EQ (root->getChildElement (0)->getStringAttribute ("name"), "Threshold");
}

TEST (GoogleAnalyticsPersistence, ASecondOfflineShutdownAppendsToTheSavedFile)
{
    TemporaryFolder temporary;
    const auto file = temporary.folder.getChildFile ("analytics_events.xml");
    file.replaceWithText ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<events><google_analytics_event name=\"Old\" type=\"0\" timestamp=\"1\" user_id=\"u\"/></events>");

    // An unreachable collector: the restored event cannot be sent either.
    {
        auto options = testOptions ("http://127.0.0.1:1", file);
        GoogleAnalyticsDestination destination (options);
        destination.logEvent (makeEvent ("New", 0, {}));
    }

    const auto root = juce::parseXML (file);
    ASSERT_NE (root, nullptr);
    juce::StringArray names;
    for (const auto* element : root->getChildWithTagNameIterator ("google_analytics_event"))
        names.add (element->getStringAttribute ("name"));
    // The restored event (its element lacks both children) is queued first
    // and saved again in queue order.
    EXPECT_EQ (names.joinIntoString (","), "Old,New");
}

TEST (GoogleAnalyticsPersistence, AFileWithAnotherRootRestoresNothingAndStays)
{
    LoopbackHttpServer server;
    TemporaryFolder temporary;
    const auto file = temporary.folder.getChildFile ("analytics_events.xml");
    file.replaceWithText ("<other><google_analytics_event name=\"x\" type=\"0\"/></other>");

    {
        GoogleAnalyticsDestination destination (testOptions (server.baseUrl(), file));
        destination.logEvent (makeEvent ("Startup", 0, {}));
        ASSERT_TRUE (waitForLines (server, 1));
        std::this_thread::sleep_for (250ms);
    }

    EXPECT_EQ (bodyLines (server).size(), 1u);
    EXPECT_TRUE (file.existsAsFile());
}

TEST (GoogleAnalyticsPersistence, DefaultFileIsUnderTheUserApplicationDataFolder)
{
    const auto expected = juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
                              .getChildFile ("Application Support/Google/Analytics/analytics_events.xml");
    EXPECT_EQ (GoogleAnalyticsDestination::defaultSavedEventsFile(), expected);
}

} // namespace
