#!/usr/bin/env bash
# Installs the Debian packages this project builds with, and only those that
# are missing, then the review workstation's npm packages from its lock file
# when they are missing or the lock file changed; a prepared machine pays
# nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  g++ cmake make pkg-config
  googletest libgtest-dev libgmock-dev
  libocct-foundation-dev libocct-modeling-data-dev libocct-modeling-algorithms-dev
  libocct-data-exchange-dev
  libzip-dev libssl-dev
  chromium python3 parallel
)
# Node.js and npm serve and test the review workstation; a machine that has
# them from elsewhere keeps its own.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi
# `bootstrap.sh fuzz` adds the compiler and runtime of the fuzz targets.
if [[ "${1:-}" == fuzz ]]; then
  packages+=(clang-14 libfuzzer-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "root or sudo is needed to install packages" >&2; exit 1; }
    sudo_cmd=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The stamp is the lock file the installed packages came from.
viewer="$root/viewer"
stamp="$viewer/node_modules/.installed-from-lock"
if ! cmp -s "$viewer/package-lock.json" "$stamp"; then
  echo "installing the review workstation's npm packages"
  npm ci --prefix "$viewer" --no-audit --no-fund --loglevel=error
  cp "$viewer/package-lock.json" "$stamp"
fi
