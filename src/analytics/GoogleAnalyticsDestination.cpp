#include "analytics/GoogleAnalyticsDestination.h"

#include <algorithm>

namespace tarn
{

namespace
{
    const juce::String eventsTag { "events" };
    const juce::String eventTag { "google_analytics_event" };
    const juce::String parametersTag { "parameters" };
    const juce::String userPropertiesTag { "user_properties" };

    void writeAttributes (juce::XmlElement& element, const juce::StringPairArray& pairs)
    {
        const auto& keys = pairs.getAllKeys();
        const auto& values = pairs.getAllValues();
        for (int i = 0; i < keys.size(); ++i)
            if (juce::XmlElement::isValidXmlName (keys[i]))
                element.setAttribute (keys[i], values[i]);
    }

    juce::StringPairArray readAttributes (const juce::XmlElement* element)
    {
        juce::StringPairArray pairs;
        if (element != nullptr)
            for (int i = 0; i < element->getNumAttributes(); ++i)
                pairs.set (element->getAttributeName (i), element->getAttributeValue (i));
        return pairs;
    }
} // namespace

GoogleAnalyticsDestination::GoogleAnalyticsDestination (Options options)
    : juce::ThreadedAnalyticsDestination ("GoogleAnalyticsThread"),
      batchUrl (options.batchUrl),
      apiKey (options.apiKey),
      initialPeriodMs (std::max (1, options.initialPeriodMs)),
      maximumPeriodMs (std::max (initialPeriodMs, options.maximumPeriodMs)),
      shutdownGraceMs (options.shutdownGraceMs < 0 ? initialPeriodMs : options.shutdownGraceMs),
      stopTimeoutMs (options.stopTimeoutMs),
      connectionTimeoutMs (options.connectionTimeoutMs),
      onUploadAttempt (std::move (options.onUploadAttempt)),
      periodMs (initialPeriodMs),
      savedEventsFile (options.savedEventsFile == juce::File() ? defaultSavedEventsFile()
                                                                : options.savedEventsFile)
{
    const auto folder = savedEventsFile.getParentDirectory();
    if (! folder.isDirectory())
        folder.createDirectory();

    startAnalyticsThread (initialPeriodMs);
}

GoogleAnalyticsDestination::~GoogleAnalyticsDestination()
{
    // Gives the thread a chance to send a last batch; what is still queued
    // afterwards goes to the saved events file.
    if (shutdownGraceMs > 0)
        juce::Thread::sleep (shutdownGraceMs);

    stopAnalyticsThread (stopTimeoutMs);
}

juce::File GoogleAnalyticsDestination::defaultSavedEventsFile()
{
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
        .getChildFile ("Application Support")
        .getChildFile ("Google")
        .getChildFile ("Analytics")
        .getChildFile ("analytics_events.xml");
}

juce::String GoogleAnalyticsDestination::buildEventLine (const juce::String& key, const AnalyticsEvent& event)
{
    // Case-insensitive keys: a later key of the same name replaces an earlier
    // one in place.
    juce::StringPairArray pairs;
    pairs.set ("t", "event");
    pairs.set ("cid", event.userID);

    if (event.eventType == 0 || event.eventType == 1)
    {
        pairs.set ("ec", event.eventType == 0 ? "Plugin" : "User");
        pairs.set ("ea", event.name);

        if (event.parameters.getAllKeys().contains ("label"))
            pairs.set ("el", event.parameters.getValue ("label", {}));

        const auto& propertyKeys = event.userProperties.getAllKeys();
        const auto& propertyValues = event.userProperties.getAllValues();
        for (int i = 0; i < propertyKeys.size(); ++i)
            pairs.set (propertyKeys[i], propertyValues[i]);
    }

    juce::StringArray encoded;
    const auto& keys = pairs.getAllKeys();
    const auto& values = pairs.getAllValues();
    for (int i = 0; i < keys.size(); ++i)
        encoded.add (keys[i] + "=" + juce::URL::addEscapeChars (values[i], true));

    return "v=1&aip=1&tid=" + key + "&" + encoded.joinIntoString ("&");
}

int GoogleAnalyticsDestination::nextPeriodMs (int currentMs, bool success, int initialMs, int maximumMs) noexcept
{
    if (success)
        return initialMs;

    return currentMs >= maximumMs / 2 ? maximumMs : currentMs * 2;
}

bool GoogleAnalyticsDestination::logBatchedEvents (const juce::Array<AnalyticsEvent>& events)
{
    juce::StringArray lines;
    for (const auto& event : events)
        lines.add (buildEventLine (apiKey, event));

    const auto body = lines.joinIntoString ("\n");

    juce::WebInputStream* stream = nullptr;
    {
        const juce::ScopedLock lock (webStreamCreation);
        if (shouldExit)
            return false;

        webStream = std::make_unique<juce::WebInputStream> (batchUrl.withPOSTData (body), true);
        webStream->withConnectionTimeout (connectionTimeoutMs);
        stream = webStream.get();
    }

    // The response body is not read. With the curl back end, connect() also
    // returns true when the connection was refused or closed without any
    // response (status 0), so the status decides: no response or a server
    // error (5xx) is a failure and the batch stays queued for the next
    // attempt; a client error (4xx) would not get better by retrying.
    const bool connected = stream->connect (nullptr);
    const int status = stream->getStatusCode();
    const bool success = connected && status >= 200 && status < 500;

    {
        const juce::ScopedLock lock (webStreamCreation);
        webStream.reset();
    }

    const int next = nextPeriodMs (periodMs.load(), success, initialPeriodMs, maximumPeriodMs);
    periodMs = next;
    setBatchPeriod (next);

    if (onUploadAttempt)
        onUploadAttempt (success, next);

    return success;
}

void GoogleAnalyticsDestination::stopLoggingEvents()
{
    const juce::ScopedLock lock (webStreamCreation);
    shouldExit = true;

    if (webStream != nullptr)
        webStream->cancel();
}

void GoogleAnalyticsDestination::saveUnloggedEvents (const std::deque<AnalyticsEvent>& eventsToSave)
{
    auto root = juce::parseXMLIfTagMatches (savedEventsFile, eventsTag);
    if (root == nullptr)
        root = std::make_unique<juce::XmlElement> (eventsTag);

    for (const auto& event : eventsToSave)
    {
        auto* element = root->createNewChildElement (eventTag);
        element->setAttribute ("name", event.name);
        element->setAttribute ("type", event.eventType);
        element->setAttribute ("timestamp", (int) event.timestamp);
        element->setAttribute ("user_id", event.userID);
        writeAttributes (*element->createNewChildElement (parametersTag), event.parameters);
        writeAttributes (*element->createNewChildElement (userPropertiesTag), event.userProperties);
    }

    root->writeTo (savedEventsFile, {});
}

void GoogleAnalyticsDestination::restoreUnloggedEvents (std::deque<AnalyticsEvent>& restoredEventQueue)
{
    // A missing or unreadable file, or one with another root, restores
    // nothing and stays where it is (the next save replaces it).
    const auto root = juce::parseXMLIfTagMatches (savedEventsFile, eventsTag);
    if (root == nullptr)
        return;

    for (const auto* element : root->getChildWithTagNameIterator (eventTag))
    {
        AnalyticsEvent event;
        event.name = element->getStringAttribute ("name");
        event.eventType = element->getIntAttribute ("type");
        event.timestamp = (juce::uint32) element->getIntAttribute ("timestamp");
        event.userID = element->getStringAttribute ("user_id");
        event.parameters = readAttributes (element->getChildByName (parametersTag));
        event.userProperties = readAttributes (element->getChildByName (userPropertiesTag));
        restoredEventQueue.push_back (std::move (event));
    }

    savedEventsFile.deleteFile();
}

} // namespace tarn
