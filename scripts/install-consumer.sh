#!/usr/bin/env bash
# Installs the release build (build/release, made by the release workflow)
# into a temporary prefix and builds and runs a small program against it
# three ways: find_package() with the shared library, find_package() with
# the static library, and pkg-config; and a C11 program through pkg-config
# and with plain -lzimraxfileio. Nothing outside the prefix is used, so a
# header or library missing from the install fails here. The prefix is then
# moved, the pkg-config builds repeated from the new place, and the Python
# package installed (its wheel, and from a checkout) and imported.
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
for path in include/zimrax/zimrax.h include/zimrax/version.h include/zimrax/zimrax_c.h include/zimrax/export.h bin/zmfile; do
  [[ -e "$prefix/$path" ]] || { echo "install-consumer: $path is not installed" >&2; exit 1; }
done

# The systemd unit names the zmfile of the prefix it was installed into,
# not the one configured.
unit="$prefix/lib/systemd/system/zmfile-serve.service"
grep -q "^ExecStart=$prefix/bin/zmfile serve " "$unit" ||
  { echo "install-consumer: $unit does not start $prefix/bin/zmfile:" >&2; grep ExecStart "$unit" >&2; exit 1; }

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
  # The C interface from C11, with the same flags.
  # shellcheck disable=SC2086
  gcc -std=c11 -Wall -Wextra -Werror $cflags \
    "-DEXPECTED_VERSION=\"$(pkg-config --modversion zimraxfileio)\"" "$source_dir/c_consumer.c" $libs -o "$out-c"
  LD_LIBRARY_PATH="$libdir" "$out-c"
}

# The C interface with no build system: the header directory and
# -lzimraxfileio from the installed tree, nothing else.
plain_c_build() {
  local root="$1" out="$2" libdir
  libdir="$(dirname "$(find "$root" -name 'libzimraxfileio.so' | head -n 1)")"
  gcc -std=c11 -Wall -Wextra -Werror -I"$root/include" "-DEXPECTED_VERSION=\"$(cat "$work/version")\"" \
    "$source_dir/c_consumer.c" -L"$libdir" -lzimraxfileio -Wl,-rpath,"$libdir" -o "$out"
  "$out"
}
# A fully static C program: the C++ library's archive needs the C++
# runtime, which only Libs.private (pkg-config --static) names.
static_c_build() {
  local root="$1" out="$2"
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH="$(dirname "$(find "$root" -name zimraxfileio.pc | head -n 1)")"
  # shellcheck disable=SC2046
  gcc -std=c11 -static -Wall -Wextra -Werror $(pkg-config --static --cflags zimraxfileio) \
    "-DEXPECTED_VERSION=\"$(pkg-config --modversion zimraxfileio)\"" "$source_dir/c_consumer.c" \
    $(pkg-config --static --libs zimraxfileio) -o "$out"
  if ldd "$out" > /dev/null 2>&1; then
    echo "install-consumer: the static C consumer loads shared libraries: $(ldd "$out")" >&2
    exit 1
  fi
  "$out"
}

echo "install-consumer: pkg-config"
pkgconfig_build "$prefix" "$work/pkg-consumer"
echo "install-consumer: C, static, pkg-config --static"
static_c_build "$prefix" "$work/static-c-consumer"
PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name zimraxfileio.pc | head -n 1)")" \
  pkg-config --modversion zimraxfileio > "$work/version"
echo "install-consumer: C, -lzimraxfileio"
plain_c_build "$prefix" "$work/plain-c-consumer"
mv "$prefix" "$work/moved"
echo "install-consumer: pkg-config, the installed tree moved"
pkgconfig_build "$work/moved" "$work/pkg-consumer-moved"

