// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include "loopback/outcome.h"
#include "serial/commerror.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class CommControl;
class RunClock;

// The rates a serial port can be set to, from 50 to 4,000,000 baud, ascending.
const QList<qint32> &standardRates();
// "50, 75, 110, ..., 4000000", for a message that lists them.
QString standardRatesText();
// The rates of a list such as "9600,38400", ascending and without repeats; none when a field
// is not a standard rate.
std::optional<QList<qint32>> parseRates(const QString &list);

// The echo of every byte value at each rate, for the highest rate the radio software can use:
// cheap adapters that pass at 19200 baud can drop or mangle bytes at 38400 or 115200.
struct RatesResult
{
    struct Rate
    {
        qint32 baud = 0;
        Outcome outcome = Outcome::Passed; // Passed, Mismatch, NoData, LineLost, Stopped or
                                           // NotSupported
        int value = -1;                    // the first value that came back wrong or not at all
        int received = -1;                 // what came back in its place (Mismatch)
        std::optional<CommError> error;    // why the adapter refused the rate, or the line failed
    };

    qsizetype asked = 0; // how many rates were asked for
    QList<Rate> rates;   // those tried, lowest first; the last one ended a sweep cut short
    // The highest rate at which it and every lower rate the adapter supports passed; 0 for none,
    // and for a sweep cut short, which gives no advice.
    qint32 highest = 0;
    std::chrono::milliseconds took{};
    std::chrono::milliseconds onTheWire{}; // what the bytes need on the line, at 10 bits each

    bool stopped() const;
    bool lineLost() const;
    bool faultFound() const;
};

inline const QList<qint32> kCheckedRates = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Echoes the values 0 to 255 at each rate in turn, lowest first, a few blocks in flight; a value
// not back within a second of its time on the line is missing. Ends at a lost line or a stop,
// which it obeys within a tenth of a second. Leaves the port at the last rate tried. The port is
// open.
RatesResult checkRates(CommControl &comm,
                       RunClock &clock,
                       QList<qint32> rates = kCheckedRates,
                       const std::function<bool()> &stopRequested = {});

// The log's lines (CR LF) and the record's section.
QString ratesLog(const RatesResult &result);
QJsonObject ratesJson(const RatesResult &result);
