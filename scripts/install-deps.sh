#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing chain20 need.
# Only what is missing is installed; the package lists are refreshed at most once.
# Extra package names given as arguments are installed the same way.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  freeglut3-dev libglu1-mesa-dev libgl1-mesa-dri libx11-dev libimgui-dev libstb-dev
  xvfb xdotool x11-apps x11-utils imagemagick gnuplot-nox parallel
  xauth
  pybind11-dev python3-pybind11 python3-numpy python3-pytest python3-venv python3-pip python3-setuptools python3-wheel
  python3-distributed python3-matplotlib python3-ipykernel jupyter-nbconvert
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
