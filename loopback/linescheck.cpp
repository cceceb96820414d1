// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/linescheck.h"

#include "loopback/echoline.h"
#include "loopback/runclock.h"
#include "serial/commcontrol.h"

#include <QJsonArray>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Pair = LinesResult::Pair;
using Keying = LinesResult::Keying;
constexpr auto kPoll = 1ms;
const QString kOutputs[] = {u"RTS"_s, u"DTR"_s};

// The log's texts, in the order the check writes them.
const QString kKeyingWarning = u"Control lines: switching RTS and DTR keys a transmitter wired to "
                               "them; keep the radio end of the cable unconnected.\r\n"_s;
const QString kNotReported = u"This device does not report its control lines, so they cannot be "
                             "checked.\r\n"_s;
QString milliseconds(std::chrono::microseconds time)
{
    return QString::number(double(time.count()) / 1000.0, 'f', 1);
}
QString pairText(Pair pair, std::chrono::microseconds limit)
{
    switch (pair) {
    case Pair::Follows:
        return u"follows"_s;
    case Pair::StuckOn:
        return u"stuck on"_s;
    case Pair::StuckOff:
        return u"stuck off"_s;
    case Pair::Inverted:
        return u"inverted"_s;
    case Pair::DidNotFollow:
        return u"did not follow within %1 ms"_s.arg(limit.count() / 1000);
    }
    return {};
}
QString pairWord(Pair pair)
{
    switch (pair) {
    case Pair::Follows:
        return u"follows"_s;
    case Pair::StuckOn:
        return u"stuck_on"_s;
    case Pair::StuckOff:
        return u"stuck_off"_s;
    case Pair::Inverted:
        return u"inverted"_s;
    case Pair::DidNotFollow:
        return u"did_not_follow"_s;
    }
    return {};
}
QString wireLine(const LinesResult::Wire &wire, std::chrono::microseconds limit)
{
    return u"%1 -> %2: %3%4\r\n"_s.arg(wire.output,
                                       wire.input,
                                       pairText(wire.pair, limit),
                                       wire.required ? QString() : u" (not required)"_s);
}
QString settleLine(std::chrono::microseconds settle, std::chrono::microseconds limit)
{
    return u"Settle time: %1 ms (the longest an input took to follow; waited up to %2 ms).\r\n"_s
        .arg(milliseconds(settle), milliseconds(limit));
}
QString keyingPart(const LinesResult &result, const QString &output)
{
    switch (result.keying(output)) {
    case Keying::Works:
        return output + u" works"_s;
    case Keying::Fails:
        return output + u" does not"_s;
    case Keying::InPart:
        break;
    }
    QStringList follow;
    QStringList not_;
    for (const LinesResult::Wire &wire : result.wires) {
        if (wire.output == output && wire.required)
            (wire.pair == Pair::Follows ? follow : not_) << wire.input;
    }
    return u"%1 only in part (%2 %3, %4 %5)"_s.arg(output,
                                                   follow.join(u" and "_s),
                                                   follow.size() == 1 ? u"follows"_s : u"follow"_s,
                                                   not_.join(u" and "_s),
                                                   u"does not"_s);
}
QString keyingLine(const LinesResult &result)
{
    const Keying rts = result.keying(u"RTS"_s);
    const Keying dtr = result.keying(u"DTR"_s);
    if (rts == Keying::Works && dtr == Keying::Works)
        return u"Keying lines: RTS and DTR work.\r\n"_s;
    if (rts == Keying::Fails && dtr == Keying::Fails)
        return u"Keying lines: neither RTS nor DTR works.\r\n"_s;
    // The one that works first: "DTR works, RTS does not."
    QString first = keyingPart(result, u"RTS"_s);
    QString second = keyingPart(result, u"DTR"_s);
    if (dtr == Keying::Works && rts != Keying::Works)
        std::swap(first, second);
    return u"Keying lines: %1, %2.\r\n"_s.arg(first, second);
}
QString howFar(const LinesResult &result)
{
    const auto checked = std::count_if(result.wires.begin(),
                                       result.wires.end(),
                                       [](const LinesResult::Wire &wire) { return wire.checked; });
    return u"%1 with %2 of %3 pairs checked; no verdict on the keying lines.\r\n"_s
        .arg(result.stopped ? u"Stopped"_s : u"Ended"_s)
        .arg(checked)
        .arg(result.wires.size());
}

