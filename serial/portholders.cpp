// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/portholders.h"

#include "serial/deviceaccess.h"
#include "serial/deviceclass.h"

#include <QFile>
#include <QFileInfo>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
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

// A device looked for: its number, the slave's number when it is a pseudo-terminal, and the
// node's own place (its file system and inode), by which /proc/locks names it.
struct Target
{
    dev_t device;
    int ptyIndex; // -1: not a pseudo-terminal slave
    dev_t nodeFileSystem;
    ino_t node;
};

// What one look at every process found: who holds which device, and whether any process hid
// its descriptors.
struct Scan
{
    std::map<dev_t, std::set<pid_t>> slaveHolders;
    std::map<int, std::set<pid_t>> masterHolders; // by slave number
    bool hidden = false;                          // some process's descriptors could not be listed
};

// Only a terminal can be a serial port, and only a USB device node can be claimed from a USB
// adapter (through usbfs). Anything else is never looked for: some such devices (/dev/null)
// are held by nearly every process.
bool isTerminalOrUsb(const Target &target)
{
    if (target.ptyIndex >= 0)
        return true; // pseudo-terminal slaves are not in sysfs
    const QString kind = charDeviceClass(target.device);
    return kind.isEmpty() || kind == u"tty"_s
           || kind == u"usb"_s; // no sysfs to ask: look all the same
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
    if (fdDir < 0) {
        // Another user's, or not dumpable; or gone since the directory was listed.
        scan.hidden = scan.hidden || errno != ENOENT;
        return;
    }
    DIR *dir = ::fdopendir(fdDir);
    if (!dir) {
        ::close(fdDir);
        return;
    }
    const pid_t process = std::atoi(pid);
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        // Reading the link text never touches the file it names. Only a device node is examined
        // further: a stat of a file on a hung network or FUSE file system could block. A
        // process in a container or chroot names its /dev below that root.
        char link[128];
        const ssize_t length = ::readlinkat(fdDir, entry->d_name, link, sizeof link - 1);
        if (length < 5)
            continue;
        link[length] = '\0';
        if (std::strstr(link, "/dev/") == nullptr)
            continue;
        if (std::strcmp(link, "/dev/ptmx") == 0 || std::strcmp(link, "/dev/pts/ptmx") == 0) {
            if (const int index = masterIndex(procFd, pid, entry->d_name); index >= 0)
                scan.masterHolders[index].insert(process);
            continue;
        }
        struct stat node
        {};
        if (::fstatat(fdDir, entry->d_name, &node, 0) != 0)
            continue;
        // The same device, or the very node that was looked up.
        for (const Target &target : targets) {
            if ((S_ISCHR(node.st_mode) && node.st_rdev == target.device)
                || (node.st_dev == target.nodeFileSystem && node.st_ino == target.node))
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

// The owner of a process; none where /proc hides it (hidepid) or the process is gone.
std::optional<uid_t> ownerOf(int procFd, qint64 pid)
{
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%lld", static_cast<long long>(pid));
    struct stat process
    {};
    if (::fstatat(procFd, path, &process, 0) != 0)
        return std::nullopt;
    return process.st_uid;
}

// A process as the log names it: its name where /proc shows it, and whose it is.
PortHolder describe(int procFd, qint64 pid)
{
    char path[kPathSize];
    char name[64];
    std::snprintf(path, sizeof path, "%lld/comm", static_cast<long long>(pid));
    PortHolder holder{pid, {}, false, {}, {}, {}};
    if (readProcFile(procFd, path, name, sizeof name))
        holder.name = processName(name);
    const std::optional<uid_t> owner = ownerOf(procFd, pid);
    holder.otherUser = !owner || *owner != ::geteuid();
    if (owner && holder.otherUser)
        holder.user = userName(*owner);
    return holder;
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

// The processes with a flock or POSIX lock on each target's node, from one read of
// /proc/locks, which every user may read.
std::map<dev_t, std::set<pid_t>> lockHolders(const std::map<QString, Target> &targets)
{
    std::map<dev_t, std::set<pid_t>> holders;
    QFile locks(u"/proc/locks"_s);
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return holders;
    for (const QByteArray &text : locks.readAll().split('\n')) {
        const std::optional<LockLine> line = locksLine(text);
        if (!line)
            continue;
        for (const auto &entry : targets) {
            const Target &target = entry.second;
            if (target.node == line->inode
                && ::major(target.nodeFileSystem) == line->fileSystemMajor
                && ::minor(target.nodeFileSystem) == line->fileSystemMinor)
                holders[target.device].insert(pid_t(line->pid));
        }
    }
    return holders;
}

// The file names a lock file for the device at path may have: the name of the node it leads
// to, which QSerialPort and other programs use, and that of the path as the user gave it; each
// also as minicom writes it, after the last part of the path alone (LCK..vport for a link
// $HOME/vport).
QStringList lockFilePaths(const QString &path, const QStringList &lockDirectories)
{
    QStringList paths;
    for (const QString &device : {QFileInfo(path).canonicalFilePath(), path}) {
        if (device.isEmpty())
            continue;
        for (const QString &dir : lockDirectories) {
            paths << dir + u'/' + lockFileName(device);
            paths << dir + u"/LCK.."_s + QFileInfo(device).fileName();
        }
    }
    paths.removeDuplicates();
    return paths;
}

// The process number on the first line of a lock file; 0 when there is none. Every local user
// may write to the lock directories, so only a regular file is read, and no more than a line's
// worth: a FIFO there would wait for a writer, and a device node might answer being opened.
pid_t lockFilePid(const QByteArray &name)
{
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    ssize_t length = -1;
    struct stat node
    {};
    if (::fstat(fd, &node) == 0 && S_ISREG(node.st_mode)) // it may have changed since the look
        length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return length > 0 ? pid_t(lockFileProcess(QByteArray(text, length))) : 0;
}

QList<LockFile> lockFilesSeen(int procFd, const QString &path, const QStringList &lockDirectories)
{
    QList<LockFile> found;
    const uid_t user = ::geteuid();
    std::set<std::pair<dev_t, ino_t>> seen; // /var/lock is a link to /run/lock
    for (const QString &file : lockFilePaths(path, lockDirectories)) {
        const QByteArray name = QFile::encodeName(file);
        struct stat node
        {};
        if (::lstat(name.constData(), &node) != 0 || !seen.emplace(node.st_dev, node.st_ino).second)
            continue;
        LockFile lock;
        lock.path = file;
        lock.owner = userName(node.st_uid);
        lock.removable = user == 0 || node.st_uid == user;
        if (!S_ISREG(node.st_mode)) {
            lock.kind = LockFile::Kind::NotAFile;
            found.append(lock);
            continue;
        }
        const pid_t pid = lockFilePid(name);
        if (pid > 0) {
            lock.process = describe(procFd, pid);
            lock.alive = ::kill(pid, 0) == 0 || errno == EPERM;
        }
        // Anyone may write a lock file for any device; one that names another user's process
        // is a trap, unless root wrote it.
        const std::optional<uid_t> processOwner = ownerOf(procFd, pid);
        const bool trusted = node.st_uid == 0 || node.st_uid == user
                             || (processOwner && *processOwner == node.st_uid);
        lock.kind = lock.alive && trusted ? LockFile::Kind::Honoured : LockFile::Kind::Stale;
        found.append(lock);
    }
    return found;
}

int openProc()
{
    return ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

QStringList systemLockDirectories()
{
    return {u"/var/lock"_s,
            u"/etc/locks"_s,
            u"/var/spool/locks"_s,
            u"/var/spool/uucp"_s,
            u"/tmp"_s,
            u"/var/tmp"_s,
            u"/var/lock/lockdev"_s,
            u"/run/lock"_s};
}

QString processName(const QByteArray &comm)
{
    QString name = QString::fromLocal8Bit(comm).trimmed();
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control)
            c = u'?';
    }
    return name;
}

qint64 lockFileProcess(const QByteArray &text)
{
    // The first word, whole: "4242x" is no number, and one too large for a process number
    // names none (read into an int, 4294967297 would have named process 1).
    const QByteArray word = text.simplified().split(' ').constFirst();
    bool ok = false;
    const qint64 pid = word.toLongLong(&ok);
    return ok && pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? pid : 0;
}

// "1: FLOCK  ADVISORY  WRITE 4242 00:1a:7 0 EOF", the node as its file system's major and minor
// number in hex and its inode, each field read whole. Locks that are only waited for
// ("1: -> FLOCK ...") and open file description locks (pid -1) name no holder.
std::optional<LockLine> locksLine(const QByteArray &line)
{
    const QList<QByteArray> words = line.simplified().split(' ');
    if (words.size() < 6 || !words[0].endsWith(':') || (words[1] != "FLOCK" && words[1] != "POSIX"))
        return std::nullopt;
    const QList<QByteArray> node = words[5].split(':');
    if (node.size() != 3)
        return std::nullopt;
    bool pidRead = false;
    bool majorRead = false;
    bool minorRead = false;
    bool inodeRead = false;
    const LockLine read{words[4].toLongLong(&pidRead),
                        node[0].toUInt(&majorRead, 16),
                        node[1].toUInt(&minorRead, 16),
                        node[2].toULongLong(&inodeRead)};
    if (!pidRead || !majorRead || !minorRead || !inodeRead || read.pid <= 0
        || read.pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    return read;
}

QString lockFileName(const QString &device)
{
    QString name = device.startsWith(u"/dev/"_s) ? device.mid(5) : device;
    name.replace(u'/', u'_');
    return u"LCK.."_s + name;
}

QList<LockFile> lockFiles(const QString &path, const QStringList &lockDirectories)
{
    const int procFd = openProc();
    QList<LockFile> found = lockFilesSeen(procFd, path, lockDirectories);
    if (procFd >= 0)
        ::close(procFd);
    return found;
}

QList<LockFile> staleLockFiles(const QString &path, const QStringList &lockDirectories)
{
    QList<LockFile> stale = lockFiles(path, lockDirectories);
    stale.removeIf([](const LockFile &lock) { return lock.kind != LockFile::Kind::Stale; });
    return stale;
}

std::map<QString, QList<PortHolder>> findPortHolders(const QStringList &paths,
                                                     const QStringList &lockDirectories)
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
                                : -1,
                            node.st_dev,
                            node.st_ino};
        if (isTerminalOrUsb(target))
            targets.emplace(path, target);
    }
    if (targets.empty())
        return found;

    const int procFd = openProc();
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
    // A lock is taken on an open file, which its holder keeps open: /proc/locks adds only
    // holders whose descriptors are hidden. Reading it makes the kernel wait for an RCU grace
    // period (milliseconds, without using the CPU), so it is read only then.
    if (scan.hidden) {
        for (const auto &[device, pids] : lockHolders(targets))
            scan.slaveHolders[device].insert(pids.begin(), pids.end());
    }

    for (const auto &[path, target] : targets) {
        QList<PortHolder> &holders = found[path];
        for (const pid_t pid : scan.slaveHolders[target.device]) {
            if (!isCable(procFd, pid, scan.masterHolders[target.ptyIndex]))
                holders.append(describe(procFd, pid));
        }
        if (!holders.isEmpty())
            continue;
        for (const LockFile &lock : lockFilesSeen(procFd, path, lockDirectories)) {
            if (lock.kind == LockFile::Kind::Honoured) {
                PortHolder holder = lock.process;
                holder.lockFile = lock.path;
                holder.lockOwner = lock.owner;
                holders.append(holder);
                break;
            }
        }
    }
    ::closedir(processes);
    return found;
}

