# Runs lv2info on the built bundle and checks what a host would see.
# -DLV2INFO=<program> -DLV2_PATH=<folder holding the .lv2 bundle> -DURI=<plug-in URI>
set(ENV{LV2_PATH} "${LV2_PATH}")
execute_process(COMMAND "${LV2INFO}" "${URI}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors TIMEOUT 50)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "lv2info failed (${result}): ${errors}")
endif()

set(expected
    "Name: +Tarn Limiter 2"
    "Has latency: +yes"
    "Symbol: +audio_in_1" "Symbol: +audio_in_2"
    "Symbol: +audio_out_1" "Symbol: +audio_out_2")
foreach(pattern IN LISTS expected)
    if(NOT output MATCHES "${pattern}")
        message(FATAL_ERROR "lv2info output lacks '${pattern}':\n${output}")
    endif()
endforeach()

# All eleven parameters (the two meters included) are in the bundle's data.
file(GLOB dsp_ttl "${LV2_PATH}/*.lv2/dsp.ttl")
file(READ "${dsp_ttl}" dsp)
string(REGEX MATCHALL "a lv2:Parameter" parameters "${dsp}")
list(LENGTH parameters count)
if(NOT count EQUAL 11)
    message(FATAL_ERROR "expected 11 parameters in dsp.ttl, found ${count}")
endif()
foreach(name "Threshold" "Pre Gain" "Auto Release" "Release Time" "Auto Release Reactivity"
             "Release Curve" "True Peak" "Gain Reduction" "Post Gain" "MaxTarget" "Maximizer")
    if(NOT dsp MATCHES "rdfs:label \"${name}\"")
        message(FATAL_ERROR "dsp.ttl lacks the parameter '${name}'")
    endif()
endforeach()

# The release curve is a plain number there: JUCE 7.0.5's LV2 wrapper would
# list its choices with normalised values against the plain 0 ... 4 range.
string(REGEX MATCH "rdfs:label \"Release Curve\"[^.]*" curve "${dsp}")
if(curve MATCHES "lv2:enumeration|lv2:scalePoint")
    message(FATAL_ERROR "Release Curve is listed as an enumeration:\n${curve}")
endif()
