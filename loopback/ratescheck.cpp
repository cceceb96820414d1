// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/ratescheck.h"

#include "loopback/echoline.h"
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
// How late an echo may be beyond its time on the line: an adapter hands on what it received
// every few milliseconds, a network link takes tens to hundreds, a busy machine more.
constexpr auto kLatency = 1s;

std::chrono::milliseconds onTheLine(int bytes, qint32 baud)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(byteTime(baud) * bytes);
}

// The log's texts, in the order the check writes them.
const QString kHeading = u"Rates: the echo of every byte value at each rate.\r\n"_s;
QString rateLine(const RatesResult::Rate &rate)
{
    const QString head = u"%1 baud: "_s.arg(rate.baud);
    switch (rate.outcome) {
    case Outcome::Passed:
        return head + u"passed\r\n"_s;
    case Outcome::Mismatch:
        return head
               + u"failed: sent %1, received %2\r\n"_s.arg(LogText::hexByte(rate.value),
                                                           LogText::hexByte(rate.received));
    case Outcome::NoData:
        return head
               + u"failed: nothing came back from %1 on\r\n"_s.arg(LogText::hexByte(rate.value));
    case Outcome::NotSupported:
        return head + u"not supported by this adapter\r\n"_s;
    case Outcome::LineLost:
        return head
               + u"line lost: %1\r\n"_s.arg(rate.error ? rate.error->description() : QString());
    case Outcome::Stopped:
        return head + u"stopped\r\n"_s;
    case Outcome::NotOpened:
    case Outcome::Console:
    case Outcome::NotSerial:
    case Outcome::Modem:
        break;
    }
    return head + outcomeWord(rate.outcome) + u"\r\n"_s;
}
QString howFar(const RatesResult &result)
{
    const RatesResult::Rate &last = result.rates.constLast();
    return u"Rates %1 at %2 baud, %3 of %4 rates tried; no advice from a sweep cut short.\r\n"_s
        .arg(last.outcome == Outcome::Stopped ? u"stopped"_s : u"ended by the lost line"_s)
        .arg(last.baud)
        .arg(result.rates.size())
        .arg(result.asked);
}
QString adviceLine(const RatesResult &result)
{
    if (result.highest > 0)
        return u"Set your radio software to at most %1 baud.\r\n"_s.arg(result.highest);
    if (std::all_of(result.rates.begin(), result.rates.end(), [](const RatesResult::Rate &rate) {
            return rate.outcome == Outcome::NotSupported;
        }))
        return u"This adapter supports none of these rates.\r\n"_s;
    return u"No rate passed from the lowest up; check the cable at a low rate.\r\n"_s;
}

// One rate: the values 0 to 255 in blocks, each compared as it comes back.
RatesResult::Rate echoAt(EchoLine &line, qint32 baud)
{
    RatesResult::Rate rate;
    rate.baud = baud;
    const auto ended = [&](Outcome outcome) {
        rate.outcome = line.stopRequested() ? Outcome::Stopped : outcome;
        if (rate.outcome == Outcome::LineLost || rate.outcome == Outcome::NotSupported)
            rate.error = line.takeError();
        return rate;
    };
    if (const Outcome changed = line.changeRate(baud); changed != Outcome::Passed)
        return ended(changed);
    RunClock &clock = line.clock();
    // What the line still brings from before: echoes of a failed rate, noise of the change.
    const auto quiet = std::max<std::chrono::microseconds>(2 * byteTime(baud) + 2ms, 5ms);
    if (!line.drain(quiet, clock.now() + quiet + kLatency))
        return ended(Outcome::LineLost);
    std::deque<EchoLine::InFlight> &flight = line.inFlight();
    int sent = 0;
    int back = 0;
    while (back < kValues) {
        if (line.stopRequested())
            return ended(Outcome::Stopped);
        if (sent < kValues && qsizetype(flight.size()) <= kInFlight - kBlock) {
            QByteArray block;
            for (; block.size() < kBlock && sent < kValues; ++sent)
                block += char(sent);
            if (!line.send(block))
                return ended(Outcome::LineLost);
        }
        const std::optional<QByteArray> received = line.receive();
        if (!received)
            return ended(Outcome::LineLost);
        for (const char byte : *received) {
            if (back >= kValues)
                break; // what a doubling adapter adds after the last value
            if (flight.empty() || quint8(byte) != flight.front().byte) {
                rate.value = back;
                rate.received = quint8(byte);
                line.drain(quiet, clock.now() + onTheLine(kInFlight, baud) + kLatency);
                return ended(Outcome::Mismatch);
            }
            flight.pop_front();
            ++back;
        }
        if (back == kValues)
            break;
        if (flight.empty())
            continue; // all back: the next block goes out
        const EchoLine::TimePoint deadline = flight.front().due + kLatency;
        if (clock.now() > deadline) {
            rate.value = back;
            return ended(Outcome::NoData);
        }
        if (sent == kValues || qsizetype(flight.size()) > kInFlight - kBlock) {
            if (line.waitForBytes(deadline) == EchoLine::Wait::Stopped)
                return ended(Outcome::Stopped);
        }
    }
    return rate;
}

} // namespace

