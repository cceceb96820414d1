// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portholders.h"

#include <QFile>
#include <QFileInfo>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

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

// A device looked for: its number, and the slave's number when it is a pseudo-terminal.
struct Target
{
    dev_t device;
    int ptyIndex; // -1: not a pseudo-terminal slave
};

// What one look at every process found: who holds which device, and whose descriptors could be
// listed at all.
struct Scan
{
    std::map<dev_t, std::set<pid_t>> slaveHolders;
    std::map<int, std::set<pid_t>> masterHolders; // by slave number
    std::set<pid_t> visible;
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

// Notes what one process holds of the targets, if its descriptors can be listed at all.
void scanProcess(int procFd, const char *pid, const std::vector<Target> &targets, Scan &scan)
{
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/fd", pid);
    const int fdDir = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0)
        return; // gone, or another user's: its descriptors cannot be listed
    DIR *dir = ::fdopendir(fdDir);
    if (!dir) {
        ::close(fdDir);
        return;
    }
    const pid_t process = std::atoi(pid);
    scan.visible.insert(process);
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
        if (std::strcmp(link, "/dev/ptmx") == 0 || std::strcmp(link, "/dev/pts/ptmx") == 0) {
            if (const int index = masterIndex(procFd, pid, entry->d_name); index >= 0)
                scan.masterHolders[index].insert(process);
            continue;
        }
        struct stat node
        {};
        if (::fstatat(fdDir, entry->d_name, &node, 0) != 0 || !S_ISCHR(node.st_mode))
            continue;
        for (const Target &target : targets) {
            if (node.st_rdev == target.device)
                scan.slaveHolders[target.device].insert(process);
        }
    }
    ::closedir(dir);
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

// Where programs put lock files for serial devices; QSerialPort takes the first of these it may
// write to, other programs /var/lock.
const QString kLockDirectories[] = {u"/var/lock"_s,
                                    u"/etc/locks"_s,
                                    u"/var/spool/locks"_s,
                                    u"/var/spool/uucp"_s,
                                    u"/tmp"_s,
                                    u"/var/tmp"_s,
                                    u"/var/lock/lockdev"_s,
                                    u"/run/lock"_s};

// The name QSerialPort gives a device's lock file, which minicom and the lockdev library
// share for names under /dev: the path without "/dev/", its slashes made underscores.
QString lockFileName(const QString &device)
{
    QString name = device.startsWith(u"/dev/"_s) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    return u"LCK.."_s + name;
}

// Every place a lock file for the device, by the mapped name or the node it leads to, may be.
QStringList lockFilePaths(const QString &path)
{
    QStringList paths;
    for (const QString &device : {path, QFileInfo(path).canonicalFilePath()}) {
        for (const QString &dir : kLockDirectories)
            paths << dir + u'/' + lockFileName(device);
    }
    paths.removeDuplicates();
    return paths;
}

// The process number on the first line of a lock file, in both QLockFile's and the UUCP format;
// 0 when there is none. Every local user may write to the lock directories, so only a regular
// file is read, and no more than a line's worth: a FIFO there would wait for a writer, and a
// device node might answer being opened.
pid_t lockFilePid(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat node
    {};
    if (::lstat(name.constData(), &node) != 0 || !S_ISREG(node.st_mode))
        return 0;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    ssize_t length = -1;
    if (::fstat(fd, &node) == 0 && S_ISREG(node.st_mode)) // it may have changed since the look
        length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    int pid = 0;
    int end = 0;
    if (length <= 0 || std::sscanf(text, " %d%n", &pid, &end) != 1 || pid <= 0)
        return 0;
    return end == length || std::isspace(static_cast<unsigned char>(text[end])) ? pid : 0;
}

// The process a lock file for the device names. A
// lock is stale when its process is gone (crashed radio software leaves one behind), or when we
// can see the process and it does not hold the device: its number has gone to another program.
QList<PortHolder> lockFileHolders(int procFd,
                                  const QString &path,
                                  const std::set<pid_t> &deviceHolders,
                                  const Scan &scan)
{
    for (const QString &lockFile : lockFilePaths(path)) {
        const pid_t pid = lockFilePid(lockFile);
        if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM))
            continue;
        if (scan.visible.count(pid) != 0 && deviceHolders.count(pid) == 0)
            continue;
        return {PortHolder{pid, nameOf(procFd, pid)}};
    }
    return {};
}

} // namespace

std::map<QString, QList<PortHolder>> findPortHolders(const QStringList &paths)
{
    std::map<QString, QList<PortHolder>> found;
    std::map<QString, Target> targets;
    for (const QString &path : paths) {
        found[path];
        struct stat node
        {};
        if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
            continue; // opening it will tell what is wrong
        const unsigned major = ::major(node.st_rdev);
        const bool pty
            = major >= kFirstPtySlaveMajor && major < kFirstPtySlaveMajor + kPtySlaveMajors;
        const Target target{node.st_rdev,
                            pty ? int(major - kFirstPtySlaveMajor) * kPtysPerMajor
                                      + int(::minor(node.st_rdev))
                                : -1};
        if (isTerminal(target))
            targets.emplace(path, target);
    }
    if (targets.empty())
        return found;

    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return found;
    DIR *processes = ::fdopendir(procFd);
    if (!processes) {
        ::close(procFd);
        return found;
    }
    std::vector<Target> looked;
    looked.reserve(targets.size());
    for (const auto &entry : targets)
        looked.push_back(entry.second);
    Scan scan;
    while (const dirent *entry = ::readdir(processes)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            scanProcess(procFd, entry->d_name, looked, scan);
    }

    for (const auto &[path, target] : targets) {
        const std::set<pid_t> &deviceHolders = scan.slaveHolders[target.device];
        QList<PortHolder> &holders = found[path];
        for (const pid_t pid : deviceHolders) {
            if (!isCable(procFd, pid, scan.masterHolders[target.ptyIndex]))
                holders.append(PortHolder{pid, nameOf(procFd, pid)});
        }
        if (holders.isEmpty())
            holders = lockFileHolders(procFd, path, deviceHolders, scan);
    }
    ::closedir(processes);
    return found;
}

QList<PortHolder> findPortHolders(const QString &path)
{
    return findPortHolders(QStringList{path})[path];
}

QString holderNames(const QList<PortHolder> &holders)
{
    QStringList names;
    for (const PortHolder &holder : holders) {
        names << (holder.name.isEmpty() ? u"process %1"_s.arg(holder.pid)
                                        : u"%1 (process %2)"_s.arg(holder.name).arg(holder.pid));
    }
    return names.join(u", "_s);
}

QString foreignLockFile(const QString &path)
{
    for (const QString &lockFile : lockFilePaths(path)) {
        struct stat node
        {};
        if (::lstat(QFile::encodeName(lockFile).constData(), &node) == 0 && !S_ISREG(node.st_mode))
            return lockFile;
    }
    return {};
}
