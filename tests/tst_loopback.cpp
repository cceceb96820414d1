#include "loopback/loopbacktest.h"
#include "loopback/runclock.h"
#include "serial/mscomm.h"
#include "serial/portconfig.h"
#include "tests/testclocks.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QSettings>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kHead = u"Beginning loopback test on selected port.\r\n"
                      "Please wait for test to complete...\r\n\r\n"_s;
const QString kTrying = u"\r\nTrying other ports...\r\n"_s;
const QString kAllFailed = u"\r\nTest failed on all ports tested.\r\n"
                           "Check your cable connection to your serial port, and try again."_s;

// The hex dump of the values first..last as the log shows it: "00 01 ... ".
QString dump(int first, int last)
{
    QString text;
    for (int value = first; value <= last; ++value)
        text += u"%1 "_s.arg(value, 2, 16, QChar(u'0')).toUpper();
    return text;
}

QString mismatch(const QString &sent, const QString &received)
{
    return u"\r\n\r\nERROR: Test failed! \r\nReceived Data Corrupt!\r\n"
           "Sent: %1\r\nReceived: %2\r\n\r\n"_s.arg(sent, received);
}

QString passed(int port)
{
    return u"\r\n\r\nCOM %1: Test passed successfully!\r\nSelect COM %1 in your software.\r\n"_s.arg(
        port);
}

// The pass lines, then the device behind the port, a pseudo-terminal that the system does not
// describe and that has no lasting name.
QString passedOn(int port, const QString &device)
{
    return passed(port) + u"On this computer COM %1 is %2.\r\n"_s.arg(port).arg(device);
}

// The window as the run sees it, recording what the run does to it.
class FakeWindow : public RunWindow
{
public:
    FakeWindow(CommControl &comm, QString portText)
        : m_comm(comm)
        , m_portText(std::move(portText))
    {}

    void setTestRunning(bool running) override { testRunning = running; }
    void setControlsEnabled(bool enabled) override { controlsEnabled = enabled; }
    void clearLog() override { log.clear(); }
    void Testout(const QString &text) override
    {
        QVERIFY2(testRunning && !controlsEnabled, "logged outside a run");
        log += text;
    }
    void InitPort() override
    {
        if (auto *mscomm = dynamic_cast<MSComm *>(&m_comm))
            configureForLoopback(*mscomm, m_portText, [this](const QString &, const QString &text) {
                boxes << text;
            });
    }
    QString portText() const override { return m_portText; }

    QString log = u"old log"_s;
    bool testRunning = false;
    bool controlsEnabled = true;
    QStringList boxes;

private:
    CommControl &m_comm;
    QString m_portText;
};

// Twelve ports whose devices are missing until a virtual cable is attached to one. The map
// comes from a settings file, and the system's device list and stable names are the test's.
class Rig
{
public:
    Rig()
    {
        map = PortMap::withOverrides(QSettings(settingsPath(), QSettings::IniFormat));
        for (int port = 1; port <= 12; ++port)
            map.setDevice(port, u"/dev/tollbeck-missing-%1"_s.arg(port));
    }

    void attach(int port, VirtualCable::Behaviour behaviour)
    {
        cables.push_back(std::make_unique<VirtualCable>(std::move(behaviour)));
        map.setDevice(port, cables.back()->devicePath());
    }

    // What the serial control says about opening a port, as the log shows it.
    QString openError(int port) const
    {
        MSComm comm(map);
        comm.setCommPort(qint16(port));
        try {
            comm.setPortOpen(true);
        } catch (const CommError &error) {
            return error.description() + u"\r\n"_s;
        }
        return {};
    }

    // Runs one test with portText selected; checks that every run ends the same way.
    QString run(const QString &portText, RunClock &clock)
    {
        MSComm comm(map);
        FakeWindow window(comm, portText);
        const SerialDevices devices([this] { return listed; }, stableNames());
        LoopbackTest(window, comm, clock, map, devices).run();
        [&] {
            QVERIFY(!window.testRunning);
            QVERIFY(window.controlsEnabled);
            QVERIFY(!comm.portOpen());
        }();
        boxes = window.boxes;
        return window.log;
    }

    QString settingsPath() const { return dir.filePath(u"Tollbeck.conf"_s); }
    QString stableNames() const { return dir.filePath(u"by-id"_s); }