bool everyProcessVisible()
{
    const int procFd = openProc();
    DIR *processes = procFd >= 0 ? ::fdopendir(procFd) : nullptr;
    if (!processes) {
        if (procFd >= 0)
            ::close(procFd);
        return false;
    }
    bool visible = true;
    char path[kPathSize];
    while (const dirent *entry = ::readdir(processes)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::snprintf(path, sizeof path, "%s/fd", entry->d_name);
        const int fdDir = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir >= 0)
            ::close(fdDir);
        else if (errno != ENOENT) // gone since it was listed: it holds nothing now
            visible = false;
    }
    ::closedir(processes);
    return visible;
}

QList<PortHolder> findPortHolders(const QString &path, const QStringList &lockDirectories)
{
    return findPortHolders(QStringList{path}, lockDirectories)[path];
}

QString holderNames(const QList<PortHolder> &holders)
{
    QStringList names;
    for (const PortHolder &holder : holders) {
        QString process = u"process %1"_s.arg(holder.pid);
        if (holder.otherUser)
            process += holder.user.isEmpty() ? u" of another user"_s
                                             : u" of another user, "_s + holder.user;
        names << (holder.name.isEmpty() ? process : u"%1 (%2)"_s.arg(holder.name, process));
    }
    return names.join(u", "_s);
}

QString namedProcess(const LockFile &lock)
{
    if (lock.process.pid <= 0)
        return u"no process"_s;
    if (!lock.alive)
        return u"process %1, no such process"_s.arg(lock.process.pid);
    return holderNames({lock.process});
}
