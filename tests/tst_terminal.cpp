// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "tests/formharness.h"
#include "tests/testclocks.h"
#include "tools/virtualcable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The program as a ham at a station without a screen runs it: no display of any kind, and
// settings of its own. With a cable they map a COM number to it and the other ports to files
// that are no serial port; without, there are none.
class Terminal
{
public:
    explicit Terminal(const QString &cable = {}, int cablePort = 1)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
            environment.remove(name);
        environment.insert(u"XDG_CONFIG_HOME"_s, dir.path());
        process.setProcessEnvironment(environment);
        if (cable.isEmpty())
            return;
        QByteArray ports = "[Ports]\n";
        for (int port = 1; port <= 12; ++port) {
            const QString file = dir.filePath(u"notaport-%1"_s.arg(port));
            map.setDevice(port, port == cablePort ? cable : file);
            QVERIFY(writeFile(file, {}));
            ports += "COM" + QByteArray::number(port) + '=' + QFile::encodeName(map.device(port));
            ports += '\n';
        }
        QVERIFY(QDir(dir.path()).mkdir(u"Tollbeck"_s)
                && writeFile(dir.filePath(u"Tollbeck/Tollbeck.conf"_s), ports));
    }

    // The exit status; -1 when the program did not end by itself within the time-out.
    int run(const QStringList &arguments, int timeout = 30000)
    {
        process.start(QString::fromLocal8Bit(TOLLBECK), arguments);
        if (!process.waitForFinished(timeout) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        out = QString::fromLocal8Bit(process.readAllStandardOutput());
        err = QString::fromLocal8Bit(process.readAllStandardError());
        return process.exitCode();
    }

    QTemporaryDir dir;
    PortMap map = PortMap::defaults();
    QProcess process;
    QString out;
    QString err;
};

// Skips, or fails in CI, where socat is not installed.
bool haveSocat()
{
    if (!QStandardPaths::findExecutable(u"socat"_s).isEmpty())
        return true;
    [] {
        QVERIFY2(qEnvironmentVariableIsEmpty("CI"), "socat is not installed, and CI skips nothing");
    }();
    return false;
}

} // namespace

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkPrintsTheWindowsLog_data();
    void checkPrintsTheWindowsLog();
    void jsonTellsWhatTheLogSays_data();
    void jsonTellsWhatTheLogSays();
    void usageErrors_data();
    void usageErrors();
    void signalStopsTheScript_data();
    void signalStopsTheScript();
    void findStopsOnCtrlC();
    void deeperChecks_data();
    void deeperChecks();
};

void TestTerminal::checkPrintsTheWindowsLog_data()
{
    QTest::addColumn<QString>("cable"); // "socat", "good" or "dead"
    QTest::addColumn<int>("port");      // where the cable is
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::newRow("socat's loopback, named by its link")
        << u"socat"_s << 1 << QStringList{u"--check"_s, u"{cable}"_s} << 0;
    QTest::newRow("silent cable, saved port, walk")
        << u"dead"_s << 1 << QStringList{u"--check"_s} << 1;
    QTest::newRow("silent cable, no walk")
        << u"dead"_s << 1 << QStringList{u"--check"_s, u"1"_s, u"--no-walk"_s} << 1;
    QTest::newRow("COM12") << u"good"_s << 12
                           << QStringList{u"--check"_s, u"COM12"_s, u"--no-walk"_s} << 0;
    QTest::newRow("12, spaced") << u"good"_s << 12
                                << QStringList{u"--check"_s, u" 12 "_s, u"--no-walk"_s} << 0;
}

void TestTerminal::checkPrintsTheWindowsLog()
{
    QFETCH(QString, cable);
    QFETCH(int, port);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QTemporaryDir socatDir;
    QProcess socat;
    std::unique_ptr<VirtualCable> virtualCable;
    QString device = socatDir.filePath(u"cable"_s);
    if (cable == u"socat"_s) {
        if (!haveSocat())
            QSKIP("socat is not installed (bash scripts/deps.sh socat)");
        socat.start(u"socat"_s,
                    {u"PTY,link=%1,raw,echo=0"_s.arg(device), u"EXEC:cat,pty,raw,echo=0"_s});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(device), 5000);
    } else {
        virtualCable = std::make_unique<VirtualCable>(cable == u"dead"_s ? VirtualCable::dead()
                                                                         : VirtualCable::good());
        device = virtualCable->devicePath();
    }
    Terminal terminal(device, port);
    QCOMPARE(terminal.run(arguments.replaceInStrings(u"{cable}"_s, device)), status);

    // The window, given the same ports and the same selection, logs the same.
    FormHarness harness;
    harness.clock = std::make_unique<FastClock>();
    Form1 &form = harness.form(terminal.map);
    form.Combo1->setCurrentIndex(port - 1);
    form.Test();
    QString log = form.Text1->toPlainText();
    if (!log.endsWith(u'\n'))
        log += u'\n';
    if (arguments.contains(u"--no-walk"_s)) { // as though the walk had nothing left to try
        log.remove(QRegularExpression(u"\nTrying other ports...\n(COM [^\n]*\n)*"_s));
        log.remove(QRegularExpression(u"\nCOM \\d+, the port you selected, [^\n]*\n"_s));
    }
    QCOMPARE(terminal.out, log);
    QCOMPARE(terminal.err, QString()); // nothing from Qt about a missing display
    socat.terminate();
    socat.waitForFinished();
}

