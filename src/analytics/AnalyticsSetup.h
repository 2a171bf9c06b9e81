#pragma once

#include "analytics/GoogleAnalyticsDestination.h"

#include <juce_data_structures/juce_data_structures.h>

#include <optional>

namespace tarn
{

// Where usage events go is chosen by the user or the distributor: the
// environment variable below (when it is set at all, even to an empty value)
// wins over the key of the per-user settings file. With neither set, or with
// an empty or unacceptable value, no destination is registered and nothing
// leaves the machine.
inline constexpr const char* analyticsUrlEnvironmentVariable = "TARN_ANALYTICS_URL";
inline constexpr const char* analyticsUrlSettingsKey = "AnalyticsUrl";

// The batch endpoint for a collection URL: "https://host[:port][/path]" gets
// "/batch" appended unless its path already ends with "batch". Plain "http" is
// accepted for loopback hosts only (127.0.0.1, localhost, [::1]), for local
// collectors and tests. Returns nothing for an empty or unacceptable URL.
std::optional<juce::URL> batchUrlForCollectionUrl (const juce::String& collectionUrl);

// Applies the precedence rule: environmentValue (nullptr = variable not set)
// over settingsValue.
std::optional<juce::URL> resolveAnalyticsBatchUrl (const juce::String& settingsValue,
                                                   const char* environmentValue);

// Same, reading the environment and the settings file's key (settings may be null).
std::optional<juce::URL> resolveAnalyticsBatchUrl (const juce::PropertiesFile* settings);

// Creates a GoogleAnalyticsDestination for the resolved URL and hands it to
// juce::Analytics, which owns it from then on. Returns the destination, or
// nullptr (and registers nothing) when no URL is configured.
GoogleAnalyticsDestination* registerAnalyticsDestination (const juce::PropertiesFile* settings,
                                                          GoogleAnalyticsDestination::Options options = {});

// Sets the user identifier (the hexadecimal 64-bit hash of the device
// identifiers: no name or address leaves the machine) and the five user
// properties on the juce::Analytics singleton.
void setAnalyticsUserIdentity (const juce::String& hostDescription, const juce::String& operatingSystem);

// The logging function: logs name with the parameters {"label": label} on the
// juce::Analytics singleton. eventType 0 = raised by the plug-in, 1 = caused
// by the user or describing the environment. Takes the framework's lock and
// allocates: not for the audio thread (use AnalyticsEventQueue there).
void logAnalyticsEvent (const juce::String& name, const juce::String& label, int eventType);

} // namespace tarn
