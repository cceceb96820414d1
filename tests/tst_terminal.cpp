// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/request.h"
#include "tests/formharness.h"
#include "tools/virtualcable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
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

QJsonObject json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// Opens the device as a normal user would, who is bound by the kernel's exclusive flag: as
// root, from a thread that gives up CAP_SYS_ADMIN (capabilities are the thread's own; a forked
// child would confuse QProcess's watch on the program). 0, or the errno the open failed with.
int openAsUser(const QString &device)
{
    const QByteArray path = QFile::encodeName(device);
    int result = -1;
    std::thread opener([&] {
        if (::geteuid() == 0) {
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct caps[2] = {};
            ::syscall(SYS_capget, &header, caps);
            caps[CAP_SYS_ADMIN / 32].effective &= ~(1U << (CAP_SYS_ADMIN % 32));
            if (::syscall(SYS_capset, &header, caps) != 0)
                return;
        }
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        result = fd >= 0 ? 0 : errno;
        if (fd >= 0)
            ::close(fd);
    });
    opener.join();
    return result;
}

// Whether the process has the device open, as /proc shows it.
bool holds(qint64 pid, const QString &device)
{
    const QDir fds(u"/proc/%1/fd"_s.arg(pid));
    const QFileInfoList links = fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(links.cbegin(), links.cend(), [&](const QFileInfo &link) {
        return link.symLinkTarget() == device;
    });
}

} // namespace

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void jsonTellsWhatTheLogSays_data();
    void jsonTellsWhatTheLogSays();
    void jsonAttempt_data();
    void jsonAttempt();
    void stoppedChecksInJson();
    void parseArguments_data();
    void parseArguments();
    void signalStopsTheScript();
    void stopInEveryPhase_data();
    void stopInEveryPhase();
    void leftExclusive();
    void findStopsOnCtrlC();
    void deeperChecks_data();
    void deeperChecks();
};

void TestTerminal::jsonTellsWhatTheLogSays_data()
{
    QTest::addColumn<QString>("cable"); // "good", "dead" or "modem"
    QTest::addColumn<int>("status");
    QTest::newRow("a pass") << u"good"_s << 0;
    QTest::newRow("a failing walk") << u"dead"_s << 1;
    QTest::newRow("a modem") << u"modem"_s << 1;
}

void TestTerminal::jsonTellsWhatTheLogSays()
{
    QFETCH(QString, cable);
    QFETCH(int, status);
    VirtualCable virtualCable(cable == u"dead"_s    ? VirtualCable::dead()
                              : cable == u"modem"_s ? VirtualCable::modem("OK")
                                                    : VirtualCable::good());
    Terminal terminal(virtualCable.devicePath());
    QCOMPARE(terminal.run({u"--check"_s, u"--json"_s}), status);
    QJsonParseError error{};
    const QJsonObject run = QJsonDocument::fromJson(terminal.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(terminal.err, QString());
    QCOMPARE(terminal.run({u"--check"_s}), status);
    const QString log = terminal.out;

    QCOMPARE(run[u"schema"_s].toInt(), 2);
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

void TestTerminal::jsonAttempt_data()
{
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<QByteArray>("attempt"); // all but device, ms and probe_echo_ms
    QTest::addColumn<bool>("probed");        // the probe's echo came back
    QTest::newRow("a mismatch")
        << VirtualCable::corrupt(65, 193)
        << QByteArray(R"({"port": 1, "lasting_name": null, "outcome": "mismatch", "echoed": 65,
            "value": 65, "sent": 65, "received": 193, "reply": [65, 84, 86, 49, 81, 48, 13, 10]})")
        << true;
    QTest::newRow("a silent cable")
        << VirtualCable::dead() << QByteArray(R"({"port": 1, "lasting_name": null,
                                         "outcome": "no_data", "echoed": 0, "value": null})")
        << false;
    QTest::newRow("a lost line") << VirtualCable::unplugAfter(
        40) << QByteArray(R"({"port": 1, "lasting_name": null, "outcome": "line_lost", "echoed": 41,
            "value": 41, "reply": [65, 84, 86, 49, 81, 48, 13, 10], "error": {"number": 8020,
            "description": "{device} (COM 1) stopped working: the adapter was unplugged or failed."}})")
                                 << true;
}