void TestTerminal::jsonTellsWhatTheLogSays_data()
{
    QTest::addColumn<QString>("cable"); // "good", "dead", "modem", or "held": good, but in use
    QTest::addColumn<int>("status");
    QTest::newRow("a pass") << u"good"_s << 0;
    QTest::newRow("a failing walk") << u"dead"_s << 1;
    QTest::newRow("a modem") << u"modem"_s << 1;
    QTest::newRow("a port in use") << u"held"_s << 1;
}

void TestTerminal::jsonTellsWhatTheLogSays()
{
    QFETCH(QString, cable);
    QFETCH(int, status);
    VirtualCable virtualCable(cable == u"dead"_s    ? VirtualCable::dead()
                              : cable == u"modem"_s ? VirtualCable::modem("OK")
                                                    : VirtualCable::good());
    // Another program with the port open; not the test's child, which holds the cable's end.
    QProcess holder;
    qint64 holderPid = 0;
    if (cable == u"held"_s) {
        holder.setProgram(u"sleep"_s);
        holder.setArguments({u"30"_s});
        holder.setStandardInputFile(virtualCable.devicePath());
        QVERIFY(holder.startDetached(&holderPid));
    }
    const auto stopHolder = qScopeGuard([&] {
        if (holderPid > 0)
            ::kill(pid_t(holderPid), SIGKILL);
    });
    Terminal terminal(virtualCable.devicePath());
    QCOMPARE(terminal.run({u"--check"_s, u"--json"_s}), status);
    QJsonParseError error{};
    const QJsonObject run = QJsonDocument::fromJson(terminal.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(terminal.err, QString());
    QCOMPARE(terminal.run({u"--check"_s}), status);
    const QString log = terminal.out;

    QCOMPARE(run[u"schema"_s].toInt(), 1);
    QCOMPARE(run[u"selected"_s].toInt(), 1);
    QVERIFY(run[u"walk"_s].toBool());
    QCOMPARE(run[u"settings"_s].toString(), terminal.dir.filePath(u"Tollbeck/Tollbeck.conf"_s));
    QVERIFY(QDateTime::fromString(run[u"started"_s].toString(), Qt::ISODateWithMs).isValid());
    // Each attempt is one port's line of the log, and says what that line says.
    static const QRegularExpression heading(u"^COM (\\d+): (.*)$"_s,
                                            QRegularExpression::MultilineOption);
    QJsonArray attempts = run[u"attempts"_s].toArray();
    QRegularExpressionMatchIterator line = heading.globalMatch(log);
    for (const QJsonValue value : std::as_const(attempts)) {
        const QJsonObject attempt = value.toObject();
        QVERIFY(line.hasNext());
        const QRegularExpressionMatch match = line.next();
        QCOMPARE(attempt[u"port"_s].toInt(), match.captured(1).toInt());
        QCOMPARE(attempt[u"device"_s].toString(), terminal.map.device(attempt[u"port"_s].toInt()));
        const QString outcome = attempt[u"outcome"_s].toString();
        const QString said = outcome == u"passed"_s    ? QString()
                             : outcome == u"no_data"_s ? u"No Data Received"_s
                             : outcome == u"modem"_s   ? u"Modem"_s
                             : outcome == u"not_opened"_s
                                 ? attempt[u"error"_s][u"description"_s].toString()
                                 : u"(unexpected outcome %1)"_s.arg(outcome);
        QCOMPARE(match.captured(2), said);
        if (outcome == u"passed"_s)
            QVERIFY(line.hasNext() && line.next().captured(2) == u"Test passed successfully!"_s);
    }
    QVERIFY2(!line.hasNext(), "the log tried a port the record does not hold");
    const QJsonValue passed = run[u"passed"_s];
    QCOMPARE(passed.isNull(), status != 0);
    if (!passed.isNull())
        QVERIFY(log.contains(u"On this computer COM %1 is %2."_s.arg(passed[u"port"_s].toInt())
                                 .arg(passed[u"device"_s].toString())));
}

void TestTerminal::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // the one line on stderr; {device} a pseudo-terminal's
    QTest::addColumn<int>("mapped");    // COM 1 to this are mapped to missing devices
    QTest::newRow("unknown option")
        << QStringList{u"--fish"_s} << u"Unknown option 'fish'. See tollbeck --help."_s << 0;
    QTest::newRow("COM0") << QStringList{u"--check"_s, u"COM0"_s}
                          << u"COM0 is not a port: choose COM1 to COM12."_s << 0;
    QTest::newRow("fish") << QStringList{u"--check"_s, u"fish"_s}
                          << u"fish is neither a COM number (COM1 to COM12) nor a device."_s << 0;
    QTest::newRow("--json alone") << QStringList{u"--json"_s}
                                  << u"--json goes with --check, --list or --find."_s << 0;
    QTest::newRow("--find with a PORT") << QStringList{u"--find"_s, u"--check"_s, u"COM5"_s}
                                        << u"--find finds the port: give no PORT with it."_s << 0;
    QTest::newRow("--find=0") << QStringList{u"--find=0"_s}
                              << u"--find=0: give whole seconds, as in --find=120."_s << 0;
    QTest::newRow("--find 5") << QStringList{u"--find"_s, u"5"_s}
                              << u"--find finds the port: give no PORT with it."_s << 0;
    QTest::newRow("--find --list") << QStringList{u"--find"_s, u"--list"_s}
                                   << u"--list goes with neither --check nor --find."_s << 0;
    QTest::newRow("a file that is no device")
        << QStringList{u"--check"_s, u"{file}"_s}
        << u"{file} is not a serial device: it is no character device."_s << 0;
    // The suggested COM number is the lowest that the user has not mapped and whose device is
    // not there, so that the new line hides nothing.
    QTest::newRow("a device no COM number reaches, COM 1 to 4 mapped")
        << QStringList{u"--check"_s, u"{device}"_s}
        << u"{device} is not in the port list. Add COM5={device} under [Ports] in {settings}, "
           "then run tollbeck --check COM5."_s
        << 4;
    QTest::newRow("... COM 1 to 8 mapped")
        << QStringList{u"--check"_s, u"{device}"_s}
        << u"{device} is not in the port list. Add COM9={device} under [Ports] in {settings}, "
           "then run tollbeck --check COM9."_s
        << 8;
}