bool level(const ModemLines &lines, const QString &input)
{
    return input == u"CTS"_s   ? lines.cts
           : input == u"DSR"_s ? lines.dsr
           : input == u"DCD"_s ? lines.dcd
                               : lines.ri;
}

// What one input did while the check waited after a switch.
struct Watched
{
    bool before = false;                              // its level when the output was switched
    bool changed = false;                             // it left that level at some time
    bool after = false;                               // its level when the wait ended
    std::optional<std::chrono::microseconds> reached; // when it took the level it should
};

// Switches output to on (or only waits, when switch_ is false) and watches its inputs until
// every required one has taken the output's level, or the limit has passed. Each input that was
// at that level already is watched for the whole limit: it may be stuck, or about to leave it.
struct Watch
{
    CommControl &comm;
    RunClock &clock;
    EchoLine &stop;
    std::chrono::milliseconds limit;

    // None when stopped.
    std::optional<QList<Watched>> operator()(const LinesResult &result,
                                             const QString &output,
                                             bool on,
                                             const QList<bool> &before,
                                             bool switch_)
    {
        QList<Watched> watched;
        for (const bool level : before)
            watched.append({level, false, level, {}});
        if (switch_)
            output == u"RTS"_s ? comm.setRTSEnable(on) : comm.setDTREnable(on);
        const RunClock::TimePoint switched = clock.now();
        for (;;) {
            const ModemLines lines = comm.modemLines().value_or(ModemLines{});
            const auto waited
                = std::chrono::duration_cast<std::chrono::microseconds>(clock.now() - switched);
            bool done = true;
            for (qsizetype i = 0; i < result.wires.size(); ++i) {
                const LinesResult::Wire &wire = result.wires[i];
                if (wire.output != output)
                    continue;
                Watched &input = watched[i];
                input.after = level(lines, wire.input);
                input.changed = input.changed || input.after != input.before;
                if (input.before != on && input.after == on && !input.reached)
                    input.reached = waited;
                if (input.after != on) // it went back: not reached until it comes again
                    input.reached.reset();
                const bool there = input.reached || (!switch_ && input.after == on);
                done = done && (!wire.required || there);
            }
            if (done || waited >= limit)
                return watched;
            if (stop.stopRequested())
                return std::nullopt;
            clock.settle(kPoll);
        }
    }
};

Pair judge(const QList<Watched> &init, qsizetype i, const Watched &off, const Watched &on)
{
    if (off.reached && on.reached)
        return Pair::Follows;
    if (!off.changed && !on.changed && init[i].after == off.after && off.after == on.after)
        return on.after ? Pair::StuckOn : Pair::StuckOff;
    if (off.changed && off.after && on.changed && !on.after)
        return Pair::Inverted;
    return Pair::DidNotFollow;
}

} // namespace

LinesResult::Keying LinesResult::keying(const QString &output) const
{
    int required = 0;
    int follow = 0;
    for (const Wire &wire : wires) {
        if (wire.output == output && wire.required) {
            ++required;
            follow += wire.pair == Pair::Follows ? 1 : 0;
        }
    }
    return follow == required ? Keying::Works : follow == 0 ? Keying::Fails : Keying::InPart;
}

bool LinesResult::faultFound() const
{
    return error.has_value()
           || (reported && std::any_of(wires.begin(), wires.end(), [](const Wire &wire) {
                   return wire.checked && wire.required && wire.pair != Pair::Follows;
               }));
}