// What a script reads of a failed attempt, field by field.
void TestTerminal::jsonAttempt()
{
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(QByteArray, attempt);
    QFETCH(bool, probed);
    VirtualCable virtualCable(cable);
    Terminal terminal(virtualCable.devicePath());
    QCOMPARE(terminal.run({u"--check"_s, u"1"_s, u"--no-walk"_s, u"--json"_s, u"--lines"_s}), 1);
    const QJsonObject run = QJsonDocument::fromJson(terminal.out.toUtf8()).object();
    QJsonObject seen = run[u"attempts"_s][0].toObject();
    QCOMPARE(seen.take(u"device"_s).toString(), virtualCable.devicePath());
    QVERIFY(seen.take(u"ms"_s).toInt() >= 15);
    // From the probe's write to the end of the pause after its echo's first byte.
    const int probe = seen.take(u"probe_echo_ms"_s).toInt(-1);
    QVERIFY2(probed ? probe >= 15 && probe < 100 : probe == -1, qPrintable(QString::number(probe)));
    attempt.replace("{device}", QFile::encodeName(virtualCable.devicePath()));
    QCOMPARE(seen, QJsonDocument::fromJson(attempt).object());
    QCOMPARE(run[u"passed"_s], QJsonValue());
    QCOMPARE(run[u"stopped"_s].toBool(), false);
    // The check asked for has its section, which says it did not run.
    QCOMPARE(run[u"lines"_s].toObject(),
             json(uR"({"ran": false, "stopped": false, "passed": false})"_s));
    QCOMPARE(run[u"failed_checks"_s].toArray(), QJsonArray());
}

// Ctrl+C during a check: the document still comes, and every part of it says it was stopped.
void TestTerminal::stoppedChecksInJson()
{
    VirtualCable cable(VirtualCable::paced());
    Terminal terminal(cable.devicePath());
    terminal.process
        .start(QString::fromLocal8Bit(TOLLBECK),
               {u"--check"_s, u"1"_s, u"--no-walk"_s, u"--rates=50"_s, u"--soak=5"_s, u"--json"_s});
    QTest::qWait(3000); // the run passes in under 2 s; at 50 baud the rate takes 51 s
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(terminal.process.processId()), SIGINT);
    QVERIFY(terminal.process.waitForFinished(5000));
    QCOMPARE_LT(stopping.elapsed(), 1000);
    QCOMPARE(terminal.process.exitStatus(), QProcess::CrashExit);
    const QJsonObject run
        = QJsonDocument::fromJson(terminal.process.readAllStandardOutput()).object();
    QCOMPARE(run[u"stopped"_s].toBool(), true);
    QCOMPARE(run[u"rates"_s][u"stopped"_s].toBool(), true);
    QCOMPARE(run[u"rates"_s][u"rates"_s].toArray(),
             (QJsonArray{QJsonObject{{u"baud"_s, 50}, {u"outcome"_s, u"stopped"_s}}}));
    QCOMPARE(run[u"rates"_s][u"highest"_s], QJsonValue());
    QCOMPARE(run[u"soak"_s].toObject(),
             json(uR"({"ran": false, "stopped": true, "passed": false})"_s));
    QCOMPARE(run[u"failed_checks"_s].toArray(), QJsonArray());
}