void TestTerminal::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(int, mapped);
    const int suggested = mapped + 1;
    const QString usual = PortMap::defaults().device(suggested);
    if (mapped > 0 && QFileInfo::exists(usual))
        QSKIP(qPrintable(usual
                         + u" is there on this machine, so COM%1 is not free"_s.arg(suggested)));
    VirtualCable cable; // a device that no COM number reaches
    Terminal terminal;
    QByteArray ports = "[Ports]\n";
    for (int port = 1; port <= mapped; ++port)
        ports += "COM" + QByteArray::number(port) + "=/nowhere/missing\n";
    QVERIFY(QDir(terminal.dir.path()).mkdir(u"Tollbeck"_s)
            && writeFile(terminal.dir.filePath(u"Tollbeck/Tollbeck.conf"_s), ports));
    const QString file = terminal.dir.filePath(u"plain-file"_s);
    QVERIFY(writeFile(file, "no device"));
    const auto filled = [&](QString text) {
        return text.replace(u"{device}"_s, cable.devicePath())
            .replace(u"{file}"_s, file)
            .replace(u"{settings}"_s, terminal.dir.filePath(u"Tollbeck/Tollbeck.conf"_s));
    };
    for (QString &argument : arguments)
        argument = filled(argument);
    QCOMPARE(terminal.run(arguments), 2);
    QCOMPARE(terminal.err, u"tollbeck: "_s + filled(error) + u'\n');
    QCOMPARE(terminal.out, QString());
}

void TestTerminal::signalStopsTheScript_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("loop"); // a shell loop of checks, whose process group gets the signal
    QTest::newRow("Ctrl+C during a production line") << SIGINT << true;
    QTest::newRow("SIGTERM") << SIGTERM << false;
}

