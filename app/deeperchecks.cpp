// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/deeperchecks.h"

#include "loopback/echoline.h"
#include "loopback/linescheck.h"
#include "loopback/ratescheck.h"
#include "loopback/soakcheck.h"
#include "serial/commcontrol.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace {

constexpr qint32 kTestRate = 19200;
const QString kSectionGap = u"\r\n"_s;

// A check that did not run: never begun for a stop, or no port to run on.
QJsonObject notRun(bool stopped, const std::optional<CommError> &error = {})
{
    QJsonObject section{{u"ran"_s, false}, {u"stopped"_s, stopped}, {u"passed"_s, false}};
    if (error)
        section[u"error"_s] = errorJson(*error);
    return section;
}

void record(DeeperResult &result, const QString &name, const QJsonObject &section, bool fault)
{
    result.sections[name] = section;
    result.stopped = result.stopped || section[u"stopped"_s].toBool();
    if (fault) {
        result.faultFound = true;
        result.failed << name;
    }
}

} // namespace

bool DeeperChecks::setRates(const QString &list)
{
    rates = parseRates(list);
    return rates.has_value();
}

bool DeeperChecks::setSoak(const QString &seconds)
{
    bool ok = false;
    const int value = seconds.toInt(&ok);
    if (!ok || value < 0)
        return false;
    soak = std::chrono::seconds(value);
    return true;
}

QStringList DeeperChecks::names() const
{
    QStringList names;
    if (lines)
        names << u"lines"_s;
    if (rates)
        names << u"rates"_s;
    if (soak)
        names << u"soak"_s;
    return names;
}

DeeperResult runDeeperChecks(const DeeperChecks &checks,
                             qint16 port,
                             CommControl &comm,
                             RunClock &clock,
                             const DeeperOutput &output)
{
    DeeperResult result;
    try {
        comm.setCommPort(port);
        comm.setPortOpen(true);
    } catch (const CommError &error) {
        output.log(kSectionGap + error.description() + u"\r\n"_s);
        for (const QString &name : checks.names())
            record(result, name, notRun(false, error), true);
        return result;
    }
    if (checks.lines && !output.stopRequested()) {
        output.log(kSectionGap);
        const LinesResult lines = checkLines(comm, clock, output.stopRequested);
        output.log(linesLog(lines));
        record(result, u"lines"_s, linesJson(lines), lines.faultFound());
    }
    qint32 soakRate = kTestRate;
    if (checks.rates && !output.stopRequested()) {
        output.log(kSectionGap);
        const RatesResult rates = checkRates(comm, clock, *checks.rates, output.stopRequested);
        output.log(ratesLog(rates));
        record(result, u"rates"_s, ratesJson(rates), rates.faultFound());
        if (rates.highest > 0)
            soakRate = rates.highest;
    }
    if (checks.soak && !output.stopRequested()) {
        const SoakOptions options{soakRate, *checks.soak};
        output.log(kSectionGap + soakStartLine(options));
        SoakCallbacks callbacks;
        callbacks.stopRequested = output.stopRequested;
        callbacks.fault = [&](const SoakFault &fault) {
            output.status({});
            output.log(soakFaultLine(fault));
        };
        callbacks.status = [&](const SoakStatus &status) { output.status(soakStatusLine(status)); };
        const SoakResult soaked = soak(comm, clock, options, callbacks);
        output.status({});
        output.log(soakSummary(soaked));
        record(result, u"soak"_s, soakJson(soaked), soaked.faultFound());
        result.soakStopped = soaked.stopped;
    }
    try {
        comm.setPortOpen(false);
    } catch (const CommError &) { // closing cannot undo what the checks found
    }
    for (const QString &name : checks.names()) {
        if (!result.sections.contains(name)) // the user stopped before it began
            record(result, name, notRun(true), false);
    }
    return result;
}

void addDeeperJson(QJsonObject &run, const DeeperChecks &checks, const DeeperResult &result)
{
    const bool stopped = run[u"stopped"_s].toBool() || result.stopped;
    for (const QString &name : checks.names())
        run[name] = result.sections.contains(name) ? result.sections[name] : notRun(stopped);
    run[u"failed_checks"_s] = QJsonArray::fromStringList(result.failed);
    run[u"stopped"_s] = stopped;
}
