// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/mscomm.h"
#include "serial/portchoice.h"
#include "serial/serialdevices.h"

#include <QSettings>
#include <QtTest>

#include <umockdev.h>

#include <sys/inotify.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The serial layer against devices that only a umockdev testbed holds, in its own /dev and
// /sys, which the preloaded library shows this process. Their names are on no real machine, so
// that a lookup that missed the testbed finds nothing to open. The program itself is not run
// here: umockdev 0.17's realpath() hands Qt's canonicalFilePath() memory it cannot free.
class TestDevices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { g_clear_object(&m_bed); }
    void neverOpened_data();
    void neverOpened();

private:
    // An inotify watch on the file behind the testbed's node, which hears every open of it.
    int watchOpens(const QString &node) const
    {
        const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const QString file = QString::fromLocal8Bit(umockdev_testbed_get_root_dir(m_bed)) + node;
        ::inotify_add_watch(fd, QFile::encodeName(file).constData(), IN_OPEN);
        return fd;
    }
    static bool opened(int watch)
    {
        char events[4096];
        const bool any = ::read(watch, events, sizeof events) > 0;
        ::close(watch);
        return any;
    }

    UMockdevTestbed *m_bed = nullptr;
};

void TestDevices::initTestCase()
{
    m_bed = umockdev_testbed_new();
    GError *error = nullptr;
    QByteArray devices;
    for (const char *device : {"misc/tollbeck-watchdog 10 242", // as /dev/watchdog
                               "mem/tollbeck-null 1 250",       // as /dev/null
                               "tty/tollbeck-console 4 250",    // the console sysfs names
                               "tty/tollbeck-vt 4 7"}) {        // as /dev/tty7
        const QList<QByteArray> f = QByteArray(device).replace('/', ' ').split(' ');
        devices += "P: /devices/virtual/" + f[0] + '/' + f[1] + "\nN: " + f[1]
                   + "\nE: DEVNAME=/dev/" + f[1] + "\nE: SUBSYSTEM=" + f[0] + "\nE: MAJOR=" + f[2]
                   + "\nE: MINOR=" + f[3] + "\nA: dev=" + f[2] + ':' + f[3] + "\\n\n\n";
    }
    devices += "P: /devices/virtual/tty/console\nE: SUBSYSTEM=tty\nA: active=tollbeck-console\\n\n";
    QVERIFY2(umockdev_testbed_add_from_string(m_bed, devices.constData(), &error),
             error ? error->message : "");
    // The watch hears an open: the test below relies on it.
    const int watch = watchOpens(u"/dev/tollbeck-null"_s);
    QFile probe(u"/dev/tollbeck-null"_s);
    QVERIFY(probe.open(QIODevice::ReadOnly));
    QVERIFY(opened(watch));
}

void TestDevices::neverOpened_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("asPort"); // the usage error; {device} its path
    QTest::addColumn<int>("inAWalk");    // the error number when COM 3 is mapped to it
    const QString notSerial = u"{device} is not a serial port: the system files it as a %1 "
                              "device. Give the serial port your cable is plugged into."_s;
    const QString console = u"{device} is %1, and Tollbeck never writes to it. Give the serial "
                            "port your cable is plugged into."_s;
    QTest::newRow("a watchdog") << u"/dev/tollbeck-watchdog"_s << notSerial.arg(u"misc"_s)
                                << int(ErrorNumber::NotASerialPort);
    QTest::newRow("a null device")
        << u"/dev/tollbeck-null"_s << notSerial.arg(u"mem"_s) << int(ErrorNumber::NotASerialPort);
    QTest::newRow("the system console")
        << u"/dev/tollbeck-console"_s << console.arg(u"the system console"_s)
        << int(ErrorNumber::SystemConsole);
    QTest::newRow("a virtual terminal")
        << u"/dev/tollbeck-vt"_s << console.arg(u"a virtual terminal"_s)
        << int(ErrorNumber::SystemConsole);
}

// Refused as PORT even where a COM number is mapped to it, and refused in a walk, before
// anything is opened.
void TestDevices::neverOpened()
{
    QFETCH(QString, device);
    QFETCH(QString, asPort);
    QFETCH(int, inAWalk);
    QTemporaryDir dir;
    QSettings settings(dir.filePath(u"Tollbeck.conf"_s), QSettings::IniFormat);
    settings.setValue(u"Ports/COM3"_s, device);
    const PortMap map = PortMap::withOverrides(settings);
    const SerialDevices devices([] { return QList<SerialDevice>(); }, dir.path());
    const int watch = watchOpens(device);
    const auto [port, said] = choosePort(device, settings, map, devices, systemConsoles());
    QCOMPARE(said, asPort.replace(u"{device}"_s, device));
    QCOMPARE(port, 0);
    MSComm comm(map);
    comm.setCommPort(3);
    int refused = 0;
    try {
        comm.setPortOpen(true);
    } catch (const CommError &error) {
        refused = int(error.number());
    }
    QCOMPARE(refused, inAWalk);
    QVERIFY(!opened(watch));
}

QTEST_GUILESS_MAIN(TestDevices)
#include "tst_devices.moc"
