#!/usr/bin/env bash
# Builds and runs the whole test suite twice: in the release build and under
# AddressSanitizer + UndefinedBehaviorSanitizer. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset release
cmake --workflow --preset asan
./scripts/fuzz-smoke.sh
