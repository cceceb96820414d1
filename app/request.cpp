// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/request.h"

#include "loopback/ratescheck.h"
#include "serial/portnumber.h"

#include <QCommandLineParser>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

const QString kAllRates = u"1200,2400,4800,9600,19200,38400,57600,115200"_s;

const QString kUsageEnd = uR"(
Without options Tollbeck opens its window.

Exit status: 0 a port passed (or --list, --help, --version shown),
1 no port passed, or a check asked for found a fault,
2 a usage error (no port was opened),
3 standard output could not be written (the disk is full, say).
Stopped by Ctrl+C, SIGTERM, SIGHUP, SIGQUIT or a closed pipe, Tollbeck
closes the port, removes its lock file and ends by that signal: the shell
reports 130, 143, 129, 131 or 141. Only an open-ended --soak ends by Ctrl+C
as ping does: with its summary and the status its faults give.
The settings file is %1; its [Ports] section
maps COM numbers to devices. See man tollbeck.
)"_s;

// Every option, in the order --help lists them. An option added here is known to the parser;
// which others it goes with is checked in parseArguments.
struct Options
{
    QCommandLineOption check{
        u"check"_s,
        u"Test PORT in the terminal, then the other ports until one passes. Without PORT, the "
        "port saved at the window's last Exit."_s};
    QCommandLineOption noWalk{u"no-walk"_s,
                              u"With --check: test PORT only, never open another port."_s};
    QCommandLineOption
        list{u"list"_s, u"List COM 1 to COM 12: each one's device, what it is and who holds it."_s};
    QCommandLineOption json{u"json"_s,
                            u"With --check or --list: the result as one JSON document (schema 2; "
                            "see man tollbeck) instead of text."_s};
    QCommandLineOption lines{
        u"lines"_s,
        u"With --check, after a pass: switch RTS and DTR and check that a loopback plug's CTS, "
        "DSR and DCD follow (RI is reported). Switching RTS and DTR keys a transmitter wired to "
        "them: keep the radio end of the cable unconnected."_s};
    QCommandLineOption rates{
        u"rates"_s,
        u"--rates[=LIST]: with --check, after a pass, echo every byte value at 1200 to 115200 "
        "baud, or at the rates of LIST (--rates=9600,38400), and name the highest rate that "
        "passes with every lower one."_s};
    QCommandLineOption soak{
        u"soak"_s,
        u"--soak[=SECONDS]: with --check, after a pass, echo without pause until Ctrl+C, or for "
        "SECONDS (--soak=60), while you move the cable and its plugs; every dropout, wrong or "
        "missing byte is reported with its time."_s};
    QCommandLineOption find{
        u"find"_s,
        u"--find[=SECONDS]: wait up to 60 s, or SECONDS, for a cable to be plugged in and tell "
        "which port it is; with --check, then test that port."_s};
    QCommandLineOption help{{u"h"_s, u"help"_s}, u"Show this help."_s};
    QCommandLineOption version{{u"v"_s, u"version"_s}, u"Show the version."_s};

    void addTo(QCommandLineParser &parser) const
    {
        parser.setApplicationDescription(
            u"Checks a radio interface cable on a serial port, with the radio end left open."_s);
        parser.addOptions({check, noWalk, list, json, lines, rates, soak, find, help, version});
        parser.addPositionalArgument(u"PORT"_s,
                                     u"COM1 to COM12 (COM 5, com5 or 5 also do), or a serial "
                                     "device or a link to one that a COM number is mapped to."_s,
                                     u"[PORT]"_s);
    }
};

// "--soak 5", "--find 30" or "--rates 9600": the value would be taken for PORT (or for a second one), so the
// check would run on another port or not at all. Returns the error, empty when there is none.
QString bareValue(const QStringList &arguments)
{
    static const QRegularExpression seconds(u"^\\d+$"_s);
    static const QRegularExpression rateList(u"^[\\d, ]*\\d[\\d, ]*$"_s);
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        const QString &option = arguments[i];
        const QString &value = arguments[i + 1];
        if (option == u"--"_s)
            break;
        const bool soak
            = (option == u"--soak"_s || option == u"--find"_s) && seconds.match(value).hasMatch();
        if (!soak && !(option == u"--rates"_s && rateList.match(value).hasMatch()))
            continue;
        QString error
            = u"%1 %2: give the %3 after '=', as in %1=%4"_s.arg(option,
                                                                 value,
                                                                 soak ? u"seconds"_s : u"rates"_s,
                                                                 value.trimmed());
        if (const int port = value.trimmed().toInt(); port >= 1 && port <= kLastPort)
            error += u"; to test COM %1, write it as COM%1"_s.arg(port);
        return error + u'.';
    }
    return {};
}

} // namespace

