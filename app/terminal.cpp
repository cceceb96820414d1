// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/terminal.h"

#include "app/deeperchecks.h"
#include "app/runjson.h"
#include "loopback/linefeeds.h"
#include "loopback/loopbacktest.h"
#include "loopback/portconfig.h"
#include "loopback/runreport.h"
#include "serial/mscomm.h"
#include "serial/portholders.h"
#include "serial/portnumber.h"
#include "serial/serialdevices.h"
#include "version.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSettings>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Terminal {
namespace {

// Ctrl+C (SIGINT) and SIGTERM as an event: the handler only writes the signal's number to a
// pipe that the event loop watches, and the run looks for it where it waits. A second signal
// of the same kind ends the program at once.
class StopSignals
{
public:
    StopSignals()
    {
        // A closed output fails the write instead of ending the program with the port open.
        std::signal(SIGPIPE, SIG_IGN);
        if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            unsigned char signal = 0;
            if (::read(s_pipe[0], &signal, 1) == 1 && m_signal == 0)
                m_signal = signal;
        });
        struct sigaction action
        {};
        action.sa_handler = &StopSignals::handle;
        action.sa_flags = int(SA_RESTART | SA_RESETHAND);
        sigemptyset(&action.sa_mask);
        for (const int signal : {SIGINT, SIGTERM})
            ::sigaction(signal, &action, nullptr);
    }
    ~StopSignals()
    {
        for (const int signal : {SIGINT, SIGTERM})
            std::signal(signal, SIG_DFL);
        m_notifier.reset();
        for (int &fd : s_pipe) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // The first signal received, 0 for none.
    int received() const { return m_signal; }

private:
    static void handle(int signal)
    {
        const int saved = errno;
        const auto byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const auto written = ::write(s_pipe[1], &byte, 1);
        errno = saved;
    }

    static inline int s_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_signal = 0;
};

// Ends the program as that signal would have, so that a shell running it sees the death by the
// signal and stops its script too; exiting with 128 + N would let the script carry on.
[[noreturn]] void dieBy(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal); // not reached
}

// Standard output, each text handed on at once so that a user at a terminal watches the dump
// grow. The first write that fails is kept: the run stops at it.
class Output
{
public:
    void write(const QString &text)
    {
        const QByteArray bytes = text.toLocal8Bit();
        if (m_error != 0 || bytes.isEmpty())
            return;
        errno = 0;
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size())
            || std::fflush(stdout) != 0)
            m_error = errno != 0 ? errno : EIO;
    }
    int error() const { return m_error; }

private:
    int m_error = 0;
};

void writeError(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// The window as a run in the terminal sees it: the log goes to standard output, line breaks as
// line feeds, unless the record goes there as JSON when everything has ended. There are no
// controls to disable and no log to empty, as nothing is written yet.
class TerminalLog : public LogWriter
{
public:
    TerminalLog(const StopSignals &stop, Output &out, bool json)
        : m_stop(stop)
        , m_out(out)
        , m_json(json)
    {}

    void Testout(const QString &text) override
    {
        if (m_json)
            return;
        const QString lines = m_lineFeeds.convert(text);
        if (!lines.isEmpty())
            m_lineOpen = !lines.endsWith(u'\n');
        m_out.write(lines);
    }
    // The shell's prompt belongs on a line of its own.
    void endLine()
    {
        if (m_lineOpen)
            m_out.write(u"\n"_s);
        m_lineOpen = false;
    }
    bool stopRequested() const override { return m_stop.received() != 0 || m_out.error() != 0; }

private:
    const StopSignals &m_stop;
    Output &m_out;
    LineFeeds m_lineFeeds;
    bool m_json;
    bool m_lineOpen = false;
};

// What the arguments ask for. error, one line, says what is wrong with them.
struct Request
{
    enum class Action { Check, List, Help, Version };
    Action action = Action::Check;
    QString port;      // --check's PORT as given; empty: the saved port
    bool walk = true;  // false with --no-walk
    bool json = false; // the result as one JSON document
    DeeperChecks deeper;
    QString help;
    QString error;
};

const QString kUsageEnd = uR"(
Without options Tollbeck opens its window.

Exit status: 0 a port passed (or --list, --help, --version shown),
1 no port passed, or a check asked for found a fault,
2 a usage error (no port was opened),
3 standard output could not be written (the disk is full, say).
Stopped by Ctrl+C, SIGTERM or a closed pipe, Tollbeck closes the port and
ends by that signal: the shell reports 130, 143 or 141.
The settings file is %1; its [Ports] section
maps COM numbers to devices. See man tollbeck.
)"_s;

