// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/loopbacktest.h"
#include "loopback/portconfig.h"
#include "loopback/runreport.h"
#include "serial/mscomm.h"
#include "tests/testclocks.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <deque>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kHead = u"Beginning loopback test on selected port.\r\n"
                      "Please wait for test to complete...\r\n\r\n"_s;
const QString kTrying = u"\r\nTrying other ports...\r\n"_s;
const QString kAllFailed = u"\r\nTest failed on all ports tested.\r\n"
                           "Check your cable connection to your serial port, and try again."_s;
const QString kNoData = u"No Data Received\r\n"_s;

// What ends a failed run when the selected port could not be opened: why, once more.
QString notOpened(int port, const QString &why)
{
    return u"\r\nCOM %1, the port you selected, could not be opened: %2"_s.arg(port).arg(why);
}

// The hex dump of the values first..last as the log shows it: "00 01 ... ".
QString dump(int first, int last)
{
    QString text;
    for (int value = first; value <= last; ++value)
        text += u"%1 "_s.arg(value, 2, 16, QChar(u'0')).toUpper();
    return text;
}

// The pass lines, then the device behind the port, which the system does not describe.
QString passedOn(int port, const QString &device)
{
    return u"\r\n\r\nCOM %1: Test passed successfully!\r\nSelect COM %1 in your software.\r\n"
           "On this computer COM %1 is %2.\r\n"_s.arg(port)
               .arg(device);
}

// Twelve ports whose devices are missing until a cable is attached to one. The map comes from
// a settings file, and the system's device list and stable names are the test's. It plays the
// window as the run sees it: the log, as the run writes it.
class Rig : public LogWriter
{
public:
    void runStarted(const RunRecord &run) override
    {
        log.clear();
        LogWriter::runStarted(run);
    }
    void Testout(const QString &text) override { log += text; }

    Rig()
    {
        for (int port = 1; port <= 12; ++port)
            mapInSettings(port, dir.filePath(u"missing-%1"_s.arg(port)));
    }

    void attach(int port, VirtualCable::Behaviour behaviour)
    {
        cables.push_back(std::make_unique<VirtualCable>(std::move(behaviour)));
        mapInSettings(port, cables.back()->devicePath());
    }

    // Maps COM port to device as a user would, in [Ports] of the settings file.
    void mapInSettings(int port, const QString &device)
    {
        QSettings(settingsPath(), QSettings::IniFormat).setValue(u"Ports/COM%1"_s.arg(port), device);
        map = PortMap::withOverrides(QSettings(settingsPath(), QSettings::IniFormat));
    }

    // The headings of the ports from..to but skip, each with its device's open error as the
    // log shows it: why, in the words given, of the device mapped to it.
    QString openErrors(int from,
                       int to = 12,
                       int skip = 0,
                       const QString &why = u"%1 is not there."_s) const
    {
        QString text;
        for (int port = from; port <= to; ++port) {
            if (port != skip)
                text += u"COM %1: %2\r\n"_s.arg(port).arg(why.arg(map.device(port)));
        }
        return text;
    }

    // Runs one test with portText selected; checks that every run ends with the port closed
    // and that the log, written bit by bit, is the text of the run's record.
    QString run(const QString &portText, RunClock &clock)
    {
        MSComm comm(map);
        return run(portText, comm, clock, [&] {
            configureForLoopback(comm, portText, [&](const QString &, const QString &text) {
                boxes << text;
            });
        });
    }
    QString run(
        const QString &portText,
        CommControl &comm,
        RunClock &clock,
        const std::function<void()> &configure = [] {})
    {
        const SerialDevices devices([this] { return listed; }, stableNames());
        record
            = LoopbackTest(*this, comm, clock, {configure, [&] { return portText; }, map, devices})
                  .run();
        [&] {
            QVERIFY(!comm.portOpen());
            QCOMPARE(LogText::whole(record), log);
        }();
        return log;
    }

    // Where the program looks with XDG_CONFIG_HOME set to dir.
    QString settingsPath() const { return dir.filePath(u"Tollbeck/Tollbeck.conf"_s); }
    QString stableNames() const { return dir.filePath(u"by-id"_s); }

