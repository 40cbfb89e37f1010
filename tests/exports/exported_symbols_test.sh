#!/usr/bin/env bash
# The shared library's dynamic symbol table holds the public API and nothing
# else of ours.
# 1. Its functions (T), demangled, must be exactly those in
#    expected_exports.txt: an internal function that starts leaking out, or
#    a listed one that loses its ZIMRAX_EXPORT, fails here. Its data symbols
#    (typeinfo, vtables) must be among those listed there; which of them a
#    build emits depends on optimization.
# 2. Every function the public headers declare out of line (namespace zimrax
#    and the C entry points) must be exported: a declaration without
#    ZIMRAX_EXPORT fails here even when nobody added it to the list. The
#    declarations come from clang's AST of include/zimrax/, so the list
#    cannot drift from the headers.
# Usage: exported_symbols_test.sh LIBRARY INCLUDE_DIR...
set -euo pipefail
library="$1"
shift
here="$(dirname "$0")"
expected="$here/expected_exports.txt"
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

if [[ $# -eq 0 ]]; then
  echo "exported_symbols_test: no include directory given" >&2
  exit 2
fi
clang="$(command -v clang++-14 || command -v clang++ || true)"
if [[ -z "$clang" ]]; then
  echo "exported_symbols_test: clang++ is needed to read the headers (Debian clang-14)" >&2
  exit 2
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
include_flags=()
for dir in "$@"; do include_flags+=("-I$dir"); done
(cd "$1" && find zimrax -name '*.h' | LC_ALL=C sort | sed 's/.*/#include "&"/') >"$work/all_headers.cc"
"$clang" -std=c++20 -fsyntax-only "${include_flags[@]}" -Xclang -ast-dump=json -Xclang -ast-dump-filter=zimrax \
  "$work/all_headers.cc" >"$work/ast.json"
python3 "$here/declared_functions.py" <"$work/ast.json" | LC_ALL=C sort -u >"$work/declared"
nm -D --defined-only "$library" | awk '{ print $3 }' | LC_ALL=C sort -u >"$work/exported"
missing="$(LC_ALL=C comm -23 "$work/declared" "$work/exported" | c++filt)"
if [[ -n "$missing" ]]; then
  printf 'exported_symbols_test: declared in the public headers but not exported (ZIMRAX_EXPORT missing?):\n%s\n' \
    "$missing" >&2
  status=1
fi

[[ $status -eq 0 ]] &&
  echo "exported_symbols_test: $(printf '%s\n' "$actual" | wc -l) symbols, as expected;" \
    "$(wc -l <"$work/declared") declared functions, all exported"
exit $status
