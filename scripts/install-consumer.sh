#!/usr/bin/env bash
# Installs the release build (build/release, made by the release workflow)
# into a temporary prefix and builds and runs a small program against it
# three ways: find_package() with the shared library, find_package() with
# the static library, and pkg-config. Nothing outside the prefix is used, so
# a header or library missing from the install fails here. The prefix is
# then moved, and the pkg-config build repeated from the new place.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
source_dir="$PWD/tests/install_consumer"
[[ -f "$build/CMakeCache.txt" ]] || { echo "install-consumer: no $build; run cmake --workflow --preset release first" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

# The installed files a user relies on.
for path in include/zimrax/zimrax.h include/zimrax/version.h bin/zmfile; do
  [[ -e "$prefix/$path" ]] || { echo "install-consumer: $path is not installed" >&2; exit 1; }
done

for kind in shared static; do
  static=OFF
  [[ $kind == static ]] && static=ON
  echo "install-consumer: find_package, $kind library"
  cmake -S "$source_dir" -B "$work/cmake-$kind" -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_STATIC=$static \
    -DCMAKE_BUILD_TYPE=Release > "$work/cmake-$kind.log" || { cat "$work/cmake-$kind.log"; exit 1; }
  cmake --build "$work/cmake-$kind" > "$work/build-$kind.log" 2>&1 || { cat "$work/build-$kind.log"; exit 1; }
  "$work/cmake-$kind/consumer"
done
if ldd "$work/cmake-static/consumer" | grep -q libzimraxfileio; then
  echo "install-consumer: the static consumer loads the shared library" >&2
  exit 1
fi

# pkg-config: the .pc file finds its prefix from where it lies, so the
# installed tree still works after it is moved.
pkgconfig_build() {
  local root="$1" out="$2" pc_dir cflags libs libdir
  pc_dir="$(dirname "$(find "$root" -name zimraxfileio.pc | head -n 1)")"
  export PKG_CONFIG_PATH="$pc_dir"
  cflags="$(pkg-config --cflags zimraxfileio)"
  libs="$(pkg-config --libs zimraxfileio)"
  libdir="$(pkg-config --variable=libdir zimraxfileio)"
  [[ "$(realpath "$libdir")" == "$(realpath "$root")"/* ]] || { echo "install-consumer: libdir $libdir is outside $root" >&2; exit 1; }
  # shellcheck disable=SC2086
  g++ -std=c++20 -Wall -Wextra -Wpedantic -Werror $cflags \
    "-DEXPECTED_VERSION=\"$(pkg-config --modversion zimraxfileio)\"" "$source_dir/consumer.cc" $libs -o "$out"
  LD_LIBRARY_PATH="$libdir" "$out"
}
echo "install-consumer: pkg-config"
pkgconfig_build "$prefix" "$work/pkg-consumer"
mv "$prefix" "$work/moved"
echo "install-consumer: pkg-config, the installed tree moved"
pkgconfig_build "$work/moved" "$work/pkg-consumer-moved"
echo "install-consumer: all consumers built and ran"
