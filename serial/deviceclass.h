// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <sys/types.h>

// The class the kernel files a character device under in sysfs (/sys/dev/char/MAJ:MIN/subsystem):
// "tty" for every serial port, "mem" for /dev/null and /dev/zero, "misc" for /dev/watchdog.
// Pseudo-terminal slaves, which sysfs does not list, are "tty" too. Empty where there is no
// entry to ask. Reads a link, opens nothing.
QString charDeviceClass(dev_t device);

// The class of the character device at path when it is not tty: no serial port, and never to
// be opened as one (opening /dev/watchdog starts the machine's watchdog). Empty for a terminal,
// for what is no character device, and for a device sysfs does not know, which is given the
// benefit of the doubt.
QString nonTerminalClass(const QString &path);
