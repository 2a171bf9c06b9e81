#!/usr/bin/env bash
# Builds the project and runs every test under CTest.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
cd "$here/${BUILD_DIR:-build}"
ctest --output-on-failure -j "$(nproc)" "$@"