    QTemporaryDir dir;
    PortMap map;
    std::vector<std::unique_ptr<VirtualCable>> cables;
    QList<SerialDevice> listed; // the serial devices the system lists
    QStringList boxes;
    QString log;
    RunRecord record;
};

// A cable on COM 1, on a clock that jumps to the next event: what no real line does on cue.
// Each write's echo comes after delay, in parts of `part` bytes each `gap` after the one before
// (a slow link, an adapter that hands bytes over in packets). From write failFrom on, writes
// fail; from read lostFrom on, reads fail as an unplugged adapter's do.
struct ScriptedLine : CommControl, RunClock
{
    void setCommPort(qint16 number) override { port = number; }
    qint16 commPort() const override { return port; }
    void setPortOpen(bool on) override
    {
        if (on && port != 1)
            throw CommError(ErrorNumber::NoSuchDevice, u"Not there."_s);
        open = on;
    }
    bool portOpen() const override { return open; }
    void setOutput(const QByteArray &bytes) override
    {
        if (writes++ > failFrom) // the probe is write 0, value k write k + 1
            throw CommError(ErrorNumber::WriteFailed, u"Could not send."_s);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            line.emplace_back(time + delay + gap * (i / part), bytes[i]);
    }
    qint16 inBufferCount() override { return qint16(arrived()); }
    QByteArray input() override
    {
        if (reads++ >= lostFrom)
            throw CommError(ErrorNumber::DeviceLost, u"The adapter was unplugged."_s);
        QByteArray bytes;
        for (qsizetype n = arrived(); n > 0; --n, line.pop_front())
            bytes += line.front().second;
        return bytes;
    }
    TimePoint now() const override { return time; }
    void yield() override {}
    void waitForEvents(std::chrono::nanoseconds limit) override
    {
        const TimePoint wake = time + std::max<std::chrono::nanoseconds>(limit, 1us);
        time = line.empty() ? wake : std::min(wake, std::max(time, line.front().first));
    }
    void settle(std::chrono::microseconds pause) override { time += pause + 1us; }
    qsizetype arrived() const
    {
        return std::count_if(line.begin(), line.end(), [&](const auto &b) {
            return b.first <= time;
        });
    }

    std::chrono::microseconds delay;
    std::chrono::microseconds gap{0};
    int part = 1 << 20;
    int failFrom = 256;
    int lostFrom = 1 << 20;
    int writes = 0;
    int reads = 0;
    qint16 port = 0;
    bool open = false;
    std::deque<std::pair<TimePoint, char>> line;
    TimePoint time;
};

// Another program (a terminal program, say), a process named "holder" that opens a port with the
// exclusive flag set, says so on ready and holds it until released. Its exit status tells
// whether the port's line settings and flag stayed as it left them.
pid_t holdPort(const QString &device, const int (&ready)[2], const int (&release)[2])
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_NAME, "holder");
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a test that failed half-way
    ::close(ready[0]);
    ::close(release[1]);
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios before{};
    termios after{};
    int exclusive = 0;
    if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0 || ::tcgetattr(fd, &before) != 0)
        ::_exit(2);
    char go = 0;
    if (::write(ready[1], &go, 1) != 1 || ::read(release[0], &go, 1) != 1)
        ::_exit(3);
    const bool same = ::tcgetattr(fd, &after) == 0 && before.c_iflag == after.c_iflag
                      && before.c_oflag == after.c_oflag && before.c_cflag == after.c_cflag
                      && before.c_lflag == after.c_lflag && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0
                      && exclusive != 0;
    ::_exit(same ? 0 : 1);
}

} // namespace

Q_DECLARE_METATYPE(Attempt)

class TestLoopback : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingConnected();
    void laterPortPasses();
    void cableFaults_data();
    void cableFaults();
    void portTextWithoutNumber();
    void scriptedLine_data();
    void scriptedLine();
    void logText_data();
    void logText();
    void socatCableAndAHolder();
    void unreachedDevices_data();
    void unreachedDevices();
};

