#!/usr/bin/env bash
# Sets up this machine, builds, and starts Nelvo Session Maker.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
exec build/nelvo-session-maker "$@"