void TestTerminal::parseArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    // What the request holds: action port walk json lines rates soak, or "error: " and the
    // error's text.
    QTest::addColumn<QString>("request");
    const auto row = [](const char *name, const QStringList &arguments, const QString &request) {
        QTest::newRow(name) << arguments << request;
    };
    const QString all = u"1200,2400,4800,9600,19200,38400,57600,115200"_s;
    row("nothing",
        {},
        u"error: nothing to do: give --check, --list, --find, --help or --version."_s);
    row("--check: the saved port, walking", {u"--check"_s}, u"check '' walk - - - -"_s);
    row("COM5, no walk", {u"--check"_s, u"COM5"_s, u"--no-walk"_s}, u"check 'COM5' - - - - -"_s);
    row("PORT before --check, spaced",
        {u" COM 5 "_s, u"--check"_s},
        u"check 'COM 5' walk - - - -"_s);
    row("--list --json", {u"--list"_s, u"--json"_s}, u"list '' walk json - - -"_s);
    row("all three checks",
        {u"--check"_s, u"--lines"_s, u"--rates=38400,9600,9600"_s, u"--soak=60"_s},
        u"check '' walk - lines 9600,38400 60"_s);
    row("the lowest and highest rates",
        {u"--check"_s, u"--rates=4000000,134,50"_s},
        u"check '' walk - - 50,134,4000000 -"_s);
    row("--rates alone: every rate",
        {u"--check"_s, u"--rates"_s},
        u"check '' walk - - "_s + all + u" -"_s);
    row("--soak alone: until stopped", {u"--check"_s, u"--soak"_s}, u"check '' walk - - - 0"_s);
    row("--soak then a port by name",
        {u"--check"_s, u"--soak"_s, u"COM5"_s},
        u"check 'COM5' walk - - - 0"_s);
    row("--soak 5: seconds or COM 5?",
        {u"--check"_s, u"--soak"_s, u"5"_s},
        u"error: --soak 5: give the seconds after '=', as in --soak=5; to test COM 5, write it as COM5."_s);
    row("--soak 5 after a PORT",
        {u"--check"_s, u"COM1"_s, u"--soak"_s, u"5"_s},
        u"error: --soak 5: give the seconds after '=', as in --soak=5; to test COM 5, write it as COM5."_s);
    row("--rates 9600",
        {u"--check"_s, u"--rates"_s, u"9600"_s},
        u"error: --rates 9600: give the rates after '=', as in --rates=9600."_s);
    row("a rate no port can be set to",
        {u"--check"_s, u"--rates=5,9600"_s},
        u"error: --rates=5,9600: give standard rates in baud, separated by commas, as in "
        "--rates=9600,38400. The standard rates are 50, 75, 110, 134, 150, 200, 300, 600, "
        "1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, "
        "576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, "
        "4000000."_s);
    row("--soak=fish",
        {u"--check"_s, u"--soak=fish"_s},
        u"error: --soak=fish: give whole seconds, as in --soak=60."_s);
    row("an empty PORT",
        {u"--check"_s, u""_s},
        u"error: \"\" is no PORT: give COM1 to COM12 or a device, or leave PORT out for the port saved at the window's last Exit."_s);
    row("two PORTs",
        {u"--check"_s, u"COM"_s, u"5"_s},
        u"error: \"COM 5\" is more than one PORT; put a port written with a space in quotes, as in \"COM 5\"."_s);
    row("a PORT with --list",
        {u"--list"_s, u"COM1"_s},
        u"error: \"COM1\": a PORT goes with --check only."_s);
    row("--check --list",
        {u"--check"_s, u"--list"_s},
        u"error: --list goes with neither --check nor --find."_s);
    row("--json alone", {u"--json"_s}, u"error: --json goes with --check, --list or --find."_s);
    row("--find, then a check", {u"--find=90"_s, u"--check"_s}, u"find90+check '' walk - - - -"_s);
    row("--find with a PORT",
        {u"--find"_s, u"--check"_s, u"COM5"_s},
        u"error: --find finds the port: give no PORT with it."_s);
    row("--find=0", {u"--find=0"_s}, u"error: --find=0: give whole seconds, as in --find=120."_s);
    row("--find 5",
        {u"--find"_s, u"5"_s},
        u"error: --find 5: give the seconds after '=', as in --find=5; to test COM 5, write it as COM5."_s);
    row("--find --list",
        {u"--find"_s, u"--list"_s},
        u"error: --list goes with neither --check nor --find."_s);
}

