// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/portconfig.h"
#include "serial/deviceaccess.h"
#include "serial/mscomm.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

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
    void configuredPort();
    void lockFiles_data();
    void lockFiles();
    void permissionTexts_data();
    void permissionTexts();
};

void TestSerial::configuredPort()
{
    VirtualCable cable;
    QVERIFY(!cable.devicePath().isEmpty());
    LineWatchingComm comm(mapCom1To(cable.devicePath()));
    configureForLoopback(comm, u"COM 1"_s, [](const QString &, const QString &text) {
        QFAIL(qPrintable(text));
    });
    QVERIFY(!comm.dtr); // nothing is applied before the port opens
    comm.setPortOpen(true);
    QCOMPARE(comm.dtr, std::optional(true));
    QCOMPARE(comm.rts, std::optional(true));

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

void TestSerial::lockFiles_data()
{
    QTest::addColumn<QString>("lock");  // what stands where the port's lock file goes
    QTest::addColumn<QString>("error"); // what opening the port says; empty when it opens
    QTest::newRow("names a process this user cannot see")
        << u"1"_s
        << u"{device} (COM 1) is in use by {name} (process 1). Close that program and try "
           "again."_s;
    QTest::newRow("names a process that has ended") << u"ended"_s << QString();
    QTest::newRow("names a process that does not hold the port") << u"sleep"_s << QString();
    QTest::newRow("a FIFO") << u"fifo"_s
                            << u"{lock} stands where the lock file of {device} (COM 1) goes, and "
                               "it is no lock file. Remove it and try again."_s;
}

void TestSerial::lockFiles()
{
    QFETCH(QString, lock);
    QFETCH(QString, error);
    if (lock == u"1"_s && QDir(u"/proc/1/fd"_s).isReadable())
        QSKIP("This user sees every process (as root does), so no holder is known only by a lock.");
    VirtualCable cable;
    MSComm comm(mapCom1To(cable.devicePath()));
    QProcess sleeper;
    qint64 pid = 1;
    if (lock == u"ended"_s || lock == u"sleep"_s) {
        sleeper.start(u"sleep"_s, {lock == u"sleep"_s ? u"30"_s : u"0"_s});
        QVERIFY(sleeper.waitForStarted());
        pid = sleeper.processId();
        QVERIFY(lock == u"sleep"_s || sleeper.waitForFinished());
    }
    const QString path = u"/var/lock/LCK.."_s + cable.devicePath().mid(5).replace(u'/', u'_');
    QFile file(path);
    QFile::remove(path); // left by a run that was cut short
    if (lock == u"fifo"_s ? ::mkfifo(QFile::encodeName(path).constData(), 0644) != 0
                          : !file.open(QIODevice::WriteOnly)
                                || file.write(QByteArray::number(pid) + "\nminicom\n") <= 0)
        QSKIP("/var/lock is not writable here, so no lock file can be made");
    file.close();
    const auto cleanUp = qScopeGuard([&] {
        comm.setPortOpen(false);
        QFile::remove(path);
        sleeper.kill();
        sleeper.waitForFinished();
    });

    QString refused;
    ::alarm(10); // reading what stands there must never block: fail rather than hang
    try {
        comm.setPortOpen(true);
    } catch (const CommError &failure) {
        refused = failure.description();
    }
    ::alarm(0);
    QFile init(u"/proc/1/comm"_s);
    QVERIFY(init.open(QIODevice::ReadOnly));
    QCOMPARE(refused,
             error.replace(u"{device}"_s, cable.devicePath())
                 .replace(u"{lock}"_s, path)
                 .replace(u"{name}"_s, QString::fromLocal8Bit(init.readAll().trimmed())));
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
