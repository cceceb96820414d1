// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// USB adapters planted with umockdev: sysfs and /dev as a real kernel shows them, read by the
// real program. Runs under umockdev-wrapper; main() puts the realpath() preload first.

#include "serial/serialdevices.h"
#include "serial/usbadapters.h"
#include "tools/usbbed.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A process named brltty that holds a node open, as brltty holds an adapter it claimed.
class Brltty
{
public:
    explicit Brltty(const QString &node)
    {
        const QString script = dir.filePath(u"brltty"_s);
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly)
            || file.write("#!/bin/sh\nexec 3<\"$1\" || exit 1\necho held\nread -r line\n") < 0)
            return;
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        process.start(script, {node});
        process.waitForReadyRead(5000);
    }
    ~Brltty()
    {
        process.closeWriteChannel();
        process.waitForFinished(5000);
    }
    Brltty(const Brltty &) = delete;
    Brltty &operator=(const Brltty &) = delete;
    bool holds() { return process.readAllStandardOutput() == "held\n"; }

    QTemporaryDir dir;
    QProcess process;
};

// tollbeck itself, with settings of its own; the test bed and the preloads are inherited.
struct Tollbeck
{
    Tollbeck()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"DISPLAY"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, dir.path());
        process.setProcessEnvironment(environment);
    }
    void start(const QStringList &arguments)
    {
        process.setReadChannel(QProcess::StandardError);
        process.start(QString::fromLocal8Bit(TOLLBECK), arguments);
    }
    int finish(int timeout = 30000)
    {
        if (!process.waitForFinished(timeout) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        out = QString::fromLocal8Bit(process.readAllStandardOutput());
        err = QString::fromLocal8Bit(process.readAllStandardError());
        return process.exitCode();
    }
    // Writes the settings file with this line under [Ports].
    bool mapPorts(const QByteArray &line)
    {
        QFile settings(dir.filePath(u"Tollbeck/Tollbeck.conf"_s));
        return QDir(dir.path()).mkpath(u"Tollbeck"_s) && settings.open(QIODevice::WriteOnly)
               && settings.write("[Ports]\n" + line + '\n') > 0;
    }
    int run(const QStringList &arguments)
    {
        start(arguments);
        return finish();
    }
    QJsonValue json() const
    {
        return QJsonDocument::fromJson(out.toUtf8()).object().isEmpty()
                   ? QJsonValue(QJsonDocument::fromJson(out.toUtf8()).array())
                   : QJsonValue(QJsonDocument::fromJson(out.toUtf8()).object());
    }

    QTemporaryDir dir;
    QProcess process;
    QString out;
    QString err;
};

const Plant kFtdi{u"1-1"_s,
                  2,
                  u"0403:6001"_s,
                  u"FT232R USB UART|FTDI|A50285BI"_s,
                  u"ftdi_sio"_s,
                  u"ttyUSB0"_s,
                  u"usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"_s};
const Plant kCh340Claimed{u"1-2"_s, 3, u"1a86:7523"_s, u"USB Serial||"_s, u"usbfs"_s, {}, {}};

} // namespace

Q_DECLARE_METATYPE(Plant)

class TestUsb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sysfsTexts_data();
    void sysfsTexts();
    void adapters_data();
    void adapters();
    void brlttyIsNamed();
    void sharedNameGivesWayToByPath();
    void listAndCauses();
    void findNoticesAPlugIn();
};

void TestUsb::sysfsTexts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("usbId");   // -1: none
    QTest::addColumn<int>("decimal"); // -1: none
    QTest::addColumn<int>("hexByte"); // -1: none
    QTest::addColumn<QString>("label");

    QTest::newRow("identity") << "0403\n"_ba << 0x0403 << -1 << -1 << u"0403"_s;
    QTest::newRow("class") << "ff\n"_ba << -1 << -1 << 0xff << u"ff"_s;
    QTest::newRow("number") << "105\n"_ba << -1 << 105 << -1 << u"105"_s;
    QTest::newRow("empty") << ""_ba << -1 << -1 << -1 << QString();
    QTest::newRow("line feed only") << "\n"_ba << -1 << -1 << -1 << QString();
    QTest::newRow("two lines") << "0403\n6001\n"_ba << -1 << -1 << -1 << u"0403"_s;
    QTest::newRow("garbage") << "\xff\x00zz\x01"_ba << -1 << -1 << -1 << u"zz"_s;
    QTest::newRow("signed") << "-1\n"_ba << -1 << -1 << -1 << u"-1"_s;
    QTest::newRow("too long") << "040300\n"_ba << -1 << -1 << -1 << u"040300"_s;
    QTest::newRow("label cut") << QByteArray(300, 'A') << -1 << -1 << -1 << QString(64, u'A');
}

