# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Cross-building for 32-bit ARM with hardware floating point (a Raspberry Pi with 32-bit
# Raspberry Pi OS) on Debian with multiarch: crossbuild-essential-armhf and Qt's :armhf
# development packages (scripts/deps.sh --arch armhf).
set(TOLLBECK_TRIPLET arm-linux-gnueabihf)
set(TOLLBECK_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
