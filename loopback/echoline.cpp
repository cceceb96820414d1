// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/echoline.h"

#include "serial/commcontrol.h"

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kBitsPerByte = 10; // start, 8 data, stop

} // namespace

QString outcomeWord(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Passed:
        return u"passed"_s;
    case Outcome::NotOpened:
        return u"not_opened"_s;
    case Outcome::Console:
        return u"console"_s;
    case Outcome::NotSerial:
        return u"not_serial_port"_s;
    case Outcome::NoData:
        return u"no_data"_s;
    case Outcome::Modem:
        return u"modem"_s;
    case Outcome::Mismatch:
        return u"mismatch"_s;
    case Outcome::LineLost:
        return u"line_lost"_s;
    case Outcome::Stopped:
        return u"stopped"_s;
    case Outcome::NotSupported:
        return u"not_supported"_s;
    }
    return {};
}

bool isFault(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Passed:
    case Outcome::Stopped:
    case Outcome::NotSupported:
        return false;
    case Outcome::NotOpened:
    case Outcome::Console:
    case Outcome::NotSerial:
    case Outcome::NoData:
    case Outcome::Modem:
    case Outcome::Mismatch:
    case Outcome::LineLost:
        return true;
    }
    return true;
}

QJsonObject errorJson(const CommError &error)
{
    return {{u"number"_s, qint32(error.number())}, {u"description"_s, error.description()}};
}

std::chrono::microseconds byteTime(qint32 baud)
{
    return baud > 0 ? std::chrono::microseconds(qint64(kBitsPerByte) * 1'000'000 / baud) : 0us;
}

EchoLine::EchoLine(CommControl &comm, RunClock &clock, std::function<bool()> stopRequested)
    : m_comm(comm)
    , m_clock(clock)
    , m_stopRequested(std::move(stopRequested))
    , m_lineFree(clock.now())
{}

void EchoLine::setRate(qint32 baud)
{
    m_byteTime
        = baud > 0 ? std::chrono::nanoseconds(qint64(kBitsPerByte) * 1'000'000'000 / baud) : 0ns;
}

Outcome EchoLine::changeRate(qint32 baud)
{
    try {
        m_comm.setBaudRate(baud);
    } catch (const CommError &refused) {
        fail(refused);
        // An adapter that has gone refuses every rate too: that is a lost line, not a rate it
        // lacks.
        try {
            m_comm.inBufferCount();
        } catch (const CommError &lost) {
            m_error = lost;
            return Outcome::LineLost;
        }
        return Outcome::NotSupported;
    }
    setRate(baud);
    return Outcome::Passed;
}

bool EchoLine::send(const QByteArray &bytes)
{
    try {
        m_comm.setOutput(bytes);
    } catch (const CommError &error) {
        fail(error);
        return false;
    }
    // Each byte leaves after those ahead of it; an idle line starts the first now.
    TimePoint at = std::max(m_clock.now(), m_lineFree);
    for (const char byte : bytes) {
        at += m_byteTime;
        m_inFlight.push_back({quint8(byte), at});
    }
    m_lineFree = at;
    return true;
}

EchoLine::Wait EchoLine::waitForBytes(TimePoint deadline)
{
    for (;;) {
        qint16 waiting = 0;
        try {
            waiting = m_comm.inBufferCount();
        } catch (const CommError &error) {
            fail(error); // as though nothing were waiting: the deadline still holds
        }
        if (waiting >= 1)
            return Wait::Arrived;
        if (pauseUntil(deadline + 1ms))
            return Wait::Stopped;
        if (m_clock.now() > deadline)
            return Wait::TimedOut;
    }
}

bool EchoLine::pauseUntil(TimePoint deadline)
{
    const auto left
        = std::clamp<std::chrono::nanoseconds>(deadline - m_clock.now(), 0ns, kStopPoll);
    m_clock.waitForEvents(left);
    return stopRequested();
}

std::optional<QByteArray> EchoLine::receive()
{
    try {
        return m_comm.input();
    } catch (const CommError &error) {
        fail(error);
        return std::nullopt;
    }
}

bool EchoLine::drain(std::chrono::microseconds quiet, TimePoint deadline)
{
    m_inFlight.clear();
    TimePoint lastHeard = m_clock.now();
    for (;;) {
        const std::optional<QByteArray> bytes = receive();
        if (!bytes)
            return false;
        const TimePoint now = m_clock.now();
        if (!bytes->isEmpty())
            lastHeard = now;
        else if (now - lastHeard >= quiet)
            return true;
        if (now >= deadline)
            return true; // a line that never goes quiet: what comes next is compared
        if (pauseUntil(std::min(deadline, lastHeard + quiet)))
            return false;
    }
}

void EchoLine::fail(const CommError &error)
{
    if (!m_error)
        m_error = error;
}
