// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portholders.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The slaves of /dev/ptmx: major 136 with any minor on current kernels, majors 136 to 143 with
// 256 minors each on older ones. Either way slave N is (major - 136) * 256 + minor.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;
constexpr int kPtysPerMajor = 256;
// Deeper than any real process tree; ends the walk should /proc ever show a loop.
constexpr int kMaxAncestors = 64;
// Room for "PID/fdinfo/FD", each name a directory entry's of up to 255 bytes.
constexpr size_t kPathSize = 2 * 256 + 16;

// The device looked for: its number, and the slave's number when it is a pseudo-terminal.
struct Target
{
    dev_t device;
    int ptyIndex; // -1: not a pseudo-terminal slave
};

// What one process holds of the target.
struct Holds
{
    bool slave = false;
    bool master = false;
};

// Only a terminal can be a serial port. Anything else will not open as one, and some such
// devices (/dev/null) are held by nearly every process.
bool isTerminal(const Target &target)
{
    if (target.ptyIndex >= 0)
        return true; // pseudo-terminal slaves are not in sysfs
    char path[64];
    char subsystem[256];
    std::snprintf(path,
                  sizeof path,
                  "/sys/dev/char/%u:%u/subsystem",
                  ::major(target.device),
                  ::minor(target.device));
    const ssize_t length = ::readlink(path, subsystem, sizeof subsystem);
    if (length < 0)
        return true; // no sysfs to ask: look all the same
    return length >= 4 && std::memcmp(subsystem + length - 4, "/tty", 4) == 0;
}

// Reads a small file below /proc whole into buffer, NUL-terminated; false when it cannot.
bool readProcFile(int procFd, const char *path, char *buffer, size_t size)
{
    const int fd = ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t length = ::read(fd, buffer, size - 1);
    ::close(fd);
    if (length < 0)
        return false;
    buffer[length] = '\0';
    return true;
}

// The slave number a /dev/ptmx descriptor is the master of; -1 when unknown.
int masterIndex(int procFd, const char *pid, const char *fd)
{
    char path[kPathSize];
    char info[512];
    std::snprintf(path, sizeof path, "%s/fdinfo/%s", pid, fd);
    if (!readProcFile(procFd, path, info, sizeof info))
        return -1;
    const char *field = std::strstr(info, "tty-index:");
    return field ? std::atoi(field + std::strlen("tty-index:")) : -1;
}

Holds holdsOf(int procFd, const char *pid, const Target &target)
{
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/fd", pid);
    const int fdDir = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0)
        return {}; // gone, or another user's: its descriptors cannot be listed
    DIR *dir = ::fdopendir(fdDir);
    if (!dir) {
        ::close(fdDir);
        return {};
    }
    Holds holds;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        // Reading the link text never touches the file it names. Only a device node is examined
        // further: a stat of a file on a hung network or FUSE file system could block.
        char link[128];
        const ssize_t length = ::readlinkat(fdDir, entry->d_name, link, sizeof link - 1);
        if (length < 5 || std::strncmp(link, "/dev/", 5) != 0)
            continue;
        link[length] = '\0';
        if (target.ptyIndex >= 0
            && (std::strcmp(link, "/dev/ptmx") == 0 || std::strcmp(link, "/dev/pts/ptmx") == 0)) {
            holds.master
                = holds.master || masterIndex(procFd, pid, entry->d_name) == target.ptyIndex;
            continue;
        }
        struct stat node
        {};
        holds.slave = holds.slave
                      || (::fstatat(fdDir, entry->d_name, &node, 0) == 0 && S_ISCHR(node.st_mode)
                          && node.st_rdev == target.device);
    }
    ::closedir(dir);
    return holds;
}

pid_t parentOf(int procFd, pid_t pid)
{
    char path[kPathSize];
    char stat[512];
    std::snprintf(path, sizeof path, "%d/stat", pid);
    if (!readProcFile(procFd, path, stat, sizeof stat))
        return 0;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses itself.
    const char *end = std::strrchr(stat, ')');
    int parent = 0;
    return end && std::sscanf(end + 1, " %*c %d", &parent) == 1 ? parent : 0;
}

QString nameOf(int procFd, qint64 pid)
{
    char path[kPathSize];
    char name[64];
    std::snprintf(path, sizeof path, "%lld/comm", static_cast<long long>(pid));
    if (!readProcFile(procFd, path, name, sizeof name))
        return {};
    return QString::fromLocal8Bit(name).trimmed();
}

// socat's EXEC child inherits the slave that socat holds next to the master, so a holder is the
// cable when it, or any process it descends from, holds the master.
bool isCable(int procFd, pid_t pid, const std::set<pid_t> &masterHolders)
{
    for (int depth = 0; pid > 0 && depth < kMaxAncestors; ++depth) {
        if (masterHolders.count(pid) != 0)
            return true;
        pid = parentOf(procFd, pid);
    }
    return false;
}

// The name QSerialPort gives a device's lock file, which minicom and the lockdev library
// share for names under /dev: the path without "/dev/", its slashes made underscores.
QString lockFileName(const QString &device)
{
    QString name = device.startsWith(u"/dev/"_s) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    return u"LCK.."_s + name;
}

// The running process a lock file names, for the mapped name or the device it leads to. The
// first line of the file is the process number, in both QLockFile's and the UUCP format.
QList<PortHolder> lockFileHolders(int procFd, const QString &path)
{
    const QString devices[] = {path, QFileInfo(path).canonicalFilePath()};
    for (const QString &dir : {u"/var/lock"_s, u"/run/lock"_s, u"/tmp"_s}) {
        for (const QString &device : devices) {
            QFile file(dir + u'/' + lockFileName(device));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            bool ok = false;
            const qint64 pid = file.readLine().trimmed().toLongLong(&ok);
            if (ok && pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
                return {PortHolder{pid, nameOf(procFd, pid)}};
        }
    }
    return {};
}

} // namespace

QList<PortHolder> findPortHolders(const QString &path)
{
    struct stat node
    {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return {}; // opening it will tell what is wrong
    const unsigned major = ::major(node.st_rdev);
    const bool pty = major >= kFirstPtySlaveMajor && major < kFirstPtySlaveMajor + kPtySlaveMajors;
    const Target target{node.st_rdev,
                        pty ? int(major - kFirstPtySlaveMajor) * kPtysPerMajor
                                  + int(::minor(node.st_rdev))
                            : -1};
    if (!isTerminal(target))
        return {};

    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return {};
    DIR *processes = ::fdopendir(procFd);
    if (!processes) {
        ::close(procFd);
        return {};
    }
    std::set<pid_t> slaveHolders;
    std::set<pid_t> masterHolders;
    while (const dirent *entry = ::readdir(processes)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        const Holds holds = holdsOf(procFd, entry->d_name, target);
        const pid_t pid = std::atoi(entry->d_name);
        if (holds.slave)
            slaveHolders.insert(pid);
        if (holds.master)
            masterHolders.insert(pid);
    }

    QList<PortHolder> holders;
    for (const pid_t pid : slaveHolders) {
        if (!isCable(procFd, pid, masterHolders))
            holders.append(PortHolder{pid, nameOf(procFd, pid)});
    }
    if (holders.isEmpty())
        holders = lockFileHolders(procFd, path);
    ::closedir(processes);
    return holders;
}