void TestLoopback::nothingConnected()
{
    // COM 3 selected on a machine that has only COM 1 and COM 2, with nothing on them.
    Rig rig;
    rig.attach(1, VirtualCable::dead());
    rig.attach(2, VirtualCable::dead());
    FastClock clock;
    QCOMPARE(rig.run(u"COM 3"_s, clock),
             kHead + rig.openErrors(3, 3) + kTrying + u"COM 1: "_s + kNoData + u"COM 2: "_s
                 + kNoData + rig.openErrors(4) + kAllFailed
                 + notOpened(3, rig.openErrors(3, 3).section(u": "_s, 1)));
}

void TestLoopback::laterPortPasses()
{
    Rig rig;
    rig.attach(1, VirtualCable::modem("OK"));
    rig.attach(4, VirtualCable::good());
    rig.attach(6, VirtualCable::good());
    EventLoopClock clock;
    QCOMPARE(rig.run(u"COM 7"_s, clock),
             kHead + rig.openErrors(7, 7) + kTrying + u"COM 1: Modem\r\n"_s + rig.openErrors(2, 3)
                 + u"COM 4: \r\n"_s + dump(0, 255) + passedOn(4, rig.map.device(4)));
}

void TestLoopback::cableFaults_data()
{
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<QString>("line"); // what follows "COM 1: " when COM 1 is selected

    QTest::newRow("modem ok only") << VirtualCable::modem("ok") << u"\r\n"_s + dump(0, 255);
    QTest::newRow("garbage after each echo") << VirtualCable::noisy() << u"\r\n"_s + dump(0, 255);
    QTest::newRow("a radio on the line")
        << VirtualCable::radio()
        << kNoData
               + u"Something that is not a loopback answered the probe: \"?;\". A radio may be "
                 "connected: the check needs the cable's radio end left open.\r\n"_s;
    QTest::newRow("silent from 100")
        << VirtualCable::silentFrom(100) << u"\r\n"_s + dump(0, 99) + kNoData;
    QTest::newRow("unplugged after 40")
        << VirtualCable::unplugAfter(40)
        << u"\r\n"_s + dump(0, 40) + kNoData
               + u"{device} (COM 1) stopped working: the adapter was unplugged or failed.\r\n"_s;
    QTest::newRow("corrupt 26")
        << VirtualCable::corrupt(26, 0x1B)
        << u"\r\n"_s + dump(0, 25)
               + u"1B \r\n\r\nERROR: Test failed! \r\nReceived Data Corrupt!\r\nSent: 1A\r\n"
                 "Received: 1B\r\n\r\n"_s;
}

