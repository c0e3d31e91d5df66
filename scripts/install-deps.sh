#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the example
# need, skipping those that are already there.
set -euo pipefail

packages=(cmake make g++ zlib1g-dev libgtest-dev binutils-powerpc-linux-gnu gcc-powerpc-linux-gnu)
if [ "${QDLGEN_FUZZ_DEPS:-1}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "All build and test packages are installed."
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