Request parse(const QStringList &arguments, const QString &settingsFile)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Checks a radio interface cable on a serial port, with the radio end left open."_s);
    const QCommandLineOption
        check(u"check"_s,
              u"Test PORT in the terminal, then the other ports until one passes. Without PORT, "
              "the port saved at the window's last Exit."_s);
    const QCommandLineOption noWalk(u"no-walk"_s,
                                    u"With --check: test PORT only, never open another port."_s);
    const QCommandLineOption list(u"list"_s,
                                  u"List COM 1 to COM 12: each one's device, what it is and who "
                                  "holds it."_s);
    const QCommandLineOption json(u"json"_s,
                                  u"With --check or --list: the result as one JSON document "
                                  "(schema 1; see man tollbeck) instead of text."_s);
    const QCommandLineOption lines(
        u"lines"_s,
        u"With --check, after a pass: switch RTS and DTR and check that a loopback plug's CTS, "
        "DSR and DCD follow (RI is reported). Switching RTS and DTR keys a transmitter wired to "
        "them: keep the radio end of the cable unconnected."_s);
    const QCommandLineOption rates(
        u"rates"_s,
        u"--rates[=LIST]: with --check, after a pass, echo every byte value at 1200 to 115200 "
        "baud, or at the rates of LIST (--rates=9600,38400), and name the highest rate that "
        "passes with every lower one."_s);
    const QCommandLineOption soak(
        u"soak"_s,
        u"--soak[=SECONDS]: with --check, after a pass, echo without pause until Ctrl+C, or for "
        "SECONDS (--soak=60), while you move the cable and its plugs; every dropout, wrong or "
        "missing byte is reported with its time."_s);
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help."_s);
    const QCommandLineOption version({u"v"_s, u"version"_s}, u"Show the version."_s);
    parser.addOptions({check, noWalk, list, json, lines, rates, soak, help, version});
    parser.addPositionalArgument(u"PORT"_s,
                                 u"COM1 to COM12 (COM 5, com5 or 5 also do), or a serial device "
                                 "or a link to one that a COM number is mapped to."_s,
                                 u"[PORT]"_s);

    // --rates and --soak take a value only after "=": "--soak 5" would leave open whether 5 is
    // the seconds or the PORT. Alone they mean every rate, and until stopped.
    QStringList given;
    QString ratesList = u"1200,2400,4800,9600,19200,38400,57600,115200"_s;
    QString soakSeconds = u"0"_s;
    for (const QString &argument : arguments) {
        const QString option = argument.section(u'=', 0, 0);
        if (option == u"--rates"_s && argument.contains(u'='))
            ratesList = argument.section(u'=', 1);
        else if (option == u"--soak"_s && argument.contains(u'='))
            soakSeconds = argument.section(u'=', 1);
        given << (option == u"--rates"_s || option == u"--soak"_s ? option : argument);
    }
    Request request;
    if (!parser.parse(given)) {
        request.error = parser.errorText() + u" See tollbeck --help."_s;
        return request;
    }
    const QStringList ports = parser.positionalArguments();
    request.json = parser.isSet(json);
    if (parser.isSet(help)) {
        request.action = Request::Action::Help;
        request.help = parser.helpText() + kUsageEnd.arg(settingsFile);
    } else if (parser.isSet(version)) {
        request.action = Request::Action::Version;
    } else if (parser.isSet(check) && parser.isSet(list)) {
        request.error = u"--check and --list cannot go together."_s;
    } else if (parser.isSet(noWalk) && !parser.isSet(check)) {
        request.error = u"--no-walk goes with --check only."_s;
    } else if (parser.isSet(json) && !parser.isSet(check) && !parser.isSet(list)) {
        request.error = u"--json goes with --check or --list."_s;
    } else if ((parser.isSet(lines) || parser.isSet(rates) || parser.isSet(soak))
               && !parser.isSet(check)) {
        request.error = u"--lines, --rates and --soak go with --check only."_s;
    } else if (parser.isSet(rates) && !request.deeper.setRates(ratesList)) {
        request.error = u"--rates=%1: give rates in baud, separated by commas, as in "
                        "--rates=9600,38400."_s.arg(ratesList);
    } else if (parser.isSet(soak) && !request.deeper.setSoak(soakSeconds)) {
        request.error = u"--soak=%1: give whole seconds, as in --soak=60."_s.arg(soakSeconds);
    } else if (!ports.isEmpty() && !parser.isSet(check)) {
        request.error = u"\"%1\": a PORT goes with --check only."_s.arg(ports.join(u' '));
    } else if (ports.size() > 1) {
        request.error = u"\"%1\" is more than one PORT; put a port written with a space in "
                        "quotes, as in \"COM 5\"."_s.arg(ports.join(u' '));
    } else if (parser.isSet(list)) {
        request.action = Request::Action::List;
    } else if (parser.isSet(check)) {
        request.port = ports.value(0).trimmed();
        request.walk = !parser.isSet(noWalk);
        request.deeper.lines = parser.isSet(lines);
    } else {
        request.error = u"nothing to do: give --check, --list, --help or --version."_s;
    }
    return request;
}