void TestUsb::sysfsTexts()
{
    QFETCH(QByteArray, text);
    QFETCH(int, usbId);
    QFETCH(int, decimal);
    QFETCH(int, hexByte);
    QFETCH(QString, label);
    const std::optional<quint16> id = SysfsText::usbId(text);
    QCOMPARE(id ? int(*id) : -1, usbId);
    QCOMPARE(SysfsText::decimal(text).value_or(-1), decimal);
    QCOMPARE(SysfsText::hexByte(text).value_or(-1), hexByte);
    QCOMPARE(SysfsText::label(text), label);
    QCOMPARE(SysfsText::deviceNumber("188:0\n"_ba), std::optional(std::pair(188u, 0u)));
    QVERIFY(!SysfsText::deviceNumber(text));
}

void TestUsb::adapters_data()
{
    QTest::addColumn<Plant>("plant");
    QTest::addColumn<QByteArray>("garbage"); // written over idProduct when not empty
    QTest::addColumn<int>("state");          // UsbAdapter::State; -1: not a serial adapter
    QTest::addColumn<QString>("says");

    using State = UsbAdapter::State;
    QTest::newRow("FTDI with its serial device")
        << kFtdi << QByteArray() << int(State::Port) << QString();
    QTest::newRow("CDC ACM from any maker")
        << Plant{u"1-3"_s, 4, u"2e8a:000a"_s, u"Pico||"_s, u"cdc_acm"_s, u"ttyACM0"_s, {}, u"02"_s}
        << QByteArray() << int(State::Port) << QString();
    QTest::newRow("erased FTDI")
        << Plant{u"1-4"_s, 5, u"0403:0000"_s, u"FT232R USB UART|FTDI|"_s, {}, {}, {}}
        << QByteArray() << int(State::NoDriver)
        << u"USB adapter 0403:0000 (FT232R USB UART, FTDI) on USB 1-4:1.0 is no serial port: "
           "its chip's product id was erased to 0000"_s;
    QTest::newRow("unknown identity")
        << Plant{u"1-5"_s, 6, u"10c4:8a5f"_s, u"||"_s, {}, {}, {}} << QByteArray()
        << int(State::NoDriver)
        << u"USB adapter 10c4:8a5f on USB 1-5:1.0 is no serial port: no driver on this computer "
           "knows its identity 10c4:8a5f."_s;
    QTest::newRow("driver without a serial device")
        << Plant{u"1-6"_s, 7, u"067b:2303"_s, u"||"_s, u"snd"_s, {}, {}} << QByteArray()
        << int(State::NoSerialDevice) << u"its driver snd made no serial device."_s;
    QTest::newRow("garbage identity")
        << Plant{u"1-7"_s, 8, u"1a86:7523"_s, u"\x01\x02|\xff|"_s, {}, {}, {}}
        << "\xff\xfe\x00garbage"_ba << int(State::NoDriver)
        << u"no driver on this computer knows its identity 1a86:????."_s;
    QTest::newRow("a mouse is no serial adapter")
        << Plant{u"1-8"_s, 9, u"046d:c077"_s, u"Mouse||"_s, {}, {}, {}, u"03"_s} << QByteArray()
        << -1 << QString();
}

void TestUsb::adapters()
{
    QFETCH(Plant, plant);
    QFETCH(QByteArray, garbage);
    QFETCH(int, state);
    QFETCH(QString, says);
    const Bed bed;
    QVERIFY(bed.plant(plant));
    if (!garbage.isEmpty())
        bed.setAttribute(plant, "idProduct", garbage);
    const QList<UsbAdapter> found = usbAdapters();
    if (state < 0) {
        QVERIFY(found.isEmpty());
        return;
    }
    QCOMPARE(found.size(), 1);
    QCOMPARE(int(found[0].state), state);
    QVERIFY2(found[0].reason().contains(says), qPrintable(found[0].reason()));
    if (found[0].state == UsbAdapter::State::Port)
        QCOMPARE(found[0].device, u"/dev/"_s + plant.tty);
}

