#!/usr/bin/env bash
# Installs whatever this project needs that the machine lacks: the compilers
# and libraries from Debian's packages, and (when a package.json is present)
# the pinned npm packages. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake make g++ clang lld pkg-config curl ca-certificates
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
)
# Extra packages that later parts of the project list, one per line.
if [[ -f scripts/extra-packages.txt ]]; then
  while read -r name; do
    [[ -n "$name" && "$name" != \#* ]] && packages+=("$name")
  done < scripts/extra-packages.txt
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [[ -f package-lock.json ]] && { [[ ! -d node_modules ]] || [[ package-lock.json -nt node_modules ]]; }; then
  npm ci --no-audit --no-fund
  touch node_modules
fi
echo "setup: ready"
