// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/terminal.h"

#include "loopback/linefeeds.h"
#include "loopback/loopbacktest.h"
#include "serial/mscomm.h"
#include "serial/portconfig.h"
#include "serial/portholders.h"
#include "serial/portnumber.h"
#include "serial/serialdevices.h"
#include "version.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Terminal {
namespace {

// Hands text on at once, so that a user at a terminal watches the dump grow. False when it
// could not be written (the reader of a pipe has gone).
bool write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
           && std::fflush(stream) == 0;
}

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

// The window as a run in the terminal sees it: the log goes to standard output, line breaks as
// line feeds; there are no controls to disable and no log to empty, as nothing is written yet.
class TerminalLog : public RunWindow
{
public:
    explicit TerminalLog(const StopSignals &stop)
        : m_stop(stop)
    {}

    void setTestRunning(bool) override {}
    void setControlsEnabled(bool) override {}
    void clearLog() override {}
    void Testout(const QString &text) override
    {
        const QString lines = m_lineFeeds.convert(text);
        if (lines.isEmpty())
            return;
        m_lineOpen = !lines.endsWith(u'\n');
        m_outputLost = !write(stdout, lines) || m_outputLost;
    }
    bool stopRequested() const override { return m_stop.received() != 0 || m_outputLost; }

    // The shell's prompt belongs on a line of its own.
    void endLine()
    {
        if (m_lineOpen)
            write(stdout, u"\n"_s);
        m_lineOpen = false;
    }
    bool outputLost() const { return m_outputLost; }

private:
    const StopSignals &m_stop;
    LineFeeds m_lineFeeds;
    bool m_lineOpen = false;
    bool m_outputLost = false;
};

// What the arguments ask for. error, one line, says what is wrong with them.
struct Request
{
    enum class Action { Check, List, Help, Version };
    Action action = Action::Check;
    QString port;     // --check's PORT as given; empty: the saved port
    bool walk = true; // false with --no-walk
    QString help;
    QString error;
};

const QString kUsageEnd = uR"(
Without options Tollbeck opens its window.