// Whether two paths lead to the same device (or file): compared by device number as the
// holder search does, and by path where either is not there to ask.
bool sameDevice(const QString &a, const QString &b)
{
    struct stat nodeA
    {};
    struct stat nodeB
    {};
    if (::stat(QFile::encodeName(a).constData(), &nodeA) != 0
        || ::stat(QFile::encodeName(b).constData(), &nodeB) != 0)
        return QDir::cleanPath(QFileInfo(a).absoluteFilePath())
               == QDir::cleanPath(QFileInfo(b).absoluteFilePath());
    if (S_ISCHR(nodeA.st_mode) && S_ISCHR(nodeB.st_mode))
        return nodeA.st_rdev == nodeB.st_rdev;
    return nodeA.st_dev == nodeB.st_dev && nodeA.st_ino == nodeB.st_ino;
}

// A COM number a device no COM number reaches could be mapped to: the lowest one that the user
// has not mapped and whose device is not there, so that mapping it hides nothing. 0 for none.
int freePort(const PortMap &map, const SerialDevices &devices)
{
    const PortMap defaults = PortMap::defaults();
    const QList<DeviceFacts> facts = devices.describe(map.devices());
    for (int port = 1; port <= kLastPort; ++port) {
        if (!facts[port - 1].present && map.device(port) == defaults.device(port))
            return port;
    }
    return 0;
}

// The COM number that PORT stands for; 0 with a usage error when it stands for none.
std::pair<qint16, QString> choosePort(const QString &given,
                                      const QSettings &settings,
                                      const PortMap &map,
                                      const SerialDevices &devices)
{
    if (given.isEmpty())
        return {savedPort(settings), {}};
    if (const std::optional<int> port = comNumber(given)) {
        if (*port >= 1 && *port <= kLastPort)
            return {qint16(*port), {}};
        return {0, u"%1 is not a port: choose COM1 to COM%2."_s.arg(given).arg(kLastPort)};
    }
    if (!given.contains(u'/') && !QFileInfo::exists(given))
        return {0,
                u"%1 is neither a COM number (COM1 to COM%2) nor a device."_s.arg(given).arg(
                    kLastPort)};
    struct stat node
    {};
    if (::stat(QFile::encodeName(given).constData(), &node) == 0 && !S_ISCHR(node.st_mode))
        return {0, u"%1 is not a serial device: it is no character device."_s.arg(given)};
    for (qint16 port = 1; port <= kLastPort; ++port) {
        if (sameDevice(given, map.device(port)))
            return {port, {}};
    }
    if (!QFileInfo::exists(given))
        return {0, u"%1 is not there, and no COM number is mapped to it."_s.arg(given)};
    const QString device = QFileInfo(given).absoluteFilePath();
    if (const int port = freePort(map, devices); port > 0)
        return {0,
                u"%1 is not in the port list. Add COM%2=%1 under [Ports] in %3, then run "
                "tollbeck --check COM%2."_s.arg(device)
                    .arg(port)
                    .arg(map.settingsFile())};
    return {0,
            u"%1 is not in the port list. Map a COM number to it under [Ports] in %2, as in "
            "COM%3=%1, then check that COM number."_s.arg(device, map.settingsFile())
                .arg(kLastPort)};
}

