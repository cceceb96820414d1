# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Cross-building for 64-bit ARM (a Raspberry Pi with 64-bit Raspberry Pi OS) on Debian with
# multiarch: crossbuild-essential-arm64 and Qt's :arm64 development packages (scripts/deps.sh
# --arch arm64).
set(TOLLBECK_TRIPLET aarch64-linux-gnu)
set(TOLLBECK_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
