// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QList>
#include <QString>

// A program that has a serial device open: its process number and its name.
struct PortHolder
{
    qint64 pid = 0;
    QString name; // as /proc/PID/comm gives it; empty when that cannot be read
};

// The programs that hold the device at path (a device node or a link to one) open, found
// without opening it. The far end of a pseudo-terminal cable does not count: a process that
// holds the master side, or descends from one that does, is the cable. Only processes whose
// descriptors this user may list are seen; when none is seen, a lock file that names a running
// process names that one. Empty when nobody is known to hold the device.
QList<PortHolder> findPortHolders(const QString &path);