void TestTerminal::parseArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, request);
    const std::variant<Request, UsageError> parsed
        = ::parseArguments(QStringList{u"tollbeck"_s} + arguments);
    if (const auto *error = std::get_if<UsageError>(&parsed)) {
        QCOMPARE(u"error: "_s + error->message, request);
        return;
    }
    const Request &got = std::get<Request>(parsed);
    static const char *const actions[] = {"check", "list", "find", "help", "version"};
    QStringList rates;
    for (const qint32 rate : got.deeper.rates.value_or(QList<qint32>()))
        rates << QString::number(rate);
    const QString described
        = u"%1 '%2' %3 %4 %5 %6 %7"_s
              .arg(QLatin1String(actions[int(got.action)])
                       + (got.action == Request::Action::Find
                              ? QString::number(got.findSeconds) + (got.check ? u"+check"_s : u""_s)
                              : QString()),
                   got.port)
              .arg(got.walk ? u"walk"_s : u"-"_s, got.json ? u"json"_s : u"-"_s)
              .arg(got.deeper.lines ? u"lines"_s : u"-"_s)
              .arg(got.deeper.rates ? rates.join(u',') : u"-"_s)
              .arg(got.deeper.soak ? QString::number(got.deeper.soak->count()) : u"-"_s);
    QCOMPARE(described, request);
}

void TestTerminal::signalStopsTheScript()
{
    VirtualCable dead(VirtualCable::dead());
    Terminal terminal(dead.devicePath());
    QProcess &process = terminal.process;
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    // Ctrl+C during a production line: the shell loop's process group gets the signal.
    process.start(u"bash"_s,
                  {u"-c"_s,
                   u"for cable in 1 2 3; do \"$0\" --check; echo \"went on after $cable\"; done"_s,
                   QString::fromLocal8Bit(TOLLBECK)});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).endsWith("COM 1: "), 5000);
    QTest::qWait(200); // well into the wait for the probe's reply
    QElapsedTimer stopping;
    stopping.start();
    ::kill(-pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE_LT(stopping.elapsed(), 1000);
    // Dead by the signal, so that the shell stops the loop too.
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.readAllStandardOutput(),
             QByteArray("\n")); // the line is ended; nothing went on
    QCOMPARE(process.readAllStandardError(), QByteArray("Stopped.\n"));
}

// Every stop, in every phase, the same way: the port closed and free for a normal user at once,
// no lock file left, and death by the signal. A second signal in the clean-up (GNU timeout
// sends one to the child and one to its group) changes nothing.
void TestTerminal::stopInEveryPhase_data()
{
    QTest::addColumn<QString>("phase"); // the text of standard output that begins it
    QTest::addColumn<VirtualCable::Behaviour>("cable");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("second"); // sent 10 ms after the first; 0 for none
    QTest::addColumn<int>("dies");   // the signal it ends by
    const QString probe = u"COM 1: "_s;
    const QString echo = u"COM 1: \n00 01 02 03 "_s;
    const QString pass = u"Select COM 1 in your software.\n"_s;
    const QString soak = u"Soak: "_s;
    const QStringList timed{u"--soak=30"_s};
    const QStringList openEnded{u"--soak"_s};
    const QStringList rates{u"--rates=1200,2400"_s};
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        const QByteArray name = ::sigabbrev_np(signal);
        const auto row
            = [&](const char *phase) { return &QTest::newRow((name + ", " + phase).constData()); };
        *row("waiting for the probe's reply")
            << probe << VirtualCable::dead() << QStringList() << signal << 0 << signal;
        *row("echoing") << echo << VirtualCable::paced() << QStringList() << signal << 0 << signal;
        *row("checking rates") << pass << VirtualCable::paced() << rates << signal << 0 << signal;
        *row("a timed soak") << soak << VirtualCable::paced() << timed << signal << 0 << signal;
        if (signal != SIGINT)
            *row("an open-ended soak")
                << soak << VirtualCable::paced() << openEnded << signal << 0 << signal;
    }
    QTest::newRow("SIGINT twice, as timeout sends it")
        << probe << VirtualCable::dead() << QStringList() << SIGINT << SIGINT << SIGINT;
    QTest::newRow("SIGINT twice, checking rates")
        << pass << VirtualCable::paced() << rates << SIGINT << SIGINT << SIGINT;
    QTest::newRow("SIGTERM after the Ctrl+C that ends a soak")
        << soak << VirtualCable::paced() << openEnded << SIGINT << SIGTERM << SIGTERM;
}