void TestLoopback::cableFaults()
{
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(QString, line);
    Rig rig;
    rig.attach(1, cable);
    FastClock clock;
    const QString ending = line.endsWith(dump(0, 255)) ? passedOn(1, rig.map.device(1))
                                                       : kTrying + rig.openErrors(2) + kAllFailed;
    QCOMPARE(rig.run(u"COM 1"_s, clock),
             kHead + u"COM 1: "_s + line.replace(u"{device}"_s, rig.map.device(1)) + ending);
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

void TestLoopback::scriptedLine_data()
{
    QTest::addColumn<qint64>("delay"); // microseconds from each write to its echo
    QTest::addColumn<qint64>("gap");   // microseconds between the parts of an echo
    QTest::addColumn<int>("part");     // bytes a part
    QTest::addColumn<int>("failFrom"); // the first value whose write fails
    QTest::addColumn<int>("lostFrom"); // the first read that fails: the probe's is read 0
    QTest::addColumn<QString>("line"); // what follows "COM 1: "

    const QString pass = u"\r\n"_s + dump(0, 255);
    QTest::newRow("echoes at 3 s") << qint64(3'000'000) << qint64(0) << 1 << 256 << 999 << pass;
    QTest::newRow("echoes just after 3 s")
        << qint64(3'000'001) << qint64(0) << 1 << 256 << 999 << kNoData;
    // A failed write shows only as the missing echo, then as the error's description.
    QTest::newRow("write of 10 fails")
        << qint64(0) << qint64(0) << 1 << 10 << 999
        << u"\r\n"_s + dump(0, 9) + kNoData + u"Could not send.\r\n"_s;
    // Unplugged during the pause after the echo of 28: the byte before is not compared again.
    QTest::newRow("unplugged while 28 settles")
        << qint64(0) << qint64(0) << 1 << 256 << 29
        << u"\r\n"_s + dump(0, 27) + u"The adapter was unplugged.\r\n"_s;
    QTest::newRow("unplugged while the probe settles")
        << qint64(0) << qint64(0) << 1 << 256 << 0 << u"The adapter was unplugged.\r\n"_s;
    // The probe's echo still arriving is no answer to value 0.
    QTest::newRow("echo in two packets 16 ms apart")
        << qint64(0) << qint64(16'000) << 4 << 256 << 999 << pass;
    QTest::newRow("20 ms a byte") << qint64(20'000) << qint64(20'000) << 1 << 256 << 999 << pass;
}

void TestLoopback::scriptedLine()
{
    QFETCH(qint64, delay);
    QFETCH(qint64, gap);
    QFETCH(int, part);
    QFETCH(int, failFrom);
    QFETCH(int, lostFrom);
    QFETCH(QString, line);
    Rig rig;
    rig.map.setDevice(1, u"/dev/scripted"_s);
    ScriptedLine scripted;
    scripted.delay = std::chrono::microseconds(delay);
    scripted.gap = std::chrono::microseconds(gap);
    scripted.part = part;
    scripted.failFrom = failFrom;
    scripted.lostFrom = lostFrom;
    QString ending = passedOn(1, u"/dev/scripted"_s);
    if (!line.endsWith(dump(0, 255))) {
        ending = kTrying;
        for (int port = 2; port <= 12; ++port)
            ending += u"COM %1: Not there.\r\n"_s.arg(port);
        ending += kAllFailed;
    }
    QCOMPARE(rig.run(u"COM 1"_s, scripted, scripted), kHead + u"COM 1: "_s + line + ending);
}

Attempt made(Attempt::Outcome outcome,
             int value,
             const QByteArray &reply = {},
             std::optional<CommError> error = {})
{
    Attempt attempt;
    attempt.port = 1;
    attempt.device = u"/dev/ttyUSB0"_s;
    attempt.outcome = outcome;
    attempt.value = value;
    attempt.reply = reply;
    attempt.error = std::move(error);
    return attempt;
}

void TestLoopback::logText_data()
{
    QTest::addColumn<Attempt>("attempt");
    QTest::addColumn<QString>("text"); // what follows "COM 1: "

    Attempt passed = made(Outcome::Passed, 256, LoopbackTest::kProbe);
    passed.facts = {true, u"FT232R USB UART"_s, u"FTDI"_s};
    passed.lastingName = u"/dev/serial/by-id/usb-FTDI-if00-port0"_s;
    QTest::newRow("passed") << passed
                            << u"\r\n"_s + dump(0, 255)
                                   + u"\r\n\r\nCOM 1: Test passed successfully!\r\nSelect COM 1 in "
                                     "your software.\r\nOn this computer COM 1 is /dev/ttyUSB0 "
                                     "(FT232R USB UART, FTDI).\r\nIts lasting name is "
                                     "/dev/serial/by-id/usb-FTDI-if00-port0. Use it in your "
                                     "software if the adapter moves.\r\n"_s;
    const QString held = u"/dev/ttyUSB0 (COM 1) is in use by minicom (process 4242). Close that "
                         "program and try again."_s;
    QTest::newRow("not opened") << made(Outcome::NotOpened,
                                        -1,
                                        {},
                                        CommError(ErrorNumber::PortInUse, held))
                                << held + u"\r\n"_s;
    const QString console = u"/dev/ttyAMA0 (COM 1) is the system console; Tollbeck does not write "
                            "to it."_s;
    QTest::newRow("a console") << made(Outcome::Console,
                                       -1,
                                       {},
                                       CommError(ErrorNumber::SystemConsole, console))
                               << console + u"\r\n"_s;
    const QString radio
        = u"Something that is not a loopback answered the probe: \"%1\". A radio "
          "may be connected: the check needs the cable's radio end left open.\r\n"_s;
    QTest::newRow("a radio answered")
        << made(Outcome::NoData, 0, "?;") << kNoData + radio.arg(u"?;"_s);
    Attempt wrong = made(Outcome::Mismatch, 0, QByteArray("\x00\xff\"\\abcdefghijklmnop", 20));
    wrong.received = 0x80;
    QTest::newRow("mismatch at 0, after a binary reply")
        << wrong
        << u"\r\n80 \r\n\r\nERROR: Test failed! \r\nReceived Data Corrupt!\r\nSent: 00\r\n"
           "Received: 80\r\n\r\n"_s
               + radio.arg(u"\\x00\\xFF\\x22\\x5Cabcdefghijkl..."_s);
    const CommError lost(ErrorNumber::DeviceLost, u"/dev/ttyUSB0 (COM 1) stopped working."_s);
    Attempt waited = made(Outcome::LineLost, 2, LoopbackTest::kProbe, lost);
    waited.timedOut = true;
    QTest::newRow("line lost, waiting")
        << waited << u"\r\n00 01 No Data Received\r\n"_s + lost.description() + u"\r\n"_s;
    QTest::newRow("line lost, settling") << made(Outcome::LineLost, 2, LoopbackTest::kProbe, lost)
                                         << u"\r\n00 01 "_s + lost.description() + u"\r\n"_s;
    QTest::newRow("stopped") << made(Outcome::Stopped, 3, LoopbackTest::kProbe)
                             << u"\r\n00 01 02 "_s;
}

void TestLoopback::logText()
{
    QFETCH(Attempt, attempt);
    QFETCH(QString, text);
    RunRecord run;
    run.selected = 1;
    run.settingsFile = u"/home/ham/.config/Tollbeck/Tollbeck.conf"_s;
    run.attempts = {attempt};
    run.stopped = attempt.outcome == Attempt::Outcome::Stopped;
    QString ending;
    if (attempt.outcome != Attempt::Outcome::Passed && !run.stopped) {
        ending = kAllFailed;
        // After a walk, a selected port that would not open is named again, with the devices
        // no COM number reaches.
        if (attempt.error && attempt.outcome != Attempt::Outcome::LineLost) {
            ending += u"\r\nCOM 1, the port you selected, could not be opened: "_s
                      + attempt.error->description()
                      + u"\r\n\r\nSerial devices not in the port list: /dev/ttyAMA0. Map one to "
                        "a COM number in /home/ham/.config/Tollbeck/Tollbeck.conf under [Ports]."
                        "\r\n"_s;
            run.unreached = {u"/dev/ttyAMA0"_s};
        }
    }
    QCOMPARE(LogText::whole(run), kHead + u"COM 1: "_s + text + ending);
    // Without a walk the selected port's line stands right above: it is not said again.
    run.walk = false;
    run.unreached.clear();
    QCOMPARE(LogText::whole(run),
             kHead + u"COM 1: "_s + text + ending.section(u"\r\nCOM 1,"_s, 0, 0));
}

void TestLoopback::socatCableAndAHolder()
{
    // socat, the usual way to make a virtual serial port, holds both sides of its
    // pseudo-terminal; the cat that echoes inherits the port's side.
    if (QStandardPaths::findExecutable(u"socat"_s).isEmpty()) {
        QVERIFY2(qEnvironmentVariableIsEmpty("CI"), "socat is not installed, and CI skips nothing");
        QSKIP("socat is not installed (bash scripts/deps.sh socat)");
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(u"cable"_s);
    QProcess socat;
    socat.start(u"socat"_s, {u"PTY,link=%1,raw,echo=0"_s.arg(path), u"EXEC:cat,pty,raw,echo=0"_s});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path), 5000);
    // The port is mapped by socat's link; the system describes the device behind it and gives
    // it a lasting name.
    Rig rig;
    rig.map.setDevice(1, path);
    const QString device = QFileInfo(path).canonicalFilePath();
    const QString lasting = rig.stableNames() + u"/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"_s;
    QVERIFY(QDir().mkpath(rig.stableNames()) && QFile::link(device, lasting));
    rig.listed = {{device, u"FT232R USB UART"_s, u"FTDI"_s}};
    EventLoopClock clock;
    QCOMPARE(rig.run(u"COM 1"_s, clock),
             kHead + u"COM 1: \r\n"_s + dump(0, 255)
                 + u"\r\n\r\nCOM 1: Test passed successfully!\r\nSelect COM 1 in your software.\r\n"
                   "On this computer COM 1 is %1 (FT232R USB UART, FTDI).\r\nIts lasting name is "
                   "%2. Use it in your software if the adapter moves.\r\n"_s.arg(path, lasting));

    // A program that opened the cable's port without holding its other end is named, and its
    // port is not touched.
    int ready[2];
    int release[2];
    QVERIFY(::pipe(ready) == 0 && ::pipe(release) == 0);
    const pid_t holder = holdPort(path, ready, release);
    ::close(ready[1]); // so that a holder that failed to open shows as an end of file
    ::close(release[0]);
    char opened = 0;
    QCOMPARE(::read(ready[0], &opened, 1), 1);
    const QString held = u"%1 (COM 1) is in use by holder (process %2). Close that program and "
                         "try again.\r\n"_s.arg(path)
                             .arg(holder);
    QCOMPARE(rig.run(u"COM 1"_s, clock),
             kHead + u"COM 1: "_s + held + kTrying + rig.openErrors(2) + kAllFailed
                 + notOpened(1, held));
    // The port list in a terminal names it too, and also leaves its port alone.
    rig.mapInSettings(1, path);
    QProcess list;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_CONFIG_HOME"_s, rig.dir.path());
    list.setProcessEnvironment(environment);
    list.start(QString::fromLocal8Bit(TOLLBECK), {u"--list"_s});
    QVERIFY(list.waitForFinished() && list.exitCode() == 0);
    QCOMPARE(QString::fromLocal8Bit(list.readAllStandardOutput()).section(u'\n', 0, 0).simplified(),
             u"COM 1 %1 in use by holder (process %2)"_s.arg(path).arg(holder));
    QCOMPARE(::write(release[1], "x", 1), 1);
    int status = -1;
    QCOMPARE(::waitpid(holder, &status, 0), holder);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0,
             "the refused open changed the holder's line or its exclusive flag");
    ::close(ready[0]);
    ::close(release[1]);
    socat.terminate();
    socat.waitForFinished();
}

