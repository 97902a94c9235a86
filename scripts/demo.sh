#!/usr/bin/env bash
# Starts the driver. The demo wiring (simulated station, reference servers) is added
# as those tools land.
set -euo pipefail
build=${1:-build}
exec "$build/src/app/orvelgate"
