#!/usr/bin/env bash
# Sets up this machine, builds Release into build-bench and runs the export benchmark.
# Arguments go to the benchmark (see --help), e.g. --runs 5 --mp3-minutes 60.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=build-bench BUILD_TYPE=Release bash scripts/build.sh
exec build-bench/bench/nelvo-bench "$@"