// A real process named brltty holds the adapter's usbfs node: the holder search names it.
void TestUsb::brlttyIsNamed()
{
    const Bed bed;
    QVERIFY(bed.plant(kCh340Claimed));
    Brltty brltty(u"/dev/bus/usb/001/003"_s);
    QVERIFY(brltty.holds());
    const QList<UsbAdapter> found = usbAdapters();
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0].state, UsbAdapter::State::Claimed);
    QCOMPARE(found[0].reason(),
             u"USB adapter 1a86:7523 (USB Serial) on USB 1-2:1.0 is no serial port: brltty, the "
             "braille display service, took it (brltty (process %1)). Unless you use a braille "
             "display, remove brltty (sudo apt remove brltty) or mask its udev rules, then plug "
             "the adapter in again."_s.arg(brltty.process.processId()));
}

// Two CH340s without serial numbers: udev keeps one by-id link for both, so the name that lasts
// is each one's by-path name.
void TestUsb::sharedNameGivesWayToByPath()
{
    const Bed bed;
    const Plant first{u"1-1"_s,
                      2,
                      u"1a86:7523"_s,
                      u"USB Serial||"_s,
                      u"ch341"_s,
                      u"ttyUSB0"_s,
                      u"usb-1a86_USB_Serial-if00-port0"_s};
    Plant second = first;
    second.port = u"1-2"_s;
    second.devnum = 3;
    second.tty = u"ttyUSB1"_s;
    second.byId.clear();
    QVERIFY(bed.plant(first));
    const SerialDevices devices = SerialDevices::system();
    QCOMPARE(devices.lastingName(u"/dev/ttyUSB0"_s),
             u"/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"_s);
    QVERIFY(bed.plant(second));
    QCOMPARE(devices.lastingName(u"/dev/ttyUSB0"_s),
             u"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"_s);
    QCOMPARE(devices.lastingName(u"/dev/ttyUSB1"_s),
             u"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"_s);

    Tollbeck list;
    QCOMPARE(list.run({u"--list"_s}), 0);
    QVERIFY2(list.out.contains(u"/dev/ttyUSB0  lasting name "
                               "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0; another "
                               "adapter has the same by-id name"_s),
             qPrintable(list.out));
    // The hint for a device no COM number reaches suggests the name that lasts.
    QVERIFY(list.mapPorts("COM6=/dev/none"));
    QCOMPARE(list.run({u"--check"_s, u"/dev/ttyUSB1"_s}), 2);
    QVERIFY2(list.err.contains(QRegularExpression(
                 u"^tollbeck: /dev/ttyUSB1 is not in the port list. Add COM\\d+=/dev/serial/"
                 "by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 under \\[Ports\\]"_s)),
             qPrintable(list.err));
}

// --list names the adapters that are no port after the twelve ports, its JSON has them, and a
// run whose port is not there says why in one line more.
void TestUsb::listAndCauses()
{
    const Bed bed;
    QVERIFY(bed.plant(kCh340Claimed));
    QVERIFY(bed.plant(Plant{u"1-4"_s, 5, u"0403:0000"_s, u"FT232R USB UART|FTDI|"_s, {}, {}, {}}));
    Brltty brltty(u"/dev/bus/usb/001/003"_s);
    QVERIFY(brltty.holds());

    Tollbeck tollbeck;
    QCOMPARE(tollbeck.run({u"--list"_s}), 0);
    QStringList lines = tollbeck.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 14);
    QVERIFY(lines[5].startsWith(u"COM 6   /dev/ttyUSB1  not there"_s));
    QVERIFY2(lines[12].startsWith(u"USB adapter 1a86:7523 (USB Serial) on USB 1-2:1.0 is no "
                                  "serial port: brltty"_s),
             qPrintable(lines[12]));
    QVERIFY(lines[13].contains(u"product id was erased to 0000"_s));

    QCOMPARE(tollbeck.run({u"--list"_s, u"--json"_s}), 0);
    const QJsonArray ports = tollbeck.json().toArray();
    QCOMPARE(ports.size(), 12);
    const QJsonArray notPorts = ports[4][u"adapters_not_ports"_s].toArray();
    QCOMPARE(notPorts.size(), 2);
    QCOMPARE(notPorts[0][u"state"_s], u"claimed"_s);
    QCOMPARE(notPorts[0][u"holders"_s][0][u"name"_s], u"brltty"_s);
    QCOMPARE(notPorts[0][u"node"_s], u"/dev/bus/usb/001/003"_s);
    QCOMPARE(notPorts[1][u"state"_s], u"no_driver"_s);
    QCOMPARE(notPorts[1][u"product_id"_s], u"0000"_s);

    // Mapped to a missing device of its own: no machine-wide lock file name is tried.
    const QString missing = tollbeck.dir.filePath(u"ttyUSB0"_s);
    QVERIFY(tollbeck.mapPorts("COM5=" + QFile::encodeName(missing)));
    QCOMPARE(tollbeck.run({u"--check"_s, u"COM5"_s, u"--no-walk"_s}), 1);
    lines = tollbeck.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.value(2), u"COM 5: %1 is not there."_s.arg(missing));
    QVERIFY2(lines.constLast().startsWith(u"USB adapter 1a86:7523 (USB Serial) on USB 1-2:1.0 "
                                          "is no serial port: brltty"_s)
                 && lines.constLast().contains(u"product id was erased"_s),
             qPrintable(tollbeck.out));
}