# The Python package, three ways, each imported with no ZIMRAX_LIBRARY and no
# loader path from outside any checkout: the wheel of the python_wheel target
# in a fresh venv (it carries the library); `pip install ./python` from a
# checkout that has a build (the build's library goes into the package); and
# the same from a checkout without one, into a venv made in the installed
# tree, which finds the library there. The checkouts are copies of python/
# beside the top CMakeLists.txt (the version's source), so this one stays clean.
# python_import VENV bundled|beside: imports zimrax in VENV and checks where
# the library came from: the package's own copy, or the tree the venv is in.
python_import() {
  local venv="$1" library="$2"
  (cd "$work" && env -u ZIMRAX_LIBRARY -u LD_LIBRARY_PATH "$venv/bin/python" - "$venv" "$library" \
    "$(cat "$work/version")" <<'PY'
import os
import sys
import zimrax
from zimrax import _native
body = b'--B\r\nContent-Disposition: form-data; name="title"\r\n\r\nQ3\r\n--B--\r\n'
result = zimrax.value(body, "title")
public = sorted(name for name in dir(zimrax) if not name.startswith("_"))
print("Python: zimrax %s, library %s from %s, title: ErrorCode %d, %s" % (
    zimrax.__version__, zimrax.library_version(), _native.library_path, result.code, result.text))
venv, library, version = sys.argv[1:]
package_dir = os.path.dirname(os.path.abspath(zimrax.__file__))
in_package = os.path.dirname(os.path.abspath(_native.library_path)) == package_dir
checks = {
    "title read": result.ok and result.text == "Q3",
    "library %s, in %s" % (library, venv): _native.library_path.startswith(venv + os.sep)
    and in_package == (library == "bundled"),
    "__version__ is the project's": zimrax.__version__ == version,
    "public names are __all__": public == sorted(zimrax.__all__),
}
failed = [name for name, ok in checks.items() if not ok]
if failed:
    print("install-consumer: Python: failed: %s (public names: %s)" % (", ".join(failed), public), file=sys.stderr)
sys.exit(1 if failed else 0)
PY
  )
}
checkout_copy() {
  mkdir -p "$1"
  cp -r python "$1/python"
  rm -rf "$1/python/build" "$1"/python/*.egg-info
  cp CMakeLists.txt "$1/"
}

echo "install-consumer: Python, the wheel into a fresh venv"
cmake --build "$build" --target python_wheel > "$work/wheel.log" 2>&1 || { cat "$work/wheel.log"; exit 1; }
wheels=("$build"/python/dist/zimrax-*.whl)
[[ ${#wheels[@]} -eq 1 ]] || { echo "install-consumer: expected one wheel, found ${wheels[*]}" >&2; exit 1; }
/usr/bin/python3 -m venv "$work/wheel-venv" > "$work/venv.log"
"$work/wheel-venv/bin/pip" install --quiet --no-index "${wheels[0]}" >> "$work/venv.log" 2>&1 ||
  { cat "$work/venv.log"; exit 1; }
python_import "$work/wheel-venv" bundled

echo "install-consumer: Python, pip install ./python from a checkout with a build"
checkout_copy "$work/checkout"
mkdir -p "$work/checkout/build"
ln -s "$PWD/$build" "$work/checkout/build/release"
/usr/bin/python3 -m venv --system-site-packages "$work/checkout-venv" >> "$work/venv.log"
(cd "$work/checkout" && "$work/checkout-venv/bin/pip" install --quiet --no-build-isolation --no-index ./python) \
  >> "$work/venv.log" 2>&1 || { cat "$work/venv.log"; exit 1; }
python_import "$work/checkout-venv" bundled

echo "install-consumer: Python, pip install ./python without a build, into a venv beside the library"
checkout_copy "$work/bare-checkout"
/usr/bin/python3 -m venv --system-site-packages "$work/moved" >> "$work/venv.log"
(cd "$work/bare-checkout" && "$work/moved/bin/pip" install --quiet --no-build-isolation --no-index ./python) \
  >> "$work/venv.log" 2>&1 || { cat "$work/venv.log"; exit 1; }
python_import "$work/moved" beside
echo "install-consumer: all consumers built and ran"
