#!/usr/bin/env bash
# Builds the project and runs the main job: the offline renderer, on its
# built-in demo when no arguments are given. Arguments go to the program.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
exec "$here/${BUILD_DIR:-build}/tools/tarn-render" "$@"
