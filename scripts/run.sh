#!/usr/bin/env bash
# Builds the project and runs the main job on its built-in default: the engine
# over a built-in loud test signal. Arguments go to the program.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
exec "$here/${BUILD_DIR:-build}/tools/tarn-engine-demo" "$@"
