#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Installs the named Debian packages that are missing (and the build's own when none are named).
# Asks apt only when something is missing, so a set-up machine starts at once.
set -euo pipefail
packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
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
        echo "Install them as root, then run this again:" \
            "apt-get install --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    sudo=sudo
fi
echo "Installing: ${missing[*]}"
# Another apt (unattended-upgrades on a fresh machine) may hold the lock: wait for it.
wait_for_lock=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${wait_for_lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait_for_lock[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}"