    QTemporaryDir dir;
    PortMap map;
    std::vector<std::unique_ptr<VirtualCable>> cables;
    QList<SerialDevice> listed; // the serial devices the system lists
    QStringList boxes;
};

// socat playing a loopback cable, the usual way to make a virtual serial port: it holds the
// master and the slave of its pseudo-terminal, and the cat that echoes inherits the slave.
class SocatCable
{
public:
    SocatCable()
    {
        if (QStandardPaths::findExecutable(u"socat"_s).isEmpty())
            return;
        m_path = m_dir.filePath(u"cable"_s);
        m_socat.start(u"socat"_s,
                      {u"PTY,link=%1,raw,echo=0"_s.arg(m_path), u"EXEC:cat,pty,raw,echo=0"_s});
    }
    ~SocatCable()
    {
        m_socat.terminate();
        m_socat.waitForFinished();
    }
    SocatCable(const SocatCable &) = delete;
    SocatCable &operator=(const SocatCable &) = delete;

    // Empty when socat is not installed.
    const QString &path() const { return m_path; }
    bool ready() const { return QFileInfo::exists(m_path); }

private:
    QTemporaryDir m_dir;
    QString m_path;
    QProcess m_socat;
};

bool sameLine(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
           && a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)
           && ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

// Another program (a terminal program, say) that holds a port open with the exclusive flag set,
// as its own process named "holder". It notes the line settings when it opens the port and
// watches them, and at the end the flag, until asked.
class HoldingProgram
{
public:
    explicit HoldingProgram(const QString &device)
    {
        const QByteArray path = QFile::encodeName(device);
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_go) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_NAME, "holder");
            const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            termios before{};
            const char opened
                = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 && ::tcgetattr(fd, &before) == 0 ? 1 : 0;
            [[maybe_unused]] const auto written = ::write(ready[1], &opened, 1);
            // Watch the line until asked, as the change a refused open would make lasts
            // only until it closes again.
            bool same = true;
            pollfd go{m_go[0], POLLIN, 0};
            while (::poll(&go, 1, 1) == 0) {
                termios now{};
                same = same && ::tcgetattr(fd, &now) == 0 && sameLine(before, now);
            }
            int exclusive = 0;
            same = same && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
            ::_exit(same ? 0 : 1);
        }
        char opened = 0;
        m_holding = m_pid > 0 && ::read(ready[0], &opened, 1) == 1 && opened;
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~HoldingProgram()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_go[0]);
        ::close(m_go[1]);
    }
    HoldingProgram(const HoldingProgram &) = delete;
    HoldingProgram &operator=(const HoldingProgram &) = delete;

    bool holding() const { return m_holding; }
    pid_t pid() const { return m_pid; }
    // True when the line settings and the exclusive flag are as they were; ends the holder.
    bool untouched()
    {
        const char go = 1;
        int status = 0;
        const bool answered
            = ::write(m_go[1], &go, 1) == 1 && ::waitpid(m_pid, &status, 0) == m_pid;
        m_pid = 0;
        return answered && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t m_pid = 0;
    int m_go[2] = {-1, -1};
    bool m_holding = false;
};

} // namespace

class TestLoopback : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void goodCableOnSelectedPort();
    void nothingConnected();
    void laterPortPasses();
    void cableFaults_data();
    void cableFaults();
    void walkOrder_data();
    void walkOrder();
    void portTextWithoutNumber();
    void unpluggedMidRun();
    void realTimeOutIsStrictlyMoreThanThreeSeconds();
    void socatCable();
    void portHeldByAnotherProgram();
    void deviceNamed_data();
    void deviceNamed();
    void unreachedDevices_data();
    void unreachedDevices();
};

void TestLoopback::goodCableOnSelectedPort()
{
    Rig rig;
    rig.attach(2, VirtualCable::good());
    EventLoopClock clock;
    QCOMPARE(rig.run(u"COM 2"_s, clock),
             kHead + u"COM 2: \r\n"_s + dump(0, 255) + passedOn(2, rig.map.device(2)));
    QVERIFY(rig.boxes.isEmpty());
}