void TestTerminal::stopInEveryPhase()
{
    QFETCH(QString, phase);
    QFETCH(VirtualCable::Behaviour, cable);
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, second);
    QFETCH(int, dies);
    VirtualCable virtualCable(cable);
    const QString &device = virtualCable.devicePath();
    Terminal terminal(device);
    QProcess &process = terminal.process;
    process.start(QString::fromLocal8Bit(TOLLBECK),
                  QStringList{u"--check"_s, u"1"_s, u"--no-walk"_s} + arguments);
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains(phase.toUtf8()),
                             10000);
    // The heading comes before the port opens; opening it here meanwhile would make it in use.
    QTRY_VERIFY_WITH_TIMEOUT(holds(process.processId(), device), 5000);
    QTest::qWait(50);                    // into the phase's wait
    QCOMPARE(openAsUser(device), EBUSY); // held exclusively while it runs
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(process.processId()), signal);
    if (second != 0) {
        // As timeout sends its second signal; a Ctrl+C ends a soak within milliseconds, so the
        // SIGTERM that must still kill it follows at once.
        if (second == signal)
            QTest::qWait(10);
        ::kill(pid_t(process.processId()), second);
    }
    int opened = -1;
    while ((opened = openAsUser(device)) != 0 && stopping.elapsed() < 2000)
        QTest::qWait(5);
    const qint64 freed = stopping.elapsed();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(opened, 0);
    QCOMPARE_LT(freed, 200);
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.exitCode(), dies); // the signal, as Qt reports a death by one
    QCOMPARE(process.readAllStandardError(), QByteArray("Stopped.\n"));
    const QString lock = u"LCK.."_s + device.mid(5).replace(u'/', u'_');
    for (const QString &dir : {u"/var/lock/"_s, u"/run/lock/"_s, u"/tmp/"_s})
        QVERIFY2(!QFileInfo::exists(dir + lock), qPrintable(dir + lock + u" is left behind"_s));
}

