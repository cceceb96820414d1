#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Installs into a temporary prefix and checks the layout a desktop expects: the program and
# readme.txt in one directory (Help looks beside the executable), a command on the PATH that
# resolves to it, the desktop entry, the icon in its sizes, valid AppStream metadata, a man page.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

program=$(readlink -f "$prefix/bin/tollbeck")
[ -x "$program" ] || { echo "bin/tollbeck does not lead to the program"; exit 1; }
[ -f "$(dirname "$program")/readme.txt" ] || { echo "no readme.txt beside $program"; exit 1; }
desktop-file-validate "$prefix/share/applications/tollbeck.desktop"
# The icon in each size desktops look for, each file as large as its directory says.
for size in 32 48 64 128 256; do
    icon=$prefix/share/icons/hicolor/${size}x${size}/apps/tollbeck.png
    [ -f "$icon" ] || { echo "no ${size}x${size} icon"; exit 1; }
    # A PNG's width and height are the 4-byte numbers at offsets 16 and 20.
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$icon")
    [ "$width" = "$size" ] && [ "$height" = "$size" ] \
        || { echo "$icon is ${width}x${height}"; exit 1; }
done
appstreamcli validate --pedantic --no-net "$prefix"/share/metainfo/io.github.tollbeck.*.xml
# grep -c reads to the end, so zcat never meets a closed pipe
zcat "$prefix/share/man/man1/tollbeck.1.gz" | grep -c '^\.TH TOLLBECK 1' >/dev/null \
    || { echo "no man page"; exit 1; }

# The installed command starts and keeps running until it is stopped.
source "$(dirname "$0")/../scripts/common.sh"
keeps_running "$prefix/bin/tollbeck"
echo "installed layout is complete: $program, readme.txt beside it"
