#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each one for
# ZIMRAX_FUZZ_SECONDS (default 12: eight targets, and the CI run stays within its time)
# over a copy of its seed corpus and of the inputs of past findings. Any
# finding (crash, sanitizer report, leak, an input slower than one second,
# a broken invariant) fails the run; the offending input is printed in hex.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${ZIMRAX_FUZZ_SECONDS:-12}"
cmake --preset fuzz
cmake --build --preset fuzz --target fuzz_targets

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for target in find_bytes form_field_value file_save form_stream part_walk tus_headers content_type config_file; do
  mkdir -p "$work/$target" "$work/findings"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  find fuzz/regressions/"$target" -type f ! -name '.*' -exec cp {} "$work/$target/" \;
  echo "fuzz-smoke: $target for ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/findings/$target-" "$work/$target" > "$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    for finding in "$work"/findings/*; do
      [[ -f "$finding" ]] && { echo "fuzz-smoke: input $finding"; od -A d -t x1 "$finding" | head -n 40; }
    done
    echo "fuzz-smoke: $target FAILED"
    exit 1
  fi
  grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$work/$target.log" || true
done
echo "fuzz-smoke: all targets clean"
