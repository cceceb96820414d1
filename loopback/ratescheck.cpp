// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/ratescheck.h"

#include "loopback/runclock.h"
#include "loopback/runreport.h"
#include "serial/commcontrol.h"

#include <QJsonArray>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kValues = 256;
constexpr int kBlock = 32;
constexpr int kInFlight = 2 * kBlock;
constexpr int kBitsPerByte = 10; // start, 8 data, stop
// An adapter hands received bytes on every few milliseconds; time for that and a busy machine.
constexpr auto kLatency = 100ms;

std::chrono::microseconds onTheLine(int bytes, qint32 baud)
{
    return std::chrono::microseconds(qint64(bytes) * kBitsPerByte * 1'000'000 / baud);
}

// The log's texts, in the order the check writes them.
const QString kHeading = u"Rates: the echo of every byte value at each rate.\r\n"_s;
QString rateLine(const RatesResult::Rate &rate)
{
    const QString head = u"%1 baud: "_s.arg(rate.baud);
    switch (rate.outcome) {
    case RatesResult::Outcome::Passed:
        return head + u"passed\r\n"_s;
    case RatesResult::Outcome::Mismatch:
        return head
               + u"failed: sent %1, received %2\r\n"_s.arg(LogText::hexByte(rate.value),
                                                           LogText::hexByte(rate.received));
    case RatesResult::Outcome::Missing:
        return head
               + u"failed: nothing came back from %1 on\r\n"_s.arg(LogText::hexByte(rate.value));
    case RatesResult::Outcome::Refused:
        return head + u"refused: %1\r\n"_s.arg(rate.refusal);
    default:
        return head + u"stopped\r\n"_s;
    }
}
QString highestLine(qint32 highest)
{
    if (highest == 0)
        return u"No rate passed from the lowest up; check the cable at a low rate.\r\n"_s;
    return u"Set your radio software to at most %1 baud.\r\n"_s.arg(highest);
}
QString outcomeName(RatesResult::Outcome outcome)
{
    static const QString names[]
        = {u"passed"_s, u"mismatch"_s, u"missing"_s, u"refused"_s, u"stopped"_s};
    return names[int(outcome)];
}

// Throws away what the line still brings from before: echoes of a failed sweep, noise of a
// change of rate.
void drain(CommControl &comm, RunClock &clock, std::chrono::microseconds quiet)
{
    for (;;) {
        clock.settle(quiet);
        if (comm.input().isEmpty())
            return;
    }
}

// One rate: the values 0 to 255 in blocks, each compared as it comes back.
RatesResult::Rate echoAt(CommControl &comm,
                         RunClock &clock,
                         qint32 baud,
                         const std::function<bool()> &stopRequested)
{
    RatesResult::Rate rate;
    rate.baud = baud;
    try {
        comm.setBaudRate(baud);
    } catch (const CommError &refused) {
        rate.outcome = RatesResult::Outcome::Refused;
        rate.refusal = refused.description();
        return rate;
    }
    drain(comm, clock, onTheLine(2, baud) + 2ms);
    const auto timeout = 2 * onTheLine(kInFlight, baud) + kLatency;
    int sent = 0;
    int back = 0;
    RunClock::TimePoint lastProgress = clock.now();
    while (back < kValues) {
        // Where it waits: with bytes in flight a stop would otherwise wait for their echoes.
        if (stopRequested && stopRequested()) {
            rate.outcome = RatesResult::Outcome::Stopped;
            return rate;
        }
        if (sent < kValues && sent - back <= kInFlight - kBlock) {
            QByteArray block;
            for (; block.size() < kBlock && sent < kValues; ++sent)
                block += char(sent);
            comm.setOutput(block);
        }
        const QByteArray received = comm.input();
        for (const char byte : received) {
            if (back < kValues && quint8(byte) != back) {
                rate.outcome = RatesResult::Outcome::Mismatch;
                rate.value = back;
                rate.received = quint8(byte);
                drain(comm, clock, timeout);
                return rate;
            }
            ++back;
        }
        const RunClock::TimePoint now = clock.now();
        if (!received.isEmpty())
            lastProgress = now;
        else if (now - lastProgress > timeout) {
            rate.outcome = RatesResult::Outcome::Missing;
            rate.value = back;
            return rate;
        }
        if (back < kValues && (sent - back > kInFlight - kBlock || sent == kValues))
            clock.waitForEvents(lastProgress + timeout + 1ms - now);
    }
    return rate;
}

} // namespace

bool RatesResult::faultFound() const
{
    return !error.isEmpty() || std::any_of(rates.begin(), rates.end(), [](const Rate &rate) {
        return rate.outcome == Outcome::Mismatch || rate.outcome == Outcome::Missing;
    });
}

RatesResult checkRates(CommControl &comm,
                       RunClock &clock,
                       QList<qint32> rates,
                       const std::function<bool()> &stopRequested)
{
    std::sort(rates.begin(), rates.end());
    using Outcome = RatesResult::Outcome;
    RatesResult result;
    const RunClock::TimePoint start = clock.now();
    bool allPassed = true;
    try {
        for (const qint32 baud : rates) {
            result.rates.append(echoAt(comm, clock, baud, stopRequested));
            result.onTheWire
                += std::chrono::duration_cast<std::chrono::milliseconds>(onTheLine(kValues, baud));
            allPassed = allPassed && result.rates.last().outcome == Outcome::Passed;
            if (allPassed)
                result.highest = baud;
            if (result.rates.last().outcome == Outcome::Stopped)
                break;
        }
    } catch (const CommError &failure) {
        result.error = failure.description();
    }
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - start);
    return result;
}

QString ratesLog(const RatesResult &result)
{
    QString log = kHeading;
    for (const RatesResult::Rate &rate : result.rates)
        log += rateLine(rate);
    if (!result.error.isEmpty())
        log += result.error + u"\r\n"_s;
    return log + highestLine(result.highest);
}

QJsonObject ratesJson(const RatesResult &result)
{
    QJsonArray rates;
    for (const RatesResult::Rate &rate : result.rates) {
        QJsonObject entry{{u"baud"_s, rate.baud}, {u"result"_s, outcomeName(rate.outcome)}};
        if (rate.value >= 0)
            entry[u"value"_s] = rate.value;
        if (rate.received >= 0)
            entry[u"received"_s] = rate.received;
        if (!rate.refusal.isEmpty())
            entry[u"reason"_s] = rate.refusal;
        rates.append(entry);
    }
    QJsonObject section{{u"rates"_s, rates},
                        {u"highest"_s,
                         result.highest > 0 ? QJsonValue(result.highest)
                                            : QJsonValue(QJsonValue::Null)},
                        {u"seconds"_s, double(result.took.count()) / 1000.0},
                        {u"passed"_s, !result.faultFound()}};
    if (!result.error.isEmpty())
        section[u"error"_s] = result.error;
    return section;
}
