// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/portconfig.h"
#include "serial/deviceaccess.h"
#include "serial/mscomm.h"
#include "serial/portchoice.h"
#include "serial/serialdevices.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <csignal>

#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

PortMap mapCom1To(const QString &device)
{
    PortMap map = PortMap::defaults();
    map.setDevice(1, device);
    return map;
}

// What opening COM 1 says; empty when it opens.
QString openingSays(MSComm &comm)
{
    try {
        comm.setPortOpen(true);
    } catch (const CommError &refusal) {
        return refusal.description();
    }
    comm.setPortOpen(false);
    return {};
}

// The control, with the modem lines it set noted: a pseudo-terminal has none to read back.
class LineWatchingComm : public MSComm
{
public:
    using MSComm::MSComm;
    std::optional<bool> dtr;
    std::optional<bool> rts;

protected:
    void setModemLines(bool dtrOn, std::optional<bool> rtsOn) override
    {
        dtr = dtrOn;
        rts = rtsOn;
        MSComm::setModemLines(dtrOn, rtsOn);
    }
};

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void choosePort_data();
    void choosePort();
    void configuredPort();
    void consoles_data();
    void consoles();
    void flockHolder_data();
    void flockHolder();
    void heldAfterTheLook();
    void lockFiles_data();
    void lockFiles();
    void locksLines_data();
    void locksLines();
    void processNames_data();
    void processNames();
    void permissionTexts_data();
    void permissionTexts();
};

void TestSerial::choosePort_data()
{
    QTest::addColumn<QString>("given"); // {device}: a pseudo-terminal, {link}: a link to it
    QTest::addColumn<int>("mapped");    // COM 1 to this lead to missing devices, COM 3 to {device}
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("error");
    QTest::newRow("the saved port") << QString() << 0 << 7 << QString();
    QTest::newRow("COM12") << u"COM12"_s << 0 << 12 << QString();
    QTest::newRow("COM0") << u"COM0"_s << 0 << 0 << u"COM0 is not a port: choose COM1 to COM12."_s;
    QTest::newRow("fish") << u"fish"_s << 0 << 0
                          << u"fish is neither a COM number (COM1 to COM12) nor a device."_s;
    QTest::newRow("a plain file") << u"{file}"_s << 0 << 0
                                  << u"{file} is not a serial device: it is no character device."_s;
    QTest::newRow("a missing device")
        << u"{dir}/ttyGONE"_s << 0 << 0
        << u"{dir}/ttyGONE is not there, and no COM number is mapped to it."_s;
    QTest::newRow("a mapped device") << u"{device}"_s << 3 << 3 << QString();
    QTest::newRow("a link to a mapped device") << u"{link}"_s << 3 << 3 << QString();
    // The suggested COM number is the lowest that the user has not mapped and whose device is
    // not there, so that the new line hides nothing.
    QTest::newRow("unmapped, COM 1 to 4 mapped")
        << u"{device}"_s << 4 << 0
        << u"{device} is not in the port list. Add COM5={link} under [Ports] in {settings}, "
           "then run tollbeck --check COM5."_s;
    QTest::newRow("unmapped, every COM number mapped")
        << u"{device}"_s << 12 << 0
        << u"{device} is not in the port list. Map a COM number to it under [Ports] in "
           "{settings}, as in COM12={link}, then check that COM number."_s;
}

void TestSerial::choosePort()
{
    QFETCH(QString, given);
    QFETCH(int, mapped);
    QFETCH(int, port);
    QFETCH(QString, error);
    const int suggested = mapped + 1;
    if (error.contains(u"Add COM"_s) && QFileInfo::exists(PortMap::defaults().device(suggested)))
        QSKIP("that port's usual device is there on this machine, so it is not free");
    VirtualCable cable;
    QTemporaryDir dir;
    const QString file = dir.filePath(u"plain-file"_s);
    const QString link = dir.filePath(u"vport"_s);
    QVERIFY(QFile(file).open(QIODevice::WriteOnly) && QFile::link(cable.devicePath(), link));
    QSettings settings(dir.filePath(u"Tollbeck.conf"_s), QSettings::IniFormat);
    settings.setValue(u"Settings/CommPort"_s, u"7"_s);
    for (int number = 1; number <= mapped; ++number)
        settings.setValue(u"Ports/COM%1"_s.arg(number),
                          number == 3 && mapped < 4 ? cable.devicePath() : u"/nowhere/missing"_s);
    const PortMap map = PortMap::withOverrides(settings);
    const SerialDevices devices([] { return QList<SerialDevice>(); }, dir.path());
    const auto filled = [&](QString text) {
        return text.replace(u"{device}"_s, cable.devicePath())
            .replace(u"{link}"_s, link)
            .replace(u"{file}"_s, file)
            .replace(u"{dir}"_s, dir.path())
            .replace(u"{settings}"_s, map.settingsFile());
    };
    const auto [chosen, said] = ::choosePort(filled(given), settings, map, devices, {});
    QCOMPARE(said, filled(error));
    QCOMPARE(chosen, port);
}

