#!/usr/bin/env bash
# Installs the Debian packages that qdlgen's demo or its tests need, skipping
# those that are already there. Works as root on a minimal Debian 12 (no sudo
# needed there) and through sudo otherwise.
set -euo pipefail

usage() {
  echo "usage: install-deps.sh --demo | --test | --package | --help"
}

help() {
  usage
  cat <<'EOF'
  --demo     what building qdlgen and qdldump needs: cmake, make, g++, zlib1g-dev
  --test     that, and what the tests need: libgtest-dev, the GNU PowerPC cross
             toolchain (binutils-powerpc-linux-gnu, gcc-powerpc-linux-gnu) and,
             for the fuzzers, clang and libclang-rt-14-dev (not with
             QDLGEN_FUZZ_DEPS=0)
  --package  what building the Debian package needs: the --demo packages,
             dpkg-dev (dpkg-shlibdeps) and file
  --help     print this text
Packages already installed are skipped; the package lists are refreshed only
when something is missing.
EOF
}

if [ $# -ne 1 ]; then
  usage >&2
  exit 2
fi

packages=(cmake make g++ zlib1g-dev)
case "$1" in
  --demo) ;;
  --test)
    packages+=(libgtest-dev binutils-powerpc-linux-gnu gcc-powerpc-linux-gnu)
    if [ "${QDLGEN_FUZZ_DEPS:-1}" = 1 ]; then
      packages+=(clang libclang-rt-14-dev)
    fi
    ;;
  --package) packages+=(dpkg-dev file) ;;
  --help|-h) help; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "All ${packages[*]} are installed."
  exit 0
fi

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends \
  -o Dpkg::Use-Pty=0 -o APT::Color=0 "${missing[@]}"