const QList<qint32> &standardRates()
{
    static const QList<qint32> rates
        = {50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
           2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
           576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    return rates;
}

QString standardRatesText()
{
    QStringList texts;
    for (const qint32 rate : standardRates())
        texts << QString::number(rate);
    return texts.join(u", "_s);
}

std::optional<QList<qint32>> parseRates(const QString &list)
{
    QList<qint32> parsed;
    for (const QString &field : list.split(u',')) {
        bool ok = false;
        const qint32 baud = field.trimmed().toInt(&ok);
        if (!ok || !standardRates().contains(baud))
            return std::nullopt;
        parsed << baud;
    }
    std::sort(parsed.begin(), parsed.end());
    parsed.erase(std::unique(parsed.begin(), parsed.end()), parsed.end());
    return parsed;
}

bool RatesResult::stopped() const
{
    return !rates.isEmpty() && rates.constLast().outcome == Outcome::Stopped;
}

bool RatesResult::lineLost() const
{
    return !rates.isEmpty() && rates.constLast().outcome == Outcome::LineLost;
}

bool RatesResult::faultFound() const
{
    return std::any_of(rates.begin(), rates.end(), [](const Rate &rate) {
        return isFault(rate.outcome);
    });
}

RatesResult checkRates(CommControl &comm,
                       RunClock &clock,
                       QList<qint32> rates,
                       const std::function<bool()> &stopRequested)
{
    std::sort(rates.begin(), rates.end());
    RatesResult result;
    result.asked = rates.size();
    const RunClock::TimePoint start = clock.now();
    bool allPassed = true;
    for (const qint32 baud : rates) {
        EchoLine line(comm, clock, stopRequested);
        const RatesResult::Rate &rate = result.rates.emplace_back(echoAt(line, baud));
        if (rate.outcome == Outcome::NotSupported)
            continue; // neither passed nor failed: it says nothing of the rates around it
        result.onTheWire += onTheLine(kValues, baud);
        allPassed = allPassed && rate.outcome == Outcome::Passed;
        if (allPassed)
            result.highest = baud;
        if (rate.outcome == Outcome::Stopped || rate.outcome == Outcome::LineLost) {
            result.highest = 0;
            break;
        }
    }
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - start);
    return result;
}

QString ratesLog(const RatesResult &result)
{
    QString log = kHeading;
    for (const RatesResult::Rate &rate : result.rates)
        log += rateLine(rate);
    if (result.stopped() || result.lineLost())
        return log + howFar(result);
    return result.rates.isEmpty() ? log : log + adviceLine(result);
}

QJsonObject ratesJson(const RatesResult &result)
{
    QJsonArray rates;
    for (const RatesResult::Rate &rate : result.rates) {
        QJsonObject entry{{u"baud"_s, rate.baud}, {u"outcome"_s, outcomeWord(rate.outcome)}};
        if (rate.value >= 0)
            entry[u"value"_s] = rate.value;
        if (rate.received >= 0)
            entry[u"received"_s] = rate.received;
        if (rate.error)
            entry[u"error"_s] = errorJson(*rate.error);
        rates.append(entry);
    }
    return {{u"ran"_s, true},
            {u"rates"_s, rates},
            {u"asked"_s, result.asked},
            {u"highest"_s,
             result.highest > 0 ? QJsonValue(result.highest) : QJsonValue(QJsonValue::Null)},
            {u"seconds"_s, double(result.took.count()) / 1000.0},
            {u"stopped"_s, result.stopped()},
            {u"passed"_s, !result.faultFound() && !result.stopped()}};
}
