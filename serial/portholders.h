// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <map>

// A program that has a serial device open: its process number and its name.
struct PortHolder
{
    qint64 pid = 0;
    QString name; // as /proc/PID/comm gives it; empty when that cannot be read
};

// The programs that hold each device of paths (device nodes or links to them) open, found
// without opening any, from one look at every process: keyed by the path as given, with an
// entry for every path. The far end of a pseudo-terminal cable does not count: a process that
// holds the master side, or descends from one that does, is the cable. Only processes whose
// descriptors this user may list are seen; when none is seen, a lock file that names a running
// process we cannot see, or one that holds the device, names that one. Nothing read can block.
std::map<QString, QList<PortHolder>> findPortHolders(const QStringList &paths);
QList<PortHolder> findPortHolders(const QString &path);

// "minicom (process 4242)", several joined with ", "; "process 4242" where the name is unknown.
QString holderNames(const QList<PortHolder> &holders);

// A file other than a lock file (a FIFO, a link, a directory) where a lock file for the device
// at path would go; empty when there is none. Every local user may put one there, and
// QSerialPort would wait for ever reading it as the lock it must respect.
QString foreignLockFile(const QString &path);
