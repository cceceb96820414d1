// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/deeperchecks.h"

#include "loopback/linescheck.h"
#include "loopback/ratescheck.h"
#include "loopback/soakcheck.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr qint32 kTestRate = 19200;
constexpr qint32 kHighestRate = 4'000'000;
const QString kSectionGap = u"\r\n"_s;

} // namespace

bool DeeperChecks::setRates(const QString &list)
{
    QList<qint32> parsed;
    for (const QString &field : list.split(u',')) {
        bool ok = false;
        const qint32 baud = field.trimmed().toInt(&ok);
        if (!ok || baud <= 0 || baud > kHighestRate)
            return false;
        parsed << baud;
    }
    std::sort(parsed.begin(), parsed.end());
    parsed.erase(std::unique(parsed.begin(), parsed.end()), parsed.end());
    rates = parsed;
    return true;
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

DeeperResult runDeeperChecks(const DeeperChecks &checks,
                             CommControl &comm,
                             RunClock &clock,
                             const DeeperOutput &output)
{
    DeeperResult result;
    if (checks.lines) {
        output.log(kSectionGap);
        const LinesResult lines = checkLines(comm, clock);
        output.log(linesLog(lines));
        result.sections[u"lines"_s] = linesJson(lines);
        result.faultFound = lines.faultFound();
    }
    qint32 soakRate = kTestRate;
    if (checks.rates && !output.stopRequested()) {
        output.log(kSectionGap);
        const RatesResult rates = checkRates(comm, clock, *checks.rates, output.stopRequested);
        output.log(ratesLog(rates));
        result.sections[u"rates"_s] = ratesJson(rates);
        result.faultFound = result.faultFound || rates.faultFound();
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
        result.sections[u"soak"_s] = soakJson(soaked);
        result.faultFound = result.faultFound || soaked.faultFound();
        result.soakStopped = soaked.stopped;
    }
    return result;
}
