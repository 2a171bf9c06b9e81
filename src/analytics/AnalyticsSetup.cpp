#include "analytics/AnalyticsSetup.h"

#include <cstdlib>

namespace tarn
{

std::optional<juce::URL> batchUrlForCollectionUrl (const juce::String& collectionUrl)
{
    const auto text = collectionUrl.trim();
    if (text.isEmpty() || ! juce::URL::isProbablyAWebsiteURL (text))
        return std::nullopt;

    const juce::URL url (text);
    const auto scheme = url.getScheme().toLowerCase();
    const auto domain = url.getDomain().toLowerCase();
    if (domain.isEmpty())
        return std::nullopt;

    const bool loopback = domain == "127.0.0.1" || domain == "localhost" || domain == "[::1]" || domain == "::1";
    if (! (scheme == "https" || (scheme == "http" && loopback)))
        return std::nullopt;

    const auto path = url.getSubPath();
    if (path == "batch" || path.endsWith ("/batch"))
        return url;

    return url.getChildURL ("batch");
}

std::optional<juce::URL> resolveAnalyticsBatchUrl (const juce::String& settingsValue, const char* environmentValue)
{
    if (environmentValue != nullptr)
        return batchUrlForCollectionUrl (juce::String::fromUTF8 (environmentValue));

    return batchUrlForCollectionUrl (settingsValue);
}

std::optional<juce::URL> resolveAnalyticsBatchUrl (const juce::PropertiesFile* settings)
{
    const auto settingsValue = settings != nullptr ? settings->getValue (analyticsUrlSettingsKey) : juce::String();
    return resolveAnalyticsBatchUrl (settingsValue, std::getenv (analyticsUrlEnvironmentVariable));
}

GoogleAnalyticsDestination* registerAnalyticsDestination (const juce::PropertiesFile* settings,
                                                          GoogleAnalyticsDestination::Options options)
{
    const auto url = resolveAnalyticsBatchUrl (settings);
    if (! url.has_value())
        return nullptr;

    options.batchUrl = *url;
    auto* destination = new GoogleAnalyticsDestination (std::move (options));
    juce::Analytics::getInstance()->addDestination (destination);
    return destination;
}

void setAnalyticsUserIdentity (const juce::String& hostDescription, const juce::String& operatingSystem)
{
    auto* analytics = juce::Analytics::getInstance();
    const auto identifiers = juce::SystemStats::getDeviceIdentifiers().joinIntoString (":");
    analytics->setUserId (juce::String::toHexString (identifiers.hashCode64()));

    juce::StringPairArray properties;
    properties.set ("dimension1", "TarnLimiterStereo");
    properties.set ("dimension2", "2.0.3");
    properties.set ("dimension3", juce::SystemStats::getDeviceDescription());
    properties.set ("dimension4", operatingSystem);
    properties.set ("dimension5", hostDescription);
    analytics->setUserProperties (properties);
}

void logAnalyticsEvent (const juce::String& name, const juce::String& label, int eventType)
{
    juce::StringPairArray parameters;
    parameters.set ("label", label);
    juce::Analytics::getInstance()->logEvent (name, parameters, eventType);
}

} // namespace tarn