void TestTerminal::signalStopsTheScript()
{
    QFETCH(int, signal);
    QFETCH(bool, loop);
    VirtualCable dead(VirtualCable::dead());
    Terminal terminal(dead.devicePath());
    QProcess &process = terminal.process;
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    if (loop)
        process
            .start(u"bash"_s,
                   {u"-c"_s,
                    u"for cable in 1 2 3; do \"$0\" --check; echo \"went on after $cable\"; done"_s,
                    QString::fromLocal8Bit(TOLLBECK)});
    else
        process.start(QString::fromLocal8Bit(TOLLBECK), {u"--check"_s});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).endsWith("COM 1: "), 5000);
    QTest::qWait(200); // well into the wait for the probe's reply
    QElapsedTimer stopping;
    stopping.start();
    ::kill(-pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE_LT(stopping.elapsed(), 1000);
    // Dead by the signal, so that the shell stops the loop too.
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.readAllStandardOutput(),
             QByteArray("\n")); // the line is ended; nothing went on
    QCOMPARE(process.readAllStandardError(), QByteArray("Stopped.\n"));
    const QString lock = u"LCK.."_s + dead.devicePath().mid(5).replace(u'/', u'_');
    for (const QString &dir : {u"/var/lock/"_s, u"/run/lock/"_s, u"/tmp/"_s})
        QVERIFY2(!QFileInfo::exists(dir + lock), qPrintable(dir + lock + u" is left behind"_s));
}

// --find waits for a cable; Ctrl+C ends it as it ends a check, and the shell sees the signal.
void TestTerminal::findStopsOnCtrlC()
{
    Terminal terminal;
    QProcess &process = terminal.process;
    process.setReadChannel(QProcess::StandardError);
    process.start(QString::fromLocal8Bit(TOLLBECK), {u"--find"_s, u"--check"_s});
    QVERIFY(process.waitForReadyRead(5000));
    QTest::qWait(200);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.readAllStandardError(),
             QByteArray("Plug the cable in now (or unplug it and plug it in again).\nStopped.\n"));
}

void TestTerminal::deeperChecks_data()
{
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<QString>("plug"); // a loopback plug's wiring, preloaded; empty: none
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // a line of the output
    QTest::newRow("lines, RTS wire broken")
        << VirtualCable::good() << u"CTS=OFF"_s << QStringList{u"--lines"_s} << 1
        << u"Keying lines: DTR works, RTS does not."_s;
    QTest::newRow("lines, a bare pseudo-terminal")
        << VirtualCable::good() << QString() << QStringList{u"--lines"_s} << 0
        << u"This device does not report its control lines, so they cannot be checked."_s;
    QTest::newRow("rates, garbled above 38400")
        << VirtualCable::paced(38400) << QString() << QStringList{u"--rates"_s} << 1
        << u"Set your radio software to at most 38400 baud."_s;
    // Ended by Ctrl+C, as it is meant to be: the summary and the verdict's status.
    QTest::newRow("soak until Ctrl+C")
        << VirtualCable::paced() << QString() << QStringList{u"--soak"_s} << 0 << u"Steady."_s;
    QTest::newRow("all three, as JSON")
        << VirtualCable::paced(38400) << u"CTS=OFF"_s
        << QStringList{u"--lines"_s, u"--rates=57600,9600"_s, u"--soak=1"_s, u"--json"_s} << 1
        << u"        \"highest\": 9600,"_s;
}

void TestTerminal::deeperChecks()
{
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(QString, plug);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);
    VirtualCable virtualCable(cable);
    Terminal terminal(virtualCable.devicePath());
    if (!plug.isEmpty()) {
        QProcessEnvironment environment = terminal.process.processEnvironment();
        environment.insert(u"LD_PRELOAD"_s, QString::fromLocal8Bit(PLUG_LIBRARY));
        environment.insert(u"TOLLBECK_PLUG"_s, plug);
        // A sanitized build wants its runtime first; the plug only answers a few ioctls.
        environment.insert(u"ASAN_OPTIONS"_s,
                           environment.value(u"ASAN_OPTIONS"_s) + u":verify_asan_link_order=0"_s);
        terminal.process.setProcessEnvironment(environment);
    }
    if (arguments.contains(u"--soak"_s)) {
        terminal.process.start(QString::fromLocal8Bit(TOLLBECK),
                               QStringList{u"--check"_s, u"1"_s, u"--no-walk"_s} + arguments);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += terminal.process.readAllStandardOutput()).contains("Soak: "),
                                 10000);
        QTest::qWait(1000);
        ::kill(pid_t(terminal.process.processId()), SIGINT);
        QVERIFY(terminal.process.waitForFinished(5000));
        terminal.out = QString::fromLocal8Bit(out + terminal.process.readAllStandardOutput());
        QCOMPARE(terminal.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(terminal.process.exitCode(), status);
    } else {
        QCOMPARE(terminal.run(QStringList{u"--check"_s, u"1"_s, u"--no-walk"_s} + arguments),
                 status);
    }
    QVERIFY2(terminal.out.split(u'\n').contains(said), qPrintable(terminal.out));
    if (arguments.contains(u"--json"_s)) {
        const QJsonObject run = QJsonDocument::fromJson(terminal.out.toUtf8()).object();
        for (const QString &section : {u"lines"_s, u"rates"_s, u"soak"_s})
            QVERIFY(run[section].isObject());
    }
}

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
