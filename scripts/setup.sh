#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine. Idempotent: when everything is
# present it only checks and returns within seconds.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

APT_PACKAGES=(
  cmake ninja-build g++ make pkg-config ccache clang-format
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  wine wine64 xvfb xdotool x11-utils imagemagick
  pulseaudio pulseaudio-utils espeak-ng sox
  fonts-liberation2 fonts-wine
  python3-venv
)

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Python: one virtual environment for the worker and its tests, outside the work tree so that a
# fresh clone reuses it. The CUDA lines are left out without an NVIDIA GPU, as the worker does.
venv=$("$here/scripts/venv_path.sh")
if [ ! -x "$venv/bin/python" ]; then
  echo "setup: creating $venv"
  mkdir -p "$(dirname "$venv")"
  python3 -m venv "$venv"
fi
reqs=$(mktemp)
if command -v nvidia-smi >/dev/null 2>&1 && nvidia-smi -L >/dev/null 2>&1; then
  tr -d '\r' < "$here/worker/requirements.txt" > "$reqs"
else
  tr -d '\r' < "$here/worker/requirements.txt" | grep -v -i '^nvidia' > "$reqs"
fi
cat "$here/tests/requirements-dev.txt" >> "$reqs"
stamp="$venv/.colloquor-requirements"
if ! cmp -s "$reqs" "$stamp"; then
  echo "setup: installing Python packages into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$reqs"
  cp "$reqs" "$stamp"
fi
rm -f "$reqs"