LinesResult checkLines(CommControl &comm,
                       RunClock &clock,
                       const std::function<bool()> &stopRequested,
                       std::chrono::milliseconds limit)
{
    LinesResult result;
    result.settleLimit = limit;
    result.wires = {{u"RTS"_s, u"CTS"_s},
                    {u"DTR"_s, u"DSR"_s},
                    {u"DTR"_s, u"DCD"_s},
                    {u"DTR"_s, u"RI"_s, Pair::StuckOff, false}};
    EchoLine stop(comm, clock, stopRequested);
    Watch watch{comm, clock, stop, limit};
    try {
        comm.setRTSEnable(true);
        comm.setDTREnable(true);
        const std::optional<ModemLines> start = comm.modemLines();
        result.reported = start.has_value();
        if (!result.reported)
            return result;
        QList<bool> levels;
        for (const LinesResult::Wire &wire : std::as_const(result.wires))
            levels << level(*start, wire.input);
        // They may just have been switched on: wait for them as after a switch.
        std::optional<QList<Watched>> init;
        for (const QString &output : kOutputs) {
            init = watch(result, output, true, levels, false);
            if (!init) {
                result.stopped = true;
                return result;
            }
            for (qsizetype i = 0; i < levels.size(); ++i)
                levels[i] = (*init)[i].after;
        }
        for (const QString &output : kOutputs) {
            const std::optional<QList<Watched>> off = watch(result, output, false, levels, true);
            std::optional<QList<Watched>> on;
            if (off) {
                for (qsizetype i = 0; i < levels.size(); ++i)
                    levels[i] = (*off)[i].after;
                on = watch(result, output, true, levels, true);
            }
            if (!on) {
                comm.setRTSEnable(true);
                comm.setDTREnable(true);
                result.stopped = true;
                return result;
            }
            for (qsizetype i = 0; i < result.wires.size(); ++i) {
                LinesResult::Wire &wire = result.wires[i];
                levels[i] = (*on)[i].after;
                if (wire.output != output)
                    continue;
                wire.pair = judge(*init, i, (*off)[i], (*on)[i]);
                wire.checked = true;
                if (wire.pair == Pair::Follows)
                    result.settle
                        = std::max({result.settle, *(*off)[i].reached, *(*on)[i].reached});
            }
        }
    } catch (const CommError &failure) {
        result.error = failure;
    }
    return result;
}

QString linesLog(const LinesResult &result)
{
    QString log = kKeyingWarning;
    if (!result.reported && !result.error)
        return log + kNotReported;
    for (const LinesResult::Wire &wire : result.wires) {
        if (wire.checked)
            log += wireLine(wire, result.settleLimit);
    }
    if (result.error)
        log += result.error->description() + u"\r\n"_s;
    if (result.error || result.stopped)
        return log + howFar(result);
    return log + settleLine(result.settle, result.settleLimit) + keyingLine(result);
}

QJsonObject linesJson(const LinesResult &result)
{
    const bool complete = result.reported && !result.stopped && !result.error;
    QJsonObject section{{u"ran"_s, true},
                        {u"reported"_s, result.reported},
                        {u"stopped"_s, result.stopped},
                        {u"passed"_s, !result.faultFound() && !result.stopped}};
    if (result.error)
        section[u"error"_s] = errorJson(*result.error);
    if (!result.reported)
        return section;
    QJsonArray wires;
    for (const LinesResult::Wire &wire : result.wires)
        wires.append(QJsonObject{{u"output"_s, wire.output.toLower()},
                                 {u"input"_s, wire.input.toLower()},
                                 {u"result"_s,
                                  wire.checked ? QJsonValue(pairWord(wire.pair)) : QJsonValue()},
                                 {u"required"_s, wire.required}});
    section[u"wires"_s] = wires;
    section[u"settle_ms"_s] = double(result.settle.count()) / 1000.0;
    section[u"settle_limit_ms"_s] = double(result.settleLimit.count()) / 1000.0;
    QJsonObject keying;
    for (const QString &output : kOutputs) {
        QJsonValue word;
        switch (complete ? result.keying(output) : Keying::InPart) {
        case Keying::Works:
            word = u"works"_s;
            break;
        case Keying::Fails:
            word = u"fails"_s;
            break;
        case Keying::InPart:
            word = complete ? QJsonValue(u"in_part"_s) : QJsonValue();
            break;
        }
        keying[output.toLower()] = word;
    }
    section[u"keying"_s] = keying;
    return section;
}
