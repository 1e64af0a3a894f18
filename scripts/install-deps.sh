#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need.
# Idempotent: apt is only touched when a package is missing.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config
  clang-format clang-tidy clang libclang-rt-14-dev
  libhdf5-dev hdf5-tools
  libblosc-dev hdf5-filter-plugin-blosc-serial
  libcurl4-openssl-dev libarchive-dev libdeflate-dev
  libfmt-dev libspdlog-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-h5py python3-numpy python3-pytest python3-venv python3-setuptools
  pybind11-dev python3-dev python3-pandas python3-jsonschema
  bzip2 faketime tmux
  python3-tqdm python3-ipywidgets python3-nbconvert python3-ipykernel python3-mypy
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
