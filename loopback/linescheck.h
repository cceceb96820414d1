// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>

class CommControl;
class RunClock;

// The control lines through a loopback plug: RTS to CTS, DTR to DSR and DCD, and RI, reported.
// Most CAT interfaces key the transmitter with RTS or DTR, so a broken one fails at the radio.
struct LinesResult
{
    enum class Pair { Follows, StuckOn, StuckOff, Inverted };
    struct Wire
    {
        QString output; // "RTS" or "DTR"
        QString input;  // "CTS", "DSR", "DCD" or "RI"
        Pair pair = Pair::StuckOff;
        bool required = true; // RI is reported, not required
    };

    bool reported = false; // false: the device does not report its control lines
    QList<Wire> wires;     // RTS-CTS, DTR-DSR, DTR-DCD, DTR-RI
    // The longest an input took to follow its output; how long the check waited at most.
    std::chrono::microseconds settle{};
    std::chrono::microseconds settleLimit{};
    QString error; // why the check stopped, when the serial control failed

    bool works(const QString &output) const; // a keying line: one of its inputs follows
    bool faultFound() const;
};

// Switches RTS off and on, then DTR, reading the inputs after each switch until they change or
// the settle limit passes; leaves both asserted, as the test had them. The port is open.
LinesResult checkLines(CommControl &comm, RunClock &clock);

// The log's lines (CR LF) and the record's section.
QString linesLog(const LinesResult &result);
QJsonObject linesJson(const LinesResult &result);