void TestLoopback::nothingConnected()
{
    // COM 3 selected on a machine that has only COM 1 and COM 2, with nothing on them.
    Rig rig;
    rig.attach(1, VirtualCable::dead());
    rig.attach(2, VirtualCable::dead());
    FastClock clock;
    QString expected = kHead + u"COM 3: "_s + rig.openError(3) + kTrying
                       + u"COM 1: No Data Received\r\nCOM 2: No Data Received\r\n"_s;
    for (int port = 4; port <= 12; ++port)
        expected += u"COM %1: "_s.arg(port) + rig.openError(port);
    QCOMPARE(rig.run(u"COM 3"_s, clock), expected + kAllFailed);
}

void TestLoopback::laterPortPasses()
{
    Rig rig;
    rig.attach(1, VirtualCable::modem("OK"));
    rig.attach(4, VirtualCable::good());
    rig.attach(6, VirtualCable::good());
    EventLoopClock clock;
    const QString expected = kHead + u"COM 7: "_s + rig.openError(7) + kTrying
                             + u"COM 1: Modem\r\n"_s + u"COM 2: "_s + rig.openError(2)
                             + u"COM 3: "_s + rig.openError(3) + u"COM 4: \r\n"_s + dump(0, 255)
                             + passedOn(4, rig.map.device(4));
    QCOMPARE(rig.run(u"COM 7"_s, clock), expected);
}

void TestLoopback::cableFaults_data()
{
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<QString>("line"); // what follows "COM 1: " when COM 1 is selected

    QTest::newRow("modem OK") << VirtualCable::modem("OK") << u"Modem\r\n"_s;
    QTest::newRow("modem ok only") << VirtualCable::modem("ok") << u"\r\n"_s + dump(0, 255);
    QTest::newRow("doubled echoes") << VirtualCable::doubled() << u"\r\n"_s + dump(0, 255);
    QTest::newRow("garbage after echoes") << VirtualCable::noisy() << u"\r\n"_s + dump(0, 255);
    QTest::newRow("silent") << VirtualCable::dead() << u"No Data Received\r\n"_s;
    QTest::newRow("silent from 100")
        << VirtualCable::silentFrom(100) << u"\r\n"_s + dump(0, 99) + u"No Data Received\r\n"_s;
    // A line that never stops talking: the first byte read back is wrong.
    QTest::newRow("flood") << VirtualCable::flood() << u"\r\n55 "_s + mismatch(u"00"_s, u"55"_s);
    QTest::newRow("corrupt 26") << VirtualCable::corrupt(26, 0x1B)
                                << u"\r\n"_s + dump(0, 25) + u"1B "_s + mismatch(u"1A"_s, u"1B"_s);
    QTest::newRow("corrupt 255") << VirtualCable::corrupt(255, 0x7F)
                                 << u"\r\n"_s + dump(0, 254) + u"7F "_s
                                        + mismatch(u"FF"_s, u"7F"_s);
}

void TestLoopback::cableFaults()
{
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(QString, line);
    Rig rig;
    rig.attach(1, cable);
    FastClock clock;
    const bool passes = line.endsWith(dump(0, 255));
    QString expected = kHead + u"COM 1: "_s + line;
    if (passes) {
        expected += passedOn(1, rig.map.device(1));
    } else {
        expected += kTrying;
        for (int port = 2; port <= 12; ++port)
            expected += u"COM %1: "_s.arg(port) + rig.openError(port);
        expected += kAllFailed;
    }
    QCOMPARE(rig.run(u"COM 1"_s, clock), expected);
}