void TestSerial::configuredPort()
{
    VirtualCable cable;
    QVERIFY(!cable.devicePath().isEmpty());
    QTemporaryDir dir;
    const QString link = dir.filePath(u"vport"_s);
    QVERIFY(QFile::link(cable.devicePath(), link));
    LineWatchingComm comm(mapCom1To(link));
    configureForLoopback(comm, u"COM 1"_s, [](const QString &, const QString &text) {
        QFAIL(qPrintable(text));
    });
    QVERIFY(!comm.dtr); // nothing is applied before the port opens
    comm.setPortOpen(true);
    QCOMPARE(comm.dtr, std::optional(true));
    QCOMPARE(comm.rts, std::optional(true));
    // Qt's lock file goes by the device's name, where other programs look for it.
    const auto lockedAs = [](const QString &device) {
        const QStringList dirs = systemLockDirectories();
        return std::any_of(dirs.begin(), dirs.end(), [&](const QString &lockDir) {
            return QFileInfo::exists(lockDir + u'/' + lockFileName(device));
        });
    };
    QVERIFY(lockedAs(cable.devicePath()));
    QVERIFY(!lockedAs(link));

    // 19200 baud, 1 stop bit, no flow control, raw, so that every byte value passes unchanged
    // (the loopback tests send them all). Seen from the far end, as the port is held
    // exclusively; a pseudo-terminal keeps 8 data bits and no parity whatever it is asked, so
    // those cannot be seen here.
    termios tio{};
    QVERIFY(cable.lineSettings(tio));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B19200));
    QCOMPARE(tio.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));

    comm.setPortOpen(false);
    QVERIFY(!comm.portOpen());
}

void TestSerial::consoles_data()
{
    QTest::addColumn<bool>("mapLink");     // COM 1 is mapped through a link to the device
    QTest::addColumn<bool>("consoleLink"); // the console list names a link to it
    QTest::addColumn<bool>("console");     // the console list names it at all
    QTest::newRow("the device itself") << false << false << true;
    QTest::newRow("mapped through a link") << true << false << true;
    QTest::newRow("listed through a link") << false << true << true;
    QTest::newRow("not a console") << true << false << false;
}

void TestSerial::consoles()
{
    QFETCH(bool, mapLink);
    QFETCH(bool, consoleLink);
    QFETCH(bool, console);
    VirtualCable cable;
    QTemporaryDir dir;
    const QString link = dir.filePath(u"console"_s);
    QVERIFY(QFile::link(cable.devicePath(), link));
    const QString mapped = mapLink ? link : cable.devicePath();
    QStringList listed{dir.filePath(u"gone"_s),
                       console ? (consoleLink ? link : cable.devicePath()) : QString()};
    MSComm comm(mapCom1To(mapped), PortGuards{{dir.path()}, [&] { return listed; }});
    termios before{};
    QVERIFY(cable.lineSettings(before));

    QCOMPARE(openingSays(comm),
             console ? mapped
                           + u" (COM 1) is the system console; Tollbeck does not write to it. "
                             "Connect the cable to another port, or free this one from the "
                             "console in the boot settings (console= on the kernel command "
                             "line)."_s
                     : QString());
    if (console) { // never opened: opening would have made the line raw
        termios after{};
        QVERIFY(cable.lineSettings(after));
        QCOMPARE(after.c_lflag, before.c_lflag);
    }
    // The hint after a failing walk never suggests mapping a console.
    const SerialDevices devices(
        [&] {
            return QList<SerialDevice>{{cable.devicePath(), {}, {}}};
        },
        dir.path(),
        [&] { return listed; });
    QCOMPARE(devices.notReachedBy(PortMap::defaults()),
             console ? QStringList() : QStringList{cable.devicePath()});
}

