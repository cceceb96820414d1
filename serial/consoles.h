// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The devices the kernel writes its messages to, or a getty or a desktop runs on: a loopback
// check's modem command and bytes must never reach them.
enum class Console { None, SystemConsole, VirtualTerminal };

// The paths of the consoles, links allowed; tests give their own.
using ConsoleList = std::function<QStringList()>;

// /dev/console, /dev/tty, and every console that /proc/consoles lists or
// /sys/class/tty/console/active names (it may name several). Reads those two files only.
QStringList systemConsoles();

// The consoles that the text of /proc/consoles (a line each, its name first) and of
// /sys/class/tty/console/active (names separated by spaces) name, as paths under /dev/.
QStringList consoleDevices(const QByteArray &procConsoles, const QByteArray &active);

// What the device at path is, compared by device number with links resolved: a virtual
// terminal (/dev/ttyN), one of consoles, or neither. Looks with stat, opens nothing.
Console consoleKind(const QString &path, const QStringList &consoles);

// "system console", "virtual terminal"; empty for None.
QString consoleName(Console kind);
