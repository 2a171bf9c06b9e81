#include "RenderOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tarn::render
{
namespace
{
[[noreturn]] void usageFailure (const std::string& message)
{
    throw RenderError (RenderError::usageError, message + " (see --help)");
}

std::string formatNumber (double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string lowerCase (std::string text)
{
    std::transform (text.begin(), text.end(), text.begin(), [] (unsigned char c) { return (char) std::tolower (c); });
    return text;
}

// A number in [low, high], optionally followed by its unit ("dB", "ms").
double parseNumber (const std::string& option, const std::string& text, double low, double high, const char* unit)
{
    std::string digits = text;
    const std::string suffix = unit;
    if (! suffix.empty() && digits.size() > suffix.size()
        && lowerCase (digits.substr (digits.size() - suffix.size())) == lowerCase (suffix))
        digits.erase (digits.size() - suffix.size());

    const std::string range = formatNumber (low) + " to " + formatNumber (high) + (suffix.empty() ? "" : " " + suffix);
    const char* begin = digits.c_str();
    char* end = nullptr;
    const double value = std::strtod (begin, &end);

    if (digits.empty() || end == begin || *end != '\0' || ! std::isfinite (value))
        usageFailure (option + ": '" + text + "' is not a number (expected " + range + ")");
    if (value < low || value > high)
        usageFailure (option + ": " + text + " is out of range (expected " + range + ")");
    return value;
}

int parseInteger (const std::string& option, const std::string& text, int low, int high)
{
    const double value = parseNumber (option, text, low, high, "");
    if (value != std::floor (value))
        usageFailure (option + ": '" + text + "' is not a whole number (expected " + std::to_string (low) + " to "
                      + std::to_string (high) + ")");
    return (int) value;
}

std::vector<std::string> splitList (const std::string& text)
{
    std::vector<std::string> items;
    std::string::size_type start = 0;
    while (true)
    {
        const auto comma = text.find (',', start);
        items.push_back (text.substr (start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

std::string curveList()
{
    std::string names;
    for (const auto& name : releaseCurveNames)
        names += (names.empty() ? "" : ", ") + name;
    return names;
}

bool isOff (const std::string& text)
{
    const auto lower = lowerCase (text);
    return lower == "off" || lower == "no" || lower == "false";
}
} // namespace

int RenderOptions::passCount() const
{
    return std::max ({ passes, (int) thresholds.size(), 1 });
}

std::optional<float> RenderOptions::thresholdForPass (int pass) const
{
    if (thresholds.empty())
        return std::nullopt;
    return thresholds[(size_t) std::min (pass, (int) thresholds.size() - 1)];
}

RenderOptions parseOptions (const std::vector<std::string>& arguments)
{
    RenderOptions options;
    std::vector<std::string> positional;

    if (arguments.empty())
    {
        options.demo = true;
        return options;
    }

    for (size_t i = 0; i < arguments.size(); ++i)
    {
        std::string option = arguments[i];

        if (option == "--")
        {
            positional.insert (positional.end(), arguments.begin() + (long) i + 1, arguments.end());
            break;
        }

        if (option.size() < 2 || option[0] != '-' || option == "-")
        {
            positional.push_back (option);
            continue;
        }

        if (option == "-h" || option == "--help")
        {
            options.showHelp = true;
            continue;
        }
        if (option == "--no-progress")
        {
            options.progress = false;
            continue;
        }
        if (option == "--demo")
        {
            options.demo = true;
            // An optional folder follows, unless the next word is an option.
            if (i + 1 < arguments.size() && arguments[i + 1].rfind ("-", 0) != 0)
                options.demoFolder = arguments[++i];
            continue;
        }

        // Every other option takes a value: "--name value" or "--name=value".
        std::string value;
        bool hasValue = false;
        if (const auto equals = option.find ('='); equals != std::string::npos && option.rfind ("--", 0) == 0)
        {
            value = option.substr (equals + 1);
            option = option.substr (0, equals);
            hasValue = true;
        }

        static const char* const valueOptions[] = { "--threshold", "--pre-gain", "--post-gain", "--release",
                                                    "--reactivity", "--curve", "--maximizer", "--passes",
                                                    "--block", "--bits", "--history", "--save-state",
                                                    "--load-state", "--output", "-o" };
        if (std::find_if (std::begin (valueOptions), std::end (valueOptions),
                          [&] (const char* known) { return option == known; }) == std::end (valueOptions))
            usageFailure ("unknown option " + option);

        if (! hasValue)
        {
            if (i + 1 >= arguments.size())
                usageFailure (option + " needs a value");
            value = arguments[++i];
        }

        if (option == "--threshold")
        {
            options.thresholds.clear();
            for (const auto& item : splitList (value))
                options.thresholds.push_back ((float) parseNumber (option, item, -60.0, 0.0, "dB"));
        }
        else if (option == "--pre-gain")
            options.preGain = (float) parseNumber (option, value, -20.0, 20.0, "dB");
        else if (option == "--post-gain")
            options.postGain = (float) parseNumber (option, value, -20.0, 20.0, "dB");
        else if (option == "--release")
        {
            if (lowerCase (value) == "auto")
                options.autoRelease = true;
            else
            {
                if (value.empty() || ! (std::isdigit ((unsigned char) value[0]) || value[0] == '.' || value[0] == '-' || value[0] == '+'))
                    usageFailure (option + ": '" + value + "' is neither 'auto' nor a time (expected auto or 1 to 5000 ms)");
                options.autoRelease = false;
                options.releaseTime = (float) parseNumber (option, value, 1.0, 5000.0, "ms");
            }
        }
        else if (option == "--reactivity")
            options.reactivity = (float) parseNumber (option, value, 0.01, 10.0, "");
        else if (option == "--curve")
        {
            const auto wanted = lowerCase (value);
            const auto found = std::find_if (releaseCurveNames.begin(), releaseCurveNames.end(),
                                             [&] (const std::string& name) { return lowerCase (name) == wanted; });
            if (found == releaseCurveNames.end())
                usageFailure (option + ": unknown curve '" + value + "' (expected one of " + curveList() + ")");
            options.releaseCurve = (int) (found - releaseCurveNames.begin());
        }
        else if (option == "--maximizer")
        {
            if (isOff (value))
                options.maximizer = false;
            else
            {
                options.maximizer = true;
                options.maxTarget = (float) parseNumber (option, value, -30.0, 0.0, "dB");
            }
        }
        else if (option == "--passes")
            options.passes = parseInteger (option, value, 1, 100);
        else if (option == "--block")
            options.blockSize = parseInteger (option, value, 1, 65536);
        else if (option == "--bits")
        {
            const int bits = parseInteger (option, value, 16, 32);
            if (bits != 16 && bits != 24 && bits != 32)
                usageFailure (option + ": " + value + " is not supported (expected 16, 24 or 32)");
            options.bitDepth = bits;
        }
        else if (option == "--history")
            options.historyFile = value;
        else if (option == "--save-state")
            options.saveStateFile = value;
        else if (option == "--load-state")
            options.loadStateFile = value;
        else if (option == "--output" || option == "-o")
            options.outputFile = value;

        if (value.empty() && (option == "--history" || option == "--save-state" || option == "--load-state"
                              || option == "--output" || option == "-o"))
            usageFailure (option + " needs a file name");
    }

    if (options.showHelp)
        return options;

    if (options.demo)
    {
        if (! positional.empty())
            usageFailure ("--demo takes no input file");
        return options;
    }

    if (positional.empty())
        usageFailure ("missing input file");
    if (positional.size() > 2 || (positional.size() == 2 && ! options.outputFile.empty()))
        usageFailure ("too many file names: '" + positional.back() + "'");

    options.inputFile = positional[0];
    if (positional.size() == 2)
        options.outputFile = positional[1];

    return options;
}

std::string usageText()
{
    return R"(usage: tarn-render [options] INPUT [OUTPUT]
       tarn-render [--demo [FOLDER]]

Runs Tarn Limiter 2 over an audio file the way a host exports a mixdown and
writes the limited audio, with the latency removed so that it lines up with
the input. Reads and writes WAV and AIFF (the output format follows the
output's extension; OUTPUT defaults to INPUT-limited.EXT beside the input).
Without arguments it renders a built-in demo signal into ./tarn-render-demo.

Limiter parameters (unset ones keep the processor's default, or the value of
a state loaded with --load-state):
  --threshold DB[,DB...]  -60 to 0 dB; a list gives each pass its own threshold
  --pre-gain DB           -20 to 20 dB
  --post-gain DB          -20 to 20 dB (ignored while the maximizer is on)
  --release MS|auto       1 to 5000 ms, or auto (automatic release)
  --reactivity X          0.01 to 10, the automatic release's reactivity
  --curve NAME            Linear, Natural, Transparent, Smooth or Pumping
  --maximizer DB|off      on with a target ceiling of -30 to 0 dB, or off

Rendering:
  --passes N              play the file N times (1 to 100); the history is
                          remetered on every pass, the output is the last pass
  --block N               host block size in samples (1 to 65536, default 512)
  --bits 16|24|32         output bit depth (default: the input's; 32 is float,
                          WAV only)
  --history FILE.csv      write the recorded history (one row per 20 ms)
  --save-state FILE       write the processor's saved state after rendering
  --load-state FILE       restore a saved state before rendering
  --no-progress           no progress bar
  --demo [FOLDER]         render the built-in demo signal into FOLDER

Exit codes: 0 done, 1 file error (missing, unreadable, unsupported format),
2 bad command line, 3 the processor reported an error.
)";
}

} // namespace tarn::render
