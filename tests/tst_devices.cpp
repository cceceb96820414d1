// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/deviceclass.h"
#include "serial/mscomm.h"
#include "serial/portchoice.h"
#include "serial/serialdevices.h"
#include "tools/virtualcable.h"

#include <QSettings>
#include <QtTest>

#include <umockdev.h>

#include <sys/inotify.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The program itself is not run here: umockdev 0.17's realpath() hands Qt's canonicalFilePath()
// memory it cannot free, so only what looks before any path is resolved is tested here.
// Devices that only the testbed holds, in its own /dev and /sys, which the preloaded umockdev
// library shows this process and the programs it starts. Their names are on no real machine,
// so that a lookup that missed the testbed would find nothing to open.
const QString kWatchdog = u"/dev/tollbeck-watchdog"_s; // misc, as /dev/watchdog is
const QString kNull = u"/dev/tollbeck-null"_s;         // mem, as /dev/null is
const QString kConsole = u"/dev/tollbeck-console"_s;   // the console sysfs names
const QString kVirtualTerminal = u"/dev/tollbeck-vt"_s; // 4:7, as /dev/tty7

// Tells whether a node was opened since the watch began: the testbed's node leads to a file of
// its own, and inotify hears every open of it.
class OpenWatch
{
public:
    explicit OpenWatch(const QString &node)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        ::inotify_add_watch(m_fd, QFile::encodeName(node).constData(), IN_OPEN);
    }
    ~OpenWatch() { ::close(m_fd); }
    OpenWatch(const OpenWatch &) = delete;
    OpenWatch &operator=(const OpenWatch &) = delete;
    bool opened() const
    {
        char events[4096];
        return ::read(m_fd, events, sizeof events) > 0;
    }

private:
    int m_fd;
};

} // namespace

class TestDevices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void deviceClass_data();
    void deviceClass();
    void refusedAsPort_data();
    void refusedAsPort();
    void neverOpenedInAWalk();

private:
    // The file behind a node of the testbed.
    QString fileOf(const QString &node) const
    {
        return QFileInfo(QString::fromLocal8Bit(umockdev_testbed_get_root_dir(m_bed)) + node)
            .canonicalFilePath();
    }

    UMockdevTestbed *m_bed = nullptr;
};

void TestDevices::initTestCase()
{
    m_bed = umockdev_testbed_new();
    GError *error = nullptr;
    const char *devices
        = "P: /devices/virtual/misc/tollbeck-watchdog\nN: tollbeck-watchdog\nE: DEVNAME=/dev/tollbeck-watchdog\n"
          "E: SUBSYSTEM=misc\nE: MAJOR=10\nE: MINOR=242\nA: dev=10:242\\n\n\n"
          "P: /devices/virtual/mem/tollbeck-null\nN: tollbeck-null\nE: DEVNAME=/dev/tollbeck-null\n"
          "E: SUBSYSTEM=mem\nE: MAJOR=1\nE: MINOR=250\nA: dev=1:250\\n\n\n"
          "P: /devices/virtual/tty/tollbeck-console\nN: tollbeck-console\nE: DEVNAME=/dev/tollbeck-console\n"
          "E: SUBSYSTEM=tty\nE: MAJOR=4\nE: MINOR=250\nA: dev=4:250\\n\n\n"
          "P: /devices/virtual/tty/tollbeck-vt\nN: tollbeck-vt\nE: DEVNAME=/dev/tollbeck-vt\n"
          "E: SUBSYSTEM=tty\nE: MAJOR=4\nE: MINOR=7\nA: dev=4:7\\n\n\n"
          "P: /devices/virtual/tty/console\nE: SUBSYSTEM=tty\nA: active=tollbeck-console\\n\n";
    QVERIFY2(umockdev_testbed_add_from_string(m_bed, devices, &error),
             error ? error->message : "");
    for (const QString &node : {kWatchdog, kNull, kConsole, kVirtualTerminal})
        QVERIFY2(!fileOf(node).isEmpty(), qPrintable(node));
    // The watch hears an open: the tests below rely on it.
    const OpenWatch watch(fileOf(kNull));
    QFile probe(kNull);
    QVERIFY(probe.open(QIODevice::ReadOnly));
    QVERIFY(watch.opened());
}

void TestDevices::cleanupTestCase()
{
    g_clear_object(&m_bed);
}

void TestDevices::deviceClass_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("notSerial");
    QTest::newRow("a watchdog") << kWatchdog << u"misc"_s;
    QTest::newRow("a null device") << kNull << u"mem"_s;
    QTest::newRow("a console, a terminal all the same") << kConsole << QString();
    QTest::newRow("a pseudo-terminal, which sysfs does not list") << u"{pty}"_s << QString();
    QTest::newRow("no device") << u"/nowhere/missing"_s << QString();
}

void TestDevices::deviceClass()
{
    QFETCH(QString, path);
    QFETCH(QString, notSerial);
    VirtualCable cable;
    QCOMPARE(nonTerminalClass(path.replace(u"{pty}"_s, cable.devicePath())), notSerial);
}

void TestDevices::refusedAsPort_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("error");
    const QString elsewhere = u"Give the serial port your cable is plugged into."_s;
    QTest::newRow("a watchdog, mapped to COM 3")
        << kWatchdog
        << kWatchdog + u" is not a serial port: the system files it as a misc device. "_s
               + elsewhere;
    QTest::newRow("a null device")
        << kNull
        << kNull + u" is not a serial port: the system files it as a mem device. "_s + elsewhere;
    QTest::newRow("the system console")
        << kConsole
        << kConsole + u" is the system console, and Tollbeck never writes to it. "_s + elsewhere;
    QTest::newRow("a virtual terminal")
        << kVirtualTerminal
        << kVirtualTerminal + u" is a virtual terminal, and Tollbeck never writes to it. "_s
               + elsewhere;
}

void TestDevices::refusedAsPort()
{
    QFETCH(QString, given);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QSettings settings(dir.filePath(u"Tollbeck.conf"_s), QSettings::IniFormat);
    settings.setValue(u"Ports/COM3"_s, kWatchdog);
    const PortMap map = PortMap::withOverrides(settings);
    const SerialDevices devices([] { return QList<SerialDevice>(); }, dir.path());
    const OpenWatch watch(fileOf(given));
    const auto [port, said] = choosePort(given, settings, map, devices, systemConsoles());
    QCOMPARE(said, error);
    QCOMPARE(port, 0);
    QVERIFY(!watch.opened());
}

void TestDevices::neverOpenedInAWalk()
{
    PortMap map = PortMap::defaults();
    map.setDevice(1, kWatchdog);
    MSComm comm(map);
    const OpenWatch watch(fileOf(kWatchdog));
    try {
        comm.setPortOpen(true);
        QFAIL("the watchdog was opened");
    } catch (const CommError &error) {
        QCOMPARE(error.number(), ErrorNumber::NotASerialPort);
        QVERIFY2(error.description().startsWith(
                     kWatchdog + u" (COM 1) is not a serial port: the system files it as a misc "
                                 "device, and Tollbeck does not open it."_s),
                 qPrintable(error.description()));
    }
    QVERIFY(!watch.opened());
}

QTEST_GUILESS_MAIN(TestDevices)
#include "tst_devices.moc"