void TestLoopback::walkOrder_data()
{
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QList<int>>("order");
    QTest::newRow("12") << u"COM 12"_s << QList<int>{12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
}

void TestLoopback::walkOrder()
{
    QFETCH(QString, selected);
    QFETCH(QList<int>, order);
    Rig rig;
    EventLoopClock clock;
    QString expected = kHead;
    for (const int port : order) {
        expected += u"COM %1: "_s.arg(port) + rig.openError(port);
        if (port == order.first())
            expected += kTrying; // once, at the first failure only
    }
    QCOMPARE(rig.run(selected, clock), expected + kAllFailed);
}

void TestLoopback::portTextWithoutNumber()
{
    Rig rig;
    rig.attach(1, VirtualCable::good());
    EventLoopClock clock;
    const QString log = rig.run(u"COM X"_s, clock);
    QCOMPARE(rig.boxes.size(), 1); // the configuration shows its own failure
    QVERIFY(rig.boxes[0].startsWith(u"Error 13: "_s));
    // The control stays on COM 1, which opens; the refused port 0 still fails the attempt.
    QCOMPARE(log,
             kHead + u"COM 0: COM 0 is not a valid port number; choose COM 1 to COM 12.\r\n"_s
                 + kTrying + u"COM 1: \r\n"_s + dump(0, 255) + passedOn(1, rig.map.device(1)));
}

void TestLoopback::unpluggedMidRun()
{
    Rig rig;
    rig.attach(1, VirtualCable::unplugAfter(40));
    rig.attach(2, VirtualCable::good());
    FastClock clock;
    const QString log = rig.run(u"COM 1"_s, clock);
    const QString path = rig.cables[0]->devicePath();
    const QString lost
        = u"%1 (COM 1) stopped working: the adapter was unplugged or failed.\r\n"_s.arg(path);
    QCOMPARE(log,
             kHead + u"COM 1: \r\n"_s + dump(0, 40) + u"No Data Received\r\n"_s + lost + kTrying
                 + u"COM 2: \r\n"_s + dump(0, 255) + passedOn(2, rig.map.device(2)));
}

void TestLoopback::realTimeOutIsStrictlyMoreThanThreeSeconds()
{
    Rig rig;
    rig.attach(1, VirtualCable::dead());
    rig.attach(2, VirtualCable::good());
    EventLoopClock clock;
    QElapsedTimer timer;
    timer.start();
    const QString log = rig.run(u"COM 1"_s, clock);
    QVERIFY(log.startsWith(kHead + u"COM 1: No Data Received\r\n"_s + kTrying));
    QVERIFY(log.endsWith(passedOn(2, rig.map.device(2))));
    QVERIFY(timer.elapsed() > 3000);
    QVERIFY2(timer.elapsed() < 3000 + 1500 + 256 * 20, "the dead port held the run too long");
}

void TestLoopback::socatCable()
{
    SocatCable socat;
    if (socat.path().isEmpty())
        QSKIP("socat is not installed (bash scripts/deps.sh socat)");
    QTRY_VERIFY_WITH_TIMEOUT(socat.ready(), 5000);
    Rig rig;
    rig.map.setDevice(1, socat.path());
    EventLoopClock clock;
    QCOMPARE(rig.run(u"COM 1"_s, clock), kHead + u"COM 1: \r\n"_s + dump(0, 255) + passedOn(1, socat.path()));
}

void TestLoopback::portHeldByAnotherProgram()
{
    SocatCable socat;
    if (socat.path().isEmpty())
        QSKIP("socat is not installed (bash scripts/deps.sh socat)");
    QTRY_VERIFY_WITH_TIMEOUT(socat.ready(), 5000);
    Rig rig;
    rig.map.setDevice(1, socat.path());
    HoldingProgram holder(socat.path());
    QVERIFY(holder.holding());

    FastClock clock;
    QString expected = kHead + u"COM 1: "_s
                       + u"%1 (COM 1) is in use by holder (process %2). Close that program and "
                         "try again.\r\n"_s.arg(socat.path())
                             .arg(holder.pid())
                       + kTrying;
    for (int port = 2; port <= 12; ++port)
        expected += u"COM %1: "_s.arg(port) + rig.openError(port);
    QCOMPARE(rig.run(u"COM 1"_s, clock), expected + kAllFailed);
    QVERIFY2(holder.untouched(), "the refused open changed the holder's line or exclusive flag");
}

void TestLoopback::deviceNamed_data()
{
    QTest::addColumn<QString>("product"); // with either, the system lists the cable's device
    QTest::addColumn<QString>("maker");
    QTest::addColumn<bool>("stableLink");  // by-id/usb-FTDI... leads to the cable's device
    QTest::addColumn<QString>("mappedTo"); // "device", "stable link" or "other link"
    // What follows "Select COM 1 in your software.\r\n", with the paths of the cable's device,
    // the stable link and the other link in braces.
    QTest::addColumn<QString>("ending");

    const QString lasting
        = u"Its lasting name is {stable link}. Use it in your software if the adapter moves.\r\n"_s;
    QTest::newRow("pseudo-terminal") << QString() << QString() << false << u"device"_s
                                     << u"On this computer COM 1 is {device}.\r\n"_s;
    QTest::newRow("product and maker")
        << u"FT232R USB UART"_s << u"FTDI"_s << false << u"device"_s
        << u"On this computer COM 1 is {device} (FT232R USB UART, FTDI).\r\n"_s;
    QTest::newRow("maker only") << QString() << u"FTDI"_s << false << u"device"_s
                                << u"On this computer COM 1 is {device} (FTDI).\r\n"_s;
    QTest::newRow("lasting name") << QString() << QString() << true << u"device"_s
                                  << u"On this computer COM 1 is {device}.\r\n"_s + lasting;
    QTest::newRow("mapped by its lasting name")
        << QString() << QString() << true << u"stable link"_s
        << u"On this computer COM 1 is {stable link}.\r\n"_s;
    QTest::newRow("mapped by another link")
        << u"FT232R USB UART"_s << u"FTDI"_s << true << u"other link"_s
        << u"On this computer COM 1 is {other link} (FT232R USB UART, FTDI).\r\n"_s + lasting;
}

void TestLoopback::deviceNamed()
{
    QFETCH(QString, product);
    QFETCH(QString, maker);
    QFETCH(bool, stableLink);
    QFETCH(QString, mappedTo);
    QFETCH(QString, ending);
    Rig rig;
    rig.attach(1, VirtualCable::good());
    const QString device = rig.map.device(1);
    const QString link = rig.stableNames() + u"/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"_s;
    const QString otherLink = rig.dir.filePath(u"ttyV0"_s); // as socat makes them
    QVERIFY(QDir().mkpath(rig.stableNames()));
    QVERIFY(QFile::link(device, otherLink));
    if (stableLink)
        QVERIFY(QFile::link(device, link));
    if (!product.isEmpty() || !maker.isEmpty())
        rig.listed = {{device, product, maker}};
    if (mappedTo == u"stable link"_s)
        rig.map.setDevice(1, link);
    else if (mappedTo == u"other link"_s)
        rig.map.setDevice(1, otherLink);

    HurriedClock clock;
    QCOMPARE(rig.run(u"COM 1"_s, clock),
             kHead + u"COM 1: \r\n"_s + dump(0, 255) + passed(1)
                 + ending.replace(u"{device}"_s, device)
                       .replace(u"{stable link}"_s, link)
                       .replace(u"{other link}"_s, otherLink));
}

void TestLoopback::unreachedDevices_data()
{
    QTest::addColumn<QStringList>("listed"); // what the system lists
    QTest::addColumn<bool>("missing");       // the ports' devices are missing, not /dev/null
    QTest::addColumn<QString>("named");      // the devices the hint names; empty: no hint

    QTest::newRow("one unmapped device")
        << QStringList{u"/dev/ttyAMA0"_s} << true << u"/dev/ttyAMA0"_s;
    QTest::newRow("in natural order")
        << QStringList{u"/dev/ttyUSB10"_s, u"/dev/rfcomm0"_s, u"/dev/ttyUSB4"_s} << true
        << u"/dev/rfcomm0, /dev/ttyUSB4, /dev/ttyUSB10"_s;
    QTest::newRow("none") << QStringList() << true << QString();
    QTest::newRow("all mapped") << QStringList{u"/dev/tollbeck-missing-5"_s} << true << QString();
    QTest::newRow("no device missing")
        << QStringList{u"/dev/ttyAMA0"_s} << false << QString(); // every port is /dev/null
}

void TestLoopback::unreachedDevices()
{
    QFETCH(QStringList, listed);
    QFETCH(bool, missing);
    QFETCH(QString, named);
    Rig rig;
    for (const QString &device : listed)
        rig.listed.append({device, {}, {}});
    for (int port = 1; port <= 12 && !missing; ++port)
        rig.map.setDevice(port, u"/dev/null"_s);

    EventLoopClock clock;
    QString expected = kHead;
    for (int port = 1; port <= 12; ++port) {
        expected += u"COM %1: "_s.arg(port) + rig.openError(port);
        if (port == 1)
            expected += kTrying;
    }
    expected += kAllFailed;
    if (!named.isEmpty())
        expected += u"\r\nSerial devices not in the port list: %1. Map one to a COM number in "
                    "%2 under [Ports].\r\n"_s.arg(named, rig.settingsPath());
    QCOMPARE(rig.run(u"COM 1"_s, clock), expected);
}

QTEST_GUILESS_MAIN(TestLoopback)
#include "tst_loopback.moc"
