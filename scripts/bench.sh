#!/usr/bin/env bash
# Builds the project and runs the benchmarks; prints a table. Arguments go to
# Google Benchmark (for example --benchmark_filter=Limiter).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" >/dev/null
exec "$here/${BUILD_DIR:-build}/bench/tarn_bench" --benchmark_counters_tabular=true "$@"