std::variant<Request, UsageError> parseArguments(const QStringList &arguments)
{
    if (const QString error = bareValue(arguments); !error.isEmpty())
        return UsageError{error};
    QCommandLineParser parser;
    const Options options;
    options.addTo(parser);

    // --rates, --soak and --find take a value only after "=". Alone they mean every rate, until
    // stopped, and a minute.
    QStringList given;
    QString ratesList = kAllRates;
    QString soakSeconds = u"0"_s;
    QString findSeconds = u"60"_s;
    for (const QString &argument : arguments) {
        const QString option = argument.section(u'=', 0, 0);
        const bool valued
            = option == u"--rates"_s || option == u"--soak"_s || option == u"--find"_s;
        if (valued && argument.contains(u'='))
            (option == u"--rates"_s  ? ratesList
             : option == u"--soak"_s ? soakSeconds
                                     : findSeconds)
                = argument.section(u'=', 1);
        given << (valued ? option : argument);
    }
    if (!parser.parse(given))
        return UsageError{parser.errorText() + u" See tollbeck --help."_s};

    const QStringList ports = parser.positionalArguments();
    const auto isSet = [&](const QCommandLineOption &option) { return parser.isSet(option); };
    Request request;
    request.json = isSet(options.json);
    if (isSet(options.help)) {
        request.action = Request::Action::Help;
        return request;
    }
    if (isSet(options.version)) {
        request.action = Request::Action::Version;
        return request;
    }
    const bool check = isSet(options.check);
    const bool find = isSet(options.find);
    const bool deeper = isSet(options.lines) || isSet(options.rates) || isSet(options.soak);
    static const QRegularExpression wholeSeconds(u"^[1-9]\\d{0,4}$"_s);
    if (isSet(options.list) && (check || find))
        return UsageError{u"--list goes with neither --check nor --find."_s};
    if (find && !ports.isEmpty())
        return UsageError{u"--find finds the port: give no PORT with it."_s};
    if (find && !wholeSeconds.match(findSeconds).hasMatch())
        return UsageError{u"--find=%1: give whole seconds, as in --find=120."_s.arg(findSeconds)};
    if (isSet(options.noWalk) && !check)
        return UsageError{u"--no-walk goes with --check only."_s};
    if (request.json && !check && !isSet(options.list) && !find)
        return UsageError{u"--json goes with --check, --list or --find."_s};
    if (deeper && !check)
        return UsageError{u"--lines, --rates and --soak go with --check only."_s};
    if (isSet(options.rates) && !request.deeper.setRates(ratesList))
        return UsageError{
            u"--rates=%1: give standard rates in baud, separated by commas, as in "
            "--rates=9600,38400. The standard rates are %2."_s.arg(ratesList, standardRatesText())};
    if (isSet(options.soak) && !request.deeper.setSoak(soakSeconds))
        return UsageError{u"--soak=%1: give whole seconds, as in --soak=60."_s.arg(soakSeconds)};
    if (!ports.isEmpty() && !check)
        return UsageError{u"\"%1\": a PORT goes with --check only."_s.arg(ports.join(u' '))};
    if (ports.size() > 1)
        return UsageError{u"\"%1\" is more than one PORT; put a port written with a space in "
                          "quotes, as in \"COM 5\"."_s.arg(ports.join(u' '))};
    // An unset variable in tollbeck --check "$port" must not test the saved port instead.
    if (ports.size() == 1 && ports[0].trimmed().isEmpty())
        return UsageError{u"\"%1\" is no PORT: give COM1 to COM%2 or a device, or leave PORT out "
                          "for the port saved at the window's last Exit."_s.arg(ports[0])
                              .arg(kLastPort)};
    if (isSet(options.list)) {
        request.action = Request::Action::List;
        return request;
    }
    if (!check && !find)
        return UsageError{u"nothing to do: give --check, --list, --find, --help or --version."_s};
    request.action = find ? Request::Action::Find : Request::Action::Check;
    request.findSeconds = findSeconds.toInt();
    request.check = check;
    request.port = ports.value(0).trimmed();
    request.walk = !isSet(options.noWalk);
    request.deeper.lines = isSet(options.lines);
    return request;
}

QString helpText(const QString &settingsFile)
{
    QCommandLineParser parser;
    Options().addTo(parser);
    return parser.helpText() + kUsageEnd.arg(settingsFile);
}