// A program that set the exclusive flag and ended without clearing it, as screen does, leaves
// no holder to name: the log says what happened and what clears it.
void TestTerminal::leftExclusive()
{
    VirtualCable cable;
    const int fd = ::open(QFile::encodeName(cable.devicePath()).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::ioctl(fd, TIOCEXCL), 0);
    ::close(fd); // the cable's end stays open, and with it the flag
    Terminal terminal(cable.devicePath());
    // As a normal user, whom the flag binds: root loses the power to pass it.
    terminal.process.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN); });
    QCOMPARE(terminal.run({u"--check"_s, u"1"_s, u"--no-walk"_s, u"--json"_s}), 1);
    const QJsonObject attempt
        = QJsonDocument::fromJson(terminal.out.toUtf8())[u"attempts"_s][0].toObject();
    QCOMPARE(attempt[u"outcome"_s].toString(), u"not_opened"_s);
    QCOMPARE(attempt[u"error"_s][u"number"_s].toInt(), 8011);
    const QString said = attempt[u"error"_s][u"description"_s].toString();
    QVERIFY2(said.startsWith(cable.devicePath() + u" (COM 1) is held exclusively, "_s)
                 && said.contains(u"a program that has ended left it so. Restarting the program "
                                  "on the other side of the pseudo-terminal (socat, for example) "
                                  "clears it. Then try again."_s),
             qPrintable(said));
    // Root's descriptors are hidden from a normal user, so it cannot rule out their programs.
    QCOMPARE(said.contains(u"no program you can see has it open"_s), ::geteuid() != 0);
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
    // Ended by Ctrl+C, as it is meant to be: the summary and the verdict's status.
    QTest::newRow("soak until Ctrl+C")
        << VirtualCable::paced() << QString() << QStringList{u"--soak"_s} << 0 << u"Steady."_s;
    QTest::newRow("all three, as JSON")
        << VirtualCable::paced(38400) << u"CTS=OFF"_s
        << QStringList{u"--lines"_s, u"--rates=57600,9600"_s, u"--soak=1"_s, u"--json"_s} << 1
        << u"        \"highest\": 9600,"_s;
    // Rates that pass hide no fault of the lines.
    QTest::newRow("a lines fault beside rates that pass")
        << VirtualCable::paced() << u"DSR=OFF"_s
        << QStringList{u"--lines"_s, u"--rates=9600"_s, u"--json"_s} << 1 << u"        \"lines\""_s;
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
    if (!arguments.contains(u"--json"_s))
        return;
    const QJsonObject run = QJsonDocument::fromJson(terminal.out.toUtf8()).object();
    QCOMPARE(run[u"stopped"_s].toBool(), false);
    QJsonObject lines = run[u"lines"_s].toObject();
    QVERIFY(lines.take(u"settle_ms"_s).toDouble() < 100);
    const bool cts = plug.startsWith(u"CTS"_s); // else DSR
    const QString expected = uR"({"ran": true, "reported": true, "stopped": false, "passed": false,
        "wires": [{"output": "rts", "input": "cts", "result": "%1", "required": true},
                  {"output": "dtr", "input": "dsr", "result": "%2", "required": true},
                  {"output": "dtr", "input": "dcd", "result": "follows", "required": true},
                  {"output": "dtr", "input": "ri", "result": "stuck_off", "required": false}],
        "settle_limit_ms": 1000, "keying": {"rts": "%3", "dtr": "%4"}})"_s;
    QCOMPARE(lines,
             json(expected.arg(cts ? u"stuck_off"_s : u"follows"_s,
                               cts ? u"follows"_s : u"stuck_off"_s,
                               cts ? u"fails"_s : u"works"_s,
                               cts ? u"works"_s : u"in_part"_s)));
    QJsonObject rates = run[u"rates"_s].toObject();
    QVERIFY(rates.take(u"seconds"_s).toDouble() > 0.2);
    const QJsonArray failed
        = run.contains(u"soak"_s) ? QJsonArray{u"lines"_s, u"rates"_s} : QJsonArray{u"lines"_s};
    QCOMPARE(run[u"failed_checks"_s].toArray(), failed);
    if (!run.contains(u"soak"_s)) {
        QCOMPARE(rates, json(uR"({"ran": true, "rates": [{"baud": 9600, "outcome": "passed"}],
                     "asked": 1, "highest": 9600, "stopped": false, "passed": true})"_s));
        return;
    }
    QCOMPARE(rates, json(uR"({"ran": true, "rates": [{"baud": 9600, "outcome": "passed"},
                 {"baud": 57600, "outcome": "mismatch", "value": 128, "received": 0}],
                 "asked": 2, "highest": 9600, "stopped": false, "passed": false})"_s));
    QJsonObject soak = run[u"soak"_s].toObject();
    QVERIFY(soak.take(u"seconds"_s).toDouble() >= 1.0);
    QVERIFY(soak.take(u"bytes"_s).toInt() > 800); // 960 a second at 9600 baud
    QVERIFY(soak.take(u"bytes_per_second"_s).toDouble() > 800);
    QVERIFY(soak.take(u"longest_echo_delay_ms"_s).toInt() < 100); // an adapter's few ms
    QCOMPARE(soak, json(uR"({"ran": true, "baud": 9600, "requested_seconds": 1, "faults": [],
                 "longest_dropout_ms": 0, "dropout_limit_ms": 155, "stopped": false,
                 "line_lost": false, "verdict": "steady", "passed": true})"_s));
}

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
