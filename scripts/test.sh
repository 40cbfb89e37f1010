#!/usr/bin/env bash
# Builds and runs the whole test suite twice: in the release build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, with the release build's
# install used by small consumer programs in between. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

# What git sees before: the builds and tests must add nothing to it (they
# write only into ignored places such as build/).
status_before="$(git status --porcelain 2>/dev/null || true)"

cmake --workflow --preset release
./scripts/install-consumer.sh
cmake --workflow --preset asan
./scripts/fuzz-smoke.sh

status_after="$(git status --porcelain 2>/dev/null || true)"
if [[ "$status_after" != "$status_before" ]]; then
  echo "test.sh: building and testing changed what git sees in the checkout:" >&2
  diff <(echo "$status_before") <(echo "$status_after") >&2 || true
  exit 1
fi
