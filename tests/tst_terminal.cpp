// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "tests/formharness.h"
#include "tests/testclocks.h"
#include "tools/virtualcable.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// The program as a ham at a station without a screen runs it: no display of any kind, and
// settings of its own. With a cable they map COM 1 to it and the other ports to a device that is
// no port; without, there are none.
class Terminal
{
public:
    explicit Terminal(const QString &cable = {})
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
            map.setDevice(port, port == 1 ? cable : u"/dev/null"_s);
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

} // namespace

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkPrintsTheWindowsLog_data();
    void checkPrintsTheWindowsLog();
    void usageErrors_data();
    void usageErrors();
    void signalStopsTheRun_data();
    void signalStopsTheRun();
};

void TestTerminal::checkPrintsTheWindowsLog_data()
{
    QTest::addColumn<QString>("cable"); // "socat" or "dead"
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::newRow("socat's loopback, named by its link")
        << u"socat"_s << QStringList{u"--check"_s, u"{cable}"_s} << 0;
    QTest::newRow("silent cable, saved port, walk") << u"dead"_s << QStringList{u"--check"_s} << 1;
    QTest::newRow("silent cable, no walk")
        << u"dead"_s << QStringList{u"--check"_s, u"1"_s, u"--no-walk"_s} << 1;
}

void TestTerminal::checkPrintsTheWindowsLog()
{
    QFETCH(QString, cable);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QTemporaryDir socatDir;
    QProcess socat;
    std::unique_ptr<VirtualCable> dead;
    QString device = socatDir.filePath(u"cable"_s);
    if (cable == u"socat"_s) {
        if (QStandardPaths::findExecutable(u"socat"_s).isEmpty()) {
            QVERIFY2(qEnvironmentVariableIsEmpty("CI"),
                     "socat is not installed, and CI skips nothing");
            QSKIP("socat is not installed (bash scripts/deps.sh socat)");
        }
        socat.start(u"socat"_s,
                    {u"PTY,link=%1,raw,echo=0"_s.arg(device), u"EXEC:cat,pty,raw,echo=0"_s});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(device), 5000);
    } else {
        dead = std::make_unique<VirtualCable>(VirtualCable::dead());
        device = dead->devicePath();
    }
    Terminal terminal(device);
    QCOMPARE(terminal.run(arguments.replaceInStrings(u"{cable}"_s, device)), status);

    // The window, given the same ports and the same selection, logs the same.
    FormHarness harness;
    harness.clock = std::make_unique<FastClock>();
    Form1 &form = harness.form(terminal.map);
    form.Test();
    QString log = form.Text1->toPlainText();
    if (!log.endsWith(u'\n'))
        log += u'\n';
    if (arguments.contains(u"--no-walk"_s)) // as though the walk had nothing left to try
        log.remove(QRegularExpression(u"\nTrying other ports...\n(COM [^\n]*\n)*"_s));
    QCOMPARE(terminal.out, log);
    QCOMPARE(terminal.err, QString()); // nothing from Qt about a missing display
    socat.terminate();
    socat.waitForFinished();
}

void TestTerminal::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // a pattern for the one line on stderr
    QTest::newRow("unknown option")
        << QStringList{u"--fish"_s} << u"Unknown option 'fish'\\. See tollbeck --help\\."_s;
    QTest::newRow("COM0") << QStringList{u"--check"_s, u"COM0"_s}
                          << u"COM0 is not a port: choose COM1 to COM12\\."_s;
    QTest::newRow("COM 13") << QStringList{u"--check"_s, u"COM 13"_s}
                            << u"COM 13 is not a port: choose COM1 to COM12\\."_s;
    QTest::newRow("fish") << QStringList{u"--check"_s, u"fish"_s}
                          << u"fish is neither a COM number \\(COM1 to COM12\\) nor a device\\."_s;
    QTest::newRow("--no-walk alone")
        << QStringList{u"--no-walk"_s} << u"--no-walk goes with --check only\\."_s;
    QTest::newRow("a device no COM number reaches")
        << QStringList{u"--check"_s, u"/dev/zero"_s}
        << u"/dev/zero is not in the port list\\. Add COM(\\d+)=/dev/zero under \\[Ports\\] in "
           "{settings}, then run tollbeck --check COM\\1\\."_s;
}

void TestTerminal::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    Terminal terminal; // every COM number as it comes, so that some have no device behind them
    QCOMPARE(terminal.run(arguments), 2);
    const QString settings = terminal.dir.filePath(u"Tollbeck/Tollbeck.conf"_s);
    const QRegularExpression expected(
        u"^tollbeck: "_s + error.replace(u"{settings}"_s, QRegularExpression::escape(settings))
        + u"\n$"_s);
    QVERIFY2(expected.match(terminal.err).hasMatch(), qPrintable(terminal.err));
    QCOMPARE(terminal.out, QString());
}

void TestTerminal::signalStopsTheRun_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl+C") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void TestTerminal::signalStopsTheRun()
{
    QFETCH(int, signal);
    VirtualCable dead(VirtualCable::dead());
    Terminal terminal(dead.devicePath());
    terminal.process.start(QString::fromLocal8Bit(TOLLBECK), {u"--check"_s});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += terminal.process.readAllStandardOutput()).endsWith("COM 1: "),
                             5000);
    QTest::qWait(200); // well into the wait for the probe's reply
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(terminal.process.processId()), signal);
    QVERIFY(terminal.process.waitForFinished(5000));
    QCOMPARE_LT(stopping.elapsed(), 1000);
    QCOMPARE(terminal.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(terminal.process.exitCode(), 128 + signal);
    QCOMPARE(terminal.process.readAllStandardOutput(), QByteArray("\n")); // the line is ended
    QCOMPARE(terminal.process.readAllStandardError(), QByteArray("Stopped.\n"));
    const QString lock = u"LCK.."_s + dead.devicePath().mid(5).replace(u'/', u'_');
    for (const QString &dir : {u"/var/lock/"_s, u"/run/lock/"_s, u"/tmp/"_s})
        QVERIFY2(!QFileInfo::exists(dir + lock), qPrintable(dir + lock + u" is left behind"_s));
}

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