Exit status: 0 a port passed, 1 no port passed, 2 a usage error,
130 stopped by Ctrl+C, 143 stopped by SIGTERM.
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
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help."_s);
    const QCommandLineOption version({u"v"_s, u"version"_s}, u"Show the version."_s);
    parser.addOptions({check, noWalk, list, help, version});
    parser.addPositionalArgument(u"PORT"_s,
                                 u"COM1 to COM12 (COM 5, com5 or 5 also do), or a serial device "
                                 "or a link to one that a COM number is mapped to."_s,
                                 u"[PORT]"_s);

    Request request;
    if (!parser.parse(arguments)) {
        request.error = parser.errorText() + u" See tollbeck --help."_s;
        return request;
    }
    const QStringList ports = parser.positionalArguments();
    if (parser.isSet(help)) {
        request.action = Request::Action::Help;
        request.help = parser.helpText() + kUsageEnd.arg(settingsFile);
    } else if (parser.isSet(version)) {
        request.action = Request::Action::Version;
    } else if (parser.isSet(check) && parser.isSet(list)) {
        request.error = u"--check and --list cannot go together."_s;
    } else if (parser.isSet(noWalk) && !parser.isSet(check)) {
        request.error = u"--no-walk goes with --check only."_s;
    } else if (!ports.isEmpty() && !parser.isSet(check)) {
        request.error = u"\"%1\": a PORT goes with --check only."_s.arg(ports.join(u' '));
    } else if (ports.size() > 1) {
        request.error = u"\"%1\" is more than one PORT; put a port written with a space in "
                        "quotes, as in \"COM 5\"."_s.arg(ports.join(u' '));
    } else if (parser.isSet(list)) {
        request.action = Request::Action::List;
    } else if (parser.isSet(check)) {
        request.port = ports.value(0);
        request.walk = !parser.isSet(noWalk);
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
    static const QRegularExpression com(u"^(?:com ?)?(\\d+)$"_s,
                                        QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch number = com.match(given); number.hasMatch()) {
        const int port = number.captured(1).toInt();
        if (port >= 1 && port <= kLastPort)
            return {qint16(port), {}};
        return {0, u"%1 is not a port: choose COM1 to COM%2."_s.arg(given).arg(kLastPort)};
    }
    if (!given.contains(u'/') && !QFileInfo::exists(given))
        return {0,
                u"%1 is neither a COM number (COM1 to COM%2) nor a device."_s.arg(given).arg(
                    kLastPort)};
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

int check(qint16 port, bool walk, MSComm &comm, RunClock &clock, const SerialDevices &devices)
{
    StopSignals stop;
    TerminalLog log(stop);
    const QString selected = portEntryText(port);
    const auto configure = [&] {
        configureForLoopback(comm, selected, [](const QString &, const QString &text) {
            write(stderr, text + u'\n');
        });
    };
    const RunPorts ports{configure,
                         [port] { return portEntryText(port); },
                         comm.ports(),
                         devices,
                         walk};
    const bool passed = LoopbackTest(log, comm, clock, ports).run();
    log.endLine();
    if (stop.received() != 0) {
        write(stderr, u"Stopped.\n"_s);
        return 128 + stop.received();
    }
    if (log.outputLost())
        return 128 + SIGPIPE;
    return passed ? Success : NonePassed;
}

// One line a port, in columns: its number, its device and what is known of it; then the
// devices no COM number reaches. Opens no port.
int list(const PortMap &map, const PortGuards &guards, const SerialDevices &devices)
{
    const QStringList paths = map.devices();
    const QList<DeviceFacts> facts = devices.describe(paths);
    const std::map<QString, QList<PortHolder>> holders
        = findPortHolders(paths, guards.lockDirectories);
    const QStringList consoles = guards.consoles();
    qsizetype width = 0;
    for (const QString &path : std::as_const(paths))
        width = std::max(width, path.size());

    QString text;
    for (int port = 1; port <= kLastPort; ++port) {
        const QString &path = paths[port - 1];
        QStringList about;
        if (!facts[port - 1].present) {
            about << u"not there"_s;
        } else {
            about << facts[port - 1].known() << consoleName(consoleKind(path, consoles));
            const QString lasting = devices.lastingName(path);
            if (!lasting.isEmpty())
                about << u"lasting name "_s + lasting;
            const QList<PortHolder> &held = holders.at(path);
            if (!held.isEmpty())
                about << u"in use by "_s + holderNames(held);
            about << staleLockFiles(path, guards.lockDirectories);
        }
        about.removeAll(QString());
        if (about.isEmpty())
            about << u"present"_s;
        text += u"%1  %2  %3\n"_s.arg(portEntryText(port).leftJustified(6),
                                      path.leftJustified(width),
                                      about.join(u"; "_s));
    }
    const QStringList unreached = devices.notReachedBy(map);
    if (!unreached.isEmpty())
        text += LineFeeds().convert(notInPortList(unreached, map.settingsFile()));
    write(stdout, text);
    return Success;
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
        write(stderr, u"tollbeck: "_s + request.error + u'\n');
        return Usage;
    }
    switch (request.action) {
    case Request::Action::Help:
        write(stdout, request.help);
        return Success;
    case Request::Action::Version:
        write(stdout,
              u"Tollbeck %1\nCopyright 2026 The Tollbeck authors.\n"
              "License GPL-3.0-or-later <https://gnu.org/licenses/gpl.html>.\n"
              "This is free software: you are free to change and redistribute it.\n"
              "There is NO WARRANTY, to the extent permitted by law.\n"_s.arg(
                  QLatin1String(Version::kVersion)));
        return Success;
    case Request::Action::List:
        return list(comm.ports(), comm.guards(), devices);
    case Request::Action::Check:
        break;
    }
    const auto [port, error] = choosePort(request.port, settings, comm.ports(), devices);
    if (port == 0) {
        write(stderr, u"tollbeck: "_s + error + u'\n');
        return Usage;
    }
    return check(port, request.walk, comm, clock, devices);
}

} // namespace Terminal
