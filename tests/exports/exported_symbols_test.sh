#!/usr/bin/env bash
# The shared library's dynamic symbol table holds the public API and nothing
# else of ours. Its functions (T), demangled, must be exactly those in
# expected_exports.txt: an internal function that starts leaking out, or a
# public one that loses its ZIMRAX_EXPORT, fails here. Its data symbols
# (typeinfo, vtables) must be among those listed there; which of them a
# build emits depends on optimization. Usage: exported_symbols_test.sh LIBRARY
set -euo pipefail
library="$1"
expected="$(dirname "$0")/expected_exports.txt"
actual="$(nm -D --defined-only "$library" | c++filt | awk '{ $1 = ""; sub(/^ /, ""); print }' |
  grep -E '^[TVWDBRu] (zimrax|.*zimrax::)' | LC_ALL=C sort -u)"
status=0
if ! diff -u <(grep '^T ' "$expected") <(printf '%s\n' "$actual" | grep '^T '); then
  echo "exported_symbols_test: the exported functions differ from $expected (- expected, + actual)" >&2
  status=1
fi
unexpected="$(LC_ALL=C comm -13 <(grep -v '^T ' "$expected" | LC_ALL=C sort) <(printf '%s\n' "$actual" | grep -v '^T ' || true))"
if [[ -n "$unexpected" ]]; then
  printf 'exported_symbols_test: data symbols not in %s:\n%s\n' "$expected" "$unexpected" >&2
  status=1
fi
[[ $status -eq 0 ]] && echo "exported_symbols_test: $(printf '%s\n' "$actual" | wc -l) symbols, as expected"
exit $status
