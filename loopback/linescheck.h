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

// The control lines through a loopback plug: RTS to CTS, DTR to DSR and DCD, and RI, reported.
// Most CAT interfaces key the transmitter with RTS or DTR, so a broken one fails at the radio.
struct LinesResult
{
    // What an input did when its output was switched off and on again.
    enum class Pair {
        Follows,     // took the output's level each time, within the limit
        StuckOn,     // stayed on throughout
        StuckOff,    // stayed off throughout
        Inverted,    // took the opposite level each time and held it
        DidNotFollow // changed, but did not reach the output's level within the limit
    };
    struct Wire
    {
        QString output; // "RTS" or "DTR"
        QString input;  // "CTS", "DSR", "DCD" or "RI"
        Pair pair = Pair::StuckOff;
        bool required = true; // RI is reported, not required
        bool checked = false; // false when the check ended before it
    };
    // A keying line works when every required input tied to it follows.
    enum class Keying { Works, InPart, Fails };

    bool reported = false; // false: the device does not report its control lines
    QList<Wire> wires;     // RTS-CTS, DTR-DSR, DTR-DCD, DTR-RI
    // The longest an input took to follow its output; how long the check waits at most.
    std::chrono::microseconds settle{};
    std::chrono::microseconds settleLimit{};
    bool stopped = false;
    std::optional<CommError> error; // why the check ended early, when the serial control failed

    Keying keying(const QString &output) const;
    bool faultFound() const;
};

// How long an input may take to follow: an adapter on USB reports its lines every 16 ms or so,
// a serial server on a network only after the round trip and its own polling.
inline constexpr std::chrono::milliseconds kFollowLimit{1000};

// Switches RTS off and on, then DTR, waiting after each switch until every required input has
// taken the output's level, or the limit has passed; leaves both asserted, as the test had them.
// A stop is obeyed within a tenth of a second. The port is open.
LinesResult checkLines(CommControl &comm,
                       RunClock &clock,
                       const std::function<bool()> &stopRequested = {},
                       std::chrono::milliseconds limit = kFollowLimit);

// The log's lines (CR LF) and the record's section.
QString linesLog(const LinesResult &result);
QJsonObject linesJson(const LinesResult &result);
