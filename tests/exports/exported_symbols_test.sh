#!/usr/bin/env bash
# The shared library's dynamic symbol table holds the public API and nothing
# else of ours: the code, typeinfo and vtable symbols of the component,
# demangled, must be exactly those in expected_exports.txt. An internal
# function that starts leaking out, or a public one that loses its
# ZIMRAX_EXPORT, fails here. Usage: exported_symbols_test.sh LIBRARY
set -euo pipefail
library="$1"
expected="$(dirname "$0")/expected_exports.txt"
actual="$(nm -D --defined-only "$library" | c++filt | awk '{ $1 = ""; sub(/^ /, ""); print }' |
  grep -E '^[TVWDBRu] (zimrax|.*zimrax::)' | sort -u)"
if ! diff -u "$expected" <(printf '%s\n' "$actual"); then
  echo "exported_symbols_test: the exports of $library differ from $expected (- expected, + actual)" >&2
  exit 1
fi
echo "exported_symbols_test: $(printf '%s\n' "$actual" | wc -l) symbols, as expected"