// The exit status once everything is written: status, unless standard output failed.
int finished(const Output &out, int status)
{
    if (out.error() == EPIPE) // the reader has gone, as with | head: quietly, as other tools do
        dieBy(SIGPIPE);
    if (out.error() != 0) {
        writeError(u"tollbeck: standard output could not be written: %1\n"_s.arg(
            QString::fromLocal8Bit(std::strerror(out.error()))));
        return OutputFailed;
    }
    return status;
}

int print(const QString &text)
{
    Output out;
    out.write(text);
    return finished(out, Success);
}

// The deeper checks on the port that passed, opened again, their lines after the log's. On a
// terminal the soak's status line is rewritten in place, as rsync --progress does.
DeeperResult checkDeeper(const Request &request,
                         qint16 port,
                         MSComm &comm,
                         RunClock &clock,
                         TerminalLog &log,
                         Output &out)
{
    try {
        comm.setCommPort(port);
        comm.setPortOpen(true);
    } catch (const CommError &error) {
        log.Testout(u"\r\n"_s + error.description() + u"\r\n"_s);
        return {true, false, {}};
    }
    const bool statusLine = !request.json && ::isatty(STDOUT_FILENO) == 1;
    qsizetype shown = 0;
    const auto status = [&](const QString &text) {
        if (!statusLine)
            return;
        out.write(u'\r' + text.leftJustified(shown) + (text.isEmpty() ? u"\r"_s : QString()));
        shown = text.size();
    };
    DeeperResult result = runDeeperChecks(request.deeper,
                                          comm,
                                          clock,
                                          {[&](const QString &text) { log.Testout(text); },
                                           status,
                                           [&] { return log.stopRequested(); }});
    comm.setPortOpen(false);
    return result;
}

// Runs the test as the window's Start does, with the log or the record on standard output.
int check(const Request &request,
          qint16 port,
          MSComm &comm,
          RunClock &clock,
          const SerialDevices &devices)
{
    StopSignals stop;
    Output out;
    TerminalLog log(stop, out, request.json);
    const QString selected = portEntryText(port);
    const auto configure = [&] {
        configureForLoopback(comm, selected, [](const QString &, const QString &text) {
            writeError(text + u'\n');
        });
    };
    const RunPorts ports{configure,
                         [port] { return portEntryText(port); },
                         comm.ports(),
                         devices,
                         request.walk};
    const RunRecord record = LoopbackTest(log, comm, clock, ports).run();
    QJsonObject json = RunJson::run(record);
    DeeperResult deeper;
    if (const Attempt *passed = record.passed();
        passed && request.deeper.any() && !log.stopRequested())
        deeper = checkDeeper(request, passed->port, comm, clock, log, out);
    for (auto section = deeper.sections.begin(); section != deeper.sections.end(); ++section)
        json.insert(section.key(), section.value());
    if (request.json)
        out.write(QString::fromUtf8(QJsonDocument(json).toJson()));
    log.endLine();
    // A soak that runs until stopped ends by Ctrl+C, as ping does: with its summary and verdict.
    // Any other stop leaves the port closed and its lock file gone by now.
    if (stop.received() != 0 && !deeper.soakStopped) {
        writeError(u"Stopped.\n"_s);
        dieBy(stop.received());
    }
    return finished(out, record.passed() && !deeper.faultFound ? Success : NonePassed);
}