void TestSerial::flockHolder_data()
{
    QTest::addColumn<bool>("asOtherUser"); // the check runs as a normal user, the holder as root
    QTest::newRow("this user's program") << false;
    QTest::newRow("another user's program") << true;
}

// A terminal program such as picocom takes a flock on the device; /proc/locks shows it to
// every user, even where the holder's open files are hidden.
// A walk trusts one look at who holds which port for a second; a program that opens a port after
// that look is found by an open more than a second later.
void TestSerial::heldAfterTheLook()
{
    VirtualCable first;
    VirtualCable second;
    PortMap map = mapCom1To(first.devicePath());
    map.setDevice(2, second.devicePath());
    QTemporaryDir dir;
    MSComm comm(map, PortGuards{{dir.path()}, [] { return QStringList(); }});
    QCOMPARE(openingSays(comm), QString()); // the look covers COM 2: nobody holds it
    QProcess holder; // detached: a child of this process, which holds the cables, is the cable
    holder.setProgram(u"sleep"_s);
    holder.setArguments({u"30"_s});
    holder.setStandardInputFile(second.devicePath());
    qint64 pid = 0;
    QVERIFY(holder.startDetached(&pid));
    const auto stop = qScopeGuard([&] { ::kill(pid_t(pid), SIGTERM); });
    QTest::qWait(1100);
    comm.setCommPort(2);
    QVERIFY2(openingSays(comm).contains(u"in use by sleep (process %1)"_s.arg(pid)),
             "an answer older than a second was trusted");
}

void TestSerial::flockHolder()
{
    QFETCH(bool, asOtherUser);
    const passwd *ci = ::getpwnam("tollbeck-ci");
    if (asOtherUser && (::geteuid() != 0 || !ci))
        QSKIP("Needs root and the user tollbeck-ci (CI makes it) to run the holder as another "
              "user than the check.");
    VirtualCable cable;
    QTemporaryDir dir;
    MSComm comm(mapCom1To(cable.devicePath()),
                PortGuards{{dir.path()}, [] { return QStringList(); }});
    // Detached, so that the holder does not descend from this process, which holds the cable.
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(u"flock"_s,
                                    {u"-o"_s, cable.devicePath(), u"sleep"_s, u"30"_s},
                                    {},
                                    &pid));
    const auto child = [&] {
        QFile children(u"/proc/%1/task/%1/children"_s.arg(pid));
        return children.open(QIODevice::ReadOnly) ? children.readAll().trimmed().toInt() : 0;
    };
    const auto stop = qScopeGuard([&] {
        [[maybe_unused]] const int restored = ::seteuid(0);
        // sleep would outlive flock, and keep the test's output open for its 30 s.
        if (const int sleeper = child(); sleeper > 0)
            ::kill(pid_t(sleeper), SIGTERM);
        ::kill(pid_t(pid), SIGTERM);
    });
    // flock starts sleep once it holds the lock. Opened before, the port would be held
    // exclusively, and flock, run by a normal user, could not open it.
    QTRY_VERIFY_WITH_TIMEOUT(child() > 0, 5000);
    if (asOtherUser)
        QCOMPARE(::seteuid(ci->pw_uid), 0);
    QString said;
    QList<PortHolder> holders;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            try {
                comm.setPortOpen(true);
            } catch (const CommError &refusal) {
                said = refusal.description();
                holders = refusal.holders();
            }
            comm.setPortOpen(false);
            return holders.size() == 1; // flock's child holds it too until it runs sleep
        }(),
        5000);
    QCOMPARE(said,
             u"%1 (COM 1) is in use by flock (process %2%3). Close that program and try again."_s
                 .arg(cable.devicePath())
                 .arg(pid)
                 .arg(asOtherUser ? u" of another user, root"_s : QString()));
    QCOMPARE(holders.constFirst().pid, pid);
}

