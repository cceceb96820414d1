#!/usr/bin/env bash
# Installs into a temporary prefix and checks the layout a desktop expects: the program and
# readme.txt in one directory (Help looks beside the executable), a command on the PATH that
# resolves to it, the desktop entry, the icon and valid AppStream metadata.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

program=$(readlink -f "$prefix/bin/tollbeck")
[ -x "$program" ] || { echo "bin/tollbeck does not lead to the program"; exit 1; }
[ -f "$(dirname "$program")/readme.txt" ] || { echo "no readme.txt beside $program"; exit 1; }
desktop-file-validate "$prefix/share/applications/tollbeck.desktop"
[ -f "$prefix/share/icons/hicolor/32x32/apps/tollbeck.png" ] || { echo "no icon"; exit 1; }
appstreamcli validate --no-net "$prefix/share/metainfo/io.github.tollbeck.Tollbeck.metainfo.xml"

# The installed command starts and keeps running until it is stopped.
source "$(dirname "$0")/../scripts/common.sh"
keeps_running "$prefix/bin/tollbeck"
echo "installed layout is complete: $program, readme.txt beside it"
