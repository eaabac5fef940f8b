#!/usr/bin/env bash
# Installs what the kit needs to build and test (Debian packages only), and
# the packages named as arguments beside them.
# Usage: bash scripts/deps.sh [package ...]
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev llvm binutils
      libgtest-dev libgmock-dev libbenchmark-dev
      libusb-1.0-0-dev libpcap-dev iproute2 util-linux
      pkg-config umockdev libumockdev-dev "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
# 32-bit records test: optional, only where the multilib compilers install.
if ! dpkg -s g++-multilib >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive ${SUDO:-} apt-get install -y -qq gcc-multilib g++-multilib >/dev/null 2>&1 || true
fi
