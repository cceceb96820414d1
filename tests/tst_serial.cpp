// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/deviceaccess.h"
#include "serial/mscomm.h"
#include "serial/portconfig.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QtTest>

#include <cstring>

#include <sys/stat.h>
#include <termios.h>

using namespace Qt::StringLiterals;

namespace {

PortMap mapCom1To(const QString &device)
{
    PortMap map = PortMap::defaults();
    map.setDevice(1, device);
    return map;
}

// Waits, without an event loop, for n bytes as a polling caller would.
QByteArray readBytes(MSComm &comm, int n)
{
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (got.size() < n && timer.elapsed() < 3000) {
        if (comm.inBufferCount() > 0)
            got += comm.input();
        else
            QThread::usleep(100);
    }
    return got;
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
    void configuredPortEchoesEveryByte();
    void lockFileNamesTheHolder();
    void permissionTexts_data();
    void permissionTexts();
};

void TestSerial::configuredPortEchoesEveryByte()
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

    // 19200 baud, 1 stop bit, no flow control, raw: every byte value passes unchanged. Seen from
    // the far end, as the port is held exclusively; a pseudo-terminal keeps 8 data bits and no
    // parity whatever it is asked, so those cannot be seen here.
    termios tio{};
    QVERIFY(cable.lineSettings(tio));
    QCOMPARE(::cfgetospeed(&tio), speed_t(B19200));
    QCOMPARE(tio.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));

    comm.setOutput("ATV1Q0\r\n"); // the cable echoes the probe, then counts values
    QCOMPARE(readBytes(comm, 8), QByteArray("ATV1Q0\r\n"));
    for (int value = 0; value < 256; ++value) {
        const QByteArray byte(1, char(value));
        comm.setOutput(byte);
        QCOMPARE(readBytes(comm, 1), byte); // 0 and 26 are ordinary data
        QCOMPARE(comm.inBufferCount(), qint16(0));
    }
    comm.setPortOpen(false);
    QVERIFY(!comm.portOpen());
}

void TestSerial::lockFileNamesTheHolder()
{
    // A program whose descriptors cannot be listed (another user's, for a normal user), known
    // only by the lock file it wrote as QSerialPort would: it is named, and nothing is opened.
    VirtualCable cable;
    MSComm first(mapCom1To(cable.devicePath()));
    QProcess unseen;
    unseen.start(u"sleep"_s, {u"30"_s});
    QVERIFY(unseen.waitForStarted());
    QString lockName = cable.devicePath().mid(int(std::strlen("/dev/")));
    QFile lock(u"/var/lock/LCK.."_s + lockName.replace(u'/', u'_'));
    if (!lock.open(QIODevice::WriteOnly))
        QSKIP("/var/lock is not writable here, so no lock file can be written");
    lock.write(QByteArray::number(unseen.processId()) + "\nsleep\n\n");
    lock.close();
    try {
        first.setPortOpen(true);
        QFAIL("opened a port that a lock file names a holder of");
    } catch (const CommError &error) {
        QCOMPARE(error.number(), ErrorNumber::PortInUse);
        QCOMPARE(error.description(),
                 u"%1 (COM 1) is in use by sleep (process %2). Close that program and try again."_s
                     .arg(cable.devicePath())
                     .arg(unseen.processId()));
    }
    lock.remove();
    unseen.kill();
    QVERIFY(unseen.waitForFinished());
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
