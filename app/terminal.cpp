// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/terminal.h"

#include "app/deeperchecks.h"
#include "app/findport.h"
#include "app/request.h"
#include "app/runjson.h"
#include "app/terminalio.h"
#include "loopback/linefeeds.h"
#include "loopback/loopbacktest.h"
#include "loopback/portconfig.h"
#include "loopback/runreport.h"
#include "serial/mscomm.h"
#include "serial/portchoice.h"
#include "serial/portnumber.h"
#include "serial/portsurvey.h"
#include "serial/serialdevices.h"
#include "version.h"

#include <QJsonDocument>
#include <QSettings>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Terminal {
namespace {

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

// The deeper checks on the port that passed, opened again, their lines after the log's. On a
// terminal the soak's status line is rewritten in place, as rsync --progress does.
DeeperResult checkDeeper(const Request &request,
                         qint16 port,
                         MSComm &comm,
                         RunClock &clock,
                         TerminalLog &log,
                         Output &out)
{
    const bool statusLine = !request.json && ::isatty(STDOUT_FILENO) == 1;
    qsizetype shown = 0;
    const auto status = [&](const QString &text) {
        if (!statusLine)
            return;
        out.write(u'\r' + text.leftJustified(shown) + (text.isEmpty() ? u"\r"_s : QString()));
        shown = text.size();
    };
    return runDeeperChecks(request.deeper,
                           port,
                           comm,
                           clock,
                           {[&](const QString &text) { log.Testout(text); },
                            status,
                            [&] { return log.stopRequested(); }});
}

// Runs the test as the window's Start does, with the log or the record on standard output.
int check(const Request &request,
          qint16 port,
          MSComm &comm,
          RunClock &clock,
          const SerialDevices &devices,
          const QJsonObject &found = {})
{
    StopSignals stop;
    Output out;
    TerminalLog log(stop, out, request.json);
    // Said while there is time to act on it, not when the lines switch.
    if (request.deeper.lines)
        writeError(u"tollbeck: --lines will switch RTS and DTR after the pass, which keys a "
                   "transmitter wired to them: keep the radio end of the cable unconnected.\n"_s);
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
    if (!found.isEmpty())
        json.insert(u"find"_s, found);
    DeeperResult deeper;
    if (const Attempt *passed = record.passed();
        passed && request.deeper.any() && !log.stopRequested())
        deeper = checkDeeper(request, passed->port, comm, clock, log, out);
    addDeeperJson(json, request.deeper, deeper);
    if (request.json)
        out.write(QString::fromUtf8(QJsonDocument(json).toJson()));
    log.endLine();
    // The port is closed and its lock file gone by now. A soak that runs until stopped ends by
    // Ctrl+C, as ping does: with its summary and verdict. Any other stop ends by its signal.
    const bool openEndedSoak = request.deeper.soak && request.deeper.soak->count() == 0;
    return stop.finish(finished(out, record.passed() && !deeper.faultFound ? Success : NonePassed),
                       openEndedSoak && deeper.soakStopped);
}

// COM 1 to COM 12 as text or JSON; then, in text, the devices no COM number reaches.
int list(const Request &request, const MSComm &comm, const SerialDevices &devices)
{
    const QList<PortFacts> ports = surveyPorts(comm.ports(), comm.guards(), devices);
    if (request.json)
        return print(QString::fromUtf8(QJsonDocument(RunJson::portList(ports)).toJson()));
    QString text = surveyText(ports);
    if (const QStringList unreached = devices.notReachedBy(comm.ports()); !unreached.isEmpty())
        text += LineFeeds().convert(LogText::notInPortList(unreached, comm.ports().settingsFile()));
    return print(text);
}

// --find: waits for the cable, says which port it is, and with --check tests that port.
int find(const Request &request, MSComm &comm, RunClock &clock, const SerialDevices &devices)
{
    const std::chrono::seconds limit(request.findSeconds);
    FindPort::Found found;
    {
        StopSignals stop;
        found = FindPort::wait(
            limit,
            [&] { return stop.received() != 0; },
            [] { writeError(FindPort::kPrompt + u'\n'); });
        stop.finish(Success, false); // a stop dies by its signal here, nothing being open
    }
    const FindPort::Report report
        = FindPort::report(found, limit, comm.ports(), devices, freePort(comm.ports(), devices));
    if (request.check && report.port > 0) {
        if (!request.json && print(report.text + u'\n') != Success)
            return OutputFailed;
        return check(request, report.port, comm, clock, devices, report.json);
    }
    const int status = report.port > 0 || (found.any() && !request.check) ? Success : NonePassed;
    const int printed = print(request.json ? QString::fromUtf8(QJsonDocument(report.json).toJson())
                                           : report.text);
    return printed == Success ? status : printed;
}

} // namespace

int run(const QStringList &arguments,
        const QSettings &settings,
        MSComm &comm,
        RunClock &clock,
        const SerialDevices &devices)
{
    const std::variant<Request, UsageError> parsed = parseArguments(arguments);
    if (const auto *error = std::get_if<UsageError>(&parsed)) {
        writeError(u"tollbeck: "_s + error->message + u'\n');
        return Usage;
    }
    const Request &request = std::get<Request>(parsed);
    switch (request.action) {
    case Request::Action::Help:
        return print(helpText(comm.ports().settingsFile()));
    case Request::Action::Version:
        return print(u"Tollbeck %1\nCopyright 2026 The Tollbeck authors.\n"
                     "License GPL-3.0-or-later <https://gnu.org/licenses/gpl.html>.\n"
                     "This is free software: you are free to change and redistribute it.\n"
                     "There is NO WARRANTY, to the extent permitted by law.\n"_s.arg(
                         QLatin1String(Version::kVersion)));
    case Request::Action::List:
        return list(request, comm, devices);
    case Request::Action::Find:
        return find(request, comm, clock, devices);
    case Request::Action::Check:
        break;
    }
    const auto [port, error]
        = choosePort(request.port, settings, comm.ports(), devices, comm.guards().consoles());
    if (port == 0) {
        writeError(u"tollbeck: "_s + error + u'\n');
        return Usage;
    }
    return check(request, port, comm, clock, devices);
}

} // namespace Terminal
