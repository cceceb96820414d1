#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Installs the named Debian packages that are missing (and the build's own when none are named).
# Asks apt only when something is missing, so a set-up machine starts at once.
#   bash scripts/deps.sh [PACKAGE ...]
#   bash scripts/deps.sh --arch arm64|armhf   the cross build for that architecture: Debian's
#       cross compilers, Qt's development packages of that architecture (multiarch), and qemu's
#       user mode, which runs the suite built for it
set -euo pipefail
arch=""
if [ "${1:-}" = --arch ]; then
    arch=${2:?"--arch needs arm64 or armhf"}
    shift 2
fi
packages=("$@")
if [ -n "$arch" ]; then
    case $arch in
        arm64 | armhf) ;;
        *) echo "--arch: arm64 or armhf, not $arch" >&2; exit 2 ;;
    esac
    # Qt's Gui configuration asks for the OpenGL and Vulkan headers of the same architecture.
    packages=(cmake make g++ qt6-base-dev qt6-base-dev-tools dpkg-dev qemu-user-static
        "crossbuild-essential-$arch" "qt6-base-dev:$arch" "qt6-serialport-dev:$arch"
        "qt6-qpa-plugins:$arch" "libgl-dev:$arch" "libglx-dev:$arch" "libopengl-dev:$arch"
        "libegl-dev:$arch" "libvulkan-dev:$arch" "${packages[@]}")
elif [ ${#packages[@]} -eq 0 ]; then
    # umockdev plants USB adapters for the tests, which every build but the package's has.
    packages=(cmake make g++ qt6-base-dev qt6-serialport-dev qt6-qpa-plugins fonts-liberation2
        pkg-config umockdev libumockdev-dev gir1.2-umockdev-1.0)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "Missing Debian packages: ${missing[*]}" >&2
        [ -z "$arch" ] || echo "As root first: dpkg --add-architecture $arch; apt-get update" >&2
        echo "Install them as root, then run this again:" \
            "apt-get install --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    sudo=sudo
fi
# Packages of another architecture come from apt once dpkg knows that architecture.
if [ -n "$arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "Adding the architecture $arch to dpkg"
    $sudo dpkg --add-architecture "$arch"
fi
echo "Installing: ${missing[*]}"
# Another apt (unattended-upgrades on a fresh machine) may hold the lock: wait for it.
wait_for_lock=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${wait_for_lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait_for_lock[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}"
