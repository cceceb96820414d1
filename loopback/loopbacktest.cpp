// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/loopbacktest.h"

#include "loopback/runclock.h"
#include "loopback/runreport.h"
#include "serial/portnumber.h"

#include <algorithm>
#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto kReplyTimeout = 3s;
const QString kModemAnswer = u"OK"_s;

bool deviceMissing(const Attempt &attempt)
{
    return attempt.error && attempt.error->number() == ErrorNumber::NoSuchDevice;
}

std::chrono::milliseconds since(const RunClock &clock, RunClock::TimePoint start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - start);
}

} // namespace

// A failing step is abandoned, and its error becomes the attempt's, or the run's before the
// first attempt. Only the calls that can throw are guarded: the report, the serial control and
// the port-number rule. Reading the clock, waiting and comparing cannot fail.
template<typename Step>
void LoopbackTest::guard(const Step &step)
{
    try {
        step();
    } catch (const CommError &error) {
        if (m_line)
            m_line->fail(error);
        else
            m_runError = error;
    }
}

LoopbackTest::LoopbackTest(RunReport &report, CommControl &comm, RunClock &clock, RunPorts ports)
    : m_report(report)
    , m_comm(comm)
    , m_clock(clock)
    , m_ports(std::move(ports))
{}

RunRecord LoopbackTest::run()
{
    m_record = RunRecord{};
    m_line.reset();
    m_runError.reset();
    m_record.started = QDateTime::currentDateTimeUtc();
    m_record.walk = m_ports.walk;
    m_record.settingsFile = m_ports.map.settingsFile();
    guard([&] { m_report.runStarted(m_record); });
    m_clock.yield();
    guard([&] { m_ports.configure(); });
    m_runError.reset(); // the configuration has shown its own failures
    guard([&] { m_record.selected = portNumber(m_ports.selected()); });

    const qint16 startPort = m_record.selected;
    qint16 port = startPort;
    for (;;) {
        if (m_report.stopRequested()) {
            m_record.stopped = true;
            break;
        }
        const Attempt::Outcome outcome = attempt(port).outcome;
        if (outcome == Attempt::Outcome::Passed)
            break;
        if (outcome == Attempt::Outcome::Stopped || m_report.stopRequested()) {
            m_record.stopped = true;
            break;
        }
        if (!m_ports.walk)
            break;
        if (m_record.attempts.size() == 1) {
            port = startPort == 1 ? 2 : 1;
            continue;
        }
        ++port;
        if (port == startPort)
            ++port;
        if (port > kLastPort)
            break;
    }

    // Name the devices no COM number reaches only when one that a COM number reaches was
    // missing: the user may have plugged the cable into one of those.
    const auto &attempts = m_record.attempts;
    if (!m_record.stopped && !m_record.passed()
        && std::any_of(attempts.cbegin(), attempts.cend(), deviceMissing)) {
        m_record.unreached = m_ports.devices.notReachedBy(m_ports.map);
        m_record.adapters = m_ports.devices.adaptersNotPorts();
    }
    guard([&] { m_report.runEnded(m_record); });
    return m_record;
}

// One port: open, probe for a modem, echo every value, close. Every failure ends at the
// failure step, which makes the attempt's first error part of it.
const Attempt &LoopbackTest::attempt(qint16 port)
{
    Attempt &attempt = m_record.attempts.emplace_back();
    attempt.port = port;
    attempt.device = m_ports.map.device(port);
    const RunClock::TimePoint start = m_clock.now();
    m_line.emplace(m_comm, m_clock, [this] { return m_report.stopRequested(); });
    guard([&] { m_comm.setCommPort(port); });
    guard([&] { m_report.attemptStarted(m_record); });
    guard([&] { m_comm.setPortOpen(true); });
    if (m_runError)
        m_line->fail(*std::exchange(m_runError, std::nullopt));
    if (const auto &error = m_line->error())
        attempt.outcome = error->number() == ErrorNumber::SystemConsole    ? Outcome::Console
                          : error->number() == ErrorNumber::NotASerialPort ? Outcome::NotSerial
                                                                           : Outcome::NotOpened;
    else
        attempt.outcome = probeAndEcho(attempt);

    if (m_line->error() && attempt.outcome != Outcome::Passed) {
        if (attempt.outcome == Outcome::NoData) {
            attempt.outcome = Outcome::LineLost;
            attempt.timedOut = true;
        }
        attempt.error = m_line->takeError();
    }
    bool open = true; // when in doubt, close
    guard([&] { open = m_comm.portOpen(); });
    if (open)
        guard([&] { m_comm.setPortOpen(false); });
    // What the system says of a device is asked only for the one the log names; the lasting name
    // is only a look at /dev/serial/by-id.
    if (attempt.outcome == Attempt::Outcome::Passed)
        attempt.facts = m_ports.devices.describe(attempt.device);
    attempt.lastingName = m_ports.devices.lastingName(attempt.device);
    attempt.took = since(m_clock, start);
    guard([&] { m_report.attemptEnded(m_record); });
    return attempt;
}

