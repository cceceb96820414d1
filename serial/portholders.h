// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

// A program that has a serial device open, or holds a lock on it: its process number and its
// name, and whose it is when it is not this user's.
struct PortHolder
{
    qint64 pid = 0;
    QString name;           // as /proc/PID/comm gives it; empty when that cannot be read
    bool otherUser = false; // it runs as another user, or /proc hides whose it is
    QString user;           // that user's name; empty when /proc hides it
    QString lockFile;       // the lock file that names it, when that is all that shows it
    QString lockOwner;      // that file's owner
};

// A file that stands where a lock file for a device goes: honoured, stale (ignored), or no
// lock file at all (a FIFO, a directory, a link), which would hang Qt's own locking.
struct LockFile
{
    enum class Kind { Honoured, Stale, NotAFile };
    Kind kind = Kind::Stale;
    QString path;
    QString owner;          // the file owner's name
    bool removable = false; // this user may remove it: it is theirs, or they are root
    PortHolder process;     // the process it names; pid 0 when it names none
    bool alive = false;     // that process is running
};

// The folders where programs put lock files for serial devices, in the order QSerialPort tries
// them for its own.
QStringList systemLockDirectories();

// The name QSerialPort gives a device's lock file, which minicom and the lockdev library share
// for names under /dev: the path without "/dev/", its slashes made underscores (LCK..pts_6).
QString lockFileName(const QString &device);

// The lock files for the device at path in the folders given, under the name of the node it
// leads to and under the name of the path as given. A lock file is honoured when it is a plain
// file that names a running process, and belongs to root, to this user or to that process's
// owner (where the owner cannot be read, to root or this user only). Nothing is opened but
// plain files, and those without following links.
QList<LockFile> lockFiles(const QString &path, const QStringList &lockDirectories);
// The lock files of the device that are ignored, for the port list to name.
QList<LockFile> staleLockFiles(const QString &path, const QStringList &lockDirectories);

// The process number that a lock file's first bytes give, in QLockFile's and the UUCP format (a
// decimal number, spaces before it allowed, on a line of its own or followed by a space); 0
// when they give none.
qint64 lockFileProcess(const QByteArray &text);

// A process's name as /proc/PID/comm gives it, fit for a log line: any process may name itself
// anything up to 15 bytes, so control characters (a terminal's escape sequences, line feeds)
// become '?'.
QString processName(const QByteArray &comm);

// What a holder search takes from a line of /proc/locks: the process holding a flock or POSIX
// lock, and the locked file's node (its file system's major and minor number, and its inode).
struct LockLine
{
    qint64 pid = 0;
    unsigned fileSystemMajor = 0;
    unsigned fileSystemMinor = 0;
    quint64 inode = 0;
};
// None for a line that names no holder: a lock only waited for, an open file description's
// lock (pid -1), another kind, or no such line at all.
std::optional<LockLine> locksLine(const QByteArray &line);

// The programs that hold each device of paths (device nodes or links to them) open or locked,
// found without opening any: keyed by the path as given, with an entry for every path. Looks
// at every process's open files once, and at /proc/locks, which shows the flock and POSIX
// locks of every user. The far end of a pseudo-terminal cable does not count: a process that
// holds the master side, or descends from one that does, is the cable. When none is found, an
// honoured lock file names the holder. Of another process's descriptors it reads only the
// links, and looks further only at those that lead under /dev/, so another program's hung
// network or FUSE file system cannot stall it. It does stat the paths given, which a mapped
// path on such a file system would stall as opening it would, and lstat the lock files.
std::map<QString, QList<PortHolder>> findPortHolders(const QStringList &paths,
                                                     const QStringList &lockDirectories
                                                     = systemLockDirectories());
QList<PortHolder> findPortHolders(const QString &path,
                                  const QStringList &lockDirectories = systemLockDirectories());

// Whether this user may list the open files of every process, as root may: only then does a
// search that finds no holder show that nobody holds a device.
bool everyProcessVisible();

// "minicom (process 4242)", "picocom (process 4242 of another user, root)", "process 4242 of
// another user"; several joined with ", ".
QString holderNames(const QList<PortHolder> &holders);

// What a lock file names: the holder as above, "process 4242, no such process", or "no
// process" for a file without a process number.
QString namedProcess(const LockFile &lock);