// COM 1 to COM 12 with what is known of each, from one look at the system. Opens no port.
QList<RunJson::PortFacts> portFacts(const PortMap &map,
                                    const PortGuards &guards,
                                    const SerialDevices &devices)
{
    const QStringList paths = map.devices();
    const QList<DeviceFacts> facts = devices.describe(paths);
    const std::map<QString, QList<PortHolder>> holders
        = findPortHolders(paths, guards.lockDirectories);
    const QStringList consoles = guards.consoles();
    QList<RunJson::PortFacts> ports;
    for (qint16 port = 1; port <= kLastPort; ++port) {
        const QString &path = paths[port - 1];
        const DeviceFacts &device = facts[port - 1];
        RunJson::PortFacts &known = ports.emplace_back();
        known = {port, path, device, {}, {}, {}, {}};
        if (!device.present)
            continue;
        known.lastingName = devices.lastingName(path);
        known.holders = holders.at(path);
        known.console = consoleName(consoleKind(path, consoles));
        known.staleLockFiles = staleLockFiles(path, guards.lockDirectories);
    }
    return ports;
}

// One line a port, in columns: its number, its device and what is known of it; then the
// devices no COM number reaches.
QString listText(const QList<RunJson::PortFacts> &ports,
                 const PortMap &map,
                 const SerialDevices &devices)
{
    qsizetype width = 0;
    for (const RunJson::PortFacts &port : ports)
        width = std::max(width, port.path.size());
    QString text;
    for (const RunJson::PortFacts &port : ports) {
        QStringList about;
        if (!port.facts.present) {
            about << u"not there"_s;
        } else {
            about << port.facts.known() << port.console;
            if (!port.lastingName.isEmpty())
                about << u"lasting name "_s + port.lastingName;
            if (!port.holders.isEmpty())
                about << u"in use by "_s + holderNames(port.holders);
            for (const LockFile &lock : port.staleLockFiles)
                about << u"stale lock file %1 (%2)"_s.arg(lock.path, lock.owner);
        }
        about.removeAll(QString());
        if (about.isEmpty())
            about << u"present"_s;
        text += u"%1  %2  %3\n"_s.arg(portEntryText(port.port).leftJustified(6),
                                      port.path.leftJustified(width),
                                      about.join(u"; "_s));
    }
    const QStringList unreached = devices.notReachedBy(map);
    if (!unreached.isEmpty())
        text += LineFeeds().convert(LogText::notInPortList(unreached, map.settingsFile()));
    return text;
}

} // namespace

int run(const QStringList &arguments,
        const QSettings &settings,
        MSComm &comm,
        RunClock &clock,
        const SerialDevices &devices)
{
    const Request request = parse(arguments, comm.ports().settingsFile());
    if (!request.error.isEmpty()) {
        writeError(u"tollbeck: "_s + request.error + u'\n');
        return Usage;
    }
    switch (request.action) {
    case Request::Action::Help:
        return print(request.help);
    case Request::Action::Version:
        return print(u"Tollbeck %1\nCopyright 2026 The Tollbeck authors.\n"
                     "License GPL-3.0-or-later <https://gnu.org/licenses/gpl.html>.\n"
                     "This is free software: you are free to change and redistribute it.\n"
                     "There is NO WARRANTY, to the extent permitted by law.\n"_s.arg(
                         QLatin1String(Version::kVersion)));
    case Request::Action::List: {
        const QList<RunJson::PortFacts> ports = portFacts(comm.ports(), comm.guards(), devices);
        return print(request.json
                         ? QString::fromUtf8(QJsonDocument(RunJson::portList(ports)).toJson())
                         : listText(ports, comm.ports(), devices));
    }
    case Request::Action::Check:
        break;
    }
    const auto [port, error] = choosePort(request.port, settings, comm.ports(), devices);
    if (port == 0) {
        writeError(u"tollbeck: "_s + error + u'\n');
        return Usage;
    }
    return check(request, port, comm, clock, devices);
}

} // namespace Terminal