// An adapter added to the running test bed is found, with its COM number or the line to add.
void TestUsb::findNoticesAPlugIn()
{
    const Bed bed;
    Tollbeck find;
    find.start({u"--find=5"_s, u"--json"_s});
    QVERIFY(find.process.waitForReadyRead(5000)); // the prompt
    QThread::msleep(200);
    QVERIFY(bed.plant(kFtdi));
    QCOMPARE(find.finish(), 0);
    QCOMPARE(find.err, u"Plug the cable in now (or unplug it and plug it in again).\n"_s);
    const QJsonObject json = find.json().toObject();
    QCOMPARE(json[u"found"_s][0][u"device"_s], u"/dev/ttyUSB0"_s);
    QCOMPARE(json[u"found"_s][0][u"port"_s], 5);
    QCOMPARE(json[u"found"_s][0][u"lasting_name"_s],
             u"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"_s);
    QVERIFY(json[u"noticed_ms"_s].toInt() < 5000);

    // Unplugged and plugged in again, it counts; an adapter that is no port is told.
    QVERIFY(bed.plant(kCh340Claimed));
    find.start({u"--find=5"_s});
    QVERIFY(find.process.waitForReadyRead(5000));
    bed.remove(kCh340Claimed);
    QThread::msleep(300);
    QVERIFY(bed.plant(kCh340Claimed));
    QCOMPARE(find.finish(), 0);
    QVERIFY2(find.out.startsWith(u"USB adapter 1a86:7523 (USB Serial) on USB 1-2:1.0 is no "
                                 "serial port: a program took it over USB"_s),
             qPrintable(find.out));

    // With --check: a device no COM number reaches cannot be checked; the line to add is told.
    QVERIFY(find.mapPorts("COM6=/dev/none"));
    find.start({u"--find=5"_s, u"--check"_s});
    QVERIFY(find.process.waitForReadyRead(5000));
    Plant second = kFtdi;
    std::tie(second.port, second.devnum, second.tty, second.names, second.byId)
        = std::tuple(u"1-3"_s,
                     4,
                     u"ttyUSB1"_s,
                     u"FT232R USB UART|FTDI|B1"_s,
                     u"usb-FTDI_FT232R_USB_UART_B1-if00-port0"_s);
    QVERIFY(bed.plant(second));
    QCOMPARE(find.finish(), 1);
    QVERIFY2(find.out.contains(QRegularExpression(
                 u"^Found /dev/ttyUSB1.\nIts lasting name is /dev/serial/by-id/"
                 "usb-FTDI_FT232R_USB_UART_B1-if00-port0.\nNo COM number reaches it. Add "
                 "COM\\d+=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B1-if00-port0 under "
                 "\\[Ports\\] in "_s)),
             qPrintable(find.out));

    QCOMPARE(find.run({u"--find=1"_s}), 1);
    QCOMPARE(find.out, u"Nothing appeared in 1 s.\n"_s);
}

int main(int argc, char *argv[])
{
    if (!mendedUmockdev(argv))
        return 1;
    QCoreApplication app(argc, argv);
    TestUsb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_usb.moc"
