// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>

class CommControl;
class RunClock;

// The echo of every byte value at each rate, for the highest rate the radio software can use:
// cheap adapters that pass at 19200 baud can drop or mangle bytes at 38400 or 115200.
struct RatesResult
{
    enum class Outcome { Passed, Mismatch, Missing, Refused, Stopped };
    struct Rate
    {
        qint32 baud = 0;
        Outcome outcome = Outcome::Passed;
        int value = -1;    // the first value that came back wrong or not at all
        int received = -1; // what came back in its place (Mismatch)
        QString refusal;   // why the device refused the rate
    };

    QList<Rate> rates;
    qint32 highest = 0; // the highest rate at which it and every lower one passed; 0 for none
    std::chrono::milliseconds took{};
    std::chrono::milliseconds onTheWire{}; // what the bytes need on the line, at 10 bits each
    QString error;                         // why the sweep stopped, when the serial control failed

    bool faultFound() const;
};

inline const QList<qint32> kCheckedRates = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Echoes the values 0 to 255 at each rate in turn, lowest first, a few blocks in flight; a value
// not back within twice its time on the line plus 100 ms is missing. Leaves the port at the
// last rate tried. The port is open; stopRequested ends the sweep between blocks.
RatesResult checkRates(CommControl &comm,
                       RunClock &clock,
                       QList<qint32> rates = kCheckedRates,
                       const std::function<bool()> &stopRequested = {});

// The log's lines (CR LF) and the record's section.
QString ratesLog(const RatesResult &result);
QJsonObject ratesJson(const RatesResult &result);