void TestLoopback::unreachedDevices_data()
{
    QTest::addColumn<bool>("missing"); // the ports' devices are missing, not files that are no port
    QTest::addColumn<bool>("onCom12"); // COM 12 is the listed device, and the run starts on COM 1
    QTest::newRow("one unmapped device") << true << false;
    QTest::newRow("no device missing") << false << false;
    QTest::newRow("the last port reaches it") << true << true;
}

void TestLoopback::unreachedDevices()
{
    QFETCH(bool, missing);
    QFETCH(bool, onCom12);
    Rig rig;
    // The system lists one device, and every file here is there but is no serial port.
    const QString listed = rig.dir.filePath(u"ttyAMA0"_s);
    rig.listed = {{listed, {}, {}}};
    for (int port = 1; port <= 12; ++port) {
        const QString file = rig.dir.filePath(u"notaport-%1"_s.arg(port));
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
        if (!missing)
            rig.map.setDevice(port, file);
    }
    QVERIFY(QFile(listed).open(QIODevice::WriteOnly));
    if (onCom12)
        rig.map.setDevice(12, listed);
    EventLoopClock clock;
    // The walk leaves out the start port and ends with COM 12, or with COM 11 from COM 12. A
    // file that is there opens, but is no serial port.
    const QString notAPort
        = u"%1 would not open as a serial port: Inappropriate ioctl for device."_s;
    const auto errors = [&](int from, int to, int skip = 0) {
        QString text;
        for (int port = from; port <= to; ++port) {
            const bool there = !missing || (onCom12 && port == 12);
            text += rig.openErrors(port, port, skip, there ? notAPort : u"%1 is not there."_s);
        }
        return text;
    };
    const int start = onCom12 ? 1 : 12;
    QString expected = kHead + errors(start, start) + kTrying + errors(1, 12, start) + kAllFailed
                       + notOpened(start, errors(start, start).section(u": "_s, 1));
    if (missing && !onCom12)
        expected += u"\r\nSerial devices not in the port list: %1. Map one to a COM number in "
                    "%2 under [Ports].\r\n"_s.arg(listed, rig.settingsPath());
    QCOMPARE(rig.run(u"COM %1"_s.arg(start), clock), expected);
}

QTEST_GUILESS_MAIN(TestLoopback)
#include "tst_loopback.moc"
