# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# shellcheck shell=bash
# Shell functions shared by the scripts; source it, do not run it.

# start_cable BUILD CONFIG [KIND ...]: starts a virtual cable in the background and maps COM 1
# to it in the Tollbeck settings file under CONFIG (used as XDG_CONFIG_HOME). Sets
# cable_device; the caller stops the cable with its other background jobs.
start_cable() {
    local build=$1 config=$2
    shift 2
    mkfifo "$config/cable"
    "$build/tools/virtual-cable" "$@" >"$config/cable" &
    read -r cable_device <"$config/cable"
    mkdir -p "$config/Tollbeck"
    printf '[Ports]\nCOM1=%s\n' "$cable_device" >"$config/Tollbeck/Tollbeck.conf"
}

# keeps_running COMMAND: starts the program headless with empty settings and succeeds when it
# is still running after three seconds. A program built for another architecture runs under
# TOLLBECK_EMULATOR (qemu's user mode, as the suite's CMake files name it).
keeps_running() {
    local config status=0 emulator
    read -ra emulator <<<"${TOLLBECK_EMULATOR:-}"
    config=$(mktemp -d)
    XDG_CONFIG_HOME=$config QT_QPA_PLATFORM=offscreen timeout 3 "${emulator[@]}" "$1" || status=$?
    rm -rf "$config"
    if [ "$status" -ne 124 ]; then
        echo "$1 did not keep running (exit $status)" >&2
        return 1
    fi
}
