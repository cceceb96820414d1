// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

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
    // Sets rates from "1200,9600,..." (standard rates, any order); false when it is no such list.
    bool setRates(const QString &list);
    // Sets soak from whole seconds; false when it is no such number.
    bool setSoak(const QString &seconds);
    // The sections the checks asked for: "lines", "rates", "soak".
    QStringList names() const;
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
    bool stopped = false;     // a check was stopped, or never began for a stop
    bool soakStopped = false; // the soak ended as asked, by the user's stop
    QJsonObject sections;     // "lines", "rates", "soak": each asked for, also one that never ran
    QStringList failed;       // the sections that found a fault
};

// Opens the port that passed again and runs the checks asked for, in that order, then closes it.
// The soak runs at the highest rate that --rates found, or at the test's 19200 baud. A port that
// will not open fails every check, with its error in each section.
DeeperResult runDeeperChecks(const DeeperChecks &checks,
                             qint16 port,
                             CommControl &comm,
                             RunClock &clock,
                             const DeeperOutput &output);

// Adds the checks to a run's JSON document: a section for each check asked for (one that did not
// run says so: no port passed, or the run was stopped), the names of those that found a fault
// in "failed_checks", and "stopped" when the run or a check was stopped.
void addDeeperJson(QJsonObject &run, const DeeperChecks &checks, const DeeperResult &result);
