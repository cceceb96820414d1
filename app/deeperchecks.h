// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class CommControl;
class RunClock;

// The checks a terminal may ask for after a port passed: its control lines (--lines), the
// rates it echoes at (--rates), and a long echo while the cable is moved (--soak).
struct DeeperChecks
{
    bool lines = false;
    std::optional<QList<qint32>> rates;
    std::optional<std::chrono::seconds> soak; // 0: until stopped

    bool any() const { return lines || rates || soak; }
    // Sets rates from "1200,9600,..." (ascending, no repeats); false when it is no such list.
    bool setRates(const QString &list);
    // Sets soak from whole seconds; false when it is no such number.
    bool setSoak(const QString &seconds);
};

// Where the checks' words go: the log's lines, the status line a terminal rewrites in place
// (empty to clear it), and whether the user asked to stop.
struct DeeperOutput
{
    std::function<void(const QString &)> log;
    std::function<void(const QString &)> status;
    std::function<bool()> stopRequested;
};

struct DeeperResult
{
    bool faultFound = false;
    bool soakStopped = false; // the soak ended as asked, by the user's stop
    QJsonObject sections;     // "lines", "rates", "soak", as run
};

// Runs the checks asked for, in that order, on the open port that passed. The soak runs at the
// highest rate that --rates found, or at the test's 19200 baud.
DeeperResult runDeeperChecks(const DeeperChecks &checks,
                             CommControl &comm,
                             RunClock &clock,
                             const DeeperOutput &output);