Outcome LoopbackTest::probeAndEcho(Attempt &attempt)
{
    using Wait = EchoLine::Wait;
    const RunClock::TimePoint start = m_clock.now();
    m_line->send(kProbe); // a failed write shows as the missing reply, then as its error
    if (const Wait wait = replied(); wait != Wait::Arrived)
        return wait == Wait::TimedOut ? Outcome::NoData : Outcome::Stopped;
    m_clock.settle(kProbeSettle);
    if (!read())
        return Outcome::LineLost;
    attempt.reply = m_received;
    // A slow line, or an adapter that hands received bytes over in packets, may deliver the
    // probe's echo in parts; the rest is still the echo, not the answer to value 0.
    while (attempt.reply.size() < kProbe.size() && kProbe.startsWith(attempt.reply)) {
        const Wait wait = replied();
        if (wait == Wait::Stopped)
            return Outcome::Stopped;
        if (wait == Wait::TimedOut)
            break; // the rest never came: test the values all the same
        m_clock.settle(kProbeSettle);
        if (!read())
            return Outcome::LineLost;
        attempt.reply += m_received;
    }
    attempt.probeEcho = since(m_clock, start);
    if (QString::fromLocal8Bit(attempt.reply).contains(kModemAnswer))
        return Outcome::Modem;
    return echoAll(attempt);
}

// Sends 0 to 255 one at a time and reports each echo.
Outcome LoopbackTest::echoAll(Attempt &attempt)
{
    using Wait = EchoLine::Wait;
    for (attempt.value = 0; attempt.value <= kLastValue; ++attempt.value) {
        const auto sent = quint8(attempt.value);
        m_sendBuffer[0] = char(sent);
        m_line->send(m_sendBuffer);
        if (const Wait wait = replied(); wait != Wait::Arrived)
            return wait == Wait::TimedOut ? Outcome::NoData : Outcome::Stopped;
        m_clock.settle(kEchoSettle);
        if (!read())
            return Outcome::LineLost;
        // Only the first byte of a reply counts; the rest are dropped.
        const auto received = quint8(m_received[0]);
        guard([&] { m_report.echoed(attempt.value, received); });
        m_clock.yield();
        if (received != sent) {
            attempt.received = received;
            return Outcome::Mismatch;
        }
        if (m_line->stopRequested()) {
            ++attempt.value;
            return Outcome::Stopped;
        }
    }
    return Outcome::Passed;
}

// Waits until a byte is waiting, more than the time-out has passed, or the user stops the run.
// Each reply is awaited alone: what came before is read or dropped.
EchoLine::Wait LoopbackTest::replied()
{
    m_line->forget();
    return m_line->waitForBytes(m_clock.now() + kReplyTimeout);
}

// Reads what is waiting. False when the read failed or brought nothing: a byte that was not
// received must never be compared.
bool LoopbackTest::read()
{
    m_received = m_line->receive().value_or(QByteArray());
    if (m_received.isEmpty())
        m_line->fail(CommError(ErrorNumber::NothingReceived, u"Nothing was received to compare."_s));
    return !m_received.isEmpty();
}