void TestSerial::lockFiles_data()
{
    // What stands where the port's lock file goes: a plain file with this text ({dead}: a
    // process that has ended), or "fifo", "dir", "link to fifo"; and what opening the port says,
    // empty when it opens and the file is listed as stale.
    QTest::addColumn<QByteArray>("lock");
    QTest::addColumn<QString>("says");
    const QString noLockFile = u"{lock} stands where the lock file of {port} goes, and it is no "
                               "lock file. Remove it and try again."_s;
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("garbage") << QByteArray("radio\n") << QString();
    QTest::newRow("binary pid") << QByteArray("\x01\0\0\0", 4) << QString();
    QTest::newRow("pid 0") << QByteArray("0\n") << QString();
    QTest::newRow("negative") << QByteArray("-42\n") << QString();
    // Read into an int, 2^32 + 1 was process 1, which is always running.
    QTest::newRow("pid past 32 bits") << QByteArray("4294967297\n") << QString();
    QTest::newRow("dead pid") << QByteArray("{dead}\n") << QString();
    QTest::newRow("live pid") << QByteArray("         1\n")
                              << u"{port} is in use by {init}, as its lock file {lock} (owner "
                                 "{me}) says. Close that program and try again."_s;
    QTest::newRow("live pid, file of a third user") << QByteArray("1\n") << QString();
    QTest::newRow("fifo") << QByteArray("fifo") << noLockFile;
    QTest::newRow("directory") << QByteArray("dir") << noLockFile;
    QTest::newRow("link to fifo") << QByteArray("link to fifo") << noLockFile;
}

void TestSerial::lockFiles()
{
    QFETCH(QByteArray, lock);
    QFETCH(QString, says);
    const bool root = ::geteuid() == 0;
    const bool thirdUser = QByteArray(QTest::currentDataTag()).contains("third user");
    if (thirdUser && !root)
        QSKIP("Only root can give a file to another user.");
    VirtualCable cable;
    QTemporaryDir dir;
    const QString link = dir.filePath(u"vport"_s);
    QVERIFY(QFile::link(cable.devicePath(), link));
    MSComm comm(mapCom1To(link), PortGuards{{dir.path()}, [] { return QStringList(); }});
    QProcess ended;
    ended.start(u"true"_s);
    QVERIFY(ended.waitForStarted());
    const qint64 dead = ended.processId(); // Qt forgets it once the process has finished
    QVERIFY(ended.waitForFinished());
    QFile init(u"/proc/1/comm"_s);
    QVERIFY(init.open(QIODevice::ReadOnly));
    const QString initName = QString::fromLocal8Bit(init.readAll().trimmed());
    lock.replace("{dead}", QByteArray::number(dead));

    // Each under the name of the device, that of the link mapped to it, and the link's as
    // minicom names it.
    const QString qtLock = lockFileName(cable.devicePath());
    for (const QString &name : {qtLock, lockFileName(link), u"LCK..vport"_s}) {
        const QString path = dir.filePath(name);
        const QByteArray file = QFile::encodeName(path);
        const QByteArray fifo = QFile::encodeName(dir.filePath(u"fifo"_s));
        if (lock == "fifo") {
            QCOMPARE(::mkfifo(file.constData(), 0644), 0);
        } else if (lock == "dir") {
            QVERIFY(QDir().mkdir(path));
        } else if (lock == "link to fifo") {
            QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
            QCOMPARE(::symlink(fifo.constData(), file.constData()), 0);
        } else {
            QFile plain(path);
            QVERIFY(plain.open(QIODevice::WriteOnly));
            plain.write(lock);
        }
        constexpr uid_t kNobody = 65534;
        QVERIFY(!thirdUser || ::lchown(file.constData(), kNobody, kNobody) == 0);
        const QString owner = userName(thirdUser ? kNobody : ::geteuid());

        ::alarm(10); // reading what stands there must never block: fail rather than hang
        const QString opened = openingSays(comm);
        ::alarm(0);
        QCOMPARE(opened,
                 QString(says)
                     .replace(u"{port}"_s, link + u" (COM 1)"_s)
                     .replace(u"{lock}"_s, path)
                     .replace(u"{me}"_s, owner)
                     .replace(u"{init}"_s,
                              u"%1 (process 1%2)"_s.arg(initName,
                                                        root ? QString()
                                                             : u" of another user, root"_s)));
        // A stale lock file under the device's name, where Qt's own lock goes, is removed;
        // under another name it stays, and the port list names it.
        if (says.isEmpty() && name != qtLock)
            QCOMPARE(staleLockFiles(link, {dir.path()}).value(0).path, path);
        QCOMPARE(QFileInfo::exists(path), !says.isEmpty() || name != qtLock);
        QVERIFY(QFile::remove(path) || QDir().rmdir(path) || !QFileInfo::exists(path));
        QFile::remove(QFile::decodeName(fifo));
    }
}

