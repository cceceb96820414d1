// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/linescheck.h"

#include "loopback/runclock.h"
#include "serial/commcontrol.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// An adapter on USB reports its lines every few milliseconds (an FTDI chip every 16 ms).
constexpr auto kSettleLimit = 50ms;
constexpr auto kPoll = 1ms;

// The log's texts, in the order the check writes them.
const QString kKeyingWarning = u"Control lines: switching RTS and DTR keys a transmitter wired to "
                               "them; keep the radio end of the cable unconnected.\r\n"_s;
const QString kNotReported = u"This device does not report its control lines, so they cannot be "
                             "checked.\r\n"_s;
QString pairName(LinesResult::Pair pair)
{
    switch (pair) {
    case LinesResult::Pair::Follows:
        return u"follows"_s;
    case LinesResult::Pair::StuckOn:
        return u"stuck on"_s;
    case LinesResult::Pair::StuckOff:
        return u"stuck off"_s;
    default:
        return u"inverted"_s;
    }
}
QString wireLine(const LinesResult::Wire &wire)
{
    return u"%1 -> %2: %3%4\r\n"_s.arg(wire.output,
                                       wire.input,
                                       pairName(wire.pair),
                                       wire.required ? QString() : u" (not required)"_s);
}
QString milliseconds(std::chrono::microseconds time)
{
    return QString::number(double(time.count()) / 1000.0, 'f', 1);
}
QString settleLine(std::chrono::microseconds settle, std::chrono::microseconds limit)
{
    return u"Settle time: %1 ms (the longest an input took to follow; waited up to %2 ms).\r\n"_s
        .arg(milliseconds(settle), milliseconds(limit));
}
QString keyingLine(bool rts, bool dtr)
{
    if (rts && dtr)
        return u"Keying lines: RTS and DTR work.\r\n"_s;
    if (rts || dtr)
        return u"Keying lines: %1 works, %2 does not.\r\n"_s.arg(rts ? u"RTS"_s : u"DTR"_s,
                                                                 rts ? u"DTR"_s : u"RTS"_s);
    return u"Keying lines: neither RTS nor DTR works.\r\n"_s;
}

bool level(const ModemLines &lines, const QString &input)
{
    return input == u"CTS"_s   ? lines.cts
           : input == u"DSR"_s ? lines.dsr
           : input == u"DCD"_s ? lines.dcd
                               : lines.ri;
}

} // namespace

bool LinesResult::works(const QString &output) const
{
    return std::any_of(wires.begin(), wires.end(), [&](const Wire &wire) {
        return wire.output == output && wire.required && wire.pair == Pair::Follows;
    });
}

bool LinesResult::faultFound() const
{
    return !error.isEmpty()
           || (reported && std::any_of(wires.begin(), wires.end(), [](const Wire &wire) {
                   return wire.required && wire.pair != Pair::Follows;
               }));
}

LinesResult checkLines(CommControl &comm, RunClock &clock)
{
    LinesResult result;
    result.settleLimit = kSettleLimit;
    result.wires = {{u"RTS"_s, u"CTS"_s},
                    {u"DTR"_s, u"DSR"_s},
                    {u"DTR"_s, u"DCD"_s},
                    {u"DTR"_s, u"RI"_s, LinesResult::Pair::StuckOff, false}};
    try {
        comm.setRTSEnable(true);
        comm.setDTREnable(true);
        result.reported = comm.modemLines().has_value();
        if (!result.reported)
            return result;
        clock.settle(kSettleLimit); // they may just have been switched on
        ModemLines before = comm.modemLines().value_or(ModemLines{});
        for (const QString &output : {u"RTS"_s, u"DTR"_s}) {
            bool seen[2][4] = {}; // each input after the output went off, then on
            for (const bool on : {false, true}) {
                output == u"RTS"_s ? comm.setRTSEnable(on) : comm.setDTREnable(on);
                // An input that follows changes; until the adapter reports it, it reads as it
                // did, which for an inverted one looks like following.
                const RunClock::TimePoint switched = clock.now();
                for (;;) {
                    const ModemLines lines = comm.modemLines().value_or(ModemLines{});
                    bool changed = true;
                    for (qsizetype i = 0; i < result.wires.size(); ++i) {
                        const LinesResult::Wire &wire = result.wires[i];
                        if (wire.output != output)
                            continue;
                        seen[on][i] = level(lines, wire.input);
                        changed = changed
                                  && (seen[on][i] != level(before, wire.input) || !wire.required);
                    }
                    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                        clock.now() - switched);
                    if (changed)
                        result.settle = std::max(result.settle, waited);
                    if (changed || waited >= kSettleLimit) {
                        before = lines;
                        break;
                    }
                    clock.settle(kPoll);
                }
            }
            for (qsizetype i = 0; i < result.wires.size(); ++i) {
                if (result.wires[i].output != output)
                    continue;
                using Pair = LinesResult::Pair;
                const bool off = seen[0][i];
                const bool on = seen[1][i];
                result.wires[i].pair = on == off ? (on ? Pair::StuckOn : Pair::StuckOff)
                                                 : (on ? Pair::Follows : Pair::Inverted);
            }
        }
    } catch (const CommError &failure) {
        result.error = failure.description();
    }
    return result;
}

QString linesLog(const LinesResult &result)
{
    QString log = kKeyingWarning;
    if (!result.error.isEmpty())
        return log + result.error + u"\r\n"_s;
    if (!result.reported)
        return log + kNotReported;
    for (const LinesResult::Wire &wire : result.wires)
        log += wireLine(wire);
    return log + settleLine(result.settle, result.settleLimit)
           + keyingLine(result.works(u"RTS"_s), result.works(u"DTR"_s));
}

QJsonObject linesJson(const LinesResult &result)
{
    QJsonObject section{{u"reported"_s, result.reported}, {u"passed"_s, !result.faultFound()}};
    if (!result.error.isEmpty())
        section[u"error"_s] = result.error;
    if (!result.reported)
        return section;
    QJsonArray wires;
    for (const LinesResult::Wire &wire : result.wires)
        wires.append(QJsonObject{{u"output"_s, wire.output},
                                 {u"input"_s, wire.input},
                                 {u"result"_s, pairName(wire.pair)},
                                 {u"required"_s, wire.required}});
    section[u"wires"_s] = wires;
    section[u"settleMs"_s] = double(result.settle.count()) / 1000.0;
    section[u"settleLimitMs"_s] = double(result.settleLimit.count()) / 1000.0;
    section[u"keying"_s]
        = QJsonObject{{u"RTS"_s, result.works(u"RTS"_s)}, {u"DTR"_s, result.works(u"DTR"_s)}};
    return section;
}
