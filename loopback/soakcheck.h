// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "serial/commerror.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class CommControl;
class RunClock;

// The wiggle test: a continuous echo while the user moves the cable and its plugs, for the
// cracked conductor or loose plug that passes while the cable lies still.
struct SoakOptions
{
    qint32 baud = 19200;
    std::chrono::seconds duration{0}; // 0: until stopped
};

// A fault, timed from the start of the soak.
struct SoakFault
{
    enum class Kind { Dropout, Mismatch, Missing };
    Kind kind = Kind::Dropout;
    std::chrono::milliseconds at{};     // a dropout: when the echo stopped
    std::chrono::milliseconds length{}; // Dropout: how long no echo came
    int sent = -1;                      // Mismatch: the first byte that came back wrong
    int received = -1;
    int count = 0; // Mismatch: wrong bytes in a row; Missing: bytes that never came back
};

// What the status line shows.
struct SoakStatus
{
    std::chrono::milliseconds elapsed{};
    qint64 bytes = 0;
    qsizetype faults = 0;
};

struct SoakResult
{
    SoakOptions options;
    std::chrono::milliseconds took{};
    qint64 bytes = 0; // echoed unchanged
    QList<SoakFault> faults;
    std::chrono::milliseconds longestDropout{};
    // The longest an echo came back after its time on the line: a late line is no fault.
    std::chrono::milliseconds longestDelay{};
    std::chrono::milliseconds dropoutLimit{}; // how late an echo may be before it is lost
    bool stopped = false;                     // ended by a stop request rather than by the time
    std::optional<CommError> error;           // the line was lost: why

    bool lineLost() const { return error.has_value(); }
    // Ended before its time: by the line, or a timed soak by a stop. No verdict then.
    bool cutShort() const;
    bool faultFound() const { return lineLost() || !faults.isEmpty(); }
    double bytesPerSecond() const;
};

struct SoakCallbacks
{
    std::function<bool()> stopRequested;
    std::function<void(const SoakFault &)> fault;   // as it happens; a dropout once it has ended
    std::function<void(const SoakStatus &)> status; // at most ten times a second
};

// Echoes a stream of varied bytes at options.baud, a few tens of milliseconds of it in flight,
// for options.duration or until stopped (obeyed within a tenth of a second). An echo later than
// the dropout limit (200 ms and four byte times) is lost, and no echo meanwhile a dropout; a byte
// that comes back changed is a mismatch; bytes that never come back while later ones do,
// missing. A byte that comes back unchanged and in order within the limit is late, never wrong.
// The port is open; it stays at options.baud.
SoakResult soak(CommControl &comm,
                RunClock &clock,
                const SoakOptions &options,
                const SoakCallbacks &callbacks = {});

// The log's lines (CR LF): the first when the soak starts, one per fault as it happens, and the
// summary at the end; soakLog is all of them. The status line has no line break: a terminal
// rewrites it in place.
QString soakStartLine(const SoakOptions &options);
QString soakFaultLine(const SoakFault &fault);
QString soakStatusLine(const SoakStatus &status);
QString soakSummary(const SoakResult &result);
QString soakLog(const SoakResult &result);
QJsonObject soakJson(const SoakResult &result);