void TestSerial::locksLines_data()
{
    // A line of /proc/locks, and the holder and node taken from it: pid 0 for none.
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<quint64>("inode");
    QTest::newRow("flock") << QByteArray("1: FLOCK  ADVISORY  WRITE 4242 00:1a:7 0 EOF\n")
                           << qint64(4242) << quint64(7);
    QTest::newRow("only waited for")
        << QByteArray("1: -> FLOCK  ADVISORY  WRITE 5151 00:1a:7 0 EOF") << qint64(0) << quint64(0);
    QTest::newRow("open file description")
        << QByteArray("3: OFDLCK ADVISORY  READ  -1 08:01:1314861 0 EOF") << qint64(0)
        << quint64(0);
    // Read in part, this line was inode 4, and the pid 2^32 + 42 was process 42.
    QTest::newRow("inode with more behind it")
        << QByteArray("2: POSIX  ADVISORY  WRITE 2266 00:05:4*93 0 EOF") << qint64(0) << quint64(0);
    QTest::newRow("pid past 32 bits")
        << QByteArray("2: POSIX  ADVISORY  WRITE 4294967338 00:05:493 0 EOF") << qint64(0)
        << quint64(0);
}

void TestSerial::locksLines()
{
    QFETCH(QByteArray, line);
    QFETCH(qint64, pid);
    QFETCH(quint64, inode);
    const std::optional<LockLine> read = locksLine(line);
    QCOMPARE(read ? read->pid : 0, pid);
    QCOMPARE(read ? read->inode : 0, inode);
    QVERIFY(!read || (read->fileSystemMajor == 0 && read->fileSystemMinor == 0x1a));
}

void TestSerial::processNames_data()
{
    // /proc/PID/comm, which any process sets for itself, and the name the log gives.
    QTest::addColumn<QByteArray>("comm");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QByteArray("minicom\n") << u"minicom"_s;
    QTest::newRow("a terminal's escape sequence")
        << QByteArray("\x1b]2;root\x07x\n") << u"?]2;root?x"_s;
    QTest::newRow("a line feed inside") << QByteArray("a\nCOM 1: ok\n") << u"a?COM 1: ok"_s;
}

void TestSerial::processNames()
{
    QFETCH(QByteArray, comm);
    QFETCH(QString, name);
    QCOMPARE(processName(comm), name);
}

void TestSerial::permissionTexts_data()
{
    QTest::addColumn<uint>("mode");   // of /dev/ttyUSB0, owned by root, group dialout
    QTest::addColumn<bool>("joined"); // the user joined dialout after logging in
    QTest::addColumn<QString>("text");
    QTest::newRow("joined after logging in")
        << 0660U << true
        << u"needs group dialout: you joined it after logging in; log out and in."_s;
    QTest::newRow("not in the group")
        << 0660U << false << u"needs group dialout: sudo adduser $USER dialout, log out and in."_s;
    // Joining a group that may only read would not let the user in.
    QTest::newRow("group may only read")
        << 0640U << false << u"is closed to you: owner root, group dialout, mode crw-r-----."_s;
}

void TestSerial::permissionTexts()
{
    QFETCH(uint, mode);
    QFETCH(bool, joined);
    QFETCH(QString, text);
    const DeviceAccess
        access{u"/dev/ttyUSB0"_s, u"root"_s, u"dialout"_s, S_IFCHR | mode, false, false, joined};
    QCOMPARE(::permissionDenied(access), u"/dev/ttyUSB0 "_s + text);
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
