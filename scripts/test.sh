#!/usr/bin/env bash
# Builds and runs the whole test suite twice: in the release build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, with the release build's
# install used by small consumer programs in between. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset release
./scripts/install-consumer.sh
cmake --workflow --preset asan
./scripts/fuzz-smoke.sh
