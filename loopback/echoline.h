// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/outcome.h"
#include "loopback/runclock.h"
#include "serial/commerror.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class CommControl;

// An error as the JSON documents give it: its number and description.
QJsonObject errorJson(const CommError &error);

// The time a byte takes on the line at baud: start, 8 data and stop bits.
std::chrono::microseconds byteTime(qint32 baud);

// The line an echo runs over: it writes, keeps the bytes in flight with the time each is due
// back, waits with a deadline and a look for a stop at least every tenth of a second, and keeps
// the first error. One attempt, one rate or one soak each uses one; nothing carries over.
class EchoLine
{
public:
    using TimePoint = RunClock::TimePoint;
    enum class Wait { Arrived, TimedOut, Stopped };

    // A byte in flight: what was sent and when its echo is due, at the earliest, when the line
    // is paced.
    struct InFlight
    {
        quint8 byte = 0;
        TimePoint due;
    };

    // How often a wait looks for a stop, however long its deadline.
    static constexpr std::chrono::milliseconds kStopPoll{100};

    EchoLine(CommControl &comm, RunClock &clock, std::function<bool()> stopRequested);

    // The rate whose byte time paces the due times; 0 for an unpaced line.
    void setRate(qint32 baud);
    // Sets the rate on the port: Passed, NotSupported when the adapter refused it, LineLost when
    // the port no longer answers at all. error() then holds why.
    Outcome changeRate(qint32 baud);

    // Writes bytes and takes them in flight. False when the write failed.
    bool send(const QByteArray &bytes);
    // Waits until a byte is waiting, deadline passes (strictly) or a stop is asked for.
    Wait waitForBytes(TimePoint deadline);
    // Waits for events until deadline or a stop, whichever comes first; true when stopped.
    bool pauseUntil(TimePoint deadline);
    // Every waiting byte; none, with the error kept, when the read failed.
    std::optional<QByteArray> receive();
    // Reads and drops what the line still brings until it has been quiet for quiet, at most
    // until deadline. False when stopped or the line failed.
    bool drain(std::chrono::microseconds quiet, TimePoint deadline);

    std::deque<InFlight> &inFlight() { return m_inFlight; }
    void forget() { m_inFlight.clear(); }

    bool stopRequested() const { return m_stopRequested && m_stopRequested(); }
    // Keeps error unless one is kept already: the first error of an attempt tells the cause.
    void fail(const CommError &error);
    const std::optional<CommError> &error() const { return m_error; }
    std::optional<CommError> takeError() { return std::exchange(m_error, std::nullopt); }

    RunClock &clock() { return m_clock; }
    CommControl &comm() { return m_comm; }

private:
    CommControl &m_comm;
    RunClock &m_clock;
    std::function<bool()> m_stopRequested;
    std::chrono::nanoseconds m_byteTime{0}; // to the nanosecond: a soak sends millions
    TimePoint m_lineFree;                   // when the last byte written has left
    std::deque<InFlight> m_inFlight;
    std::optional<CommError> m_error;
};
