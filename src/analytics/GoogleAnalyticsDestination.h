#pragma once

#include <juce_analytics/juce_analytics.h>

#include <atomic>
#include <functional>
#include <memory>

namespace tarn
{

// Queues usage events, sends them in batches of up to 20 (Measurement
// Protocol v1 batch format) from its own thread named "GoogleAnalyticsThread",
// doubles its period after a failed upload (up to maximumPeriodMs) and resets
// it after a successful one, and keeps what could not be sent in
// savedEventsFile until the next start, which sends those events first.
class GoogleAnalyticsDestination : public juce::ThreadedAnalyticsDestination
{
public:
    // The analytics property's tracking identifier (14 characters).
    static constexpr const char* defaultApiKey = "UA-TARN0002-01";
    static constexpr int defaultInitialPeriodMs = 1000;
    // 1 s doubled eight times is 256 s; the next doubling stops at 5 minutes.
    static constexpr int defaultMaximumPeriodMs = 5 * 60 * 1000;

    struct Options
    {
        // Where batches are posted (the collection URL's "/batch" endpoint).
        juce::URL batchUrl;
        juce::String apiKey { defaultApiKey };
        // Defaults to defaultSavedEventsFile(); its folder is created if missing.
        juce::File savedEventsFile;
        int initialPeriodMs = defaultInitialPeriodMs;
        int maximumPeriodMs = defaultMaximumPeriodMs;
        // Time given to the thread to send a last batch before it is stopped
        // at destruction; negative means initialPeriodMs.
        int shutdownGraceMs = -1;
        int stopTimeoutMs = 1000;
        int connectionTimeoutMs = 10000;
        // Called on the analytics thread after every upload attempt.
        std::function<void (bool success, int newPeriodMs)> onUploadAttempt;
    };

    explicit GoogleAnalyticsDestination (Options options);
    ~GoogleAnalyticsDestination() override;

    // <userApplicationDataDirectory>/Application Support/Google/Analytics/analytics_events.xml
    static juce::File defaultSavedEventsFile();

    // One line of the request body for one event, without the trailing "\n".
    static juce::String buildEventLine (const juce::String& apiKey, const AnalyticsEvent& event);

    // The period after an upload attempt: back to initialMs after a success,
    // doubled after a failure, never above maximumMs.
    static int nextPeriodMs (int currentMs, bool success, int initialMs, int maximumMs) noexcept;

    int getMaximumBatchSize() override { return 20; }
    bool logBatchedEvents (const juce::Array<AnalyticsEvent>& events) override;
    void stopLoggingEvents() override;

    int getCurrentPeriodMs() const noexcept { return periodMs.load(); }
    const juce::File& getSavedEventsFile() const noexcept { return savedEventsFile; }

private:
    void saveUnloggedEvents (const std::deque<AnalyticsEvent>& eventsToSave) override;
    void restoreUnloggedEvents (std::deque<AnalyticsEvent>& restoredEventQueue) override;

    const juce::URL batchUrl;
    const juce::String apiKey;
    const int initialPeriodMs;
    const int maximumPeriodMs;
    const int shutdownGraceMs;
    const int stopTimeoutMs;
    const int connectionTimeoutMs;
    const std::function<void (bool, int)> onUploadAttempt;
    std::atomic<int> periodMs;

    juce::CriticalSection webStreamCreation;
    bool shouldExit = false;
    std::unique_ptr<juce::WebInputStream> webStream;

    const juce::File savedEventsFile;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (GoogleAnalyticsDestination)
};

} // namespace tarn
