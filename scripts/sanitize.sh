#!/usr/bin/env bash
# Builds the engine, history and processor tests with sanitizers and runs them:
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer, every test of
#               the engine, history, framework (analytics, dither, limiter
#               handle) and processor (JUCE included);
#   build-tsan  ThreadSanitizer, the threaded tests (history worker, limiter
#               handle, the processor's reset swap, state loads and analytics).
# Usage: scripts/sanitize.sh [asan|tsan]   (both when no argument is given)
# Extra gtest arguments can be passed in TSAN_FILTER / ASAN_FILTER.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="${JOBS:-2}"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

configure_and_build() {
    local dir="$1" sanitizers="$2"
    cmake -S "$here" -B "$here/$dir" "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARN_SANITIZE="$sanitizers" \
        -DTARN_BUILD_BENCH=OFF -DTARN_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$here/$dir" -j "$jobs" --target tarn_engine_tests tarn_history_tests tarn_processor_tests tarn_plugin_tests
}

# The processor tests write per-user files: they get their own home folder
# (the test programs make one too); and they need no display.
processor_tests() {
    local dir="$1"; shift
    "$here/$dir/tests/processor/tarn_processor_tests" --gtest_brief=1 "$@" || return 1
    "$here/$dir/tests/processor/plugin/tarn_plugin_tests" --gtest_brief=1 "$@" || return 1
}

run_asan() {
    configure_and_build build-asan "address;undefined"
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
    # Both suites run even when the first fails; the status reports either.
    local status=0
    "$here/build-asan/tests/engine/tarn_engine_tests" --gtest_brief=1 ${ASAN_FILTER:-} || status=1
    "$here/build-asan/tests/history/tarn_history_tests" --gtest_brief=1 ${ASAN_FILTER:-} || status=1
    processor_tests build-asan ${ASAN_FILTER:-} || status=1
    return $status
}

run_tsan() {
    configure_and_build build-tsan "thread"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
    local status=0
    "$here/build-tsan/tests/history/tarn_history_tests" --gtest_brief=1 \
        ${TSAN_FILTER:---gtest_filter=*Concurren*:HistoryWorker*:HistoryTruePeakBrickWallLimiter.TheAudioPath*} || status=1
    processor_tests build-tsan \
        ${TSAN_PROCESSOR_FILTER:---gtest_filter=LimiterHandle*:AnalyticsEventQueue*:LifecycleTest.HistoryReset*:LifecycleTest.AnError*:RecordedSession.Saving*:ProcessorAnalytics*} || status=1
    return $status
}

case "${1:-all}" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    all) run_asan; run_tsan ;;
    *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
